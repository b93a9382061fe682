#include "common/paths.h"

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
