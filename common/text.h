#pragma once
// Character classes and caseless comparison, of ASCII only: a byte from 128 to
// 255 is never a blank, white space or a digit, and has no case. Both
// programs split box definitions and rc lines with these, so that the editor
// and the monitor always read the same words from one file.

#include <string>
#include <string_view>

// Space or tab.
constexpr bool isBlank(char c) { return c == ' ' || c == '\t'; }
// Space, tab, newline, vertical tab, form feed, carriage return.
constexpr bool isWhiteSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
constexpr bool isDigit(char c) { return c >= '0' && c <= '9'; }
constexpr char lowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// True when the text begins with the prefix, letters compared without case.
constexpr bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t at = 0; at < prefix.size(); ++at)
        if (lowerAscii(text[at]) != lowerAscii(prefix[at])) return false;
    return true;
}

constexpr bool equalsNoCase(std::string_view text, std::string_view other) {
    return text.size() == other.size() && startsWithNoCase(text, other);
}

// The text with each control character shown as '?': fit for a message,
// which then cannot steer the terminal.
inline std::string printable(std::string_view text) {
    std::string shown(text);
    for (char& c : shown)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return shown;
}
