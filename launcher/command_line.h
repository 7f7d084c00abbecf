#pragma once
#include <stddef.h>

// Buffer capacities in UTF-16 units, terminator included.
constexpr size_t kOwnPathCapacity = 520;      // own path, then its folder
constexpr size_t kChildPathCapacity = 780;    // interpreter and script paths
constexpr size_t kCommandLineCapacity = 1820;
constexpr size_t kMessageCapacity = 780;

// Turns a program's path into its folder by ending it at the last backslash.
// A path without one is left whole.
void CutAtLastBackslash(wchar_t* path);

// "interpreter" "script" tail, cut silently at the buffer's end. No tail is an
// empty tail, so the line then ends in one blank.
void BuildLauncherCommandLine(const wchar_t* interpreter, const wchar_t* script, const wchar_t* tail,
                              wchar_t (&out)[kCommandLineCapacity]);
