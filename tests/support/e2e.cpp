#include "tests/support/e2e.h"

#include <stdint.h>
#include <string.h>

#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <tlhelp32.h>

#include <algorithm>
#include <map>
#include <random>

namespace e2e {

// ---- Files -----------------------------------------------------------------

std::wstring TestBinDir() {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring full(path, n);
    return full.substr(0, full.find_last_of(L'\\'));
}

std::wstring Join(const std::wstring& folder, const std::wstring& name) {
    if (!folder.empty() && folder.back() == L'\\') return folder + name;
    return folder + L"\\" + name;
}

bool MakeDirs(const std::wstring& path) {
    if (IsDirectory(path)) return true;
    size_t cut = path.find_last_of(L'\\');
    if (cut != std::wstring::npos && cut > 2) MakeDirs(path.substr(0, cut));
    return CreateDirectoryW(path.c_str(), nullptr) || IsDirectory(path);
}

std::wstring NewScratchDir(const std::wstring& name) {
    static unsigned counter = 0;
    std::wstring path = L"C:\\vorlasta-e2e\\" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                        std::to_wstring(++counter) + L"-" + name;
    RemoveTree(path);
    MakeDirs(path);
    return path;
}

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    size_t done = 0;
    bool ok = true;
    while (ok && done < bytes.size()) {
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 24));
        DWORD written = 0;
        ok = WriteFile(file, bytes.data() + done, chunk, &written, nullptr) && written == chunk;
        done += written;
    }
    CloseHandle(file);
    return ok;
}

// Reads to the end rather than trusting the size: /proc files report 0.
std::string ReadBytes(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {};
    LARGE_INTEGER size{};
    GetFileSizeEx(file, &size);
    std::string bytes;
    bytes.reserve(static_cast<size_t>(size.QuadPart));
    std::vector<char> buffer(1 << 20);
    DWORD got = 0;
    while (ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) && got > 0)
        bytes.append(buffer.data(), got);
    CloseHandle(file);
    return bytes;
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring ShortPath(const std::wstring& path) {
    wchar_t out[MAX_PATH];
    const DWORD length = GetShortPathNameW(path.c_str(), out, MAX_PATH);
    return length == 0 || length >= MAX_PATH ? std::wstring() : std::wstring(out, length);
}

