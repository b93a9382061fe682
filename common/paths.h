#pragma once
// Path texts: trimming the end and joining two parts; symbolic links.

#include <optional>
#include <string>
#include <string_view>

// Removes trailing white space, then one trailing slash. An empty text, or
// one that becomes empty, stays empty.
void trimPathEnd(std::string& path);

// The first part end-trimmed, a slash, the second part unchanged.
std::string joinPath(std::string_view first, std::string_view second);

// As many symbolic links as the kernel follows in one path before it gives up.
inline constexpr int linkLimit = 40;

// The text of a symbolic link; none when the path is no link.
std::optional<std::string> readLink(const std::string& path);

// The path that the symbolic links at the end of a path lead to, though
// nothing may be there yet; a relative link is taken from its own folder.
// The path itself when it is no link, or when its links go round in a circle.
std::string followLinks(const std::string& path);
