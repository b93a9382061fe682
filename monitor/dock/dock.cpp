// The X connection and the two dock windows.

#include "monitor/dock/dock.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/shape.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <type_traits>

#include "common/wait.h"
#include "monitor/dock/dockstate.h"

static_assert(std::is_same_v<DockDrawable, Drawable>, "DockDrawable must be Xlib's Drawable");

namespace {

DockState state;

// Closes the connection at process exit. The pointer itself is trivially
// destructible, so pixmap owners that go later still see it null.
struct DisplayOwner {
    DisplayOwner() = default;
    DisplayOwner(const DisplayOwner&) = delete;
    DisplayOwner& operator=(const DisplayOwner&) = delete;
    ~DisplayOwner() { close(); }
    void close() {
        if (state.display) XCloseDisplay(state.display);
        state.display = nullptr;
    }
} displayOwner;

void copyInServer(DockDrawable source, DockDrawable destination, int sourceX, int sourceY,
                  unsigned int width, unsigned int height, int destinationX, int destinationY) {
    XCopyArea(state.display, source, destination, state.gc, sourceX, sourceY, width, height,
              destinationX, destinationY);
}

int selectReadable(int fd, int wakeFd, long seconds, long microseconds) {
    auto deadline = seconds < 0 ? Deadline::max()
                                : std::chrono::steady_clock::now() + std::chrono::seconds(seconds) +
                                      std::chrono::microseconds(microseconds);
    return waitUntil(deadline, fd, POLLIN, wakeFd) == Woken::ready ? 1 : 0;
}

[[noreturn]] void failHints(const char* program) {
    std::fprintf(stderr, "%s: can't allocate memory for wm hints!\n", program);
    std::exit(1);
}

void toDockEvent(const XEvent& from, DockEvent& to) {
    to = DockEvent{};
    to.type = from.type;
    if (from.type == ButtonPress || from.type == ButtonRelease) {
        to.button = from.xbutton.button;
        to.state = from.xbutton.state;
        to.x = from.xbutton.x - state.offsetX;
        to.y = from.xbutton.y - state.offsetY;
    }
}

}  // namespace

DockCopyFunction dockCopyArea = copyInServer;
DockWaitFunction dockWaitReadable = selectReadable;

const DockState& dockState() { return state; }

void DockPixmap::reset(DockDrawable replacement) {
    if (id != 0 && state.display) XFreePixmap(state.display, id);
    id = replacement;
}

