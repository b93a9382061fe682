// The dock under a real X server (Xvfb) and real dock window managers
// (Window Maker, fluxbox): windows, hints, shape, the picture on the screen,
// events and colours, read back with Xlib.

// gtest before Xlib, whose None macro breaks it.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/shape.h>

#include <chrono>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "monitor/dock/dock.h"
#include "monitor/dock/dockstate.h"
#include "monitor/dock/images.h"
#include "tests/monitor/dock/xpm_reference.h"
#include "tests/monitor/dock/xsupport.h"

namespace {

struct Geometry {
    int x = 0, y = 0;
    unsigned int width = 0, height = 0;
    int mapState = 0;
};

Geometry geometryOf(Display* display, Window window) {
    XWindowAttributes attributes{};
    XGetWindowAttributes(display, window, &attributes);
    return {attributes.x, attributes.y, static_cast<unsigned int>(attributes.width),
            static_cast<unsigned int>(attributes.height), attributes.map_state};
}

std::vector<std::string> textList(Display* display, Window window, Atom property) {
    XTextProperty text{};
    std::vector<std::string> items;
    if (!XGetTextProperty(display, window, &text, property)) return items;
    char** list = nullptr;
    int count = 0;
    if (XTextPropertyToStringList(&text, &list, &count)) {
        for (int i = 0; i < count; ++i) items.emplace_back(list[i]);
        XFreeStringList(list);
    }
    XFree(text.value);
    return items;
}

std::vector<std::string> commandOf(Display* display, Window window) {
    char** argv = nullptr;
    int argc = 0;
    std::vector<std::string> items;
    if (!XGetCommand(display, window, &argv, &argc)) return items;
    items.assign(argv, argv + argc);
    XFreeStringList(argv);
    return items;
}

// The pixels that the bounding shape of the window keeps, as "x,y".
std::set<std::pair<int, int>> shapePixels(Display* display, Window window) {
    int count = 0, ordering = 0;
    XRectangle* rectangles = XShapeGetRectangles(display, window, ShapeBounding, &count, &ordering);
    std::set<std::pair<int, int>> kept;
    for (int i = 0; i < count; ++i) {
        const XRectangle& r = rectangles[i];
        for (int y = r.y; y < r.y + r.height; ++y) {
            for (int x = r.x; x < r.x + r.width; ++x) kept.insert({x, y});
        }
    }
    if (rectangles) XFree(rectangles);
    return kept;
}

bool isShaped(Display* display, Window window) {
    Bool bounding = False, clip = False;
    int bx, by, cx, cy;
    unsigned int bw, bh, cw, ch;
    XShapeQueryExtents(display, window, &bounding, &bx, &by, &bw, &bh, &clip, &cx, &cy, &cw, &ch);
    return bounding;
}

const std::set<std::pair<int, int>> corners = {{0, 0},  {1, 0},   {0, 1},   {56, 0},
                                               {57, 0}, {57, 1},  {0, 56},  {0, 57},
                                               {1, 57}, {57, 56}, {56, 57}, {57, 57}};

TEST(DockWindows, HintsSizesShapeAndMappedWindowOfEachMode) {
    struct Mode {
        const char* name;
        std::vector<std::string> arguments;
        bool windowed, brokenWM;
    };
    Connection x(sharedDisplay());
    const Atom wmDelete = XInternAtom(x, "WM_DELETE_WINDOW", False);
    for (const Mode& mode : {Mode{"dock", {}, false, false}, Mode{"broken-WM", {"-k"}, false, true},
                             Mode{"windowed", {"-w"}, true, false},
                             Mode{"windowed and broken-WM", {"-w", "-k"}, true, true}}) {
        SCOPED_TRACE(mode.name);
        Probe probe(sharedDisplay(), mode.arguments);
        const ProbeWindows w = probe.windows(x);
        ASSERT_NE(w.iconWin, 0u);

        XClassHint classHint{};
        ASSERT_TRUE(XGetClassHint(x, w.mainWin, &classHint));
        EXPECT_STREQ(classHint.res_name, "Quorvik");
        EXPECT_STREQ(classHint.res_class, "DockApp");
        XFree(classHint.res_name);
        XFree(classHint.res_class);
        EXPECT_FALSE(XGetClassHint(x, w.iconWin, &classHint));

        XWMHints* hints = XGetWMHints(x, w.mainWin);
        ASSERT_NE(hints, nullptr);
        EXPECT_EQ(hints->flags, mode.windowed ? 72 : 74);
        if (!mode.windowed) {
            EXPECT_EQ(hints->initial_state, WithdrawnState);
        }
        EXPECT_EQ(hints->icon_window, w.iconWin);
        EXPECT_EQ(hints->window_group, w.mainWin);
        XFree(hints);
        EXPECT_EQ(XGetWMHints(x, w.iconWin), nullptr);

        XSizeHints size{};
        long supplied = 0;
        ASSERT_TRUE(XGetWMNormalHints(x, w.iconWin, &size, &supplied));
        if (mode.windowed) {
            EXPECT_EQ(size.flags, 50);
            EXPECT_EQ(size.width, 64);
            EXPECT_EQ(size.height, 64);
            EXPECT_EQ(size.min_width, 64);
            EXPECT_EQ(size.min_height, 64);
            EXPECT_EQ(size.max_width, 64);
            EXPECT_EQ(size.max_height, 64);
        } else {
            EXPECT_EQ(size.flags, 3);
            EXPECT_EQ(size.x, 0);
            EXPECT_EQ(size.y, 0);
            EXPECT_EQ(size.width, 58);
            EXPECT_EQ(size.height, 58);
        }
        EXPECT_FALSE(XGetWMNormalHints(x, w.mainWin, &size, &supplied));

        Atom* protocols = nullptr;
        int count = 0;
        ASSERT_TRUE(XGetWMProtocols(x, w.iconWin, &protocols, &count));
        ASSERT_EQ(count, 1);
        EXPECT_EQ(protocols[0], wmDelete);
        XFree(protocols);
        EXPECT_FALSE(XGetWMProtocols(x, w.mainWin, &protocols, &count));

        EXPECT_EQ(textList(x, w.mainWin, XA_WM_NAME), std::vector<std::string>{"Quorvik"});
        EXPECT_EQ(textList(x, w.iconWin, XA_WM_NAME), std::vector<std::string>{"Quorvik"});
        std::vector<std::string> command{probePath(), "-d", sharedDisplay()};
        command.insert(command.end(), mode.arguments.begin(), mode.arguments.end());
        EXPECT_EQ(commandOf(x, w.mainWin), command);
        EXPECT_TRUE(commandOf(x, w.iconWin).empty());

        const Geometry icon = geometryOf(x, w.iconWin);
        const Geometry leader = geometryOf(x, w.mainWin);
        const unsigned int iconSize = mode.windowed ? 64 : 58;
        const unsigned int leaderSize = mode.brokenWM ? iconSize : 1;
        EXPECT_EQ(icon.width, iconSize);
        EXPECT_EQ(icon.height, iconSize);
        EXPECT_EQ(leader.width, leaderSize);
        EXPECT_EQ(leader.height, leaderSize);
        // Without a window manager the map request takes effect as asked.
        EXPECT_EQ(icon.mapState, mode.windowed ? IsViewable : IsUnmapped);
        EXPECT_EQ(leader.mapState, mode.windowed ? IsUnmapped : IsViewable);

        std::set<std::pair<int, int>> picture;
        for (int py = 0; py < 58; ++py) {
            for (int px = 0; px < 58; ++px) {
                if (!corners.count({px, py})) picture.insert({px, py});
            }
        }
        for (Window window : {w.iconWin, w.mainWin}) {
            if (mode.windowed) {
                EXPECT_FALSE(isShaped(x, window));
            } else {
                EXPECT_EQ(shapePixels(x, window), picture) << "the 12 corners are cut";
            }
        }
    }
}

// What the picture should show: the background, with these glyphs of the
// parts image in these cells.
struct Glyph {
    int sourceX, sourceY, width, height, x, y;
};
Glyph large(int digit, bool lit, int x, int y) { return {10 * digit, lit ? 20 : 0, 10, 20, x, y}; }
Glyph small(int digit, bool lit, int x) { return {(lit ? 50 : 0) + 5 * digit, 40, 5, 9, x, 12}; }
Glyph dash(bool lit, int x) { return {100, lit ? 40 : 31, 5, 9, x, 12}; }
Glyph sign(bool lit) { return {lit ? 16 : 0, 49, 16, 7, 5, 4}; }

Picture expectedPicture(bool lit, bool windowed, const std::vector<Glyph>& glyphs) {
    Picture picture = referencePicture(lit ? PictureName::backlit : PictureName::background);
    const Picture parts = referencePicture(PictureName::parts);
    for (const Glyph& g : glyphs) {
        for (int y = 0; y < g.height; ++y) {
            for (int x = 0; x < g.width; ++x) {
                picture.rgb[static_cast<size_t>((g.y + y) * 58 + g.x + x)] =
                    parts.at(g.sourceX + x, g.sourceY + y);
            }
        }
    }
    if (windowed) {
        for (uint32_t& p : picture.rgb) {
            if (p == transparent) p = 0xaeaaae;
        }
    }
    return picture;
}

// The windowed frame: two light pixels at top and left, two dark at bottom
// and right, grey elsewhere.
uint32_t frameColour(int x, int y) {
    const bool dark = (y == 63 && x >= 1) || (y == 62 && x >= 2) ||
                      (x == 63 && y >= 1 && y <= 61) || (x == 62 && y >= 2 && y <= 61);
    const bool light = x == 0 || (x == 1 && y <= 62) || y == 0 || (y == 1 && x <= 62);
    return dark ? 0x525552 : light ? 0xffffff : 0xaeaaae;
}

TEST(DockPicture, WindowShowsTheGlyphsOfThePartsImageInEachCell) {
    const bool U = false, L = true;
    struct Case {
        const char* name;
        std::vector<std::string> arguments;
        bool lit, windowed;
        std::vector<Glyph> glyphs;
    };
    const std::vector<Case> cases = {
        {"unlit, box 7, 105 new, 1005 total",
         {"-k", "-s", "7", "-n", "105", "-t", "1005"},
         U,
         false,
         {small(0, U, 7), small(7, U, 13), large(1, U, 21, 7), large(0, U, 33, 7),
          large(5, U, 45, 7), large(1, U, 9, 34), large(0, U, 21, 34), large(0, U, 33, 34),
          large(5, U, 45, 34)}},
        {"lit, all boxes, 23 new, 4 total",
         {"-k", "-b", "-n", "23", "-t", "4"},
         L,
         false,
         {dash(L, 7), dash(L, 13), large(2, L, 33, 7), large(3, L, 45, 7), large(4, L, 45, 34)}},
        {"lit, dark phase of the new count",
         {"-k", "-b", "-s", "12", "-n", "9", "-t", "6789", "-H"},
         L,
         false,
         {small(1, L, 7), small(2, L, 13), large(6, L, 9, 34), large(7, L, 21, 34),
          large(8, L, 33, 34), large(9, L, 45, 34)}},
        {"windowed, unlit, framed",
         {"-w", "-s", "3", "-n", "0", "-t", "42"},
         U,
         true,
         {small(0, U, 7), small(3, U, 13), large(0, U, 45, 7), large(4, U, 33, 34),
          large(2, U, 45, 34)}},
        {"unlit, a failing box: the sign over the counts it kept",
         {"-k", "-s", "2", "-n", "0", "-t", "17", "-F"},
         U,
         false,
         {sign(U), small(0, U, 7), small(2, U, 13), large(0, U, 45, 7), large(1, U, 33, 34),
          large(7, U, 45, 34)}},
        {"lit, all boxes, one failing, windowed",
         {"-w", "-b", "-n", "3", "-t", "250", "-F"},
         L,
         true,
         {sign(L), dash(L, 7), dash(L, 13), large(3, L, 45, 7), large(2, L, 21, 34),
          large(5, L, 33, 34), large(0, L, 45, 34)}},
        {"windowed with broken-WM: the picture goes to the mapped window",
         {"-w", "-k", "-b", "-s", "1", "-n", "8", "-t", "8"},
         L,
         true,
         {small(0, L, 7), small(1, L, 13), large(8, L, 45, 7), large(8, L, 45, 34)}},
    };
    Connection x(sharedDisplay());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Probe probe(sharedDisplay(), c.arguments);
        const ProbeWindows w = probe.windows(x);
        const Window shown = c.windowed ? w.iconWin : w.mainWin;
        const int offset = c.windowed ? 3 : 0;
        const unsigned int size = c.windowed ? 64 : 58;
        ASSERT_TRUE(eventually([&] { return geometryOf(x, shown).mapState == IsViewable; }));
        const auto screen = readColours(x, shown, 0, 0, size, size);
        const Picture expected = expectedPicture(c.lit, c.windowed, c.glyphs);
        int wrong = 0;
        for (int y = 0; y < static_cast<int>(size); ++y) {
            for (int px = 0; px < static_cast<int>(size); ++px) {
                const bool inPicture =
                    px >= offset && px < offset + 58 && y >= offset && y < offset + 58;
                const uint32_t want =
                    inPicture ? expected.at(px - offset, y - offset) : frameColour(px, y);
                if (want == transparent) continue;  // cut away by the shape
                const uint32_t got =
                    screen[static_cast<size_t>(y) * size + static_cast<size_t>(px)];
                if (got != want && ++wrong <= 5) {
                    ADD_FAILURE() << "pixel " << px << "," << y << ": " << std::hex << got
                                  << " instead of " << want;
                }
            }
        }
        EXPECT_EQ(wrong, 0);
    }
}

