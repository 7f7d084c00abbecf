// The stand-ins' parsing pieces, then each stand-in program run in the test
// prefix with its log read back.
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "powershell_script.h"
#include "python_script.h"
#include "standin_common.h"
#include "tests/support/e2e.h"
#include "tests/support/standin_log.h"
#include "zip_reader.h"

using namespace standin;
using namespace std::string_literals;
using e2e::EnvChange, e2e::ReadBytes, e2e::WriteBytes;

namespace {

const ScriptKind kKinds[] = {ScriptKind::Stop, ScriptKind::Expand, ScriptKind::Shortcuts};
const wchar_t kPrefix[] = L"-NoProfile -NonInteractive -ExecutionPolicy Bypass -Command ";
const wchar_t kUninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vorlasta";

// Doubles every quote character, as the setup program does for a value put
// inside a single-quoted literal.
std::wstring InLiteral(const std::wstring& value) {
    std::wstring out;
    for (wchar_t c : value) out.append(c == L'\'' || (c >= 0x2018 && c <= 0x201B) ? 2 : 1, c);
    return out;
}

// One command-line argument in double quotes: backslashes before a quote and
// at the end doubled, each quote escaped.
std::wstring Arg(const std::wstring& arg) {
    std::wstring out = L"\"";
    size_t run = 0;  // backslashes just before
    for (wchar_t c : arg) {
        if (c == L'"') out.append(run + 1, L'\\');
        run = c == L'\\' ? run + 1 : 0;
        out += c;
    }
    return out.append(run, L'\\') + L"\"";
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

bool Recognised(const std::wstring& script) {
    RecognisedScript found;
    std::wstring error;
    return RecogniseScript(script, found, error);
}

// Header fields by their offset in the local header; the central header has
// each 2 bytes further on.
enum ZipField { kFlags = 6, kMethod = 8, kCrc = 14, kSize = 22 };

// A one-entry archive of the shared writer with some header fields changed.
std::string Zip(const std::string& name, const std::string& data, std::vector<std::pair<ZipField, uint32_t>> fields) {
    std::string zip = e2e::MakeZip({{name, data}});
    for (const auto& [field, value] : fields) {
        for (size_t at : {size_t{field}, 30 + name.size() + data.size() + field + 2}) {
            for (int i = 0; i < (field <= kMethod ? 2 : 4); ++i) zip[at + i] = static_cast<char>(value >> (8 * i));
        }
    }
    return zip;
}

// Raw deflate: zlib's stream less its 2-byte header and 4-byte check.
std::string Deflate(const std::string& data) {
    uLongf size = compressBound(static_cast<uLong>(data.size()));
    std::string z(size, '\0');
    compress2(reinterpret_cast<Bytef*>(&z[0]), &size, reinterpret_cast<const Bytef*>(data.data()), data.size(), 9);
    return z.substr(2, size - 6);
}

// ================= PowerShell literals, command lines and scripts =================

TEST(PowerShellScripts, LiteralsDecodeByPowerShellRules) {
    const struct {
        std::wstring script;
        std::vector<std::wstring> texts, literals;
    } rows[] = {
        {L"a 'b c' d", {L"a ", L" d"}, {L"b c"}},
        {L"x ‘b’ ‚c‛ 'd’", {L"x ", L" ", L" ", L""}, {L"b", L"c", L"d"}},  // all five quote characters
        {L"'O''Neil' 'O’’Neil'", {L"", L" ", L""}, {L"O'Neil", L"O’Neil"}},
        {L"'O'’Neil' 'a‘'b'", {L"", L" ", L""}, {L"O’Neil", L"a'b"}},  // any quote then any: the second
        {L"'' ''''", {L"", L" ", L""}, {L"", L"'"}},
        {L"'$x `n \"q\" \\'", {L"", L""}, {L"$x `n \"q\" \\"}},  // nothing else is special
        {L"no literal", {L"no literal"}, {}},
        {L"'abc"}, {L"'abc''"}, {L"x ‘"}, {L"'a'b'"},  // unterminated: no texts
    };
    for (const auto& row : rows) {
        ScriptParts parts;
        std::wstring error;
        const bool ok = SplitScript(row.script, parts, error);
        EXPECT_EQ(ok, !row.texts.empty()) << ToUtf8(row.script) << ": " << ToUtf8(error);
        if (ok) EXPECT_EQ(std::make_pair(parts.texts, parts.literals), std::make_pair(row.texts, row.literals));
        if (!ok) EXPECT_NE(error.find(L"unterminated"), std::wstring::npos) << ToUtf8(row.script);
    }
}

TEST(PowerShellScripts, CommandLineTakesTheScriptAfterTheFixedOptions) {
    const std::wstring p = std::wstring(L"ps ") + kPrefix;
    const std::pair<std::wstring, const wchar_t*> rows[] = {  // null: refused
        {p + L"a   b  c", L"a b c"}, {p + L"\"say \\\"x\\\"\" \"ends \\\\\"", L"say \"x\" ends \\"},
        {L"ps -noprofile -NonInteractive -ExecutionPolicy Bypass -Command a", nullptr},
        {L"ps -NonInteractive -NoProfile -ExecutionPolicy Bypass -Command a", nullptr},
        {L"ps -NoProfile -NonInteractive -ExecutionPolicy Unrestricted -Command a", nullptr},
        {L"ps -NoProfile -NonInteractive -ExecutionPolicy Bypass -Command", nullptr}};
    for (const auto& [line, expected] : rows) {
        std::wstring script, error;
        EXPECT_EQ(ScriptFromCommandLine(line.c_str(), script, error), expected != nullptr) << ToUtf8(line);
        if (expected != nullptr) EXPECT_EQ(script, expected) << ToUtf8(line);
    }
}

TEST(PowerShellScripts, TemplatesAcceptAwkwardFolders) {
    // The setup program's shortcuts script, with %ls for the folder, is 711 units.
    EXPECT_EQ(Replace(ScriptTemplate(ScriptKind::Shortcuts), L"<DIR>", L"%ls").size(), 711u);
    for (const std::wstring dir : {L"C:\\Program Files\\Vorlasta", L"C:\\Users\\O'Neil\\V", L"C:\\O’Neil\\‘x‛ ‚y",
                                   L"C:\\$env:TEMP\\a;b`c (x86)", L"C:\\Zoë Иван 李\\V", L"\\\\server\\share\\V",
                                   L"C:\\ends with a space \\V"}) {
        for (ScriptKind kind : kKinds) {
            SCOPED_TRACE(ToUtf8(dir) + " " + ToUtf8(KindName(kind)));
            const std::wstring archive = dir + L"\\payload 'v2'.zip";
            const std::wstring line = L"p.exe " + std::wstring(kPrefix) + Arg(Script(kind, dir, archive));
            std::wstring script, error;
            ASSERT_TRUE(ScriptFromCommandLine(line.c_str(), script, error));
            RecognisedScript found;
            ASSERT_TRUE(RecogniseScript(script, found, error)) << ToUtf8(error);
            EXPECT_EQ(std::make_tuple(found.kind, found.dir, found.archive, found.pattern),
                      std::make_tuple(kind, dir, kind == ScriptKind::Expand ? archive : L"",
                                      kind == ScriptKind::Stop ? dir + L"\\*" : L""));
        }
    }
}

TEST(PowerShellScripts, ChangesOutsideLiteralsAndWrongLiteralsAreRejected) {
    for (ScriptKind kind : kKinds) {
        const std::wstring script = Script(kind, L"C:\\Shop");
        ASSERT_TRUE(Recognised(script));
        bool inLiteral = false;
        for (size_t i = 0; i < script.size(); ++i) {
            const bool quote = script[i] == L'\'';
            if (inLiteral && !quote) continue;
            if (quote) inLiteral = !inLiteral;
            std::wstring changed = script;
            changed[i] = changed[i] == L'X' ? L'Y' : L'X';
            EXPECT_FALSE(Recognised(changed)) << ToUtf8(KindName(kind)) << " changed at " << i;
            EXPECT_FALSE(Recognised(std::wstring(script).erase(i, 1))) << ToUtf8(KindName(kind)) << " cut at " << i;
        }
    }
    const std::wstring good = Script(ScriptKind::Shortcuts, L"C:\\Shop");
    std::vector<std::wstring> bad = {Replace(good, L"'Desktop'", L"'desktop'"), Replace(good, L",0'", L",1'"),
                                     Script(ScriptKind::Shortcuts, L""), Script(ScriptKind::Expand, L"C:\\Shop", L""),
                                     Replace(Script(ScriptKind::Stop, L"C:\\Shop"), L"\\*'", L"*'")};
    // Each of the six folders in turn names another folder.
    for (size_t at = good.find(L"C:\\Shop"); at != std::wstring::npos; at = good.find(L"C:\\Shop", at + 1)) {
        bad.push_back(std::wstring(good).replace(at, 7, L"C:\\Shoq"));
    }
    ASSERT_EQ(bad.size(), 5u + 6u);
    for (const std::wstring& script : bad) EXPECT_FALSE(Recognised(script)) << ToUtf8(script);
}

TEST(PowerShellScripts, LikeMatchesPowerShellWildcards) {
    const struct {
        const wchar_t *text, *pattern;
        int matches;  // -1: a pattern PowerShell refuses
    } rows[] = {
        {L"C:\\Shop\\python\\pythonw.exe", L"C:\\Shop\\*", 1}, {L"C:\\Shop Old\\x.exe", L"C:\\Shop\\*", 0},
        {L"C:\\Shop", L"C:\\Shop\\*", 0}, {L"c:\\shop\\X.EXE", L"C:\\SHOP\\*", 1},
        {L"C:\\ИВАН\\x", L"c:\\иван\\*", 1}, {L"C:\\ZOË\\x", L"C:\\zoë\\*", 1},
        {L"abc", L"a?c", 1}, {L"ac", L"a?c", 0}, {L"abbc", L"a?c", 0}, {L"", L"?", 0},
        {L"bx", L"[abc]x", 1}, {L"dx", L"[abc]x", 0}, {L"B", L"[a-c]", 1}, {L"-", L"[a-]", 1},
        {L"a*b", L"a`*b", 1}, {L"axb", L"a`*b", 0}, {L"a?", L"a`?", 1}, {L"ab", L"a`?", 0},
        {L"C:\\a[1]\\x", L"C:\\a`[1`]\\*", 1}, {L"C:\\a[1]\\x", L"C:\\a[1]\\*", 0},
        {L"]", L"[`]]", 1}, {L"a`b", L"a``b", 1}, {L"abc", L"ab", 0}, {L"", L"*", 1},
        {L"xxaxxbxx", L"*a*b*", 1}, {L"aab", L"*ab", 1},
        {L"a", L"a[bc", -1}, {L"a", L"[]", -1}, {L"C:\\x]\\a", L"C:\\x[`]\\*", -1},
    };
    for (const auto& row : rows) {
        std::wstring error;
        const std::string what = ToUtf8(row.text) + " -like " + ToUtf8(row.pattern);
        EXPECT_EQ(CheckLikePattern(row.pattern, error), row.matches >= 0) << what;
        if (row.matches >= 0) EXPECT_EQ(LikeMatch(row.text, row.pattern), row.matches == 1) << what;
    }
}

// ================= ZIP =================

TEST(ZipReader, Archives) {
    const std::string text(3000, 'x');
    const struct {
        const char* what;
        std::string archive;
        std::vector<std::pair<std::wstring, std::string>> files;  // "\\" at the end: a folder
        const wchar_t* error;                                     // part of the reason, or null for success
    } rows[] = {
        {"stored", e2e::MakeZip({{"a.txt", "hello"}, {"Zo\xC3\xAB/\xE6\x9D\x8E.txt", "z"}, {"e/", ""}}),
         {{L"a.txt", "hello"}, {L"Zoë\\李.txt", "z"}, {L"e\\", ""}}, nullptr},
        {"deflated", Zip("d/b.txt", Deflate(text), {{kMethod, 8}, {kCrc, Crc32(text)}, {kSize, 3000}}),
         {{L"d\\b.txt", text}}, nullptr},
        {"dot parts dropped", e2e::MakeZip({{"./a//b", "1"}}), {{L"a\\b", "1"}}, nullptr},
        {"non-ASCII without the flag", Zip("Zo\xEB", "1", {{kFlags, 0}}), {}, L"not ASCII"},
        {"flagged but not UTF-8", e2e::MakeZip({{"Zo\xEB", "1"}}), {}, L"not UTF-8"},
        {"CRC wrong", Zip("a", "hello", {{kCrc, 0}}), {}, L"CRC-32"},
        {"deflated data damaged", Zip("a", "hello", {{kMethod, 8}}), {}, L"does not inflate"},
        {"..", e2e::MakeZip({{"a/../../evil", "1"}}), {}, L"out of"},
        {".. with backslashes", e2e::MakeZip({{"a\\..\\..\\evil", "1"}}), {}, L"out of"},
        {"absolute", e2e::MakeZip({{"/etc/evil", "1"}}), {}, L"absolute"},
        {"drive", e2e::MakeZip({{"C:/evil", "1"}}), {}, L"character"},
        {"bzip2", Zip("a", "1", {{kMethod, 12}}), {}, L"method 12"},
        {"cut short", e2e::MakeZip({{"a", text}}).substr(0, 3000), {}, L"not a ZIP"},
    };
    for (const auto& row : rows) {
        std::vector<ZipEntry> entries;
        std::wstring error;
        const bool ok = ReadZip(row.archive, entries, error);
        EXPECT_EQ(ok, row.error == nullptr) << row.what << ": " << ToUtf8(error);
        if (!ok) EXPECT_NE(error.find(row.error ? row.error : L"?"), std::wstring::npos) << row.what;
        std::vector<std::pair<std::wstring, std::string>> got;
        for (const ZipEntry& e : entries) got.emplace_back(e.path + (e.directory ? L"\\" : L""), e.data);
        if (ok) EXPECT_EQ(got, row.files) << row.what;
    }
}

// A fresh folder with an awkward name per test, the log in it.
class StandinRun : public ::testing::Test {
protected:
    void SetUp() override { log = (root = e2e::NewScratchDir(L"standins Zoë Иван 李 O'Neil")) + L"\\standins.log"; }
    void TearDown() override { e2e::RemoveTree(root); }

    static std::wstring Program(const wchar_t* exe) { return e2e::Join(e2e::TestBinDir(), L"stand-ins\\") + exe; }
    // Runs a program to its end with the log and `env` set; its exit status.
    DWORD Run(const std::wstring& commandLine, std::vector<EnvChange> env = {}, const std::wstring& cwd = L"") {
        env.push_back({L"VORLASTA_STANDIN_LOG", log});
        e2e::ChildProcess child;
        EXPECT_TRUE(child.Start(commandLine, env, cwd) && child.WaitExit(60000)) << ToUtf8(commandLine);
        return child.ExitCode();
    }
    DWORD PowerShell(const std::wstring& script, std::vector<EnvChange> env = {}) {
        return Run(Arg(Program(L"powershell.exe")) + L" " + kPrefix + Arg(script), std::move(env));
    }
    StandinRecord Last() const {
        const std::vector<StandinRecord> records = ReadStandinLog(log);
        return records.empty() ? StandinRecord() : records.back();
    }

    std::wstring root, log;
};

// tar.exe into a folder that is there (bsdtar never makes it), given short
// paths its ANSI main can read, Expand-Archive into a new one.
TEST_F(StandinRun, TarAndExpandArchiveUnpackOrObeyTheInjectedExit) {
    const std::string zip = e2e::MakeZip({{"readme.txt", "new"}, {"app/data/", ""}, {"\xE6\x9D\x8E/Zo\xC3\xAB.txt", "z"}});
    const std::wstring archive = root + L"\\it's payload 1.zip", dest = root + L"\\install dir",
                       fresh = root + L"\\new $dir\\nested;(1)";
    ASSERT_TRUE(WriteBytes(archive, zip) && e2e::MakeDirs(dest));
    ASSERT_TRUE(WriteBytes(dest + L"\\readme.txt", "old") && WriteBytes(dest + L"\\keep.txt", "mine"));
    const std::wstring shortRoot = e2e::ShortPath(root), tarArchive = shortRoot + L"\\it's payload 1.zip",
                       tarDest = shortRoot + L"\\install dir";
    const std::wstring tar = e2e::Quote(Program(L"tar.exe")), files = e2e::Quote(tarArchive) + L" -C " + e2e::Quote(tarDest);
    const std::wstring ps = Arg(Program(L"powershell.exe")) + L" " + kPrefix;
    const std::wstring script = Script(ScriptKind::Expand, fresh, archive);
    const struct {
        std::wstring line, folder;
        std::vector<EnvChange> env;
        DWORD status;
    } rows[] = {
        {tar + L" -xvf " + files, dest, {}, 64},  // not the shape the setup program uses
        {tar + L" -xf " + files, dest, {{L"VORLASTA_STANDIN_TAR_EXIT", L"5"}, {L"VORLASTA_STANDIN_TAR_SLEEP_MS", L"50"}}, 5},
        // Long paths reach it with '?' for Иван and 李, as they reach bsdtar.
        {tar + L" -xf " + e2e::Quote(archive) + L" -C " + e2e::Quote(dest), dest, {}, 1},
        {tar + L" -xf " + files, dest, {}, 0},
        {tar + L" -xf " + e2e::Quote(tarArchive) + L" -C " + e2e::Quote(shortRoot + L"\\none"), root + L"\\none", {}, 1},
        {ps + Arg(Replace(script, L"-LiteralPath", L"-Path")), fresh, {}, 64},  // not one of the three scripts
        {ps + Arg(script), fresh, {{L"VORLASTA_STANDIN_PS_EXIT_EXPAND", L"3"}}, 3},
        {ps + Arg(script), fresh, {}, 0},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Run(row.line, row.env), row.status) << ToUtf8(row.line);
        EXPECT_EQ(Last().exitCode, int(row.status)) << ToUtf8(row.line);
        EXPECT_EQ(Last().error.empty(), row.status != 64 && row.status != 1) << ToUtf8(Last().error);
        const char* readme = row.status == 0 ? "new" : row.folder == dest ? "old" : "";
        EXPECT_EQ(ReadBytes(row.folder + L"\\readme.txt"), readme) << ToUtf8(row.line);
    }
    for (const std::wstring& folder : {dest, fresh}) {
        EXPECT_TRUE(e2e::IsDirectory(folder + L"\\app\\data"));
        EXPECT_EQ(ReadBytes(folder + L"\\李\\Zoë.txt"), "z");
    }
    EXPECT_EQ(ReadBytes(dest + L"\\keep.txt"), "mine");
    const std::vector<StandinRecord> records = ReadStandinLog(log);
    ASSERT_EQ(records.size(), 8u);
    const StandinRecord& unpacked = records[3];
    EXPECT_EQ(std::make_tuple(unpacked.program, unpacked.archive, unpacked.destination, unpacked.archiveCrc),
              std::make_tuple(L"tar"s, tarArchive, tarDest, Hex8(Crc32(zip))));
    EXPECT_EQ(unpacked.args, (std::vector<std::wstring>{L"-xf", tarArchive, L"-C", tarDest}));
    EXPECT_EQ(records[2].destination, root.substr(0, root.find(L'\u0418')) + L"???? ? O'Neil\\install dir");
    EXPECT_EQ(std::make_pair(records[7].program, records[7].kind), std::make_pair(L"powershell"s, L"expand"s));
    EXPECT_EQ(std::make_pair(records[7].script, records[7].literals),
              std::make_pair(script, std::vector<std::wstring>{archive, fresh}));
}

TEST_F(StandinRun, PowerShellMakesShortcutsAndTheUninstallEntry) {
    const std::wstring dir = root + L"\\Shop (x86) $a;b` ’q’";
    ASSERT_TRUE(e2e::MakeDirs(dir) && WriteBytes(dir + L"\\Vorlasta.exe", "MZ"));
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kUninstallKey, L"Stale", REG_SZ, L"x", 4), ERROR_SUCCESS);
    const auto value = [](const wchar_t* name) { return e2e::ReadRegistryValue(HKEY_CURRENT_USER, kUninstallKey, name); };

    EXPECT_EQ(PowerShell(Script(ScriptKind::Shortcuts, dir), {{L"VORLASTA_STANDIN_PS_EXIT_SHORTCUTS", L"7"}}), 7u);
    EXPECT_TRUE(value(L"Stale").present);  // injected: nothing done
    EXPECT_EQ(PowerShell(Script(ScriptKind::Shortcuts, dir)), 0u) << ToUtf8(Last().error);
    EXPECT_EQ(Last().kind, L"shortcuts");
    for (int folder : {CSIDL_DESKTOPDIRECTORY, CSIDL_PROGRAMS}) {
        const std::wstring file = e2e::FolderPath(folder) + L"\\Vorlasta.lnk";
        const e2e::Shortcut s = e2e::ReadShortcut(file);
        EXPECT_TRUE(s.loaded) << ToUtf8(file);
        EXPECT_EQ(std::make_pair(s.target, s.workingDirectory), std::make_pair(dir + L"\\Vorlasta.exe", dir));
        EXPECT_EQ(std::make_tuple(s.iconPath, s.iconIndex, s.description),
                  std::make_tuple(dir + L"\\Vorlasta.exe", 0, L"Vorlasta by Morvenhale"s));
        EXPECT_TRUE(DeleteFileW(file.c_str()));
    }
    const std::tuple<const wchar_t*, DWORD, std::wstring, DWORD> values[] = {
        {L"DisplayName", REG_SZ, L"Vorlasta", 0}, {L"Publisher", REG_SZ, L"Morvenhale", 0},
        {L"DisplayIcon", REG_SZ, dir + L"\\Vorlasta.exe", 0}, {L"InstallLocation", REG_SZ, dir, 0},
        {L"UninstallString", REG_SZ, L"explorer.exe \"" + dir + L"\"", 0}, {L"NoModify", REG_DWORD, L"", 1}};
    for (const auto& [name, type, text, number] : values) {
        const e2e::RegistryValue got = value(name);
        EXPECT_EQ(std::make_tuple(got.type, got.text, got.number), std::make_tuple(type, text, number)) << ToUtf8(name);
    }
    EXPECT_FALSE(value(L"Stale").present);  // New-Item -Force made the key afresh
    e2e::DeleteRegistryTree(HKEY_CURRENT_USER, kUninstallKey);
}

