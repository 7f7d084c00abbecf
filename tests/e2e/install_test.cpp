// The whole setup under Wine: progress window, stop step, unpacking by tar or
// the PowerShell fallback, shortcuts, uninstall entry, the program opened, and
// the failure paths, with our stand-ins for powershell.exe and tar.exe.
#include <gtest/gtest.h>

#include <shlobj.h>

#include <algorithm>

#include "tests/support/e2e.h"
#include "tests/support/standin_log.h"

using namespace e2e;

namespace {

const wchar_t kUnpackFailed[] = L"Could not unpack Vorlasta. Check there is free disk space and try again.";
const wchar_t kUninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vorlasta";

// The python stand-in: it logs how it was started, so it also plays the
// installed Vorlasta.exe that the setup opens at the end.
const std::string& StandinProgram() {
    static const std::string bytes = ReadBytes(Join(TestBinDir(), L"stand-ins\\pythonw.exe"));
    return bytes;
}

struct Payload {
    bool launcher = true;
    std::string shopDb;  // non-empty: data/shop.db travels too (a move), first
    std::vector<std::pair<std::string, std::string>> more;  // at the end
    std::vector<std::pair<std::string, std::string>> Entries() const {
        std::vector<std::pair<std::string, std::string>> entries;
        if (!shopDb.empty()) entries.push_back({"data/shop.db", shopDb});
        if (launcher) entries.push_back({"Vorlasta.exe", StandinProgram()});
        entries.push_back({"python/", ""});
        entries.push_back({"python/pythonw.exe", StandinProgram()});
        entries.push_back({"app/", ""});
        entries.push_back({"app/main.py", "exit 0\n"});
        entries.insert(entries.end(), more.begin(), more.end());
        return entries;
    }
    std::string Zip() const { return MakeZip(Entries()); }
};

class Install : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(StandinProgram().empty());
        root_ = NewScratchDir(L"install");
        UseLocalAppData(Join(root_, L"Local"));
        temp_ = Join(root_, L"Temp");
        downloads_ = Join(root_, L"Downloads");
        log_ = Join(root_, L"standins.log");
        MakeDirs(temp_);
        MakeDirs(downloads_);
        CleanDesktop();
    }
    void TearDown() override {
        CleanDesktop();
        RemoveTree(root_);
    }

    static void CleanDesktop() {
        DeleteFileW(Join(FolderPath(CSIDL_DESKTOPDIRECTORY), L"Vorlasta.lnk").c_str());
        DeleteFileW(Join(FolderPath(CSIDL_PROGRAMS), L"Vorlasta.lnk").c_str());
        DeleteRegistryTree(HKEY_CURRENT_USER, kUninstallKey);
    }

    void UseLocalAppData(const std::wstring& local) {
        local_ = local;
        MakeDirs(local_);
    }
    std::wstring Dir() const { return Join(local_, L"Vorlasta"); }

    std::wstring WriteSetup(const std::string& payload, int mode) {
        std::wstring path = Join(downloads_, L"Vorlasta-Setup.exe");
        EXPECT_TRUE(WriteBytes(path, SetupFile(payload, mode)));
        return path;
    }

    bool StartSetup(ChildProcess& setup, const std::wstring& path, std::vector<EnvChange> env = {}) {
        std::vector<EnvChange> all = {
            {L"LOCALAPPDATA", local_}, {L"TMP", temp_}, {L"TEMP", temp_}, {L"VORLASTA_STANDIN_LOG", log_}};
        all.insert(all.end(), env.begin(), env.end());
        return setup.Start(Quote(path), all, downloads_);
    }

    // Runs the setup, answering the question OK; boxes after it are recorded.
    RunResult RunSetup(const std::string& payload, int mode, std::vector<EnvChange> env = {}) {
        ChildProcess setup;
        EXPECT_TRUE(StartSetup(setup, WriteSetup(payload, mode), env));
        RunResult run = RunAnswering(setup, {IDOK});
        EXPECT_TRUE(run.ended);
        EXPECT_GE(run.boxes.size(), 1u);
        if (!run.boxes.empty()) EXPECT_EQ(run.boxes[0].icon, BoxIcon::Question);
        return run;
    }

    std::vector<StandinRecord> Log() const { return ReadStandinLog(log_); }
    std::vector<StandinRecord> Records(const wchar_t* program, const wchar_t* kind = nullptr) const {
        std::vector<StandinRecord> found;
        for (const StandinRecord& r : Log())
            if (r.program == program && (!kind || r.kind == kind)) found.push_back(r);
        return found;
    }
    std::vector<std::wstring> TempArchives() const { return ListNames(temp_, L"vorlasta-*.zip"); }

    // The installed program as the setup opened it (the python stand-in's record).
    std::optional<StandinRecord> WaitForOpenedProgram() const {
        for (int i = 0; i < 300; ++i) {
            for (const StandinRecord& r : Log())
                if (r.program == L"python" && r.phase == L"start" &&
                    r.commandLine.find(L"Vorlasta.exe") != std::wstring::npos)
                    return r;
            Sleep(100);
        }
        return std::nullopt;
    }

    void ExpectInstalled() {
        const std::wstring dir = Dir();
        EXPECT_EQ(ReadBytes(Join(dir, L"Vorlasta.exe")), StandinProgram());
        EXPECT_EQ(ReadBytes(Join(dir, L"python\\pythonw.exe")), StandinProgram());
        EXPECT_EQ(ReadBytes(Join(dir, L"app\\main.py")), "exit 0\n");
        EXPECT_TRUE(TempArchives().empty()) << "the temporary archive is deleted";

        for (int csidl : {CSIDL_DESKTOPDIRECTORY, CSIDL_PROGRAMS}) {
            Shortcut link = ReadShortcut(Join(FolderPath(csidl), L"Vorlasta.lnk"));
            ASSERT_TRUE(link.loaded) << "shortcut in folder " << csidl;
            EXPECT_EQ(link.target, Join(dir, L"Vorlasta.exe"));
            EXPECT_EQ(link.workingDirectory, dir);
            EXPECT_EQ(link.iconPath, Join(dir, L"Vorlasta.exe"));
            EXPECT_EQ(link.iconIndex, 0);
            EXPECT_EQ(link.description, L"Vorlasta by Morvenhale");
        }
        struct Expected {
            const wchar_t* name;
            std::wstring text;
        } values[] = {{L"DisplayName", L"Vorlasta"},
                      {L"Publisher", L"Morvenhale"},
                      {L"DisplayIcon", Join(dir, L"Vorlasta.exe")},
                      {L"InstallLocation", dir},
                      {L"UninstallString", L"explorer.exe \"" + dir + L"\""}};
        for (const Expected& e : values) {
            RegistryValue v = ReadRegistryValue(HKEY_CURRENT_USER, kUninstallKey, e.name);
            EXPECT_TRUE(v.present && v.type == REG_SZ) << e.name;
            EXPECT_EQ(v.text, e.text) << e.name;
        }
        RegistryValue noModify = ReadRegistryValue(HKEY_CURRENT_USER, kUninstallKey, L"NoModify");
        EXPECT_TRUE(noModify.present);
        EXPECT_EQ(noModify.number, 1u);

        std::optional<StandinRecord> opened = WaitForOpenedProgram();
        ASSERT_TRUE(opened) << "the installed Vorlasta.exe was opened";
        EXPECT_EQ(opened->cwd, dir) << "opened with the installation folder as working directory";
    }

    // Every PowerShell literal decodes to the real paths.
    void ExpectLiteralsNameTheFolder() {
        const std::wstring dir = Dir();
        std::vector<StandinRecord> stop = Records(L"powershell", L"stop");
        ASSERT_EQ(stop.size(), 1u);
        EXPECT_EQ(stop[0].literals, std::vector<std::wstring>{dir + L"\\*"});
        std::vector<StandinRecord> shortcuts = Records(L"powershell", L"shortcuts");
        ASSERT_EQ(shortcuts.size(), 1u);
        const std::vector<std::wstring> expected = {
            L"Desktop", L"Programs", L"Vorlasta.lnk", dir + L"\\Vorlasta.exe", dir, dir + L"\\Vorlasta.exe,0",
            L"Vorlasta by Morvenhale",
            L"HKCU:\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vorlasta", L"Vorlasta",
            L"Morvenhale", dir + L"\\Vorlasta.exe", dir, L"explorer.exe \"" + dir + L"\""};
        EXPECT_EQ(shortcuts[0].literals, expected);
        for (const StandinRecord& r : Records(L"powershell")) EXPECT_EQ(r.exitCode, 0) << r.error;
    }

    std::wstring root_, local_, temp_, downloads_, log_;
};