// Whether the icon window comes to show the lit picture of the probe
// started with "-b -s 2 -n 1 -t 30": box 2, one new of thirty.
bool showsTheProbesPicture(Display* x, Window iconWin) {
    const bool L = true;
    const Picture expected = expectedPicture(L, false,
                                             {small(0, L, 7), small(2, L, 13), large(1, L, 45, 7),
                                              large(3, L, 33, 34), large(0, L, 45, 34)});
    return eventually([&] {
        const auto screen = readColours(x, iconWin, 0, 0, 58, 58);
        for (size_t i = 0; i < screen.size(); ++i) {
            if (expected.rgb[i] != transparent && screen[i] != expected.rgb[i]) return false;
        }
        return true;
    });
}

TEST(DockWindowMaker, DockModeIsTakenIntoTheDockAndShowsThePicture) {
    WindowMaker wm(sharedDisplay());
    Connection x(sharedDisplay());
    Probe probe(sharedDisplay(), {"-b", "-s", "2", "-n", "1", "-t", "30"});
    const ProbeWindows w = probe.windows(x);
    // The dock runs down the right edge of the 640 pixel wide screen; its
    // first tile below the logo is at y 64.
    int rootX = 0, rootY = 0;
    const bool docked = eventually([&] {
        Window child;
        XTranslateCoordinates(x, w.iconWin, DefaultRootWindow(x.get()), 0, 0, &rootX, &rootY,
                              &child);
        return geometryOf(x, w.iconWin).mapState == IsViewable && rootX >= 576 && rootY >= 64 &&
               rootY < 128;
    });
    ASSERT_TRUE(docked) << "icon window at " << rootX << "," << rootY;

    XWMHints* hints = XGetWMHints(x, w.mainWin);
    ASSERT_NE(hints, nullptr);
    EXPECT_EQ(hints->initial_state, WithdrawnState);
    XFree(hints);
    EXPECT_NE(geometryOf(x, w.mainWin).mapState, IsViewable);

    EXPECT_TRUE(showsTheProbesPicture(x, w.iconWin)) << "the docked window shows the lit picture";
}

