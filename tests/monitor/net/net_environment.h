#pragma once
// What a test program that checks network boxes needs around it, as the
// monitor has it: SIGPIPE ignored before any thread starts, so that a write
// to a server that has gone only fails; and a home directory of its own, so
// that the servers it meets are remembered in a file of its own, which goes
// with it. Including this header is enough.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

class NetEnvironment : public testing::Environment {
public:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        std::string pattern = std::filesystem::temp_directory_path() / "quorvik-home-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) return;
        home = pattern;
        setenv("HOME", home.c_str(), 1);
    }
    void TearDown() override {
        std::error_code ignored;
        if (!home.empty()) std::filesystem::remove_all(home, ignored);
    }

private:
    std::string home;
};

inline testing::Environment* const netEnvironment =
    testing::AddGlobalTestEnvironment(new NetEnvironment);
