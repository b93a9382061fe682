// The check cycle with 1,000 local boxes checked by workers: the time of one
// scheduler pass, of the workers' checks and of one cycle, and the main
// thread's longest pause while the workers run.

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "monitor/cycle/cycle.h"
#include "monitor/state/boxes.h"
#include "monitor/state/options.h"

namespace {

using Clock = std::chrono::steady_clock;

double milliseconds(Clock::duration span) {
    return std::chrono::duration<double, std::milli>(span).count();
}

bool allChecked(const BoxList& list) {
    return std::all_of(list.begin(), list.end(),
                       [](const auto& box) { return box->counted.load() == 1 && box->busy == 0; });
}

}  // namespace

int main(int argc, char** argv) {
    int boxes = argc > 1 ? std::atoi(argv[1]) : 1000;
    auto directory = std::filesystem::temp_directory_path() /
                     ("quorvik-cycle-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(directory);
    for (int i = 0; i < boxes; ++i) {
        auto path = directory / ("box" + std::to_string(i));
        std::ofstream mbox(path);
        for (int message = 0; message < 20; ++message)
            mbox << "From someone@example.org Thu Dec 10 09:00:00 2026\nSubject: " << message
                 << "\n"
                 << (message % 3 ? "Status: RO\n" : "") << "\nBody line.\n\n";
        addDefinition(settings::boxDefinitions, "MBOX " + path.string());
    }
    rebuildBoxList();
    auto list = boxListSnapshot();

    CycleOutputs shown;
    Clock::duration longestCycle{};
    Clock::duration passTime{};
    auto start = Clock::now();
    std::thread scheduler([&] {
        auto begin = Clock::now();
        schedulerPass();
        passTime = Clock::now() - begin;
    });
    int cycles = 0;
    while (!allChecked(*list)) {
        auto begin = Clock::now();
        shown = checkCycle(0);
        longestCycle = std::max(longestCycle, Clock::now() - begin);
        ++cycles;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    auto checksTime = Clock::now() - start;
    scheduler.join();

    constexpr int repeats = 1000;
    auto begin = Clock::now();
    for (int i = 0; i < repeats; ++i) shown = checkCycle(0);
    auto cycleTime = (Clock::now() - begin) / repeats;

    std::printf("boxes: %d (shown %d new of %d)\n", boxes, shown.shownNew, shown.shownTotal);
    std::printf("one scheduler pass (starting the workers): %.2f ms\n", milliseconds(passTime));
    std::printf("all workers' checks done after: %.2f ms\n", milliseconds(checksTime));
    std::printf("one cycle with every box updated: %.3f ms\n", milliseconds(cycleTime));
    std::printf("main thread's longest cycle while the workers ran: %.3f ms (%d cycles)\n",
                milliseconds(longestCycle), cycles);
    std::filesystem::remove_all(directory);
    return 0;
}
