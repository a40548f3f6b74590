// Conversions that do not depend on the ANSI code page; the code page 936 cases run in their own program.
#include <gtest/gtest.h>

#include <list>
#include <memory>
#include <string>

#include "common/AnsiCodePageSeam.h"
#include "common/TestFiles.h"
#include "support/TextConvert.h"

namespace {
const wchar_t kFolder[] = L"\u6587\u4EF6\u5939";  // 文件夹
const char kFolderUtf8[] = "\xE6\x96\x87\xE4\xBB\xB6\xE5\xA4\xB9";

std::string Utf8(const CString& text) {
    std::string out = "stale";
    CStringToUtf8(text, out);
    return out;
}
}  // namespace

TEST(TextConvert, WideToUtf8) {
    EXPECT_EQ(Utf8(kFolder), std::string(kFolderUtf8, 9));
    EXPECT_EQ(Utf8(L"\U0001F600"), "\xF0\x9F\x98\x80") << "a surrogate pair is one character";
    EXPECT_EQ(Utf8(L"abc/d e"), "abc/d e");
    std::string out;
    CStringToMultiByte(kFolder, out, true);
    EXPECT_EQ(out, std::string(kFolderUtf8, 9));
}

TEST(TextConvert, WideToNarrowReplacesTheResultAndStopsAtTheFirstNul) {
    const CString withNul(L"ab\0cd", 5);
    ASSERT_EQ(withNul.GetLength(), 5);
    const CString empty;
    using Convert = std::string (*)(const CString&);
    const struct {
        const char* name;
        Convert convert;
    } conversions[] = {
        {"CStringToUtf8", [](const CString& t) { return Utf8(t); }},
        {"CStringToAnsi", [](const CString& t) { return CStringToAnsi(t); }},
        {"CStringToAnsiString",
         [](const CString& t) {
             std::string out = "stale";
             CStringToAnsiString(t, out);
             return out;
         }},
        {"CStringToMultiByte utf8",
         [](const CString& t) {
             std::string out = "stale";
             CStringToMultiByte(t, out, true);
             return out;
         }},
        {"CStringToMultiByte ansi",
         [](const CString& t) {
             std::string out = "stale";
             CStringToMultiByte(t, out, false);
             return out;
         }},
    };
    for (const auto& c : conversions) {
        EXPECT_EQ(c.convert(empty), "") << c.name << ": the empty text replaces what out held";
        EXPECT_EQ(c.convert(L"x"), "x") << c.name;
        EXPECT_EQ(c.convert(withNul), "ab") << c.name;
    }
}

