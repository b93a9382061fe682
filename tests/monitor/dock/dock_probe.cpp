// A small program that opens the dock and shows given counts: the same
// start-up and event loop as the monitor, without mail. Each press is
// printed as "press BUTTON X Y STATE" on standard output.
//
//   dock_probe [-d display] [-w] [-k] [-b] [-c color] [-s box] [-n new] [-t total] [-H] [-F]
//
// -H shows the dark phase of a blinking new count, -F a failing box.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "monitor/dock/dock.h"
#include "monitor/dock/images.h"
#include "monitor/dock/render.h"

int main(int argc, char** argv) {
    std::string display;
    DockModes modes;
    std::optional<std::string> lightColor;
    DisplayState shown;
    int option;
    while ((option = getopt(argc, argv, "d:wkbc:s:n:t:HF")) != -1) {
        switch (option) {
        case 'd':
            display = optarg;
            break;
        case 'w':
            modes.windowed = true;
            break;
        case 'k':
            modes.brokenWM = true;
            break;
        case 'b':
            shown.backlight = 1;
            break;
        case 'c':
            lightColor = optarg;
            break;
        case 's':
            shown.selectedBox = std::atoi(optarg);
            break;
        case 'n':
            shown.shownNew = std::atoi(optarg);
            break;
        case 't':
            shown.shownTotal = std::atoi(optarg);
            break;
        case 'H':
            shown.showNewCount = 0;
            break;
        case 'F':
            shown.failing = 1;
            break;
        default:
            return 2;
        }
    }
    dockOpen(display, "Quorvik", 58, 58, argc, argv, modes);
    dockSelectInput(dockButtonPressMask);
    dockSetUpImages(lightColor, shown.backlight);
    displayRedraw(shown);

    // The first wait sends the picture; then the caller may look at it.
    // Like the monitor, it redraws after each quiet second: a window manager
    // that maps the window late has it repainted with the bare background.
    DockEvent event;
    bool ready = false;
    for (;;) {
        const int got = dockNextEvent(event, ready ? 1000 : 0);
        if (!ready && !got) {
            std::printf("ready\n");
            std::fflush(stdout);
            ready = true;
        }
        if (!got) displayRedraw(shown);
        if (got && event.type == dockButtonPress) {
            std::printf("press %u %d %d %u\n", event.button, event.x, event.y, event.state);
            std::fflush(stdout);
        }
    }
}
