#pragma once
// The monitor's reader of the rc file, and the reload when it changes.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "monitor/state/options.h"

// Stamps of the file at the last read: modification time and size.
extern int64_t rcTimeStamp;
extern int64_t rcSizeStamp;

// The keys whose lines set a value, in the order of the file.
using KeysRead = std::vector<std::string_view>;

// Applies every setting line of the file through assignOption. Returns false,
// and applies nothing, when the file cannot be read or was replaced or
// rewritten while it was being read. `keysRead`, when given, gets the keys set.
bool readRcFile(std::span<Option> table, const std::optional<std::string>& path, int force,
                KeysRead* keysRead = nullptr);

int reloadIfChanged();

// The same for a file seen changing: read even when its stamp, in whole
// seconds, is the one of the last read (a second save within one second).
int reloadChangedRcFile();

// The read at start-up: reloadIfChanged, tried again a few times when the
// file was caught while it was being replaced.
void loadRcFileAtStartUp();

// What the reloads read that the main loop holds live: a Backlight, Blink
// or DefaultBox line of the file overrides the lamp, the blinking or the
// selection, whatever the user did since; a key absent from the file keeps
// the live value.
struct LiveOverrides {
    std::optional<int32_t> backlight;
    std::optional<int32_t> blink;
    std::optional<int32_t> selectedBox;
};
// What the reloads since the last take read, the later over the earlier;
// none when no reload came. Each reload wakes the display, which takes it.
std::optional<LiveOverrides> takeReloaded();

// Opens the rc file; tests replace it to catch the file mid-replacement.
using RcOpener = int (*)(const char* path, int flags);
void setRcOpener(RcOpener opener);  // nullptr restores open(2)
