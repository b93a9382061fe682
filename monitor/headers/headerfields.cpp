#include "monitor/headers/headerfields.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "common/fd.h"
#include "common/text.h"
#include "monitor/headers/headertext.h"

namespace {

// Longer than any field name worth a look ("Subject" and blanks before its
// colon): a longer start is some other field.
constexpr std::size_t headLimit = 32;

// A byte that may stand in a field name (RFC 5322: printable, no colon).
bool isNameByte(char c) { return c > ' ' && c < 127 && c != ':'; }

}  // namespace

void HeaderFields::classify(bool atColon) {
    naming = false;
    field = Field::other;
    if (!atColon) return;
    std::string_view name = head;
    name.remove_suffix(1);  // the colon
    while (!name.empty() && isBlank(name.back())) name.remove_suffix(1);
    // The first of each wins: a second Subject is not the one a reader sees.
    if (equalsNoCase(name, "from") && !haveFrom) {
        haveFrom = true;
        field = Field::from;
    } else if (equalsNoCase(name, "subject") && !haveSubject) {
        haveSubject = true;
        field = Field::subject;
    }
}

bool HeaderFields::feed(std::string_view bytes) {
    for (char c : bytes) {
        if (done) return false;
        if (c == '\n') {
            if (lineStart || (naming && head == "\r")) {
                done = true;
                return false;
            }
            lineStart = true;
            naming = true;
            head.clear();
            continue;
        }
        if (lineStart) {
            lineStart = false;
            // A folded line goes on with the field of the line before.
            if (isBlank(c)) {
                naming = false;
            } else {
                field = Field::none;
            }
        }
        if (naming) {
            head.push_back(c);
            if (c == ':')
                classify(true);
            else if (head.size() > headLimit || (!isNameByte(c) && !isBlank(c) && c != '\r'))
                classify(false);
            continue;
        }
        std::string* kept = field == Field::from      ? &fromRaw
                            : field == Field::subject ? &subjectRaw
                                                      : nullptr;
        // The line ends are taken out: what stays of a fold is its blank.
        if (kept != nullptr && c != '\r' && kept->size() < fieldLimit) kept->push_back(c);
    }
    return !done;
}

MessageSummary HeaderFields::summary() const {
    MessageSummary summary;
    if (haveFrom) summary.from = decodeSender(fromRaw);
    if (haveSubject) summary.subject = decodeHeaderText(subjectRaw);
    return summary;
}

MessageSummary readMessageSummary(int fd, int64_t offset) {
    HeaderFields fields;
    std::vector<char> block(16 * 1024);
    int64_t at = offset;
    while (at - offset < headerReadLimit) {
        ssize_t got = ::pread(fd, block.data(), block.size(), at);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        at += got;
        if (!fields.feed(std::string_view(block.data(), static_cast<std::size_t>(got)))) break;
    }
    return fields.summary();
}

MessageSummary readMessageSummary(const std::string& path) {
    // O_NONBLOCK: a FIFO put in place of a message must not hang the check.
    FileDescriptor file(
        ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOATIME));
    if (!file.isOpen() && errno == EPERM)
        file.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat status {};
    if (!file.isOpen() || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) return {};
    return readMessageSummary(file.get(), 0);
}
