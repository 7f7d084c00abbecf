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
#include "utf8_text.h"

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

// `path` made absolute in the system's own form, behind "\\?\", so that no
// length is a limit on opening it.
std::wstring LongPath(const std::string& path) {
    const std::wstring wide = WideFromUtf8(path);
    const DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    std::wstring full(size, L'\0');
    const DWORD length = size == 0 ? 0 : GetFullPathNameW(wide.c_str(), size, full.data(), nullptr);
    if (length == 0 || length >= size) return wide;
    full.resize(length);
    // Already verbatim, or a device: as it is.
    if (full.rfind(L"\\\\?\\", 0) == 0 || full.rfind(L"\\\\.\\", 0) == 0) return full;
    if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

// 100 ns ticks since 1601, floored to seconds since 1970 as Python's st_mtime is.
int64_t UnixSeconds(const FILETIME& time) {
    const int64_t ticks =
        static_cast<int64_t>(static_cast<uint64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime) - 116444736000000000LL;
    return ticks >= 0 ? ticks / 10000000 : -((-ticks + 9999999) / 10000000);
}

std::wstring Buffered(DWORD (*fill)(wchar_t*, DWORD)) {
    std::wstring text(32768, L'\0');
    const DWORD n = fill(text.data(), static_cast<DWORD>(text.size()));
    text.resize(n < text.size() ? n : 0);
    return text;
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
HANDLE CreateUnique(std::wstring& path, DWORD share, DWORD flags, SECURITY_ATTRIBUTES* security = nullptr) {
    static const wchar_t kDigits[] = L"0123456789abcdefghijklmnopqrstuvwxyz";
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    uint64_t state = static_cast<uint64_t>(now.QuadPart) ^ (static_cast<uint64_t>(GetCurrentProcessId()) << 40);
    for (int attempt = 0; attempt < 100; ++attempt) {
        for (size_t i = path.size() - 6; i < path.size(); ++i) {
            state = state * 6364136223846793005u + 1442695040888963407u;
            path[i] = kDigits[(state >> 33) % 36];
        }
        const HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, share, security,
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
        const std::wstring wide = WideFromUtf8(std::string_view(text, length));
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
// The private copy of shop data, and the files SQLite keeps beside it; under the same lock.
std::wstring g_privatePath;

void RemovePrivateFiles() {
    if (g_privatePath.empty()) return;
    for (const wchar_t* sidecar : {L"", L"-journal", L"-wal", L"-shm"}) DeleteFileW((g_privatePath + sidecar).c_str());
}

BOOL WINAPI RemoveTempOnInterrupt(DWORD) {
    // Kept locked until the process ends, so the main thread cannot commit a half-written file.
    AcquireSRWLockExclusive(&g_tempLock);
    if (g_haveTemp) DeleteFileW(g_tempPath);  // the write handle shares delete, so this works at once
    RemovePrivateFiles();
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
    std::string message = Utf8FromWide(std::wstring_view(text, length));
    // The system's sentences end in ".\r\n"; the packer's reasons end bare.
    while (!message.empty() && strchr(" .\r\n", message.back()) != nullptr) message.pop_back();
    return message;
}

std::string SystemPath(const std::string& path) {
    return Utf8FromWide(LongPath(path));
}

int OpenForRead(const std::string& path) {
    // Folders open too (backup semantics), so callers can say "not a file" as on POSIX.
    const HANDLE handle = CreateFileW(LongPath(path).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
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
    info.modified = static_cast<int64_t>(static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32 |
                                         data.ftLastWriteTime.dwLowDateTime);
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

PathKind KindOfPath(const std::string& path) {
    const DWORD attributes = GetFileAttributesW(LongPath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return Failed(), PathKind::Missing;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::Folder : PathKind::File;
}

bool ReadFolder(const std::string& folder, std::vector<FolderItem>& items) {
    std::wstring pattern = LongPath(folder);
    if (pattern.back() != L'\\') pattern += L'\\';
    pattern += L'*';
    WIN32_FIND_DATAW data;
    const HANDLE find =
        FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    // The root of an empty drive lists nothing, not even ".".
    if (find == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND || Failed();
    do {
        const std::wstring_view name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        FolderItem item;
        item.name = Utf8FromWide(name);
        const bool folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        // Links, junctions and mount points name another place: never followed.
        // Wine reports a Unix link to a folder with the tag 0. Other reparse
        // points (cloud placeholders, deduplicated files) are what they hold.
        const bool link = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
                          (IsReparseTagNameSurrogate(data.dwReserved0) || data.dwReserved0 == 0);
        item.kind = link ? PathKind::Link : folder ? PathKind::Folder : PathKind::File;
        item.size = static_cast<int64_t>(static_cast<uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow);
        item.mtime = UnixSeconds(data.ftLastWriteTime);
        items.push_back(std::move(item));
    } while (FindNextFileW(find, &data));
    const bool listed = GetLastError() == ERROR_NO_MORE_FILES || Failed();
    FindClose(find);
    return listed;
}

bool Environment(const char* name, std::string& value) {
    // Wide, so that no code page maps one character onto another.
    const std::wstring wide = WideFromUtf8(name);
    const DWORD size = GetEnvironmentVariableW(wide.c_str(), nullptr, 0);
    if (size == 0) return false;
    std::wstring text(size, L'\0');
    const DWORD length = GetEnvironmentVariableW(wide.c_str(), text.data(), size);
    value = Utf8FromWide(std::wstring_view(text.data(), length < size ? length : 0));
    return true;
}

bool IdentifyFile(const std::string& path, FileId& id) {
    // No access asked: a file open elsewhere, or a folder, still says which it is.
    const HANDLE handle =
        CreateFileW(LongPath(path).c_str(), 0, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return Failed();
    BY_HANDLE_FILE_INFORMATION data;
    const bool known = GetFileInformationByHandle(handle, &data) != 0;
    CloseHandle(handle);
    if (!known) return false;
    id.volume = data.dwVolumeSerialNumber;
    id.index = (static_cast<uint64_t>(data.nFileIndexHigh) << 32) | data.nFileIndexLow;
    return true;
}

bool FinalPath(const std::string& path, std::string& final) {
    const HANDLE handle =
        CreateFileW(LongPath(path).c_str(), 0, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return Failed();
    std::wstring name(32768, L'\0');
    const DWORD length = GetFinalPathNameByHandleW(handle, name.data(), static_cast<DWORD>(name.size()), 0);
    CloseHandle(handle);
    if (length == 0 || length >= name.size()) return Failed();
    name.resize(length);
    // "\\?\C:\..." and "\\?\UNC\server\..." as the plain paths the callers take apart.
    if (name.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
        name.erase(2, 6);
    } else if (name.compare(0, 4, L"\\\\?\\") == 0) {
        name.erase(0, 4);
    }
    final = Utf8FromWide(name);
    return true;
}

int CreateNamelessFile(const std::string& folder) {
    // No nameless files here: a hidden one the system deletes when it is
    // closed, however the process ends.
    std::wstring path = LongPath(folder) + L"\\.vorlasta-pack-spool.XXXXXX";
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
    std::wstring wide = LongPath(path);
    if (wide.size() >= sizeof g_tempPath / sizeof g_tempPath[0]) {
        g_lastError = ERROR_FILENAME_EXCED_RANGE;
        return -1;
    }
    AcquireSRWLockExclusive(&g_tempLock);
    // Shared for reading: the read-back opens it a second time, past the cache.
    const HANDLE handle = CreateUnique(wide, FILE_SHARE_READ | FILE_SHARE_DELETE, FILE_ATTRIBUTE_NORMAL);
    if (handle != INVALID_HANDLE_VALUE) {
        memcpy(g_tempPath, wide.c_str(), (wide.size() + 1) * sizeof(wchar_t));
        g_haveTemp = true;
    }
    if (handle == INVALID_HANDLE_VALUE) Failed();
    ReleaseSRWLockExclusive(&g_tempLock);
    path.replace(path.size() - 6, 6, Utf8FromWide(std::wstring_view(wide).substr(wide.size() - 6)));
    return handle == INVALID_HANDLE_VALUE ? -1 : Adopt(handle, _O_RDWR);
}

std::string CreatePrivateFile() {
    static const bool handled = SetConsoleCtrlHandler(RemoveTempOnInterrupt, TRUE) != 0;
    (void)handled;
    // A security descriptor of this user alone, not what the folder would pass on.
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return Failed(), "";
    alignas(TOKEN_USER) uint8_t user[256];
    DWORD size = 0;
    const bool known = GetTokenInformation(token, TokenUser, user, sizeof user, &size) != 0;
    CloseHandle(token);
    if (!known) return Failed(), "";
    const PSID sid = reinterpret_cast<TOKEN_USER*>(user)->User.Sid;
    alignas(ACL) uint8_t acl[256];
    SECURITY_DESCRIPTOR descriptor;
    if (!InitializeAcl(reinterpret_cast<ACL*>(acl), sizeof acl, ACL_REVISION) ||
        !AddAccessAllowedAce(reinterpret_cast<ACL*>(acl), ACL_REVISION, GENERIC_ALL, sid) ||
        !InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, reinterpret_cast<ACL*>(acl), FALSE) ||
        !SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
        return Failed(), "";
    }
    SECURITY_ATTRIBUTES security = {sizeof security, &descriptor, FALSE};
    std::wstring path = Buffered([](wchar_t* text, DWORD length) { return GetTempPathW(length, text); });
    if (path.empty()) return Failed(), "";
    path += L"vorlasta-shop.XXXXXX";
    AcquireSRWLockExclusive(&g_tempLock);
    const HANDLE handle = CreateUnique(path, 0, FILE_ATTRIBUTE_TEMPORARY, &security);
    if (handle != INVALID_HANDLE_VALUE) g_privatePath = path;
    if (handle == INVALID_HANDLE_VALUE) Failed();
    ReleaseSRWLockExclusive(&g_tempLock);
    if (handle == INVALID_HANDLE_VALUE) return "";
    CloseHandle(handle);
    return Utf8FromWide(path);
}

void RemovePrivateFile() {
    AcquireSRWLockExclusive(&g_tempLock);
    RemovePrivateFiles();
    g_privatePath.clear();
    ReleaseSRWLockExclusive(&g_tempLock);
}

bool SyncTempFile(int fd) {
    // The new file already has the permissions its folder gives.
    return FlushFileBuffers(Handle(fd)) != 0 || Failed();
}

bool CommitTempFile(const std::string& target) {
    const std::wstring wide = LongPath(target);
    AcquireSRWLockExclusive(&g_tempLock);
    const bool moved = MoveFileExW(g_tempPath, wide.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    if (moved) g_haveTemp = false;
    if (!moved) Failed();
    ReleaseSRWLockExclusive(&g_tempLock);
    return moved;
}

void RemoveFile(const std::string& path) {
    DeleteFileW(LongPath(path).c_str());
}

void DiscardTempFile() {
    AcquireSRWLockExclusive(&g_tempLock);
    if (g_haveTemp) DeleteFileW(g_tempPath);
    g_haveTemp = false;
    ReleaseSRWLockExclusive(&g_tempLock);
}

bool ReadFromDevice(int fd, const std::function<void(const uint8_t* bytes, size_t length)>& take) {
    // A second handle that bypasses the cache, so every read goes to the device.
    // Its reads must be whole sectors into aligned memory: 1 MiB of pages is both.
    const HANDLE file = ReOpenFile(Handle(fd), GENERIC_READ, kShareAll, FILE_FLAG_NO_BUFFERING | FILE_FLAG_SEQUENTIAL_SCAN);
    if (file == INVALID_HANDLE_VALUE) return Failed();
    constexpr DWORD kChunk = 1 << 20;
    auto* buffer = static_cast<uint8_t*>(VirtualAlloc(nullptr, kChunk, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    bool ok = buffer != nullptr || Failed();
    while (ok) {
        DWORD got = 0;
        ok = ReadFile(file, buffer, kChunk, &got, nullptr) != 0 || Failed();
        if (!ok || got == 0) break;
        take(buffer, got);
    }
    if (buffer != nullptr) VirtualFree(buffer, 0, MEM_RELEASE);
    CloseHandle(file);
    return ok;
}


std::string DefaultInstallation() {
    // vorlasta-pack.exe copied into an installation moves that installation.
    const std::wstring self =
        Buffered([](wchar_t* text, DWORD size) { return GetModuleFileNameW(nullptr, text, size); });
    const std::string folder = Utf8FromWide(self.substr(0, self.find_last_of(L'\\') + 1));
    if (!folder.empty() && KindOfPath(folder + "Vorlasta.exe") == PathKind::File &&
        KindOfPath(folder + "python") == PathKind::Folder && KindOfPath(folder + "app") == PathKind::Folder) {
        return folder.substr(0, folder.size() - 1);
    }
    std::string local;
    return Environment("LOCALAPPDATA", local) && !local.empty() ? local + "\\Vorlasta" : "";
}

HoldResult HoldAgainstWriters(const std::string& path, int& fd) {
    // Shared for reading only: this fails while Vorlasta has the file open
    // for writing, and while it stays open Vorlasta cannot open it so.
    const HANDLE handle =
        CreateFileW(LongPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
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

std::vector<std::string> OtherRunningPrograms() {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return {};
    const DWORD self = GetCurrentProcessId();
    DWORD parent = 0;
    std::vector<std::pair<DWORD, std::string>> running;
    PROCESSENTRY32W process = {};
    process.dwSize = sizeof process;
    std::wstring image(32768, L'\0');
    for (BOOL more = Process32FirstW(snapshot, &process); more; more = Process32NextW(snapshot, &process)) {
        if (process.th32ProcessID == self) parent = process.th32ParentProcessID;
        const HANDLE handle = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process.th32ProcessID);
        if (handle == nullptr) continue;
        DWORD size = static_cast<DWORD>(image.size());
        if (QueryFullProcessImageNameW(handle, 0, image.data(), &size)) {
            running.emplace_back(process.th32ProcessID, Utf8FromWide(std::wstring_view(image.data(), size)));
        }
        CloseHandle(handle);
    }
    CloseHandle(snapshot);
    std::vector<std::string> images;
    for (auto& [id, path] : running) {
        if (id != self && id != parent) images.push_back(std::move(path));
    }
    return images;
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
    line = Utf8FromWide(typed);
    SecureZeroMemory(typed.data(), typed.size() * sizeof(wchar_t));
    SecureZeroMemory(buffer, sizeof buffer);
    return true;
}

}  // namespace platform
