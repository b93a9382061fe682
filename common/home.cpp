#include "common/home.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <vector>

namespace {

// getpwnam_r/getpwuid_r: worker threads look the home directory up too.
template <typename Lookup>
std::optional<std::string> passwordHome(Lookup lookup) {
    long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (lookup(&entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
        found->pw_dir == nullptr)
        return std::nullopt;
    return std::string(found->pw_dir);
}

std::optional<std::string> homeOfName(const char* name) {
    if (name == nullptr) return std::nullopt;
    return passwordHome([name](passwd* entry, char* buffer, std::size_t size, passwd** found) {
        return getpwnam_r(name, entry, buffer, size, found);
    });
}

}  // namespace

std::string homeDirectory() {
    if (const char* home = std::getenv("HOME")) return home;
    if (auto home = homeOfName(std::getenv("USER"))) return *home;
    if (auto home = homeOfName(std::getenv("LOGNAME"))) return *home;
    uid_t uid = getuid();
    if (auto home =
            passwordHome([uid](passwd* entry, char* buffer, std::size_t size, passwd** found) {
                return getpwuid_r(uid, entry, buffer, size, found);
            }))
        return *home;
    return "/";
}
