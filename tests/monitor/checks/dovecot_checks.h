#pragma once
// Checks of boxes on the tests' own dovecot: the boxes from their
// definitions, their counts, what the checks print, and a fixture under
// which each test meets the servers for the first time.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "monitor/checks/check.h"
#include "monitor/net/testing.h"
#include "monitor/state/boxes.h"
#include "tests/monitor/net/dovecot_fixture.h"

inline std::shared_ptr<Box> boxFor(const std::string& definition) {
    std::shared_ptr<Box> box = parseDefinition(definition);
    EXPECT_NE(box, nullptr) << definition;
    return box;
}

struct Expected {
    const char* definition;
    int result;
    int32_t fresh, total;
};

inline void checkAll(const std::vector<Expected>& cases) {
    for (const Expected& c : cases) {
        SCOPED_TRACE(c.definition);
        std::shared_ptr<Box> box = boxFor(c.definition);
        if (!box) continue;
        box->newCount = 70;
        box->totalCount = 90;
        EXPECT_EQ(checkBox(*box), c.result);
        EXPECT_EQ(box->newCount, c.fresh);
        EXPECT_EQ(box->totalCount, c.total);
        EXPECT_NE(box->timeStamp, 0);
    }
}

struct Output {
    std::string out, err;
};

// Runs the checks with the standard output and error taken aside.
template <typename Checks>
inline Output captured(Checks checks) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    checks();
    Output output;
    output.out = testing::internal::GetCapturedStdout();
    output.err = testing::internal::GetCapturedStderr();
    return output;
}

inline Output checkAllQuietly(const std::vector<Expected>& cases) {
    return captured([&] { checkAll(cases); });
}

inline std::string serversFile() { return std::string(std::getenv("HOME")) + "/.quorvik-servers"; }

// Each test meets the servers for the first time.
class DovecotChecks : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dovecotDirectory().empty());
        std::filesystem::remove(serversFile());
        forgetCertificates();
    }
    void TearDown() override {
        unsetenv("SSL_CERT_DIR");
        forgetCertificates();
    }
};
