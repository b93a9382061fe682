// The flags in Maildir file names. Each input names files, one a line (NUL,
// slash and the names "." and ".." cannot be names and are passed over);
// they are made in a scratch directory and counted as a Maildir directory is.
// A name is a message unless it begins with a dot, and seen when it holds
// ":2" with an upper-case S somewhere after it.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>

#include "monitor/checks/maildir.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

constexpr std::size_t nameLimit = 255;
constexpr std::size_t namesAtMost = 200;

bool isSeen(const std::string& name) {
    std::size_t info = name.find(":2");
    return info != std::string::npos && name.find('S', info + 2) != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static const std::string directory = [] {
        std::string path = fuzz::scratchPath("cur");
        if (::mkdir(path.c_str(), 0700) != 0) fuzz::fail("mkdir");
        return path;
    }();
    std::string_view input = fuzz::bytes(data, size);
    std::set<std::string> names;
    std::size_t start = 0;
    for (std::size_t at = 0; at <= input.size() && names.size() < namesAtMost; ++at) {
        if (at < input.size() && input[at] != '\n') continue;
        std::string name(input.substr(start, at - start));
        start = at + 1;
        if (name.empty() || name.size() > nameLimit || name == "." || name == "..") continue;
        if (name.find_first_of(std::string_view("/\0", 2)) != std::string::npos) continue;
        names.insert(name);
    }

    int32_t expectedSeen = 0;
    int32_t expectedTotal = 0;
    for (const std::string& name : names) {
        std::string path = directory + "/" + name;
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) fuzz::fail("create a message file");
        ::close(fd);
        if (name[0] == '.') continue;
        ++expectedTotal;
        if (isSeen(name)) ++expectedSeen;
    }

    int32_t seen = 0;
    int32_t total = 0;
    bool listed = countMaildirDir(directory.c_str(), seen, total);
    for (const std::string& name : names) ::unlink((directory + "/" + name).c_str());
    fuzz::check(listed, "the directory is listed");
    fuzz::check(total == expectedTotal, "every name without a leading dot is a message");
    fuzz::check(seen == expectedSeen, "seen are the names with :2 and a later S");
    return 0;
}
