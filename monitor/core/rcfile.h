#pragma once
// The monitor's reader of the rc file, and the reload when it changes.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "monitor/core/options.h"

// Stamps of the file at the last read: modification time and size.
extern int64_t rcTimeStamp;
extern int64_t rcSizeStamp;

// Applies every setting line of the file through assignOption. Returns false,
// and applies nothing, when the file cannot be read or was replaced or
// rewritten while it was being read.
bool readRcFile(std::span<Option> table, const std::optional<std::string>& path, int force);

int reloadIfChanged();

// The same for a file seen changing: read even when its stamp, in whole
// seconds, is the one of the last read (a second save within one second).
int reloadChangedRcFile();

// The read at start-up: reloadIfChanged, tried again a few times when the
// file was caught while it was being replaced.
void loadRcFileAtStartUp();

// Opens the rc file; tests replace it to catch the file mid-replacement.
using RcOpener = int (*)(const char* path, int flags);
void setRcOpener(RcOpener opener);  // nullptr restores open(2)
