// The process-wide debug logger: one log4cplus logger named "Korvane", at level OFF until a page opens a
// log file through the upload object. Each log site tests the level before it builds any text.
#pragma once

#include <log4cplus/logger.h>

#include <ostream>
#include <sstream>
#include <string>

extern std::wstring LoggerName;

log4cplus::Logger& GetLogger();
// Attaches a file appender and lets every record pass, when enabled is true and the path names a plain local
// ".log" file (IsLogFilePath).
// The file is truncated and written in UTF-8, one flushed line per record. A path that is already open gets
// the set-up record again but no second appender (two would truncate and overwrite each other).
void OpenLogFile(log4cplus::Logger& logger, bool enabled, const std::wstring& path);
// True when OpenLogFile would open the path: a page may only create a file on a local drive (a drive letter,
// a colon and a backslash first) whose name ends in ".log" (any letter case). Shares, pipes and namespace
// paths (two backslashes, or a backslash, two question marks and a backslash, first), relative paths,
// alternate streams and device names (CON, NUL, COM1, LPT1, ... with any extension, in any component) are
// refused.
bool IsLogFilePath(const std::wstring& path);
// A worker thread that logged calls this before it ends, so log4cplus's per-thread data is not leaked.
void ReleaseLogThreadData();

// The system's own narrow texts are stored in code page 936; log sites widen them with this.
std::wstring WidenCp936(const char* text);
// Bytes from the wire (commands, replies): UTF-8 when they are valid UTF-8, else the ANSI code page.
std::wstring WidenWireText(const std::string& bytes);
// Wire bytes as one log line: widened as WidenWireText does (NULs included), without the final line end,
// and with every control character written as an escape ("\r", "\n", "\0", "\t", "\x1B", "\u2028"), so
// that a server cannot break a record or forge one.
std::wstring EscapeWireText(const std::string& bytes);

enum : int { kLogTrace = 0, kLogDebug = 10000, kLogWarn = 30000, kLogOff = 60000 };

// The text of one record, built like a wide string stream. Narrow texts are the system's own and stored in
// code page 936, so they are widened from that code page, never byte by byte or through the C locale.
class LogMessage {
public:
    template <typename T>
    LogMessage& operator<<(const T& value) {
        stream_ << value;
        return *this;
    }
    LogMessage& operator<<(const char* text) { return *this << WidenCp936(text); }
    LogMessage& operator<<(char* text) { return *this << WidenCp936(text); }
    LogMessage& operator<<(const std::string& text) { return *this << WidenCp936(text.c_str()); }
    LogMessage& operator<<(std::wostream& (*manipulator)(std::wostream&)) {
        stream_ << manipulator;
        return *this;
    }
    std::wstring str() const { return stream_.str(); }

private:
    std::wostringstream stream_;
};

// Hands one record to the logger with the site's own file and line. A lone UTF-16 surrogate becomes U+FFFD:
// the UTF-8 file could not hold it, and a failed write would drop the records after it.
void WriteLogRecord(log4cplus::Logger& logger, int level, const std::wstring& message, const char* file,
                    int line);

// Logs a record built from stream insertions, only when the level passes; file and line are the site's own.
#define KORVANE_LOG(level, file, line, insertions)                                    \
    do {                                                                              \
        log4cplus::Logger& korvaneLogger_ = GetLogger();                              \
        if (korvaneLogger_.isEnabledFor(level)) {                                     \
            LogMessage korvaneMessage_;                                               \
            korvaneMessage_ << insertions;                                            \
            WriteLogRecord(korvaneLogger_, level, korvaneMessage_.str(), file, line); \
        }                                                                             \
    } while (0)
