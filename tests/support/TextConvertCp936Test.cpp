// Conversions on a system whose ANSI code page is 936 (this program runs with a zh_CN locale).
#include <winsock2.h>

#include <gtest/gtest.h>

#include <string>

#include "Biz/Log.h"
#include "support/HostName.h"
#include "support/TextConvert.h"

namespace {
const wchar_t kFolder[] = L"\u6587\u4EF6\u5939";  // 文件夹
const std::string kFolder936("\xCE\xC4\xBC\xFE\xBC\xD0", 6);
const std::string kFolderUtf8("\xE6\x96\x87\xE4\xBB\xB6\xE5\xA4\xB9", 9);
}  // namespace

TEST(Cp936, TheProgramRunsUnderCodePage936) {
    ASSERT_EQ(GetACP(), 936u) << "LANG=zh_CN.UTF-8 must give the ANSI code page 936";
}

TEST(Cp936, WideToAnsi) {
    ASSERT_EQ(GetACP(), 936u);
    EXPECT_EQ(CStringToAnsi(kFolder), kFolder936);
    std::string out = "stale";
    CStringToAnsiString(kFolder, out);
    EXPECT_EQ(out, kFolder936);
    out = "stale";
    CStringToMultiByte(kFolder, out, false);
    EXPECT_EQ(out, kFolder936);
    CStringToMultiByte(kFolder, out, true);
    EXPECT_EQ(out, kFolderUtf8) << "the flag chooses UTF-8 whatever the ANSI code page";
    CStringToUtf8(kFolder, out);
    EXPECT_EQ(out, kFolderUtf8);
    EXPECT_EQ(CStringToAnsi(L"a文b"),
              "a\xCE\xC4"
              "b");
    EXPECT_EQ(CStringToAnsi(CString()), "");
}

TEST(Cp936, AnsiToWide) {
    ASSERT_EQ(GetACP(), 936u);
    CString out(L"stale");
    AnsiToCString(kFolder936, out);
    EXPECT_STREQ(out, kFolder);
    AnsiToCString(kFolder936.substr(0, 2) + std::string(1, '\0') + kFolder936.substr(2), out);
    EXPECT_STREQ(out, L"\u6587") << "the text ends at the NUL";
    AnsiToCString(std::string(), out);
    EXPECT_STREQ(out, L"");
}

TEST(Cp936, WireTextIsUtf8WhenItCanBeElseAnsi) {
    ASSERT_EQ(GetACP(), 936u);
    EXPECT_EQ(WidenWireText(kFolderUtf8), kFolder);
    EXPECT_EQ(WidenWireText(kFolder936), kFolder) << "bytes that are no UTF-8 are read in the ANSI code page";
    EXPECT_EQ(WidenWireText("257 \"/\" is the current directory"), L"257 \"/\" is the current directory");
    EXPECT_EQ(WidenWireText(std::string()), L"");
    EXPECT_EQ(WidenCp936("\xC8\xD5\xD6\xBE\xB4\xB4\xBD\xA8\xB3\xC9\xB9\xA6"), L"日志创建成功");
}

TEST(Cp936, FullWidthDigitsAreNoDottedQuad) {
    ASSERT_EQ(GetACP(), 936u);
    // Code page 936 holds the full-width digits, so they stay double-byte characters and fail the pattern.
    EXPECT_FALSE(IsIpAddress(L"\uFF11.2.3.4"));
    EXPECT_TRUE(IsIpAddress(L"10.0.0.1"));
    EXPECT_FALSE(IsIpAddress(L"主机.0.0.1"));
    EXPECT_STREQ(ResolveHostIp(L"localhost"), L"127.0.0.1");
    EXPECT_STREQ(ResolveHostIp(L"不存在的主机.invalid"), L"")
        << "a Chinese name goes to the lookup and fails";
}
