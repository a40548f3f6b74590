#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "classlib/CString.h"

TEST(CString, EmptyIsNeverNull) {
    CString s;
    ASSERT_NE(s.GetString(), nullptr);
    EXPECT_EQ(s.GetLength(), 0);
    EXPECT_TRUE(s.IsEmpty());
    EXPECT_STREQ(static_cast<const wchar_t*>(s), L"");
    EXPECT_STREQ(CString(static_cast<const wchar_t*>(nullptr)), L"");
    s = L"x";
    s.Empty();
    EXPECT_STREQ(s, L"");
}

TEST(CString, CopiesShareOneBufferUntilOneChanges) {
    CString a(L"shared text");
    CString b(a);
    CString c;
    c = b;
    EXPECT_EQ(a.GetString(), b.GetString()) << "a copy shares the buffer";
    EXPECT_EQ(a.GetString(), c.GetString());

    b += L"!";
    EXPECT_STREQ(a, L"shared text") << "a change to one copy must not show in the others";
    EXPECT_STREQ(c, L"shared text");
    EXPECT_STREQ(b, L"shared text!");
    EXPECT_NE(a.GetString(), b.GetString());
    EXPECT_EQ(a.GetString(), c.GetString());

    c.MakeUpper();
    EXPECT_STREQ(a, L"shared text");
    EXPECT_STREQ(c, L"SHARED TEXT");
}

TEST(CString, CopiesOnManyThreadsKeepTheirText) {
    // The count is shared between threads: copies made and dropped at once must neither free the buffer
    // early nor leak it into another text.
    const CString source(L"the one buffer");
    std::vector<std::thread> threads;
    std::vector<int> wrong(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20000; ++i) {
                CString copy(source);
                CString changed(copy);
                changed += L'x';
                if (copy != L"the one buffer" || changed != L"the one bufferx") ++wrong[t];
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < 4; ++t) EXPECT_EQ(wrong[t], 0) << "thread " << t;
    EXPECT_STREQ(source, L"the one buffer");
}

TEST(CString, FormatWritesWideTextNumbersAndLargeCounts) {
    CString s;
    s.Format(L"%d-%ls-%.2f", 42, L"x", 1.5);
    EXPECT_STREQ(s, L"42-x-1.50");
    s.Format(L"%I64d bytes", 5000000000LL);
    EXPECT_STREQ(s, L"5000000000 bytes");
    s.Format(L"%I64d", -9223372036854775807LL - 1);
    EXPECT_STREQ(s, L"-9223372036854775808");
    s.Format(L"%ls%ls", L"中文", L"路径");
    EXPECT_STREQ(s, L"中文路径");
    s.Format(L"%.2f%ls", 1023.999, L"KB");
    EXPECT_STREQ(s, L"1024.00KB");

    // Longer than any first guess of the buffer size.
    std::wstring longText(5000, L'z');
    s.Format(L"[%ls]", longText.c_str());
    EXPECT_EQ(s.GetLength(), 5002);
    EXPECT_EQ(s[0], L'[');
    EXPECT_EQ(s[5001], L']');

    // The text may be formatted from itself.
    s = L"abc";
    s.Format(L"%ls-%ls", s.GetString(), s.GetString());
    EXPECT_STREQ(s, L"abc-abc");
    s.AppendFormat(L"/%d", 7);
    EXPECT_STREQ(s, L"abc-abc/7");
}

TEST(CString, Find) {
    const CString s(L"/a/bc/a");
    EXPECT_EQ(s.Find(L'a'), 1);
    EXPECT_EQ(s.Find(L'a', 2), 6);
    EXPECT_EQ(s.Find(L'a', 7), -1);
    EXPECT_EQ(s.Find(L'z'), -1);
    EXPECT_EQ(s.Find(L"bc"), 3);
    EXPECT_EQ(s.Find(L"/a", 1), 5);
    EXPECT_EQ(s.Find(L"a/b/"), -1);
    EXPECT_EQ(s.Find(L"", 0), 0);
    EXPECT_EQ(s.Find(L"a", -1), -1);
    EXPECT_EQ(s.Find(L"a", 99), -1);
    EXPECT_EQ(s.FindOneOf(L"cb"), 3);
    EXPECT_EQ(s.FindOneOf(L"xyz"), -1);
    EXPECT_EQ(CString().Find(L'a'), -1);
}

