// The stand-ins' parsing pieces, then the stand-in programs themselves run
// on real inputs in the test prefix.
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <utility>
#include <vector>

#include "powershell_script.h"
#include "python_script.h"
#include "standin_common.h"
#include "tests/support/standin_log.h"
#include "zip_reader.h"

using namespace standin;

namespace {

// ---- what the setup program does to a script and its literals ----

// Doubles every single-quote character, as the setup program does for a
// value inside a single-quoted literal.
std::wstring InLiteral(const std::wstring& value) {
    std::wstring out;
    for (wchar_t c : value) {
        out += c;
        if (c == L'\'' || (c >= 0x2018 && c <= 0x201B)) out += c;
    }
    return out;
}

// One command-line argument in double quotes: backslashes before a quote and
// at the end doubled, each quote escaped.
std::wstring Quote(const std::wstring& arg) {
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

std::wstring Replace(std::wstring text, const std::wstring& from, const std::wstring& to) {
    for (size_t at = text.find(from); at != std::wstring::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

std::wstring Script(ScriptKind kind, const std::wstring& dir, const std::wstring& archive = L"C:\\T\\p.zip") {
    return Replace(Replace(ScriptTemplate(kind), L"<DIR>", InLiteral(dir)), L"<ARCHIVE>", InLiteral(archive));
}

const wchar_t kPrefix[] = L"-NoProfile -NonInteractive -ExecutionPolicy Bypass -Command ";

// ---- a small ZIP writer ----

struct ZipItem {
    std::string name, data;
    bool deflate = false, utf8 = false, spoilCrc = false, spoilData = false;
    uint16_t method = 0xFFFF;  // overrides the method field when set
};

void Put(std::string& b, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) b += static_cast<char>((v >> (8 * i)) & 0xFF);
}

std::string Deflate(const std::string& data) {
    z_stream s{};
    deflateInit2(&s, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&s, static_cast<uLong>(data.size())), '\0');
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    s.avail_in = static_cast<uInt>(data.size());
    s.next_out = reinterpret_cast<Bytef*>(&out[0]);
    s.avail_out = static_cast<uInt>(out.size());
    deflate(&s, Z_FINISH);
    out.resize(s.total_out);
    deflateEnd(&s);
    return out;
}

std::string BuildZip(const std::vector<ZipItem>& items, const std::string& comment = "") {
    std::string body, directory;
    for (const ZipItem& item : items) {
        std::string stored = item.deflate ? Deflate(item.data) : item.data;
        if (item.spoilData && !stored.empty()) stored[stored.size() / 2] ^= 0x55;
        const uint32_t crc = Crc32(item.data) ^ (item.spoilCrc ? 1u : 0u);
        const uint16_t method = item.method != 0xFFFF ? item.method : item.deflate ? 8 : 0;
        const uint16_t flags = item.utf8 ? 0x0800 : 0;
        std::string common;
        Put(common, 20, 2), Put(common, flags, 2), Put(common, method, 2), Put(common, 0, 2), Put(common, 0x21, 2);
        Put(common, crc, 4), Put(common, static_cast<uint32_t>(stored.size()), 4);
        Put(common, static_cast<uint32_t>(item.data.size()), 4), Put(common, static_cast<uint32_t>(item.name.size()), 2);
        Put(common, 0, 2);
        Put(directory, 0x02014b50, 4), Put(directory, 20, 2);
        directory += common;
        Put(directory, 0, 2), Put(directory, 0, 2), Put(directory, 0, 2), Put(directory, 0, 4);
        Put(directory, static_cast<uint32_t>(body.size()), 4);
        directory += item.name;
        Put(body, 0x04034b50, 4);
        body += common + item.name + stored;
    }
    std::string end;
    Put(end, 0x06054b50, 4), Put(end, 0, 4), Put(end, static_cast<uint32_t>(items.size()), 2);
    Put(end, static_cast<uint32_t>(items.size()), 2), Put(end, static_cast<uint32_t>(directory.size()), 4);
    Put(end, static_cast<uint32_t>(body.size()), 4), Put(end, static_cast<uint32_t>(comment.size()), 2);
    return body + directory + end + comment;
}

// ---- files, folders and processes ----

void WriteBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE) << ToUtf8(path);
    DWORD written = 0;
    WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(f);
}

std::string ReadBytes(const std::wstring& path) {
    std::string bytes;
    std::wstring error;
    return ReadWholeFile(path, bytes, error) ? bytes : "<missing>";
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void RemoveTree(const std::wstring& path) {
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &found);
    for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileW(find, &found)) {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) RemoveTree(path + L"\\" + name);
        else DeleteFileW((path + L"\\" + name).c_str());
    }
    if (find != INVALID_HANDLE_VALUE) FindClose(find);
    RemoveDirectoryW(path.c_str());
}

std::wstring StandinPath(const wchar_t* exe) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring dir = self;
    return dir.substr(0, dir.find_last_of(L'\\')) + L"\\stand-ins\\" + exe;
}

using Settings = std::vector<std::pair<std::wstring, std::wstring>>;

