#include "setup/install_worker.h"

#include "common/format_bounded.h"
#include "setup/hidden_runner.h"
#include "setup/install_scripts.h"
#include "setup/setup_state.h"
#include "setup/trailer.h"

namespace {

constexpr DWORD kPowerShellTimeoutMs = 180000;
constexpr DWORD kTarTimeoutMs = 600000;
constexpr DWORD kSettleMs = 800;  // lets stopped copies release their files

constexpr const wchar_t* kUnpackFailed = L"Could not unpack Vorlasta. Check there is free disk space and try again.";

bool Exists(const wchar_t* path) {
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

// PowerShell is started by its full path: a bare name would be looked for
// first next to the setup file, where anything could have been planted.
int RunPowerShell(const wchar_t* systemFolder, const wchar_t* script, DWORD timeoutMs) {
    if (systemFolder[0] == L'\0') return -1;
    wchar_t program[kPathCapacity];
    FormatBounded(program, L"%ls\\WindowsPowerShell\\v1.0\\powershell.exe", systemFolder);
    return RunHidden(program, BuildPowerShellCommand(script), timeoutMs);
}

// Tries tar from the system folder, then PowerShell's Expand-Archive. The
// archive is deleted either way.
bool Unpack(const wchar_t* systemFolder, const wchar_t* quotedDir) {
    const SetupState& state = g_setupState;
    wchar_t script[kScriptCapacity];
    if (systemFolder[0] != L'\0') {
        // Both exist by now, so their short forms can be asked for.
        wchar_t shortArchive[kPathCapacity], shortDir[kPathCapacity];
        BuildTarCommand(systemFolder,
                        PathForAnsiProgram(state.TempArchivePath, CP_ACP, GetShortPathNameW, shortArchive),
                        PathForAnsiProgram(state.InstallDir, CP_ACP, GetShortPathNameW, shortDir), script);
        if (RunHidden(nullptr, script, kTarTimeoutMs) == 0) {
            DeleteFileW(state.TempArchivePath);
            return true;
        }
    }
    wchar_t quotedArchive[kQuotedCapacity];
    QuoteForPowerShell(state.TempArchivePath, quotedArchive);
    BuildExpandScript(quotedArchive, quotedDir, script);
    const int status = RunPowerShell(systemFolder, script, kPowerShellTimeoutMs);
    DeleteFileW(state.TempArchivePath);
    return status == 0;
}

// Runs the steps; on a failure ErrorText says why and Succeeded stays 0.
void Install() {
    const SetupState& state = g_setupState;
    InstallOutcome& outcome = g_installOutcome;

    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t stamp[kStampCapacity];
    BuildStamp(now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, stamp);

    wchar_t quotedDir[kQuotedCapacity];
    QuoteForPowerShell(state.InstallDir, quotedDir);
    wchar_t systemFolder[kPathCapacity];
    const UINT systemLength = GetSystemDirectoryW(systemFolder, kPathCapacity);
    if (systemLength == 0 || systemLength >= static_cast<UINT>(kPathCapacity)) systemFolder[0] = L'\0';

    wchar_t script[kScriptCapacity];
    BuildStopScript(quotedDir, script);
    RunPowerShell(systemFolder, script, kPowerShellTimeoutMs);
    Sleep(kSettleMs);
    CreateDirectoryW(state.InstallDir, nullptr);

    if (state.Mode == kModeMove) {
        wchar_t dataFolder[kPathCapacity];
        wchar_t asideFolder[kPathCapacity];
        FormatBounded(dataFolder, L"%ls\\data", state.InstallDir);
        FormatBounded(asideFolder, L"%ls%ls%ls", state.InstallDir, kAsideFolderPrefix, stamp);
        if (Exists(dataFolder) && !MoveFileW(dataFolder, asideFolder)) {
            FormatBounded(outcome.ErrorText, L"Could not put the old data aside (%ls). Close Vorlasta and try again.",
                          dataFolder);
            return;
        }
    }

    if (!Unpack(systemFolder, quotedDir)) {
        FormatBounded(outcome.ErrorText, L"%ls", kUnpackFailed);
        return;
    }
    wchar_t launcher[kPathCapacity];
    FormatBounded(launcher, L"%ls\\Vorlasta.exe", state.InstallDir);
    if (!Exists(launcher)) {
        FormatBounded(outcome.ErrorText, L"%ls", kUnpackFailed);
        return;
    }

    BuildShortcutScript(quotedDir, script);
    RunPowerShell(systemFolder, script, kPowerShellTimeoutMs);
    outcome.Succeeded = 1;
}

}  // namespace

DWORD WINAPI InstallWorker(LPVOID) {
    Install();
    // The only signal to the main thread; the outcome is complete before it.
    InterlockedExchange(&g_installOutcome.WorkerDone, 1);
    PostMessageW(g_installOutcome.Window, WM_CLOSE, 0, 0);
    return 0;
}
