// The compiled-in pictures, the colours and the window background.

#include "monitor/dock/images.h"

#include <X11/Xlib.h>
#include <X11/xpm.h>

#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <vector>

#include "monitor/dock/dockstate.h"

namespace {

#include "monitor/dock/images/background.xpm"
#include "monitor/dock/images/backlit.xpm"
#include "monitor/dock/images/parts.xpm"

constexpr unsigned int pictureSize = 58;
constexpr unsigned int frameSize = 64;

// Parses and allocates like colorByName; black (with the message) when the
// colormap is full. The colour as allocated is left in `color`.
std::optional<unsigned long> allocateNamed(const std::string& name, XColor& color) {
    Display* display = dockState().display;
    const Colormap colormap = DefaultColormap(display, DefaultScreen(display));
    if (!XParseColor(display, colormap, name.c_str(), &color)) {
        std::fprintf(stderr, "can't parse color %s\n", name.c_str());
        std::exit(1);
    }
    if (!XAllocColor(display, colormap, &color)) return std::nullopt;
    return color.pixel;
}

unsigned long blackInstead(const std::string& name) {
    std::fprintf(stderr, "can't allocate color %s. Using black\n", name.c_str());
    Display* display = dockState().display;
    return BlackPixel(display, DefaultScreen(display));
}

unsigned short shiftComponent(unsigned short value, int offset, float factor) {
    const long moved = static_cast<long>(value) + 255L * offset;
    if (moved > 65535) return 65535;
    if (moved < 0) return 0;
    return static_cast<unsigned short>(static_cast<float>(value) * factor +
                                       static_cast<float>(255 * offset));
}

// A picture's lines, with the transparent colour made the frame's grey in
// windowed mode so that the corners match the frame around the picture.
template <size_t N>
std::vector<const char*> pictureLines(const char* const (&data)[N], bool opaqueCorners) {
    std::vector<const char*> lines(std::begin(data), std::end(data));
    if (opaqueCorners) lines[1] = ". c #AEAAAE";
    return lines;
}

[[noreturn]] void failImage(const char* message) {
    std::fputs(message, stderr);
    std::exit(1);
}

}  // namespace

DockPixmap backgroundPixmap;
DockPixmap backlitPixmap;
DockPixmap partsPixmap;
DockPixmap workPixmap;

int dockLoadXpm(const char* const* data, DockPixmap& pixmap, DockPixmap* mask,
                const DockColorSymbol* overrides, int count) {
    const DockState& dock = dockState();
    std::vector<XpmColorSymbol> symbols(static_cast<size_t>(count));
    for (size_t i = 0; i < symbols.size(); ++i) {
        symbols[i].name = const_cast<char*>(overrides[i].name);
        symbols[i].value = nullptr;
        symbols[i].pixel = overrides[i].pixel;
    }
    XpmAttributes attributes{};
    attributes.valuemask = XpmCloseness;
    attributes.closeness = 40000;
    if (count != 0) {
        attributes.valuemask |= XpmColorSymbols;
        attributes.colorsymbols = symbols.data();
        attributes.numsymbols = static_cast<unsigned int>(count);
    }
    Pixmap made = 0;
    Pixmap madeMask = 0;
    // The XPM library only reads the lines.
    const int status = XpmCreatePixmapFromData(dock.display, dock.iconWin, const_cast<char**>(data),
                                               &made, mask ? &madeMask : nullptr, &attributes);
    pixmap.reset(made);
    if (mask) mask->reset(madeMask);
    return status == XpmSuccess ? 1 : 0;
}

unsigned long colorByName(const std::string& name) {
    XColor color{};
    if (auto pixel = allocateNamed(name, color)) return *pixel;
    return blackInstead(name);
}