// Starts a program with the inherited environment minus any stand-in
// settings, plus `settings`; no window, in `cwd` when given.
HANDLE Start(const std::wstring& commandLine, const Settings& settings, const std::wstring& cwd = L"") {
    std::wstring block;
    LPWCH inherited = GetEnvironmentStringsW();
    for (const wchar_t* p = inherited; *p; p += wcslen(p) + 1) {
        if (_wcsnicmp(p, L"VORLASTA_STANDIN_", 17) != 0) block.append(p, wcslen(p) + 1);
    }
    FreeEnvironmentStringsW(inherited);
    for (const auto& s : settings) block += s.first + L"=" + s.second + L'\0';
    block += L'\0';
    std::wstring line = commandLine;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT,
                        &block[0], cwd.empty() ? nullptr : cwd.c_str(), &si, &pi)) {
        ADD_FAILURE() << "cannot start " << ToUtf8(commandLine) << ": " << GetLastError();
        return nullptr;
    }
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

DWORD RunToEnd(const std::wstring& commandLine, const Settings& settings, const std::wstring& cwd = L"") {
    HANDLE process = Start(commandLine, settings, cwd);
    if (process == nullptr) return 0xDEADBEEF;
    if (WaitForSingleObject(process, 60000) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "still running after 60 s: " << ToUtf8(commandLine);
        TerminateProcess(process, 0xDEADBEEF);
    }
    DWORD status = 0xDEADBEEF;
    GetExitCodeProcess(process, &status);
    CloseHandle(process);
    return status;
}

// A fresh folder with an awkward name per test, and the log in it.
class StandinRun : public ::testing::Test {
protected:
    void SetUp() override {
        static int serial = 0;
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        root = std::wstring(temp) + L"vorlasta standins " + std::to_wstring(GetCurrentProcessId()) + L"-" +
               std::to_wstring(++serial) + L" Zoë Иван 李 O'Neil";
        ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
        wchar_t longPath[MAX_PATH];
        GetLongPathNameW(root.c_str(), longPath, MAX_PATH);
        root = longPath;
        log = root + L"\\standins.log";
    }
    void TearDown() override { RemoveTree(root); }

    Settings WithLog(Settings settings = {}) const {
        settings.emplace_back(L"VORLASTA_STANDIN_LOG", log);
        return settings;
    }
    StandinRecord LastRecord() const {
        const std::vector<StandinRecord> records = ReadStandinLog(log);
        return records.empty() ? StandinRecord() : records.back();
    }

    std::wstring root, log;
};

// ================= PowerShell literals and command lines =================

