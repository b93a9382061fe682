#include "monitor/checks/mh.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "common/directory.h"
#include "common/fd.h"
#include "common/home.h"
#include "common/paths.h"
#include "common/text.h"
#include "monitor/checks/check.h"

namespace {

bool allDigits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), isDigit);
}

std::string_view skipBlanks(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size() && isBlank(text[at])) ++at;
    return text.substr(at);
}

// After the key (or sequence name) and optional blanks, a colon: the rest.
std::optional<std::string_view> afterKey(std::string_view line, std::string_view key) {
    line = skipBlanks(line);
    if (!startsWithNoCase(line, key)) return std::nullopt;
    line = skipBlanks(line.substr(key.size()));
    if (line.empty() || line.front() != ':') return std::nullopt;
    return skipBlanks(line.substr(1));
}

// Opens a regular file for reading; FIFOs and devices are refused without
// blocking on them.
FileDescriptor openRegularFile(const std::string& path) {
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat status {};
    if (file.get() < 0 || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode))
        return FileDescriptor();
    return file;
}

// Whole lines of a file, each kept up to `maxLine` bytes; the rest of a
// longer line is dropped, never read as a line of its own. A NUL byte is an
// ordinary byte. Memory stays bounded however the file looks.
class LineReader {
public:
    static constexpr std::size_t maxLine = 64 * 1024;

    explicit LineReader(int descriptor) : fd(descriptor), block(16 * 1024) {}

    // The next line without its newline; false at end of file or on an error.
    bool next(std::string& line, bool& cut) {
        line.clear();
        cut = false;
        bool any = false;
        for (;;) {
            if (at == filled && !refill()) return any;
            any = true;
            auto* begin = block.data() + at;
            auto* newline = static_cast<const char*>(std::memchr(begin, '\n', filled - at));
            std::size_t length = newline != nullptr ? newline - begin : filled - at;
            std::size_t room = maxLine - std::min(maxLine, line.size());
            if (length > room) cut = true;
            line.append(begin, std::min(length, room));
            at += length;
            if (newline != nullptr) {
                ++at;
                return true;
            }
        }
    }

private:
    bool refill() {
        for (;;) {
            ssize_t got = ::read(fd, block.data(), block.size());
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            at = 0;
            filled = static_cast<std::size_t>(got);
            return true;
        }
    }

    int fd;
    std::vector<char> block;
    std::size_t at = 0;
    std::size_t filled = 0;
};

std::optional<std::string> profilePath() {
    const char* mh = std::getenv("MH");
    if (mh == nullptr) return mhAbsolutePath(".mh_profile", PathBase::homeDirectory);
    if (mh[0] == '/') return std::string(mh);
    return mhAbsolutePath(mh, PathBase::workingDirectory);
}

// Message numbers are read without sign and saturate at the int32 range,
// so "1-4294967296" is the range 1 to 2147483647 and no sum can overflow.
std::optional<int64_t> messageNumber(std::string_view digits) {
    if (!allDigits(digits)) return std::nullopt;
    int64_t value = 0;
    constexpr int64_t largest = std::numeric_limits<int32_t>::max();
    for (char c : digits) value = std::min(largest, value * 10 + (c - '0'));
    return value;
}

// The messages one token of a sequence names: a number, or a range
// "first-last" that counts when last is above first; none otherwise.
std::optional<std::pair<int64_t, int64_t>> tokenRange(std::string_view token) {
    if (auto number = messageNumber(token)) return std::pair{*number, *number};
    std::size_t hyphen = token.find('-');
    if (hyphen == std::string_view::npos) return std::nullopt;
    auto first = messageNumber(token.substr(0, hyphen));
    auto last = messageNumber(token.substr(hyphen + 1));
    if (!first || !last || *last <= *first) return std::nullopt;
    return std::pair{*first, *last};
}

// The unseen sequence: how many messages it names, and which, in sorted
// ranges that do not overlap.
struct UnseenSequence {
    int32_t count = 0;
    std::vector<std::pair<int64_t, int64_t>> ranges;

    bool holds(int64_t number) const {
        auto after = std::upper_bound(ranges.begin(), ranges.end(), number,
                                      [](int64_t n, const auto& range) { return n < range.first; });
        return after != ranges.begin() && number <= std::prev(after)->second;
    }
};

