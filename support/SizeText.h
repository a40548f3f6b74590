// The short texts of the progress reports: byte counts and speeds with a power-of-two unit, and durations.
#pragma once

#include "classlib/CString.h"

extern const double SizeMB;
extern const double SizeGB;
extern const double SizeTB;

CString FormatByteSize(double bytes);
CString FormatSeconds(double seconds);
