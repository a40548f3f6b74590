#include "Biz/Log.h"

#include <windows.h>

#include <log4cplus/fileappender.h>
#include <log4cplus/layout.h>
#include <log4cplus/config.hxx>

#include <codecvt>
#include <cwctype>
#include <locale>
#include <memory>
#include <vector>

namespace {
const char kLogSource[] = "Biz/Log.cpp";
const int kLogReadyLine = 45;
const char kLogReady[] = "\xC8\xD5\xD6\xBE\xB4\xB4\xBD\xA8\xB3\xC9\xB9\xA6";  // 日志创建成功, code page 936
const wchar_t kLayout[] = L"%d{%m/%d/%y %H:%M:%S}    - %m [%l]%n";

std::wstring Widen(const char* text, int length, UINT codePage, DWORD flags) {
    if (!text || length <= 0) return std::wstring();
    int n = MultiByteToWideChar(codePage, flags, text, length, nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(codePage, flags, text, length, &out[0], n);
    return out;
}

std::wstring InitLoggerName() { return L"Korvane"; }

void CreateLogger(log4cplus::Logger& logger) {
    logger = log4cplus::Logger::getInstance(LoggerName);
    logger.setLogLevel(kLogOff);
}
}  // namespace

std::wstring LoggerName = InitLoggerName();

log4cplus::Logger& GetLogger() {
    // Built at load, before any worker exists; later calls only read it.
    static log4cplus::Logger logger = [] {
        log4cplus::Logger l;
        CreateLogger(l);
        return l;
    }();
    return logger;
}

namespace {
// The logger stands at OFF before any page code runs.
const bool kLoggerReady = (GetLogger(), true);
}  // namespace

std::wstring WidenCp936(const char* text) {
    return text ? Widen(text, static_cast<int>(strlen(text)), 936, 0) : std::wstring();
}

std::wstring WidenWireText(const std::string& bytes) {
    // Only the bytes before a NUL count, as in the reply buffers.
    const int length = static_cast<int>(strlen(bytes.c_str()));
    std::wstring utf8 = Widen(bytes.c_str(), length, CP_UTF8, MB_ERR_INVALID_CHARS);
    if (!utf8.empty() || length == 0) return utf8;
    return Widen(bytes.c_str(), length, CP_ACP, 0);
}

bool IsLogFilePath(const std::wstring& path) {
    const wchar_t suffix[] = L".log";
    if (path.size() <= 4) return false;
    for (size_t i = 0; i < 4; ++i)
        if (std::towlower(path[path.size() - 4 + i]) != suffix[i]) return false;
    return true;
}

void OpenLogFile(log4cplus::Logger& logger, bool enabled, const std::wstring& path) {
    if (!enabled) return;
    if (path.empty()) return;
    // A page must not make the object create or truncate any file it likes.
    if (!IsLogFilePath(path)) return;

    log4cplus::SharedAppenderPtr appender(new log4cplus::FileAppender(path, std::ios_base::trunc, true));
    // The file is written in UTF-8: with the C locale a character it cannot hold would stop every later
    // record and abort the host when the appender goes away.
    appender->setLayout(std::unique_ptr<log4cplus::Layout>(new log4cplus::PatternLayout(kLayout)));
    if (auto* file = dynamic_cast<log4cplus::FileAppenderBase*>(appender.get()))
        file->imbue(std::locale(std::locale::classic(), new std::codecvt_utf8_utf16<wchar_t>));
    logger.addAppender(appender);
    logger.setLogLevel(kLogTrace);
    if (logger.isEnabledFor(kLogWarn)) {
        std::wostringstream message;
        message << WidenCp936(kLogReady);
        logger.forcedLog(kLogWarn, message.str(), kLogSource, kLogReadyLine);
    }
}

void ReleaseLogThreadData() { log4cplus::threadCleanup(); }
