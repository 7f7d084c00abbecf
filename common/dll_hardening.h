#pragma once
#include <windows.h>

// Restricts DLL loading to the system folder, so a DLL planted next to the
// program (a Downloads folder, say) is never loaded. Looked up at run time
// because Windows 7 without KB2533623 lacks the call.
inline void RestrictDllSearchToSystem32() {
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    auto setDirectories = reinterpret_cast<SetDefaultDllDirectoriesFn>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
    if (setDirectories) setDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}
