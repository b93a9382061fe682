#pragma once
// Helpers shared by the tests: a scratch directory, files, the environment,
// the wall clock, running the mail tools and watching child processes.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/types.h>
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "monitor/checks/check.h"

namespace scratch {

namespace fs = std::filesystem;

// A directory of its own for each test, removed with everything in it.
class Directory {
public:
    Directory() {
        std::string pattern = fs::temp_directory_path() / "quorvik-checks-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
        root = pattern;
    }
    ~Directory() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
    Directory(const Directory&) = delete;
    Directory& operator=(const Directory&) = delete;

    fs::path operator/(const std::string& name) const { return root / name; }
    const fs::path& path() const { return root; }

private:
    fs::path root;
};

inline void writeFile(const fs::path& path, std::string_view text) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

inline void appendFile(const fs::path& path, std::string_view text) {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

inline std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline struct stat statOf(const fs::path& path) {
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
    return status;
}

// Runs a shell line and gives its standard output, or none when it failed.
inline std::optional<std::string> run(const std::string& line) {
    std::FILE* pipe = ::popen(line.c_str(), "r");
    if (pipe == nullptr) return std::nullopt;
    std::string output;
    std::array<char, 4096> block{};
    while (std::size_t got = std::fread(block.data(), 1, block.size(), pipe))
        output.append(block.data(), got);
    if (::pclose(pipe) != 0) return std::nullopt;
    return output;
}

// Polls until the condition holds. The bound is a safety net against a hang,
// never the measure of a pass: it is far beyond what any step takes.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds bound = std::chrono::seconds(30)) {
    auto end = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// File times are whole seconds to the checks: a change made after this is
// told apart from one made before. The files' own clock decides, as it may
// turn a little after time() does; a probe file shows it.
inline void waitForNextSecond() {
    char probe[] = "/tmp/quorvik-second-XXXXXX";
    int fd = ::mkstemp(probe);
    ASSERT_GE(fd, 0) << "no probe file for the files' clock";
    auto fileNow = [fd] {
        struct stat st {};
        if (::futimens(fd, nullptr) != 0 || ::fstat(fd, &st) != 0) return std::time_t{0};
        return st.st_ctime;
    };
    std::time_t start = std::max(std::time(nullptr), fileNow());
    EXPECT_TRUE(eventually([&] { return std::time(nullptr) > start && fileNow() > start; }))
        << "the files' clock did not turn";
    ::close(fd);
    ::unlink(probe);
}

// What a file (a server's log) gained since the last look.
class Tail {
public:
    explicit Tail(fs::path file) : path(std::move(file)) { fresh(); }
    std::string fresh() {
        std::string text = readFile(path);
        std::string added = text.size() > seen ? text.substr(seen) : "";
        seen = text.size();
        return added;
    }
    // What the file gained by the time it holds the needle: a log written by
    // another process (dovecot's log service) may hold it a moment later.
    std::string freshWith(std::string_view needle) {
        std::string added;
        eventually([&] {
            added += fresh();
            return added.find(needle) != std::string::npos;
        });
        return added;
    }

private:
    fs::path path;
    std::size_t seen = 0;
};

// How often a text holds another.
inline int occurrences(std::string_view text, std::string_view part) {
    int count = 0;
    for (std::size_t at = text.find(part); at != std::string_view::npos;
         at = text.find(part, at + part.size()))
        ++count;
    return count;
}

inline bool haveProgram(const std::string& path) { return ::access(path.c_str(), X_OK) == 0; }

// What mutt says of a mailbox after it toggled the new flag of its first and
// third messages, as a reader who read them would: its status line's message
// and unread counts, or none when mutt could not be run.
struct MuttCounts {
    int messages = 0;
    int unread = 0;
};
inline std::optional<MuttCounts> readFirstAndThirdWithMutt(const fs::path& home,
                                                           const std::string& mailbox) {
    writeFile(home / "muttrc",
              "set move=no\nset quit=yes\nset mark_old=yes\nset wait_key=no\n"
              "set sort=mailbox-order\nset status_format=\"Msgs=%m Unread=%u\"\n");
    auto screen = run(
        "cd " + home.string() +
        " && HOME=$PWD TERM=xterm timeout 60 script -qc \"mutt -n -F $PWD/muttrc -f " + mailbox +
        " -e 'push <first-entry><toggle-new><next-entry><next-entry><toggle-new>"
        "<sync-mailbox><quit>'\" /dev/null");
    if (!screen) return std::nullopt;
    std::regex status("Msgs=(\\d+) Unread=(\\d+)");
    std::string lastStatus;
    for (std::sregex_iterator it(screen->begin(), screen->end(), status), end; it != end; ++it)
        lastStatus = it->str();
    std::smatch said;
    if (!std::regex_search(lastStatus, said, status)) return std::nullopt;
    return MuttCounts{std::stoi(said[1]), std::stoi(said[2])};
}

// Sets or unsets one variable for the life of the guard.
class Environment {
public:
    Environment(const char* variable, std::optional<std::string> value) : name(variable) {
        if (const char* old = std::getenv(variable)) saved = old;
        apply(value);
    }
    ~Environment() { apply(saved); }
    Environment(const Environment&) = delete;
    Environment& operator=(const Environment&) = delete;

private:
    void apply(const std::optional<std::string>& value) {
        if (value)
            ::setenv(name, value->c_str(), 1);
        else
            ::unsetenv(name);
    }
    const char* name;
    std::optional<std::string> saved;
};

// Takes standard error aside into a file for the life of the guard. What was
// said so far can be read at any time, so that a test can wait for a line
// that a thread writes a moment after the state it tells of.
class StandardError {
public:
    StandardError() {
        std::string pattern = fs::temp_directory_path() / "quorvik-stderr-XXXXXX";
        int fd = ::mkstemp(pattern.data());
        if (fd < 0) throw std::runtime_error("mkstemp");
        file = pattern;
        std::fflush(stderr);
        saved = ::dup(2);
        ::dup2(fd, 2);
        ::close(fd);
    }
    ~StandardError() {
        std::fflush(stderr);
        ::dup2(saved, 2);
        ::close(saved);
        std::error_code ignored;
        fs::remove(file, ignored);
    }
    StandardError(const StandardError&) = delete;
    StandardError& operator=(const StandardError&) = delete;

    std::string text() const { return readFile(file); }
    // Waits until what was said holds the text.
    bool holds(std::string_view part) const {
        return eventually([&] { return text().find(part) != std::string::npos; });
    }

private:
    fs::path file;
    int saved = -1;
};

// The parent and state of each process, as /proc tells them.
template <typename Visit>
void forEachProcess(Visit visit) {
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!std::getline(stat, line)) continue;
        auto close = line.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(line.substr(close + 2));
        char state = 0;
        pid_t parent = 0;
        rest >> state >> parent;
        visit(parent, state);
    }
}

// The children of a process, running or not.
inline int childrenOf(pid_t parent) {
    int children = 0;
    forEachProcess([&](pid_t of, char) { children += of == parent; });
    return children;
}

// The children of a process that have ended and were not reaped.
inline int zombieChildrenOf(pid_t parent) {
    int zombies = 0;
    forEachProcess([&](pid_t of, char state) { zombies += state == 'Z' && of == parent; });
    return zombies;
}

// The wall clock the checks see while a FakeClock lives.
inline std::atomic<int64_t> fakeNow{0};
inline int64_t readFakeClock() { return fakeNow.load(); }

class FakeClock {
public:
    explicit FakeClock(int64_t now) {
        fakeNow = now;
        setWallClock(readFakeClock);
    }
    ~FakeClock() { setWallClock(nullptr); }
    FakeClock(const FakeClock&) = delete;
    FakeClock& operator=(const FakeClock&) = delete;
    void set(int64_t now) { fakeNow = now; }
};

}  // namespace scratch
