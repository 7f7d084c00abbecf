#pragma once
#include <windows.h>

// Finds and copies the payload, asks for confirmation, and on OK runs the
// installation. Returns the process's exit status.
int RunSetup(HINSTANCE instance);
