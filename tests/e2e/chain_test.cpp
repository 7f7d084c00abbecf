// Setup files made by vorlasta-pack install under Wine, and the installed
// launcher starts the interpreter on app\\main.py.
#include <gtest/gtest.h>

#include <shlobj.h>

#include "tests/support/e2e.h"
#include "tests/support/standin_log.h"

using namespace e2e;

namespace {

class PackedSetup : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = NewScratchDir(L"chain");
        local_ = Join(root_, L"Local");
        temp_ = Join(root_, L"Temp");
        log_ = Join(root_, L"standins.log");
        MakeDirs(local_);
        MakeDirs(temp_);
    }
    void TearDown() override {
        DeleteFileW(Join(FolderPath(CSIDL_DESKTOPDIRECTORY), L"Vorlasta.lnk").c_str());
        DeleteFileW(Join(FolderPath(CSIDL_PROGRAMS), L"Vorlasta.lnk").c_str());
        RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vorlasta");
        RemoveTree(root_);
    }

    RunResult Install(const wchar_t* setupName) {
        const std::wstring setup = Join(root_, L"Vorlasta-Setup.exe");
        EXPECT_TRUE(WriteBytes(setup, ReadBytes(Join(Join(TestBinDir(), L"packed"), setupName))));
        ChildProcess process;
        EXPECT_TRUE(process.Start(Quote(setup), {{L"LOCALAPPDATA", local_}, {L"TMP", temp_}, {L"TEMP", temp_},
                                                 {L"VORLASTA_STANDIN_LOG", log_}}, root_));
        return RunAnswering(process, {IDOK});
    }

    std::wstring Dir() const { return Join(local_, L"Vorlasta"); }
    std::wstring root_, local_, temp_, log_;
};

TEST_F(PackedSetup, InstallsAndTheLauncherStartsTheApplication) {
    RunResult run = Install(L"chain-setup.exe");
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.exitCode, 0u);
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].icon, BoxIcon::Question);

    // The setup opened the launcher, which started the interpreter on the script.
    std::vector<StandinRecord> ended;
    for (int i = 0; i < 300 && ended.empty(); ++i) {
        for (const StandinRecord& r : ReadStandinLog(log_))
            if (r.program == L"python" && r.phase == L"end") ended.push_back(r);
        if (ended.empty()) Sleep(100);
    }
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].commandLine, Quote(Join(Dir(), L"python\\pythonw.exe")) + L" " +
                                        Quote(Join(Dir(), L"app\\main.py")) + L" ");
    EXPECT_EQ(ended[0].cwd, Dir());
    EXPECT_EQ(ended[0].exitCode, 0);
    EXPECT_EQ(ReadBytes(Join(Dir(), L"data\\app.log")), "started");
}

TEST_F(PackedSetup, DemoShowsItsWindow) {
    RunResult run = Install(L"demo-setup.exe");
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.boxes.size(), 1u);

    // The demo interpreter's window, showing how it was started.
    HWND window = nullptr;
    for (int i = 0; i < 300 && !window; ++i) {
        window = FindWindowW(nullptr, L"Vorlasta demo");
        if (!window) Sleep(100);
    }
    ASSERT_TRUE(window) << "the demo interpreter's window appeared";
    std::wstring shown;
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        shown += TextOf(child) + L"\n";
    EXPECT_NE(shown.find(Quote(Join(Dir(), L"python\\pythonw.exe")) + L" " + Quote(Join(Dir(), L"app\\main.py"))),
              std::wstring::npos)
        << ToUtf8(shown);
    EXPECT_NE(shown.find(Dir()), std::wstring::npos);
    EXPECT_NE(shown.find(L"Loaded: python312.dll"), std::wstring::npos) << "the interpreter's DLL was loaded";
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    HANDLE demo = OpenProcess(SYNCHRONIZE, FALSE, pid);
    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(WaitForSingleObject(demo, 10000), WAIT_OBJECT_0) << "closing the window ends the demo";
    CloseHandle(demo);
}

}  // namespace

namespace {

TEST_F(PackedSetup, SignedFileInstallsCompletely) {
    RunResult run = Install(L"signed-setup.exe");
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.exitCode, 0u);
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].text.rfind(L"Install Vorlasta by Morvenhale?", 0), 0u);
    EXPECT_TRUE(Exists(Join(Dir(), L"Vorlasta.exe")));
    EXPECT_TRUE(ListNames(temp_, L"vorlasta-*.zip").empty());
    EXPECT_TRUE(Exists(Join(FolderPath(CSIDL_DESKTOPDIRECTORY), L"Vorlasta.lnk")));
    bool started = false;
    for (int i = 0; i < 300 && !started; ++i) {
        for (const StandinRecord& r : ReadStandinLog(log_))
            started = started || (r.program == L"python" && r.cwd == Dir());
        if (!started) Sleep(100);
    }
    EXPECT_TRUE(started) << "the launcher started the interpreter";
}

TEST_F(PackedSetup, SignedFileWithADamagedTrailer) {
    RunResult run = Install(L"signed-damaged.exe");
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.exitCode, 1u);
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].text, L"This file is damaged (no Vorlasta data inside). Download it again.");
    EXPECT_EQ(run.boxes[0].icon, BoxIcon::Error);
}

}  // namespace