TEST_F(StandinRun, PowerShellStopsOnlyPythonsInTheFolder) {
    const std::wstring shop = root + L"\\Shop", script = root + L"\\wait.py";
    ASSERT_TRUE(WriteBytes(script, "sleep 60000\n"));
    e2e::ChildProcess pythons[2];
    for (int i = 0; i < 2; ++i) {
        const std::wstring folder = shop + (i == 0 ? L"" : L" Old") + L"\\python";
        ASSERT_TRUE(e2e::MakeDirs(folder) &&
                    CopyFileW(Program(L"pythonw.exe").c_str(), (folder + L"\\pythonw.exe").c_str(), FALSE));
        ASSERT_TRUE(pythons[i].Start(e2e::Quote(folder + L"\\pythonw.exe") + L" " + e2e::Quote(script),
                                     {{L"VORLASTA_STANDIN_LOG", log}}));
    }
    for (int tries = 0; tries < 200 && ReadStandinLog(log).size() < 2; ++tries) Sleep(50);
    ASSERT_EQ(ReadStandinLog(log).size(), 2u);

    EXPECT_EQ(PowerShell(Script(ScriptKind::Stop, shop)), 0u) << ToUtf8(Last().error);
    EXPECT_TRUE(pythons[0].WaitExit(10000));
    EXPECT_EQ(pythons[0].ExitCode(), 0xFFFFFFFFu);
    EXPECT_TRUE(pythons[1].Running());  // "Shop Old" is not below "Shop"; still in its 60 s sleep
    EXPECT_EQ(std::make_pair(Last().kind, Last().stopped),
              std::make_pair(L"stop"s, std::vector<std::wstring>{shop + L"\\python\\pythonw.exe"}));
    // An unbalanced [ is no wildcard pattern PowerShell accepts.
    EXPECT_EQ(PowerShell(Script(ScriptKind::Stop, root + L"\\a[b")), 64u);
}

