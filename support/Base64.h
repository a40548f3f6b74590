#pragma once

#include <string>

// Decodes standard Base64 leniently: characters outside the alphabet count as 0, CR and LF are skipped where
// a group would begin, and nothing is read at or past length.
std::string Base64Decode(const char* text, int length);
