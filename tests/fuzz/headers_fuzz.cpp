// The header block of a message as a hostile sender writes it: From and
// Subject are picked out whatever the cut of the pieces, and what comes out
// is always valid UTF-8 on one line, without control characters, at most
// headerTextLimit characters long.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "monitor/headers/headerfields.h"
#include "monitor/headers/headertext.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

MessageSummary inPieces(std::string_view text, std::size_t piece) {
    HeaderFields fields;
    for (std::size_t at = 0; at < text.size(); at += piece) fields.feed(text.substr(at, piece));
    return fields.summary();
}

void checkClean(const std::string& text) {
    fuzz::check(cleanHeaderText(text) == text, "the cleaning changes nothing more");
    std::size_t characters = 0;
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        fuzz::check(byte >= 0x20 && byte != 0x7F, "no control byte");
        if ((byte & 0xC0) != 0x80) ++characters;
    }
    fuzz::check(characters <= headerTextLimit, "no more characters than the limit");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    std::string_view text = fuzz::bytes(data, size);
    MessageSummary whole = inPieces(text, std::max<std::size_t>(size, 1));
    checkClean(whole.from);
    checkClean(whole.subject);
    std::size_t odd = size > 0 ? 1 + data[0] % 13 : 1;
    fuzz::check(inPieces(text, odd) == whole, "the pieces' cut changes nothing");
    checkClean(decodeHeaderText(text));
    checkClean(decodeSender(text));
    return 0;
}
