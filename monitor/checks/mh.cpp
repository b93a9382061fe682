#include "monitor/checks/mh.h"

int checkMhBox(Box&, int64_t) { return 0; }
std::optional<std::string> mhProfileValue(std::string_view) { return std::nullopt; }
std::optional<std::string> mhAbsolutePath(std::string_view, PathBase) { return std::nullopt; }
