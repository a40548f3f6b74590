#include "Biz/Log.h"

#include <windows.h>

#include <log4cplus/fileappender.h>
#include <log4cplus/layout.h>
#include <log4cplus/config.hxx>

#include <codecvt>
#include <cstring>
#include <cwchar>
#include <locale>
#include <memory>

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
    n = MultiByteToWideChar(codePage, flags, text, length, &out[0], n);
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

wchar_t AsciiLower(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

// The appender's name: the full path in ASCII lower case, so that one file gets one appender.
std::wstring AppenderName(const std::wstring& path) {
    std::wstring full(MAX_PATH, L'\0');
    DWORD n = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
    if (n >= full.size()) {
        full.resize(n);
        n = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
    }
    if (n == 0 || n >= full.size())
        full = path;
    else
        full.resize(n);
    for (wchar_t& c : full) c = AsciiLower(c);
    return full;
}

// The log file's appender. log4cplus built with MinGW narrows the file name through the C locale, so a path
// with Chinese characters would not open; this one opens the wide name. It writes UTF-8 whatever the C
// locale: a character that locale cannot hold would stop every later record and abort the host at the end.
class LogFileAppender : public log4cplus::FileAppenderBase {
public:
    explicit LogFileAppender(const std::wstring& path)
        : FileAppenderBase(path, std::ios_base::trunc, true, false) {
        imbue(std::locale(std::locale::classic(), new std::codecvt_utf8_utf16<wchar_t>));
        open(fileOpenMode);
    }
    ~LogFileAppender() override { destructorImpl(); }

protected:
    // Also the reopen after a failed write.
    void open(std::ios_base::openmode mode) override {
        out.open(filename.c_str(), mode);
        if (!out.good()) getErrorHandler()->error(L"Unable to open file: " + filename);
    }
};

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
    return text ? Widen(text, static_cast<int>(std::strlen(text)), 936, 0) : std::wstring();
}

std::wstring WidenWireText(const std::string& bytes) {
    // Only the bytes before a NUL count, as in the reply buffers.
    const int length = static_cast<int>(std::strlen(bytes.c_str()));
    std::wstring utf8 = Widen(bytes.c_str(), length, CP_UTF8, MB_ERR_INVALID_CHARS);
    if (!utf8.empty() || length == 0) return utf8;
    return Widen(bytes.c_str(), length, CP_ACP, 0);
}

std::wstring EscapeWireText(const std::string& bytes) {
    std::string text = bytes;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    if (!text.empty() && text.back() == '\r') text.pop_back();
    const int length = static_cast<int>(text.size());
    std::wstring wide = Widen(text.data(), length, CP_UTF8, MB_ERR_INVALID_CHARS);
    if (wide.empty() && length > 0) wide = Widen(text.data(), length, CP_ACP, 0);
    std::wstring out;
    out.reserve(wide.size());
    for (const wchar_t c : wide) {
        switch (c) {
            case L'\r':
                out += L"\\r";
                continue;
            case L'\n':
                out += L"\\n";
                continue;
            case L'\t':
                out += L"\\t";
                continue;
            case L'\0':
                out += L"\\0";
                continue;
            default:
                break;
        }
        // C0 and C1 controls, DEL, and the Unicode line and paragraph separators.
        if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
            wchar_t escape[8];
            swprintf(escape, 8, L"\\x%02X", static_cast<unsigned>(c));
            out += escape;
        } else if (c == 0x2028 || c == 0x2029) {
            wchar_t escape[8];
            swprintf(escape, 8, L"\\u%04X", static_cast<unsigned>(c));
            out += escape;
        } else {
            out += c;
        }
    }
    return out;
}

namespace {
// The names the platform takes for a device in any folder, with any extension: "NUL.log" is NUL.
bool IsDeviceName(const std::wstring& component) {
    std::wstring base = component.substr(0, component.find(L'.'));
    // "NUL .log" and "NUL..log" name the device too.
    while (!base.empty() && (base.back() == L' ' || base.back() == L'.')) base.pop_back();
    for (wchar_t& c : base) c = AsciiLower(c);
    static const wchar_t* const kDevices[] = {L"con",    L"prn",     L"aux",   L"nul",
                                              L"conin$", L"conout$", L"clock$"};
    for (const wchar_t* device : kDevices)
        if (base == device) return true;
    if (base.size() == 4 && (base.compare(0, 3, L"com") == 0 || base.compare(0, 3, L"lpt") == 0)) {
        const wchar_t n = base[3];
        // COM0 to COM9 and the superscript digits the platform also accepts (COM¹, COM², COM³).
        if ((n >= L'0' && n <= L'9') || n == 0x00B9 || n == 0x00B2 || n == 0x00B3) return true;
    }
    return false;
}
}  // namespace

bool IsLogFilePath(const std::wstring& path) {
    // A drive letter, a colon and a backslash: nothing else reaches a network share, a pipe or a device.
    if (path.size() < 4) return false;
    const wchar_t drive = AsciiLower(path[0]);
    if (drive < L'a' || drive > L'z' || path[1] != L':' || path[2] != L'\\') return false;
    size_t start = 3;
    std::wstring component;
    for (size_t i = 3; i <= path.size(); ++i) {
        const wchar_t c = i < path.size() ? path[i] : L'\\';
        if (c == L'\\' || c == L'/') {
            component = path.substr(start, i - start);
            if (IsDeviceName(component)) return false;
            start = i + 1;
            continue;
        }
        // ":" would name an alternate stream ("x.txt:y.log"); the others are no part of a plain file name.
        if (c < 0x20 || c == L':' || c == L'*' || c == L'?' || c == L'"' || c == L'<' || c == L'>' ||
            c == L'|')
            return false;
    }
    // component is now the file's name.
    const wchar_t suffix[] = L".log";
    if (component.size() < 4) return false;
    for (size_t i = 0; i < 4; ++i)
        if (AsciiLower(component[component.size() - 4 + i]) != suffix[i]) return false;
    return true;
}

void WriteLogRecord(log4cplus::Logger& logger, int level, const std::wstring& message, const char* file,
                    int line) {
    std::wstring text = message;
    for (size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF)
            ++i;  // a whole pair
        else if (c >= 0xD800 && c <= 0xDFFF)
            text[i] = 0xFFFD;
    }
    logger.forcedLog(level, text, file, line);
}

void OpenLogFile(log4cplus::Logger& logger, bool enabled, const std::wstring& path) {
    if (!enabled) return;
    if (path.empty()) return;
    // A page must not make the object create or truncate any file it likes.
    if (!IsLogFilePath(path)) return;

    const std::wstring name = AppenderName(path);
    if (!logger.getAppender(name)) {
        // Truncated, flushed after every record.
        log4cplus::SharedAppenderPtr appender(new LogFileAppender(path));
        appender->setName(name);
        appender->setLayout(std::unique_ptr<log4cplus::Layout>(new log4cplus::PatternLayout(kLayout)));
        logger.addAppender(appender);
    }
    logger.setLogLevel(kLogTrace);
    if (logger.isEnabledFor(kLogWarn)) {
        LogMessage message;
        message << kLogReady;
        WriteLogRecord(logger, kLogWarn, message.str(), kLogSource, kLogReadyLine);
    }
}

void ReleaseLogThreadData() { log4cplus::threadCleanup(); }
