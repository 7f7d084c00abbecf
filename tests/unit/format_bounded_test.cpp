#include "common/format_bounded.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::wstring Format(size_t capacity, const wchar_t* format, ...) {
    wchar_t buffer[64];
    for (auto& c : buffer) c = L'#';  // to see what was written past the end
    va_list args;
    va_start(args, format);
    FormatBoundedV(buffer, capacity, format, args);
    va_end(args);
    // Nothing may be written at or beyond the capacity.
    for (size_t i = capacity; i < 64; ++i) EXPECT_EQ(buffer[i], L'#') << "unit " << i;
    return buffer;
}

TEST(FormatBounded, Directives) {
    EXPECT_EQ(Format(64, L"[%ls]", L"C:\\Zo\u00eb"), L"[C:\\Zo\u00eb]");
    EXPECT_EQ(Format(64, L"[%ls]", L""), L"[]");
    EXPECT_EQ(Format(64, L"%lu", 0UL), L"0");
    EXPECT_EQ(Format(64, L"%lu", 4294967295UL), L"4294967295");
    EXPECT_EQ(Format(64, L"%04d", 7), L"0007");
    EXPECT_EQ(Format(64, L"%04d", 2026), L"2026");
    EXPECT_EQ(Format(64, L"%04d", 123456), L"123456");  // width is a minimum
    EXPECT_EQ(Format(64, L"%02d", 0), L"00");
    EXPECT_EQ(Format(64, L"%02d", 59), L"59");
    EXPECT_EQ(Format(64, L"%04d", -5), L"-005");
    EXPECT_EQ(Format(64, L"100%%"), L"100%");
    EXPECT_EQ(Format(64, L"%04d%02d%02d-%02d%02d%02d", 2026, 1, 9, 7, 5, 3), L"20260109-070503");
    EXPECT_EQ(Format(64, L"%lsvorlasta-%lu.zip", L"C:\\T\\", 123UL), L"C:\\T\\vorlasta-123.zip");
}

TEST(FormatBounded, CutsAtCapacityAndAlwaysTerminates) {
    struct Row {
        size_t capacity;
        const wchar_t* expected;
    } rows[] = {
        {1, L""},          // only the terminator fits
        {2, L"a"},
        {6, L"abcde"},     // capacity - 1 units
        {7, L"abcdef"},    // exactly fits
        {8, L"abcdef"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(Format(row.capacity, L"%ls", L"abcdef"), row.expected) << "capacity " << row.capacity;
    }
    // A number or literal text is cut the same way, mid-directive.
    EXPECT_EQ(Format(4, L"%lu", 4294967295UL), L"429");
    EXPECT_EQ(Format(3, L"x%04d", 5), L"x0");
    EXPECT_EQ(Format(5, L"ab%lscd", L"XYZ"), L"abXY");
}

}  // namespace
