#include "launcher/command_line.h"

#include "common/format_bounded.h"

void CutAtLastBackslash(wchar_t* path) {
    wchar_t* lastBackslash = nullptr;
    for (wchar_t* p = path; *p; ++p) {
        if (*p == L'\\') lastBackslash = p;
    }
    if (lastBackslash) *lastBackslash = L'\0';
}

void BuildLauncherCommandLine(const wchar_t* interpreter, const wchar_t* script, const wchar_t* tail,
                              wchar_t (&out)[kCommandLineCapacity]) {
    FormatBounded(out, L"\"%ls\" \"%ls\" %ls", interpreter, script, tail ? tail : L"");
}
