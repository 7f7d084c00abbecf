#include <windows.h>

#include "common/dll_hardening.h"
#include "setup/run_setup.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    RestrictDllSearchToSystem32();
    return RunSetup(instance);
}
