#pragma once
// The words of a box definition, "TYPE FILE-OR-URL [USERNAME] [PASSWORD]
// [FOLDER]", as both programs split them.

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Longest accepted word: type, file-or-url, user name, password, folder. A
// longer word is refused, never cut: cut, it could name another file or
// account.
inline constexpr std::array<std::size_t, 5> definitionWordLimits{9, 99, 24, 24, 99};

// The first `count` words of the text, split at runs of white space.
std::vector<std::string> splitWords(std::string_view text, std::size_t count);
