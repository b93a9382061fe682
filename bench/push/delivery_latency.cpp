// The time from a delivery to the new count on a running monitor's window:
// runs a delivery command COUNT times and, after each, waits until the
// pixels of the total's cells (or of the box number's) change. Prints the
// median, the 95th percentile and the longest time in milliseconds, and how
// many deliveries were not shown within the limit.
//   delivery_latency DISPLAY COUNT total|box LIMIT_MS COMMAND
// COMMAND runs through /bin/sh with N set to the delivery's number (1 up).

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <sys/wait.h>
#include <unistd.h>

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

// The pixels of a rectangle of the picture (windowed mode: at 3, 3).
std::vector<unsigned long> pixels(Display* display, Window window, int x, int y, int width,
                                  int height) {
    std::vector<unsigned long> values;
    XImage* image = XGetImage(display, window, 3 + x, 3 + y, width, height, AllPlanes, ZPixmap);
    if (!image) return values;
    for (int row = 0; row < height; ++row)
        for (int column = 0; column < width; ++column)
            values.push_back(XGetPixel(image, column, row));
    XDestroyImage(image);
    return values;
}

bool deliver(const std::string& command, int number) {
    pid_t child = fork();
    if (child == 0) {
        setenv("N", std::to_string(number).c_str(), 1);
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6) return 2;
    Display* display = XOpenDisplay(argv[1]);
    if (!display) return 2;
    int count = std::atoi(argv[2]);
    bool box = std::string(argv[3]) == "box";
    auto limit = std::chrono::milliseconds(std::atoi(argv[4]));
    std::string command = argv[5];
    Window icon = 0;
    for (int tries = 0; tries < 200 && !icon; ++tries) {
        icon = findIconWindow(display, DefaultRootWindow(display));
        if (!icon) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!icon) return 3;
    // The total's four cells, or the box number's two.
    int x = box ? 7 : 9, y = box ? 12 : 34, width = box ? 11 : 46, height = box ? 9 : 20;
    std::vector<double> times;
    int missed = 0;
    for (int number = 1; number <= count; ++number) {
        auto before = pixels(display, icon, x, y, width, height);
        if (!deliver(command, number)) {
            std::fprintf(stderr, "delivery %d failed\n", number);
            return 4;
        }
        auto landed = Clock::now();
        while (pixels(display, icon, x, y, width, height) == before) {
            if (Clock::now() - landed > limit) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        auto took = Clock::now() - landed;
        if (took > limit) ++missed;
        times.push_back(std::chrono::duration<double, std::milli>(took).count());
    }
    std::sort(times.begin(), times.end());
    auto at = [&](double share) {
        return times[std::min(times.size() - 1, static_cast<std::size_t>(share * times.size()))];
    };
    std::printf("%.1f %.1f %.1f %d\n", at(0.5), at(0.95), times.back(), missed);
    XCloseDisplay(display);
    return 0;
}
