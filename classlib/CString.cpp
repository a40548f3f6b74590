#include "CString.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <functional>
#include <new>
#include <vector>

struct CString::Buffer {
    std::atomic<long> refs;
    int length;
    int capacity;
    bool shared_empty;
    wchar_t* text() { return reinterpret_cast<wchar_t*>(this + 1); }
};

namespace {
// The one empty buffer every empty text points at; it is never freed.
struct EmptyStorage {
    alignas(std::max_align_t) unsigned char bytes[64];
};
}  // namespace

CString::Buffer* CString::EmptyBuffer() {
    static Buffer* empty = [] {
        static EmptyStorage storage;
        Buffer* b = new (storage.bytes) Buffer;
        b->refs.store(1);
        b->length = 0;
        b->capacity = 0;
        b->shared_empty = true;
        b->text()[0] = L'\0';
        return b;
    }();
    return empty;
}

CString::Buffer* CString::Allocate(int capacity) {
    if (capacity < 0) capacity = 0;
    void* raw = std::malloc(sizeof(Buffer) + (static_cast<size_t>(capacity) + 1) * sizeof(wchar_t));
    if (!raw) throw std::bad_alloc();
    Buffer* b = new (raw) Buffer;
    b->refs.store(1);
    b->length = 0;
    b->capacity = capacity;
    b->shared_empty = false;
    b->text()[0] = L'\0';
    return b;
}

void CString::AddRef(Buffer* b) {
    if (!b->shared_empty) b->refs.fetch_add(1, std::memory_order_relaxed);
}

void CString::Release(Buffer* b) {
    if (b->shared_empty) return;
    if (b->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        b->~Buffer();
        std::free(b);
    }
}

CString::CString() : buffer_(EmptyBuffer()) {}

CString::CString(const wchar_t* text) : buffer_(EmptyBuffer()) {
    if (text) Assign(text, static_cast<int>(std::wcslen(text)));
}

CString::CString(const wchar_t* text, int length) : buffer_(EmptyBuffer()) {
    if (text && length > 0) Assign(text, length);
}

CString::CString(const CString& other) : buffer_(other.buffer_) { AddRef(buffer_); }

CString::CString(CString&& other) noexcept : buffer_(other.buffer_) { other.buffer_ = EmptyBuffer(); }

CString::~CString() { Release(buffer_); }

CString& CString::operator=(const CString& other) {
    if (buffer_ != other.buffer_) {
        AddRef(other.buffer_);
        Release(buffer_);
        buffer_ = other.buffer_;
    }
    return *this;
}

CString& CString::operator=(CString&& other) noexcept {
    if (this != &other) {
        Release(buffer_);
        buffer_ = other.buffer_;
        other.buffer_ = EmptyBuffer();
    }
    return *this;
}

CString& CString::operator=(const wchar_t* text) {
    if (!text) {
        Empty();
    } else {
        // The text may live inside our own buffer: copy it first.
        CString copy(text, static_cast<int>(std::wcslen(text)));
        *this = std::move(copy);
    }
    return *this;
}

int CString::GetLength() const { return buffer_->length; }

const wchar_t* CString::GetString() const { return buffer_->text(); }

void CString::Empty() {
    Release(buffer_);
    buffer_ = EmptyBuffer();
}

void CString::Assign(const wchar_t* text, int length) {
    Buffer* b = Allocate(length);
    std::wmemcpy(b->text(), text, static_cast<size_t>(length));
    b->text()[length] = L'\0';
    b->length = length;
    Release(buffer_);
    buffer_ = b;
}

wchar_t* CString::Reserve(int capacity) {
    Buffer* b = buffer_;
    bool shared = b->shared_empty || b->refs.load(std::memory_order_acquire) > 1;
    if (shared || b->capacity < capacity) {
        int grown = capacity;
        if (!shared && capacity < b->capacity * 2) grown = b->capacity * 2;
        Buffer* fresh = Allocate(grown);
        std::wmemcpy(fresh->text(), b->text(), static_cast<size_t>(b->length) + 1);
        fresh->length = b->length;
        Release(b);
        buffer_ = fresh;
    }
    return buffer_->text();
}

void CString::SetLength(int length) {
    if (length == 0 && buffer_->shared_empty) return;
    buffer_->length = length;
    buffer_->text()[length] = L'\0';
}

void CString::Append(const wchar_t* text, int length) {
    if (!text || length <= 0) return;
    // A source inside our own buffer (appending a text to itself) must outlive the reallocation. Only then
    // is the buffer held twice: a private buffer otherwise grows in place, so repeated appends stay linear.
    const wchar_t* own = GetString();
    const bool inside = std::less_equal<const wchar_t*>()(own, text) &&
                        std::less_equal<const wchar_t*>()(text, own + buffer_->capacity);
    CString keep;
    if (inside) keep = *this;
    int old = GetLength();
    wchar_t* dst = Reserve(old + length);
    std::wmemmove(dst + old, text, static_cast<size_t>(length));
    SetLength(old + length);
}