TEST(DockFluxbox, DockModeIsTakenIntoTheSlitAndShowsThePicture) {
    Fluxbox wm(sharedDisplay());
    Connection x(sharedDisplay());
    Probe probe(sharedDisplay(), {"-b", "-s", "2", "-n", "1", "-t", "30"});
    const ProbeWindows w = probe.windows(x);
    // The slit reparents the icon window into its own frame, a child of the
    // root, in the bottom right corner of the 640 by 480 screen.
    const Window root = DefaultRootWindow(x.get());
    Window frame = 0;
    const bool inSlit = eventually([&] {
        Window top, parent, *children = nullptr;
        unsigned int count = 0;
        if (!XQueryTree(x, w.iconWin, &top, &parent, &children, &count)) return false;
        if (children) XFree(children);
        frame = parent;
        return parent != root && geometryOf(x, w.iconWin).mapState == IsViewable;
    });
    ASSERT_TRUE(inSlit) << "the icon window is not reparented and shown";
    Window top, frameParent, *children = nullptr;
    unsigned int count = 0;
    ASSERT_TRUE(XQueryTree(x, frame, &top, &frameParent, &children, &count));
    if (children) XFree(children);
    EXPECT_EQ(frameParent, root);

    const Geometry icon = geometryOf(x, w.iconWin);
    EXPECT_EQ(icon.width, 58u);
    EXPECT_EQ(icon.height, 58u);
    int rootX = 0, rootY = 0;
    Window child;
    XTranslateCoordinates(x, w.iconWin, root, 0, 0, &rootX, &rootY, &child);
    EXPECT_GE(rootX, 640 - 58 - 8) << "icon window at " << rootX << "," << rootY;
    EXPECT_GE(rootY, 480 - 58 - 8) << "icon window at " << rootX << "," << rootY;

    EXPECT_TRUE(showsTheProbesPicture(x, w.iconWin))
        << "the window in the slit shows the lit picture";
}