void dockOpen(const std::string& displayName, const char* application, unsigned int width,
              unsigned int height, int argc, char** argv, DockModes modes) {
    const char* program = argc > 0 ? argv[0] : "";
    state.display = XOpenDisplay(displayName.c_str());
    if (!state.display) {
        std::fprintf(stderr, "%s: could not open display %s!\n", program,
                     XDisplayName(displayName.c_str()));
        std::exit(1);
    }
    Display* display = state.display;
    const int screen = DefaultScreen(display);
    const Window root = RootWindow(display, screen);

    state.windowed = modes.windowed;
    state.brokenWM = modes.brokenWM;
    state.pictureWidth = width;
    state.pictureHeight = height;
    unsigned int windowWidth = width;
    unsigned int windowHeight = height;
    state.offsetX = 0;
    state.offsetY = 0;
    if (state.windowed) {
        windowWidth = 64;
        windowHeight = 64;
        state.offsetX = (64 - static_cast<int>(width)) / 2;
        state.offsetY = (64 - static_cast<int>(height)) / 2;
    }

    state.iconWin = XCreateSimpleWindow(display, root, 0, 0, windowWidth, windowHeight, 0, 0, 0);
    state.mainWin = state.brokenWM ? XCreateSimpleWindow(display, root, 0, 0, windowWidth,
                                                         windowHeight, 0, 0, 0)
                                   : XCreateSimpleWindow(display, root, 0, 0, 1, 1, 0, 0, 0);

    XClassHint* classHint = XAllocClassHint();
    if (!classHint) failHints(program);
    classHint->res_name = const_cast<char*>(application);
    classHint->res_class = const_cast<char*>("DockApp");
    XSetClassHint(display, state.mainWin, classHint);
    XFree(classHint);

    XWMHints* hints = XAllocWMHints();
    if (!hints) failHints(program);
    hints->flags = IconWindowHint | WindowGroupHint;
    if (!state.windowed) {
        hints->flags |= StateHint;
        hints->initial_state = WithdrawnState;
    }
    hints->icon_window = state.iconWin;
    hints->window_group = state.mainWin;
    XSetWMHints(display, state.mainWin, hints);
    XFree(hints);

    state.wmDeleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(display, state.iconWin, &state.wmDeleteWindow, 1);

    XSizeHints sizeHints{};
    if (state.windowed) {
        sizeHints.flags = USSize | PMinSize | PMaxSize;
        sizeHints.width = sizeHints.min_width = sizeHints.max_width = 64;
        sizeHints.height = sizeHints.min_height = sizeHints.max_height = 64;
    } else {
        sizeHints.flags = USPosition | USSize;
        sizeHints.width = static_cast<int>(width);
        sizeHints.height = static_cast<int>(height);
    }
    XSetWMNormalHints(display, state.iconWin, &sizeHints);

    char* names[] = {const_cast<char*>(application)};
    XTextProperty name{};
    if (XStringListToTextProperty(names, 1, &name)) {
        XSetWMName(display, state.mainWin, &name);
        XSetWMName(display, state.iconWin, &name);
        XFree(name.value);
    }

    XSetCommand(display, state.mainWin, argv, argc);

    state.depth = DefaultDepth(display, screen);
    state.gc = DefaultGC(display, screen);
    // Each copy would otherwise send a NoExpose event and wake the main loop.
    XSetGraphicsExposures(display, state.gc, False);
    XFlush(display);
}

void dockClose() { displayOwner.close(); }

void dockSelectInput(long mask) {
    XSelectInput(state.display, state.iconWin, mask);
    XSelectInput(state.display, state.mainWin, mask);
}

void dockMap() {
    const Window shown = state.windowed ? state.iconWin : state.mainWin;
    XMapRaised(state.display, shown);
    XFlush(state.display);
}

DockPixmap dockCreatePixmap(unsigned int width, unsigned int height) {
    return DockPixmap(XCreatePixmap(state.display, state.iconWin, width, height,
                                    static_cast<unsigned int>(state.depth)));
}

void dockShape(DockDrawable mask, int x, int y) {
    XShapeCombineMask(state.display, state.iconWin, ShapeBounding, -x, -y, mask, ShapeSet);
    XShapeCombineMask(state.display, state.mainWin, ShapeBounding, -x, -y, mask, ShapeSet);
    XFlush(state.display);
}

void dockShowPicture(DockDrawable picture) {
    // Windowed mode maps iconWin, so the picture goes there even with -k.
    const Window target = state.brokenWM && !state.windowed ? state.mainWin : state.iconWin;
    dockCopyArea(picture, target, 0, 0, state.pictureWidth, state.pictureHeight, state.offsetX,
                 state.offsetY);
}

int dockNextEvent(DockEvent& event, uint64_t timeoutMs, int wakeFd) {
    Display* display = state.display;
    XSync(display, False);
    XEvent next;
    if (XEventsQueued(display, QueuedAlready) == 0) {
        const bool forever = timeoutMs == dockNoTimeOut;
        const long seconds = forever ? -1 : static_cast<long>(timeoutMs / 1000);
        const long microseconds = forever ? 0 : static_cast<long>((timeoutMs % 1000) * 1000);
        if (dockWaitReadable(ConnectionNumber(display), wakeFd, seconds, microseconds) <= 0)
            return 0;
    }
    XNextEvent(display, &next);
    if (next.type == ClientMessage &&
        static_cast<Atom>(next.xclient.data.l[0]) == state.wmDeleteWindow) {
        XDestroyWindow(display, next.xclient.window);
        dockClose();
        std::exit(0);
    }
    toDockEvent(next, event);
    return 1;
}
