// The reader of the MH profile: the input is the profile, which the MH
// variable names. The keys the MH check asks for are looked up, and the root
// is made absolute as the check makes it.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "monitor/checks/mh.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static const std::string profile = fuzz::scratchPath("mh_profile");
    setenv("MH", profile.c_str(), 1);
    // The home directory the relative roots are taken from.
    setenv("HOME", fuzz::scratchDirectory().c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    std::string_view input = fuzz::bytes(data, size);
    fuzz::writeFile(std::getenv("MH"), input);
    for (const char* key : {"path", "mh-sequences", "unseen-sequence"}) {
        std::optional<std::string> value = mhProfileValue(key);
        if (!value) continue;
        // A value is the rest of one line, trimmed: never more than the file.
        fuzz::check(input.find(*value) != std::string_view::npos, "a value is text of the file");
        fuzz::check(value->find('\n') == std::string::npos, "a value is one line");
        if (std::optional<std::string> root = mhAbsolutePath(*value, PathBase::homeDirectory))
            fuzz::check(root->starts_with('/'), "an absolute path begins with a slash");
    }
    return 0;
}