bool IsDirectory(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void RemoveTree(const std::wstring& path) {
    if (!IsDirectory(path)) {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
        return;
    }
    for (const std::wstring& name : ListNames(path)) RemoveTree(Join(path, name));
    RemoveDirectoryW(path.c_str());
}

std::vector<std::wstring> ListNames(const std::wstring& folder, const std::wstring& pattern) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(Join(folder, pattern).c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
}

std::map<std::wstring, std::string> Files(const std::wstring& folder, const std::wstring& below) {
    std::map<std::wstring, std::string> files;
    for (const std::wstring& name : ListNames(Join(folder, below))) {
        const std::wstring path = below.empty() ? name : Join(below, name);
        if (IsDirectory(Join(folder, path))) files.merge(Files(folder, path)), files[path + L"\\"];
        if (!IsDirectory(Join(folder, path))) files[path] = ReadBytes(Join(folder, path));
    }
    return files;
}

std::string RandomBytes(size_t count, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(count, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
}

std::string ToUtf8(const std::wstring& text) {
    if (text.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

std::wstring FromUtf8(const std::string& text) {
    if (text.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
    return out;
}

// ---- Processes ---------------------------------------------------------------

namespace {

// Environment names compare without regard to case, as Windows does.
struct NoCaseLess {
    bool operator()(const std::wstring& a, const std::wstring& b) const {
        return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_LESS_THAN;
    }
};

}  // namespace

std::wstring BuildEnvironmentBlock(const std::vector<EnvChange>& changes) {
    std::map<std::wstring, std::wstring, NoCaseLess> variables;
    wchar_t* block = GetEnvironmentStringsW();
    for (const wchar_t* p = block; *p; p += wcslen(p) + 1) {
        std::wstring entry = p;
        size_t eq = entry.find(L'=', 1);  // "=C:=C:\x" entries start with '='
        if (eq == std::wstring::npos) continue;
        variables[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    FreeEnvironmentStringsW(block);
    for (const EnvChange& change : changes) {
        if (change.value) {
            variables[change.name] = *change.value;
        } else {
            variables.erase(change.name);
        }
    }
    std::wstring out;
    for (const auto& [name, value] : variables) {
        out += name + L"=" + value;
        out.push_back(L'\0');
    }
    out.push_back(L'\0');
    return out;
}


std::wstring Quote(const std::wstring& path) {
    return L"\"" + path + L"\"";
}

ChildProcess::~ChildProcess() {
    if (process_) {
        Kill();
        CloseHandle(process_);
    }
}

bool ChildProcess::Start(const std::wstring& commandLine, const std::vector<EnvChange>& env,
                         const std::wstring& currentDirectory, const std::wstring& outputFile,
                         const std::wstring& inputFile) {
    std::wstring environment = BuildEnvironmentBlock(env);
    std::vector<wchar_t> command(commandLine.begin(), commandLine.end());
    command.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    HANDLE output = outputFile.empty() ? nullptr : CreateFileW(outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                                               &inherited, CREATE_ALWAYS, 0, nullptr);
    startup.dwFlags = output ? STARTF_USESTDHANDLES : 0;
    startup.hStdOutput = startup.hStdError = output;
    startup.hStdInput = inputFile.empty() ? nullptr : CreateFileW(inputFile.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                                                  &inherited, OPEN_EXISTING, 0, nullptr);
    PROCESS_INFORMATION info{};
    const BOOL started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, output != nullptr,
                                        CREATE_UNICODE_ENVIRONMENT, environment.data(),
                                        currentDirectory.empty() ? nullptr : currentDirectory.c_str(), &startup, &info);
    if (output) CloseHandle(output);
    if (startup.hStdInput) CloseHandle(startup.hStdInput);
    if (!started) return false;
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    pid_ = info.dwProcessId;
    return true;
}

bool ChildProcess::WaitExit(DWORD timeoutMs) {
    return process_ && WaitForSingleObject(process_, timeoutMs) == WAIT_OBJECT_0;
}

bool ChildProcess::Running() const {
    return process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

DWORD ChildProcess::ExitCode() const {
    DWORD code = 0xDEADBEEF;
    if (process_) GetExitCodeProcess(process_, &code);
    return code;
}

void ChildProcess::Kill() {
    if (Running()) {
        TerminateProcess(process_, 9);
        WaitForSingleObject(process_, 10000);
    }
}

// ---- Message boxes -----------------------------------------------------------

const char* IconName(BoxIcon icon) {
    switch (icon) {
        case BoxIcon::None: return "none";
        case BoxIcon::Error: return "error";
        case BoxIcon::Question: return "question";
        case BoxIcon::Warning: return "warning";
        case BoxIcon::Information: return "information";
        case BoxIcon::Unknown: return "unknown";
    }
    return "?";
}

namespace {

constexpr int kTextId = 0xFFFF;
constexpr int kIconId = 0x0440;  // the message box's icon control

struct FindWindowOf {
    DWORD pid;
    const wchar_t* className;
    HWND found;
};

BOOL CALLBACK FindWindowOfProcess(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<FindWindowOf*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    wchar_t className[64];
    if (pid == search->pid && IsWindowVisible(window) && GetClassNameW(window, className, 64) &&
        wcscmp(className, search->className) == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

// Asked of the window itself: GetWindowText does not ask other processes' controls.
std::wstring WindowText(HWND window) {
    static wchar_t text[16384];
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, 16384, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000,
                             &copied)) {
        return {};
    }
    return std::wstring(text, static_cast<size_t>(copied));
}

using Pixels = std::vector<COLORREF>;

// The pixels of a screen rectangle, as the user sees them.
Pixels Capture(const RECT& r) {
    const int w = r.right - r.left, h = r.bottom - r.top;
    Pixels pixels(static_cast<size_t>(w) * h);
    HDC screen = GetDC(nullptr);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) pixels[static_cast<size_t>(y) * w + x] = GetPixel(screen, r.left + x, r.top + y);
    ReleaseDC(nullptr, screen);
    return pixels;
}

// A system icon drawn on the given background, as a message box would show it.
Pixels Render(LPCWSTR iconId, int w, int h, COLORREF background) {
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, w, h);
    HGDIOBJ old = SelectObject(dc, bitmap);
    HBRUSH brush = CreateSolidBrush(background);
    RECT all{0, 0, w, h};
    FillRect(dc, &all, brush);
    DrawIconEx(dc, 0, 0, LoadIconW(nullptr, iconId), w, h, 0, nullptr, DI_NORMAL);
    Pixels pixels(static_cast<size_t>(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) pixels[static_cast<size_t>(y) * w + x] = GetPixel(dc, x, y);
    SelectObject(dc, old);
    DeleteObject(brush);
    DeleteObject(bitmap);
    DeleteDC(dc);
    ReleaseDC(nullptr, screen);
    return pixels;
}

long long Distance(const Pixels& a, const Pixels& b) {
    long long sum = 0;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
        sum += std::abs(GetRValue(a[i]) - GetRValue(b[i])) + std::abs(GetGValue(a[i]) - GetGValue(b[i])) +
               std::abs(GetBValue(a[i]) - GetBValue(b[i]));
    }
    return sum;
}

// Which system icon the box shows: its pixels compared with each candidate
// drawn here on the same background.
BoxIcon ClassifyIcon(HWND box) {
    HWND icon = GetDlgItem(box, kIconId);
    if (!icon || !IsWindowVisible(icon)) return BoxIcon::None;
    RECT r;
    GetWindowRect(icon, &r);
    const int w = r.right - r.left, h = r.bottom - r.top;
    if (w <= 0 || h <= 0) return BoxIcon::None;
    const std::pair<LPCWSTR, BoxIcon> candidates[] = {{IDI_HAND, BoxIcon::Error},
                                                       {IDI_QUESTION, BoxIcon::Question},
                                                       {IDI_EXCLAMATION, BoxIcon::Warning},
                                                       {IDI_ASTERISK, BoxIcon::Information}};
    // The box may not have painted yet: try for a while.
    for (int attempt = 0; attempt < 40; ++attempt) {
        Pixels seen = Capture(r);
        COLORREF background = seen[0];
        BoxIcon best = BoxIcon::Unknown;
        long long bestDistance = -1;
        for (const auto& [id, kind] : candidates) {
            long long d = Distance(seen, Render(id, w, h, background));
            if (bestDistance < 0 || d < bestDistance) {
                bestDistance = d;
                best = kind;
            }
        }
        // Allow a little difference from anti-aliasing; a wrong icon differs by far more.
        if (bestDistance <= static_cast<long long>(w) * h * 6) return best;
        Sleep(50);
    }
    return BoxIcon::Unknown;
}

}  // namespace

HWND FindTopWindow(DWORD pid, const wchar_t* className) {
    FindWindowOf search{pid, className, nullptr};
    EnumWindows(FindWindowOfProcess, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::optional<MessageBoxSeen> WaitForMessageBox(const ChildProcess& process, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        const HWND found = FindTopWindow(process.Pid(), L"#32770");
        if (found) {
            // Let the box finish creating its controls.
            Sleep(100);
            MessageBoxSeen box;
            box.window = found;
            box.caption = WindowText(found);
            HWND text = GetDlgItem(found, kTextId);
            box.text = text ? WindowText(text) : L"";
            for (int id = IDOK; id <= IDHELP; ++id) {
                HWND button = GetDlgItem(found, id);
                if (button && IsWindowVisible(button)) ++box.buttonCount;
            }
            box.hasOk = GetDlgItem(found, IDOK) != nullptr;
            box.hasCancel = GetDlgItem(found, IDCANCEL) != nullptr;
            box.icon = ClassifyIcon(found);
            return box;
        }
        if (!process.Running() || GetTickCount64() > deadline) return std::nullopt;
        Sleep(50);
    }
}

void Press(const MessageBoxSeen& box, int buttonId) {
    PostMessageW(box.window, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(box.window, buttonId)));
}

RunResult RunAnswering(ChildProcess& process, const std::vector<int>& answers, DWORD timeoutMs,
                       const std::vector<std::wstring>& typed) {
    RunResult result;
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (GetTickCount64() < deadline) {
        const DWORD left = static_cast<DWORD>(deadline - GetTickCount64());
        std::optional<MessageBoxSeen> box = WaitForMessageBox(process, left);
        if (!box) break;
        const size_t index = result.boxes.size();
        result.boxes.push_back(*box);
        if (index < typed.size() && !typed[index].empty()) {
            SendMessageW(FindWindowExW(box->window, nullptr, L"Edit", nullptr), WM_SETTEXT, 0,
                         reinterpret_cast<LPARAM>(typed[index].c_str()));
        }
        Press(*box, index < answers.size() ? answers[index] : IDOK);
        // Wait for this box to go before looking for the next one.
        for (int i = 0; i < 200 && IsWindow(box->window); ++i) Sleep(25);
    }
    result.ended = process.WaitExit(static_cast<DWORD>(std::max<LONGLONG>(
        0, static_cast<LONGLONG>(deadline) - static_cast<LONGLONG>(GetTickCount64()))));
    if (result.ended) result.exitCode = process.ExitCode();
    return result;
}


HWND WaitForWindow(const ChildProcess& process, const wchar_t* className, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        if (HWND found = FindTopWindow(process.Pid(), className)) return found;
        if (!process.Running() || GetTickCount64() > deadline) return nullptr;
        Sleep(20);
    }
}

std::wstring TextOf(HWND window) {
    return WindowText(window);
}

std::vector<DWORD> ProcessesNamed(const wchar_t* exeName) {
    std::vector<DWORD> pids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (_wcsicmp(entry.szExeFile, exeName) == 0) pids.push_back(entry.th32ProcessID);
    }
    CloseHandle(snapshot);
    return pids;
}

// ---- Shell and registry -------------------------------------------------------

Shortcut ReadShortcut(const std::wstring& path) {
    Shortcut shortcut;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    IShellLinkW* link = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                   reinterpret_cast<void**>(&link)))) {
        IPersistFile* file = nullptr;
        if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
            if (SUCCEEDED(file->Load(path.c_str(), STGM_READ))) {
                wchar_t text[MAX_PATH * 2];
                shortcut.loaded = true;
                // The target from its item list: Wine keeps only an ANSI copy of the plain path.
                LPITEMIDLIST items = nullptr;
                if (SUCCEEDED(link->GetIDList(&items)) && items) {
                    if (SHGetPathFromIDListW(items, text)) shortcut.target = text;
                    CoTaskMemFree(items);
                }
                if (shortcut.target.empty() && SUCCEEDED(link->GetPath(text, MAX_PATH * 2, nullptr, SLGP_RAWPATH)))
                    shortcut.target = text;
                if (SUCCEEDED(link->GetWorkingDirectory(text, MAX_PATH * 2))) shortcut.workingDirectory = text;
                if (SUCCEEDED(link->GetIconLocation(text, MAX_PATH * 2, &shortcut.iconIndex))) shortcut.iconPath = text;
                if (SUCCEEDED(link->GetDescription(text, MAX_PATH * 2))) shortcut.description = text;
            }
            file->Release();
        }
        link->Release();
    }
    CoUninitialize();
    return shortcut;
}

