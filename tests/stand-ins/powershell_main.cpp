// powershell.exe stand-in: recognises the three scripts the setup program
// sends and does what each would do in Windows PowerShell.
#include <windows.h>
#include <objbase.h>
#include <objidl.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <tlhelp32.h>

#include "powershell_script.h"
#include "standin_common.h"
#include "zip_reader.h"

using namespace standin;

namespace {

const wchar_t kUninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vorlasta";

bool EqualsIgnoringCase(const wchar_t* a, const wchar_t* b) {
    return CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

// Get-Process pythonw,python | Where-Object { $_.Path -like ... } | Stop-Process -Force
int Stop(LogRecord& record, const RecognisedScript& script) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return Finish(record, 0);  // Get-Process finds nothing
    std::wstring failures;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (!EqualsIgnoringCase(entry.szExeFile, L"python.exe") && !EqualsIgnoringCase(entry.szExeFile, L"pythonw.exe")) {
            continue;
        }
        // $_.Path is null for a process whose image cannot be read; -like then fails.
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        if (process == nullptr) continue;
        wchar_t path[32768];
        DWORD length = 32768;
        const bool matches = QueryFullProcessImageNameW(process, 0, path, &length) && LikeMatch(path, script.pattern);
        CloseHandle(process);
        if (!matches) continue;
        // Process.Kill, which Stop-Process calls, terminates with status -1.
        process = OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID);
        if (process != nullptr && TerminateProcess(process, static_cast<UINT>(-1))) {
            record.Add("stopped", path);
        } else {
            failures += std::wstring(failures.empty() ? L"" : L"; ") + L"cannot stop " + path + L": " +
                        SystemMessage(GetLastError());
        }
        if (process != nullptr) CloseHandle(process);
    }
    CloseHandle(snapshot);
    return failures.empty() ? Finish(record, 0) : Finish(record, 1, failures);
}

// Expand-Archive -LiteralPath <archive> -DestinationPath <folder> -Force
int Expand(LogRecord& record, const RecognisedScript& script) {
    // The Archive module of Windows PowerShell 5.1 accepts nothing but .zip.
    const size_t dot = script.archive.find_last_of(L".\\");
    if (dot == std::wstring::npos || script.archive[dot] != L'.' ||
        !EqualsIgnoringCase(script.archive.c_str() + dot, L".zip")) {
        return Finish(record, 1, L"'" + script.archive + L"' is not a supported archive file format. "
                                 L".zip is the only supported archive file format.");
    }
    std::string archive;
    std::wstring error;
    if (!ReadWholeFile(script.archive, archive, error)) return Finish(record, 1, error);
    std::vector<ZipEntry> entries;
    if (!ReadZip(archive, entries, error) || !CreateFolders(script.dir, error) ||
        !WriteEntries(entries, script.dir, error)) {
        return Finish(record, 1, error);
    }
    return Finish(record, 0);
}

bool SaveShortcut(const std::wstring& file, const std::wstring& dir, std::wstring& error) {
    const std::wstring target = dir + L"\\Vorlasta.exe";
    IShellLinkW* link = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                  reinterpret_cast<void**>(&link));
    if (SUCCEEDED(hr)) hr = link->SetPath(target.c_str());
    if (SUCCEEDED(hr)) hr = link->SetWorkingDirectory(dir.c_str());
    if (SUCCEEDED(hr)) hr = link->SetIconLocation(target.c_str(), 0);
    if (SUCCEEDED(hr)) hr = link->SetDescription(L"Vorlasta by Morvenhale");
    IPersistFile* persist = nullptr;
    if (SUCCEEDED(hr)) hr = link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist));
    if (SUCCEEDED(hr)) hr = persist->Save(file.c_str(), TRUE);
    if (persist != nullptr) persist->Release();
    if (link != nullptr) link->Release();
    if (FAILED(hr)) error = L"cannot save shortcut " + file + L": " + SystemMessage(static_cast<DWORD>(hr));
    return SUCCEEDED(hr);
}

bool SetString(HKEY key, const wchar_t* name, const std::wstring& value, std::wstring& error) {
    const LSTATUS status = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    if (status != ERROR_SUCCESS) error = std::wstring(L"cannot set ") + name + L": " + SystemMessage(status);
    return status == ERROR_SUCCESS;
}