UnseenSequence readUnseen(const std::string& folder) {
    std::string sequencesName = mhProfileValue("mh-sequences").value_or(".mh_sequences");
    std::string sequence = mhProfileValue("unseen-sequence").value_or("unseen");
    // The profile may name several sequences; messages go into every one of
    // them, so the first stands for all.
    sequence.erase(std::find_if(sequence.begin(), sequence.end(), isWhiteSpace), sequence.end());
    if (sequence.empty()) return {};

    FileDescriptor file = openRegularFile(joinPath(folder, sequencesName));
    if (file.get() < 0) return {};
    LineReader reader(file.get());
    std::string line;
    bool cut = false;
    while (reader.next(line, cut)) {
        auto rest = afterKey(line, sequence);
        if (!rest) continue;
        // A token that the length limit cut in two is not counted.
        if (cut) {
            while (!rest->empty() && !isWhiteSpace(rest->back())) rest->remove_suffix(1);
        }
        UnseenSequence unseen;
        int64_t count = 0;
        std::string_view tokens = *rest;
        while (!tokens.empty()) {
            auto start = std::find_if_not(tokens.begin(), tokens.end(), isWhiteSpace);
            auto stop = std::find_if(start, tokens.end(), isWhiteSpace);
            if (auto range = tokenRange(std::string_view(start, stop - start))) {
                count += range->second - range->first + 1;
                count = std::min<int64_t>(count, std::numeric_limits<int32_t>::max());
                unseen.ranges.push_back(*range);
            }
            tokens = std::string_view(stop, tokens.end() - stop);
        }
        unseen.count = static_cast<int32_t>(count);
        auto& ranges = unseen.ranges;
        std::sort(ranges.begin(), ranges.end());
        std::size_t kept = 0;
        for (const auto& range : ranges) {
            if (kept > 0 && range.first <= ranges[kept - 1].second)
                ranges[kept - 1].second = std::max(ranges[kept - 1].second, range.second);
            else
                ranges[kept++] = range;
        }
        ranges.resize(kept);
        return unseen;
    }
    return {};
}

// Entries named by digits that are regular files, symbolic links followed;
// none when the folder cannot be listed. d_type spares the stat call where
// the file system tells the type. Also finds the highest of them that the
// unseen sequence names (0: none).
std::optional<int32_t> countMessages(const std::string& folder, const UnseenSequence& unseen,
                                     int64_t& highestUnseen) {
    Directory directory(opendir(folder.c_str()));
    if (!directory) return std::nullopt;
    int descriptor = dirfd(directory.get());
    int32_t total = 0;
    while (const dirent* entry = readdir(directory.get())) {
        if (!allDigits(entry->d_name)) continue;
        bool regular = entry->d_type == DT_REG;
        if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) {
            struct stat status {};
            regular =
                ::fstatat(descriptor, entry->d_name, &status, 0) == 0 && S_ISREG(status.st_mode);
        }
        if (!regular) continue;
        if (total < std::numeric_limits<int32_t>::max()) ++total;
        if (unseen.count > 0) {
            int64_t number = messageNumber(entry->d_name).value_or(0);
            if (number > highestUnseen && unseen.holds(number)) highestUnseen = number;
        }
    }
    return total;
}

bool isDirectory(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// Why a path is no directory: none when it is one.
std::optional<BoxFailure> notADirectory(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return localFailure(errno);
    if (!S_ISDIR(status.st_mode)) return BoxFailure::mailboxUnreadable;
    return std::nullopt;
}

}  // namespace

std::optional<std::string> mhProfileValue(std::string_view key) {
    auto path = profilePath();
    if (!path) return std::nullopt;
    FileDescriptor file = openRegularFile(*path);
    if (file.get() < 0) return std::nullopt;
    LineReader reader(file.get());
    std::string line;
    bool cut = false;
    while (reader.next(line, cut)) {
        if (auto value = afterKey(line, key)) {
            std::string result(*value);
            trimPathEnd(result);
            return result;
        }
    }
    return std::nullopt;
}

std::optional<std::string> mhAbsolutePath(std::string_view name, PathBase base) {
    if (name.empty()) return std::nullopt;
    if (name.front() == '/') {
        std::string path(name);
        if (path.size() > 1 && path.back() == '/') path.pop_back();
        return path;
    }
    std::string joined;
    if (base == PathBase::workingDirectory) {
        std::vector<char> directory(4096);
        if (::getcwd(directory.data(), directory.size()) == nullptr) return std::nullopt;
        joined = joinPath(directory.data(), name);
    } else {
        joined = joinPath(homeDirectory(), name);
    }
    trimPathEnd(joined);
    return joined;
}

int checkMhBox(Box& box, int64_t now) {
    bool forced = applySettlingRule(box, now);
    auto fail = [&](BoxFailure failure) {
        recordCheckOutcome(box, failure);
        return 0;
    };
    auto rootValue = mhProfileValue("path");
    if (!rootValue) return fail(BoxFailure::noMhProfile);
    auto root = mhAbsolutePath(*rootValue, PathBase::homeDirectory);
    if (!root) return fail(BoxFailure::noMhProfile);
    if (!isDirectory(*root)) return fail(BoxFailure::mailboxMissing);
    // The Box's path was trimmed when the Box was made; other threads read
    // it, so it is not written here.
    std::string folder = joinPath(*root, box.path);
    if (auto failure = notADirectory(folder)) return fail(*failure);
    UnseenSequence unseen = readUnseen(folder);
    int64_t highestUnseen = 0;
    // A folder that cannot be listed has no known total: its counts stay.
    auto total = countMessages(folder, unseen, highestUnseen);
    if (!total) return fail(localFailure(errno));
    setNewestMessage(box, highestUnseen > 0
                              ? readMessageSummary(joinPath(folder, std::to_string(highestUnseen)))
                              : MessageSummary{});
    box.newCount = unseen.count;
    box.totalCount = *total;
    box.settled = forced;
    recordCheckOutcome(box, BoxFailure::none);
    return 1;
}
