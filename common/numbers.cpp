#include "common/numbers.h"

#include <cstddef>

#include "common/text.h"

int32_t leadingInteger(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size() && isWhiteSpace(text[at])) ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
    int64_t value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        value = value * 10 + (text[at] - '0');
        if (value > INT32_MAX + int64_t{1}) value = INT32_MAX + int64_t{1};
    }
    if (negative) value = -value;
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}
