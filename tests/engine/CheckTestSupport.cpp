#include "CheckTestSupport.h"

#include <atomic>
#include <ostream>

#include "engine/MD5.h"
#include "support/MapFile.h"
#include "support/Platform.h"

std::string Narrow(const CString& text) {
    std::string out;
    for (int i = 0; i < text.GetLength(); ++i) out += static_cast<char>(text[i]);
    return out;
}

int BlockLength() {
    Tamsic::IO::MapFile file;
    return static_cast<int>(file.GetAllocationGranularity());
}

std::string PatternBytes(size_t length, unsigned seed) {
    std::string bytes(length, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < length; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[i] = static_cast<char>(x);
    }
    return bytes;
}

std::string Md5Of(const std::string& bytes) {
    MD5 digest;
    digest.Update(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    return digest.ToString();
}

CString ScratchFolder::PathOf(const wchar_t* name) const { return folder_.File(name).c_str(); }

CString ScratchFolder::Write(const wchar_t* name, const std::string& bytes) {
    const CString path = PathOf(name);
    testfiles::WriteBytes(path.GetString(), bytes);
    return path;
}

namespace {
std::atomic<DWORD> tickNow{0};
std::atomic<DWORD> tickStep{0};
std::atomic<bool> tickFirst{false};
std::function<void()> tickHook;

DWORD FakeTickFunction() {
    if (tickFirst.exchange(false) && tickHook) tickHook();
    return tickNow.fetch_add(tickStep.load());
}

}  // namespace

FakeTick::FakeTick(DWORD start, DWORD step, std::function<void()> firstCall) {
    tickNow = start;
    tickStep = step;
    tickHook = std::move(firstCall);
    tickFirst = true;
    Tamsic::Platform::SetTickFunction(&FakeTickFunction);
}

FakeTick::~FakeTick() {
    Tamsic::Platform::SetTickFunction(nullptr);
    tickHook = nullptr;
}

std::ostream& operator<<(std::ostream& out, const Report& report) {
    out << report.what;
    if (report.what == "process") out << ' ' << report.percent;
    return out;
}

void Md5Recorder::md5Process(int percent) {
    Add("process", percent);
    if (onProcess) onProcess(percent);
}

void Md5Recorder::md5Complete() {
    Add("complete");
    if (onComplete) onComplete();
}

void Md5Recorder::md5Error() { Add("error"); }

void Crc32Recorder::crcError() { Add("error"); }

void Crc32Recorder::crcComplete() {
    Add("complete");
    if (onComplete) onComplete();
}

// The check never sends it; a recorded "process" makes the test that looks at the reports fail.
void Crc32Recorder::crcProcess(int percent) { Add("process", percent); }
