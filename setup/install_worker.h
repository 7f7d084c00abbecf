#pragma once
#include <windows.h>

// The worker thread: stops running copies, sets old data aside in a move,
// unpacks, verifies, creates shortcuts and the uninstall entry, records the
// outcome and posts WM_CLOSE to the progress window as its last action.
DWORD WINAPI InstallWorker(LPVOID);
