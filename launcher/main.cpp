#include <windows.h>

#include "common/dll_hardening.h"
#include "launcher/run_launcher.h"

// The entry point hands over the tail found by FindArgumentTail.
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR argumentTail, int) {
    RestrictDllSearchToSystem32();
    return RunLauncher(instance, argumentTail);
}
