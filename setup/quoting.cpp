#include "setup/quoting.h"

#include "common/format_bounded.h"

namespace {

// PowerShell ends a single-quoted literal at any of these.
bool IsPowerShellQuote(wchar_t c) {
    return c == L'\'' || c == L'\u2018' || c == L'\u2019' || c == L'\u201A' || c == L'\u201B';
}

wchar_t g_powerShellCommand[kCommandCapacity];

}  // namespace

void QuoteForPowerShell(const wchar_t* text, wchar_t (&out)[kQuotedCapacity]) {
    if (text[0] == L'\0') {
        out[0] = L'\0';
        return;
    }
    size_t next = 0;
    size_t last = 0;
    for (const wchar_t* c = text;;) {
        if (IsPowerShellQuote(*c)) out[next++] = *c;
        last = next;
        out[last] = *c;
        next = last + 1;
        ++c;
        // Stop while a doubled quote still fits whole before the terminator.
        if (*c == L'\0' || last + 3 > kQuotedCapacity - 1) break;
    }
    out[last + 1] = L'\0';
}

void EscapeForCommandLine(const wchar_t* text, wchar_t* out, size_t capacity) {
    size_t used = 0;
    auto put = [&](wchar_t c, size_t count) {
        for (size_t i = 0; i < count && used + 1 < capacity; ++i) out[used++] = c;
    };
    size_t backslashes = 0;
    for (const wchar_t* c = text; *c; ++c) {
        if (*c == L'\\') {
            ++backslashes;
            continue;
        }
        if (*c == L'"') {
            // Backslashes before a quote are read in pairs, and \" is a quote.
            put(L'\\', backslashes * 2 + 1);
        } else {
            put(L'\\', backslashes);
        }
        backslashes = 0;
        put(*c, 1);
    }
    // Trailing backslashes are doubled so the closing quote stays a quote.
    put(L'\\', backslashes * 2);
    out[used] = L'\0';
}

const wchar_t* BuildPowerShellCommand(const wchar_t* script) {
    static wchar_t escaped[kCommandCapacity];
    EscapeForCommandLine(script, escaped, kCommandCapacity);
    FormatBounded(g_powerShellCommand,
                  L"powershell.exe -NoProfile -NonInteractive -ExecutionPolicy Bypass -Command \"%ls\"", escaped);
    return g_powerShellCommand;
}
