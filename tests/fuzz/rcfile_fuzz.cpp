// The monitor's rc file reader: the input is the file. It is read as a
// reload reads it and rebuilt into a box list, then read once more without
// force, as the start-up reads a file after the command line, and rebuilt
// again over the first list, which carries the counters over.

#include <cstddef>
#include <cstdint>
#include <string>

#include "monitor/cycle/rcfile.h"
#include "monitor/state/boxes.h"
#include "monitor/state/options.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/rebuild_checks.h"
#include "tests/support/monitor_testing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static const std::string path = fuzz::scratchPath("quorvikrc");
    fuzz::writeFile(path, fuzz::bytes(data, size));
    resetSettings();
    clearBoxList();
    settings::rcFilePath.reset(path);
    rcTimeStamp = 0;
    rcSizeStamp = 0;

    fuzz::check(reloadIfChanged() == 1, "a changed file is read");
    fuzz::checkRebuilt();

    fuzz::check(readRcFile(optionTable(), path, 0), "a regular file is read");
    rebuildBoxList();
    fuzz::checkRebuilt();
    clearBoxList();
    return 0;
}
