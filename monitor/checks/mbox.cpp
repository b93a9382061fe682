#include "monitor/checks/mbox.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/fd.h"
#include "monitor/checks/check.h"
#include "monitor/state/options.h"

namespace {

int openFile(const char* path, int flags) { return ::open(path, flags); }

std::atomic<MboxOpener> openerInUse{openFile};

bool sameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// True when the file under the descriptor is not the one stat'ed before, or
// its size or modification time moved: the scan may have seen a mix.
bool changedBetween(const struct stat& earlier, const struct stat& later) {
    return earlier.st_dev != later.st_dev || earlier.st_ino != later.st_ino ||
           earlier.st_size != later.st_size || !sameTime(earlier.st_mtim, later.st_mtim);
}

int32_t clampCount(int64_t count) {
    return static_cast<int32_t>(std::min<int64_t>(count, std::numeric_limits<int32_t>::max()));
}

constexpr std::size_t readBlockSize = 256 * 1024;

// The first line start in [from, end) whose line begins with 'F': the byte
// after a newline. Outside the headers only such a line can matter, so the
// body is passed over at memory speed instead of line by line.
const char* nextLineWithF(const char* from, const char* end) {
    const char* at = from;
#if defined(__SSE2__)
    const __m128i newline = _mm_set1_epi8('\n');
    const __m128i capitalF = _mm_set1_epi8('F');
    while (end - at >= 33) {
        __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
        __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 16));
        __m128i lowNext = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 1));
        __m128i highNext = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 17));
        __m128i lowHits =
            _mm_and_si128(_mm_cmpeq_epi8(low, newline), _mm_cmpeq_epi8(lowNext, capitalF));
        __m128i highHits =
            _mm_and_si128(_mm_cmpeq_epi8(high, newline), _mm_cmpeq_epi8(highNext, capitalF));
        unsigned hits = static_cast<unsigned>(_mm_movemask_epi8(lowHits)) |
                        static_cast<unsigned>(_mm_movemask_epi8(highHits)) << 16;
        if (hits != 0) return at + __builtin_ctz(hits) + 1;
        at += 32;
    }
#endif
    while (end - at >= 2) {
        auto* lineEnd = static_cast<const char*>(std::memchr(at, '\n', end - at - 1));
        if (lineEnd == nullptr) return nullptr;
        if (lineEnd[1] == 'F') return lineEnd + 1;
        at = lineEnd + 1;
    }
    return nullptr;
}

}  // namespace

void setMboxOpener(MboxOpener opener) { openerInUse = opener != nullptr ? opener : openFile; }

void MboxScanner::endMessage() {
    if (messageStart >= 0 && !markedRead) lastNewStart = messageStart;
}

void MboxScanner::examine(const char* chunk, std::size_t length, int64_t offset) {
    if (length >= 5 && std::memcmp(chunk, "From ", 5) == 0) {
        endMessage();
        messageStart = offset;
        ++messageCount;
        inHeaders = true;
        markedRead = false;
        return;
    }
    if (!inHeaders) return;
    if (length == 1 && chunk[0] == '\n') {
        inHeaders = false;
        return;
    }
    // One read mark a message: a second Status: line must not make the new
    // count negative.
    if (!markedRead && length > 7 && std::memcmp(chunk, "Status:", 7) == 0 &&
        std::memchr(chunk + 7, 'R', length - 7) != nullptr) {
        ++readCount;
        markedRead = true;
    }
}

void MboxScanner::feed(const char* data, std::size_t length) {
    const char* at = data;
    const char* end = data + length;
    while (at < end) {
        if (skippingLine) {
            auto* newline = static_cast<const char*>(std::memchr(at, '\n', end - at));
            if (newline == nullptr) break;
            at = newline + 1;
            skippingLine = false;
            continue;
        }
        if (pendingLength > 0) {
            // Complete the start of a line that the previous piece cut.
            std::size_t room = chunkLength - pendingLength;
            std::size_t reach = std::min<std::size_t>(room, end - at);
            auto* newline = static_cast<const char*>(std::memchr(at, '\n', reach));
            std::size_t taken = newline != nullptr ? newline + 1 - at : reach;
            std::memcpy(pending.data() + pendingLength, at, taken);
            pendingLength += taken;
            at += taken;
            if (newline == nullptr && pendingLength < chunkLength) break;
            examine(pending.data(), pendingLength, pendingStart);
            skippingLine = newline == nullptr;
            pendingLength = 0;
            continue;
        }
        if (!inHeaders && *at != 'F') {
            // A body line: nothing up to the next line that begins with F
            // can change the counts.
            if (const char* line = nextLineWithF(at, end)) {
                at = line;
                continue;
            }
            skippingLine = end[-1] != '\n';
            break;
        }
        auto* newline = static_cast<const char*>(std::memchr(at, '\n', end - at));
        if (newline != nullptr) {
            examine(at, std::min<std::size_t>(newline + 1 - at, chunkLength), fed + (at - data));
            at = newline + 1;
            continue;
        }
        std::size_t rest = end - at;
        if (rest >= chunkLength) {
            examine(at, chunkLength, fed + (at - data));
            skippingLine = true;
            at += chunkLength;
            continue;
        }
        std::memcpy(pending.data(), at, rest);
        pendingLength = rest;
        pendingStart = fed + (at - data);
        break;
    }
    fed += static_cast<int64_t>(length);
}