TEST(PowerShellLiterals, DecodeByPowerShellRules) {
    const struct {
        std::wstring script;
        std::vector<std::wstring> texts, literals;
    } rows[] = {
        {L"a 'b c' d", {L"a ", L" d"}, {L"b c"}},
        {L"x ‘b’ ‚c‛ 'd’", {L"x ", L" ", L" ", L""}, {L"b", L"c", L"d"}},
        {L"'O''Neil'", {L"", L""}, {L"O'Neil"}},
        {L"'O’’Neil'", {L"", L""}, {L"O’Neil"}},
        {L"'O'’Neil' 'a‘'b'", {L"", L" ", L""}, {L"O’Neil", L"a'b"}},  // any quote then any: the second
        {L"'' ''''", {L"", L" ", L""}, {L"", L"'"}},
        {L"'$x `n \"q\" \\'", {L"", L""}, {L"$x `n \"q\" \\"}},  // nothing else is special
        {L"no literal", {L"no literal"}, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(ToUtf8(row.script));
        ScriptParts parts;
        std::wstring error;
        ASSERT_TRUE(SplitScript(row.script, parts, error)) << ToUtf8(error);
        EXPECT_EQ(parts.texts, row.texts);
        EXPECT_EQ(parts.literals, row.literals);
    }
    for (const std::wstring bad : {L"'abc", L"'abc''", L"x ‘", L"'a'b'", L"'''"}) {
        ScriptParts parts;
        std::wstring error;
        EXPECT_FALSE(SplitScript(bad, parts, error)) << ToUtf8(bad);
        EXPECT_NE(error.find(L"unterminated"), std::wstring::npos);
    }
}

TEST(PowerShellCommandLine, ScriptSurvivesTheSetupQuoting) {
    for (const std::wstring script : {L"Get-Process", L"a \"b\" c", L"say \\\"x\\\"", L"ends \\", L"ends \\\\",
                                      L"'C:\\a b\\*'", L"\"\"", L"  two  spaces  "}) {
        std::wstring joined, error;
        EXPECT_TRUE(ScriptFromCommandLine((L"powershell.exe " + std::wstring(kPrefix) + Quote(script)).c_str(),
                                          joined, error));
        EXPECT_EQ(joined, script) << ToUtf8(error);
    }
    const struct {
        const wchar_t* line;
        bool ok;
        const wchar_t* script;
    } rows[] = {
        {L"ps -NoProfile -NonInteractive -ExecutionPolicy Bypass -Command a   b  c", true, L"a b c"},
        {L"ps -noprofile -NonInteractive -ExecutionPolicy Bypass -Command a", false, L""},
        {L"ps -NonInteractive -NoProfile -ExecutionPolicy Bypass -Command a", false, L""},
        {L"ps -NoProfile -NonInteractive -ExecutionPolicy Unrestricted -Command a", false, L""},
        {L"ps -NoProfile -NonInteractive -ExecutionPolicy Bypass -Command", false, L""},
        {L"ps -NoProfile -NonInteractive -ExecutionPolicy Bypass -File a.ps1", false, L""},
        {L"ps", false, L""},
    };
    for (const auto& row : rows) {
        std::wstring script, error;
        EXPECT_EQ(ScriptFromCommandLine(row.line, script, error), row.ok) << ToUtf8(row.line);
        if (row.ok) EXPECT_EQ(script, row.script);
    }
}

// ================= the three scripts =================

TEST(PowerShellTemplates, ShortcutsTemplateTranscribedWhole) {
    const std::wstring shortcuts = ScriptTemplate(ScriptKind::Shortcuts);
    EXPECT_EQ(Replace(shortcuts, L"<DIR>", L"%ls").size(), 711u);
    EXPECT_EQ(shortcuts.size() - Replace(shortcuts, L"<DIR>", L"").size(), 6u * 5u);
}

TEST(PowerShellTemplates, ScriptsWrittenOutByHandAreRecognised) {
    const struct {
        ScriptKind kind;
        std::wstring script;
    } rows[] = {
        {ScriptKind::Stop, L"Get-Process pythonw,python -ErrorAction SilentlyContinue | Where-Object { $_.Path -like "
                           L"'C:\\Shop\\*' } | Stop-Process -Force"},
        {ScriptKind::Expand, L"Expand-Archive -LiteralPath 'C:\\T\\p.zip' -DestinationPath 'C:\\Shop' -Force"},
        {ScriptKind::Shortcuts,
         L"$w=New-Object -ComObject WScript.Shell;foreach($d in @([Environment]::GetFolderPath('Desktop'),"
         L"[Environment]::GetFolderPath('Programs'))){$s=$w.CreateShortcut((Join-Path $d 'Vorlasta.lnk'));"
         L"$s.TargetPath='C:\\Shop\\Vorlasta.exe';$s.WorkingDirectory='C:\\Shop';"
         L"$s.IconLocation='C:\\Shop\\Vorlasta.exe,0';$s.Description='Vorlasta by Morvenhale';$s.Save()};"
         L"$k='HKCU:\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vorlasta';"
         L"New-Item -Path $k -Force | Out-Null;Set-ItemProperty $k DisplayName 'Vorlasta';"
         L"Set-ItemProperty $k Publisher 'Morvenhale';Set-ItemProperty $k DisplayIcon 'C:\\Shop\\Vorlasta.exe';"
         L"Set-ItemProperty $k InstallLocation 'C:\\Shop';"
         L"Set-ItemProperty $k UninstallString 'explorer.exe \"C:\\Shop\"';Set-ItemProperty $k NoModify 1"},
    };
    for (const auto& row : rows) {
        RecognisedScript found;
        std::wstring error;
        ASSERT_TRUE(RecogniseScript(row.script, found, error)) << ToUtf8(error);
        EXPECT_EQ(found.kind, row.kind);
        EXPECT_EQ(found.dir, L"C:\\Shop");
    }
}

TEST(PowerShellTemplates, AwkwardFoldersRecognisedThroughTheCommandLine) {
    const std::wstring folders[] = {
        L"C:\\Users\\Ann\\AppData\\Local\\Vorlasta", L"C:\\Program Files\\Vorlasta", L"C:\\a  b\\Vorlasta",
        L"C:\\Users\\O'Neil\\Vorlasta", L"C:\\Users\\O’Neil\\Vorlasta", L"C:\\‘x‛ ‚y\\V", L"C:\\$env:TEMP\\V",
        L"C:\\a;b\\V", L"C:\\a`b\\V", L"C:\\Shop (x86)\\V", L"C:\\Zoë\\V", L"C:\\Иван\\V", L"C:\\李\\V",
        L"\\\\server\\share\\V", L"C:\\ends with a space \\V"};
    for (const std::wstring& dir : folders) {
        for (ScriptKind kind : {ScriptKind::Stop, ScriptKind::Expand, ScriptKind::Shortcuts}) {
            SCOPED_TRACE(ToUtf8(dir) + " " + ToUtf8(KindName(kind)));
            const std::wstring archive = dir + L"\\payload 'v2'.zip";
            std::wstring script, error;
            ASSERT_TRUE(ScriptFromCommandLine((L"p.exe " + std::wstring(kPrefix) + Quote(Script(kind, dir, archive))).c_str(),
                                              script, error));
            RecognisedScript found;
            ASSERT_TRUE(RecogniseScript(script, found, error)) << ToUtf8(error);
            EXPECT_EQ(found.kind, kind);
            EXPECT_EQ(found.dir, dir);
            if (kind == ScriptKind::Expand) EXPECT_EQ(found.archive, archive);
            if (kind == ScriptKind::Stop) EXPECT_EQ(found.pattern, dir + L"\\*");
        }
    }
}

TEST(PowerShellTemplates, AnyChangeOutsideLiteralsIsRejected) {
    for (ScriptKind kind : {ScriptKind::Stop, ScriptKind::Expand, ScriptKind::Shortcuts}) {
        const std::wstring script = Script(kind, L"C:\\Shop");
        bool inLiteral = false;
        for (size_t i = 0; i < script.size(); ++i) {
            const bool quote = script[i] == L'\'';
            if (inLiteral && !quote) continue;
            if (quote) inLiteral = !inLiteral;
            std::wstring changed = script, removed = script;
            changed[i] = changed[i] == L'X' ? L'Y' : L'X';
            removed.erase(i, 1);
            RecognisedScript found;
            std::wstring error;
            EXPECT_FALSE(RecogniseScript(changed, found, error)) << KindName(kind) << " changed at " << i;
            EXPECT_FALSE(RecogniseScript(removed, found, error)) << KindName(kind) << " removed at " << i;
        }
    }
}

TEST(PowerShellTemplates, WrongLiteralsAreRejected) {
    const std::wstring good = Script(ScriptKind::Shortcuts, L"C:\\Shop");
    std::vector<std::wstring> bad;
    // Each of the six folders in turn names another folder.
    for (size_t at = good.find(L"C:\\Shop"); at != std::wstring::npos; at = good.find(L"C:\\Shop", at + 1)) {
        bad.push_back(std::wstring(good).replace(at, 7, L"C:\\Shoq"));
    }
    ASSERT_EQ(bad.size(), 6u);
    for (const auto& swap : std::vector<std::pair<std::wstring, std::wstring>>{
             {L"'Desktop'", L"'desktop'"}, {L"'Vorlasta.lnk'", L"'Vorlasta.LNK'"},
             {L"'Vorlasta by Morvenhale'", L"'Vorlasta'"}, {L"Uninstall\\Vorlasta'", L"Uninstall\\Other'"},
             {L"'explorer.exe \"C:\\Shop\"'", L"'explorer.exe C:\\Shop'"}, {L",0'", L",1'"}}) {
        bad.push_back(Replace(good, swap.first, swap.second));
    }
    bad.push_back(Script(ScriptKind::Shortcuts, L""));
    bad.push_back(Script(ScriptKind::Stop, L""));
    bad.push_back(Replace(Script(ScriptKind::Stop, L"C:\\Shop"), L"\\*'", L"*'"));
    bad.push_back(Script(ScriptKind::Expand, L"C:\\Shop", L""));
    for (const std::wstring& script : bad) {
        RecognisedScript found;
        std::wstring error;
        EXPECT_FALSE(RecogniseScript(script, found, error)) << ToUtf8(script);
    }
    // Other quote characters around a literal mean the same to PowerShell.
    RecognisedScript found;
    std::wstring error;
    EXPECT_TRUE(RecogniseScript(Replace(Replace(good, L"'Desktop'", L"‘Desktop’"), L"'Morvenhale'", L"‛Morvenhale‚"),
                                found, error))
        << ToUtf8(error);
}

// ================= -like =================

TEST(LikeMatch, PowerShellWildcards) {
    const struct {
        const wchar_t* text;
        const wchar_t* pattern;
        bool matches;
    } rows[] = {
        {L"C:\\Shop\\python\\pythonw.exe", L"C:\\Shop\\*", true},
        {L"C:\\Shop Old\\python\\pythonw.exe", L"C:\\Shop\\*", false},
        {L"C:\\Shop", L"C:\\Shop\\*", false},
        {L"C:\\Shop\\", L"C:\\Shop\\*", true},
        {L"c:\\shop\\X.EXE", L"C:\\SHOP\\*", true},
        {L"C:\\ИВАН\\x", L"c:\\иван\\*", true},
        {L"C:\\ZOË\\x", L"C:\\zoë\\*", true},
        {L"abc", L"a?c", true},
        {L"ac", L"a?c", false},
        {L"abbc", L"a?c", false},
        {L"bx", L"[abc]x", true},
        {L"dx", L"[abc]x", false},
        {L"bx", L"[a-c]x", true},
        {L"B", L"[a-c]", true},
        {L"-", L"[a-]", true},
        {L"a*b", L"a`*b", true},
        {L"axb", L"a`*b", false},
        {L"a?", L"a`?", true},
        {L"ab", L"a`?", false},
        {L"C:\\a[1]\\x", L"C:\\a`[1`]\\*", true},
        {L"C:\\a[1]\\x", L"C:\\a[1]\\*", false},
        {L"C:\\a1\\x", L"C:\\a[1]\\*", true},
        {L"]", L"[`]]", true},
        {L"a`b", L"a``b", true},
        {L"xxaxxbxx", L"*a*b*", true},
        {L"aab", L"*ab", true},
        {L"abc", L"ab", false},
        {L"a]", L"a]", true},
        {L"", L"*", true},
        {L"", L"?", false},
    };
    for (const auto& row : rows) {
        std::wstring error;
        EXPECT_TRUE(CheckLikePattern(row.pattern, error)) << ToUtf8(row.pattern);
        EXPECT_EQ(LikeMatch(row.text, row.pattern), row.matches) << ToUtf8(row.text) << " -like " << ToUtf8(row.pattern);
    }
    for (const wchar_t* bad : {L"a[bc", L"[]", L"a[", L"C:\\x[`]\\*"}) {
        std::wstring error;
        EXPECT_FALSE(CheckLikePattern(bad, error)) << ToUtf8(bad);
    }
}

// ================= ZIP =================

TEST(ZipReader, Archives) {
    const std::string text(3000, 'x');
    const struct {
        const char* what;
        std::string archive;
        std::vector<std::pair<std::wstring, std::string>> files;  // "\\" at the end: a folder
        const wchar_t* error;  // part of the reason, or null for success
    } rows[] = {
        {"stored and deflated", BuildZip({{"a.txt", "hello"}, {"d/b.txt", text, true}, {"e/", ""}}),
         {{L"a.txt", "hello"}, {L"d\\b.txt", text}, {L"e\\", ""}}, nullptr},
        {"empty deflated file", BuildZip({{"z", "", true}}), {{L"z", ""}}, nullptr},
        {"UTF-8 names", BuildZip({{"Zo\xC3\xAB/\xE6\x9D\x8E.txt", "1", false, true}}), {{L"Zoë\\李.txt", "1"}}, nullptr},
        {"dot parts dropped", BuildZip({{"./a//b", "1"}}), {{L"a\\b", "1"}}, nullptr},
        {"archive comment", BuildZip({{"a", "1"}}, "comment"), {{L"a", "1"}}, nullptr},
        {"no entries", BuildZip({}), {}, nullptr},
        {"non-ASCII without the flag", BuildZip({{"Zo\xEB", "1"}}), {}, L"not ASCII"},
        {"flagged but not UTF-8", BuildZip({{"Zo\xEB", "1", false, true}}), {}, L"not UTF-8"},
        {"stored CRC wrong", BuildZip({{"a", "hello", false, false, true}}), {}, L"CRC-32"},
        {"deflated CRC wrong", BuildZip({{"a", text, true, false, true}}), {}, L"CRC-32"},
        {"stored data damaged", BuildZip({{"a", "hello", false, false, false, true}}), {}, L"CRC-32"},
        {"deflated data damaged", BuildZip({{"a", text + "yz", true, false, false, true}}), {}, L"'a'"},
        {"..", BuildZip({{"../evil", "1"}}), {}, L"out of"},
        {".. inside", BuildZip({{"a/../../evil", "1"}}), {}, L"out of"},
        {".. with backslashes", BuildZip({{"a\\..\\..\\evil", "1"}}), {}, L"out of"},
        {"absolute", BuildZip({{"/etc/evil", "1"}}), {}, L"absolute"},
        {"drive", BuildZip({{"C:/evil", "1"}}), {}, L"character"},
        {"bzip2", BuildZip({{"a", "1", false, false, false, false, 12}}), {}, L"method 12"},
        {"not a ZIP", std::string("just some text, no archive at all"), {}, L"not a ZIP"},
        {"empty file", std::string(), {}, L"not a ZIP"},
        {"cut short", BuildZip({{"a", text}}).substr(0, 3000), {}, L"not a ZIP"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<ZipEntry> entries;
        std::wstring error;
        const bool ok = ReadZip(row.archive, entries, error);
        if (row.error != nullptr) {
            EXPECT_FALSE(ok);
            EXPECT_NE(error.find(row.error), std::wstring::npos) << ToUtf8(error);
            continue;
        }
        ASSERT_TRUE(ok) << ToUtf8(error);
        std::vector<std::pair<std::wstring, std::string>> got;
        for (const ZipEntry& e : entries) got.emplace_back(e.path + (e.directory ? L"\\" : L""), e.data);
        EXPECT_EQ(got, row.files);
    }
}

// ================= python directives and the log =================

TEST(PythonDirectives, Parse) {
    std::vector<Directive> d;
    std::wstring error;
    ASSERT_TRUE(ParseDirectives("\xEF\xBB\xBF# app\r\nsleep 5\r\n\r\nwrite data\\app.log hello  world\nexit -2\n"
                                "exit 4294967295",
                                d, error))
        << ToUtf8(error);
    ASSERT_EQ(d.size(), 4u);
    EXPECT_EQ(d[0].kind, Directive::Sleep);
    EXPECT_EQ(d[0].number, 5);
    EXPECT_EQ(d[1].kind, Directive::Write);
    EXPECT_EQ(d[1].path, L"data\\app.log");
    EXPECT_EQ(d[1].text, "hello  world");
    EXPECT_EQ(d[2].number, -2);
    EXPECT_EQ(d[3].number, 4294967295LL);
    for (const char* bad : {"print('hi')", "sleep", "sleep -1", "sleep 1.5", "exit 4294967296", "exit x",
                            "write onlypath", "write C:\\x y", "write \\x y", "Sleep 1", "sleep 1\nbogus"}) {
        EXPECT_FALSE(ParseDirectives(bad, d, error)) << bad;
    }
    EXPECT_NE(error.find(L"line 2"), std::wstring::npos) << ToUtf8(error);
}

TEST_F(StandinRun, LogRecordsRoundTrip) {
    EXPECT_TRUE(ReadStandinLog(log).empty());
    const std::vector<std::wstring> awkward = {L"C:\\a\\b\\", L"one\ntwo\r\n", L"\\n is not a line feed", L"=x=y",
                                               L"Zoë 李 Иван", L""};
    LogRecord first, second;
    first.Add("program", L"tar");
    for (const std::wstring& value : awkward) first.Add("arg", value);
    first.Add("archiveCrc", L"0badf00d");
    first.Add("exit", L"-2");
    first.Add("error", L"bad\nthing");
    second.Add("program", L"python");
    second.Add("phase", L"start");
    ASSERT_TRUE(AppendRecordTo(log, first));
    ASSERT_TRUE(AppendRecordTo(log, second));
    const std::vector<StandinRecord> records = ReadStandinLog(log);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].args, awkward);
    EXPECT_EQ(records[0].archiveCrc, L"0badf00d");
    EXPECT_TRUE(records[0].hasExit);
    EXPECT_EQ(records[0].exitCode, -2);
    EXPECT_EQ(records[0].error, L"bad\nthing");
    EXPECT_EQ(records[1].phase, L"start");
    EXPECT_FALSE(records[1].hasExit);

    WriteBytes(log, ReadBytes(log) + "program=tar\nexi");  // a record being appended
    EXPECT_EQ(ReadStandinLog(log).size(), 2u);
    WriteBytes(log, "program=tar\nno equals sign\n\n");
    EXPECT_THROW(ReadStandinLog(log), std::runtime_error);
}

