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

bool WideToCodePageExact(const wchar_t* text, int length, unsigned codePage, std::string& out) {
    out.clear();
    if (!text || length <= 0) return true;
    const bool utf8 = codePage == CP_UTF8;
    // UTF-8 takes no default character: it refuses a lone surrogate when asked to.
    const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    BOOL* used = utf8 ? nullptr : &usedDefault;
    int n = WideCharToMultiByte(codePage, flags, text, length, nullptr, 0, nullptr, used);
    if (n <= 0 || usedDefault) return false;
    std::string converted(static_cast<size_t>(n), '\0');
    n = WideCharToMultiByte(codePage, flags, text, length, &converted[0], n, nullptr, used);
    if (n <= 0 || usedDefault) return false;
    converted.resize(static_cast<size_t>(n));
    // The way back must give the same text: a code page without best-fit data may still map loosely.
    if (CodePageToCString(converted, codePage) != CString(text, length)) return false;
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
