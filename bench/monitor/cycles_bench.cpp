// Ten thousand cycles of the main loop in one process, without threads:
// checks of three local boxes (one of them changing now and then), the
// cycle, the alert logic and a full redraw on a real X display. Prints the
// resident memory after 100, 1,000 and 10,000 cycles.
//   cycles_bench DISPLAY DIRECTORY

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "monitor/cycle/cycle.h"
#include "monitor/dock/dock.h"
#include "monitor/dock/images.h"
#include "monitor/dock/render.h"
#include "monitor/mainloop/mainloop.h"
#include "monitor/state/boxes.h"
#include "monitor/state/options.h"

namespace {

long residentKilobytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    std::filesystem::path directory = argv[2];
    std::filesystem::create_directories(directory / "Maildir" / "new");
    std::filesystem::create_directories(directory / "Maildir" / "cur");
    std::filesystem::path mbox = directory / "mbox";
    std::ofstream(mbox) << "From a\nStatus: RO\n\nread\n";
    std::ofstream(directory / "Maildir" / "new" / "1.x.host") << "Subject: new\n\nbody\n";
    std::ofstream(directory / "other") << "From b\n\nnew\n";

    settings::useThreads = 0;
    settings::checkSize = 1;  // every change of the changing box is seen, even within a second
    addDefinition(settings::boxDefinitions, "MBOX " + mbox.string());
    addDefinition(settings::boxDefinitions, "MAILDIR " + (directory / "Maildir").string());
    addDefinition(settings::boxDefinitions, "MBOX " + (directory / "other").string());
    rebuildBoxList();
    firstCheck();
    LoopState loop = startingLoopState();
    loop.shown = checkCycle(loop.selectedBox);
    char* arguments[] = {argv[0], nullptr};
    dockOpen(argv[1], applicationName, 58, 58, 1, arguments, {});
    dockSelectInput(dockButtonPressMask);
    dockSetUpImages(settings::color.get(), loop.backlight);
    redraw(loop);

    for (int cycle = 1; cycle <= 10000; ++cycle) {
        if (cycle % 50 == 0) std::ofstream(mbox, std::ios::app) << "From c\n\nnew\n";
        if (cycle % 50 == 25) std::ofstream(mbox) << "From a\nStatus: RO\n\nread\n";
        DockEvent event;
        while (dockNextEvent(event, 0) == 1) {
        }
        runCycle(loop);
        redraw(loop);
        if (cycle == 100 || cycle == 1000 || cycle == 10000)
            std::printf("resident memory after %5d cycles: %ld kB\n", cycle, residentKilobytes());
    }
    std::filesystem::remove_all(directory);
    return 0;
}
