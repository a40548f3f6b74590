// Reading log files back: their records, each checked against the layout, and the removal of their folders
// once log4cplus has closed the files at the end of the program.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <log4cplus/logger.h>

#include <regex>
#include <string>
#include <vector>

#include "common/TestFiles.h"

namespace logrecords {

// 日志创建成功 in UTF-8, and where it is logged.
const std::string kReadyUtf8 = "\xE6\x97\xA5\xE5\xBF\x97\xE5\x88\x9B\xE5\xBB\xBA\xE6\x88\x90\xE5\x8A\x9F";
const std::string kReadyLocation = "Biz/Log.cpp:45";

// The folders of this program's log files; removed once log4cplus has closed its files at the end.
inline std::vector<std::wstring> logFolders;

class CloseLogFilesAtEnd : public ::testing::Environment {
public:
    void TearDown() override {
        log4cplus::Logger::shutdown();
        for (const std::wstring& folder : logFolders) testfiles::RemoveTree(folder);
    }
};
inline ::testing::Environment* const closeLogFiles =
    ::testing::AddGlobalTestEnvironment(new CloseLogFilesAtEnd);

struct Record {
    long long time = 0;  // yymmddHHMMSS, for ordering
    std::string message;
    std::string location;
};

inline long long TimeKey(int year2, int month, int day, int hour, int minute, int second) {
    return ((((year2 * 100LL + month) * 100 + day) * 100 + hour) * 100 + minute) * 100 + second;
}

inline long long UtcNow() {
    SYSTEMTIME now;
    GetSystemTime(&now);
    return TimeKey(now.wYear % 100, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);
}

// Splits a log file into records, checking that every line has the layout
// "%d{%m/%d/%y %H:%M:%S}    - %m [%l]%n" and ends in CR LF.
inline std::vector<Record> ReadRecords(const std::wstring& path) {
    const std::string bytes = testfiles::ReadBytes(path);
    EXPECT_EQ(bytes.find('\0'), std::string::npos) << "a log file holds no NUL bytes";
    static const std::regex line(R"((\d\d)/(\d\d)/(\d\d) (\d\d):(\d\d):(\d\d)    - (.*) \[([^\]]*)\])");
    std::vector<Record> records;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find("\r\n", start);
        EXPECT_NE(end, std::string::npos) << "every record ends in CR LF: " << bytes.substr(start);
        if (end == std::string::npos) break;
        const std::string text = bytes.substr(start, end - start);
        std::smatch m;
        EXPECT_TRUE(std::regex_match(text, m, line)) << "record layout: [" << text << "]";
        if (m.size() == 9) {
            Record r;
            r.time = TimeKey(std::stoi(m[3]), std::stoi(m[1]), std::stoi(m[2]), std::stoi(m[4]),
                             std::stoi(m[5]), std::stoi(m[6]));
            r.message = m[7];
            r.location = m[8];
            records.push_back(r);
        }
        start = end + 2;
    }
    return records;
}

inline std::vector<std::string> Messages(const std::wstring& path) {
    std::vector<std::string> messages;
    for (const Record& r : ReadRecords(path)) messages.push_back(r.message);
    return messages;
}

// A temp folder for log files: it stays until the end of the program, when the files are closed.
class LogFolder {
public:
    LogFolder() {
        folder_.Keep();
        logFolders.push_back(folder_.Path());
    }
    std::wstring File(const std::wstring& name) const { return folder_.File(name); }

private:
    testfiles::TempFolder folder_;
};

}  // namespace logrecords