void MboxScanner::finish() {
    if (pendingLength > 0) examine(pending.data(), pendingLength, pendingStart);
    endMessage();
    messageStart = -1;
    pendingLength = 0;
    skippingLine = false;
}

void scanMboxFile(int fd, MboxScanner& scanner, int64_t limit) {
    auto block = std::make_unique<char[]>(readBlockSize);
    int64_t left = limit;
    while (left > 0) {
        std::size_t want = static_cast<std::size_t>(std::min<int64_t>(left, readBlockSize));
        ssize_t got = ::read(fd, block.get(), want);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        scanner.feed(block.get(), static_cast<std::size_t>(got));
        left -= got;
    }
    scanner.finish();
}

int checkMboxBox(Box& box, int64_t now) {
    bool forced = applySettlingRule(box, now);
    const char* path = box.path.c_str();
    struct stat before {};
    if (::stat(path, &before) != 0) {
        recordCheckOutcome(box, localFailure(errno));
        return 0;
    }
    bool bySize = settings::checkSize.load() != 0;
    bool changed = bySize ? sizeChanged(path, box.sizeStamp) : timeChanged(path, box.timeStamp);
    // Unchanged, the file is as it was at the last outcome; but a failing
    // box is read afresh until it works, since its file may come back with
    // the very times and size its stamps hold.
    if (!changed && box.failure.load() == BoxFailure::none) return 0;

    // Without touching the access time there is nothing to set back, so the
    // status-change time stays and an unchanged file is not read again.
    // O_NONBLOCK: a FIFO in place of the file must not hang the check.
    MboxOpener opener = openerInUse.load();
    int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    bool atimeSpared = true;
    int fd = opener(path, flags | O_NOATIME);
    if (fd < 0 && errno == EPERM) {
        atimeSpared = false;
        fd = opener(path, flags);
    }
    FileDescriptor file(fd);
    if (file.get() < 0) {
        recordCheckOutcome(box, localFailure(errno));
        return 0;
    }
    // A directory, a FIFO or a device in place of the file is no mbox.
    struct stat opened {};
    if (::fstat(file.get(), &opened) != 0 || !S_ISREG(opened.st_mode)) {
        recordCheckOutcome(box, BoxFailure::mailboxUnreadable);
        return 0;
    }

    // Reading stops at the size seen now: a file that keeps growing cannot
    // hold the check, and the growth is counted next time.
    MboxScanner scanner;
    scanMboxFile(file.get(), scanner, opened.st_size);
    // Read before the times are looked at again: when the access time
    // cannot be spared, it is set back with the scan's.
    MessageSummary newest;
    if (scanner.messages() > scanner.readMessages() && scanner.lastNewMessage() >= 0)
        newest = readMessageSummary(file.get(), scanner.lastNewMessage());

    struct stat after {};
    bool changedMeanwhile = ::fstat(file.get(), &after) != 0 || changedBetween(before, after) ||
                            changedBetween(opened, after);

    setNewestMessage(box, std::move(newest));
    box.totalCount = clampCount(scanner.messages());
    box.newCount = clampCount(scanner.messages() - scanner.readMessages());
    recordCheckOutcome(box, BoxFailure::none);
    if (changedMeanwhile) {
        // Mail came in during the scan (within the same second, perhaps, so
        // the stamp would not show it): leave the times alone and make the
        // next check count again.
        box.settled = true;
        if (bySize)
            box.sizeStamp = -1;
        else
            box.timeStamp = -1;
        return 1;
    }
    // A file changed in this very second may change again within it, unseen
    // by a stamp of whole seconds: such a box stays unsettled, so that it is
    // counted once more later.
    box.settled = forced && (bySize || box.timeStamp.load() < now);
    // Only the access time moved; setting the modification time too would
    // hide a delivery that lands between fstat and here.
    if (!atimeSpared && !sameTime(after.st_atim, opened.st_atim)) {
        timespec times[2] = {opened.st_atim, {0, UTIME_OMIT}};
        ::futimens(file.get(), times);
    }
    return 1;
}
