#include "monitor/cycle/rcfile.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <mutex>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "common/definition.h"
#include "common/fd.h"
#include "common/rcschema.h"
#include "common/text.h"
#include "common/wait.h"
#include "monitor/accounts/credentials.h"
#include "monitor/cycle/wake.h"
#include "monitor/state/boxes.h"

int64_t rcTimeStamp = 0;
int64_t rcSizeStamp = 0;

namespace {

// An rc file is a few kilobytes; past these bounds the rest is ignored, so a
// binary or runaway file cannot take the monitor's memory.
constexpr std::size_t maximumFileSize = 4 << 20;
constexpr std::size_t maximumDefinitions = 4096;
// A FIFO or a pipe given as the rc file is read for at most this long.
constexpr std::chrono::milliseconds streamReadLimit{1000};
// At start-up, a file caught while it was being replaced is read again this
// many times, this far apart.
constexpr int startUpAttempts = 10;
constexpr std::chrono::milliseconds startUpRetryPause{20};

int openFile(const char* path, int flags) { return ::open(path, flags); }
std::atomic<RcOpener> openerInUse{openFile};
std::atomic<bool> warnedNotRegular{false};

bool sameVersion(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// A FIFO, a pipe (-f <(...)) or a device: read until its end, the size bound
// or the time limit, whichever comes first. A FIFO without a writer ends at once.
std::optional<std::string> readStream(int fd) {
    std::string content;
    char block[16384];
    auto limit = std::chrono::steady_clock::now() + streamReadLimit;
    while (content.size() < maximumFileSize) {
        if (!waitFor(fd, POLLIN, limit)) break;
        ssize_t got = read(fd, block, std::min(sizeof block, maximumFileSize - content.size()));
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got < 0) return std::nullopt;
        if (got == 0) break;
        content.append(block, static_cast<std::size_t>(got));
    }
    return content;
}

// Reads the whole file (up to the bound) and tells whether it stayed the same
// file with the same content from open to end: an editor that replaces it, or
// a writer still filling it, makes this read void.
std::optional<std::string> readStableFile(const std::string& path, struct stat& version) {
    // O_NONBLOCK: opening a FIFO that has no writer must not wait for one.
    FileDescriptor file(
        openerInUse.load()(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (file.get() < 0 || fstat(file.get(), &version) != 0) return std::nullopt;
    if (S_ISDIR(version.st_mode)) {
        if (!warnedNotRegular.exchange(true))
            std::fprintf(stderr, "quorvik warning : rc file %s is not a regular file\n",
                         path.c_str());
        return std::nullopt;
    }
    if (!S_ISREG(version.st_mode)) return readStream(file.get());
    std::string content;
    char block[16384];
    while (content.size() < maximumFileSize) {
        ssize_t got =
            read(file.get(), block, std::min(sizeof block, maximumFileSize - content.size()));
        if (got < 0) return std::nullopt;
        if (got == 0) break;
        content.append(block, static_cast<std::size_t>(got));
    }
    struct stat after {
    }, named{};
    if (fstat(file.get(), &after) != 0 || !sameVersion(version, after)) return std::nullopt;
    if (stat(path.c_str(), &named) != 0 || !sameVersion(version, named)) return std::nullopt;
    return content;
}

// Splits the text as an fgets loop of rcLinePart characters would: each part
// ends at a newline or after rcLinePart characters; one trailing newline is
// removed. Each part comes with the number of the line of the file it lies in.
template <typename Visit>
void forEachLinePart(std::string_view text, Visit visit) {
    std::size_t at = 0;
    int number = 1;
    while (at < text.size()) {
        std::size_t limit = std::min(text.size() - at, rcLinePart);
        const void* newline = std::memchr(text.data() + at, '\n', limit);
        std::size_t length =
            newline ? static_cast<const char*>(newline) - (text.data() + at) + 1 : limit;
        std::string_view part = text.substr(at, length);
        at += length;
        bool ended = !part.empty() && part.back() == '\n';
        if (ended) part.remove_suffix(1);
        // As in a C line buffer, the text of a line ends at a NUL byte.
        part = part.substr(0, part.find('\0'));
        visit(part, number);
        if (ended) ++number;
    }
}

bool belongsTo(std::string_view line, std::string_view key) {
    return line.size() > key.size() && line.substr(0, key.size()) == key;
}

// A line that belongs to no key is said, with its first word as written (a
// blank before it shows the blank) and the key it may have meant. Not a
// line of blanks, one that would be a comment but for blanks before its #,
// nor a key alone on its line: nothing was meant to be set there.
void warnUnknownKey(std::string_view line, std::string_view place) {
    std::size_t start = 0;
    while (start < line.size() && isBlank(line[start])) ++start;
    if (std::all_of(line.begin(), line.end(), isWhiteSpace) || line[start] == '#') return;
    std::size_t end = start;
    while (end < line.size() && !isBlank(line[end]) && line[end] != '=') ++end;
    std::string_view word = line.substr(0, end);
    std::string_view bare = word.substr(start);
    std::optional<std::string_view> meant;
    for (const RcKey& row : rcSchema) {
        if (word == row.key) return;
        if (equalsNoCase(bare, row.key)) meant = row.key;
    }
    // A runaway line (a part of a long one) is named by its beginning.
    constexpr std::size_t shownLength = 40;
    std::string shown = printable(word.substr(0, shownLength));
    if (word.size() > shownLength) shown += "...";
    std::string hint = meant ? ", did you mean \"" + std::string(*meant) + "\"?" : ".";
    std::fprintf(stderr, "quorvik warning : unknown key \"%s\"%s %.*s\n", shown.c_str(),
                 hint.c_str(), static_cast<int>(place.size()), place.data());
}

}  // namespace

bool readRcFile(std::span<Option> table, const std::optional<std::string>& path, int force,
                KeysRead* keysRead) {
    if (!path) return false;
    struct stat version {};
    auto content = readStableFile(*path, version);
    if (!content) return false;

    forEachLinePart(*content, [&](std::string_view line, int number) {
        if (line.empty() || line.front() == '#') return;
        auto place = [&] { return rcLinePlace(*path, number); };
        if (std::none_of(std::begin(rcSchema), std::end(rcSchema),
                         [&](const RcKey& row) { return belongsTo(line, row.key); })) {
            warnUnknownKey(line, place());
            return;
        }
        std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) return;
        std::string_view value = line.substr(equals + 1);
        while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
        if (value.empty()) return;
        for (Option& row : table) {
            if (!row.key || !belongsTo(line, *row.key)) continue;
            if (row.kind == OptionKind::definitionList &&
                settings::boxDefinitions.size() >= maximumDefinitions)
                continue;
            if (assignOption(row, value, force, place()) == 1 && keysRead)
                keysRead->push_back(*row.key);
        }
    });
    return true;
}

namespace {

enum class Reload { unchanged, applied, failed };

// The scheduler and the watcher may both reload: one at a time.
std::mutex reloadLock;

// What the reloads read for the main loop, until it takes it.
std::mutex handOverLock;
std::optional<LiveOverrides> handedOver;

bool wasRead(const KeysRead& keys, std::string_view key) {
    return std::find(keys.begin(), keys.end(), key) != keys.end();
}

// The display is woken for it, but at start-up, where it does not wait yet.
void handOver(const KeysRead& keys, bool wake) {
    {
        std::lock_guard guard(handOverLock);
        LiveOverrides& live = handedOver ? *handedOver : handedOver.emplace();
        if (wasRead(keys, "Backlight")) live.backlight = settings::backlight.load();
        if (wasRead(keys, "Blink")) live.blink = settings::blink.load();
        if (wasRead(keys, "DefaultBox")) live.selectedBox = settings::selectedBox.load();
    }
    if (wake) wakeDisplay();
}

// `seenChanging`: the file is known to have changed (it was watched), even
// if its stamp, in whole seconds, says it did not.
Reload reloadOnce(bool seenChanging = false, bool atStartUp = false) {
    std::lock_guard guard(reloadLock);
    auto path = settings::rcFilePath.get();
    if (!path) return Reload::unchanged;
    struct stat status {};
    if (stat(path->c_str(), &status) != 0) return Reload::unchanged;
    bool bySize = settings::checkSize.load() != 0;
    int64_t stamp =
        bySize ? static_cast<int64_t>(status.st_size) : static_cast<int64_t>(status.st_mtime);
    int64_t& recorded = bySize ? rcSizeStamp : rcTimeStamp;
    if (stamp == recorded && !seenChanging) return Reload::unchanged;
    // A file caught while it was being replaced is read again at the next
    // pass: its stamp is stored only once a whole version has been read.
    KeysRead keys;
    if (!readRcFile(optionTable(), path, 1, &keys)) return Reload::failed;
    recorded = stamp;
    // Once running, the selection that a file without DefaultBox leaves is
    // the user's, which the main loop bounds when it takes the reload.
    rebuildBoxList(atStartUp || wasRead(keys, "DefaultBox"));
    // What the user changed (a password, a command) is tried at once.
    endCredentialPauses();
    handOver(keys, !atStartUp);
    return Reload::applied;
}

}  // namespace

std::optional<LiveOverrides> takeReloaded() {
    std::lock_guard guard(handOverLock);
    return std::exchange(handedOver, std::nullopt);
}

int reloadIfChanged() { return reloadOnce() == Reload::applied ? 1 : 0; }

int reloadChangedRcFile() { return reloadOnce(true) == Reload::applied ? 1 : 0; }

void loadRcFileAtStartUp() {
    // Without threads nothing reads the file again: one caught while an
    // editor replaced it is tried again, briefly.
    for (int attempt = 1; attempt < startUpAttempts; ++attempt) {
        if (reloadOnce(false, true) != Reload::failed) return;
        std::this_thread::sleep_for(startUpRetryPause);
    }
    reloadOnce(false, true);
}

void setRcOpener(RcOpener opener) { openerInUse = opener != nullptr ? opener : openFile; }
