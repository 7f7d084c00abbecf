// The packer's platform layer on Windows. Descriptors are the C runtime's,
// wrapped around handles; all I/O goes through the handles.
#include <windows.h>
#include <tlhelp32.h>

#include <fcntl.h>
#include <io.h>
#include <locale.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <iostream>
#include <streambuf>
#include <utility>
#include <vector>

#include "platform.h"

namespace platform {

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr size_t kMaxChunk = 1 << 30;  // ReadFile and WriteFile count in DWORDs

DWORD g_lastError = 0;

// Keeps why a call failed, before a later call can overwrite it; says false.
bool Failed() {
    g_lastError = GetLastError();
    return false;
}

std::wstring Wide(const std::string& text) {
    const int length = static_cast<int>(text.size());
    std::wstring wide(MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), length, wide.data(), static_cast<int>(wide.size()));
    return wide;
}

std::string Utf8(const wchar_t* text, int length) {
    std::string bytes(WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, bytes.data(), static_cast<int>(bytes.size()), nullptr, nullptr);
    return bytes;
}

HANDLE Handle(int fd) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

// A descriptor that owns `handle` (valid), or -1 with the handle closed.
int Adopt(HANDLE handle, int flags) {
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY);
    if (fd < 0) {
        g_lastError = ERROR_TOO_MANY_OPEN_FILES;
        CloseHandle(handle);
    }
    return fd;
}

// Positioned I/O on a synchronous handle moves its file pointer too; the
// shared code never uses the pointer, so that is harmless.
OVERLAPPED At(int64_t offset) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
    return at;
}

// Creates a new file at `path`, whose last six characters become a suffix no
// file there has yet.
HANDLE CreateUnique(std::wstring& path, DWORD share, DWORD flags) {
    static const wchar_t kDigits[] = L"0123456789abcdefghijklmnopqrstuvwxyz";
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    uint64_t state = static_cast<uint64_t>(now.QuadPart) ^ (static_cast<uint64_t>(GetCurrentProcessId()) << 40);
    for (int attempt = 0; attempt < 100; ++attempt) {
        for (size_t i = path.size() - 6; i < path.size(); ++i) {
            state = state * 6364136223846793005u + 1442695040888963407u;
            path[i] = kDigits[(state >> 33) % 36];
        }
        const HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, share, nullptr,
                                          CREATE_NEW, flags, nullptr);
        if (handle != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return handle;
    }
    return INVALID_HANDLE_VALUE;
}

// std::cout and std::cerr carry UTF-8. A console shows it only through
// WriteConsoleW; a file or pipe gets the bytes as they are (no CR added).
class ConsoleBuf final : public std::streambuf {
public:
    explicit ConsoleBuf(DWORD which) : handle_(GetStdHandle(which)) {
        DWORD mode;
        console_ = GetConsoleMode(handle_, &mode) != 0;
    }

protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return sync() == 0 ? traits_type::not_eof(c) : c;
        pending_ += traits_type::to_char_type(c);
        return pending_.size() < kFlushAt || sync() == 0 ? c : traits_type::eof();
    }

    std::streamsize xsputn(const char* text, std::streamsize count) override {
        pending_.append(text, static_cast<size_t>(count));
        return pending_.size() < kFlushAt || sync() == 0 ? count : 0;
    }

    int sync() override {
        const size_t whole = console_ ? WholeLength(pending_) : pending_.size();
        const bool ok = console_ ? WriteToConsole(pending_.data(), whole) : WriteBytes(pending_.data(), whole);
        pending_.erase(0, whole);
        return ok ? 0 : -1;
    }

