// gtest before Xlib, whose None macro breaks it.
#include <gtest/gtest.h>

#include "tests/monitor/dock/xsupport.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace {

int remainingMs(std::chrono::steady_clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quorvik-dock-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    root = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
}

Child::Child(const std::vector<std::string>& argv, const std::vector<std::string>& environment) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    id = fork();
    if (id == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (const auto& e : environment) putenv(const_cast<char*>(e.c_str()));
        execv(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    outFd = out[0];
    errFd = err[0];
}

Child::~Child() {
    if (!status) {
        kill(id, SIGTERM);
        if (!wait(2s)) {
            kill(id, SIGKILL);
            wait(2s);
        }
    }
    close(outFd);
    close(errFd);
}

std::optional<std::string> Child::readLine(std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto newline = outBuffer.find('\n');
        if (newline != std::string::npos) {
            std::string line = outBuffer.substr(0, newline);
            outBuffer.erase(0, newline + 1);
            return line;
        }
        pollfd ready{outFd, POLLIN, 0};
        if (poll(&ready, 1, remainingMs(end)) <= 0) return std::nullopt;
        char chunk[512];
        const ssize_t got = read(outFd, chunk, sizeof chunk);
        if (got <= 0) return std::nullopt;
        outBuffer.append(chunk, static_cast<size_t>(got));
    }
}

std::optional<int> Child::wait(std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!status) {
        int raw = 0;
        const pid_t done = waitpid(id, &raw, WNOHANG);
        if (done == id) {
            status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            break;
        }
        if (std::chrono::steady_clock::now() > end) return std::nullopt;
        std::this_thread::sleep_for(10ms);
    }
    return status;
}

std::string Child::errorText() {
    std::string text;
    char chunk[512];
    pollfd ready{errFd, POLLIN, 0};
    while (poll(&ready, 1, status ? 100 : 0) > 0) {
        const ssize_t got = read(errFd, chunk, sizeof chunk);
        if (got <= 0) break;
        text.append(chunk, static_cast<size_t>(got));
    }
    return text;
}

WindowMaker::WindowMaker(const std::string& display) {
    const auto defaults = home.path() / "GNUstep" / "Defaults";
    std::filesystem::create_directories(defaults);
    std::ofstream(defaults / "WMState") << R"({
  Dock = {
    Applications = (
      { Name = Logo.WMDock; Command = "-"; AutoLaunch = No; Forced = No; Position = "0,0";
        Lock = Yes; },
      { Name = Quorvik.DockApp; Command = "quorvik"; AutoLaunch = No; Forced = No;
        Position = "0,1"; Lock = No; }
    );
    Position = "-64,0";
    Lowered = No;
  };
}
)";
    process.emplace(std::vector<std::string>{"/usr/bin/wmaker", "--no-autolaunch", "--no-clip",
                                             "--static", "-display", display},
                    std::vector<std::string>{"HOME=" + home.path().string()});
    // Ready once it has put up its check window and the dock's first tile.
    Connection x(display);
    const Atom check = XInternAtom(x, "_NET_SUPPORTING_WM_CHECK", False);
    const bool up = eventually([&] {
        Atom type;
        int format;
        unsigned long count, after;
        unsigned char* data = nullptr;
        const bool found =
            XGetWindowProperty(x, DefaultRootWindow(x.get()), check, 0, 1, False, XA_WINDOW, &type,
                               &format, &count, &after, &data) == Success &&
            count == 1;
        if (data) XFree(data);
        return found;
    });
    if (!up) throw std::runtime_error("wmaker did not start: " + process->errorText());
    // Then the dock's first tile, the logo in the top right corner: from then
    // on an applet mapped is taken into the dock.
    const int screenWidth = DisplayWidth(x.get(), DefaultScreen(x.get()));
    const bool docked = eventually([&] {
        Window root, parent, *children = nullptr;
        unsigned int count = 0;
        if (!XQueryTree(x, DefaultRootWindow(x.get()), &root, &parent, &children, &count))
            return false;
        bool found = false;
        for (unsigned int i = 0; i < count && !found; ++i) {
            XWindowAttributes a{};
            found = XGetWindowAttributes(x, children[i], &a) && a.map_state == IsViewable &&
                    a.width == 64 && a.height == 64 && a.x == screenWidth - 64 && a.y == 0;
        }
        if (children) XFree(children);
        return found;
    });
    if (!docked) throw std::runtime_error("wmaker put up no dock: " + process->errorText());
}

WindowMaker::~WindowMaker() { process.reset(); }

namespace {

// The name of the window that the root's _NET_SUPPORTING_WM_CHECK names: the
// running window manager's, or that of one gone before on the same server.
std::string checkWindowName(Display* display) {
    const Atom check = XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", False);
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    Window window = 0;
    if (XGetWindowProperty(display, DefaultRootWindow(display), check, 0, 1, False, XA_WINDOW,
                           &type, &format, &count, &after, &data) == Success &&
        count == 1) {
        window = *reinterpret_cast<Window*>(data);
    }
    if (data) XFree(data);
    if (!window) return "";
    const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    const Atom netName = XInternAtom(display, "_NET_WM_NAME", False);
    const auto previous = XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    std::string found;
    if (XGetWindowProperty(display, window, netName, 0, 64, False, utf8, &type, &format, &count,
                           &after, &data) == Success &&
        data) {
        found.assign(reinterpret_cast<char*>(data), count);
    }
    if (data) XFree(data);
    XSync(display, False);
    XSetErrorHandler(previous);
    return found;
}

}  // namespace