void sendButton(Display* display, Window window, unsigned int button, int x, int y) {
    XEvent event{};
    event.xbutton.type = ButtonPress;
    event.xbutton.window = window;
    event.xbutton.button = button;
    event.xbutton.x = x;
    event.xbutton.y = y;
    event.xbutton.same_screen = True;
    XSendEvent(display, window, False, ButtonPressMask, &event);
}

void sendDelete(Display* display, Window window) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &event);
}

TEST(DockEvents, PressesArriveInPictureCoordinatesInEachMode) {
    struct Case {
        const char* name;
        std::vector<std::string> arguments;
        bool windowed;
        int screenX, screenY;
        unsigned int button;
        const char* expected;
    };
    Connection x(sharedDisplay());
    for (const Case& c :
         {Case{"windowed: window pixel 10,25", {"-w"}, true, 10, 25, 1, "press 1 7 22 0"},
          Case{"broken-WM: no offset", {"-k"}, false, 14, 23, 3, "press 3 14 23 0"}}) {
        SCOPED_TRACE(c.name);
        Probe probe(sharedDisplay(), c.arguments);
        const ProbeWindows w = probe.windows(x);
        const Window shown = c.windowed ? w.iconWin : w.mainWin;
        ASSERT_TRUE(eventually([&] { return geometryOf(x, shown).mapState == IsViewable; }));
        // A real click through the server, at the window's place on the screen.
        int rootX = 0, rootY = 0;
        Window child;
        XTranslateCoordinates(x, shown, DefaultRootWindow(x.get()), c.screenX, c.screenY, &rootX,
                              &rootY, &child);
        XTestFakeMotionEvent(x, DefaultScreen(x.get()), rootX, rootY, CurrentTime);
        XTestFakeButtonEvent(x, c.button, True, CurrentTime);
        XTestFakeButtonEvent(x, c.button, False, CurrentTime);
        XFlush(x);
        EXPECT_EQ(probe.process().readLine(), c.expected);
    }
}

