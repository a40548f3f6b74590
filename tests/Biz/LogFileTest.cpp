// The log file: its set-up record, its layout and encoding, and later records. The logger is process-wide
// and keeps every appender it was given, so each test checks only the files it opened itself and holds
// whatever ran before it in the same process.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "Biz/Log.h"
#include "Biz/LogRecords.h"
#include "common/TestFiles.h"

// log4cplus keeps a thread's own data in this fiber-local slot (its internal header is closed to users).
namespace log4cplus {
namespace internal {
extern DWORD tls_storage_key;
}  // namespace internal
}  // namespace log4cplus

namespace {

using logrecords::kReadyLocation;
using logrecords::kReadyUtf8;
using logrecords::Messages;
using logrecords::ReadRecords;
using logrecords::Record;
using logrecords::UtcNow;

class LogFileTest : public ::testing::Test {
protected:
    std::wstring File(const std::wstring& name) const { return folder_.File(name); }

    logrecords::LogFolder folder_;
};

}  // namespace

TEST_F(LogFileTest, SetupWritesTheWarningRecordFirst) {
    const std::wstring path = File(L"debug.log");
    const long long before = UtcNow();
    OpenLogFile(GetLogger(), true, path);
    const long long after = UtcNow();
    EXPECT_EQ(GetLogger().getLogLevel(), kLogTrace) << "every record passes from now on";

    const std::vector<Record> records = ReadRecords(path);
    ASSERT_EQ(records.size(), 1u) << testfiles::ReadBytes(path);
    EXPECT_EQ(records[0].message, kReadyUtf8) << "the set-up record in UTF-8";
    EXPECT_EQ(records[0].location, kReadyLocation);
    EXPECT_GE(records[0].time, before) << "%d writes the time in UTC";
    EXPECT_LE(records[0].time, after);
}

TEST_F(LogFileTest, SetupTruncatesAnExistingFile) {
    const std::wstring path = File(L"old.log");
    ASSERT_TRUE(testfiles::WriteBytes(path, std::string(100000, 'x') + "\r\n"));
    OpenLogFile(GetLogger(), true, path);
    EXPECT_EQ(Messages(path), (std::vector<std::string>{kReadyUtf8}));
}

TEST_F(LogFileTest, RecordsReachTheFileAtOnceInUtf8) {
    const std::wstring path = File(L"records.log");
    OpenLogFile(GetLogger(), true, path);
    // 连接服务器失败，错误码： as the system's narrow texts store it, in code page 936.
    const char connectFailed[] =
        "\xC1\xAC\xBD\xD3\xB7\xFE\xCE\xF1\xC6\xF7\xCA\xA7\xB0\xDC\xA3\xAC\xB4\xED\xCE\xF3\xC2\xEB\xA3\xBA";
    KORVANE_LOG(kLogDebug, "Network/TcpConnection.cpp", 75, connectFailed << 10061);
    KORVANE_LOG(kLogDebug, "Test.cpp", 2,
                std::string("narrow ") << L"宽 Ünïcödé \U0001F600 " << 1.5 << ' ' << -7);
    // The file is read while the appender still holds it: each record is flushed when written.
    const std::vector<Record> records = ReadRecords(path);
    ASSERT_EQ(records.size(), 3u) << testfiles::ReadBytes(path);
    EXPECT_EQ(
        records[1].message,
        "\xE8\xBF\x9E\xE6\x8E\xA5\xE6\x9C\x8D\xE5\x8A\xA1\xE5\x99\xA8\xE5\xA4\xB1\xE8\xB4\xA5\xEF\xBC\x8C"
        "\xE9\x94\x99\xE8\xAF\xAF\xE7\xA0\x81\xEF\xBC\x9A"
        "10061");
    EXPECT_EQ(records[1].location, "Network/TcpConnection.cpp:75");
    EXPECT_EQ(records[2].message,
              "narrow \xE5\xAE\xBD \xC3\x9Cn\xC3\xAF"
              "c\xC3\xB6"
              "d\xC3\xA9 \xF0\x9F\x98\x80 1.5 -7");
    EXPECT_EQ(records[2].location, "Test.cpp:2");
}