unsigned long colorShifted(const std::string& name, int red, int green, int blue, float factor) {
    for (int offset : {red, green, blue}) {
        if (offset < -255 || offset > 255) {
            std::fprintf(stderr, "can't shift color %s by %d: offsets lie within -255 to 255\n",
                         name.c_str(), offset);
            std::exit(1);
        }
    }
    XColor color{};
    const auto pixel = allocateNamed(name, color);
    if (!pixel) return blackInstead(name);
    const DockState& dock = dockState();
    // Few colours: a second allocation could take the last free cells.
    if (dock.depth < 16) return *pixel;

    XColor shifted{};
    shifted.red = shiftComponent(color.red, red, factor);
    shifted.green = shiftComponent(color.green, green, factor);
    shifted.blue = shiftComponent(color.blue, blue, factor);
    shifted.flags = DoRed | DoGreen | DoBlue;
    Display* display = dock.display;
    if (!XAllocColor(display, DefaultColormap(display, DefaultScreen(display)), &shifted)) {
        return blackInstead(name);
    }
    return shifted.pixel;
}

void dockSetBackground(DockDrawable picture) {
    const DockState& dock = dockState();
    Display* display = dock.display;
    if (!dock.windowed) {
        XSetWindowBackgroundPixmap(display, dock.iconWin, picture);
        XSetWindowBackgroundPixmap(display, dock.mainWin, picture);
    } else {
        const DockPixmap frame = dockCreatePixmap(frameSize, frameSize);
        const Drawable f = frame.get();
        XSetForeground(display, dock.gc, colorByName("rgb:ae/aa/ae"));
        XFillRectangle(display, f, dock.gc, 0, 0, frameSize, frameSize);
        XSetForeground(display, dock.gc, colorByName("rgb:ff/ff/ff"));
        XDrawLine(display, f, dock.gc, 0, 0, 0, 63);
        XDrawLine(display, f, dock.gc, 1, 0, 1, 62);
        XDrawLine(display, f, dock.gc, 2, 0, 63, 0);
        XDrawLine(display, f, dock.gc, 2, 1, 62, 1);
        XSetForeground(display, dock.gc, colorByName("rgb:52/55/52"));
        XDrawLine(display, f, dock.gc, 1, 63, 63, 63);
        XDrawLine(display, f, dock.gc, 2, 62, 63, 62);
        XDrawLine(display, f, dock.gc, 63, 1, 63, 61);
        XDrawLine(display, f, dock.gc, 62, 2, 62, 61);
        dockCopyArea(picture, f, 0, 0, dock.pictureWidth, dock.pictureHeight, dock.offsetX,
                     dock.offsetY);
        // The windows keep the frame as their background after it is freed.
        XSetWindowBackgroundPixmap(display, dock.iconWin, f);
        XSetWindowBackgroundPixmap(display, dock.mainWin, f);
    }
    XClearWindow(display, dock.iconWin);
    XFlush(display);
}

void dockSetUpImages(const std::optional<std::string>& lightColor, int32_t backlight) {
    const bool windowedMode = dockState().windowed;
    DockColorSymbol overrides[2];
    int count = 0;
    if (lightColor) {
        overrides[0] = {"Back0", colorByName(*lightColor)};
        overrides[1] = {"Back1", colorShifted(*lightColor, -24, -24, -24, 1.0f)};
        count = 2;
    }

    const auto backlitLines = pictureLines(backlit_xpm, windowedMode);
    const auto backgroundLines = pictureLines(background_xpm, windowedMode);
    DockPixmap mask;
    if (!dockLoadXpm(backlitLines.data(), backlitPixmap, &mask, overrides, count)) {
        failImage("Error initializing backlit background image.\n");
    }
    if (!dockLoadXpm(backgroundLines.data(), backgroundPixmap, nullptr, nullptr, 0)) {
        failImage("Error initializing background image.\n");
    }
    if (!dockLoadXpm(parts_xpm, partsPixmap, nullptr, overrides, count)) {
        failImage("Error initializing parts image.\n");
    }
    if (!windowedMode) dockShape(mask.get(), 0, 0);
    mask.reset();

    workPixmap = dockCreatePixmap(pictureSize, pictureSize);
    const DockDrawable shown = backlight == 1 ? backlitPixmap.get() : backgroundPixmap.get();
    dockCopyArea(shown, workPixmap.get(), 0, 0, pictureSize, pictureSize, 0, 0);
    dockSetBackground(workPixmap.get());
    dockMap();
}
