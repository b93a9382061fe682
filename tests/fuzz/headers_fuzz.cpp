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
#include "tests/fuzz/clean_text.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

MessageSummary inPieces(std::string_view text, std::size_t piece) {
    HeaderFields fields;
    for (std::size_t at = 0; at < text.size(); at += piece) fields.feed(text.substr(at, piece));
    return fields.summary();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    std::string_view text = fuzz::bytes(data, size);
    MessageSummary whole = inPieces(text, std::max<std::size_t>(size, 1));
    fuzz::checkClean(whole.from);
    fuzz::checkClean(whole.subject);
    std::size_t odd = size > 0 ? 1 + data[0] % 13 : 1;
    fuzz::check(inPieces(text, odd) == whole, "the pieces' cut changes nothing");
    fuzz::checkClean(decodeHeaderText(text));
    fuzz::checkClean(decodeSender(text));
    return 0;
}