TEST(DockEvents, CloseRequestEndsTheProcessWithStatus0AfterQueuedEvents) {
    Connection x(sharedDisplay());
    Probe probe(sharedDisplay(), {});
    const ProbeWindows w = probe.windows(x);
    XGrabServer(x);  // both events reach the probe's queue before it looks
    sendButton(x, w.iconWin, 1, 2, 3);
    sendButton(x, w.mainWin, 2, 4, 5);
    sendDelete(x, w.iconWin);
    XUngrabServer(x);
    XFlush(x);
    EXPECT_EQ(probe.process().readLine(), "press 1 2 3 0");
    EXPECT_EQ(probe.process().readLine(), "press 2 4 5 0");
    EXPECT_EQ(probe.process().wait(), 0);
    XSync(x, False);
    EXPECT_EQ(probe.process().errorText(), "");
}

TEST(DockColours, LightColourOnThePanelAndItsShadeOnTheGhosts) {
    // A ghost pixel of the lit panel: the top segment of the thousands cell,
    // never drawn over with a total below 1000.
    const int ghostX = 9 + 4, ghostY = 34;
    const int panelX = 5, panelY = 5;
    struct Case {
        const char* name;
        int depth;
        std::vector<std::string> colour;
        uint32_t panel, ghost;  // 0 for "the same pixel as the panel"
    };
    for (const Case& c :
         {Case{"default colours", 24, {}, 0x6ec63b, 0x6cb237},
          Case{"the default given: shade 24 steps down", 24, {"-c", "#6ec63b"}, 0x6ec63b, 0x56ae23},
          Case{"dark colour: shade floored at black", 24, {"-c", "#101010"}, 0x101010, 0x000000},
          Case{"8-bit display: the shade is the light colour", 8, {"-c", "#6ec63b"}, 0, 0}}) {
        SCOPED_TRACE(c.name);
        std::optional<Xvfb> ownServer;
        if (c.depth != 24) ownServer.emplace(XvfbScreen{.depth = c.depth});
        const std::string& display = ownServer ? ownServer->name() : sharedDisplay();
        Connection x(display);
        std::vector<std::string> arguments{"-k", "-b", "-t", "1"};
        arguments.insert(arguments.end(), c.colour.begin(), c.colour.end());
        Probe probe(display, arguments);
        const ProbeWindows w = probe.windows(x);
        ASSERT_TRUE(eventually([&] { return geometryOf(x, w.mainWin).mapState == IsViewable; }));
        const auto pixels = readPixels(x, w.mainWin, 0, 0, 58, 58);
        const unsigned long panel = pixels[panelY * 58 + panelX];
        const unsigned long ghost = pixels[ghostY * 58 + ghostX];
        if (c.panel == 0) {
            EXPECT_EQ(ghost, panel);
            EXPECT_EQ(colourOfPixel(x, panel) & 0xf0f0f0, 0x60c030u);
        } else {
            EXPECT_EQ(colourOfPixel(x, panel), c.panel);
            EXPECT_EQ(colourOfPixel(x, ghost), c.ghost);
        }
    }
}

