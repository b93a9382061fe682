// A monitor whose header decoding module cannot be loaded (this program has
// no run path to it) says so once and tells the texts undecoded, still clean.

#include <gtest/gtest.h>

#include <string>

#include "monitor/headers/headertext.h"

TEST(HeaderTextWithoutModule, TellsTheTextsUndecodedAndSaysWhyOnce) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(decodeHeaderText("=?UTF-8?Q?Lunch=3F?=\r\n\t$(id)"), "=?UTF-8?Q?Lunch=3F?= $(id)");
    EXPECT_EQ(decodeSender("=?UTF-8?Q?J=C3=BCrgen?= <j@example.org>"),
              "=?UTF-8?Q?J=C3=BCrgen?= <j@example.org>");
    EXPECT_EQ(decodeHeaderText("a\x1b[31m\xc3\x28"), "a[31m\uFFFD(");
    EXPECT_EQ(decodeHeaderText("plain"), "plain");
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(said.rfind("quorvik warning : cannot load quorvik-headers.so (", 0), 0u) << said;
    EXPECT_NE(said.find("), senders and subjects are told undecoded\n"), std::string::npos) << said;
    EXPECT_EQ(said.find('\n'), said.size() - 1) << "said more than once: " << said;
}
