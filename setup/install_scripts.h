#pragma once
// The texts the install worker hands to PowerShell and tar. Every path that
// goes into a PowerShell literal arrives already quoted.

constexpr int kStampCapacity = 64;
constexpr int kScriptCapacity = 4096;

void BuildStamp(int year, int month, int day, int hour, int minute, int second,
                wchar_t (&out)[kStampCapacity]);
void BuildStopScript(const wchar_t* quotedDir, wchar_t (&out)[kScriptCapacity]);
void BuildExpandScript(const wchar_t* quotedArchive, const wchar_t* quotedDir, wchar_t (&out)[kScriptCapacity]);
void BuildShortcutScript(const wchar_t* quotedDir, wchar_t (&out)[kScriptCapacity]);
void BuildTarCommand(const wchar_t* systemFolder, const wchar_t* archive, const wchar_t* installDir,
                     wchar_t (&out)[kScriptCapacity]);

// The shortcut script before formatting (for its length check).
extern const wchar_t kShortcutTemplate[];
