#pragma once
// Quoting for the command lines the setup program builds. No platform calls,
// so the rules can be exercised on any machine.
#include <stddef.h>

constexpr int kQuotedCapacity = 520;
constexpr int kCommandCapacity = 8192;

// Makes text safe inside a PowerShell single-quoted literal: each of the five
// characters PowerShell reads as a single quote is doubled. At most 519 units
// plus the terminator, cut only between input units.
void QuoteForPowerShell(const wchar_t* text, wchar_t (&out)[kQuotedCapacity]);

// Escapes text so that the Windows command-line split gives it back as one
// argument when it is put between double quotes.
void EscapeForCommandLine(const wchar_t* text, wchar_t* out, size_t capacity);

// The command line that runs script in PowerShell. Returns a static buffer.
const wchar_t* BuildPowerShellCommand(const wchar_t* script);