TEST_F(Install, FreshInstallEndToEnd) {
    ChildProcess setup;
    // tar lingers a little so the progress window can be looked at.
    ASSERT_TRUE(StartSetup(setup, WriteSetup(Payload{}.Zip(), 0), {{L"VORLASTA_STANDIN_TAR_SLEEP_MS", L"1500"}}));
    std::optional<MessageBoxSeen> question = WaitForMessageBox(setup, 60000);
    ASSERT_TRUE(question);
    Press(*question, IDOK);

    HWND progress = WaitForWindow(setup, L"VorlastaSfx", 60000);
    ASSERT_TRUE(progress) << "progress window of class VorlastaSfx";
    EXPECT_EQ(TextOf(progress), L"Vorlasta");
    RECT r;
    GetWindowRect(progress, &r);
    EXPECT_EQ(r.left, 750);
    EXPECT_EQ(r.top, 470);
    EXPECT_EQ(r.right - r.left, 420);
    EXPECT_EQ(r.bottom - r.top, 140);
    EXPECT_TRUE(GetWindowLongW(progress, GWL_EXSTYLE) & WS_EX_TOPMOST);
    const LONG style = GetWindowLongW(progress, GWL_STYLE);
    EXPECT_EQ(style & (WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME), WS_CAPTION);
    // The label is created just after the window: give it a moment.
    HWND label = nullptr;
    for (int i = 0; i < 200 && !label; ++i) {
        label = FindWindowExW(progress, nullptr, L"Static", nullptr);
        if (!label) Sleep(10);
    }
    ASSERT_TRUE(label);
    EXPECT_EQ(TextOf(label), L"Installing Vorlasta...\nPlease wait, this can take a minute.");
    GetWindowRect(label, &r);
    EXPECT_EQ(r.right - r.left, 390);
    EXPECT_EQ(r.bottom - r.top, 50);

    RunResult rest = RunAnswering(setup, {});
    ASSERT_TRUE(rest.ended);
    EXPECT_EQ(rest.exitCode, 0u);
    EXPECT_TRUE(rest.boxes.empty()) << (rest.boxes.empty() ? L"" : rest.boxes[0].text);
    ExpectInstalled();
    ExpectLiteralsNameTheFolder();

    // tar from the system folder got the archive and the folder, unquoted paths.
    std::vector<StandinRecord> tar = Records(L"tar");
    ASSERT_EQ(tar.size(), 1u);
    EXPECT_EQ(tar[0].destination, Dir());
    EXPECT_EQ(tar[0].archive.rfind(temp_ + L"\\vorlasta-", 0), 0u) << tar[0].archive;
    EXPECT_TRUE(Records(L"powershell", L"expand").empty()) << "no fallback when tar succeeds";
}

