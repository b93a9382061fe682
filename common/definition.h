#pragma once
// The words of a box definition, "TYPE FILE-OR-URL [USERNAME] [PASSWORD]
// [FOLDER]", as both programs split them, and the lines that hold them.

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Longest accepted word: type, file-or-url, user name, password, folder. The
// user name takes any e-mail address (254 characters), the password what a
// password manager makes, the path a folder deep under a home directory. A
// longer word is refused, never cut: cut, it could name another file or
// account.
inline constexpr std::array<std::size_t, 5> definitionWordLimits{9, 1023, 254, 255, 255};

// What the messages call each word.
inline constexpr std::array<std::string_view, 5> definitionWordNames{
    "type", "server or path", "user name", "password", "folder"};

// The longest definition the limits allow, its words one blank apart.
inline constexpr std::size_t longestDefinition = [] {
    std::size_t length = definitionWordLimits.size() - 1;
    for (std::size_t limit : definitionWordLimits) length += limit;
    return length;
}();

// Both readers of the rc file take a line in parts of at most this many
// characters, each part a line of its own: a part holds the Mailbox line of
// the longest definition, so no accepted box is ever split.
inline constexpr std::size_t rcLinePart = 4095;
static_assert(rcLinePart >= std::string_view("Mailbox = ").size() + longestDefinition);

// The first `count` words of the text, split at runs of white space.
std::vector<std::string> splitWords(std::string_view text, std::size_t count);

struct OverlongWord {
    std::string_view name;  // from definitionWordNames
    std::size_t limit;
};

// The first word longer than its limit, the words being those of a
// definition from its word `first` on (1 for words that follow the type).
std::optional<OverlongWord> firstOverlongWord(const std::vector<std::string>& words,
                                              std::size_t first = 0);
