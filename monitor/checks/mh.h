#pragma once
// MH folders: the profile, the folder and its unseen sequence.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "monitor/state/boxes.h"

int checkMhBox(Box& box, int64_t now);

enum class PathBase { workingDirectory, homeDirectory };

std::optional<std::string> mhProfileValue(std::string_view key);
std::optional<std::string> mhAbsolutePath(std::string_view name, PathBase base);
