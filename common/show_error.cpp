#include "show_error.h"

#include <windows.h>

void ShowError(const wchar_t* text) {
    MessageBoxW(nullptr, text, L"Vorlasta", MB_OK | MB_ICONERROR);
}
