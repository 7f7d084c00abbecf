#include "common/argument_tail.h"

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