TEST_F(Install, OutsideClosesWaitForTheWorker) {
    const std::wstring hold = Join(root_, L"tar.hold");
    ASSERT_TRUE(WriteBytes(hold, ""));
    ChildProcess setup;
    ASSERT_TRUE(StartSetup(setup, WriteSetup(Payload{}.Zip(), 0), {{L"VORLASTA_STANDIN_TAR_HOLD", hold}}));
    std::optional<MessageBoxSeen> question = WaitForMessageBox(setup, 60000);
    ASSERT_TRUE(question);
    Press(*question, IDOK);
    HWND progress = WaitForWindow(setup, L"VorlastaSfx", 60000);
    ASSERT_TRUE(progress);
    for (int i = 0; i < 1200 && ProcessesNamed(L"tar.exe").empty(); ++i) Sleep(50);
    ASSERT_FALSE(ProcessesNamed(L"tar.exe").empty()) << "tar started and is held";

    // Another program's close, then Alt+F4's; each is handled before the call returns.
    DWORD_PTR ignored;
    for (auto [message, wParam] : {std::pair<UINT, WPARAM>{WM_CLOSE, 0}, {WM_SYSCOMMAND, SC_CLOSE}}) {
        EXPECT_TRUE(SendMessageTimeoutW(progress, message, wParam, 0, SMTO_NORMAL, 60000, &ignored)) << message;
        EXPECT_TRUE(IsWindow(progress)) << "message " << message << " closed the window mid-install";
    }
    // A quit posted to the window's thread: the old loop would end on it as the install goes on.
    EXPECT_TRUE(PostThreadMessageW(GetWindowThreadProcessId(progress, nullptr), WM_QUIT, 0, 0));
    DeleteFileW(hold.c_str());

    RunResult rest = RunAnswering(setup, {});
    ASSERT_TRUE(rest.ended);
    EXPECT_EQ(rest.exitCode, 0u);
    EXPECT_TRUE(rest.boxes.empty()) << (rest.boxes.empty() ? L"" : rest.boxes[0].text);
    ExpectInstalled();
    size_t opened = 0;
    for (const StandinRecord& r : Records(L"python"))
        opened += r.phase == L"start" && r.commandLine.find(L"Vorlasta.exe") != std::wstring::npos;
    EXPECT_EQ(opened, 1u) << "the installed program is opened once";
}

