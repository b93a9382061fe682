#pragma once
// Real peers for the dock tests: Window Maker, fluxbox and the dock probe
// program on the X server that the test program shares, each owned by an
// object that ends it when it goes.

#include <X11/Xlib.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/xvfb.h"

using namespace std::chrono_literals;

// A temporary directory, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return root; }

private:
    std::filesystem::path root;
};

// A child process with its standard output and error read through pipes.
class Child {
public:
    Child(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {});
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return id; }
    // The next line of standard output, without its newline; none on time-out or end.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout = 10s);
    // The exit status (or 128 + signal); none when it is still running after the time-out.
    std::optional<int> wait(std::chrono::milliseconds timeout = 10s);
    // Everything written to standard error so far (after the process ended: all of it).
    std::string errorText();

private:
    pid_t id = -1;
    int outFd = -1;
    int errFd = -1;
    std::string outBuffer;
    std::optional<int> status;
};

// Window Maker with a fresh home whose saved dock state keeps a tile for the
// class Quorvik.DockApp: without it the applet is shown as a free icon.
class WindowMaker {
public:
    explicit WindowMaker(const std::string& display);
    ~WindowMaker();

private:
    TempDir home;
    std::optional<Child> process;
};

// fluxbox with a fresh home, where it writes its default configuration: its
// slit, at the bottom right corner, takes in the dock applets.
class Fluxbox {
public:
    explicit Fluxbox(const std::string& display);

private:
    TempDir home;
    std::optional<Child> process;
};

// The X server that the whole test program shares.
const std::string& sharedDisplay();
// Run before the shared server stops: what still holds a connection closes it.
inline void (*beforeServerStops)() = nullptr;

// A display connection, closed when it goes.
class Connection {
public:
    explicit Connection(const std::string& name);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    Display* get() const { return display; }
    operator Display*() const { return display; }

private:
    Display* display = nullptr;
};

// The probe's windows, found by their class hint.
struct ProbeWindows {
    Window mainWin = 0;
    Window iconWin = 0;
};

// The first dock application's windows on the display (its leader, of class
// DockApp, and the icon window its hints name); zeros when there is none yet.
ProbeWindows findDockWindows(Display* display);

// Starts the probe on the display with the given arguments and waits for "ready".
class Probe {
public:
    Probe(const std::string& display, const std::vector<std::string>& arguments);
    Child& process() { return *child; }
    // The windows, once both exist and carry their hints.
    ProbeWindows windows(Display* display);

private:
    std::optional<Child> child;
};

std::string probePath();

// The colours (0xRRGGBB) of a rectangle of a window as the server shows it.
std::vector<uint32_t> readColours(Display* display, Window window, int x, int y, unsigned int width,
                                  unsigned int height);
// The pixel values of the same.
std::vector<unsigned long> readPixels(Display* display, Window window, int x, int y,
                                      unsigned int width, unsigned int height);
// The colour (0xRRGGBB, 8 bits a component) of a pixel in the default colormap.
uint32_t colourOfPixel(Display* display, unsigned long pixel);

// Waits until the condition holds, polling; false after the time-out.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds timeout = 10s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(20ms);
    }
}
