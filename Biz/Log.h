// The process-wide debug logger: one log4cplus logger named "Korvane", at level OFF until a page opens a
// log file through the upload object. Each log site tests the level before it builds any text.
#pragma once

#include <log4cplus/logger.h>

#include <sstream>
#include <string>

extern std::wstring LoggerName;

log4cplus::Logger& GetLogger();
// Attaches a file appender and lets every record pass, when enabled is true and the path names a ".log" file.
void OpenLogFile(log4cplus::Logger& logger, bool enabled, const std::wstring& path);
// True when OpenLogFile would open the path: a page may only create files whose name ends in ".log".
bool IsLogFilePath(const std::wstring& path);
// A worker thread that logged calls this before it ends, so log4cplus's per-thread data is not leaked.
void ReleaseLogThreadData();

// The system's own narrow texts are stored in code page 936; log sites widen them with this.
std::wstring WidenCp936(const char* text);
// Bytes from the wire (commands, replies): UTF-8 when they are valid UTF-8, else the ANSI code page.
std::wstring WidenWireText(const std::string& bytes);

enum : int { kLogTrace = 0, kLogDebug = 10000, kLogWarn = 30000, kLogOff = 60000 };

// Logs a record built from stream insertions, only when the level passes; file and line are the site's own.
#define KORVANE_LOG(level, file, line, insertions)                          \
    do {                                                                    \
        log4cplus::Logger& korvaneLogger_ = GetLogger();                    \
        if (korvaneLogger_.isEnabledFor(level)) {                           \
            std::wostringstream korvaneMessage_;                            \
            korvaneMessage_ << insertions;                                  \
            korvaneLogger_.forcedLog(level, korvaneMessage_.str(), file, line); \
        }                                                                   \
    } while (0)