TEST_F(Install, NoProgressWindowNoWorker) {
    ChildProcess setup;
    ASSERT_TRUE(StartSetup(setup, WriteSetup(Payload{}.Zip(), 0)));
    std::optional<MessageBoxSeen> question = WaitForMessageBox(setup, 60000);
    ASSERT_TRUE(question);
    // The question runs on the thread that then makes the progress window: refuse it there.
    HMODULE refusal = LoadLibraryW(Join(TestBinDir(), L"window_refusal.dll").c_str());
    ASSERT_TRUE(refusal);
    HHOOK hook = SetWindowsHookExW(WH_CBT, reinterpret_cast<HOOKPROC>(GetProcAddress(refusal, "RefuseProgressWindow")),
                                   refusal, GetWindowThreadProcessId(question->window, nullptr));
    ASSERT_TRUE(hook);
    Press(*question, IDOK);
    for (int i = 0; i < 1200 && IsWindow(question->window); ++i) Sleep(50);
    RunResult rest = RunAnswering(setup, {IDOK});
    UnhookWindowsHookEx(hook);
    ASSERT_TRUE(rest.ended) << "the setup hangs with nothing on screen";
    ASSERT_EQ(rest.boxes.size(), 1u);
    EXPECT_EQ(rest.boxes[0].text, L"Something went wrong.");
    EXPECT_EQ(rest.exitCode, 1u);
    EXPECT_TRUE(TempArchives().empty());
    EXPECT_TRUE(Log().empty()) << "no worker step ran";
}

