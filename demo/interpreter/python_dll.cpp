// Stands in for the interpreter DLL of the embeddable distribution
// (python312.dll beside pythonw.exe): the demo interpreter imports it, so
// the demo payload is laid out, and loads, as a real one does.
#include <windows.h>

extern "C" BOOL WINAPI DllEntry(HINSTANCE, DWORD, void*) {
    return TRUE;
}

extern "C" __declspec(dllexport) const wchar_t* DemoInterpreterName() {
    return L"python312.dll (the demo interpreter DLL)";
}
