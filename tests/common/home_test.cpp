#include "common/home.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "tests/support/scratch.h"

namespace {

std::string homeOf(const char* user) {
    passwd* entry = getpwnam(user);
    return entry ? entry->pw_dir : "";
}

}  // namespace

TEST(HomeDirectory, FirstMatchWins) {
    std::string ownHome = getpwuid(getuid())->pw_dir;
    struct Case {
        std::optional<std::string> home, user, logname;
        std::string expected;
    } cases[] = {
        {"/home/someone", "daemon", "bin", "/home/someone"},
        {"", "daemon", "bin", ""},
        {std::nullopt, "daemon", "bin", homeOf("daemon")},
        {std::nullopt, "no-such-user-here", "bin", homeOf("bin")},
        {std::nullopt, std::nullopt, "bin", homeOf("bin")},
        {std::nullopt, "no-such-user-here", "nor-this-one", ownHome},
        {std::nullopt, std::nullopt, std::nullopt, ownHome},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        scratch::Environment home("HOME", c.home), user("USER", c.user),
            logname("LOGNAME", c.logname);
        EXPECT_EQ(homeDirectory(), c.expected);
    }
}