TEST_F(Install, UpdateKeepsTheShopsDataAndOnlyTheNewProgram) {
    // v1 has a module and a package version that v2 no longer has, and a read-only file.
    const Payload v1{true, "", {{"app/old_module.py", "import gone\n"}, {"python/Lib/", ""},
                                {"python/Lib/foo-1.0.dist-info/", ""}, {"python/Lib/foo-1.0.dist-info/RECORD", "1.0"}}};
    const Payload v2{true, "", {{"python/Lib/", ""}, {"python/Lib/foo-2.0.dist-info/", ""}}};
    ASSERT_EQ(RunSetup(v1.Zip(), 0).exitCode, 0u);
    SetFileAttributesW(Join(Dir(), L"python\\Lib\\foo-1.0.dist-info\\RECORD").c_str(), FILE_ATTRIBUTE_READONLY);
    // The shop's data and a file of its own; an old program an earlier update could not delete.
    const std::string db = RandomBytes(300000, 11), appLog = "2026-12-01 started\n";
    MakeDirs(Join(Dir(), L"data"));
    WriteBytes(Join(Dir(), L"data\\shop.db"), db);
    WriteBytes(Join(Dir(), L"data\\app.log"), appLog);
    WriteBytes(Join(Dir(), L"notes.txt"), "the shop's");
    MakeDirs(Join(Dir(), L"program-before-20240102-030405\\app"));

    RunResult run = RunSetup(v2.Zip(), 0);
    EXPECT_NE(run.boxes[0].text.find(L"It will be updated and ALL your data is kept."), std::wstring::npos);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.boxes.size(), 1u);
    ExpectInstalled();
    std::map<std::wstring, std::string> expected = {
        {L"data\\", ""}, {L"data\\shop.db", db}, {L"data\\app.log", appLog}, {L"notes.txt", "the shop's"}};
    for (auto [name, bytes] : v2.Entries()) std::replace(name.begin(), name.end(), '/', '\\'), expected[FromUtf8(name)] = bytes;
    EXPECT_TRUE(Files(Dir()) == expected) << "exactly v2 and the shop's own; no data set aside, no old program left";
}

TEST_F(Install, MoveWithoutAndWithExistingData) {
    // No data yet: straight to unpacking.
    RunResult run = RunSetup(Payload{true, "moved shop"}.Zip(), 2);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(ReadBytes(Join(Dir(), L"data\\shop.db")), "moved shop");
    EXPECT_TRUE(ListNames(Dir(), L"data-before-move-*").empty());

    // Data there: set aside under the stamp, the payload's data in place.
    WriteBytes(Join(Dir(), L"data\\extra.txt"), "kept");
    SYSTEMTIME before;
    GetLocalTime(&before);
    run = RunSetup(Payload{true, "second shop"}.Zip(), 2);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.boxes.size(), 1u);
    EXPECT_NE(run.boxes[0].text.find(L"kept as a safety copy"), std::wstring::npos);
    std::vector<std::wstring> aside = ListNames(Dir(), L"data-before-move-*");
    ASSERT_EQ(aside.size(), 1u);
    const std::wstring stamp = aside[0].substr(wcslen(L"data-before-move-"));
    ASSERT_EQ(stamp.size(), 15u);
    EXPECT_EQ(stamp[8], L'-');
    wchar_t day[16];
    swprintf(day, 16, L"%04d%02d%02d", before.wYear, before.wMonth, before.wDay);
    EXPECT_EQ(stamp.substr(0, 8), day) << "stamp from the local date";
    EXPECT_EQ(ReadBytes(Join(Dir(), aside[0] + L"\\shop.db")), "moved shop");
    EXPECT_EQ(ReadBytes(Join(Dir(), aside[0] + L"\\extra.txt")), "kept");
    EXPECT_EQ(ReadBytes(Join(Dir(), L"data\\shop.db")), "second shop");
    ExpectInstalled();
}

