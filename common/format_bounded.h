#pragma once
#include <stdarg.h>
#include <stddef.h>

// printf-style formatting into a fixed buffer. At most capacity - 1 units are
// written and the result is always terminated; longer output is cut silently.
// Directives: %ls, %lu (32-bit unsigned), %d with optional zero padding and
// width (%04d, %02d), and %%.
void FormatBoundedV(wchar_t* out, size_t capacity, const wchar_t* format, va_list args);
void FormatBounded(wchar_t* out, size_t capacity, const wchar_t* format, ...);

// The buffer's capacity travels with it.
template <size_t N, typename... Args>
inline void FormatBounded(wchar_t (&out)[N], const wchar_t* format, Args... args) {
    FormatBounded(static_cast<wchar_t*>(out), N, format, args...);
}
