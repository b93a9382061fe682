#include "common/alloc.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

TEST(AllocOrExit, ReturnsUsableBlocksAndCopies) {
    char* block = static_cast<char*>(allocOrExit(16));
    std::memset(block, 'x', 16);
    std::free(block);
    char* copy = dupOrExit("mail");
    EXPECT_STREQ(copy, "mail");
    std::free(copy);
}

// The message ends what the program prints (a sanitizer may warn before it).
TEST(AllocOrExitDeathTest, ExhaustionEndsWithStatus255AndTheMessage) {
    EXPECT_EXIT(allocOrExit(std::numeric_limits<std::size_t>::max() / 2),
                testing::ExitedWithCode(255), "malloc\\(\\) : Cannot allocate memory\n$");
}

// Present when the AddressSanitizer runtime is linked in (the tests' own code
// is built without its instrumentation).
extern "C" __attribute__((weak)) void __asan_init();

TEST(AllocOrExitDeathTest, FailingNewEndsLikeAllocOrExit) {
    if (__asan_init != nullptr)
        GTEST_SKIP()
            << "AddressSanitizer's operator new reports and aborts without the new-handler";
    EXPECT_EXIT(
        {
            installOutOfMemoryHandler();
            std::string text;
            text.reserve(std::numeric_limits<std::ptrdiff_t>::max() / 4);
        },
        testing::ExitedWithCode(255), "malloc\\(\\) : Cannot allocate memory\n$");
}