TEST_F(Install, MoveWhoseAsideFolderIsTakenLosesNothing) {
    // An earlier move in the same second already holds the aside name: taken
    // here for every second the worker could start in.
    MakeDirs(Join(Dir(), L"data"));
    WriteBytes(Join(Dir(), L"data\\shop.db"), "current shop");
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER t{{now.dwLowDateTime, now.dwHighDateTime}};
    for (int s = -2; s < 180; ++s) {
        ULARGE_INTEGER at;
        at.QuadPart = t.QuadPart + static_cast<ULONGLONG>(s) * 10000000ULL;
        FILETIME utc{at.LowPart, at.HighPart}, local;
        FileTimeToLocalFileTime(&utc, &local);
        SYSTEMTIME st;
        FileTimeToSystemTime(&local, &st);
        wchar_t name[64];
        swprintf(name, 64, L"data-before-move-%04d%02d%02d-%02d%02d%02d", st.wYear, st.wMonth, st.wDay, st.wHour,
                 st.wMinute, st.wSecond);
        MakeDirs(Join(Dir(), name));
        WriteBytes(Join(Dir(), std::wstring(name) + L"\\shop.db"), "earlier shop");
    }

    RunResult run = RunSetup(Payload{true, "incoming shop"}.Zip(), 2);
    ASSERT_EQ(run.boxes.size(), 2u);
    EXPECT_EQ(run.boxes[1].text, L"Could not put the old data aside (" + Dir() +
                                     L"\\data). Close Vorlasta and try again.");
    EXPECT_EQ(run.boxes[1].icon, BoxIcon::Error);
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_EQ(ReadBytes(Join(Dir(), L"data\\shop.db")), "current shop");
    for (const std::wstring& aside : ListNames(Dir(), L"data-before-move-*"))
        EXPECT_EQ(ReadBytes(Join(Dir(), aside + L"\\shop.db")), "earlier shop");
    EXPECT_EQ(TempArchives().size(), 1u) << "the archive stays for another try";
    EXPECT_TRUE(Records(L"tar").empty());
    EXPECT_FALSE(Exists(Join(Dir(), L"Vorlasta.exe")));
}

TEST_F(Install, FallbackWhenTarFailsOrIsMissing) {
    // tar ends with an error: Expand-Archive installs.
    RunResult run = RunSetup(Payload{}.Zip(), 0, {{L"VORLASTA_STANDIN_TAR_EXIT", L"2"}});
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.boxes.size(), 1u);
    ASSERT_EQ(Records(L"tar").size(), 1u);
    std::vector<StandinRecord> expand = Records(L"powershell", L"expand");
    ASSERT_EQ(expand.size(), 1u);
    ASSERT_EQ(expand[0].literals.size(), 2u);
    EXPECT_EQ(expand[0].literals[0], Records(L"tar")[0].archive);
    EXPECT_EQ(expand[0].literals[1], Dir());
    ExpectInstalled();

    // No tar at all.
    CleanDesktop();
    RemoveTree(Dir());
    DeleteFileW(log_.c_str());
    const std::wstring tar = Join(FolderPath(CSIDL_SYSTEM), L"tar.exe"), hidden = tar + L".away";
    ASSERT_TRUE(MoveFileW(tar.c_str(), hidden.c_str()));
    run = RunSetup(Payload{}.Zip(), 0);
    MoveFileW(hidden.c_str(), tar.c_str());
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.boxes.size(), 1u);
    EXPECT_TRUE(Records(L"tar").empty());
    EXPECT_EQ(Records(L"powershell", L"expand").size(), 1u);
    ExpectInstalled();
}

TEST_F(Install, UnpackFailures) {
    // Both unpackers fail.
    RunResult run = RunSetup(Payload{}.Zip(), 0,
                             {{L"VORLASTA_STANDIN_TAR_EXIT", L"1"}, {L"VORLASTA_STANDIN_PS_EXIT_EXPAND", L"1"}});
    ASSERT_EQ(run.boxes.size(), 2u);
    EXPECT_EQ(run.boxes[1].text, kUnpackFailed);
    EXPECT_EQ(run.boxes[1].icon, BoxIcon::Error);
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_TRUE(TempArchives().empty()) << "the archive is deleted after the fallback";
    EXPECT_TRUE(Records(L"powershell", L"shortcuts").empty());

    // Unpacked, but no Vorlasta.exe in the payload.
    run = RunSetup(Payload{false}.Zip(), 0);
    ASSERT_EQ(run.boxes.size(), 2u);
    EXPECT_EQ(run.boxes[1].text, kUnpackFailed);
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_TRUE(Exists(Join(Dir(), L"app\\main.py"))) << "tar did unpack";
    EXPECT_TRUE(TempArchives().empty());
    EXPECT_TRUE(Records(L"powershell", L"shortcuts").empty());

    // A move over this PC's own program and data: a full disk stops tar half-way
    // and Expand-Archive fails. The PC is as it was, the old data back in data.
    MakeDirs(Join(Dir(), L"data"));
    WriteBytes(Join(Dir(), L"Vorlasta.exe"), "this PC's launcher");
    WriteBytes(Join(Dir(), L"data\\shop.db"), "this PC's shop");
    const std::map<std::wstring, std::string> before = Files(Dir());
    const std::vector<EnvChange> fullDisk = {{L"VORLASTA_STANDIN_TAR_HALF", L"1"}, {L"VORLASTA_STANDIN_PS_EXIT_EXPAND", L"1"}};
    run = RunSetup(Payload{true, "moved shop"}.Zip(), 2, fullDisk);
    ASSERT_EQ(run.boxes.size(), 2u);
    EXPECT_EQ(run.boxes[1].text, kUnpackFailed);
    EXPECT_TRUE(Files(Dir()) == before) << "the old program and data are back, nothing else is left";
}

