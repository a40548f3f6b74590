#include "support/SizeText.h"

#include <cstdint>

const double SizeMB = 1048576.0;
static double InitGigabyte() { return SizeMB * 1024.0; }
const double SizeGB = InitGigabyte();
static double InitTerabyte() { return SizeGB * 1024.0; }
const double SizeTB = InitTerabyte();

CString FormatByteSize(double bytes) {
    // The number is printed from single precision, as the progress texts always were: 104862843 bytes is
    // "100.00MB" although a double would give 100.01.
    const float f = static_cast<float>(bytes);
    CString text;
    if (bytes >= SizeTB)
        text.Format(L"%.2fTB", static_cast<double>(static_cast<float>(f / SizeTB)));
    else if (bytes >= SizeGB)
        text.Format(L"%.2fGB", static_cast<double>(static_cast<float>(f / SizeGB)));
    else if (bytes >= SizeMB)
        text.Format(L"%.2fMB", static_cast<double>(static_cast<float>(f / SizeMB)));
    else if (bytes >= 1024.0)
        text.Format(L"%.2fKB", static_cast<double>(static_cast<float>(f * 0.0009765625)));
    else
        text.Format(L"%lluBytes", static_cast<unsigned long long>(bytes < 0 ? 0 : bytes));
    return text;
}

CString FormatSeconds(double seconds) {
    if (!(seconds > 0)) return CString(L"00:00:00");
    const int64_t s = static_cast<int64_t>(seconds);
    const int hours = static_cast<int>(s / 3600 - (s / 86400) * 24);
    const int minutes = static_cast<int>(s / 60 - (s / 3600) * 60);
    const int secs = static_cast<int>(s - (s / 60) * 60);
    CString text;
    text.Format(L"%02d:%02d:%02d", hours, minutes, secs);
    return text;
}
