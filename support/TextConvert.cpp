#include "support/TextConvert.h"

#include <windows.h>

#include <boost/shared_array.hpp>
#include <cstring>
#include <vector>

std::string WideToCodePage(const wchar_t* text, int length, unsigned codePage) {
    if (!text || length <= 0) return std::string();
    int n = WideCharToMultiByte(codePage, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::string();
    std::string out(static_cast<size_t>(n), '\0');
    n = WideCharToMultiByte(codePage, 0, text, length, &out[0], n, nullptr, nullptr);
    if (n <= 0) return std::string();
    out.resize(static_cast<size_t>(n));
    // The text is taken up to its first NUL, as a NUL-terminated conversion would.
    size_t nul = out.find('\0');
    if (nul != std::string::npos) out.resize(nul);
    return out;
}

namespace {

// The code page a conversion in codePage uses: CP_ACP, CP_OEMCP and CP_THREAD_ACP resolved to the number they
// stand for on this system and thread (65001 where the system's ANSI code page is UTF-8).
unsigned ResolveCodePage(unsigned codePage) {
    switch (codePage) {
        case CP_ACP:
            return GetACP();
        case CP_OEMCP:
            return GetOEMCP();
        case CP_THREAD_ACP: {
            // The user's own locale stands for the system's ANSI code page (which a system set to UTF-8
            // reports as 65001); another locale of the thread for its own, unless it has none (a locale
            // written in Unicode only).
            const LCID locale = GetThreadLocale();
            if (locale != GetUserDefaultLCID()) {
                DWORD number = 0;
                if (GetLocaleInfoW(locale, LOCALE_IDEFAULTANSICODEPAGE | LOCALE_RETURN_NUMBER,
                                   reinterpret_cast<wchar_t*>(&number),
                                   sizeof(number) / sizeof(wchar_t)) > 0 &&
                    number != CP_ACP)
                    return number;
            }
            return GetACP();
        }
        default:
            return codePage;
    }
}

// How a code page lets a conversion be told that it lost a character.
enum class LossReport {
    // WC_NO_BEST_FIT_CHARS and the used-default flag.
    DefaultCharacter,
    // WC_ERR_INVALID_CHARS, and no default character at all (the platform refuses one).
    InvalidCharacters,
    // No flag and no default character: the way back alone tells.
    None,
};

LossReport LossReportOf(unsigned codePage) {
    if (codePage == CP_UTF8) return LossReport::InvalidCharacters;
    // The code pages whose conversions take no flags: ISO-2022 (50220-50222, 50225, 50227, 50229), HZ
    // (52936), GB18030 (54936), ISCII (57002-57011), UTF-7 and Symbol.
    if ((codePage >= 50220 && codePage <= 50222) || codePage == 50225 || codePage == 50227 ||
        codePage == 50229 || codePage == 52936 || codePage == 54936 ||
        (codePage >= 57002 && codePage <= 57011) || codePage == CP_UTF7 || codePage == CP_SYMBOL)
        return LossReport::None;
    return LossReport::DefaultCharacter;
}

}  // namespace

bool WideToCodePageExact(const wchar_t* text, int length, unsigned codePage, std::string& out) {
    out.clear();
    if (!text || length <= 0) return true;
    // The flags a conversion may take depend on the code page it really uses, not on the name it was given.
    const unsigned page = ResolveCodePage(codePage);
    const LossReport report = LossReportOf(page);
    DWORD flags = 0;
    BOOL usedDefault = FALSE;
    BOOL* used = nullptr;
    if (report == LossReport::InvalidCharacters) {
        // A lone surrogate is refused.
        flags = WC_ERR_INVALID_CHARS;
    } else if (report == LossReport::DefaultCharacter) {
        flags = WC_NO_BEST_FIT_CHARS;
        used = &usedDefault;
    }
    int n = WideCharToMultiByte(page, flags, text, length, nullptr, 0, nullptr, used);
    if (n <= 0 || usedDefault) return false;
    std::string converted(static_cast<size_t>(n), '\0');
    n = WideCharToMultiByte(page, flags, text, length, &converted[0], n, nullptr, used);
    if (n <= 0 || usedDefault) return false;
    converted.resize(static_cast<size_t>(n));
    // The way back must give the same text: a code page without best-fit data may still map loosely.
    if (CodePageToCString(converted, page) != CString(text, length)) return false;
    out = converted;
    return true;
}

void CStringToMultiByte(const CString& text, std::string& out, bool utf8) {
    const UINT codePage = utf8 ? CP_UTF8 : CP_ACP;
    int n = WideCharToMultiByte(codePage, 0, text.GetString(), -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0) {
        out.clear();
        return;
    }
    boost::shared_array<char> buffer(new char[static_cast<size_t>(n) + 1]);
    std::memset(buffer.get(), 0, static_cast<size_t>(n) + 1);
    WideCharToMultiByte(codePage, 0, text.GetString(), -1, buffer.get(), n, nullptr, nullptr);
    out.assign(buffer.get());
}

std::string CStringToAnsi(const CString& text) {
    std::string out;
    CStringToMultiByte(text, out, false);
    return out;
}

void CStringToUtf8(const CString& text, std::string& out) {
    out = WideToCodePage(text.GetString(), text.GetLength(), CP_UTF8);
}

void CStringToAnsiString(const CString& text, std::string& out) {
    out = WideToCodePage(text.GetString(), text.GetLength(), CP_ACP);
}

CString CodePageToCString(const std::string& in, unsigned codePage) {
    // Read up to the first NUL byte.
    const int length = static_cast<int>(std::strlen(in.c_str()));
    if (length == 0) return CString();
    int n = MultiByteToWideChar(codePage, 0, in.c_str(), length, nullptr, 0);
    if (n <= 0) return CString();
    std::vector<wchar_t> buffer(static_cast<size_t>(n));
    n = MultiByteToWideChar(codePage, 0, in.c_str(), length, buffer.data(), n);
    if (n <= 0) return CString();
    return CString(buffer.data(), n);
}

void AnsiToCString(const std::string& in, CString& out) { out = CodePageToCString(in, CP_ACP); }

wchar_t* Utf8ToWide(const char* utf8) {
    if (!utf8) return nullptr;
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    if (n <= 0) {
        wchar_t* empty = new wchar_t[1];
        empty[0] = L'\0';
        return empty;
    }
    wchar_t* out = new wchar_t[static_cast<size_t>(n)];
    if (MultiByteToWideChar(CP_UTF8, 0, utf8, -1, out, n) <= 0) out[0] = L'\0';
    out[n - 1] = L'\0';
    return out;
}

void SplitCString(const CString& text, const CString& delimiters, std::list<CString>& out) {
    out.clear();
    const int length = text.GetLength();
    const wchar_t* s = text.GetString();
    auto isDelimiter = [&](wchar_t c) {
        for (int i = 0; i < delimiters.GetLength(); ++i)
            if (delimiters[i] == c) return true;
        return false;
    };
    int position = 0;
    while (position < length) {
        while (position < length && isDelimiter(s[position])) ++position;
        if (position >= length) break;
        int end = position;
        while (end < length && !isDelimiter(s[end])) ++end;
        out.push_back(CString(s + position, end - position));
        position = end + 1;
    }
}
