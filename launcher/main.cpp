#include <windows.h>

#include "common/dll_hardening.h"
#include "launcher/command_line.h"
#include "launcher/run_launcher.h"

// The tail comes from the full command line by our own scanner: the startup
// code's lpCmdLine can end the program name elsewhere.
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    RestrictDllSearchToSystem32();
    return RunLauncher(instance, FindArgumentTail(GetCommandLineW()));
}
