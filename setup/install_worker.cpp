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

constexpr wchar_t kRollBackFailed[] = L"Could not unpack Vorlasta. The old program is kept in %ls and your data in %ls.";
static_assert(TextLength(kRollBackFailed) - 6 + 2 * (kPathCapacity - 1) < kErrorTextCapacity,
              "both folders always fit the message");

// The program's own top-level entries: an update replaces them whole. Any
// other entry at the top may be the shop's and is left alone.
constexpr const wchar_t* kProgramEntries[] = {L"Vorlasta.exe", L"python", L"app", L"vorlasta-pack.exe"};
constexpr int kProgramEntryCount = sizeof(kProgramEntries) / sizeof(kProgramEntries[0]);

// The worker's only long paths (worker thread only): deletions walk this one
// buffer, extended and cut back in place as they descend, in \\?\ form so that
// depth is no limit.
constexpr size_t kLongPathCapacity = 32768;
wchar_t g_walk[kLongPathCapacity];
WIN32_FIND_DATAW g_found;  // read right after each Find call, before the walk goes deeper

bool Exists(const wchar_t* path) {
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

// Appends \name to the path of `length` units in out; its new length, or 0 when it would not fit.
size_t Extend(wchar_t* out, size_t capacity, size_t length, const wchar_t* name) {
    const size_t nameLength = static_cast<size_t>(lstrlenW(name));
    if (length + 1 + nameLength >= capacity) return 0;
    out[length] = L'\\';
    for (size_t i = 0; i <= nameLength; ++i) out[length + 1 + i] = name[i];
    return length + 1 + nameLength;
}

// out <- the \\?\ form of folder (made full as the platform would), then \name
// when name is given; its length, or 0 when it does not fit.
size_t LongForm(const wchar_t* folder, const wchar_t* name, wchar_t* out, size_t capacity) {
    // The full path goes in after six units, then gets the prefix its kind needs.
    const DWORD full = GetFullPathNameW(folder, static_cast<DWORD>(capacity - 8), out + 6, nullptr);
    if (full == 0 || full >= capacity - 8) return 0;
    const bool share = out[6] == L'\\' && out[7] == L'\\';
    const bool device = share && (out[8] == L'?' || out[8] == L'.') && out[9] == L'\\';
    const size_t skip = device ? 6 : share ? 0 : 2;  // a share's \\server becomes \\?\UNC\server
    for (size_t i = 6; i <= 6 + full; ++i) out[i - skip] = out[i];
    const wchar_t* prefix = device ? L"" : share ? L"\\\\?\\UNC" : L"\\\\?\\";
    for (size_t i = 0; prefix[i]; ++i) out[i] = prefix[i];
    const size_t length = full + 6 - skip;
    return name ? Extend(out, capacity, length, name) : length;
}

bool ExistsIn(const wchar_t* folder, const wchar_t* name) {
    return LongForm(folder, name, g_walk, kLongPathCapacity) && Exists(g_walk);
}

// A rename within InstallDir; its paths are at most a program entry longer than the aside folder's.
bool MoveLong(const wchar_t* fromFolder, const wchar_t* fromName, const wchar_t* toFolder, const wchar_t* toName) {
    wchar_t target[2 * kPathCapacity];
    return LongForm(fromFolder, fromName, g_walk, kLongPathCapacity) &&
           LongForm(toFolder, toName, target, 2 * kPathCapacity) && MoveFileW(g_walk, target);
}

bool DeleteWalked(size_t length, DWORD attributes);

// Deletes what matches pattern in the folder g_walk names; g_walk is as it was after.
void DeleteMatches(size_t length, const wchar_t* pattern) {
    HANDLE find = INVALID_HANDLE_VALUE;
    if (Extend(g_walk, kLongPathCapacity, length, pattern)) find = FindFirstFileW(g_walk, &g_found);
    g_walk[length] = L'\0';
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const wchar_t* name = g_found.cFileName;
        if (name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'))) continue;
        const size_t childLength = Extend(g_walk, kLongPathCapacity, length, name);
        if (childLength) DeleteWalked(childLength, g_found.dwFileAttributes);
        g_walk[length] = L'\0';
    } while (FindNextFileW(find, &g_found));
    FindClose(find);
}

// Deletes what g_walk names: read-only cleared, a folder emptied first, and a
// junction or link removed as itself, never entered.
bool DeleteWalked(size_t length, DWORD attributes) {
    if (attributes & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(g_walk, attributes & ~FILE_ATTRIBUTE_READONLY);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return DeleteFileW(g_walk);
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) DeleteMatches(length, L"*");
    return RemoveDirectoryW(g_walk);
}

// Deletes folder\name (or folder itself) with all it holds; true when nothing is left under the name.
bool DeleteEntry(const wchar_t* folder, const wchar_t* name) {
    const size_t length = LongForm(folder, name, g_walk, kLongPathCapacity);
    if (length == 0) return false;
    const DWORD attributes = GetFileAttributesW(g_walk);
    if (attributes == INVALID_FILE_ATTRIBUTES) return GetLastError() == ERROR_FILE_NOT_FOUND;
    return DeleteWalked(length, attributes);
}

// Moves the program's entries that `from` holds into `to`. When a rename fails
// (a file held open), those already moved go back and the result is false.
bool MoveProgram(const wchar_t* from, const wchar_t* to) {
    int next = 0;
    while (next < kProgramEntryCount &&
           (!ExistsIn(from, kProgramEntries[next]) || MoveLong(from, kProgramEntries[next], to, kProgramEntries[next])))
        ++next;
    if (next == kProgramEntryCount) return true;
    while (next-- > 0)
        if (ExistsIn(to, kProgramEntries[next])) MoveLong(to, kProgramEntries[next], from, kProgramEntries[next]);
    return false;
}

// Renames the installed program into `aside`, so that an unpack never mixes
// two versions. False when there was none or it could not all be moved: the
// unpack then goes over it, as it always did.
bool SetProgramAside(const wchar_t* aside) {
    const wchar_t* dir = g_setupState.InstallDir;
    bool installed = false;
    for (const wchar_t* name : kProgramEntries) installed = installed || ExistsIn(dir, name);
    if (!installed || !LongForm(aside, nullptr, g_walk, kLongPathCapacity) || !CreateDirectoryW(g_walk, nullptr))
        return false;
    if (MoveProgram(dir, aside)) return true;
    DeleteEntry(aside, nullptr);
    return false;
}

// After a failed unpack: the new program's entries go, the old ones come back,
// and in a move the payload's data gives way to the data set aside (when there
// was any). Stops at the first step that fails, so that nothing is lost, and
// then returns the folder that holds the old program; nullptr when all is back.
const wchar_t* RollBack(const wchar_t* programAside, const wchar_t* dataAside) {
    const wchar_t* dir = g_setupState.InstallDir;
    for (const wchar_t* name : kProgramEntries)
        if (!DeleteEntry(dir, name)) return programAside;
    if (!MoveProgram(programAside, dir)) return programAside;
    DeleteEntry(programAside, nullptr);
    if (g_setupState.Mode != kModeMove) return nullptr;
    if (!DeleteEntry(dir, L"data") || (dataAside[0] != L'\0' && !MoveLong(dataAside, nullptr, dir, L"data")))
        return dir;
    return nullptr;
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

    wchar_t dataFolder[kPathCapacity];
    wchar_t asideFolder[kPathCapacity];
    FormatBounded(dataFolder, L"%ls\\data", state.InstallDir);
    asideFolder[0] = L'\0';  // stays empty unless a move sets data aside
    if (state.Mode == kModeMove && Exists(dataFolder)) {
        FormatBounded(asideFolder, L"%ls%ls%ls", state.InstallDir, kAsideFolderPrefix, stamp);
        if (!MoveFileW(dataFolder, asideFolder)) {
            FormatBounded(outcome.ErrorText, L"Could not put the old data aside (%ls). Close Vorlasta and try again.",
                          dataFolder);
            return;
        }
    }
    wchar_t programAside[kPathCapacity];
    FormatBounded(programAside, L"%ls%ls%ls", state.InstallDir, kProgramAsidePrefix, stamp);
    const bool programSetAside = SetProgramAside(programAside);

    wchar_t launcher[kPathCapacity];
    FormatBounded(launcher, L"%ls\\Vorlasta.exe", state.InstallDir);
    if (!Unpack(systemFolder, quotedDir) || !Exists(launcher)) {
        const wchar_t* oldProgram = programSetAside ? RollBack(programAside, asideFolder) : nullptr;
        if (oldProgram) {
            FormatBounded(outcome.ErrorText, kRollBackFailed, oldProgram, asideFolder[0] ? asideFolder : dataFolder);
        } else {
            FormatBounded(outcome.ErrorText, L"%ls", kUnpackFailed);
        }
        return;
    }
    // The new program is in place: only now may any old one go, this run's or
    // one an earlier run could not delete. What cannot be deleted stays.
    const size_t dirLength = LongForm(state.InstallDir, nullptr, g_walk, kLongPathCapacity);
    if (dirLength) DeleteMatches(dirLength, L"program-before-*");

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
