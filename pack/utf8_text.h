#pragma once
// Text as the packer carries it: UTF-8, converted at the edges.
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <string_view>

// Length of the well-formed UTF-8 sequence starting at text[i] (0 if there is
// none), with its code point in `cp`.
size_t DecodeUtf8(std::string_view text, size_t i, uint32_t& cp);

// UTF-16 code units needed for `text`, or -1 when it is not valid UTF-8
// (overlong forms, encoded surrogates and values past U+10FFFF are invalid).
long Utf16Length(std::string_view text);

// `text`, valid UTF-8, as the platform's wide characters: UTF-16 where
// wchar_t has 16 bits (Windows), UTF-32 elsewhere.
std::wstring WideFromUtf8(std::string_view text);

// `text` made safe for a one-line message: control characters and bytes that
// are not UTF-8 are written as \xHH.
std::string Printable(std::string_view text);

// `text` with its ASCII letters in lower case: names as Windows compares
// them, where the names checked are ASCII (data, python/, Vorlasta.exe).
std::string AsciiFolded(std::string_view text);

// `text` in UTF-8, a UTF-16 surrogate pair as its one character. An unpaired
// surrogate becomes the three bytes that would encode it, which are not
// UTF-8, so the checks refuse the text rather than pass another name.
std::string Utf8FromWide(std::wstring_view text);
