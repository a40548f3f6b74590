// The logger before any log file is opened. No test here opens one, so they hold in any order and together
// in one process; the tests that open files are in LogFileTest.cpp, a program of their own.
#include <gtest/gtest.h>

#include <string>

#include "Biz/Log.h"
#include "support/TestFiles.h"

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
        {L"C:\\logs\\korvane.Log", true},
        {L"relative/debug.lOg", true},
        {L"C:debug.log", true},
        {L"debug.log", true},
        {L"\\\\server\\share\\日志.log", true},
        {L".log", true},
        {L"", false},
        {L"log", false},
        {L"C:\\logs\\debug.txt", false},
        {L"C:\\logs\\debug.log.txt", false},
        {L"C:\\logs.log\\", false},
        {L"C:\\logs.log\\debug", false},
        {L"C:\\page.txt:debug.log", false},
        {L"C:\\debug.log ", false},
        {L"C:\\debuglog", false},
    };
    for (const auto& c : cases) EXPECT_EQ(IsLogFilePath(c.path), c.log) << "[" << c.path << "]";
}