TEST_F(StandinRun, PythonFollowsItsScript) {
    const struct {
        const char* script;  // null: no script file
        DWORD status;
        const char* appLog;  // what data\app.log holds afterwards
    } rows[] = {
        {"\xEF\xBB\xBF# app\r\nsleep 10\r\n\nwrite data\\app.log hello  world\nexit 7\nwrite data\\app.log x", 7,
         "hello  world"},
        {"exit -2", 0xFFFFFFFE, ""},
        {"write data\\app.log early\nimport os", 64, ""},  // the whole script is checked first
        {nullptr, 2, ""},
    };
    std::vector<Directive> parsed;
    std::wstring error;
    for (const char* bad : {"sleep -1", "sleep 1.5", "exit 4294967296", "write onlypath", "write C:\\x y", "Sleep 1"}) {
        EXPECT_FALSE(ParseDirectives(bad, parsed, error)) << bad;
    }
    const std::wstring main = root + L"\\app\\main.py";
    ASSERT_TRUE(e2e::MakeDirs(root + L"\\app"));
    for (const auto& row : rows) {
        SCOPED_TRACE(row.script ? row.script : "no script");
        DeleteFileW((root + L"\\data\\app.log").c_str());
        DeleteFileW(main.c_str());
        if (row.script != nullptr) ASSERT_TRUE(WriteBytes(main, row.script));
        const std::wstring line = e2e::Quote(Program(L"pythonw.exe")) + L" " + e2e::Quote(main) + L" --tail \"a b\n\"";
        EXPECT_EQ(Run(line, {}, root), row.status);
        EXPECT_EQ(ReadBytes(root + L"\\data\\app.log"), row.appLog);
        const StandinRecord end = Last();
        EXPECT_EQ(std::make_pair(end.phase, end.exitCode), std::make_pair(L"end"s, int(row.status)));
        EXPECT_EQ(end.cwd, root);
        EXPECT_EQ(end.args, (std::vector<std::wstring>{main, L"--tail", L"a b\n"}));
    }
    // The log reader leaves out a record still being appended.
    const size_t complete = ReadStandinLog(log).size();
    ASSERT_TRUE(WriteBytes(log, ReadBytes(log) + "program=tar\nexi"));
    EXPECT_EQ(ReadStandinLog(log).size(), complete);
}

}  // namespace
