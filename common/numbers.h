#pragma once

#include <cstdint>
#include <string_view>

// The leading decimal integer of a text, read as atoi reads it (white space,
// an optional sign, digits; 0 without digits), but clamped to the 32-bit
// range instead of overflowing.
int32_t leadingInteger(std::string_view text);
