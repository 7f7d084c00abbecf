#pragma once
#include <windows.h>

constexpr int kQuotedCapacity = 520;
constexpr int kCommandCapacity = 8192;

// Starts a program without a window, waits up to timeoutMs and returns its
// exit status: -1 when it could not start, 259 when it is still running (it is
// left running), 1 when the status could not be read. applicationName, when
// given, is the full path of the program, so no search can pick another one.
int RunHidden(const wchar_t* applicationName, const wchar_t* commandLine, DWORD timeoutMs);

// Makes text safe inside a PowerShell single-quoted literal: each of the five
// characters PowerShell reads as a single quote is doubled. At most 519 units
// plus the terminator, cut only between input units.
void QuoteForPowerShell(const wchar_t* text, wchar_t (&out)[kQuotedCapacity]);

// Escapes text so that the Windows command-line split gives it back as one
// argument when it is put between double quotes.
void EscapeForCommandLine(const wchar_t* text, wchar_t* out, size_t capacity);

// The command line that runs script in PowerShell. Returns a static buffer.
const wchar_t* BuildPowerShellCommand(const wchar_t* script);
