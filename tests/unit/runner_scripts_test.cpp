#include <windows.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <string>

#include "setup/hidden_runner.h"
#include "setup/install_scripts.h"
#include "setup/payload_copy.h"
#include "setup/progress_window.h"
#include "setup/setup_state.h"

namespace {

std::wstring Quote(const std::wstring& text) {
    wchar_t out[kQuotedCapacity];
    QuoteForPowerShell(text.c_str(), out);
    return out;
}

TEST(QuoteForPowerShell, DoublesEveryPowerShellQuote) {
    struct Row {
        std::wstring in, out;
    } rows[] = {
        {L"", L""},
        {L"C:\\Users\\O'Neil\\AppData", L"C:\\Users\\O''Neil\\AppData"},
        {L"O\u2019Neil", L"O\u2019\u2019Neil"},  // as phones type the apostrophe
        {L"\u2018a\u2019", L"\u2018\u2018a\u2019\u2019"},
        {L"\u201Alow\u201B", L"\u201A\u201Alow\u201B\u201B"},
        {L"'", L"''"},
        // Nothing else changes: double quotes, backslashes, $, backtick, ;
        {L"C:\\a \"b\"\\$x`y;(z)\\", L"C:\\a \"b\"\\$x`y;(z)\\"},
        {L"Zo\u00eb \u0418\u0432\u0430\u043d \u674e", L"Zo\u00eb \u0418\u0432\u0430\u043d \u674e"},
    };
    for (const Row& row : rows) EXPECT_EQ(Quote(row.in), row.out);
}

TEST(QuoteForPowerShell, CutsBetweenInputUnitsOnly) {
    const std::wstring a517(517, L'a'), a518(518, L'a');
    struct Row {
        const char* what;
        std::wstring in, out;
    } rows[] = {
        {"600 plain units keep 518", std::wstring(600, L'a'), a518},
        {"518 + quote drops the quote whole", a518 + L"'", a518},
        {"518 + typographic quote drops it whole", a518 + L"\u2019", a518},
        {"517 + quote keeps the doubled quote", a517 + L"'", a517 + L"''"},
        {"517 + quote + more stops after the pair", a517 + L"'bc", a517 + L"''"},
        {"516 + quote ends at 518: no room after the pair", std::wstring(516, L'a') + L"'b", std::wstring(516, L'a') + L"''"},
        {"259 quotes double to 518", std::wstring(259, L'\''), std::wstring(518, L'\'')},
        {"260 quotes still 518", std::wstring(260, L'\''), std::wstring(518, L'\'')},
        {"600 quotes still 518", std::wstring(600, L'\u2019'), std::wstring(518, L'\u2019')},
        {"a 259-unit path with a quote is whole", std::wstring(258, L'p') + L"'", std::wstring(258, L'p') + L"''"},
    };
    for (const Row& row : rows) EXPECT_EQ(Quote(row.in), row.out) << row.what;

    // Never more than 519 units plus the terminator.
    wchar_t out[kQuotedCapacity];
    for (wchar_t& c : out) c = L'#';
    QuoteForPowerShell(std::wstring(1000, L'\'').c_str(), out);
    EXPECT_EQ(std::wstring(out).size(), 518u);
}

// What powershell.exe makes of its command line: the Windows split, then the
// arguments after -Command joined with single spaces.
std::wstring ScriptAsPowerShellSeesIt(const wchar_t* commandLine) {
    int count = 0;
    wchar_t** args = CommandLineToArgvW(commandLine, &count);
    std::wstring script;
    bool after = false;
    for (int i = 0; i < count; ++i) {
        if (after) script += (script.empty() ? L"" : L" ") + std::wstring(args[i]);
        if (std::wstring(args[i]) == L"-Command") after = true;
    }
    LocalFree(args);
    return script;
}

TEST(BuildPowerShellCommand, ScriptArrivesUnchanged) {
    const wchar_t* scripts[] = {
        L"Set-ItemProperty $k UninstallString 'explorer.exe \"C:\\Users\\a  b\\Vorlasta\"'",
        L"Write-Output \"two  spaces\"",
        L"a\\\"b",           // a backslash before a quote
        L"a\\\\\\\"b",       // three backslashes before a quote
        L"ends with one backslash\\",
        L"ends with three\\\\\\",
        L"\"",
        L"\\\\server\\share\\x y",
        L"mixed \\\"\\\\\" end\\\\",
        L"",
    };
    for (const wchar_t* script : scripts) {
        EXPECT_EQ(ScriptAsPowerShellSeesIt(BuildPowerShellCommand(script)), script) << BuildPowerShellCommand(script);
    }
}

TEST(BuildPowerShellCommand, PlainScriptGivesThePlainCommandLine) {
    EXPECT_STREQ(BuildPowerShellCommand(L"Get-Process | Stop-Process -Force"),
                 L"powershell.exe -NoProfile -NonInteractive -ExecutionPolicy Bypass -Command "
                 L"\"Get-Process | Stop-Process -Force\"");
    EXPECT_STREQ(BuildPowerShellCommand(L"say \"hi\""),
                 L"powershell.exe -NoProfile -NonInteractive -ExecutionPolicy Bypass -Command \"say \\\"hi\\\"\"");
}

TEST(InstallScripts, ExactTextsForASampleFolder) {
    const wchar_t dir[] = L"C:\\Users\\O'Neil\\AppData\\Local\\Vorlasta";
    wchar_t quoted[kQuotedCapacity];
    QuoteForPowerShell(dir, quoted);
    const std::wstring q = quoted;
    wchar_t out[kScriptCapacity];

    BuildStopScript(quoted, out);
    EXPECT_EQ(std::wstring(out), L"Get-Process pythonw,python -ErrorAction SilentlyContinue | Where-Object { $_.Path "
                                 L"-like 'C:\\Users\\O''Neil\\AppData\\Local\\Vorlasta\\*' } | Stop-Process -Force");

    wchar_t quotedArchive[kQuotedCapacity];
    QuoteForPowerShell(L"C:\\Users\\O'Neil\\Temp\\vorlasta-42.zip", quotedArchive);
    BuildExpandScript(quotedArchive, quoted, out);
    EXPECT_EQ(std::wstring(out), L"Expand-Archive -LiteralPath 'C:\\Users\\O''Neil\\Temp\\vorlasta-42.zip' "
                                 L"-DestinationPath '" + q + L"' -Force");

    EXPECT_EQ(std::wstring(kShortcutTemplate).size(), 711u);
    BuildShortcutScript(quoted, out);
    EXPECT_EQ(std::wstring(out),
              L"$w=New-Object -ComObject WScript.Shell;foreach($d in @([Environment]::GetFolderPath('Desktop'),"
              L"[Environment]::GetFolderPath('Programs'))){$s=$w.CreateShortcut((Join-Path $d 'Vorlasta.lnk'));"
              L"$s.TargetPath='" + q + L"\\Vorlasta.exe';$s.WorkingDirectory='" + q + L"';"
              L"$s.IconLocation='" + q + L"\\Vorlasta.exe,0';$s.Description='Vorlasta by Morvenhale';$s.Save()};"
              L"$k='HKCU:\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vorlasta';"
              L"New-Item -Path $k -Force | Out-Null;Set-ItemProperty $k DisplayName 'Vorlasta';"
              L"Set-ItemProperty $k Publisher 'Morvenhale';Set-ItemProperty $k DisplayIcon '" + q + L"\\Vorlasta.exe';"
              L"Set-ItemProperty $k InstallLocation '" + q + L"';"
              L"Set-ItemProperty $k UninstallString 'explorer.exe \"" + q + L"\"';Set-ItemProperty $k NoModify 1");
    EXPECT_EQ(std::wstring(out).size(), 711u - 6 * 3 + 6 * q.size());

    // tar gets the plain paths between double quotes.
    BuildTarCommand(L"C:\\windows\\system32", L"C:\\Users\\O'Neil\\Temp\\vorlasta-42.zip", dir, out);
    EXPECT_EQ(std::wstring(out), L"\"C:\\windows\\system32\\tar.exe\" -xf \"C:\\Users\\O'Neil\\Temp\\vorlasta-42.zip\" "
                                 L"-C \"C:\\Users\\O'Neil\\AppData\\Local\\Vorlasta\"");
}

TEST(InstallScripts, LongestPathsFitTheirBuffers) {
    // 259-unit paths full of quotes: nothing may be cut from any script.
    const std::wstring dir(259, L'\'');
    wchar_t quoted[kQuotedCapacity];
    QuoteForPowerShell(dir.c_str(), quoted);
    wchar_t out[kScriptCapacity];
    BuildShortcutScript(quoted, out);
    EXPECT_EQ(std::wstring(out).size(), 711u - 6 * 3 + 6 * 518);
    const std::wstring command = BuildPowerShellCommand(out);
    EXPECT_EQ(ScriptAsPowerShellSeesIt(command.c_str()), out);
}

// What the fake GetShortPathNameW knows of every path; nullptr: no short form.
const wchar_t* g_shortForm = nullptr;
DWORD WINAPI FakeShortPath(LPCWSTR, LPWSTR out, DWORD capacity) {
    if (!g_shortForm) return 0;
    const DWORD length = static_cast<DWORD>(wcslen(g_shortForm));
    if (length >= capacity) return length + 1;
    wcscpy(out, g_shortForm);
    return length;
}

TEST(InstallScripts, TarGetsThePathOrAShortFormItsCodePageKeeps) {
    const std::wstring tooLong = L"C:\\" + std::wstring(300, L'A');
    const struct Row {
        const char* what;
        const wchar_t *path, *shortForm;
        bool getsShort;
    } rows[] = {
        {"ASCII keeps its path", L"C:\\Users\\Peter Smith\\Temp\\vorlasta-42.zip", L"C:\\Users\\PETERS~1\\Temp\\VORLAS~1.ZIP", false},
        {"Latin-1 survives code page 1252", L"C:\\Users\\Jos\u00e9\\AppData\\Local\\Vorlasta", L"C:\\Users\\JOS~1\\AppData\\Local\\Vorlasta", false},
        {"Cyrillic", L"C:\\Users\\\u041f\u0451\u0442\u0440\\AppData\\Local\\Vorlasta", L"C:\\Users\\____~B1O\\AppData\\Local\\Vorlasta", true},
        {"CJK", L"C:\\Users\\\u5c71\u7530\\Temp\\vorlasta-42.zip", L"C:\\Users\\__~1\\Temp\\VORLAS~1.ZIP", true},
        {"best fit would give L for \u0141", L"C:\\Users\\\u0141\u00f3d\u017a\\Vorlasta", L"C:\\Users\\DZ~1\\Vorlasta", true},
        {"short form still outside the code page", L"C:\\Users\\\u5c71\u7530 \u592a\u90ce\\Vorlasta", L"C:\\Users\\\u5c71\u7530~1\\Vorlasta", false},
        {"no short form", L"C:\\Users\\\u5c71\u7530\\Vorlasta", nullptr, false},
        {"short form too long for its buffer", L"C:\\Users\\\u5c71\u7530\\Vorlasta", tooLong.c_str(), false},
    };
    for (const Row& row : rows) {
        g_shortForm = row.shortForm;
        wchar_t shortPath[kPathCapacity] = L"";
        const wchar_t* chosen = PathForAnsiProgram(row.path, 1252, FakeShortPath, shortPath);
        EXPECT_STREQ(chosen, row.getsShort ? row.shortForm : row.path) << row.what;
    }
    g_shortForm = nullptr;
}

TEST(InstallScripts, Stamp) {
    wchar_t stamp[kStampCapacity];
    BuildStamp(2026, 12, 9, 7, 5, 3, stamp);
    EXPECT_STREQ(stamp, L"20261209-070503");
    BuildStamp(2031, 1, 31, 23, 59, 59, stamp);
    EXPECT_STREQ(stamp, L"20310131-235959");
    EXPECT_EQ(wcslen(stamp), size_t{kStampLength}) << "the LOCALAPPDATA limit counts on this length";
}

TEST(ProgressWindow, OriginRoundsTowardZero) {
    struct Row {
        int width, height, x, y;
    } rows[] = {{1920, 1080, 750, 470}, {1024, 768, 302, 314}, {400, 140, -10, 0}, {399, 139, -10, 0}, {421, 141, 0, 0}};
    for (const Row& row : rows) {
        int x = 0, y = 0;
        ProgressOrigin(row.width, row.height, x, y);
        EXPECT_EQ(x, row.x) << row.width;
        EXPECT_EQ(y, row.y) << row.height;
    }
}

// RunHidden with real child programs.
std::wstring ChildProgram() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring self = path;
    return self.substr(0, self.find_last_of(L'\\')) + L"\\child_program.exe";
}

