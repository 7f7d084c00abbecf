// A window hook that a test sets on the setup program's main thread: it
// refuses the progress window, as a desktop out of window resources would.
#include <windows.h>

extern "C" __declspec(dllexport) LRESULT CALLBACK RefuseProgressWindow(int code, WPARAM wParam, LPARAM lParam) {
    wchar_t name[32];
    if (code == HCBT_CREATEWND && GetClassNameW(reinterpret_cast<HWND>(wParam), name, 32) &&
        lstrcmpW(name, L"VorlastaSfx") == 0)
        return 1;
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
