// Conversions where wide text meets bytes: UTF-8 or the system's ANSI code page. None of them reports an
// error; a conversion the platform refuses gives an empty result.
#pragma once

#include <list>
#include <string>

#include "classlib/CString.h"

void CStringToMultiByte(const CString& text, std::string& out, bool utf8);
std::string CStringToAnsi(const CString& text);
void CStringToUtf8(const CString& text, std::string& out);
void CStringToAnsiString(const CString& text, std::string& out);
// Text in any code page the platform knows (CP_ACP, CP_THREAD_ACP, CP_UTF8, 936, ...).
std::string WideToCodePage(const wchar_t* text, int length, unsigned codePage);
// Text in codePage, only when every character converts as itself: false when the platform would put its
// default character or a look-alike ("a" for "\u0101") in place of one, or, in UTF-8, for a lone surrogate.
// Each code page is asked with the flags it allows (UTF-8, GB18030, ISO-2022, UTF-7 and others take no
// default character, some no flag at all), so a name is not refused on a system whose ANSI code page is one
// of them.
bool WideToCodePageExact(const wchar_t* text, int length, unsigned codePage, std::string& out);
void AnsiToCString(const std::string& in, CString& out);
CString CodePageToCString(const std::string& in, unsigned codePage);
// A new[] buffer the caller releases with delete[]; null for null.
wchar_t* Utf8ToWide(const char* utf8);

// Cuts text into the non-empty runs between delimiter characters.
void SplitCString(const CString& text, const CString& delimiters, std::list<CString>& out);