// Each code page is asked with the flags it allows, on a system that answers as the platform's documentation
// says: a name is never refused because of the way it was asked for.
TEST(TextConvert, ExactConversionAsksEachCodePageAsItAllows) {
    using Seam = testcommon::AnsiCodePageSeam;
    struct Case {
        UINT asked;
        UINT system;  // the system's ANSI code page
        UINT used;
        DWORD flags;
        bool usedDefaultFlag;
    };
    const DWORD bestFit = WC_NO_BEST_FIT_CHARS;
    const Case cases[] = {
        {CP_THREAD_ACP, CP_UTF8, CP_UTF8, WC_ERR_INVALID_CHARS, false},
        {CP_ACP, CP_UTF8, CP_UTF8, WC_ERR_INVALID_CHARS, false},
        {CP_UTF8, 1252, CP_UTF8, WC_ERR_INVALID_CHARS, false},
        {CP_THREAD_ACP, 54936, 54936, 0, false},
        {CP_THREAD_ACP, 52936, 52936, 0, false},
        {50220, 1252, 50220, 0, false},
        {50221, 1252, 50221, 0, false},
        {50222, 1252, 50222, 0, false},
        {50225, 1252, 50225, 0, false},
        {50227, 1252, 50227, 0, false},
        {50229, 1252, 50229, 0, false},
        {57002, 1252, 57002, 0, false},
        {57011, 1252, 57011, 0, false},
        {CP_UTF7, 1252, CP_UTF7, 0, false},
        {42, 1252, 42, 0, false},
        {CP_THREAD_ACP, 1252, 1252, bestFit, true},
        {CP_ACP, 936, 936, bestFit, true},
        {932, 1252, 932, bestFit, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("code page " + std::to_string(c.asked) + " on a system of " + std::to_string(c.system));
        Seam seam(GetModuleHandleW(nullptr), c.system);
        ASSERT_TRUE(seam.Applied());
        std::string out = "stale";
        const CString name(L"report-2.bin");
        EXPECT_TRUE(WideToCodePageExact(name.GetString(), name.GetLength(), c.asked, out));
        EXPECT_EQ(out, "report-2.bin");
        ASSERT_FALSE(Seam::Conversions().empty());
        for (const Seam::Conversion& made : Seam::Conversions()) {
            EXPECT_EQ(made.codePage, c.used);
            EXPECT_EQ(made.flags, c.flags);
            EXPECT_EQ(made.usedDefaultFlag, c.usedDefaultFlag);
            EXPECT_FALSE(made.defaultCharacter);
        }
    }
    // Where UTF-8 is the system's code page, what it cannot hold is still refused: a lone surrogate.
    Seam seam(GetModuleHandleW(nullptr), CP_UTF8);
    ASSERT_TRUE(seam.Applied());
    std::string out = "stale";
    const wchar_t lone[] = {L'a', 0xD800, L'b'};
    EXPECT_FALSE(WideToCodePageExact(lone, 3, CP_THREAD_ACP, out));
    EXPECT_EQ(out, "");
}

TEST(TextConvert, ZeroLengthBuffersAreNeverRead) {
    // The text pointer stands right at an inaccessible page: any read of it would crash the test.
    testfiles::GuardedBuffer nothing(nullptr, 0);
    EXPECT_EQ(WideToCodePage(nothing.As<wchar_t>(), 0, CP_UTF8), "");
    EXPECT_EQ(WideToCodePage(nullptr, 5, CP_UTF8), "");
    const wchar_t two[] = {L'o', L'k'};
    testfiles::GuardedBuffer unterminated(two, sizeof(two));
    EXPECT_EQ(WideToCodePage(unterminated.As<wchar_t>(), 2, CP_UTF8), "ok") << "the length bounds the text";
    EXPECT_STREQ(CodePageToCString(std::string(), CP_UTF8), L"");
}

TEST(TextConvert, NarrowToWide) {
    CString out(L"stale");
    AnsiToCString(std::string(), out);
    EXPECT_STREQ(out, L"") << "an empty input empties out";
    AnsiToCString("127.0.0.1", out);
    EXPECT_STREQ(out, L"127.0.0.1");
    AnsiToCString(std::string("ab\0cd", 5), out);
    EXPECT_STREQ(out, L"ab") << "only the text before a NUL counts";
    EXPECT_EQ(out.GetLength(), 2);
    EXPECT_STREQ(CodePageToCString(std::string(kFolderUtf8), CP_UTF8), kFolder);
}

TEST(TextConvert, Utf8ToWideBuffer) {
    EXPECT_EQ(Utf8ToWide(nullptr), nullptr);
    std::unique_ptr<wchar_t[]> dotted(Utf8ToWide("192.168.1.10"));
    ASSERT_NE(dotted, nullptr);
    EXPECT_EQ(std::wstring(dotted.get()), L"192.168.1.10");
    EXPECT_EQ(dotted[12], L'\0');
    std::unique_ptr<wchar_t[]> folder(Utf8ToWide(kFolderUtf8));
    EXPECT_STREQ(folder.get(), kFolder);
    std::unique_ptr<wchar_t[]> empty(Utf8ToWide(""));
    ASSERT_NE(empty, nullptr);
    EXPECT_STREQ(empty.get(), L"");
}

TEST(SplitCString, CutsAtEveryDelimiterAndDropsEmptyTokens) {
    const struct {
        const wchar_t* text;
        const wchar_t* delimiters;
        std::list<std::wstring> tokens;
    } cases[] = {
        {L"/a//b/", L"/", {L"a", L"b"}},
        {L"", L"/", {}},
        {L"///", L"/", {}},
        {L"abc", L"/", {L"abc"}},
        {L"a/b/c", L"/", {L"a", L"b", L"c"}},
        {L"/上传/文件夹 1/", L"/", {L"上传", L"文件夹 1"}},
        {L"a\\b/c\\\\", L"/\\", {L"a", L"b", L"c"}},
        {L" a b ", L" ", {L"a", L"b"}},
    };
    for (const auto& c : cases) {
        std::list<CString> out = {CString(L"stale")};
        SplitCString(c.text, c.delimiters, out);
        std::list<std::wstring> got;
        for (const CString& token : out) got.push_back(token.GetString());
        EXPECT_EQ(got, c.tokens) << "text [" << c.text << "] delimiters [" << c.delimiters << "]";
    }
}
