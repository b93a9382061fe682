#pragma once
// The X connection and the two dock windows. The rest of the monitor sees
// no Xlib type: events arrive as DockEvent records.

#include <cstdint>
#include <string>

// The parts of an X event the main loop acts on.
struct DockEvent {
    int type = 0;           // X event type; dockButtonPress for a press
    unsigned int button = 0;  // 1, 2, 3, ...
    unsigned int state = 0;   // modifier bits; dockControlMask for Control
    int x = 0;              // picture coordinates in every mode
    int y = 0;
};

inline constexpr int dockButtonPress = 4;            // ButtonPress
inline constexpr long dockButtonPressMask = 1L << 2;  // ButtonPressMask
inline constexpr unsigned int dockControlMask = 1u << 2;  // ControlMask

void dockOpen(const std::string& displayName, const char* applicationName, unsigned int width,
              unsigned int height, int argc, char** argv);
void dockSelectInput(long mask);
void dockMap();

// Waits up to timeoutMs for an event; 1 with the event stored, 0 on time-out
// or a failed wait. Ends the process (status 0) on the window manager's close request.
int dockNextEvent(DockEvent& event, uint64_t timeoutMs);