TEST_F(Install, AwkwardFolderNames) {
    const wchar_t* names[] = {
        L"a b  c",                          // a space, and two in a row
        L"O'Neil",                          // apostrophe
        L"O\u2019Neil \u2018x\u201A\u201B",  // typographic quotes
        L"$x;`y (z)",                       // PowerShell's special characters
        L"Zo\u00eb \u0418\u0432\u0430\u043d \u674e",
    };
    for (const wchar_t* name : names) {
        SCOPED_TRACE(ToUtf8(name));
        CleanDesktop();
        DeleteFileW(log_.c_str());
        UseLocalAppData(Join(Join(root_, name), L"AppData\\Local"));
        RunResult run = RunSetup(Payload{}.Zip(), 0);
        EXPECT_EQ(run.exitCode, 0u);
        EXPECT_EQ(run.boxes.size(), 1u);
        ExpectInstalled();
        ExpectLiteralsNameTheFolder();
    }
}

// tar has an ANSI main: a path with characters outside the code page (1252
// here) reaches it in its short form, and only such a path.
TEST_F(Install, TarGetsShortFormsOnlyOfPathsOutsideTheCodePage) {
    ASSERT_EQ(GetACP(), 1252u) << "the rows assume a Western-European code page";
    const std::wstring petr = L"\u041f\u0451\u0442\u0440 \u5c71\u7530";  // Пётр 山田
    const struct Row {
        std::wstring localProfile, tempProfile;
        bool dirShort, archiveShort;
    } rows[] = {
        {L"Plain", L"Plain", false, false},
        {L"Jos\u00e9", L"Jos\u00e9", false, false},
        {petr, petr, true, true},
        {petr, L"Plain", true, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(ToUtf8(row.localProfile + L" / " + row.tempProfile));
        CleanDesktop();
        DeleteFileW(log_.c_str());
        UseLocalAppData(Join(root_, row.localProfile + L"\\AppData\\Local"));
        temp_ = Join(root_, row.tempProfile + L"\\AppData\\Local\\Temp");
        MakeDirs(temp_);
        RunResult run = RunSetup(Payload{}.Zip(), 0);
        EXPECT_EQ(run.exitCode, 0u);
        EXPECT_EQ(run.boxes.size(), 1u);
        ExpectInstalled();
        ExpectLiteralsNameTheFolder();  // PowerShell keeps the long paths
        EXPECT_TRUE(Records(L"powershell", L"expand").empty()) << "tar unpacked";

        std::vector<StandinRecord> tar = Records(L"tar");
        ASSERT_EQ(tar.size(), 1u);
        EXPECT_EQ(tar[0].exitCode, 0) << ToUtf8(tar[0].error);
        const std::wstring dir = row.dirShort ? ShortPath(Dir()) : Dir();
        const std::wstring archiveStart = row.archiveShort ? ShortPath(temp_) + L"\\" : temp_ + L"\\vorlasta-";
        EXPECT_EQ(tar[0].archive.rfind(archiveStart, 0), 0u) << ToUtf8(tar[0].archive);
        // The archive is gone by now: its name is the one that arrived.
        EXPECT_EQ(tar[0].commandLine, L"\"" + FolderPath(CSIDL_SYSTEM) + L"\\tar.exe\" -xf \"" + tar[0].archive +
                                          L"\" -C \"" + dir + L"\"");
    }
}

TEST_F(Install, StopStepEndsOnlyCopiesRunningFromTheFolder) {
    // A copy of the application running from the installation folder, and one elsewhere.
    const std::wstring elsewhere = Join(root_, L"Elsewhere");
    for (const std::wstring& base : {Dir(), elsewhere}) {
        MakeDirs(Join(base, L"python"));
        MakeDirs(Join(base, L"app"));
        WriteBytes(Join(base, L"python\\pythonw.exe"), StandinProgram());
        WriteBytes(Join(base, L"app\\main.py"), "sleep 120000\n");
    }
    ChildProcess inside, outside;
    ASSERT_TRUE(inside.Start(Quote(Join(Dir(), L"python\\pythonw.exe")) + L" " + Quote(Join(Dir(), L"app\\main.py")),
                             {}, Dir()));
    ASSERT_TRUE(outside.Start(
        Quote(Join(elsewhere, L"python\\pythonw.exe")) + L" " + Quote(Join(elsewhere, L"app\\main.py")), {}, elsewhere));
    Sleep(500);
    ASSERT_TRUE(inside.Running());

    RunResult run = RunSetup(Payload{}.Zip(), 0);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_TRUE(inside.WaitExit(5000)) << "the copy in the installation folder was stopped";
    EXPECT_TRUE(outside.Running()) << "a copy elsewhere keeps running";
    std::vector<StandinRecord> stop = Records(L"powershell", L"stop");
    ASSERT_EQ(stop.size(), 1u);
    EXPECT_EQ(stop[0].stopped, std::vector<std::wstring>{Join(Dir(), L"python\\pythonw.exe")});
    ExpectInstalled();
}

TEST_F(Install, PowerShellPlantedBesideTheSetupIsNeverRun) {
    // Downloads is the setup's folder and current directory.
    WriteBytes(Join(downloads_, L"powershell.exe"), StandinProgram());
    RunResult run = RunSetup(Payload{}.Zip(), 0);
    EXPECT_EQ(run.exitCode, 0u);
    for (const StandinRecord& r : Log())
        EXPECT_FALSE(r.program == L"python" && r.commandLine.find(L"-NoProfile") != std::wstring::npos)
            << "the planted powershell.exe ran: " << ToUtf8(r.commandLine);
    EXPECT_EQ(Records(L"powershell").size(), 2u) << "the system's PowerShell ran stop and shortcuts";
    ExpectInstalled();
}

TEST_F(Install, PayloadArrivesByteForByte) {
    // While tar runs, the temporary archive is complete and closed: compare it.
    for (size_t size : {size_t(65536), size_t(65537), size_t(64) << 20}) {
        SCOPED_TRACE(size);
        const std::string payload = RandomBytes(size, static_cast<unsigned>(size));
        ChildProcess setup;
        ASSERT_TRUE(StartSetup(setup, WriteSetup(payload, 0),
                               {{L"VORLASTA_STANDIN_TAR_SLEEP_MS", L"4000"}, {L"VORLASTA_STANDIN_TAR_EXIT", L"1"}}));
        std::optional<MessageBoxSeen> question = WaitForMessageBox(setup, 60000);
        ASSERT_TRUE(question);
        Press(*question, IDOK);
        for (int i = 0; i < 600 && ProcessesNamed(L"tar.exe").empty(); ++i) Sleep(50);
        ASSERT_FALSE(ProcessesNamed(L"tar.exe").empty()) << "tar started";
        std::vector<std::wstring> archives = TempArchives();
        ASSERT_EQ(archives.size(), 1u);
        EXPECT_TRUE(ReadBytes(Join(temp_, archives[0])) == payload) << "archive differs from the payload";
        // Not a ZIP: both unpackers fail and the archive goes.
        RunResult rest = RunAnswering(setup, {IDOK});
        ASSERT_EQ(rest.boxes.size(), 1u);
        EXPECT_EQ(rest.boxes[0].text, kUnpackFailed);
        EXPECT_EQ(rest.exitCode, 1u);
        EXPECT_TRUE(TempArchives().empty());
    }
}

}  // namespace
