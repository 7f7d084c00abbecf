// The quoting the setup program applies before it starts PowerShell, as round
// trips: the command line split by the Windows rules gives the script back,
// and a quoted text read as a PowerShell single-quoted literal gives the text
// back (or, when the capacity cut it, a prefix cut between input units).
// Built with 16-bit wchar_t, as on Windows; no libc wide functions are used.
#include <stddef.h>
#include <stdint.h>

#include <algorithm>
#include <vector>

#include "fuzz_support.h"
#include "setup/quoting.h"

static_assert(sizeof(wchar_t) == 2, "build with -fshort-wchar");

namespace {

using Text = std::vector<wchar_t>;

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

// Splits a command line as CommandLineToArgvW and the C runtime do: the
// program name runs to the first blank (or its closing quote); in the other
// arguments 2n backslashes before a quote give n and the quote toggles quoting,
// 2n+1 give n and a literal quote, and backslashes elsewhere are literal.
std::vector<Text> SplitCommandLine(const Text& line) {
    std::vector<Text> args;
    size_t i = 0;
    const size_t n = line.size();
    Text program;
    if (i < n && line[i] == L'"') {
        for (++i; i < n && line[i] != L'"'; ++i) program.push_back(line[i]);
        if (i < n) ++i;
    } else {
        for (; i < n && !IsBlank(line[i]); ++i) program.push_back(line[i]);
    }
    args.push_back(program);
    for (;;) {
        while (i < n && IsBlank(line[i])) ++i;
        if (i >= n) break;
        Text arg;
        bool quoted = false;
        while (i < n && (quoted || !IsBlank(line[i]))) {
            size_t backslashes = 0;
            while (i < n && line[i] == L'\\') ++backslashes, ++i;
            if (i < n && line[i] == L'"') {
                arg.insert(arg.end(), backslashes / 2, L'\\');
                if (backslashes % 2 == 1) {
                    arg.push_back(L'"');
                } else if (quoted && i + 1 < n && line[i + 1] == L'"') {
                    arg.push_back(L'"');  // "" inside quotes is a literal quote
                    ++i;
                } else {
                    quoted = !quoted;
                }
                ++i;
            } else {
                arg.insert(arg.end(), backslashes, L'\\');
                if (i < n && (quoted || !IsBlank(line[i]))) arg.push_back(line[i++]);
            }
        }
        args.push_back(arg);
    }
    return args;
}

bool IsPowerShellQuote(wchar_t c) {
    return c == L'\'' || c == 0x2018 || c == 0x2019 || c == 0x201A || c == 0x201B;
}

// Reads `inner` as the body of a single-quoted literal: two quote characters
// in a row stand for the second; a lone one would end the literal early.
bool ReadLiteral(const wchar_t* inner, Text& value) {
    for (const wchar_t* c = inner; *c; ++c) {
        if (IsPowerShellQuote(*c)) {
            if (!IsPowerShellQuote(c[1])) return false;
            ++c;
        }
        value.push_back(*c);
    }
    return true;
}

size_t Length(const wchar_t* text) {
    size_t n = 0;
    while (text[n]) ++n;
    return n;
}

void CheckQuoting(const Text& text) {
    wchar_t quoted[kQuotedCapacity];
    QuoteForPowerShell(text.data(), quoted);
    Text value;
    Require(ReadLiteral(quoted, value), "a quote in the text ends the literal");
    const size_t units = text.size() - 1;  // without the terminator
    if (value.size() == units && std::equal(value.begin(), value.end(), text.begin())) return;
    Require(value.size() < units && std::equal(value.begin(), value.end(), text.begin()),
            "quoted text is neither the text nor a prefix of it");
    const size_t length = Length(quoted);
    Require(length == kQuotedCapacity - 2 || length == kQuotedCapacity - 1, "cut before the capacity");
}

void CheckCommandLine(const Text& script) {
    const wchar_t* built = BuildPowerShellCommand(script.data());
    const Text line(built, built + Length(built));
    const std::vector<Text> args = SplitCommandLine(line);
    const wchar_t* const expected[] = {L"powershell.exe", L"-NoProfile", L"-NonInteractive",
                                       L"-ExecutionPolicy", L"Bypass", L"-Command"};
    Require(args.size() == 7, "the script is not one argument");
    for (size_t i = 0; i < 6; ++i) {
        Require(args[i] == Text(expected[i], expected[i] + Length(expected[i])), "fixed arguments changed");
    }
    Require(args[6] == Text(script.begin(), script.end() - 1), "the script does not come back whole");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The input as UTF-16 units, up to the first zero; then terminated.
    Text text;
    for (size_t i = 0; i + 1 < size; i += 2) {
        const wchar_t unit = static_cast<wchar_t>(data[i] | data[i + 1] << 8);
        if (unit == 0) break;
        text.push_back(unit);
    }
    text.push_back(0);
    CheckQuoting(text);
    // Callers format scripts into 4096 units; escaping at most doubles them,
    // and below this length the whole command line fits its 8192 units.
    if (text.size() <= 4000) CheckCommandLine(text);
    return 0;
}
