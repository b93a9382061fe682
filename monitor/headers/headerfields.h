#pragma once
// Who wrote a message and about what, picked out of its header block as it
// streams past. Only the From and Subject lines are kept, so a header block
// of any size costs no more memory than those two.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The sender and subject of a message, decoded and cleaned (headertext.h);
// empty when unknown.
struct MessageSummary {
    std::string from;
    std::string subject;
    bool operator==(const MessageSummary&) const = default;
};

class HeaderFields {
public:
    // Raw bytes kept of one field, its folded lines joined: far more than the
    // characters shown, even when every one of them is encoded.
    static constexpr std::size_t fieldLimit = 16 * 1024;

    // Takes the next bytes of the message, in pieces of any size; false once
    // the empty line that ends the header block has come.
    bool feed(std::string_view bytes);
    bool ended() const { return done; }
    // The fields seen so far, decoded and cleaned.
    MessageSummary summary() const;

private:
    enum class Field { none, from, subject, other };

    void classify(bool atColon);

    std::string fromRaw;
    std::string subjectRaw;
    bool haveFrom = false;
    bool haveSubject = false;
    // The start of the line, until its field name is known.
    std::string head;
    bool lineStart = true;
    bool naming = true;
    Field field = Field::none;
    bool done = false;
};

// How far into a message its header block is looked for: a hostile file
// without an empty line is not read to its end.
inline constexpr int64_t headerReadLimit = 1 << 20;

// The summary of the message that begins at `offset` in an open file (an
// mbox separator line there is passed over as a line of no field).
MessageSummary readMessageSummary(int fd, int64_t offset);
// The summary of a message file; empty when it cannot be read.
MessageSummary readMessageSummary(const std::string& path);