TEST(DockFailures, MessagesAndExitStatus) {
    struct Case {
        const char* name;
        std::vector<std::string> arguments;
        std::string message;
    };
    const std::string probe = probePath();
    for (const Case& c : {Case{"unparsable light colour",
                               {"-d", sharedDisplay(), "-c", "no-such-colour"},
                               "can't parse color no-such-colour\n"},
                          Case{"display that cannot be opened",
                               {"-d", ":65001"},
                               probe + ": could not open display :65001!\n"}}) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> argv{probe};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        Child child(argv);
        EXPECT_EQ(child.wait(), 1);
        EXPECT_EQ(child.errorText(), c.message);
    }
}

// The dock of this process, opened once (the dock state lives for the process).
const DockWaitFunction realWait = dockWaitReadable;

void openOwnDock() {
    static bool opened = false;
    if (opened) return;
    opened = true;
    static char name[] = "dock_test";
    static char* argv[] = {name, nullptr};
    dockOpen(sharedDisplay(), "Quorvik", 58, 58, 1, argv, {});
    beforeServerStops = dockClose;
    dockSelectInput(dockButtonPressMask);
    dockSetUpImages(std::nullopt, 0);
}

// The waits dockNextEvent asked for, as seconds and microseconds.
std::vector<std::pair<long, long>> waitsAsked;
int recordWait(int, int, long seconds, long microseconds) {
    waitsAsked.emplace_back(seconds, microseconds);
    return 0;
}