std::wstring FolderPath(int csidl) {
    wchar_t path[MAX_PATH];
    if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path))) return {};
    return path;
}

RegistryValue ReadRegistryValue(HKEY root, const wchar_t* key, const wchar_t* name) {
    RegistryValue value;
    HKEY opened;
    if (RegOpenKeyExW(root, key, 0, KEY_READ, &opened) != ERROR_SUCCESS) return value;
    BYTE data[4096];
    DWORD size = sizeof data - sizeof(wchar_t);
    if (RegQueryValueExW(opened, name, nullptr, &value.type, data, &size) == ERROR_SUCCESS) {
        value.present = true;
        if (value.type == REG_SZ || value.type == REG_EXPAND_SZ) {
            std::wstring text(reinterpret_cast<wchar_t*>(data), size / sizeof(wchar_t));
            while (!text.empty() && text.back() == L'\0') text.pop_back();
            value.text = text;
        } else if (value.type == REG_DWORD && size == 4) {
            memcpy(&value.number, data, 4);
        }
    }
    RegCloseKey(opened);
    return value;
}

void DeleteRegistryTree(HKEY root, const wchar_t* key) {
    RegDeleteTreeW(root, key);
    RegDeleteKeyW(root, key);
}

// ---- Setup files ---------------------------------------------------------------

