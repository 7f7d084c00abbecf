#include "setup/install_scripts.h"

#include "common/format_bounded.h"

const wchar_t kShortcutTemplate[] =
    L"$w=New-Object -ComObject WScript.Shell;"
    L"foreach($d in @([Environment]::GetFolderPath('Desktop'),[Environment]::GetFolderPath('Programs'))){"
    L"$s=$w.CreateShortcut((Join-Path $d 'Vorlasta.lnk'));"
    L"$s.TargetPath='%ls\\Vorlasta.exe';"
    L"$s.WorkingDirectory='%ls';"
    L"$s.IconLocation='%ls\\Vorlasta.exe,0';"
    L"$s.Description='Vorlasta by Morvenhale';"
    L"$s.Save()};"
    L"$k='HKCU:\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vorlasta';"
    L"New-Item -Path $k -Force | Out-Null;"
    L"Set-ItemProperty $k DisplayName 'Vorlasta';"
    L"Set-ItemProperty $k Publisher 'Morvenhale';"
    L"Set-ItemProperty $k DisplayIcon '%ls\\Vorlasta.exe';"
    L"Set-ItemProperty $k InstallLocation '%ls';"
    L"Set-ItemProperty $k UninstallString 'explorer.exe \"%ls\"';"
    L"Set-ItemProperty $k NoModify 1";

void BuildStamp(int year, int month, int day, int hour, int minute, int second, wchar_t (&out)[kStampCapacity]) {
    FormatBounded(out, L"%04d%02d%02d-%02d%02d%02d", year, month, day, hour, minute, second);
}

void BuildStopScript(const wchar_t* quotedDir, wchar_t (&out)[kScriptCapacity]) {
    FormatBounded(out,
                  L"Get-Process pythonw,python -ErrorAction SilentlyContinue | "
                  L"Where-Object { $_.Path -like '%ls\\*' } | Stop-Process -Force",
                  quotedDir);
}

void BuildExpandScript(const wchar_t* quotedArchive, const wchar_t* quotedDir, wchar_t (&out)[kScriptCapacity]) {
    FormatBounded(out, L"Expand-Archive -LiteralPath '%ls' -DestinationPath '%ls' -Force", quotedArchive,
                  quotedDir);
}

void BuildShortcutScript(const wchar_t* quotedDir, wchar_t (&out)[kScriptCapacity]) {
    FormatBounded(out, kShortcutTemplate, quotedDir, quotedDir, quotedDir, quotedDir, quotedDir, quotedDir);
}

void BuildTarCommand(const wchar_t* systemFolder, const wchar_t* archive, const wchar_t* installDir,
                     wchar_t (&out)[kScriptCapacity]) {
    FormatBounded(out, L"\"%ls\\tar.exe\" -xf \"%ls\" -C \"%ls\"", systemFolder, archive, installDir);
}

bool SurvivesCodePage(UINT codePage, const wchar_t* text) {
    char narrow[2 * kPathCapacity];  // a double-byte code page needs two bytes a unit
    BOOL usedDefault = FALSE;
    // Best-fit would pass Ł as L, naming another folder just as '?' does.
    const int written = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, text, -1, narrow, sizeof narrow,
                                            nullptr, &usedDefault);
    return written > 0 && !usedDefault;
}

const wchar_t* PathForAnsiProgram(const wchar_t* path, UINT codePage, ShortPathQuery queryShort,
                                  wchar_t (&shortPath)[kPathCapacity]) {
    if (SurvivesCodePage(codePage, path)) return path;
    const DWORD length = queryShort(path, shortPath, kPathCapacity);
    if (length == 0 || length >= static_cast<DWORD>(kPathCapacity)) return path;
    return SurvivesCodePage(codePage, shortPath) ? shortPath : path;
}
