// The parse of an IMAP STATUS answer, the test of its tagged line, and the
// quoting of the texts that go into commands.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "monitor/net/imapclient.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

// Undoes the quoting: none when the text is no quoted string.
std::optional<std::string> unquoted(std::string_view quoted) {
    if (quoted.size() < 2 || quoted.front() != '"' || quoted.back() != '"') return std::nullopt;
    std::string text;
    for (std::size_t at = 1; at + 1 < quoted.size(); ++at) {
        char c = quoted[at];
        if (c == '"') return std::nullopt;
        if (c == '\\') {
            if (at + 2 >= quoted.size()) return std::nullopt;
            c = quoted[++at];
            if (c != '"' && c != '\\') return std::nullopt;
        }
        text.push_back(c);
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    std::string_view input = fuzz::bytes(data, size);
    if (std::optional<ImapCounts> counts = imapParseStatus(input)) {
        fuzz::check(counts->messages >= 0 && counts->unseen >= 0, "STATUS counts are not negative");
    }
    for (std::string_view tag : {"A0001 ", "A0004 ", "A9999 "}) imapTaggedOk(input, tag);

    std::optional<std::string> quoted = imapQuoted(input);
    bool singleLine = input.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
    fuzz::check(quoted.has_value() == singleLine, "a text is quoted unless it breaks the line");
    if (quoted) fuzz::check(unquoted(*quoted) == std::string(input), "quoting keeps the text");
    return 0;
}