CString& CString::operator+=(const CString& other) {
    CString keep(other);
    Append(keep.GetString(), keep.GetLength());
    return *this;
}

CString& CString::operator+=(const wchar_t* text) {
    if (text) Append(text, static_cast<int>(std::wcslen(text)));
    return *this;
}

CString& CString::operator+=(wchar_t ch) {
    Append(&ch, 1);
    return *this;
}

void CString::FormatV(const wchar_t* format, va_list args) {
    std::vector<wchar_t> out(256);
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        int n = std::vswprintf(out.data(), out.size(), format, copy);
        va_end(copy);
        if (n >= 0 && static_cast<size_t>(n) < out.size()) {
            Assign(out.data(), n);
            return;
        }
        if (out.size() > (1u << 24)) {  // a format that cannot be written at all
            Empty();
            return;
        }
        out.resize(out.size() * 4);
    }
}

void CString::Format(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    FormatV(format, args);
    va_end(args);
}

void CString::AppendFormat(const wchar_t* format, ...) {
    CString piece;
    va_list args;
    va_start(args, format);
    piece.FormatV(format, args);
    va_end(args);
    *this += piece;
}

int CString::Find(const wchar_t* sub, int start) const {
    if (!sub || start < 0 || start > GetLength()) return -1;
    const wchar_t* hit = std::wcsstr(GetString() + start, sub);
    return hit ? static_cast<int>(hit - GetString()) : -1;
}

int CString::Find(wchar_t ch, int start) const {
    if (start < 0 || start >= GetLength()) return -1;
    const wchar_t* hit = std::wmemchr(GetString() + start, ch, static_cast<size_t>(GetLength() - start));
    return hit ? static_cast<int>(hit - GetString()) : -1;
}

int CString::FindOneOf(const wchar_t* chars, int start) const {
    if (!chars || start < 0) return -1;
    for (int i = start; i < GetLength(); ++i)
        if (std::wcschr(chars, GetString()[i]) && GetString()[i] != L'\0') return i;
    return -1;
}

CString CString::Mid(int first) const { return Mid(first, GetLength()); }

CString CString::Mid(int first, int count) const {
    if (first < 0) first = 0;
    if (first > GetLength()) first = GetLength();
    if (count < 0) count = 0;
    if (count > GetLength() - first) count = GetLength() - first;
    if (first == 0 && count == GetLength()) return *this;
    return CString(GetString() + first, count);
}

CString CString::Left(int count) const { return Mid(0, count); }

CString CString::Right(int count) const {
    if (count < 0) count = 0;
    if (count > GetLength()) count = GetLength();
    return Mid(GetLength() - count, count);
}

CString& CString::TrimRight() {
    int n = GetLength();
    while (n > 0 && std::iswspace(GetString()[n - 1])) --n;
    if (n != GetLength()) *this = Left(n);
    return *this;
}

CString& CString::TrimLeft() {
    int i = 0;
    while (i < GetLength() && std::iswspace(GetString()[i])) ++i;
    if (i != 0) *this = Mid(i);
    return *this;
}

CString& CString::Trim() {
    TrimRight();
    return TrimLeft();
}

CString& CString::MakeLower() {
    if (IsEmpty()) return *this;
    wchar_t* p = Reserve(GetLength());
    for (int i = 0; i < GetLength(); ++i) p[i] = static_cast<wchar_t>(std::towlower(p[i]));
    return *this;
}

CString& CString::MakeUpper() {
    if (IsEmpty()) return *this;
    wchar_t* p = Reserve(GetLength());
    for (int i = 0; i < GetLength(); ++i) p[i] = static_cast<wchar_t>(std::towupper(p[i]));
    return *this;
}

int CString::Compare(const wchar_t* other) const { return std::wcscmp(GetString(), other ? other : L""); }

int CString::CompareNoCase(const wchar_t* other) const { return _wcsicmp(GetString(), other ? other : L""); }

CString operator+(const CString& a, const CString& b) {
    CString r(a);
    r += b;
    return r;
}
CString operator+(const CString& a, const wchar_t* b) {
    CString r(a);
    r += b;
    return r;
}
CString operator+(const wchar_t* a, const CString& b) {
    CString r(a);
    r += b;
    return r;
}
bool operator==(const CString& a, const CString& b) {
    return a.GetLength() == b.GetLength() && a.Compare(b) == 0;
}
bool operator==(const CString& a, const wchar_t* b) { return a.Compare(b) == 0; }
bool operator==(const wchar_t* a, const CString& b) { return b.Compare(a) == 0; }
bool operator!=(const CString& a, const CString& b) { return !(a == b); }
bool operator!=(const CString& a, const wchar_t* b) { return !(a == b); }
bool operator!=(const wchar_t* a, const CString& b) { return !(a == b); }
bool operator<(const CString& a, const CString& b) { return a.Compare(b) < 0; }
