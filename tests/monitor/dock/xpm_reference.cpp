#include "tests/monitor/dock/xpm_reference.h"

#include <cstdio>
#include <iterator>
#include <map>
#include <stdexcept>

namespace {

#include "monitor/dock/images/background.xpm"
#include "monitor/dock/images/backlit.xpm"
#include "monitor/dock/images/parts.xpm"

std::vector<std::string> lines(PictureName name) {
    switch (name) {
    case PictureName::background:
        return {std::begin(background_xpm), std::end(background_xpm)};
    case PictureName::backlit:
        return {std::begin(backlit_xpm), std::end(backlit_xpm)};
    case PictureName::parts:
        return {std::begin(parts_xpm), std::end(parts_xpm)};
    }
    return {};
}

}  // namespace

Picture Picture::crop(int x, int y, int w, int h) const {
    Picture part{w, h, {}};
    for (int row = y; row < y + h; ++row) {
        for (int column = x; column < x + w; ++column) part.rgb.push_back(at(column, row));
    }
    return part;
}

std::vector<std::string> referenceRows(PictureName name) {
    auto all = lines(name);
    int width = 0, height = 0, colours = 0, perPixel = 0;
    std::sscanf(all[0].c_str(), "%d %d %d %d", &width, &height, &colours, &perPixel);
    return {all.begin() + 1 + colours, all.end()};
}

Picture referencePicture(PictureName name) {
    auto all = lines(name);
    Picture picture;
    int colours = 0, perPixel = 0;
    std::sscanf(all[0].c_str(), "%d %d %d %d", &picture.width, &picture.height, &colours,
                &perPixel);
    std::map<char, uint32_t> palette;
    for (int i = 1; i <= colours; ++i) {
        const std::string& line = all[static_cast<size_t>(i)];
        const std::string value = line.substr(4, line.find(' ', 4) - 4);
        palette[line[0]] = value == "None"
                               ? transparent
                               : static_cast<uint32_t>(std::stoul(value.substr(1), nullptr, 16));
    }
    for (const std::string& row : referenceRows(name)) {
        for (char c : row) picture.rgb.push_back(palette.at(c));
    }
    return picture;
}