private:
    static constexpr size_t kFlushAt = 4096;

    // The length without a UTF-8 sequence cut short at the end; its rest comes later.
    static size_t WholeLength(const std::string& text) {
        for (size_t back = 1; back <= 3 && back <= text.size(); ++back) {
            const auto c = static_cast<unsigned char>(text[text.size() - back]);
            if ((c & 0xC0) == 0x80) continue;
            const size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
            return need > back ? text.size() - back : text.size();
        }
        return text.size();
    }

    bool WriteToConsole(const char* text, size_t length) {
        const std::wstring wide = Wide(std::string(text, length));
        for (size_t done = 0; done < wide.size();) {
            DWORD wrote = 0;
            const DWORD chunk = static_cast<DWORD>(std::min<size_t>(wide.size() - done, 8192));
            if (!WriteConsoleW(handle_, wide.data() + done, chunk, &wrote, nullptr) || wrote == 0) return false;
            done += wrote;
        }
        return true;
    }

    bool WriteBytes(const char* text, size_t length) {
        for (size_t done = 0; done < length;) {
            DWORD wrote = 0;
            const DWORD chunk = static_cast<DWORD>(std::min(length - done, kMaxChunk));
            if (!WriteFile(handle_, text + done, chunk, &wrote, nullptr) || wrote == 0) return false;
            done += wrote;
        }
        return true;
    }

    HANDLE handle_;
    bool console_;
    std::string pending_;
};

// The temporary output that a console Ctrl+C, Ctrl+Break or close must
// remove. The handler runs on a thread of its own; the lock keeps it from
// seeing half a name, as blocked signals do on POSIX.
SRWLOCK g_tempLock = SRWLOCK_INIT;
wchar_t g_tempPath[32768];
bool g_haveTemp = false;

BOOL WINAPI RemoveTempOnInterrupt(DWORD) {
    // Kept locked until the process ends, so the main thread cannot commit a half-written file.
    AcquireSRWLockExclusive(&g_tempLock);
    if (g_haveTemp) DeleteFileW(g_tempPath);  // the write handle shares delete, so this works at once
    // The status a console program ends with on Ctrl+C, whatever the default handler does.
    ExitProcess(STATUS_CONTROL_C_EXIT);
}

}  // namespace

std::string SetUpProcess() {
    // Never destroyed: the streams flush through them to the very end.
    std::cout.rdbuf(new ConsoleBuf(STD_OUTPUT_HANDLE));
    std::cerr.rdbuf(new ConsoleBuf(STD_ERROR_HANDLE));
    // ZIP entry times (local time in the format) must not depend on TZ.
    _putenv("TZ=UTC0");
    _tzset();
    return "";
}

std::string LastErrorText() {
    wchar_t text[512];
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                        g_lastError, 0, text, sizeof text / sizeof text[0], nullptr);
    if (length == 0) return "error " + std::to_string(g_lastError);
    std::string message = Utf8(text, static_cast<int>(length));
    // The system's sentences end in ".\r\n"; the packer's reasons end bare.
    while (!message.empty() && strchr(" .\r\n", message.back()) != nullptr) message.pop_back();
    return message;
}

int OpenForRead(const std::string& path) {
    // Folders open too (backup semantics), so callers can say "not a file" as on POSIX.
    const HANDLE handle = CreateFileW(Wide(path).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle != INVALID_HANDLE_VALUE) return Adopt(handle, _O_RDONLY);
    Failed();
    return -1;
}

bool Close(int fd) {
    return _close(fd) == 0 || Failed();
}

bool QueryFile(int fd, FileInfo& info) {
    const HANDLE handle = Handle(fd);
    BY_HANDLE_FILE_INFORMATION data;
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        info = FileInfo{};
        return true;
    }
    if (!GetFileInformationByHandle(handle, &data)) return Failed();
    info.size = static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
    info.regular = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    return true;
}

int64_t ReadAt(int fd, int64_t offset, void* buffer, size_t length) {
    const HANDLE handle = Handle(fd);
    size_t done = 0;
    while (done < length) {
        OVERLAPPED at = At(offset + static_cast<int64_t>(done));
        DWORD got = 0;
        const DWORD chunk = static_cast<DWORD>(std::min(length - done, kMaxChunk));
        if (!ReadFile(handle, static_cast<uint8_t*>(buffer) + done, chunk, &got, &at)) {
            if (GetLastError() == ERROR_HANDLE_EOF) break;
            Failed();
            if (done == 0) return -1;
            break;
        }
        if (got == 0) break;
        done += got;
    }
    return static_cast<int64_t>(done);
}

