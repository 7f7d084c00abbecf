// Stands in for the embedded Python in the demo payload: instead of running
// the script it shows what the launcher handed over, so a person can see the
// whole chain from setup to launcher to application work.
#include <windows.h>
#include <shellapi.h>

#include "common/format_bounded.h"

// From python312.dll beside this program, as the real interpreter loads its DLL.
extern "C" __declspec(dllimport) const wchar_t* DemoInterpreterName();

namespace {

constexpr wchar_t kClassName[] = L"VorlastaDemoInterpreter";
constexpr wchar_t kTitle[] = L"Vorlasta demo";
constexpr int kCloseId = IDOK;  // what Enter sends through IsDialogMessageW
constexpr int kMargin = 12;
constexpr int kButtonWidth = 96;
constexpr int kButtonHeight = 28;

// The report is built once; the launcher's line is at most 1819 units.
wchar_t g_report[8192];
HWND g_reportBox;
HWND g_closeButton;
HFONT g_font;

bool IsFile(const wchar_t* path) {
    const DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void BuildReport() {
    wchar_t currentDir[MAX_PATH + 1] = L"";
    GetCurrentDirectoryW(MAX_PATH + 1, currentDir);
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    const wchar_t* script = argv && argc > 1 ? argv[1] : L"(none given)";
    const wchar_t* found = argv && argc > 1 ? (IsFile(script) ? L"the file exists" : L"NOT FOUND") : L"";
    // An edit control breaks lines only at CR LF.
    FormatBounded(g_report,
                  L"This window stands in for Python in the Vorlasta demo. A real installation "
                  L"would now run the script below.\r\n\r\n"
                  L"Command line:\r\n%ls\r\n\r\n"
                  L"Current directory:\r\n%ls\r\n\r\n"
                  L"Script (argument 1):\r\n%ls\r\n%ls\r\n\r\n"
                  L"Loaded: %ls",
                  GetCommandLineW(), currentDir, script, found, DemoInterpreterName());
    if (argv) LocalFree(argv);
}

void CreateControls(HWND window) {
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    g_font = CreateFontIndirectW(&metrics.lfMessageFont);

    g_reportBox = CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", g_report,
                                   WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | ES_MULTILINE |
                                       ES_READONLY | ES_AUTOVSCROLL,
                                   0, 0, 0, 0, window, nullptr, nullptr, nullptr);
    g_closeButton = CreateWindowExW(0, L"BUTTON", L"Close", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON,
                                     0, 0, 0, 0, window, reinterpret_cast<HMENU>(kCloseId), nullptr, nullptr);
    SendMessageW(g_reportBox, WM_SETFONT, reinterpret_cast<WPARAM>(g_font), FALSE);
    SendMessageW(g_closeButton, WM_SETFONT, reinterpret_cast<WPARAM>(g_font), FALSE);
    SetFocus(g_closeButton);
}

void LayOut(int width, int height) {
    const int reportHeight = height - 3 * kMargin - kButtonHeight;
    MoveWindow(g_reportBox, kMargin, kMargin, width - 2 * kMargin, reportHeight, TRUE);
    MoveWindow(g_closeButton, width - kMargin - kButtonWidth, height - kMargin - kButtonHeight, kButtonWidth,
               kButtonHeight, TRUE);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        CreateControls(window);
        return 0;
    case WM_SIZE:
        LayOut(LOWORD(lParam), HIWORD(lParam));
        return 0;
    case WM_COMMAND:
        if (LOWORD(wParam) == kCloseId || LOWORD(wParam) == IDCANCEL) DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    BuildReport();

    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = kClassName;
    RegisterClassExW(&windowClass);

    const int width = 640, height = 420;
    const int left = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    const int top = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    HWND window = CreateWindowExW(0, kClassName, kTitle, WS_OVERLAPPEDWINDOW, left, top, width, height, nullptr,
                                  nullptr, instance, nullptr);
    if (!window) return 1;
    ShowWindow(window, showCommand);
    UpdateWindow(window);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        // Tab, Enter and Esc work as in a dialog.
        if (!IsDialogMessageW(window, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    DeleteObject(g_font);
    return 0;
}
