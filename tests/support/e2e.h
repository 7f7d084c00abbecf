#pragma once
// Drives the real programs under Wine: files, child processes with a chosen
// environment, their message boxes, and setup files to feed them.
#include <windows.h>

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace e2e {

// ---- Files -----------------------------------------------------------------
std::wstring TestBinDir();  // folder of the running test program
std::wstring Join(const std::wstring& folder, const std::wstring& name);
std::wstring NewScratchDir(const std::wstring& name);  // fresh and empty, below C:\vorlasta-e2e
bool MakeDirs(const std::wstring& path);
bool WriteBytes(const std::wstring& path, const std::string& bytes);
std::string ReadBytes(const std::wstring& path);
bool Exists(const std::wstring& path);
bool IsDirectory(const std::wstring& path);
std::wstring ShortPath(const std::wstring& path);  // its 8.3 form; empty when there is none
void RemoveTree(const std::wstring& path);
std::vector<std::wstring> ListNames(const std::wstring& folder, const std::wstring& pattern = L"*");
// Every file below `folder` by its path below it, and every folder as that path and "\\" (no bytes).
std::map<std::wstring, std::string> Files(const std::wstring& folder, const std::wstring& below = L"");
std::string RandomBytes(size_t count, unsigned seed);  // the same bytes for the same seed
std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);

// ---- Processes ---------------------------------------------------------------
struct EnvChange {
    std::wstring name;
    std::optional<std::wstring> value;  // nullopt removes the variable
};

// The current environment with the changes made, as a CreateProcessW block.
std::wstring BuildEnvironmentBlock(const std::vector<EnvChange>& changes);

class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();  // a child still running is ended: tests leave nothing behind

    // outputFile, when given, takes the child's standard output and error;
    // inputFile then gives its standard input.
    bool Start(const std::wstring& commandLine, const std::vector<EnvChange>& env = {},
               const std::wstring& currentDirectory = L"", const std::wstring& outputFile = L"",
               const std::wstring& inputFile = L"");
    DWORD Pid() const { return pid_; }
    HANDLE Handle() const { return process_; }
    bool WaitExit(DWORD timeoutMs);  // true once it has ended
    bool Running() const;
    DWORD ExitCode() const;
    void Kill();

private:
    HANDLE process_ = nullptr;
    DWORD pid_ = 0;
};

std::wstring Quote(const std::wstring& path);  // "path"

// ---- Message boxes -----------------------------------------------------------
enum class BoxIcon { None, Error, Question, Warning, Information, Unknown };
const char* IconName(BoxIcon icon);

struct MessageBoxSeen {
    HWND window = nullptr;
    std::wstring caption;
    std::wstring text;
    bool hasOk = false;
    bool hasCancel = false;
    int buttonCount = 0;
    BoxIcon icon = BoxIcon::None;
};

// Waits for a message box (#32770) of the process; nullopt when the process
// ends first or the time runs out.
std::optional<MessageBoxSeen> WaitForMessageBox(const ChildProcess& process, DWORD timeoutMs);
void Press(const MessageBoxSeen& box, int buttonId);

// Runs a program to its end, answering its message boxes in order with the
// given button ids (IDOK, IDCANCEL); a box beyond the answers is answered OK
// and still recorded, so the test sees it. typed[i], when not empty, is put
// in the edit control of box i first (a password box).
struct RunResult {
    bool ended = false;
    DWORD exitCode = 0;
    std::vector<MessageBoxSeen> boxes;
};
RunResult RunAnswering(ChildProcess& process, const std::vector<int>& answers, DWORD timeoutMs = 120000,
                       const std::vector<std::wstring>& typed = {});

// A visible top-level window of the class that the process owns, or nullptr.
HWND FindTopWindow(DWORD pid, const wchar_t* className);
// The same, waited for.
HWND WaitForWindow(const ChildProcess& process, const wchar_t* className, DWORD timeoutMs);
std::wstring TextOf(HWND window);
// Process ids of running programs with this file name (as "tar.exe").
std::vector<DWORD> ProcessesNamed(const wchar_t* exeName);

// ---- Shell and registry -------------------------------------------------------
struct Shortcut {
    bool loaded = false;
    std::wstring target, workingDirectory, iconPath, description;
    int iconIndex = -1;
};
Shortcut ReadShortcut(const std::wstring& path);
std::wstring FolderPath(int csidl);  // as [Environment]::GetFolderPath gives it

struct RegistryValue {
    bool present = false;
    DWORD type = 0;
    std::wstring text;
    DWORD number = 0;
};
RegistryValue ReadRegistryValue(HKEY root, const wchar_t* key, const wchar_t* name);
void DeleteRegistryTree(HKEY root, const wchar_t* key);

// ---- Setup files ---------------------------------------------------------------
std::string SetupProgramImage();  // the bare Vorlasta-Setup.exe the build made
std::string Trailer(long long payloadOffset, int mode, const char (&magic)[9] = "VRSFX001");
// image + payload + trailer pointing at the payload
std::string SetupFile(const std::string& payload, int mode);

// A ZIP archive of stored entries with UTF-8 names (flag bit 11); names ending
// in '/' are folders.
std::string MakeZip(const std::vector<std::pair<std::string, std::string>>& entries);

}  // namespace e2e
