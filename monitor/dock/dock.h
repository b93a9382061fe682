#pragma once
// The X connection and the two dock windows. The rest of the monitor sees
// no Xlib type: events arrive as DockEvent records, drawables as plain ids.

#include <cstdint>
#include <string>

// The parts of an X event the main loop acts on.
struct DockEvent {
    int type = 0;             // X event type; dockButtonPress for a press
    unsigned int button = 0;  // 1, 2, 3, ...
    unsigned int state = 0;   // modifier bits; dockControlMask for Control
    int x = 0;                // picture coordinates in every mode
    int y = 0;
};

inline constexpr int dockButtonPress = 4;                 // ButtonPress
inline constexpr long dockButtonPressMask = 1L << 2;      // ButtonPressMask
inline constexpr unsigned int dockControlMask = 1u << 2;  // ControlMask

// An X drawable (window or pixmap) as Xlib's XID.
using DockDrawable = unsigned long;

// Owns one server pixmap and frees it when it goes; a no-op once the
// display is closed, since the server then frees it with the connection.
class DockPixmap {
public:
    DockPixmap() = default;
    explicit DockPixmap(DockDrawable drawable) : id(drawable) {}
    DockPixmap(DockPixmap&& other) noexcept : id(other.release()) {}
    DockPixmap& operator=(DockPixmap&& other) noexcept {
        reset(other.release());
        return *this;
    }
    DockPixmap(const DockPixmap&) = delete;
    DockPixmap& operator=(const DockPixmap&) = delete;
    ~DockPixmap() { reset(); }

    DockDrawable get() const { return id; }
    DockDrawable release() {
        DockDrawable kept = id;
        id = 0;
        return kept;
    }
    void reset(DockDrawable replacement = 0);

private:
    DockDrawable id = 0;
};

// The modes the dock opens in, kept for its whole life.
struct DockModes {
    bool windowed = false;  // an ordinary 64 x 64 window, the picture centred
    bool brokenWM = false;  // the main window, full size, receives the picture
};

void dockOpen(const std::string& displayName, const char* applicationName, unsigned int width,
              unsigned int height, int argc, char** argv, DockModes modes);
// Closes the display; the process's end otherwise does it.
void dockClose();
void dockSelectInput(long mask);
void dockMap();

// A pixmap of the root depth on the screen of the dock.
DockPixmap dockCreatePixmap(unsigned int width, unsigned int height);

// Cuts both windows to the 1-bit mask placed at (-x, -y).
void dockShape(DockDrawable mask, int x, int y);

// Every rectangle of the picture is copied through this pointer, so that a
// test can record the copies without a server.
using DockCopyFunction = void (*)(DockDrawable source, DockDrawable destination, int sourceX,
                                  int sourceY, unsigned int width, unsigned int height,
                                  int destinationX, int destinationY);
extern DockCopyFunction dockCopyArea;

// The wait for the display connection to become readable, as select waits:
// above 0 when it is, 0 on time-out or when `wakeFd` (if not -1) became
// readable first, -1 on a failed wait; negative seconds wait without a
// time-out. A test puts its own in place to see the time-out asked for.
using DockWaitFunction = int (*)(int fd, int wakeFd, long seconds, long microseconds);
extern DockWaitFunction dockWaitReadable;

// Copies the composed picture to the visible window; sent at the next wait.
void dockShowPicture(DockDrawable picture);

// The time-out of a wait that only an event or `wakeFd` ends.
inline constexpr uint64_t dockNoTimeOut = UINT64_MAX;

// Waits up to timeoutMs for an event; 1 with the event stored, 0 on time-out,
// on a failed wait or when `wakeFd` (if not -1) became readable: the caller
// is to act now as on a time-out. Ends the process (status 0) on the window
// manager's close request.
int dockNextEvent(DockEvent& event, uint64_t timeoutMs, int wakeFd = -1);
