#include "common/numbers.h"

#include <gtest/gtest.h>

TEST(LeadingInteger, ReadsLikeAtoiAndClamps) {
    struct Case {
        const char* text;
        int32_t expected;
    } cases[] = {
        {"42", 42},
        {"  \t-7x", -7},
        {"+5", 5},
        {"", 0},
        {"abc", 0},
        {"- 5", 0},
        {"12 34", 12},
        {"2147483647", 2147483647},
        {"2147483648", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"99999999999999999999", INT32_MAX},
        {"-99999999999999999999", INT32_MIN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(leadingInteger(c.text), c.expected);
    }
}
