#include "utf8_text.h"

#include <stdio.h>

namespace {

bool IsControl(uint32_t cp) {
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F);
}

}  // namespace

size_t DecodeUtf8(std::string_view text, size_t i, uint32_t& cp) {
    const auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
    const uint8_t lead = byte(i);
    if (lead < 0x80) {
        cp = lead;
        return 1;
    }
    size_t length;
    uint8_t low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        cp = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;   // overlong
        if (lead == 0xED) high = 0x9F;  // UTF-16 surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        cp = lead & 0x07;
        if (lead == 0xF0) low = 0x90;   // overlong
        if (lead == 0xF4) high = 0x8F;  // past U+10FFFF
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    for (size_t k = 1; k < length; ++k) {
        const uint8_t b = byte(i + k);
        if (k == 1 ? (b < low || b > high) : (b < 0x80 || b > 0xBF)) return 0;
        cp = cp << 6 | (b & 0x3F);
    }
    return length;
}

long Utf16Length(std::string_view text) {
    long units = 0;
    for (size_t i = 0; i < text.size();) {
        uint32_t cp;
        const size_t length = DecodeUtf8(text, i, cp);
        if (length == 0) return -1;
        units += cp >= 0x10000 ? 2 : 1;
        i += length;
    }
    return units;
}

std::wstring WideFromUtf8(std::string_view text) {
    std::wstring wide;
    for (size_t i = 0; i < text.size();) {
        uint32_t cp;
        const size_t length = DecodeUtf8(text, i, cp);
        if (length == 0) cp = 0xFFFD;
        i += length != 0 ? length : 1;
        if (sizeof(wchar_t) == 2 && cp >= 0x10000) {
            wide.push_back(static_cast<wchar_t>(0xD800 + ((cp - 0x10000) >> 10)));
            cp = 0xDC00 + (cp & 0x3FF);
        }
        wide.push_back(static_cast<wchar_t>(cp));
    }
    return wide;
}

std::string Printable(std::string_view text) {
    std::string shown;
    for (size_t i = 0; i < text.size();) {
        uint32_t cp = 0;
        size_t length = DecodeUtf8(text, i, cp);
        if (length != 0 && !IsControl(cp)) {
            shown.append(text.substr(i, length));
        } else {
            // Escape every byte of a control character or a malformed sequence.
            if (length == 0) length = 1;
            for (size_t k = 0; k < length; ++k) {
                char hex[5];
                snprintf(hex, sizeof hex, "\\x%02X", static_cast<uint8_t>(text[i + k]));
                shown += hex;
            }
        }
        i += length;
    }
    return shown;
}

std::string AsciiFolded(std::string_view text) {
    std::string folded(text);
    for (char& c : folded) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    return folded;
}

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
