#include "format_bounded.h"

namespace {

struct Sink {
    wchar_t* out;
    size_t capacity;
    size_t used;  // units written, never more than capacity - 1

    void Put(wchar_t c) {
        if (used + 1 < capacity) out[used++] = c;
    }
    void PutText(const wchar_t* s) {
        if (!s) return;
        while (*s) Put(*s++);
    }
};

// Writes the decimal form of value, padded to width with padChar.
void PutNumber(Sink& sink, unsigned long long magnitude, bool negative, int width, wchar_t padChar) {
    wchar_t digits[24];
    int count = 0;
    do {
        digits[count++] = static_cast<wchar_t>(L'0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    int length = count + (negative ? 1 : 0);
    if (negative && padChar == L'0') sink.Put(L'-');
    for (int i = length; i < width; ++i) sink.Put(padChar);
    if (negative && padChar != L'0') sink.Put(L'-');
    while (count > 0) sink.Put(digits[--count]);
}

}  // namespace

void FormatBoundedV(wchar_t* out, size_t capacity, const wchar_t* format, va_list args) {
    if (!out || capacity == 0) return;
    Sink sink{out, capacity, 0};
    for (const wchar_t* f = format; *f; ++f) {
        if (*f != L'%') {
            sink.Put(*f);
            continue;
        }
        const wchar_t* start = f++;
        wchar_t padChar = L' ';
        if (*f == L'0') {
            padChar = L'0';
            ++f;
        }
        int width = 0;
        while (*f >= L'0' && *f <= L'9') width = width * 10 + (*f++ - L'0');
        bool isLong = false;
        if (*f == L'l') {
            isLong = true;
            ++f;
        }
        if (*f == L'%' && f == start + 1) {
            sink.Put(L'%');
        } else if (isLong && *f == L's') {
            sink.PutText(va_arg(args, const wchar_t*));
        } else if (isLong && *f == L'u') {
            // On Windows unsigned long is the 32-bit type the callers pass.
            PutNumber(sink, static_cast<unsigned int>(va_arg(args, unsigned long)), false, width, padChar);
        } else if (*f == L'd') {
            long long v = isLong ? static_cast<long long>(va_arg(args, long)) : va_arg(args, int);
            unsigned long long magnitude = v < 0 ? 0ULL - static_cast<unsigned long long>(v) : v;
            PutNumber(sink, magnitude, v < 0, width, padChar);
        } else {
            // Unknown directive: copy it as it stands rather than guess an argument.
            for (const wchar_t* p = start; p <= f && *p; ++p) sink.Put(*p);
            if (!*f) break;
        }
    }
    out[sink.used] = L'\0';
}

void FormatBounded(wchar_t* out, size_t capacity, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    FormatBoundedV(out, capacity, format, args);
    va_end(args);
}