TEST(CString, TrimRemovesWhiteSpaceAtBothEndsOnly) {
    struct Case {
        const wchar_t* text;
        const wchar_t* trimmed;
    } cases[] = {
        {L"  a b  ", L"a b"}, {L"\t\r\n x\t", L"x"}, {L"", L""}, {L"   ", L""}, {L"ab", L"ab"},
    };
    for (const Case& c : cases) {
        CString s(c.text);
        const CString copy(s);
        EXPECT_STREQ(s.Trim(), c.trimmed) << "text [" << c.text << "]";
        EXPECT_STREQ(copy, c.text) << "a copy keeps its text";
    }
    CString left(L"  x  ");
    EXPECT_STREQ(left.TrimLeft(), L"x  ");
    CString right(L"  x  ");
    EXPECT_STREQ(right.TrimRight(), L"  x");
}

TEST(CString, MidLeftRightClampToTheText) {
    const CString s(L"abcdef");
    EXPECT_STREQ(s.Mid(2), L"cdef");
    EXPECT_STREQ(s.Mid(2, 3), L"cde");
    EXPECT_STREQ(s.Mid(4, 10), L"ef");
    EXPECT_STREQ(s.Mid(6), L"");
    EXPECT_STREQ(s.Mid(10), L"");
    EXPECT_STREQ(s.Mid(-3, 2), L"ab");
    EXPECT_STREQ(s.Mid(1, -1), L"");
    EXPECT_STREQ(s.Left(2), L"ab");
    EXPECT_STREQ(s.Left(10), L"abcdef");
    EXPECT_STREQ(s.Right(2), L"ef");
    EXPECT_STREQ(s.Right(0), L"");
    EXPECT_STREQ(s.Right(10), L"abcdef");
    EXPECT_EQ(s.Mid(1, 2).GetLength(), 2);
}

TEST(CString, Comparisons) {
    const CString abc(L"abc");
    EXPECT_TRUE(abc == L"abc");
    EXPECT_TRUE(L"abc" == abc);
    EXPECT_TRUE(abc == CString(L"abc"));
    EXPECT_TRUE(abc != L"abd");
    EXPECT_TRUE(abc != CString(L"ab"));
    EXPECT_TRUE(abc != L"ABC");
    EXPECT_LT(abc.Compare(L"abd"), 0);
    EXPECT_GT(abc.Compare(L"ab"), 0);
    EXPECT_GT(abc.Compare(nullptr), 0) << "null compares as the empty text";
    EXPECT_TRUE(CString(L"ab") < abc);
    EXPECT_FALSE(abc < abc);

    EXPECT_EQ(CString(L"LocalHost").CompareNoCase(L"localhost"), 0);
    EXPECT_EQ(CString(L"X.LOG").CompareNoCase(L"x.log"), 0);
    EXPECT_NE(CString(L"localhost1").CompareNoCase(L"localhost"), 0);
    EXPECT_LT(CString(L"a").CompareNoCase(L"B"), 0);
    EXPECT_EQ(CString().CompareNoCase(nullptr), 0);
}

TEST(CString, AppendToItself) {
    CString s(L"ab");
    s += s;
    EXPECT_STREQ(s, L"abab");
    s += s.GetString();
    EXPECT_STREQ(s, L"abababab");
    s.Append(s.GetString() + 1, 2);
    EXPECT_STREQ(s,
                 L"abababab"
                 L"ba");
    CString t = s + s;
    EXPECT_STREQ(t, L"ababababbaababababba");

    // Growing one character at a time, past several reallocations, keeps every character.
    CString grown;
    for (int i = 0; i < 3000; ++i) grown += static_cast<wchar_t>(L'a' + i % 26);
    ASSERT_EQ(grown.GetLength(), 3000);
    for (int i = 0; i < 3000; i += 97) EXPECT_EQ(grown[i], static_cast<wchar_t>(L'a' + i % 26)) << i;
    grown += grown.GetString() + 2990;
    EXPECT_EQ(grown.GetLength(), 3010);
    EXPECT_STREQ(grown.Right(10), grown.Mid(2990, 10));
}