bool WriteAt(int fd, int64_t offset, const void* data, size_t length) {
    const HANDLE handle = Handle(fd);
    for (size_t done = 0; done < length;) {
        OVERLAPPED at = At(offset + static_cast<int64_t>(done));
        DWORD wrote = 0;
        const DWORD chunk = static_cast<DWORD>(std::min(length - done, kMaxChunk));
        if (!WriteFile(handle, static_cast<const uint8_t*>(data) + done, chunk, &wrote, &at)) return Failed();
        done += wrote;
    }
    return true;
}

bool ModificationTime(const std::string& path, int64_t& seconds) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data)) return Failed();
    // 100 ns ticks since 1601, floored to seconds since 1970 as Python's st_mtime is.
    const int64_t ticks = static_cast<int64_t>(static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32 |
                                               data.ftLastWriteTime.dwLowDateTime) - 116444736000000000LL;
    seconds = ticks >= 0 ? ticks / 10000000 : -((-ticks + 9999999) / 10000000);
    return true;
}

bool IdentifyFile(const std::string& path, FileId& id) {
    // No access asked: a file open elsewhere, or a folder, still says which it is.
    const HANDLE handle =
        CreateFileW(Wide(path).c_str(), 0, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return Failed();
    BY_HANDLE_FILE_INFORMATION data;
    const bool known = GetFileInformationByHandle(handle, &data) != 0;
    CloseHandle(handle);
    if (!known) return false;
    id.volume = data.dwVolumeSerialNumber;
    id.index = (static_cast<uint64_t>(data.nFileIndexHigh) << 32) | data.nFileIndexLow;
    return true;
}

int CreateNamelessFile(const std::string& folder) {
    // No nameless files here: a hidden one the system deletes when it is
    // closed, however the process ends.
    std::wstring path = Wide(folder) + L"\\.vorlasta-pack-spool.XXXXXX";
    const HANDLE handle =
        CreateUnique(path, 0, FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE);
    if (handle != INVALID_HANDLE_VALUE) return Adopt(handle, _O_RDWR);
    Failed();
    return -1;
}

// A UTF-8 path is never fewer bytes than its UTF-16 units.
const size_t kMaxTempPath = sizeof g_tempPath / sizeof g_tempPath[0];

int CreateTempFile(std::string& path) {
    static const bool handled = SetConsoleCtrlHandler(RemoveTempOnInterrupt, TRUE) != 0;
    (void)handled;
    std::wstring wide = Wide(path);
    AcquireSRWLockExclusive(&g_tempLock);
    const HANDLE handle = CreateUnique(wide, FILE_SHARE_DELETE, FILE_ATTRIBUTE_NORMAL);
    if (handle != INVALID_HANDLE_VALUE) {
        memcpy(g_tempPath, wide.c_str(), (wide.size() + 1) * sizeof(wchar_t));
        g_haveTemp = true;
    }
    if (handle == INVALID_HANDLE_VALUE) Failed();
    ReleaseSRWLockExclusive(&g_tempLock);
    path = Utf8(wide.data(), static_cast<int>(wide.size()));
    return handle == INVALID_HANDLE_VALUE ? -1 : Adopt(handle, _O_RDWR);
}

bool SyncTempFile(int fd) {
    // The new file already has the permissions its folder gives.
    return FlushFileBuffers(Handle(fd)) != 0 || Failed();
}

bool CommitTempFile(const std::string& target) {
    const std::wstring wide = Wide(target);
    AcquireSRWLockExclusive(&g_tempLock);
    const bool moved = MoveFileExW(g_tempPath, wide.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    if (moved) g_haveTemp = false;
    if (!moved) Failed();
    ReleaseSRWLockExclusive(&g_tempLock);
    return moved;
}

void DiscardTempFile() {
    AcquireSRWLockExclusive(&g_tempLock);
    if (g_haveTemp) DeleteFileW(g_tempPath);
    g_haveTemp = false;
    ReleaseSRWLockExclusive(&g_tempLock);
}

void ForgetCachedData(int) {
    // Nothing to ask: Windows has no call that drops one file's cached pages.
}

namespace {

bool HasAttributes(const std::wstring& path, bool folder) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) == folder;
}

std::wstring Buffered(DWORD (*fill)(wchar_t*, DWORD)) {
    std::wstring text(32768, L'\0');
    const DWORD n = fill(text.data(), static_cast<DWORD>(text.size()));
    text.resize(n < text.size() ? n : 0);
    return text;
}

}  // namespace