std::string SetupProgramImage() {
    static const std::string image = ReadBytes(Join(TestBinDir(), L"Vorlasta-Setup.exe"));
    return image;
}

std::string Trailer(long long payloadOffset, int mode, const char (&magic)[9]) {
    std::string t(20, '\0');
    const uint64_t offset = static_cast<uint64_t>(payloadOffset);
    for (int i = 0; i < 8; ++i) t[i] = static_cast<char>(offset >> (8 * i));
    const uint32_t m = static_cast<uint32_t>(mode);
    for (int i = 0; i < 4; ++i) t[8 + i] = static_cast<char>(m >> (8 * i));
    memcpy(&t[12], magic, 8);
    return t;
}

std::string SetupFile(const std::string& payload, int mode) {
    const std::string& image = SetupProgramImage();
    return image + payload + Trailer(static_cast<long long>(image.size()), mode);
}

namespace {

uint32_t Crc32(const std::string& data) {
    static uint32_t table[256];
    static bool ready = false;
    if (!ready) {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[i] = c;
        }
        ready = true;
    }
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : data) crc = table[(crc ^ byte) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

void Put16(std::string& out, uint32_t v) {
    out.push_back(static_cast<char>(v));
    out.push_back(static_cast<char>(v >> 8));
}

void Put32(std::string& out, uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

}  // namespace

std::string MakeZip(const std::vector<std::pair<std::string, std::string>>& entries) {
    constexpr uint32_t kUtf8Names = 1u << 11;
    constexpr uint32_t kDosTime = 0, kDosDate = (20 << 9) | (1 << 5) | 1;  // 2000-01-01
    std::string out, central;
    for (const auto& [name, data] : entries) {
        const uint32_t offset = static_cast<uint32_t>(out.size());
        const uint32_t crc = Crc32(data);
        const bool folder = !name.empty() && name.back() == '/';
        Put32(out, 0x04034b50);
        Put16(out, 20);
        Put16(out, kUtf8Names);
        Put16(out, 0);  // stored
        Put16(out, kDosTime);
        Put16(out, kDosDate);
        Put32(out, crc);
        Put32(out, static_cast<uint32_t>(data.size()));
        Put32(out, static_cast<uint32_t>(data.size()));
        Put16(out, static_cast<uint32_t>(name.size()));
        Put16(out, 0);
        out += name + data;

        Put32(central, 0x02014b50);
        Put16(central, 20);
        Put16(central, 20);
        Put16(central, kUtf8Names);
        Put16(central, 0);
        Put16(central, kDosTime);
        Put16(central, kDosDate);
        Put32(central, crc);
        Put32(central, static_cast<uint32_t>(data.size()));
        Put32(central, static_cast<uint32_t>(data.size()));
        Put16(central, static_cast<uint32_t>(name.size()));
        Put16(central, 0);
        Put16(central, 0);
        Put16(central, 0);
        Put16(central, 0);
        Put32(central, folder ? FILE_ATTRIBUTE_DIRECTORY : 0);
        Put32(central, offset);
        central += name;
    }
    const uint32_t centralOffset = static_cast<uint32_t>(out.size());
    out += central;
    Put32(out, 0x06054b50);
    Put16(out, 0);
    Put16(out, 0);
    Put16(out, static_cast<uint32_t>(entries.size()));
    Put16(out, static_cast<uint32_t>(entries.size()));
    Put32(out, static_cast<uint32_t>(central.size()));
    Put32(out, centralOffset);
    Put16(out, 0);
    return out;
}

}  // namespace e2e
