#pragma once
// A test that signs in to the tests' dovecot (dovecot_fixture.h): its
// certificate trusted, so that the only words on standard error are those
// of the sign-in; servers, credentials, settings and boxes as new; boxes
// read from an rc file and checked as the cycle checks them.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "monitor/accounts/accountstesting.h"
#include "monitor/accounts/credentials.h"
#include "monitor/checks/check.h"
#include "monitor/cycle/rcfile.h"
#include "monitor/net/testing.h"
#include "tests/monitor/net/dovecot_fixture.h"
#include "tests/support/monitor_testing.h"
#include "tests/support/scratch.h"

class DovecotSignInTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dovecotDirectory().empty());
        setenv("SSL_CERT_DIR", (dovecotDirectory() + "/certs").c_str(), 1);
        forgetCertificates();
        forgetCredentials();
        resetSettings();
        clearBoxList();
    }
    void TearDown() override {
        unsetenv("SSL_CERT_DIR");
        forgetCertificates();
        forgetCredentials();
        setCredentialCommandLimit(std::chrono::milliseconds(0));
        resetSettings();
        clearBoxList();
    }

    // Reads an rc file of these lines and builds its boxes, as the monitor
    // does at start-up.
    std::vector<std::shared_ptr<Box>> boxesOf(const std::string& rc) {
        std::filesystem::path file = directory / "rc";
        scratch::writeFile(file, rc);
        EXPECT_TRUE(readRcFile(optionTable(), file.string(), 1));
        rebuildBoxList();
        std::shared_ptr<const BoxList> list = boxListSnapshot();
        for (const auto& box : *list) {
            box->newCount = 70;  // counts of an earlier check, which a failure keeps
            box->totalCount = 90;
        }
        return {list->begin(), list->end()};
    }

    // A check as the cycle makes it, with stderr taken aside.
    static std::string check(Box& box, int& result) {
        box.timeStamp = 0;
        testing::internal::CaptureStderr();
        result = checkBox(box);
        return testing::internal::GetCapturedStderr();
    }

    // A check that counts the box afresh, saying only `said`.
    static void expectCounted(Box& box, int32_t fresh, int32_t total, const std::string& said) {
        int result = 0;
        EXPECT_EQ(check(box, result), said);
        EXPECT_EQ(result, 1);
        EXPECT_EQ(box.newCount, fresh);
        EXPECT_EQ(box.totalCount, total);
    }
    static void expectCountedQuietly(Box& box, int32_t fresh, int32_t total) {
        expectCounted(box, fresh, total, "");
    }

    scratch::Directory directory;
};
