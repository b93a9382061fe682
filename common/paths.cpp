#include "common/paths.h"

#include <limits.h>
#include <unistd.h>

#include "common/text.h"

void trimPathEnd(std::string& path) {
    while (!path.empty() && isWhiteSpace(path.back())) path.pop_back();
    if (!path.empty() && path.back() == '/') path.pop_back();
}

std::string joinPath(std::string_view first, std::string_view second) {
    std::string joined(first);
    trimPathEnd(joined);
    joined += '/';
    joined += second;
    return joined;
}

std::optional<std::string> readLink(const std::string& path) {
    char text[PATH_MAX];
    ssize_t length = readlink(path.c_str(), text, sizeof text);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof text) return std::nullopt;
    return std::string(text, static_cast<std::size_t>(length));
}

std::string followLinks(const std::string& path) {
    std::string at = path;
    for (int links = 0; links < linkLimit; ++links) {
        std::optional<std::string> target = readLink(at);
        if (!target) return at;
        std::size_t slash = at.rfind('/');
        at = target->front() == '/' || slash == std::string::npos
                 ? *target
                 : at.substr(0, slash + 1) + *target;
    }
    return path;
}