bool WriteUninstallEntry(const RecognisedScript& script, std::wstring& error) {
    // New-Item -Force replaces an existing registry key with an empty one.
    const LSTATUS removed = RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallKey);
    if (removed != ERROR_SUCCESS && removed != ERROR_FILE_NOT_FOUND) {
        error = L"cannot replace HKCU\\" + std::wstring(kUninstallKey) + L": " + SystemMessage(removed);
        return false;
    }
    HKEY key = nullptr;
    const LSTATUS created = RegCreateKeyExW(HKEY_CURRENT_USER, kUninstallKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                            &key, nullptr);
    if (created != ERROR_SUCCESS) {
        error = L"cannot create HKCU\\" + std::wstring(kUninstallKey) + L": " + SystemMessage(created);
        return false;
    }
    // The literals in script order: ... DisplayName, Publisher, DisplayIcon,
    // InstallLocation, UninstallString are the last five.
    const std::vector<std::wstring>& l = script.literals;
    const size_t n = l.size();
    const DWORD one = 1;
    bool ok = SetString(key, L"DisplayName", l[n - 5], error) && SetString(key, L"Publisher", l[n - 4], error) &&
              SetString(key, L"DisplayIcon", l[n - 3], error) && SetString(key, L"InstallLocation", l[n - 2], error) &&
              SetString(key, L"UninstallString", l[n - 1], error);
    if (ok) {
        const LSTATUS status =
            RegSetValueExW(key, L"NoModify", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one);
        ok = status == ERROR_SUCCESS;
        if (!ok) error = L"cannot set NoModify: " + SystemMessage(status);
    }
    RegCloseKey(key);
    return ok;
}

// WScript.Shell shortcuts on the desktop and in the Start menu, then the
// uninstall entry.
int Shortcuts(LogRecord& record, const RecognisedScript& script) {
    const HRESULT init = CoInitialize(nullptr);
    if (FAILED(init)) return Finish(record, 1, L"CoInitialize failed: " + SystemMessage(static_cast<DWORD>(init)));
    std::wstring error;
    bool ok = true;
    for (int folder : {CSIDL_DESKTOPDIRECTORY, CSIDL_PROGRAMS}) {
        wchar_t path[MAX_PATH];
        const HRESULT hr = SHGetFolderPathW(nullptr, folder, nullptr, SHGFP_TYPE_CURRENT, path);
        if (FAILED(hr)) {
            error = L"no folder for CSIDL " + std::to_wstring(folder) + L": " + SystemMessage(static_cast<DWORD>(hr));
            ok = false;
            break;
        }
        if (!SaveShortcut(std::wstring(path) + L"\\Vorlasta.lnk", script.dir, error)) {
            ok = false;
            break;
        }
    }
    CoUninitialize();
    if (ok) ok = WriteUninstallEntry(script, error);
    return ok ? Finish(record, 0) : Finish(record, 1, error);
}

}  // namespace

int wmain() {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    LogRecord record = BeginRecord(L"powershell");

    long long sleepMs = 0;
    const Setting sleep = ReadIntegerSetting(L"VORLASTA_STANDIN_PS_SLEEP_MS", sleepMs);
    if (sleep == Setting::Invalid || (sleep == Setting::Set && sleepMs < 0)) {
        return Finish(record, kExitUnparsable, L"VORLASTA_STANDIN_PS_SLEEP_MS is not a number of milliseconds");
    }
    static const wchar_t* const kExitSettings[] = {L"VORLASTA_STANDIN_PS_EXIT_STOP", L"VORLASTA_STANDIN_PS_EXIT_EXPAND",
                                                   L"VORLASTA_STANDIN_PS_EXIT_SHORTCUTS"};
    Setting exits[3];
    long long exitValues[3] = {};
    for (int i = 0; i < 3; ++i) {
        exits[i] = ReadIntegerSetting(kExitSettings[i], exitValues[i]);
        if (exits[i] == Setting::Invalid) {
            return Finish(record, kExitUnparsable, std::wstring(kExitSettings[i]) + L" is not a status");
        }
    }
    if (sleep == Setting::Set) Sleep(static_cast<DWORD>(sleepMs));

    std::wstring script, error;
    if (!ScriptFromCommandLine(GetCommandLineW(), script, error)) return Finish(record, kExitUnparsable, error);
    record.Add("script", script);
    ScriptParts parts;
    RecognisedScript recognised;
    const bool split = SplitScript(script, parts, error);
    const bool known = split && RecogniseScript(script, recognised, error);
    if (known) record.Add("kind", KindName(recognised.kind));
    for (const std::wstring& literal : parts.literals) record.Add("literal", literal);
    if (!known) return Finish(record, kExitUnparsable, error);
    if (recognised.kind == ScriptKind::Stop && !CheckLikePattern(recognised.pattern, error)) {
        return Finish(record, kExitUnparsable, error);
    }

    const int kind = static_cast<int>(recognised.kind);
    if (exits[kind] == Setting::Set) return Finish(record, static_cast<int>(exitValues[kind]));
    switch (recognised.kind) {
        case ScriptKind::Stop: return Stop(record, recognised);
        case ScriptKind::Expand: return Expand(record, recognised);
        case ScriptKind::Shortcuts: return Shortcuts(record, recognised);
    }
    return Finish(record, kExitUnparsable, L"unrecognised script");
}
