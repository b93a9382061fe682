// Presses button 1 beside the buttons of a running monitor (which toggles
// its backlight and redraws at once) and measures how long the window takes
// to change. Prints the median and the longest time in milliseconds.
//   press_latency DISPLAY PRESSES

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/support/dock_window.h"

namespace {

using Clock = std::chrono::steady_clock;

unsigned long panelPixel(Display* display, Window window) {
    // A pixel of the panel between the digits, in windowed mode at (3, 3).
    XImage* image = XGetImage(display, window, 3 + 30, 3 + 31, 1, 1, AllPlanes, ZPixmap);
    unsigned long pixel = image ? XGetPixel(image, 0, 0) : 0;
    if (image) XDestroyImage(image);
    return pixel;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    Display* display = XOpenDisplay(argv[1]);
    if (!display) return 2;
    int presses = std::atoi(argv[2]);
    Window icon = 0;
    for (int tries = 0; tries < 200 && !icon; ++tries) {
        icon = findIconWindow(display, DefaultRootWindow(display));
        if (!icon) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!icon) return 3;
    int rootX = 0, rootY = 0;
    Window child;
    XTranslateCoordinates(display, icon, DefaultRootWindow(display), 3 + 40, 3 + 45, &rootX, &rootY,
                          &child);
    std::vector<double> times;
    for (int i = 0; i < presses; ++i) {
        unsigned long before = panelPixel(display, icon);
        XTestFakeMotionEvent(display, -1, rootX, rootY, 0);
        XTestFakeButtonEvent(display, 1, True, 0);
        XTestFakeButtonEvent(display, 1, False, 0);
        XFlush(display);
        auto start = Clock::now();
        while (panelPixel(display, icon) == before) {
            if (Clock::now() - start > std::chrono::seconds(5)) break;
        }
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        std::this_thread::sleep_for(std::chrono::milliseconds(137));
    }
    std::sort(times.begin(), times.end());
    std::printf("%.1f %.1f\n", times[times.size() / 2], times.back());
    XCloseDisplay(display);
    return 0;
}