// ================= tar.exe =================

TEST_F(StandinRun, TarUnpacksLikeBsdtar) {
    const std::string big(5000, 'b');
    const std::string zip = BuildZip({{"readme.txt", "new"}, {"app/main.py", big, true}, {"app/data/", ""},
                                      {"\xE6\x9D\x8E/Zo\xC3\xAB.txt", "z", true, true}});
    const std::wstring archive = root + L"\\payload 1.zip", dest = root + L"\\install dir";
    WriteBytes(archive, zip);
    WriteBytes(root + L"\\bad crc.zip", BuildZip({{"a", "x", false, false, true}}));
    WriteBytes(root + L"\\text.zip", "not an archive");
    const std::wstring tar = Quote(StandinPath(L"tar.exe"));
    const struct {
        const char* what;
        std::wstring args;
        Settings settings;
        DWORD status;
        bool unpacked;  // also: no error logged
    } rows[] = {
        {"shape -x -f", L"-x -f " + Quote(archive) + L" -C " + Quote(dest), {}, 64, false},
        {"shape -xvf", L"-xvf " + Quote(archive) + L" -C " + Quote(dest), {}, 64, false},
        {"shape no -C", L"-xf " + Quote(archive) + L" " + Quote(dest), {}, 64, false},
        {"shape extra", L"-xf " + Quote(archive) + L" -C " + Quote(dest) + L" more", {}, 64, false},
        {"shape reordered", L"-C " + Quote(dest) + L" -xf " + Quote(archive), {}, 64, false},
        {"bad injection", L"-xf " + Quote(archive) + L" -C " + Quote(dest), {{L"VORLASTA_STANDIN_TAR_EXIT", L"x"}}, 64, false},
        {"no -C folder", L"-xf " + Quote(archive) + L" -C " + Quote(root + L"\\missing"), {}, 1, false},
        {"missing archive", L"-xf " + Quote(root + L"\\none.zip") + L" -C " + Quote(dest), {}, 1, false},
        {"not a ZIP", L"-xf " + Quote(root + L"\\text.zip") + L" -C " + Quote(dest), {}, 1, false},
        {"bad CRC", L"-xf " + Quote(root + L"\\bad crc.zip") + L" -C " + Quote(dest), {}, 1, false},
        {"exit injected", L"-xf " + Quote(archive) + L" -C " + Quote(dest),
         {{L"VORLASTA_STANDIN_TAR_EXIT", L"5"}, {L"VORLASTA_STANDIN_TAR_SLEEP_MS", L"50"}}, 5, false},
        {"unpacks", L"-xf " + Quote(archive) + L" -C " + Quote(dest), {}, 0, true},
    };
    ASSERT_TRUE(CreateDirectoryW(dest.c_str(), nullptr));
    WriteBytes(dest + L"\\readme.txt", "old");
    WriteBytes(dest + L"\\keep.txt", "mine");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(RunToEnd(tar + L" " + row.args, WithLog(row.settings)), row.status);
        const StandinRecord record = LastRecord();
        EXPECT_EQ(record.program, L"tar");
        EXPECT_EQ(record.exitCode, static_cast<int>(row.status));
        EXPECT_EQ(record.error.empty(), row.unpacked || row.status == 5) << ToUtf8(record.error);
        EXPECT_EQ(ReadBytes(dest + L"\\readme.txt"), row.unpacked ? "new" : "old");
        EXPECT_EQ(ReadBytes(dest + L"\\keep.txt"), "mine");
    }
    EXPECT_FALSE(Exists(root + L"\\missing"));
    EXPECT_EQ(ReadBytes(dest + L"\\app\\main.py"), big);
    EXPECT_TRUE(Exists(dest + L"\\app\\data"));
    EXPECT_EQ(ReadBytes(dest + L"\\李\\Zoë.txt"), "z");
    const StandinRecord record = LastRecord();
    EXPECT_EQ(record.args, (std::vector<std::wstring>{L"-xf", archive, L"-C", dest}));
    EXPECT_EQ(record.archive, archive);
    EXPECT_EQ(record.destination, dest);
    EXPECT_EQ(record.archiveCrc, Hex8(Crc32(zip)));
    EXPECT_EQ(ReadStandinLog(log).size(), sizeof rows / sizeof rows[0]);
}

