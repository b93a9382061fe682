#pragma once
// Path texts: trimming the end and joining two parts.

#include <string>
#include <string_view>

// Removes trailing white space, then one trailing slash. An empty text, or
// one that becomes empty, stays empty.
void trimPathEnd(std::string& path);

// The first part end-trimmed, a slash, the second part unchanged.
std::string joinPath(std::string_view first, std::string_view second);
