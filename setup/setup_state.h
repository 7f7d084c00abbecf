#pragma once
#include <stdint.h>
#include <windows.h>

constexpr int kPathCapacity = 260;
constexpr int kErrorTextCapacity = 600;

// Written by RunSetup on the main thread before the worker exists; read-only after.
struct SetupState {
    wchar_t SelfPath[kPathCapacity];
    wchar_t InstallDir[kPathCapacity];
    wchar_t TempArchivePath[kPathCapacity];
    int32_t Mode;  // SetupMode: kModeMove, or anything else for Install
};

// Window: written by the main thread before the worker starts.
// ErrorText, Succeeded: written by the worker before it posts WM_CLOSE, read by
// the main thread after its message loop has ended. RunSetup also uses
// ErrorText for its own boxes, before any worker exists.
// WorkerDone: set by the worker, after the outcome and just before its WM_CLOSE,
// so the window can tell that close from any sent by someone else.
struct InstallOutcome {
    HWND Window;
    wchar_t ErrorText[kErrorTextCapacity];
    LONG Succeeded;
    volatile LONG WorkerDone;
};

extern SetupState g_setupState;
extern InstallOutcome g_installOutcome;
