// The logger before any log file is opened. No test here opens one, so they hold in any order and together
// in one process; the tests that open files are in LogFileTest.cpp, a program of their own.
#include <gtest/gtest.h>

#include <string>

#include "Biz/Log.h"
#include "common/TestFiles.h"

namespace {
int built = 0;
int CountBuild() { return ++built; }
}  // namespace

TEST(LogOff, OneLoggerNamedKorvaneStartsOff) {
    EXPECT_EQ(LoggerName, L"Korvane");
    log4cplus::Logger& logger = GetLogger();
    EXPECT_EQ(&logger, &GetLogger()) << "every call gives the one logger";
    EXPECT_EQ(logger.getName(), L"Korvane");
    EXPECT_EQ(logger.getLogLevel(), kLogOff);
    EXPECT_FALSE(logger.isEnabledFor(kLogDebug));
    EXPECT_FALSE(logger.isEnabledFor(kLogWarn));
    EXPECT_TRUE(logger.getAllAppenders().empty());
}

TEST(LogOff, SitesBuildNoTextWhileTheLevelIsOff) {
    built = 0;
    KORVANE_LOG(kLogDebug, "Test.cpp", 1, "never " << CountBuild());
    KORVANE_LOG(kLogWarn, "Test.cpp", 2, L"never " << CountBuild());
    EXPECT_EQ(built, 0);
}

TEST(LogOff, DebugOffOrNoPathOpensNothing) {
    testfiles::TempFolder folder;
    const std::wstring path = folder.File(L"debug.log");
    OpenLogFile(GetLogger(), false, path);
    EXPECT_FALSE(testfiles::Exists(path)) << "Debug off: no file";
    OpenLogFile(GetLogger(), true, std::wstring());
    EXPECT_EQ(GetLogger().getLogLevel(), kLogOff);
    EXPECT_TRUE(GetLogger().getAllAppenders().empty());
}

TEST(LogOff, OnlyLogFilesAreOpened) {
    testfiles::TempFolder folder;
    ASSERT_TRUE(testfiles::WriteBytes(folder.File(L"page.txt"), "keep me"));
    const wchar_t* names[] = {L"page.txt", L"x.log.txt",          L"x.logs",
                              L"xlog",     L"page.txt:debug.log", L"x.log "};
    for (const wchar_t* name : names) {
        const std::wstring path = folder.File(name);
        OpenLogFile(GetLogger(), true, path);
        EXPECT_EQ(GetLogger().getLogLevel(), kLogOff) << "[" << name << "]";
    }
    // Shares, pipes and devices: nothing is opened and the logger stays off.
    const wchar_t* elsewhere[] = {L"\\\\127.0.0.1\\share\\x.log",
                                  L"\\\\.\\pipe\\korvane.log",
                                  L"\\\\.\\NUL",
                                  L"C:\\NUL.log",
                                  L"C:\\COM1.log",
                                  L"debug.log"};
    for (const wchar_t* path : elsewhere) {
        OpenLogFile(GetLogger(), true, path);
        EXPECT_EQ(GetLogger().getLogLevel(), kLogOff) << "[" << path << "]";
    }
    EXPECT_FALSE(testfiles::Exists(L"debug.log"));
    EXPECT_EQ(testfiles::ReadBytes(folder.File(L"page.txt")), "keep me")
        << "a page must not truncate other files";
    EXPECT_FALSE(testfiles::Exists(folder.File(L"x.log.txt")));
    EXPECT_FALSE(testfiles::Exists(folder.File(L"x.logs")));
    EXPECT_TRUE(GetLogger().getAllAppenders().empty());
}

TEST(LogOff, WhatCountsAsALogFilePath) {
    const struct {
        const wchar_t* path;
        bool log;
    } cases[] = {
        {L"C:\\logs\\korvane.log", true},
        {L"C:\\logs\\KORVANE.LOG", true},
        {L"c:\\logs\\korvane.Log", true},
        {L"Z:\\tmp\\sub/debug.lOg", true},
        {L"C:\\日志\\调试.log", true},
        {L"C:\\logs\\.\\..\\debug.log", true},
        {L"C:\\console\\nullable.log", true},
        {L"C:\\com10\\lpt.log", true},
        {L"C:\\.log", true},
        // Only a path on a local drive: no share, pipe, namespace, relative or drive-relative path.
        {L"\\\\server\\share\\x.log", false},
        {L"\\\\server\\share\\日志.log", false},
        {L"//server/share/x.log", false},
        {L"\\\\.\\pipe\\x.log", false},
        {L"\\\\?\\C:\\x.log", false},
        {L"\\\\?\\UNC\\server\\share\\x.log", false},
        {L"\\\\.\\C:\\x.log", false},
        {L"\\??\\C:\\x.log", false},
        {L"\\x.log", false},
        {L"relative/debug.lOg", false},
        {L"debug.log", false},
        {L"C:debug.log", false},
        {L"C:/debug.log", false},
        {L"1:\\debug.log", false},
        // Device names, with any extension, in any letter case, in any component.
        {L"C:\\COM1.log", false},
        {L"C:\\logs\\nul.log", false},
        {L"C:\\logs\\NUL.txt.log", false},
        {L"C:\\logs\\con", false},
        {L"C:\\CON\\x.log", false},
        {L"C:\\logs\\Lpt1\\x.log", false},
        {L"C:\\logs\\aux.log", false},
        {L"C:\\prn.log", false},
        {L"C:\\nul .log", false},
        {L"C:\\com\u00B9.log", false},
        {L"C:\\conout$.log", false},
        // Alternate streams and characters no plain name holds.
        {L"C:\\page.txt:debug.log", false},
        {L"C:\\logs\\x.log::$DATA", false},
        {L"C:\\logs\\a?.log", false},
        {L"C:\\logs\\*.log", false},
        {L"C:\\logs\\a\x1b.log", false},
        {L"", false},
        {L"log", false},
        {L"C:\\logs\\debug.txt", false},
        {L"C:\\logs\\debug.log.txt", false},
        {L"C:\\logs.log\\", false},
        {L"C:\\logs.log\\debug", false},
        {L"C:\\debug.log ", false},
        {L"C:\\debuglog", false},
    };
    for (const auto& c : cases) EXPECT_EQ(IsLogFilePath(c.path), c.log) << "[" << c.path << "]";
}
