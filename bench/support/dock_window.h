#pragma once
// The window of a running monitor, for the benchmarks that watch it.

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <string>

// The icon window of the first DockApp below `window`, or 0.
inline Window findIconWindow(Display* display, Window window) {
    XClassHint hint{};
    if (XGetClassHint(display, window, &hint)) {
        bool ours = std::string(hint.res_class) == "DockApp";
        XFree(hint.res_name);
        XFree(hint.res_class);
        if (ours) {
            XWMHints* hints = XGetWMHints(display, window);
            Window icon = hints ? hints->icon_window : 0;
            if (hints) XFree(hints);
            if (icon) return icon;
        }
    }
    Window root, parent, *children = nullptr;
    unsigned int count = 0;
    Window found = 0;
    if (XQueryTree(display, window, &root, &parent, &children, &count))
        for (unsigned int i = 0; i < count && !found; ++i)
            found = findIconWindow(display, children[i]);
    if (children) XFree(children);
    return found;
}
