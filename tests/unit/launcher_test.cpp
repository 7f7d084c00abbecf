#include "common/argument_tail.h"
#include "launcher/command_line.h"

#include <gtest/gtest.h>

#include <wchar.h>

#include <string>

namespace {

TEST(ArgumentTail, ScannerRules) {
    struct Row {
        const char* what;
        const wchar_t* commandLine;
        const wchar_t* tail;
    } rows[] = {
        {"quoted program name with blanks", L"\"C:\\Program Files\\Vorlasta\\Vorlasta.exe\" --open x",
         L"--open x"},
        {"plain program name", L"C:\\Vorlasta\\Vorlasta.exe a b", L"a b"},
        {"forward slashes are plain text", L"C:/Vorlasta.exe /open x", L"/open x"},
        {"program name only", L"Vorlasta.exe", L""},
        {"program name and trailing blanks", L"Vorlasta.exe   ", L""},
        {"unclosed quote takes the rest", L"\"C:\\Program Files\\Vorlasta.exe a \"b", L""},
        {"unclosed quote without blanks", L"\"Vorlasta.exe", L""},
        {"blanks and control units after the token", L"Vorlasta.exe \t\x01\x1f  x  y ", L"x  y "},
        {"a tab ends the token", L"Vorlasta.exe\tx", L"x"},
        {"U+0001 ends the token", L"Vorlasta.exe\x01x", L"x"},
        {"U+001F ends the token", L"Vorlasta.exe\x1fx", L"x"},
        {"blanks inside quotes stay in the token", L"\"a\tb\x01 c\" d", L"d"},
        {"text right after the closing quote", L"\"C:\\V\\Vorlasta.exe\"x y", L"y"},
        {"quote in the middle of the token", L"C:\\V\\\"Vor lasta\".exe y", L"y"},
        {"a quote after the name opens a quoted part", L"Vorlasta.exe\"x y\" z", L"z"},
        {"backslash before a quote does not escape it", L"\"C:\\a\\\" b", L"b"},
        {"two backslashes before a quote", L"\"C:\\a\\\\\" b", L"b"},
        {"backslash then an opening quote", L"C:\\a\\\"b c\" d", L"d"},
        {"empty quotes as the token", L"\"\" x", L"x"},
        {"units above U+0020 are not blanks", L"a\u00a0b\u3000c\u007fd e", L"e"},
        {"leading blank: empty token", L" a b", L"a b"},
        {"quotes and blank runs in the tail stay", L"V.exe \"quoted word\"   and \t runs",
         L"\"quoted word\"   and \t runs"},
        {"a control unit after a tail's text stays", L"V.exe x\x01y", L"x\x01y"},
        {"empty command line", L"", L""},
    };
    for (const Row& row : rows) {
        const wchar_t* tail = FindArgumentTail(row.commandLine);
        ASSERT_NE(tail, nullptr) << row.what;
        EXPECT_EQ(std::wstring(tail), row.tail) << row.what;
        // The tail is the end of the command line itself, not a copy.
        EXPECT_EQ(tail, row.commandLine + wcslen(row.commandLine) - wcslen(row.tail)) << row.what;
    }

    const wchar_t* fromNull = FindArgumentTail(nullptr);
    ASSERT_NE(fromNull, nullptr);
    EXPECT_EQ(*fromNull, L'\0');
}

TEST(LauncherFolder, CutAtLastBackslash) {
    struct Row {
        const wchar_t* path;
        const wchar_t* folder;
    } rows[] = {
        {L"C:\\Users\\Zo\u00eb\\AppData\\Local\\Vorlasta\\Vorlasta.exe",
         L"C:\\Users\\Zo\u00eb\\AppData\\Local\\Vorlasta"},
        {L"C:\\Vorlasta.exe", L"C:"},
        {L"\\\\server\\share\\Vorlasta.exe", L"\\\\server\\share"},
        {L"C:\\Vorlasta\\", L"C:\\Vorlasta"},
        {L"C:\\a\\b/c.exe", L"C:\\a"},         // only a backslash separates
        {L"C:/a/Vorlasta.exe", L"C:/a/Vorlasta.exe"},
        {L"Vorlasta.exe", L"Vorlasta.exe"},    // no backslash: used whole
        {L"", L""},
    };
    for (const Row& row : rows) {
        wchar_t path[kOwnPathCapacity];
        wcscpy(path, row.path);
        CutAtLastBackslash(path);
        EXPECT_EQ(std::wstring(path), row.folder) << std::wstring(row.path).c_str();
    }
}

// The command-line buffer with a guard behind it, to see writes past its end.
struct GuardedLine {
    wchar_t line[kCommandLineCapacity];
    wchar_t guard[8];
};

std::wstring Build(const std::wstring& interpreter, const std::wstring& script, const wchar_t* tail) {
    GuardedLine out;
    wmemset(out.line, L'#', kCommandLineCapacity);
    wmemset(out.guard, L'#', 8);
    BuildLauncherCommandLine(interpreter.c_str(), script.c_str(), tail, out.line);
    for (wchar_t unit : out.guard) EXPECT_EQ(unit, L'#') << "written past the buffer";
    return out.line;
}

TEST(LauncherCommandLine, QuotedPathsThenTheTailUnchanged) {
    const std::wstring i = L"C:\\V\\python\\pythonw.exe", s = L"C:\\V\\app\\main.py";
    const std::wstring head = L"\"C:\\V\\python\\pythonw.exe\" \"C:\\V\\app\\main.py\" ";
    struct Row {
        const char* what;
        const wchar_t* tail;
        std::wstring expected;
    } rows[] = {
        {"no tail ends with one blank", nullptr, head},
        {"empty tail ends with one blank", L"", head},
        {"plain tail", L"--report daily", head + L"--report daily"},
        {"quoted words and blank runs kept", L"\"a  b\"   c\t\"", head + L"\"a  b\"   c\t\""},
        {"backslashes and quotes not re-quoted", L"C:\\x\\\" \\\\", head + L"C:\\x\\\" \\\\"},
    };
    for (const Row& row : rows) EXPECT_EQ(Build(i, s, row.tail), row.expected) << row.what;
}

TEST(LauncherCommandLine, OnlyALongTailIsCut) {
    constexpr size_t kLongest = kCommandLineCapacity - 1;  // units that fit before the terminator
    const std::wstring maxDir = L"C:\\" + std::wstring(kOwnPathCapacity - 1 - 3, L'd');  // 519 units
    struct Row {
        const char* what;
        std::wstring dir;
        size_t lineLength;  // what the whole line would be uncut
    } rows[] = {
        {"one below the limit", L"C:\\V", kLongest - 1},
        {"exactly the limit", L"C:\\V", kLongest},
        {"one over", L"C:\\V", kLongest + 1},
        {"two over", L"C:\\V", kLongest + 2},
        {"far over", L"C:\\V", 5000},
        {"longest folder, exactly the limit", maxDir, kLongest},
        {"longest folder, one over", maxDir, kLongest + 1},
    };
    for (const Row& row : rows) {
        const std::wstring interpreter = row.dir + L"\\python\\pythonw.exe";
        const std::wstring script = row.dir + L"\\app\\main.py";
        const std::wstring head = L"\"" + interpreter + L"\" \"" + script + L"\" ";
        ASSERT_LT(head.size(), kLongest) << row.what << ": the paths alone must always fit";
        // A tail whose last unit differs, so a cut one unit early or late shows.
        std::wstring tail(row.lineLength - head.size() - 1, L'a');
        tail += L'z';
        const std::wstring full = head + tail;
        const std::wstring line = Build(interpreter, script, tail.c_str());
        if (full.size() <= kLongest) {
            EXPECT_EQ(line, full) << row.what;
        } else {
            EXPECT_EQ(line.size(), kLongest) << row.what;
            EXPECT_EQ(line, full.substr(0, kLongest)) << row.what;
        }
    }
}

}  // namespace
