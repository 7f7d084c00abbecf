#include "launcher/run_launcher.h"

#include "common/format_bounded.h"
#include "common/show_error.h"
#include "launcher/command_line.h"

namespace {

constexpr DWORD kWatchMilliseconds = 4000;

bool Exists(const wchar_t* path) {
    // Any attributes mean present, a folder's included.
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

int RunLauncher(HINSTANCE, const wchar_t* argumentTail) {
    wchar_t dir[kOwnPathCapacity];
    if (GetModuleFileNameW(nullptr, dir, kOwnPathCapacity) == 0) return 1;
    // A path cut at the capacity is used as it comes, but always terminated.
    dir[kOwnPathCapacity - 1] = L'\0';
    CutAtLastBackslash(dir);

    wchar_t interpreter[kChildPathCapacity];
    wchar_t script[kChildPathCapacity];
    FormatBounded(interpreter, L"%ls\\python\\pythonw.exe", dir);
    FormatBounded(script, L"%ls\\app\\main.py", dir);
    if (!Exists(interpreter) || !Exists(script)) {
        ShowError(L"The 'python' or 'app' folder is missing next to this program.\n\n"
                  L"Reinstall Vorlasta with Vorlasta-Setup.exe.");
        return 1;
    }

    // CreateProcessW may write into the line, so it gets this buffer itself.
    wchar_t commandLine[kCommandLineCapacity];
    BuildLauncherCommandLine(interpreter, script, argumentTail, commandLine);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, dir,
                        &startup, &process)) {
        ShowError(L"Could not start Vorlasta.");
        return 1;
    }
    CloseHandle(process.hThread);

    // Only an early exit is watched; after that the application runs on its own.
    if (WaitForSingleObject(process.hProcess, kWatchMilliseconds) == WAIT_OBJECT_0) {
        DWORD status = 0;
        GetExitCodeProcess(process.hProcess, &status);
        if (status != 0) {
            wchar_t message[kMessageCapacity];
            FormatBounded(message, L"Vorlasta stopped with an error.\n\nDetails are in:\n%ls\\data\\app.log", dir);
            ShowError(message);
        }
    }
    CloseHandle(process.hProcess);
    return 0;
}
