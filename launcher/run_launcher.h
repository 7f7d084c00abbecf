#pragma once
#include <windows.h>

// Starts python\pythonw.exe with app\main.py from the launcher's folder,
// passing argumentTail on unchanged, and watches the first four seconds.
// Returns the process's exit status.
int RunLauncher(HINSTANCE instance, const wchar_t* argumentTail);
