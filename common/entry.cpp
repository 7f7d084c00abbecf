// Process entry point of both programs. They keep no C runtime state, so the
// runtime's start-up code is left out, which keeps them small. The program's
// logic gets the command-line tail by the launcher's rule, not the runtime's.
#include <windows.h>

#include "common/argument_tail.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR commandLine, int showCommand);

extern "C" void ProgramEntry() {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    GetStartupInfoW(&startup);
    const int show = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : SW_SHOWDEFAULT;
    ExitProcess(static_cast<UINT>(wWinMain(GetModuleHandleW(nullptr), nullptr, const_cast<PWSTR>(FindArgumentTail(GetCommandLineW())), show)));
}
