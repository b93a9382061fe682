// The mbox scan. The scanner takes a file in pieces of any size and skips
// body lines in blocks; whatever the cut, its counts must be those of the
// plain reading: lines in chunks of at most 511 bytes, as a 512-byte fgets
// buffer returns them, each line looked at in its first chunk only.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "monitor/checks/mbox.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

struct Counts {
    int64_t messages = 0;
    int64_t read = 0;
    bool operator==(const Counts&) const = default;
};

Counts plainReading(std::string_view text) {
    Counts counts;
    bool inHeaders = false;
    bool markedRead = false;
    bool continuation = false;
    std::size_t at = 0;
    while (at < text.size()) {
        std::string_view chunk = text.substr(at, MboxScanner::chunkLength);
        std::size_t newline = chunk.find('\n');
        if (newline != std::string_view::npos) chunk = chunk.substr(0, newline + 1);
        at += chunk.size();
        bool examined = !continuation;
        continuation = chunk.back() != '\n';
        if (!examined) continue;
        if (chunk.starts_with("From ")) {
            ++counts.messages;
            inHeaders = true;
            markedRead = false;
        } else if (!inHeaders) {
        } else if (chunk == "\n") {
            inHeaders = false;
        } else if (!markedRead && chunk.starts_with("Status:") &&
                   chunk.find('R', 7) != std::string_view::npos) {
            // One read mark a message, however many Status: lines it has.
            ++counts.read;
            markedRead = true;
        }
    }
    return counts;
}

Counts scanInPieces(std::string_view text, std::size_t piece) {
    MboxScanner scanner;
    for (std::size_t at = 0; at < text.size(); at += piece)
        scanner.feed(text.data() + at, std::min(piece, text.size() - at));
    scanner.finish();
    return {scanner.messages(), scanner.readMessages()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    std::string_view text = fuzz::bytes(data, size);
    Counts expected = plainReading(text);
    fuzz::check(expected.read <= expected.messages, "no more read marks than messages");
    fuzz::check(scanInPieces(text, std::max<std::size_t>(size, 1)) == expected,
                "the scan of the whole text counts as the plain reading");
    // Cuts that fall everywhere: inside "From ", inside the fast skip's
    // 32-byte blocks and on the 511-byte chunk bound.
    std::size_t odd = size > 0 ? 1 + data[0] % 67 : 1;
    for (std::size_t piece : {std::size_t{1}, std::size_t{2}, odd, std::size_t{33},
                              std::size_t{511}, std::size_t{512}}) {
        if (piece == 1 && size > 8192) continue;
        fuzz::check(scanInPieces(text, piece) == expected,
                    "the scan in pieces counts as the plain reading");
    }
    return 0;
}
