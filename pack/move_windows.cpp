// The move's system edge on Windows, where the shop's Vorlasta runs.
#include "move_platform.h"

#include <windows.h>
#include <tlhelp32.h>

#include <utility>
#include <vector>

#include "failure.h"

namespace {

std::wstring Wide(const std::string& text) {
    std::wstring wide(text.size() + 1, L'\0');
    wide.resize(MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                                    static_cast<int>(wide.size())));
    return wide;
}

std::string Utf8(const std::wstring& wide) {
    std::string text(wide.size() * 3 + 1, '\0');
    text.resize(WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(),
                                    static_cast<int>(text.size()), nullptr, nullptr));
    return text;
}

bool IsFolder(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsFile(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring FullPath(const std::wstring& path) {
    std::wstring full(32768, L'\0');
    const DWORD n = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n == 0 || n >= full.size()) return path;
    full.resize(n);
    return full;
}

}  // namespace

std::string DefaultInstallation() {
    // vorlasta-pack.exe copied into an installation moves that installation.
    std::wstring self(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
    self.resize(n < self.size() ? n : 0);
    const std::wstring folder = self.substr(0, self.find_last_of(L'\\') + 1);
    if (!folder.empty() && IsFile(folder + L"Vorlasta.exe") && IsFolder(folder + L"python") &&
        IsFolder(folder + L"app")) {
        return Utf8(folder.substr(0, folder.size() - 1));
    }
    std::wstring local(32768, L'\0');
    const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", local.data(), static_cast<DWORD>(local.size()));
    if (length == 0 || length >= local.size()) throw UsageError("LOCALAPPDATA is not set; name the folder with --from");
    local.resize(length);
    return Utf8(local + L"\\Vorlasta");
}

HoldResult HoldAgainstWriters(const std::string& path, intptr_t& handle, std::string& error) {
    // Shared for reading only: this fails while Vorlasta has the file open
    // for writing, and while it is open, Vorlasta cannot open it for writing.
    const HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        error = "error " + std::to_string(code);
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return HoldResult::Missing;
        return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION ? HoldResult::InUse
                                                                                : HoldResult::Failed;
    }
    handle = reinterpret_cast<intptr_t>(file);
    return HoldResult::Held;
}

void ReleaseHold(intptr_t handle) {
    CloseHandle(reinterpret_cast<HANDLE>(handle));
}

std::string ProgramRunningFrom(const std::string& folder) {
    std::wstring prefix = FullPath(Wide(folder));
    if (prefix.empty() || prefix.back() != L'\\') prefix += L'\\';
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return {};
    const DWORD self = GetCurrentProcessId();
    DWORD parent = 0;
    std::vector<std::pair<DWORD, std::wstring>> inside;
    PROCESSENTRY32W process = {};
    process.dwSize = sizeof process;
    std::wstring image(32768, L'\0');
    for (BOOL more = Process32FirstW(snapshot, &process); more; more = Process32NextW(snapshot, &process)) {
        if (process.th32ProcessID == self) parent = process.th32ParentProcessID;
        const HANDLE running = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process.th32ProcessID);
        if (running == nullptr) continue;
        DWORD size = static_cast<DWORD>(image.size());
        const bool named = QueryFullProcessImageNameW(running, 0, image.data(), &size);
        CloseHandle(running);
        // Windows ignores case in names: so does the comparison.
        if (named && size > prefix.size() &&
            CompareStringOrdinal(image.data(), static_cast<int>(prefix.size()), prefix.data(),
                                 static_cast<int>(prefix.size()), TRUE) == CSTR_EQUAL) {
            inside.emplace_back(process.th32ProcessID, image.substr(prefix.size(), size - prefix.size()));
        }
    }
    CloseHandle(snapshot);
    // This program may lie in the installation itself, and the application
    // that asked for the move waits for it; its database hold covers that one.
    for (const auto& [id, name] : inside) {
        if (id != self && id != parent) return Utf8(name);
    }
    return {};
}

bool StdoutIsConsole() {
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}
