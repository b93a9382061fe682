// The monitor's checks without its window, for the account benchmark: reads
// the rc file and starts the threads as the monitor does, runs the check
// cycle every second for the time asked, and meanwhile samples the TCP
// connections established to the port. Prints the most held at once, those
// held at the end, and each box's counts (new, then total) on one last
// line, after what the monitor prints of the certificates it meets.
//   account_load RC-FILE SECONDS PORT

#include <malloc.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "common/signals.h"
#include "monitor/cycle/cycle.h"
#include "monitor/cycle/rcfile.h"
#include "monitor/cycle/watch.h"
#include "monitor/state/boxes.h"
#include "monitor/state/options.h"

namespace {

// Established connections to the port, from /proc/net/tcp and tcp6 (this
// benchmark runs in a network namespace of its own).
int connectionsTo(int port) {
    int count = 0;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream lines(table);
        std::string line;
        std::getline(lines, line);
        while (std::getline(lines, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            fields >> slot >> local >> remote >> state;
            auto colon = remote.rfind(':');
            if (state == "01" && colon != std::string::npos &&
                std::stoi(remote.substr(colon + 1), nullptr, 16) == port)
                ++count;
        }
    }
    return count;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) return 2;
    mallopt(M_ARENA_MAX, 2);
    ignoreChildrenAndBrokenPipes();
    char* arguments[] = {argv[0], const_cast<char*>("-f"), argv[1], nullptr};
    scanCommandLine(optionTable(), 3, arguments);
    rebuildBoxList();
    loadRcFileAtStartUp();
    startThreads();
    startWatching();
    int port = std::atoi(argv[3]);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(std::atoi(argv[2]));
    int most = 0, held = 0, cycle = 0;
    while (std::chrono::steady_clock::now() < end) {
        held = connectionsTo(port);
        most = std::max(most, held);
        if (++cycle % 20 == 0) checkCycle(0);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::printf("%d %d", most, held);
    for (const auto& box : *boxListSnapshot())
        std::printf(" %d/%d", box->newCount.load(), box->totalCount.load());
    std::printf("\n");
    std::fflush(stdout);
    std::_Exit(0);  // the threads are never joined, as in the monitor
}
