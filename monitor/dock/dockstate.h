#pragma once
// The dock state that dockOpen creates, shared by the files of monitor/dock/
// that talk to X (the windows and the pictures). Main thread only.

#include <X11/Xlib.h>

struct DockState {
    Display* display = nullptr;
    Window iconWin = 0;  // shows the picture; the mapped window in windowed mode
    Window mainWin = 0;  // the client leader; mapped in dock and broken-WM mode
    unsigned int pictureWidth = 0;
    unsigned int pictureHeight = 0;
    int offsetX = 0;  // picture position inside the windows (windowed mode only)
    int offsetY = 0;
    bool windowed = false;  // the modes as they were when the dock opened
    bool brokenWM = false;
    Atom wmDeleteWindow = 0;
    int depth = 0;
    GC gc = nullptr;
};

const DockState& dockState();
