#include "utf8_text.h"

#include <stdint.h>

std::string Utf8FromWide(std::wstring_view text) {
    std::string bytes;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t cp = static_cast<uint32_t>(text[i]);
        const uint32_t next = i + 1 < text.size() ? static_cast<uint32_t>(text[i + 1]) : 0;
        if (cp >= 0xD800 && cp <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (next - 0xDC00);
            ++i;
        }
        if (cp < 0x80) {
            bytes += static_cast<char>(cp);
            continue;
        }
        const int tail = cp < 0x800 ? 1 : cp < 0x10000 ? 2 : 3;
        bytes += static_cast<char>((0xFF00 >> (tail + 1)) | (cp >> (6 * tail)));
        for (int k = tail - 1; k >= 0; --k) bytes += static_cast<char>(0x80 | ((cp >> (6 * k)) & 0x3F));
    }
    return bytes;
}