TEST_F(LogFileTest, TextUtf8CannotHoldLosesNoLaterRecord) {
    const std::wstring path = File(L"surrogate.log");
    OpenLogFile(GetLogger(), true, path);
    KORVANE_LOG(kLogDebug, "Test.cpp", 1, L"lone " << wchar_t(0xD800) << L" high");
    KORVANE_LOG(kLogDebug, "Test.cpp", 2, L"lone " << wchar_t(0xDC00) << L" low at end " << wchar_t(0xD83D));
    KORVANE_LOG(kLogDebug, "Test.cpp", 3, L"after");
    EXPECT_EQ(Messages(path),
              (std::vector<std::string>{kReadyUtf8, "lone \xEF\xBF\xBD high",
                                        "lone \xEF\xBF\xBD low at end \xEF\xBF\xBD", "after"}));
}

TEST_F(LogFileTest, SecondSetupToAnotherPathFeedsBothFiles) {
    const std::wstring first = File(L"first.log");
    const std::wstring second = File(L"second.log");
    OpenLogFile(GetLogger(), true, first);
    KORVANE_LOG(kLogDebug, "Test.cpp", 1, "one");
    OpenLogFile(GetLogger(), true, second);
    KORVANE_LOG(kLogDebug, "Test.cpp", 2, "two");
    EXPECT_EQ(Messages(first), (std::vector<std::string>{kReadyUtf8, "one", kReadyUtf8, "two"}));
    EXPECT_EQ(Messages(second), (std::vector<std::string>{kReadyUtf8, "two"}));
    EXPECT_EQ(GetLogger().getLogLevel(), kLogTrace);
}

TEST_F(LogFileTest, SamePathTwiceKeepsOneFileWholeRecords) {
    const std::wstring path = File(L"twice.log");
    OpenLogFile(GetLogger(), true, path);
    KORVANE_LOG(kLogDebug, "Test.cpp", 1, "one");
    OpenLogFile(GetLogger(), true, File(L".\\TWICE.LOG"));
    KORVANE_LOG(kLogDebug, "Test.cpp", 2, "two");
    EXPECT_EQ(Messages(path), (std::vector<std::string>{kReadyUtf8, "one", kReadyUtf8, "two"}));
}

TEST_F(LogFileTest, SuffixInAnyCaseAndAWideName) {
    const std::wstring upper = File(L"UPPER.LOG");
    const std::wstring wide = File(L"日志 文件.Log");
    OpenLogFile(GetLogger(), true, upper);
    OpenLogFile(GetLogger(), true, wide);
    EXPECT_EQ(Messages(upper), (std::vector<std::string>{kReadyUtf8, kReadyUtf8}));
    EXPECT_EQ(Messages(wide), (std::vector<std::string>{kReadyUtf8}));
}

TEST_F(LogFileTest, FileThatCannotBeCreatedStopsNothing) {
    const std::wstring missing = File(L"no such folder\\debug.log");
    const std::wstring good = File(L"good.log");
    OpenLogFile(GetLogger(), true, missing);
    EXPECT_EQ(GetLogger().getLogLevel(), kLogTrace);
    KORVANE_LOG(kLogDebug, "Test.cpp", 1, "nowhere");
    OpenLogFile(GetLogger(), true, good);
    KORVANE_LOG(kLogDebug, "Test.cpp", 2, "somewhere");
    EXPECT_FALSE(testfiles::Exists(missing));
    EXPECT_EQ(Messages(good), (std::vector<std::string>{kReadyUtf8, "somewhere"}));
}

TEST_F(LogFileTest, WorkerThreadReleasesItsLogData) {
    const std::wstring path = File(L"worker.log");
    OpenLogFile(GetLogger(), true, path);
    bool heldWhileLogging = false;
    bool heldAfterRelease = true;
    std::thread worker([&] {
        KORVANE_LOG(kLogDebug, "Worker.cpp", 9, "from the worker");
        heldWhileLogging = FlsGetValue(log4cplus::internal::tls_storage_key) != nullptr;
        ReleaseLogThreadData();
        heldAfterRelease = FlsGetValue(log4cplus::internal::tls_storage_key) != nullptr;
    });
    worker.join();
    EXPECT_TRUE(heldWhileLogging) << "logging gives the thread log4cplus data of its own";
    EXPECT_FALSE(heldAfterRelease) << "ReleaseLogThreadData frees it";
    EXPECT_EQ(Messages(path), (std::vector<std::string>{kReadyUtf8, "from the worker"}));
}
