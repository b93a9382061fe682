// A small program that opens the dock and shows given counts: the same
// start-up and event loop as the monitor, without mail. Each press is
// printed as "press BUTTON X Y STATE" on standard output.
//
//   dock_probe [-d display] [-w] [-k] [-b] [-c color] [-s box] [-n new] [-t total] [-H]

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "monitor/core/cycle.h"
#include "monitor/core/options.h"
#include "monitor/dock/dock.h"
#include "monitor/dock/images.h"
#include "monitor/dock/render.h"

int main(int argc, char** argv) {
    std::string display;
    int option;
    while ((option = getopt(argc, argv, "d:wkbc:s:n:t:H")) != -1) {
        switch (option) {
        case 'd':
            display = optarg;
            break;
        case 'w':
            settings::windowed = 1;
            break;
        case 'k':
            settings::brokenWM = 1;
            break;
        case 'b':
            settings::backlight = 1;
            break;
        case 'c':
            settings::color.reset(optarg);
            break;
        case 's':
            settings::selectedBox = std::atoi(optarg);
            break;
        case 'n':
            shownNew = std::atoi(optarg);
            break;
        case 't':
            shownTotal = std::atoi(optarg);
            break;
        case 'H':
            showNewCount = 0;
            break;
        default:
            return 2;
        }
    }
    dockOpen(display, applicationName, 58, 58, argc, argv);
    dockSelectInput(dockButtonPressMask);
    dockSetUpImages();
    displayRedraw();

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
        if (!got) displayRedraw();
        if (got && event.type == dockButtonPress) {
            std::printf("press %u %d %d %u\n", event.button, event.x, event.y, event.state);
            std::fflush(stdout);
        }
    }
}