// ================= powershell.exe =================

std::wstring PowerShell(const std::wstring& script) {
    return Quote(StandinPath(L"powershell.exe")) + L" " + kPrefix + Quote(script);
}

TEST_F(StandinRun, PowerShellExpandsArchives) {
    const std::wstring archive = root + L"\\it's a payload.zip", dest = root + L"\\new $dir\\nested;(1)";
    WriteBytes(archive, BuildZip({{"app/main.py", "print", true}, {"top.txt", "new"}}));
    WriteBytes(root + L"\\payload.bin", ReadBytes(archive));
    const struct {
        const char* what;
        std::wstring script;
        Settings settings;
        DWORD status;
    } rows[] = {
        {"not .zip", Script(ScriptKind::Expand, dest, root + L"\\payload.bin"), {}, 1},
        {"missing", Script(ScriptKind::Expand, dest, root + L"\\none.zip"), {}, 1},
        {"unrecognised", L"Expand-Archive -Path '" + InLiteral(archive) + L"' -DestinationPath '" + dest + L"' -Force",
         {}, 64},
        {"unterminated", L"Expand-Archive -LiteralPath 'C:\\x.zip", {}, 64},
        {"injected", Script(ScriptKind::Expand, dest, archive), {{L"VORLASTA_STANDIN_PS_EXIT_EXPAND", L"3"}}, 3},
        {"other kind injected", Script(ScriptKind::Expand, dest, archive), {{L"VORLASTA_STANDIN_PS_EXIT_STOP", L"3"}}, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(RunToEnd(PowerShell(row.script), WithLog(row.settings)), row.status);
        const StandinRecord record = LastRecord();
        EXPECT_EQ(record.program, L"powershell");
        EXPECT_EQ(record.script, row.script);
        EXPECT_EQ(record.exitCode, static_cast<int>(row.status));
        EXPECT_EQ(record.error.empty(), row.status == 0 || row.status == 3);
        EXPECT_EQ(Exists(dest + L"\\top.txt"), row.status == 0);
    }
    EXPECT_EQ(ReadBytes(dest + L"\\app\\main.py"), "print");
    const StandinRecord record = LastRecord();
    EXPECT_EQ(record.kind, L"expand");
    EXPECT_EQ(record.literals, (std::vector<std::wstring>{archive, dest}));
    EXPECT_EQ(RunToEnd(Quote(StandinPath(L"powershell.exe")) + L" -NoProfile -Command Get-Date", WithLog()), 64u);
}

struct Shortcut {
    std::wstring path, workingDirectory, icon, description;
    int iconIndex = -1;
};

Shortcut LoadShortcut(const std::wstring& file) {
    Shortcut s;
    IShellLinkW* link = nullptr;
    IPersistFile* persist = nullptr;
    wchar_t text[MAX_PATH] = L"";
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                   reinterpret_cast<void**>(&link))) &&
        SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist))) &&
        SUCCEEDED(persist->Load(file.c_str(), STGM_READ))) {
        // Wine keeps the target's path text in the ANSI code page only; the
        // item list holds it whole.
        LPITEMIDLIST items = nullptr;
        if (SUCCEEDED(link->GetIDList(&items)) && SHGetPathFromIDListW(items, text)) s.path = text;
        CoTaskMemFree(items);
        if (SUCCEEDED(link->GetWorkingDirectory(text, MAX_PATH))) s.workingDirectory = text;
        if (SUCCEEDED(link->GetIconLocation(text, MAX_PATH, &s.iconIndex))) s.icon = text;
        if (SUCCEEDED(link->GetDescription(text, MAX_PATH))) s.description = text;
    }
    if (persist != nullptr) persist->Release();
    if (link != nullptr) link->Release();
    return s;
}

