// A system whose ANSI code page is another one, for the conversions of one module: its imports of
// WideCharToMultiByte, MultiByteToWideChar, GetACP and GetLocaleInfoW are replaced by functions that answer
// as the platform's documentation says a system set to that code page answers (Wine accepts flags there that
// the documentation forbids, and does not change its code page at run time). CP_ACP and CP_THREAD_ACP stand
// for the code page given; a conversion asked with flags or a default character its code page forbids fails
// with ERROR_INVALID_FLAGS or ERROR_INVALID_PARAMETER. Every call of WideCharToMultiByte is recorded.
#pragma once

#include <windows.h>

#include <vector>

#include "common/ImportPatch.h"

namespace testcommon {

class AnsiCodePageSeam {
public:
    // One WideCharToMultiByte call as the module made it, with the code page it stood for.
    struct Conversion {
        UINT codePage;
        DWORD flags;
        bool defaultCharacter;
        bool usedDefaultFlag;
    };

    AnsiCodePageSeam(HMODULE module, UINT codePage)
        : real_(Real()),
          wide_(module, "kernel32.dll", "WideCharToMultiByte", reinterpret_cast<const void*>(&WideToBytes)),
          narrow_(module, "kernel32.dll", "MultiByteToWideChar", reinterpret_cast<const void*>(&BytesToWide)),
          acp_(module, "kernel32.dll", "GetACP", reinterpret_cast<const void*>(&AnsiCodePage)),
          locale_(module, "kernel32.dll", "GetLocaleInfoW", reinterpret_cast<const void*>(&LocaleInfo)) {
        State().codePage = codePage;
        State().conversions.clear();
    }
    AnsiCodePageSeam(const AnsiCodePageSeam&) = delete;
    AnsiCodePageSeam& operator=(const AnsiCodePageSeam&) = delete;

    // The conversions need both replaced; a module may ask for the code page either way, or not at all.
    bool Applied() const { return wide_.Applied() && narrow_.Applied(); }
    static const std::vector<Conversion>& Conversions() { return State().conversions; }

    // The code pages whose conversions take no flag at all, and those that take no default character.
    static bool TakesNoFlags(UINT codePage) {
        return (codePage >= 50220 && codePage <= 50222) || codePage == 50225 || codePage == 50227 ||
               codePage == 50229 || codePage == 52936 || (codePage >= 57002 && codePage <= 57011) ||
               codePage == CP_UTF7 || codePage == 42;
    }
    static bool TakesNoDefaultCharacter(UINT codePage) { return codePage == CP_UTF8 || codePage == CP_UTF7; }

private:
    struct Shared {
        UINT codePage = CP_UTF8;
        std::vector<Conversion> conversions;
    };
    // The platform's own functions: the module may be the test program itself, whose imports are replaced.
    struct Functions {
        decltype(&WideCharToMultiByte) wideToBytes;
        decltype(&MultiByteToWideChar) bytesToWide;
        decltype(&GetLocaleInfoW) localeInfo;
    };
    static const Functions& Real() {
        static const Functions functions = [] {
            const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
            // Through a plain pointer: the exports' own types are not FARPROC's.
            auto find = [kernel](const char* name) {
                return reinterpret_cast<void*>(GetProcAddress(kernel, name));
            };
            return Functions{reinterpret_cast<decltype(&WideCharToMultiByte)>(find("WideCharToMultiByte")),
                             reinterpret_cast<decltype(&MultiByteToWideChar)>(find("MultiByteToWideChar")),
                             reinterpret_cast<decltype(&GetLocaleInfoW)>(find("GetLocaleInfoW"))};
        }();
        return functions;
    }
    static Shared& State() {
        static Shared shared;
        return shared;
    }
    static UINT Resolve(UINT codePage) {
        return codePage == CP_ACP || codePage == CP_THREAD_ACP ? State().codePage : codePage;
    }
    static bool Ascii(const wchar_t* text, int length) {
        for (int i = 0; i < length; ++i)
            if (text[i] >= 0x80) return false;
        return true;
    }

