#pragma once
// mbox files.

#include <array>
#include <cstddef>
#include <cstdint>

#include "monitor/state/boxes.h"

int checkMboxBox(Box& box, int64_t now);

// Counts the messages and read marks of an mbox text fed in pieces of any
// size. Lines are looked at as a 512-byte fgets buffer would show them: only
// the first 511 bytes of a line are examined, the rest of a longer line is
// passed over.
class MboxScanner {
public:
    static constexpr std::size_t chunkLength = 511;

    void feed(const char* data, std::size_t length);
    void finish();  // examines a last line that has no newline

    int64_t messages() const { return messageCount; }
    int64_t readMessages() const { return readCount; }
    // Where the last message without a read mark begins (its "From " line),
    // counted from the first byte fed; -1 when every message is read. Valid
    // after finish().
    int64_t lastNewMessage() const { return lastNewStart; }

private:
    void examine(const char* chunk, std::size_t length, int64_t offset);
    void endMessage();

    int64_t messageCount = 0;
    int64_t readCount = 0;
    bool inHeaders = false;
    bool markedRead = false;                  // the current message already has a read mark
    bool skippingLine = false;                // the first chunk of this line was examined
    std::array<char, chunkLength> pending{};  // start of a line cut by a piece end
    std::size_t pendingLength = 0;
    int64_t fed = 0;            // bytes fed before the piece being fed
    int64_t pendingStart = 0;   // where the pending line begins
    int64_t messageStart = -1;  // where the current message begins
    int64_t lastNewStart = -1;
};

// Reads an open file through a scanner up to `limit` bytes, its end or its
// first read error.
void scanMboxFile(int fd, MboxScanner& scanner, int64_t limit);

// Opens the mbox file; tests replace it to see the path taken when the
// file's access time cannot be spared.
using MboxOpener = int (*)(const char* path, int flags);
void setMboxOpener(MboxOpener opener);  // nullptr restores open(2)