std::pair<DWORD, std::wstring> RegistryValue(const wchar_t* name) {
    HKEY key = nullptr;
    std::pair<DWORD, std::wstring> value{REG_NONE, L"<missing>"};
    if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vorlasta", 0,
                      KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return value;
    }
    BYTE data[4096] = {};
    DWORD size = sizeof data - 2;
    if (RegQueryValueExW(key, name, nullptr, &value.first, data, &size) == ERROR_SUCCESS) {
        value.second = value.first == REG_DWORD ? std::to_wstring(*reinterpret_cast<DWORD*>(data))
                                                : std::wstring(reinterpret_cast<wchar_t*>(data));
    }
    RegCloseKey(key);
    return value;
}

TEST_F(StandinRun, PowerShellMakesShortcutsAndTheUninstallEntry) {
    const std::wstring dir = root + L"\\Shop (x86) $a;b` ’q’";
    const wchar_t key[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vorlasta";
    ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr));
    WriteBytes(dir + L"\\Vorlasta.exe", "MZ");
    HKEY stale = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &stale, nullptr), 0);
    RegSetValueExW(stale, L"Stale", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"x"), 4);
    RegCloseKey(stale);

    EXPECT_EQ(RunToEnd(PowerShell(Script(ScriptKind::Shortcuts, dir)), WithLog({{L"VORLASTA_STANDIN_PS_EXIT_SHORTCUTS", L"7"}})), 7u);
    EXPECT_EQ(RegistryValue(L"Stale").second, L"x");  // injected: nothing done
    EXPECT_EQ(RunToEnd(PowerShell(Script(ScriptKind::Shortcuts, dir)), WithLog()), 0u) << ToUtf8(LastRecord().error);
    EXPECT_EQ(LastRecord().kind, L"shortcuts");

    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    for (int folder : {CSIDL_DESKTOPDIRECTORY, CSIDL_PROGRAMS}) {
        wchar_t path[MAX_PATH];
        ASSERT_EQ(SHGetFolderPathW(nullptr, folder, nullptr, SHGFP_TYPE_CURRENT, path), S_OK);
        const std::wstring file = std::wstring(path) + L"\\Vorlasta.lnk";
        SCOPED_TRACE(ToUtf8(file));
        const Shortcut s = LoadShortcut(file);
        EXPECT_EQ(s.path, dir + L"\\Vorlasta.exe");
        EXPECT_EQ(s.workingDirectory, dir);
        EXPECT_EQ(s.icon, dir + L"\\Vorlasta.exe");
        EXPECT_EQ(s.iconIndex, 0);
        EXPECT_EQ(s.description, L"Vorlasta by Morvenhale");
        EXPECT_TRUE(DeleteFileW(file.c_str()));
    }
    CoUninitialize();

    const std::pair<const wchar_t*, std::pair<DWORD, std::wstring>> expected[] = {
        {L"DisplayName", {REG_SZ, L"Vorlasta"}},
        {L"Publisher", {REG_SZ, L"Morvenhale"}},
        {L"DisplayIcon", {REG_SZ, dir + L"\\Vorlasta.exe"}},
        {L"InstallLocation", {REG_SZ, dir}},
        {L"UninstallString", {REG_SZ, L"explorer.exe \"" + dir + L"\""}},
        {L"NoModify", {REG_DWORD, L"1"}},
        {L"Stale", {REG_NONE, L"<missing>"}},  // New-Item -Force made the key afresh
    };
    for (const auto& value : expected) EXPECT_EQ(RegistryValue(value.first), value.second) << ToUtf8(value.first);
    EXPECT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, key), ERROR_SUCCESS);
}