    static int WINAPI WideToBytes(UINT codePage, DWORD flags, LPCWCH text, int length, LPSTR out, int size,
                                  LPCCH defaultCharacter, LPBOOL usedDefault) {
        const UINT page = Resolve(codePage);
        State().conversions.push_back(
            Conversion{page, flags, defaultCharacter != nullptr, usedDefault != nullptr});
        const bool utf8OrGb18030 = page == CP_UTF8 || page == 54936;
        if ((utf8OrGb18030 && (flags & ~static_cast<DWORD>(WC_ERR_INVALID_CHARS)) != 0) ||
            (TakesNoFlags(page) && flags != 0)) {
            SetLastError(ERROR_INVALID_FLAGS);
            return 0;
        }
        if (TakesNoDefaultCharacter(page) && (defaultCharacter || usedDefault)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        if (page == CP_UTF8)
            return Real().wideToBytes(CP_UTF8, flags, text, length, out, size, nullptr, nullptr);
        if (page == State().codePage || TakesNoFlags(page) || page == 54936) {
            // The code pages Wine may not carry: their ASCII is ASCII, anything else is beyond this seam.
            if (length < 0) length = lstrlenW(text) + 1;
            if (!Ascii(text, length)) {
                SetLastError(ERROR_NO_UNICODE_TRANSLATION);
                return 0;
            }
            const int copied = CopyAscii(text, length, out, size);
            if (size != 0 && copied != 0 && usedDefault) *usedDefault = FALSE;
            return copied;
        }
        return Real().wideToBytes(page, flags, text, length, out, size, defaultCharacter, usedDefault);
    }

    // ASCII text of length characters into out (size of them; 0: only the length asked).
    template <class From, class To>
    static int CopyAscii(const From* from, int length, To* out, int size) {
        if (size == 0) return length;
        if (size < length) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        for (int i = 0; i < length; ++i) out[i] = static_cast<To>(from[i]);
        return length;
    }

    static int WINAPI BytesToWide(UINT codePage, DWORD flags, LPCCH bytes, int length, LPWSTR out, int size) {
        const UINT page = Resolve(codePage);
        if (page == CP_UTF8) return Real().bytesToWide(CP_UTF8, flags, bytes, length, out, size);
        if (page == State().codePage || TakesNoFlags(page) || page == 54936) {
            if (length < 0) length = lstrlenA(bytes) + 1;
            for (int i = 0; i < length; ++i)
                if (static_cast<unsigned char>(bytes[i]) >= 0x80) {
                    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
                    return 0;
                }
            return CopyAscii(bytes, length, out, size);
        }
        return Real().bytesToWide(page, flags, bytes, length, out, size);
    }

    static UINT WINAPI AnsiCodePage() { return State().codePage; }

    static int WINAPI LocaleInfo(LCID locale, LCTYPE type, LPWSTR out, int size) {
        if ((type & ~static_cast<LCTYPE>(LOCALE_RETURN_NUMBER | LOCALE_NOUSEROVERRIDE)) !=
            LOCALE_IDEFAULTANSICODEPAGE)
            return Real().localeInfo(locale, type, out, size);
        if (type & LOCALE_RETURN_NUMBER) {
            if (size == 0) return 2;
            if (size < 2) {
                SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return 0;
            }
            *reinterpret_cast<DWORD*>(out) = State().codePage;
            return 2;
        }
        wchar_t digits[16];
        const int length = wsprintfW(digits, L"%u", State().codePage) + 1;
        if (size == 0) return length;
        if (size < length) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        lstrcpynW(out, digits, size);
        return length;
    }

    const Functions& real_;
    ImportPatch wide_;
    ImportPatch narrow_;
    ImportPatch acp_;
    ImportPatch locale_;
};

}  // namespace testcommon