TEST(RunHidden, ExitStatuses) {
    const std::wstring child = L"\"" + ChildProgram() + L"\"";
    EXPECT_EQ(RunHidden(nullptr, (child + L" exit 0").c_str(), 30000), 0);
    EXPECT_EQ(RunHidden(nullptr, (child + L" exit 3").c_str(), 30000), 3);
    EXPECT_EQ(RunHidden(ChildProgram().c_str(), L"anything exit 7", 30000), 7) << "the application name is used";
    EXPECT_EQ(RunHidden(nullptr, L"\"C:\\no\\such\\program.exe\" exit 0", 30000), -1);
    EXPECT_EQ(RunHidden(L"C:\\no\\such\\program.exe", (child + L" exit 0").c_str(), 30000), -1);
}

TEST(RunHidden, ChildStillRunningAtTheTimeOutIsEnded) {
    const DWORD started = GetTickCount();
    EXPECT_EQ(RunHidden(nullptr, (L"\"" + ChildProgram() + L"\" sleep 20000 exit 5").c_str(), 1000), 259);
    EXPECT_LT(GetTickCount() - started, 15000u) << "returned at the time-out";

    // Gone already: an unpacker left running would write beside the fallback.
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    int running = 0;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (_wcsicmp(entry.szExeFile, L"child_program.exe") == 0) {
            ++running;
            HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID);
            TerminateProcess(process, 0);  // not to outlive a failed run
            WaitForSingleObject(process, 5000);
            CloseHandle(process);
        }
    }
    CloseHandle(snapshot);
    EXPECT_EQ(running, 0);
}

// A full TEMP volume: the copy must fail rather than leave a cut archive.
TEST(CopyPayload, FailedWriteFailsTheCopy) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    HANDLE source = CreateFileW(self, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE full = CreateFileW(L"Z:\\dev\\full", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(source, INVALID_HANDLE_VALUE);
    ASSERT_NE(full, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CopyPayload(source, full, 0, 100000), CopyResult::WriteFailed);
    CloseHandle(full);
    CloseHandle(source);
}

}  // namespace
