// The reader of an MH folder's sequences file: the input is the file, in a
// folder of three messages, checked as an MH box. The unseen count comes from
// the sequence alone and may exceed the messages, but is never negative.

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "monitor/checks/mh.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

std::string folder;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const std::string& root = fuzz::scratchDirectory();
    folder = root + "/inbox";
    if (::mkdir(folder.c_str(), 0700) != 0) fuzz::fail("mkdir");
    for (const char* message : {"1", "2", "3"}) fuzz::writeFile(folder + "/" + message, "");
    std::string profile = root + "/mh_profile";
    fuzz::writeFile(profile, "Path: " + root + "\n");
    setenv("MH", profile.c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzz::writeFile(folder + "/.mh_sequences", fuzz::bytes(data, size));
    Box box;
    box.type = BOX_MH;
    box.path = "inbox";
    fuzz::check(checkMhBox(box, 0) == 1, "an existing folder is counted");
    fuzz::check(box.totalCount.load() == 3, "the folder's messages are counted");
    fuzz::check(box.newCount.load() >= 0, "the unseen count is not negative");
    return 0;
}
