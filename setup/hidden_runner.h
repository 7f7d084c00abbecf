#pragma once
#include <windows.h>

#include "setup/quoting.h"

// Starts a program without a window, waits up to timeoutMs and returns its
// exit status: -1 when it could not start, 259 when it was still running at
// the time-out (it is ended, and gone, before the return), 1 when the status
// could not be read. applicationName, when given, is the full path of the
// program, so no search can pick another one.
int RunHidden(const wchar_t* applicationName, const wchar_t* commandLine, DWORD timeoutMs);
