#pragma once
// Starting a shell command without waiting for it and without zombies.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "monitor/state/boxes.h"

// 1 when there is no command, -1 when the first fork fails, 0 when handed on.
// The variables ("NAME=value") go into the command's environment.
int launchCommand(std::optional<std::string_view> command, std::optional<std::string_view> argument,
                  std::vector<std::string> variables = {});

// What the notify command and the button-2 command are told of the box at
// a position of the list (0: all boxes): QUORVIK_BOX, the box's own
// variables, QUORVIK_NEW, QUORVIK_TOTAL, QUORVIK_ALL_NEW, and QUORVIK_FROM
// and QUORVIK_SUBJECT when its newest new message is known (for all boxes,
// that of the box whose new count rose last).
std::vector<std::string> mailVariables(const BoxList& list, int32_t position);

// The position of the box whose new count rose last among those that hold
// new mail; 0 when none holds any.
int32_t latestRisenBox(const BoxList& list);

// The text as one shell word, in single quotes.
std::string shellQuote(std::string_view text);
