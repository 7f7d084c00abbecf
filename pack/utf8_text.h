#pragma once
// Text as the packer carries it: UTF-8, converted at the edges.
#include <string>
#include <string_view>

// `text` in UTF-8, a UTF-16 surrogate pair as its one character. An unpaired
// surrogate becomes the three bytes that would encode it, which are not
// UTF-8, so the checks refuse the text rather than pass another name.
std::string Utf8FromWide(std::wstring_view text);
