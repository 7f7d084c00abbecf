#include "setup/progress_window.h"

#include <shellapi.h>

#include "common/format_bounded.h"
#include "common/show_error.h"
#include "setup/install_worker.h"
#include "setup/setup_state.h"
#include "setup/trailer.h"

namespace {

constexpr wchar_t kClassName[] = L"VorlastaSfx";

LRESULT CALLBACK ProgressWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CLOSE:
            // Alt+F4 or another program's close would end the setup while the
            // worker, or a tar it started, still writes: only the worker's counts.
            if (InterlockedCompareExchange(&g_installOutcome.WorkerDone, 0, 0)) DestroyWindow(window);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

// The font message boxes use, rather than the old bitmap system font.
HFONT CreateMessageFont() {
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) return nullptr;
    return CreateFontIndirectW(&metrics.lfMessageFont);
}

void RunMessageLoop(HWND window) {
    MSG message;
    for (;;) {
        const BOOL result = GetMessageW(&message, nullptr, 0, 0);
        if (result == -1) return;
        // A quit another program posts to this thread must not end the install
        // mid-way, nor leave the worker's close queued for the error box's loop:
        // only the window's own end, after the worker's signal, counts.
        if (result == 0) {
            if (!IsWindow(window)) return;
            continue;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

}  // namespace

int RunProgressWindow(HINSTANCE instance) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = ProgressWndProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_WAIT);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = kClassName;
    RegisterClassW(&windowClass);

    int x, y;
    ProgressOrigin(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN), x, y);
    HWND window = CreateWindowExW(WS_EX_TOPMOST, kClassName, L"Vorlasta", WS_VISIBLE | WS_CAPTION, x, y,
                                  kProgressWidth, kProgressHeight, nullptr, nullptr, instance, nullptr);
    g_installOutcome.Window = window;

    HFONT font = nullptr;
    bool started = false;
    // Without the window the worker's close would reach nobody: start no worker.
    if (window) {
        const wchar_t* label = g_setupState.Mode == kModeMove
                                   ? L"Moving Vorlasta and your data to this PC...\nPlease wait, this can take a minute."
                                   : L"Installing Vorlasta...\nPlease wait, this can take a minute.";
        font = CreateMessageFont();
        HWND labelWindow = CreateWindowExW(0, L"STATIC", label, WS_CHILD | WS_VISIBLE | SS_CENTER, 10, 30, 390, 50,
                                           window, nullptr, instance, nullptr);
        if (font) SendMessageW(labelWindow, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
        // The worker's handle is not kept: the worker ends with the process.
        started = CreateThread(nullptr, 0, InstallWorker, nullptr, 0, nullptr) != nullptr;
    }
    if (started) {
        RunMessageLoop(window);
    } else {
        // Nobody would ever close the window: give up now, leaving nothing behind.
        if (window) DestroyWindow(window);
        MSG quit;
        PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);  // or the error box would close at once
        DeleteFileW(g_setupState.TempArchivePath);
    }
    if (font) DeleteObject(font);

    if (g_installOutcome.Succeeded) {
        wchar_t launchPath[kPathCapacity];
        FormatBounded(launchPath, L"%ls\\Vorlasta.exe", g_setupState.InstallDir);
        ShellExecuteW(nullptr, L"open", launchPath, nullptr, g_setupState.InstallDir, SW_SHOWNORMAL);
        return 0;
    }
    ShowError(g_installOutcome.ErrorText[0] != L'\0' ? g_installOutcome.ErrorText : L"Something went wrong.");
    return 1;
}
