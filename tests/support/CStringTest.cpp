#include <gtest/gtest.h>

#include "classlib/CString.h"

TEST(CString, EmptyIsNeverNull) {
    CString s;
    ASSERT_NE(s.GetString(), nullptr);
    EXPECT_EQ(s.GetLength(), 0);
    EXPECT_STREQ(static_cast<const wchar_t*>(s), L"");
}

TEST(CString, FormatWritesWideAndNarrowArguments) {
    CString s;
    s.Format(L"%d-%ls-%.2f", 42, L"x", 1.5);
    EXPECT_STREQ(s, L"42-x-1.50");
}
