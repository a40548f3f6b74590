// Wide, reference-counted text that is never null: an empty text is a valid buffer of length 0.
// Copies share one buffer (atomic count); the first change to a shared buffer makes a private copy.
#pragma once

#include <cstdarg>
#include <cstddef>

class CString {
public:
    CString();
    CString(const wchar_t* text);
    CString(const wchar_t* text, int length);
    CString(const CString& other);
    CString(CString&& other) noexcept;
    ~CString();

    CString& operator=(const CString& other);
    CString& operator=(CString&& other) noexcept;
    CString& operator=(const wchar_t* text);

    int GetLength() const;
    bool IsEmpty() const { return GetLength() == 0; }
    const wchar_t* GetString() const;
    operator const wchar_t*() const { return GetString(); }
    wchar_t operator[](int index) const { return GetString()[index]; }
    wchar_t GetAt(int index) const { return GetString()[index]; }

    void Empty();
    CString& operator+=(const CString& other);
    CString& operator+=(const wchar_t* text);
    CString& operator+=(wchar_t ch);
    void Append(const wchar_t* text, int length);

    // printf-style formatting (wide); "%ls" for wide arguments, as MinGW's stdio wants.
    void Format(const wchar_t* format, ...);
    void FormatV(const wchar_t* format, va_list args);
    void AppendFormat(const wchar_t* format, ...);

    // Position of the first occurrence at or after start, or -1.
    int Find(const wchar_t* sub, int start = 0) const;
    int Find(wchar_t ch, int start = 0) const;
    // Position of the first character that is one of chars, at or after start, or -1.
    int FindOneOf(const wchar_t* chars, int start = 0) const;

    CString Mid(int first) const;
    CString Mid(int first, int count) const;
    CString Left(int count) const;
    CString Right(int count) const;

    // White space is what iswspace accepts.
    CString& Trim();
    CString& TrimLeft();
    CString& TrimRight();
    CString& MakeLower();
    CString& MakeUpper();

    int Compare(const wchar_t* other) const;
    int CompareNoCase(const wchar_t* other) const;

private:
    struct Buffer;
    Buffer* buffer_;

    static Buffer* Allocate(int capacity);
    static Buffer* EmptyBuffer();
    static void AddRef(Buffer* b);
    static void Release(Buffer* b);
    void Assign(const wchar_t* text, int length);
    // Makes the buffer private and able to hold capacity characters, keeping the text.
    wchar_t* Reserve(int capacity);
    void SetLength(int length);
};

CString operator+(const CString& a, const CString& b);
CString operator+(const CString& a, const wchar_t* b);
CString operator+(const wchar_t* a, const CString& b);
bool operator==(const CString& a, const CString& b);
bool operator==(const CString& a, const wchar_t* b);
bool operator==(const wchar_t* a, const CString& b);
bool operator!=(const CString& a, const CString& b);
bool operator!=(const CString& a, const wchar_t* b);
bool operator!=(const wchar_t* a, const CString& b);
bool operator<(const CString& a, const CString& b);
