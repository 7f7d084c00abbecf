#pragma once
// The texts the install worker hands to PowerShell and tar. Every path that
// goes into a PowerShell literal arrives already quoted.
#include <windows.h>

#include "setup/setup_state.h"

constexpr int kStampCapacity = 64;
constexpr int kScriptCapacity = 4096;

void BuildStamp(int year, int month, int day, int hour, int minute, int second,
                wchar_t (&out)[kStampCapacity]);
void BuildStopScript(const wchar_t* quotedDir, wchar_t (&out)[kScriptCapacity]);
void BuildExpandScript(const wchar_t* quotedArchive, const wchar_t* quotedDir, wchar_t (&out)[kScriptCapacity]);
void BuildShortcutScript(const wchar_t* quotedDir, wchar_t (&out)[kScriptCapacity]);
void BuildTarCommand(const wchar_t* systemFolder, const wchar_t* archive, const wchar_t* installDir,
                     wchar_t (&out)[kScriptCapacity]);

// True when text converts to the code page with no character replaced or
// approximated: a program with an ANSI main then receives it unchanged.
bool SurvivesCodePage(UINT codePage, const wchar_t* text);

// GetShortPathNameW's shape: the length written, the capacity needed, or 0.
using ShortPathQuery = DWORD(WINAPI*)(LPCWSTR, LPWSTR, DWORD);

// The form of path to hand tar, whose ANSI main would get '?' for characters
// outside the code page: path itself when it survives; else its short form
// (written to shortPath) when one exists, fits and survives; else path, and
// tar's failure leads to the fallback.
const wchar_t* PathForAnsiProgram(const wchar_t* path, UINT codePage, ShortPathQuery queryShort,
                                  wchar_t (&shortPath)[kPathCapacity]);

// The shortcut script before formatting (for its length check).
extern const wchar_t kShortcutTemplate[];
