// The real launcher under Wine, starting the python stand-in that logs how it
// was started and does what app\main.py tells it.
#include <gtest/gtest.h>

#include "tests/support/e2e.h"
#include "tests/support/standin_log.h"

using namespace e2e;

namespace {

const wchar_t kMissing[] =
    L"The 'python' or 'app' folder is missing next to this program.\n\nReinstall Vorlasta with Vorlasta-Setup.exe.";

class Launcher : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = NewScratchDir(L"launcher");
        dir_ = Join(root_, L"Vorlasta  O'Neil Zo\u00eb");  // blanks and non-ASCII in the folder
        log_ = Join(root_, L"standins.log");
        MakeDirs(Join(dir_, L"python"));
        MakeDirs(Join(dir_, L"app"));
        ASSERT_TRUE(WriteBytes(Join(dir_, L"Vorlasta.exe"), ReadBytes(Join(TestBinDir(), L"Vorlasta.exe"))));
        ASSERT_TRUE(WriteBytes(Join(dir_, L"python\\pythonw.exe"),
                               ReadBytes(Join(TestBinDir(), L"stand-ins\\pythonw.exe"))));
        Script("exit 0\n");
    }
    void TearDown() override {
        // The application may still run (the four-second case): end it first.
        for (DWORD pid : ProcessesNamed(L"pythonw.exe")) {
            HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
            if (process) {
                TerminateProcess(process, 0);
                WaitForSingleObject(process, 5000);
                CloseHandle(process);
            }
        }
        RemoveTree(root_);
    }

    void Script(const std::string& text) { WriteBytes(Join(dir_, L"app\\main.py"), text); }
    std::wstring Interpreter() const { return Join(dir_, L"python\\pythonw.exe"); }
    std::wstring AppScript() const { return Join(dir_, L"app\\main.py"); }

    // Starts the launcher with the raw command-line tail given, from cwd.
    RunResult Run(const std::wstring& tail = L"", const std::wstring& cwd = L"", DWORD* elapsedMs = nullptr) {
        ChildProcess launcher;
        const DWORD started = GetTickCount();
        EXPECT_TRUE(launcher.Start(Quote(Join(dir_, L"Vorlasta.exe")) + tail, {{L"VORLASTA_STANDIN_LOG", log_}},
                                   cwd.empty() ? root_ : cwd));
        RunResult run = RunAnswering(launcher, {IDOK}, 60000);
        if (elapsedMs) *elapsedMs = GetTickCount() - started;
        EXPECT_TRUE(run.ended);
        return run;
    }

    std::vector<StandinRecord> Started() const {
        std::vector<StandinRecord> found;
        for (const StandinRecord& r : ReadStandinLog(log_))
            if (r.program == L"python" && r.phase == L"start") found.push_back(r);
        return found;
    }

    std::wstring root_, dir_, log_;
};

void ExpectErrorBox(const RunResult& run, const std::wstring& text) {
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].text, text);
    EXPECT_EQ(run.boxes[0].caption, L"Vorlasta");
    EXPECT_EQ(run.boxes[0].icon, BoxIcon::Error) << IconName(run.boxes[0].icon);
    EXPECT_EQ(run.boxes[0].buttonCount, 1);
}

TEST_F(Launcher, MissingInterpreterOrScript) {
    for (const wchar_t* missing : {L"python\\pythonw.exe", L"app\\main.py"}) {
        SCOPED_TRACE(ToUtf8(missing));
        const std::wstring path = Join(dir_, missing), away = path + L".away";
        ASSERT_TRUE(MoveFileW(path.c_str(), away.c_str()));
        RunResult run = Run();
        MoveFileW(away.c_str(), path.c_str());
        ExpectErrorBox(run, kMissing);
        EXPECT_EQ(run.exitCode, 1u);
        EXPECT_TRUE(Started().empty());
    }
}

TEST_F(Launcher, InterpreterThatCannotStart) {
    // A folder where the interpreter should be counts as present, then fails to start.
    const std::wstring path = Interpreter();
    DeleteFileW(path.c_str());
    MakeDirs(path);
    RunResult run = Run();
    ExpectErrorBox(run, L"Could not start Vorlasta.");
    EXPECT_EQ(run.exitCode, 1u);
}

TEST_F(Launcher, EarlyExitStatuses) {
    Script("write data\\app.log failed\nexit 3\n");
    RunResult run = Run();
    ExpectErrorBox(run, L"Vorlasta stopped with an error.\n\nDetails are in:\n" + dir_ + L"\\data\\app.log");
    EXPECT_EQ(run.exitCode, 0u) << "the application did start";

    Script("exit 0\n");
    run = Run();
    EXPECT_TRUE(run.boxes.empty());
    EXPECT_EQ(run.exitCode, 0u);
}

TEST_F(Launcher, LeavesARunningApplicationAfterFourSeconds) {
    Script("sleep 7000\nexit 5\n");
    DWORD elapsed = 0;
    RunResult run = Run(L"", L"", &elapsed);
    EXPECT_TRUE(run.boxes.empty()) << "an error after the watch is not reported";
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_GE(elapsed, 3900u);
    EXPECT_LT(elapsed, 6500u) << "returned after about four seconds";
    EXPECT_FALSE(ProcessesNamed(L"pythonw.exe").empty()) << "the application keeps running";
}

TEST_F(Launcher, CommandLineAndWorkingDirectory) {
    const std::wstring head = Quote(Interpreter()) + L" " + Quote(AppScript()) + L" ";
    struct Row {
        const char* what;
        std::wstring launcherTail;  // as typed after the launcher's quoted path
        std::wstring passed;        // what follows the script path
    } rows[] = {
        {"no arguments: ends with one blank", L"", L""},
        {"blanks after the program name only", L"   ", L""},
        {"quoted words and runs of blanks unchanged", L"  --open \"invoice  42\"   x\\\" \"y", L"--open \"invoice  42\"   x\\\" \"y"},
        {"tab and blank before the tail", L"\t a\tb", L"a\tb"},
    };
    const std::wstring elsewhere = Join(root_, L"elsewhere");
    MakeDirs(elsewhere);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        DeleteFileW(log_.c_str());
        RunResult run = Run(row.launcherTail, elsewhere);
        EXPECT_TRUE(run.boxes.empty());
        EXPECT_EQ(run.exitCode, 0u);
        std::vector<StandinRecord> started = Started();
        ASSERT_EQ(started.size(), 1u);
        EXPECT_EQ(started[0].commandLine, head + row.passed);
        EXPECT_EQ(started[0].cwd, dir_) << "the launcher's folder, not where it was started from";
    }
}

TEST_F(Launcher, LongTailIsCut) {
    const std::wstring head = Quote(Interpreter()) + L" " + Quote(AppScript()) + L" ";
    const size_t room = 1819 - head.size();
    struct Row {
        size_t tailLength;
        size_t expectedLength;
    } rows[] = {{room, room}, {room + 1, room}, {room + 500, room}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.tailLength);
        DeleteFileW(log_.c_str());
        std::wstring tail;
        for (size_t i = 0; i < row.tailLength; ++i) tail.push_back(static_cast<wchar_t>(L'a' + i % 26));
        RunResult run = Run(L" " + tail);
        EXPECT_TRUE(run.boxes.empty());
        std::vector<StandinRecord> started = Started();
        ASSERT_EQ(started.size(), 1u);
        EXPECT_EQ(started[0].commandLine, head + tail.substr(0, row.expectedLength));
    }
}

}  // namespace
