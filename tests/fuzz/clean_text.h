#pragma once
// What every header text that comes out of the decoding must be: valid
// UTF-8 on one line, without control characters, at most headerTextLimit
// characters long, and left as it is by the cleaning.

#include <cstddef>
#include <string>

#include "monitor/headers/headertext.h"
#include "tests/fuzz/fuzz_support.h"

namespace fuzz {

inline void checkClean(const std::string& text) {
    check(cleanHeaderText(text) == text, "the cleaning changes nothing more");
    std::size_t characters = 0;
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        check(byte >= 0x20 && byte != 0x7F, "no control byte");
        if ((byte & 0xC0) != 0x80) ++characters;
    }
    check(characters <= headerTextLimit, "no more characters than the limit");
}

}  // namespace fuzz
