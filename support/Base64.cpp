#include "support/Base64.h"

std::string Base64Decode(const char* text, int length) {
    unsigned char value[256] = {};
    for (int i = 0; i < 26; ++i) {
        value['A' + i] = static_cast<unsigned char>(i);
        value['a' + i] = static_cast<unsigned char>(26 + i);
    }
    for (int i = 0; i < 10; ++i) value['0' + i] = static_cast<unsigned char>(52 + i);
    value[static_cast<unsigned char>('+')] = 62;
    value[static_cast<unsigned char>('/')] = 63;

    std::string out;
    if (!text || length <= 0) return out;
    int position = 0;
    while (position < length) {
        const char c0 = text[position];
        if (c0 == '\r' || c0 == '\n') {
            ++position;
            continue;
        }
        // A last group shorter than four characters decodes as if it were padded with "=".
        const int left = length - position;
        const char c1 = left > 1 ? text[position + 1] : '=';
        const char c2 = left > 2 ? text[position + 2] : '=';
        const char c3 = left > 3 ? text[position + 3] : '=';
        unsigned long v = (static_cast<unsigned long>(value[static_cast<unsigned char>(c0)]) << 18) |
                          (static_cast<unsigned long>(value[static_cast<unsigned char>(c1)]) << 12);
        out.push_back(static_cast<char>((v >> 16) & 0xFF));
        if (c2 != '=') {
            v += static_cast<unsigned long>(value[static_cast<unsigned char>(c2)]) << 6;
            out.push_back(static_cast<char>((v >> 8) & 0xFF));
            if (c3 != '=')
                out.push_back(static_cast<char>((v + value[static_cast<unsigned char>(c3)]) & 0xFF));
        }
        position += 4;
    }
    return out;
}
