// Drawing the box number and the counts: the background, then only the
// glyphs that differ from the ghosts beneath them, then one copy to the window.

#include "monitor/dock/render.h"

#include "monitor/dock/dock.h"
#include "monitor/dock/images.h"

namespace {

constexpr unsigned int pictureSize = 58;
constexpr unsigned int largeWidth = 10;
constexpr unsigned int largeHeight = 20;
constexpr unsigned int smallWidth = 5;
constexpr unsigned int smallHeight = 9;
constexpr int boxY = 12;
constexpr int boxTensX = 7;
constexpr int boxUnitsX = 13;
constexpr int newY = 7;
constexpr int totalY = 34;
constexpr int unitsX = 45;
constexpr int tensX = 33;
constexpr int hundredsX = 21;
constexpr int thousandsX = 9;
// The "Err" sign: in the parts image below the small digits, unlit then lit;
// in the picture on the bare panel above the box number, clear of the ghosts.
constexpr unsigned int signWidth = 16;
constexpr unsigned int signHeight = 7;
constexpr int signSourceY = 49;
constexpr int signX = 5;
constexpr int signY = 4;

void large(int digit, int row, int x, int y) {
    dockCopyArea(partsPixmap.get(), workPixmap.get(), static_cast<int>(largeWidth) * digit, row,
                 largeWidth, largeHeight, x, y);
}

void small(int sourceX, int sourceY, int x) {
    dockCopyArea(partsPixmap.get(), workPixmap.get(), sourceX, sourceY, smallWidth, smallHeight, x,
                 boxY);
}

}  // namespace

void displayRedraw(const DisplayState& shown) {
    const bool lit = shown.backlight == 1;
    const int row = lit ? 20 : 0;

    dockCopyArea(lit ? backlitPixmap.get() : backgroundPixmap.get(), workPixmap.get(), 0, 0,
                 pictureSize, pictureSize, 0, 0);

    // Two cells only: a box number of 100 or more shows its last two digits.
    const int box = shown.selectedBox;
    if (box <= 0) {
        const int dashY = lit ? 40 : 31;
        small(100, dashY, boxUnitsX);
        small(100, dashY, boxTensX);
    } else {
        const int base = lit ? 50 : 0;
        small(base + 5 * (box % 10), 40, boxUnitsX);
        small(base + 5 * (box / 10 % 10), 40, boxTensX);
    }

    if (shown.failing != 0) {
        dockCopyArea(partsPixmap.get(), workPixmap.get(), lit ? static_cast<int>(signWidth) : 0,
                     signSourceY, signWidth, signHeight, signX, signY);
    }

    // Leading zeros keep the ghosts of the background.
    if (shown.showNewCount != 0) {
        const int n = (shown.shownNew < 0 ? 0 : shown.shownNew) % 1000;
        const int h = n % 100;
        large(h % 10, row, unitsX, newY);
        if (n > 99 || h > 9) large(h / 10, row, tensX, newY);
        if (n > 99) large(n / 100, row, hundredsX, newY);
    }

    const int m = (shown.shownTotal < 0 ? 0 : shown.shownTotal) % 10000;
    const int g = m % 1000;
    const int h = g % 100;
    large(h % 10, row, unitsX, totalY);
    if (m > 999 || h > 9 || g >= 100) large(h / 10, row, tensX, totalY);
    if (m > 999 || g >= 100) large(g / 100, row, hundredsX, totalY);
    if (m > 999) large(m / 1000, row, thousandsX, totalY);

    dockShowPicture(workPixmap.get());
}
