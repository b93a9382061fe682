#pragma once
// Push for the local stores: one thread watches, with inotify, the mbox
// files, Maildir and MH folders of the box list and the rc file's directory.
// A change checks its box at once, through runBoxCheck as a worker would,
// and wakes the main loop to show it; a changed rc file is reloaded at once.
// The scheduler's passes go on beside it, as the fallback.

#include <chrono>
#include <cstdint>

// Starts the watcher thread when threads and Push are on and it is not
// running yet. Called at start-up and after each scheduler round, so that a
// reload that turns Push on again starts it.
void startWatching();

// How long a box's store must stay quiet after a change before it is
// checked (a delivery writes several times), and the longest a check waits
// while changes go on.
inline constexpr std::chrono::milliseconds watchQuiet{100};
inline constexpr std::chrono::milliseconds watchLongest{1000};

// Adds an inotify watch, as inotify_add_watch does; tests put one in its
// place that runs out of watches.
using WatchAdder = int (*)(int fd, const char* path, uint32_t mask);
void setWatchAdder(WatchAdder adder);  // nullptr restores inotify_add_watch