TEST(DockNextEvent, TimesOutAfterTheTimeAskedAndLeavesTheRecord) {
    openOwnDock();
    DockEvent event{99, 98, 97, 96, 95};
    // The time-out goes to the wait whole: 1500 ms is 1 s and 500000 us.
    waitsAsked.clear();
    dockWaitReadable = recordWait;
    EXPECT_EQ(dockNextEvent(event, 1500), 0);
    EXPECT_EQ(waitsAsked, (std::vector<std::pair<long, long>>{{1, 500000}}));

    // A press already waiting is returned without any wait.
    Connection x(sharedDisplay());
    sendButton(x, dockState().iconWin, 3, 12, 34);
    XSync(x, False);  // the server has passed it on before it answers
    waitsAsked.clear();
    ASSERT_EQ(dockNextEvent(event, 1500), 1);
    EXPECT_TRUE(waitsAsked.empty());

    // The real wait lasts at least as long as asked, and leaves the record.
    DockEvent untouched{99, 98, 97, 96, 95};
    dockWaitReadable = realWait;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(dockNextEvent(untouched, 300), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
    EXPECT_EQ(untouched.type, 99);
    EXPECT_EQ(untouched.button, 98u);
    EXPECT_EQ(untouched.x, 96);

    // A wake-up ends the wait like its time-out, leaving the record too.
    int wake[2];
    ASSERT_EQ(pipe(wake), 0);
    ASSERT_EQ(write(wake[1], "w", 1), 1);
    EXPECT_EQ(dockNextEvent(untouched, 3600 * 1000, wake[0]), 0);
    EXPECT_EQ(untouched.type, 99);
    close(wake[0]);
    close(wake[1]);
    EXPECT_EQ(event.type, dockButtonPress);
    EXPECT_EQ(event.button, 3u);
    EXPECT_EQ(event.x, 12);
    EXPECT_EQ(event.y, 34);
}

TEST(DockColours, NamedAndShiftedColours) {
    openOwnDock();
    Display* display = dockState().display;
    EXPECT_EQ(colourOfPixel(display, colorByName("rgb:ae/aa/ae")), 0xaeaaaeu);
    EXPECT_EQ(colourOfPixel(display, colorByName("#6ec63b")), 0x6ec63bu);
    EXPECT_EQ(colourOfPixel(display, colorShifted("#6ec63b", -24, -24, -24, 1.0f)), 0x56ae23u);
    EXPECT_EQ(colourOfPixel(display, colorShifted("#101010", -24, -24, -24, 1.0f)), 0u);
    EXPECT_EQ(colourOfPixel(display, colorShifted("#f0f0f0", 24, 0, -240, 1.0f)), 0xfff001u);
    // A fresh process: a child forked here would share this process's connection.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(colorShifted("#6ec63b", 0, 256, 0, 1.0f), ::testing::ExitedWithCode(1),
                "can't shift color #6ec63b");
}

}  // namespace