std::string DefaultInstallation() {
    // vorlasta-pack.exe copied into an installation moves that installation.
    const std::wstring self =
        Buffered([](wchar_t* text, DWORD size) { return GetModuleFileNameW(nullptr, text, size); });
    const std::wstring folder = self.substr(0, self.find_last_of(L'\\') + 1);
    if (!folder.empty() && HasAttributes(folder + L"Vorlasta.exe", false) &&
        HasAttributes(folder + L"python", true) && HasAttributes(folder + L"app", true)) {
        return Utf8(folder.data(), static_cast<int>(folder.size() - 1));
    }
    const std::wstring local =
        Buffered([](wchar_t* text, DWORD size) { return GetEnvironmentVariableW(L"LOCALAPPDATA", text, size); });
    return local.empty() ? "" : Utf8(local.data(), static_cast<int>(local.size())) + "\\Vorlasta";
}

HoldResult HoldAgainstWriters(const std::string& path, int& fd) {
    // Shared for reading only: this fails while Vorlasta has the file open
    // for writing, and while it stays open Vorlasta cannot open it so.
    const HANDLE handle =
        CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        Failed();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return HoldResult::Missing;
        return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ? HoldResult::InUse
                                                                                  : HoldResult::Failed;
    }
    fd = Adopt(handle, _O_RDONLY);
    return fd < 0 ? HoldResult::Failed : HoldResult::Held;
}

std::string ProgramRunningFrom(const std::string& folder) {
    std::wstring prefix = Wide(folder);
    std::wstring full(32768, L'\0');
    const DWORD length = GetFullPathNameW(prefix.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length > 0 && length < full.size()) prefix.assign(full.data(), length);
    if (prefix.empty() || prefix.back() != L'\\') prefix += L'\\';
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return "";
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
        const bool named = QueryFullProcessImageNameW(running, 0, image.data(), &size) != 0;
        CloseHandle(running);
        // Windows ignores case in names; so does the comparison.
        if (named && size > prefix.size() &&
            CompareStringOrdinal(image.data(), static_cast<int>(prefix.size()), prefix.data(),
                                 static_cast<int>(prefix.size()), TRUE) == CSTR_EQUAL) {
            inside.emplace_back(process.th32ProcessID, image.substr(prefix.size(), size - prefix.size()));
        }
    }
    CloseHandle(snapshot);
    // This program may lie in the installation, and the application that
    // asked for the move waits for it; the database hold covers that one.
    for (const auto& [id, name] : inside) {
        if (id != self && id != parent) return Utf8(name.data(), static_cast<int>(name.size()));
    }
    return "";
}

bool StdoutIsConsole() {
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

bool ReadHiddenLine(const std::string& prompt, std::string& line) {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode;
    if (!GetConsoleMode(input, &mode)) return false;
    std::cerr << prompt << std::flush;
    SetConsoleMode(input, (mode | ENABLE_LINE_INPUT) & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
    // UTF-16 from the console, whatever its code page.
    std::wstring typed;
    wchar_t buffer[256];
    for (DWORD got = 0; typed.find(L'\n') == std::wstring::npos && ReadConsoleW(input, buffer, 256, &got, nullptr) && got > 0;) {
        typed.append(buffer, got);
    }
    SetConsoleMode(input, mode);
    std::cerr << "\n";
    typed = typed.substr(0, typed.find_first_of(L"\r\n"));
    line = Utf8(typed.data(), static_cast<int>(typed.size()));
    SecureZeroMemory(typed.data(), typed.size() * sizeof(wchar_t));
    SecureZeroMemory(buffer, sizeof buffer);
    return true;
}

}  // namespace platform
