#include "setup/hidden_runner.h"

int RunHidden(const wchar_t* applicationName, const wchar_t* commandLine, DWORD timeoutMs) {
    int status = 1;
    // CreateProcessW may write into the command line, so it gets its own copy.
    const size_t bytes = (lstrlenW(commandLine) + 1) * sizeof(wchar_t);
    HANDLE heap = GetProcessHeap();
    wchar_t* copy = static_cast<wchar_t*>(HeapAlloc(heap, 0, bytes));
    if (!copy) return -1;
    CopyMemory(copy, commandLine, bytes);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(applicationName, copy, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &process)) {
        HeapFree(heap, 0, copy);
        return -1;
    }
    DWORD exitCode;
    if (WaitForSingleObject(process.hProcess, timeoutMs) != WAIT_OBJECT_0) {
        // Left running, an unpacker would keep writing beside the fallback or the
        // next run. Termination completes asynchronously: wait until it has.
        TerminateProcess(process.hProcess, STILL_ACTIVE);
        WaitForSingleObject(process.hProcess, INFINITE);
        status = STILL_ACTIVE;
    } else if (GetExitCodeProcess(process.hProcess, &exitCode)) {
        status = static_cast<int>(exitCode);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    HeapFree(heap, 0, copy);
    return status;
}
