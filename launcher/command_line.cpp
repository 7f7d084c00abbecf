#include "launcher/command_line.h"

#include "common/format_bounded.h"

namespace {

bool IsBlankOrControl(wchar_t unit) {
    return unit >= 0x0001 && unit <= 0x0020;
}

}  // namespace

const wchar_t* FindArgumentTail(const wchar_t* commandLine) {
    if (!commandLine) return L"";
    const wchar_t* p = commandLine;
    bool insideQuotes = false;
    for (; *p; ++p) {
        if (*p == L'"') {
            insideQuotes = !insideQuotes;
        } else if (IsBlankOrControl(*p) && !insideQuotes) {
            break;
        }
    }
    while (IsBlankOrControl(*p)) ++p;
    return p;
}

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