TEST_F(StandinRun, PowerShellStopsOnlyPythonsInTheFolder) {
    const std::wstring shop = root + L"\\Shop", old = root + L"\\Shop Old", script = root + L"\\wait.py";
    WriteBytes(script, "sleep 60000\n");
    HANDLE pythons[2] = {};
    for (int i = 0; i < 2; ++i) {
        const std::wstring dir = i == 0 ? shop : old;
        std::wstring error;
        ASSERT_TRUE(CreateFolders(dir + L"\\python", error)) << ToUtf8(error);
        ASSERT_TRUE(CopyFileW(StandinPath(L"pythonw.exe").c_str(), (dir + L"\\python\\pythonw.exe").c_str(), FALSE));
        pythons[i] = Start(Quote(dir + L"\\python\\pythonw.exe") + L" " + Quote(script), WithLog(), dir);
        ASSERT_NE(pythons[i], nullptr);
    }
    for (int tries = 0; tries < 200 && ReadStandinLog(log).size() < 2; ++tries) Sleep(50);
    ASSERT_EQ(ReadStandinLog(log).size(), 2u);

    EXPECT_EQ(RunToEnd(PowerShell(Script(ScriptKind::Stop, shop)), WithLog({{L"VORLASTA_STANDIN_PS_EXIT_STOP", L"9"}})), 9u);
    EXPECT_EQ(WaitForSingleObject(pythons[0], 500), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(RunToEnd(PowerShell(Script(ScriptKind::Stop, shop)), WithLog()), 0u);
    EXPECT_EQ(WaitForSingleObject(pythons[0], 10000), WAIT_OBJECT_0);
    DWORD status = 0;
    GetExitCodeProcess(pythons[0], &status);
    EXPECT_EQ(status, 0xFFFFFFFFu);
    EXPECT_EQ(WaitForSingleObject(pythons[1], 500), static_cast<DWORD>(WAIT_TIMEOUT));
    const StandinRecord record = LastRecord();
    EXPECT_EQ(record.kind, L"stop");
    ASSERT_EQ(record.stopped.size(), 1u);
    EXPECT_EQ(record.stopped[0], shop + L"\\python\\pythonw.exe");

    TerminateProcess(pythons[1], 0);
    WaitForSingleObject(pythons[1], 10000);
    for (HANDLE p : pythons) CloseHandle(p);
    // An unbalanced [ is no wildcard pattern PowerShell accepts.
    EXPECT_EQ(RunToEnd(PowerShell(Script(ScriptKind::Stop, root + L"\\a[b")), WithLog()), 64u);
}

// ================= pythonw.exe =================

TEST_F(StandinRun, PythonFollowsItsScript) {
    const struct {
        const char* what;
        const char* script;  // null: no script file
        DWORD status;
        const char* appLog;  // what data\app.log holds afterwards
    } rows[] = {
        {"writes and exits", "sleep 10\nwrite data\\app.log hello world\nexit 7\nwrite data\\app.log later", 7, "hello world"},
        {"runs to the end", "write data\\app.log done\n", 0, "done"},
        {"negative status", "exit -2", 0xFFFFFFFE, "<missing>"},
        {"largest status", "exit 4294967295", 0xFFFFFFFF, "<missing>"},
        {"checked before running", "write data\\app.log early\nimport os", 64, "<missing>"},
        {"missing script", nullptr, 2, "<missing>"},
    };
    const std::wstring main = root + L"\\app\\main.py";
    ASSERT_TRUE(CreateDirectoryW((root + L"\\app").c_str(), nullptr));
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        DeleteFileW((root + L"\\data\\app.log").c_str());
        DeleteFileW(main.c_str());
        if (row.script != nullptr) WriteBytes(main, row.script);
        const size_t before = ReadStandinLog(log).size();
        EXPECT_EQ(RunToEnd(Quote(StandinPath(L"pythonw.exe")) + L" " + Quote(main) + L" --tail \"a b\"", WithLog(), root),
                  row.status);
        EXPECT_EQ(ReadBytes(root + L"\\data\\app.log"), row.appLog);
        const std::vector<StandinRecord> records = ReadStandinLog(log);
        ASSERT_EQ(records.size(), before + 2);
        EXPECT_EQ(records[before].phase, L"start");
        EXPECT_FALSE(records[before].hasExit);
        EXPECT_EQ(records[before + 1].phase, L"end");
        EXPECT_EQ(records[before + 1].exitCode, static_cast<int>(row.status));
        EXPECT_EQ(records[before + 1].cwd, root);
        EXPECT_EQ(records[before + 1].args, (std::vector<std::wstring>{main, L"--tail", L"a b"}));
    }
}

}  // namespace
