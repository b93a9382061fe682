#pragma once
// Maildir directories.

#include <cstdint>
#include <string>
#include <string_view>

#include "monitor/state/boxes.h"

int checkMaildirBox(Box& box, int64_t now);

// The newest unseen message of the directories counted so far, by its name:
// a Maildir name begins with the delivery time and a part that grows with
// each delivery, so the names compare without a stat of each file.
struct NewestUnseen {
    std::string path;  // the file, empty while none was found
    std::string name;  // its name without the info after the colon
};

// With `newest`, also keeps the newest unseen entry of the directory there
// when it is newer than the one already kept.
bool countMaildirDir(const char* path, int32_t& seen, int32_t& total,
                     NewestUnseen* newest = nullptr);

// True when the Maildir name `a` was delivered before `b`: runs of digits
// compare as numbers, everything else byte by byte.
bool deliveredBefore(std::string_view a, std::string_view b);
