#include "common/home.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace {

// Sets or unsets one variable for the life of the guard.
class EnvironmentGuard {
public:
    EnvironmentGuard(const char* name, std::optional<std::string> value) : name(name) {
        if (const char* old = std::getenv(name)) saved = old;
        apply(value);
    }
    ~EnvironmentGuard() { apply(saved); }

private:
    void apply(const std::optional<std::string>& value) {
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
    }
    const char* name;
    std::optional<std::string> saved;
};

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
        EnvironmentGuard home("HOME", c.home), user("USER", c.user), logname("LOGNAME", c.logname);
        EXPECT_EQ(homeDirectory(), c.expected);
    }
}
