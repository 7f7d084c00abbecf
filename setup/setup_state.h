#pragma once
#include <stdint.h>
#include <windows.h>

constexpr int kPathCapacity = 260;
constexpr int kErrorTextCapacity = 600;

template <int N>
constexpr int TextLength(const wchar_t (&)[N]) { return N - 1; }

// InstallDir is LOCALAPPDATA followed by kInstallDirSuffix. The longest path
// built inside it is a move's aside folder: the prefix below and a 15-unit
// stamp (YYYYMMDD-HHMMSS). LOCALAPPDATA gets what that leaves of a path buffer.
constexpr wchar_t kInstallDirSuffix[] = L"\\Vorlasta";
constexpr wchar_t kAsideFolderPrefix[] = L"\\data-before-move-";
constexpr int kStampLength = 15;
constexpr int kMaxLocalAppDataLength =
    kPathCapacity - 1 - TextLength(kInstallDirSuffix) - TextLength(kAsideFolderPrefix) - kStampLength;
// An update's old program waits under this prefix and the stamp until the new
// one is in place; the limit above covers it too.
constexpr wchar_t kProgramAsidePrefix[] = L"\\program-before-";
static_assert(TextLength(kProgramAsidePrefix) <= TextLength(kAsideFolderPrefix), "the aside program's path fits");

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
// WorkerDone: set by the worker (InterlockedExchange) after the outcome and just
// before its WM_CLOSE, so the window can tell that close from any sent by someone
// else; read with InterlockedCompareExchange, so the outcome is seen complete.
struct InstallOutcome {
    HWND Window;
    wchar_t ErrorText[kErrorTextCapacity];
    LONG Succeeded;
    volatile LONG WorkerDone;
};

extern SetupState g_setupState;
extern InstallOutcome g_installOutcome;