Fluxbox::Fluxbox(const std::string& display) {
    // No toolbar, which would cover the bottom of the slit, and no
    // background: the style's own would start a wallpaper setter.
    const auto config = home.path() / ".fluxbox";
    std::filesystem::create_directories(config);
    std::ofstream(config / "init") << "session.configVersion: 13\n"
                                      "session.screen0.toolbar.visible: false\n";
    std::ofstream(config / "overlay") << "background: none\n";
    // It redirects the root's map requests before it names its check window,
    // so from then on a new dock applet goes to the slit. A window manager
    // that ended just before may still hold the root until the server has
    // seen it go: then fluxbox gives up at once, and is started again.
    Connection x(display);
    for (int attempt = 0; attempt < 20; ++attempt) {
        process.emplace(std::vector<std::string>{"/usr/bin/fluxbox", "-display", display},
                        std::vector<std::string>{"HOME=" + home.path().string()});
        bool ended = false;
        const bool up = eventually([&] {
            ended = process->wait(0ms).has_value();
            return ended || checkWindowName(x) == "Fluxbox";
        });
        if (up && !ended) return;
        if (!ended) break;
    }
    throw std::runtime_error("fluxbox did not start: " + process->errorText());
}

namespace {

// One Xvfb for the whole test program.
class XServerEnvironment : public ::testing::Environment {
public:
    void SetUp() override { server.emplace(); }
    void TearDown() override {
        if (beforeServerStops) beforeServerStops();
        server.reset();
    }
    std::optional<Xvfb> server;
};

XServerEnvironment* environment =
    static_cast<XServerEnvironment*>(::testing::AddGlobalTestEnvironment(new XServerEnvironment));

}  // namespace

const std::string& sharedDisplay() { return environment->server->name(); }

Connection::Connection(const std::string& name) : display(XOpenDisplay(name.c_str())) {
    if (!display) throw std::runtime_error("cannot open display " + name);
}

Connection::~Connection() { XCloseDisplay(display); }

std::string probePath() { return QUORVIK_BINARY_DIR "/tests/monitor/dock/dock_probe"; }

Probe::Probe(const std::string& display, const std::vector<std::string>& arguments) {
    std::vector<std::string> argv{probePath(), "-d", display};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    child.emplace(argv);
    const auto line = child->readLine();
    if (line != "ready") throw std::runtime_error("probe not ready: " + child->errorText());
}

namespace {

void collectByClass(Display* display, Window window, std::vector<Window>& found) {
    XClassHint hint{};
    if (XGetClassHint(display, window, &hint)) {
        if (std::string(hint.res_class) == "DockApp") found.push_back(window);
        XFree(hint.res_name);
        XFree(hint.res_class);
    }
    Window root, parent, *children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display, window, &root, &parent, &children, &count)) return;
    for (unsigned int i = 0; i < count; ++i) collectByClass(display, children[i], found);
    if (children) XFree(children);
}

}  // namespace

// Windows of the window manager may go while the tree is walked.
int ignoreError(Display*, XErrorEvent*) { return 0; }

ProbeWindows findDockWindows(Display* display) {
    ProbeWindows found;
    XSync(display, False);
    const auto previous = XSetErrorHandler(ignoreError);
    std::vector<Window> leaders;
    collectByClass(display, DefaultRootWindow(display), leaders);
    for (Window leader : leaders) {
        XWMHints* hints = XGetWMHints(display, leader);
        if (!hints) continue;
        found = {leader, hints->icon_window};
        XFree(hints);
        break;
    }
    XSync(display, False);
    XSetErrorHandler(previous);
    return found;
}

ProbeWindows Probe::windows(Display* display) {
    ProbeWindows found;
    eventually([&] {
        found = findDockWindows(display);
        return found.mainWin != 0;
    });
    return found;
}

std::vector<unsigned long> readPixels(Display* display, Window window, int x, int y,
                                      unsigned int width, unsigned int height) {
    XImage* image = XGetImage(display, window, x, y, width, height, AllPlanes, ZPixmap);
    if (!image) throw std::runtime_error("XGetImage failed");
    std::vector<unsigned long> pixels;
    for (unsigned int row = 0; row < height; ++row) {
        for (unsigned int column = 0; column < width; ++column) {
            pixels.push_back(XGetPixel(image, static_cast<int>(column), static_cast<int>(row)));
        }
    }
    XDestroyImage(image);
    return pixels;
}

std::vector<uint32_t> readColours(Display* display, Window window, int x, int y, unsigned int width,
                                  unsigned int height) {
    const auto pixels = readPixels(display, window, x, y, width, height);
    std::vector<XColor> colours(pixels.size());
    for (size_t i = 0; i < pixels.size(); ++i) colours[i].pixel = pixels[i];
    XQueryColors(display, DefaultColormap(display, DefaultScreen(display)), colours.data(),
                 static_cast<int>(colours.size()));
    std::vector<uint32_t> rgb;
    for (const XColor& c : colours) {
        rgb.push_back(
            static_cast<uint32_t>((c.red >> 8) << 16 | (c.green >> 8) << 8 | c.blue >> 8));
    }
    return rgb;
}

uint32_t colourOfPixel(Display* display, unsigned long pixel) {
    XColor c{};
    c.pixel = pixel;
    XQueryColor(display, DefaultColormap(display, DefaultScreen(display)), &c);
    return static_cast<uint32_t>((c.red >> 8) << 16 | (c.green >> 8) << 8 | c.blue >> 8);
}
