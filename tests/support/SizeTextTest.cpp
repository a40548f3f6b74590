#include <gtest/gtest.h>

#include <cmath>

#include "support/SizeText.h"

TEST(SizeText, UnitsArePowersOfTwo) {
    EXPECT_EQ(SizeMB, 1048576.0);
    EXPECT_EQ(SizeGB, 1073741824.0);
    EXPECT_EQ(SizeTB, 1099511627776.0);
}

TEST(SizeText, FormatByteSize) {
    const struct {
        double bytes;
        const wchar_t* text;
    } cases[] = {
        {0, L"0Bytes"},
        {1023, L"1023Bytes"},
        {1023.9, L"1023Bytes"},
        {1024, L"1.00KB"},
        {1536, L"1.50KB"},
        {1048575, L"1024.00KB"},
        {1048576, L"1.00MB"},
        {104862843, L"100.00MB"},  // printed from single precision: a double would give 100.01
        {1073741824, L"1.00GB"},
        {1099511627776.0, L"1.00TB"},
        {std::ldexp(1.0, 50), L"1024.00TB"},
    };
    for (const auto& c : cases) EXPECT_STREQ(FormatByteSize(c.bytes), c.text) << "bytes " << c.bytes;
}

TEST(SizeText, FormatSeconds) {
    const struct {
        double seconds;
        const wchar_t* text;
    } cases[] = {
        {0, L"00:00:00"},     {-3, L"00:00:00"},    {0.5, L"00:00:00"},
        {59.9, L"00:00:59"},  {61, L"00:01:01"},    {3600, L"01:00:00"},
        {86399, L"23:59:59"}, {86400, L"00:00:00"}, {90061, L"01:01:01"},
    };
    for (const auto& c : cases) EXPECT_STREQ(FormatSeconds(c.seconds), c.text) << "seconds " << c.seconds;
}
