// A child for the hidden runner's tests: "exit N" ends with status N,
// "sleep MS" waits that long first.
#include <windows.h>

#include <cwchar>
#include <cwctype>

int wmain(int argc, wchar_t** argv) {
    int status = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::wcscmp(argv[i], L"sleep") == 0) Sleep(static_cast<DWORD>(std::wcstoul(argv[i + 1], nullptr, 10)));
        if (std::wcscmp(argv[i], L"exit") == 0) status = static_cast<int>(std::wcstol(argv[i + 1], nullptr, 10));
    }
    return status;
}
