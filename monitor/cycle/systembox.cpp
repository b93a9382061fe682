#include "monitor/cycle/systembox.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "common/text.h"
#include "monitor/state/boxes.h"

namespace {

std::optional<std::string> userName() {
    for (const char* variable : {"USER", "LOGNAME"})
        if (const char* name = std::getenv(variable); name != nullptr && *name != '\0') return name;
    long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr || found->pw_name == nullptr)
        return std::nullopt;
    return std::string(found->pw_name);
}

bool isDirectory(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// The definition that watches the file or Maildir at the path, if any.
std::optional<std::string> definitionOf(const std::string& path) {
    struct stat status {};
    if (path.empty() || stat(path.c_str(), &status) != 0) return std::nullopt;
    if (std::any_of(path.begin(), path.end(), [](char c) { return isWhiteSpace(c) || c == ':'; }))
        return std::nullopt;
    if (!S_ISDIR(status.st_mode)) return "MBOX " + path;
    if (isDirectory(path + "/cur") && isDirectory(path + "/new")) return "MAILDIR " + path;
    return std::nullopt;
}

}  // namespace

std::optional<std::string> systemMailboxDefinition() {
    if (const char* mail = std::getenv("MAIL"))
        if (auto definition = definitionOf(mail)) return definition;
    if (auto name = userName()) return definitionOf("/var/mail/" + *name);
    return std::nullopt;
}

void watchSystemMailboxWhenNoBox() {
    if (anyBoxDefined()) return;
    auto definition = systemMailboxDefinition();
    if (!definition) {
        std::fprintf(stderr,
                     "quorvik warning : no box is defined and there is no system mailbox; add "
                     "your boxes with quorvik-config (Control and button 2 on the applet) or "
                     "with -m \"MBOX /path/to/mbox\"\n");
        return;
    }
    putFallbackBox(*definition);
    std::string path = definition->substr(definition->find(' ') + 1);
    std::fprintf(stderr,
                 "quorvik warning : no box is defined, so the system mailbox %s is watched; "
                 "quorvik-config adds your own boxes\n",
                 printable(path).c_str());
}
