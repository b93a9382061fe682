#include "monitor/headers/headerfields.h"
#include "monitor/headers/headertext.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::string_literals;

MessageSummary summaryInPieces(const std::string& message, std::size_t piece) {
    HeaderFields fields;
    for (std::size_t at = 0; at < message.size(); at += piece)
        fields.feed(std::string_view(message).substr(at, piece));
    return fields.summary();
}

// Valid UTF-8 with no control character, on one line, at most the limit.
void expectClean(const std::string& text) {
    std::size_t characters = 0;
    for (std::size_t at = 0; at < text.size(); ++at) {
        auto byte = static_cast<unsigned char>(text[at]);
        EXPECT_FALSE(byte < 0x20 || byte == 0x7F) << "control byte in: " << text;
        if ((byte & 0xC0) != 0x80) ++characters;
    }
    EXPECT_LE(characters, headerTextLimit);
    EXPECT_EQ(cleanHeaderText(text), text) << "not clean: " << text;
}

}  // namespace

TEST(HeaderFields, PicksFromAndSubjectOutOfTheHeaderBlock) {
    struct Case {
        const char* what;
        std::string message;
        std::string from, subject;
    } cases[] = {
        {"plain", "From: Ann <ann@example.org>\nSubject: Lunch?\n\nbody\n", "Ann <ann@example.org>",
         "Lunch?"},
        {"CR LF, names in any case, blanks before the colon",
         "FROM : ann@example.org\r\nsubject:\tLunch?\r\n\r\n", "ann@example.org", "Lunch?"},
        {"folded lines are joined", "Subject: a long\r\n subject\r\n\tfolded\r\n\r\n", "",
         "a long subject folded"},
        {"an mbox separator line is no field",
         "From ann@example.org Mon Jan  1 00:00:00 2024\nSubject: s\n\n", "", "s"},
        {"the first of two wins", "Subject: first\nSubject: second\n\n", "", "first"},
        {"fields in the body are not read", "To: b@example.net\n\nSubject: body\n", "", ""},
        {"a field whose name only ends in the name", "X-Subject: no\nResent-From: no\n\n", "", ""},
        {"quoted name with a comma", "From: \"Doe, John\" <j@example.org>\n\n",
         "Doe, John <j@example.org>", ""},
        {"encoded name", "From: =?UTF-8?B?w4VzYQ==?= <asa@example.org>\n\n",
         "Åsa <asa@example.org>", ""},
        {"an unparsable sender is shown as text", "From: <<<>>> @@@\n\n", "<<<>>> @@@", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (std::size_t piece : {c.message.size(), std::size_t{1}, std::size_t{7}}) {
            MessageSummary summary = summaryInPieces(c.message, piece);
            EXPECT_EQ(summary.from, c.from);
            EXPECT_EQ(summary.subject, c.subject);
        }
    }
}

// Decoding of encoded words and charsets, as real mail tools write them.
// GMime and GLib cost the idle monitor some 3 MB: they are loaded only when a
// text first needs decoding, not for plain ASCII.
TEST(HeaderText, GmimeIsLoadedOnlyWhenATextNeedsDecoding) {
    auto isLoaded = [](const char* library) {
        void* handle = ::dlopen(library, RTLD_LAZY | RTLD_NOLOAD);
        if (handle != nullptr) ::dlclose(handle);
        return handle != nullptr;
    };
    EXPECT_FALSE(isLoaded("libgmime-3.0.so.0"));
    EXPECT_FALSE(isLoaded("libglib-2.0.so.0"));
    EXPECT_EQ(decodeHeaderText("Lunch?"), "Lunch?");
    EXPECT_FALSE(isLoaded("libgmime-3.0.so.0"));
    EXPECT_EQ(decodeHeaderText("=?UTF-8?Q?Lunch=3F?="), "Lunch?");
    EXPECT_TRUE(isLoaded("libgmime-3.0.so.0"));
}

TEST(HeaderText, DecodesEncodedWordsAndCharsets) {
    struct Case {
        const char* what;
        std::string raw, decoded;
    } cases[] = {
        {"quoted-printable", "=?UTF-8?Q?Caf=C3=A9_au_lait?=", "Café au lait"},
        {"latin-1", "=?iso-8859-1?q?Gr=FC=DFe?=", "Grüße"},
        {"windows-1252", "=?windows-1252?Q?=80uro?=", "€uro"},
        {"koi8-r in base64", "=?koi8-r?b?8NLJ18XU?=", "Привет"},
        {"gb2312", "=?gb2312?b?xOO6ww==?=", "你好"},
        {"words joined without the blanks between them",
         "=?UTF-8?Q?Gr=C3=BC=C3=9Fe_aus?=\r\n =?UTF-8?Q?_K=C3=B6ln?=", "Grüße aus Köln"},
        // GMime alone loses what follows a padded base64 word of the same
        // charset.
        {"padded base64 words in a row", "=?UTF-8?B?SGk=?= =?UTF-8?B?VGhlcmU=?=", "HiThere"},
        {"padded base64 then text", "=?UTF-8?B?SGk=?= there", "Hi there"},
        {"raw latin-1 bytes", "caf\xe9", "café"},
        {"plain text keeps its words", "Re: [list] Lunch?", "Re: [list] Lunch?"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(decodeHeaderText(c.raw), c.decoded);
    }
}

// What a hostile sender may put into a header: none of it may fail the
// check, and what comes out is always one clean line of text.
TEST(HeaderText, HostileHeadersComeOutCleanText) {
    struct Case {
        const char* what;
        std::string raw;
        std::string decoded;  // checked when not empty
    } cases[] = {
        {"shell words", "$(rm -rf ~) `id` \"quoted\" 'single' ; | &",
         "$(rm -rf ~) `id` \"quoted\" 'single' ; | &"},
        {"newlines inside an encoded word", "=?UTF-8?Q?a=0D=0Ab=0Ac=09d?=", "a b c d"},
        {"control characters and escapes", "a\x01\x1b[31mred\x7f\u0085b", "a[31mred b"},
        {"C1 and bidirectional overrides", "=?UTF-8?Q?x=C2=9By=E2=80=AEz?=", "xyz"},
        {"line and paragraph separators", "a\u2028b\u2029c", "a b c"},
        {"invalid UTF-8", "ok \xc3\x28 \xed\xa0\x80 \xf8\x88\x80\x80\x80 end", ""},
        // Bytes that are no UTF-8 are read as Latin-1, never as a slash.
        {"overlong form of a slash", "\xc0\xaf", "À¯"},
        {"unknown charset", "=?x-no-such-charset?Q?abc?=", ""},
        {"encoded word longer than it may be",
         "=?UTF-8?Q?" + std::string(5000, 'a') + "?=", std::string(headerTextLimit, 'a')},
        {"base64 cut short", "=?UTF-8?B?SGVsbG8gV29y?=", ""},
        {"word that never ends", "=?UTF-8?B?SGVsbG8gV29ybGQ", ""},
        {"quoted-printable cut in an escape", "=?UTF-8?Q?trunc=E?=", ""},
        {"charset that is empty", "=??Q?abc?=", ""},
        {"NUL bytes", "a\0b=?UTF-8?Q?c=00d?="s, ""},
        {"100 KB subject", std::string(100 * 1024, 'x'), std::string(headerTextLimit, 'x')},
        {"a cut does not split a character", std::string(199, 'x') + "éé",
         std::string(199, 'x') + "é"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string decoded = decodeHeaderText(c.raw);
        expectClean(decoded);
        if (!c.decoded.empty()) EXPECT_EQ(decoded, c.decoded);
        expectClean(decodeSender(c.raw));
    }
    // Text that is already decoded keeps no invalid sequence.
    EXPECT_EQ(cleanHeaderText("ok \xc3\x28 \xc0\xaf"), "ok \uFFFD( \uFFFD\uFFFD");
}

// 100 KB of other headers before the subject, and 100 KB in one field: the
// fields are still found, and what is kept stays bounded.
TEST(HeaderFields, LargeHeaderBlocks) {
    std::string huge(100 * 1024, 'y');
    MessageSummary after = summaryInPieces(
        "Received: " + huge + "\nX-Folded: a\n " + huge + "\nSubject: found\n\n", 4096);
    EXPECT_EQ(after.subject, "found");
    MessageSummary big = summaryInPieces("Subject: " + huge + "\nFrom: ann@example.org\n\n", 4096);
    EXPECT_EQ(big.subject, std::string(headerTextLimit, 'y'));
    EXPECT_EQ(big.from, "ann@example.org");
}

// Checks of several boxes decode at once.
TEST(HeaderText, DecodesInSeveralThreadsAtOnce) {
    std::vector<std::thread> threads;
    std::vector<std::string> results(4);
    for (std::size_t i = 0; i < results.size(); ++i)
        threads.emplace_back([&, i] {
            for (int round = 0; round < 50; ++round)
                results[i] = decodeSender("=?koi8-r?b?8NLJ18XU?= <p@example.org>");
        });
    for (auto& thread : threads) thread.join();
    for (const std::string& result : results) EXPECT_EQ(result, "Привет <p@example.org>");
}
