#pragma once
// What holds after any rebuild of the box list, whatever the definitions
// and settings were: shared by the targets that rebuild.

#include <cstdint>

#include "monitor/state/boxes.h"
#include "monitor/state/options.h"
#include "tests/fuzz/fuzz_support.h"

namespace fuzz {

inline void checkRebuilt() {
    check(settings::boxDefinitions.empty(), "the rebuild empties the definitions");
    check(settings::checkDelay.load() >= 15, "check delay at least 15 after the rebuild");
    check(settings::interval.load() >= 1, "interval at least 1 after the rebuild");
    int32_t count = boxCount(*boxListSnapshot());
    check(settings::selectedBox.load() >= 0 && settings::selectedBox.load() <= count,
          "selected box within the list after the rebuild");
}

}  // namespace fuzz
