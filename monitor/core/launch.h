#pragma once
// Starting a shell command without waiting for it and without zombies.

#include <optional>
#include <string>
#include <string_view>

// 1 when there is no command, -1 when the first fork fails, 0 when handed on.
int launchCommand(std::optional<std::string_view> command,
                  std::optional<std::string_view> argument);

// The text as one shell word, in single quotes.
std::string shellQuote(std::string_view text);
