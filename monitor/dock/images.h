#pragma once
// The compiled-in pictures, the colours and the window background.

#include <cstdint>
#include <optional>
#include <string>

#include "monitor/dock/dock.h"

// The pictures in the server, held for the life of the process.
extern DockPixmap backgroundPixmap;  // 58 x 58, the unlit display
extern DockPixmap backlitPixmap;     // 58 x 58, the lit display
extern DockPixmap partsPixmap;       // 106 x 49, every glyph
extern DockPixmap workPixmap;        // 58 x 58, the picture under composition

// A colour symbol of an XPM picture ("Back0", "Back1") given a pixel instead.
struct DockColorSymbol {
    const char* name = nullptr;
    unsigned long pixel = 0;
};

// 1 when the XPM library made the pixmap (and the mask, when asked) in full.
int dockLoadXpm(const char* const* data, DockPixmap& pixmap, DockPixmap* mask,
                const DockColorSymbol* overrides, int count);

// The pixel of a colour in the default colormap; ends the process (status 1)
// on a name that does not parse, black when the colormap is full.
unsigned long colorByName(const std::string& name);

// The named colour with each component moved by 255 times its offset.
unsigned long colorShifted(const std::string& name, int red, int green, int blue, float factor);

// Makes the 58 x 58 picture the windows' background (framed in windowed mode).
void dockSetBackground(DockDrawable picture);

// The image set-up of start-up: colour overrides from the light colour
// (none: the pictures' own), the three pictures, the shape, the work pixmap
// showing the background that matches the backlight, the window background,
// the map.
void dockSetUpImages(const std::optional<std::string>& lightColor, int32_t backlight);
