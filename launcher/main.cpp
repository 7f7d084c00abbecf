#include <windows.h>

#include "common/dll_hardening.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    RestrictDllSearchToSystem32();
    return 1;
}
