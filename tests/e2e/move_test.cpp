// A shop moved to a new PC under Wine: vorlasta-pack.exe move, run inside the
// old PC's installation, and the move file it wrote run over an older one.
#include <gtest/gtest.h>

#include <shlobj.h>
#include <stdlib.h>

#include <algorithm>
#include <functional>
#include <map>

#include "tests/support/e2e.h"

using namespace e2e;

namespace {

// Every file below `folder`, by its path below it.
std::map<std::wstring, std::string> Files(const std::wstring& folder, const std::wstring& below = L"") {
    std::map<std::wstring, std::string> files;
    for (const std::wstring& name : ListNames(Join(folder, below))) {
        const std::wstring path = below.empty() ? name : Join(below, name);
        if (IsDirectory(Join(folder, path))) {
            files.merge(Files(folder, path));
        } else {
            files[path] = ReadBytes(Join(folder, path));
        }
    }
    return files;
}

// Waits up to `waitMs` for the demo's window, closes it and waits for the demo to end.
bool CloseDemo(int waitMs) {
    HWND window = nullptr;
    for (int waited = 0; !(window = FindWindowW(nullptr, L"Vorlasta demo")) && waited < waitMs; waited += 100) Sleep(100);
    if (!window) return false;
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    HANDLE demo = OpenProcess(SYNCHRONIZE, FALSE, pid);
    PostMessageW(window, WM_CLOSE, 0, 0);
    const bool ended = demo && WaitForSingleObject(demo, 10000) == WAIT_OBJECT_0;
    if (demo) CloseHandle(demo);
    return ended;
}

class Move : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = NewScratchDir(L"move");
        temp_ = Join(root_, L"Temp");
        stick_ = Join(root_, L"Stick");
        MakeDirs(temp_);
        MakeDirs(stick_);
    }
    void TearDown() override {
        CloseDemo(0);
        DeleteFileW(Join(FolderPath(CSIDL_DESKTOPDIRECTORY), L"Vorlasta.lnk").c_str());
        DeleteFileW(Join(FolderPath(CSIDL_PROGRAMS), L"Vorlasta.lnk").c_str());
        DeleteRegistryTree(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vorlasta");
        RemoveTree(root_);
    }

    RunResult Setup(const std::wstring& setupFile, const std::wstring& local) {
        MakeDirs(local);
        ChildProcess setup;
        EXPECT_TRUE(setup.Start(Quote(setupFile), {{L"LOCALAPPDATA", local}, {L"TMP", temp_}, {L"TEMP", temp_}}, root_));
        return RunAnswering(setup, {IDOK});
    }

    // The old PC: the demo installed (and running), the shop's data, a safety
    // copy of an earlier move, and the packer inside the installation.
    std::wstring OldPc() {
        const std::wstring dir = Join(root_, L"OldPc\\Vorlasta");
        EXPECT_EQ(Setup(Join(TestBinDir(), L"packed\\demo-setup.exe"), Join(root_, L"OldPc")).exitCode, 0u);
        MakeDirs(Join(dir, L"data\\Фото 写真"));
        WriteBytes(Join(dir, L"data\\shop.db"), RandomBytes(3 << 20, 16));
        WriteBytes(Join(dir, L"data\\app.log"), "opened\r\n");
        WriteBytes(Join(dir, L"data\\Фото 写真\\Zoë №1.jpg"), RandomBytes(5000, 17));
        MakeDirs(Join(dir, L"data-before-move-20240102-030405"));
        WriteBytes(Join(dir, L"data-before-move-20240102-030405\\shop.db"), "the old PC's earlier shop");
        WriteBytes(Join(dir, L"vorlasta-pack.exe"), ReadBytes(Join(TestBinDir(), L"vorlasta-pack.exe")));
        return dir;
    }

    // vorlasta-pack.exe move, without --from; what it printed in `output`.
    DWORD PackMove(const std::wstring& dir, const std::wstring& moveFile, std::string& output) {
        const std::wstring printed = Join(root_, L"printed.txt");
        ChildProcess pack;
        // LOCALAPPDATA names no installation: the packer moves the one it lies in.
        EXPECT_TRUE(pack.Start(Quote(Join(dir, L"vorlasta-pack.exe")) + L" move --output " + Quote(moveFile),
                               {{L"LOCALAPPDATA", temp_}}, root_, printed));
        EXPECT_TRUE(pack.WaitExit(300000));
        output = ReadBytes(printed);
        output.erase(std::remove(output.begin(), output.end(), '\r'), output.end());
        return pack.ExitCode();
    }

    std::wstring root_, temp_, stick_;
};

TEST_F(Move, FromTheOldPcToAnOlderInstallationOnTheNewOne) {
    const std::wstring oldDir = OldPc();
    ASSERT_TRUE(CloseDemo(60000));
    const std::wstring moveFile = Join(stick_, L"Vorlasta-Move.exe");
    std::string output;
    ASSERT_EQ(PackMove(oldDir, moveFile, output), 0u) << output;
    const std::map<std::wstring, std::string> data = Files(Join(oldDir, L"data"));
    size_t dataBytes = 0;
    for (const auto& file : data) dataBytes += file.second.size();
    const size_t files = Files(oldDir).size() - 1;  // all but the safety copy
    EXPECT_NE(output.find(" " + std::to_string(files) + " files from " + ToUtf8(oldDir) + " with " +
                          std::to_string(dataBytes) + " bytes of data, mode 2 (Move)\n"),
              std::string::npos) << output;

    const std::wstring newDir = Join(root_, L"NewPc\\Vorlasta");
    MakeDirs(Join(newDir, L"data"));
    MakeDirs(Join(newDir, L"app"));
    WriteBytes(Join(newDir, L"app\\main.py"), "an older application");
    WriteBytes(Join(newDir, L"data\\shop.db"), "the new PC's trial shop");
    RunResult run = Setup(moveFile, Join(root_, L"NewPc"));
    EXPECT_EQ(run.exitCode, 0u);
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].text.rfind(L"Move Vorlasta to this PC?", 0), 0u);
    EXPECT_TRUE(CloseDemo(60000)) << "the moved Vorlasta started";

    EXPECT_TRUE(Files(Join(newDir, L"data")) == data) << "the data arrived byte for byte";
    EXPECT_EQ(ReadBytes(Join(newDir, L"app\\main.py")), ReadBytes(Join(oldDir, L"app\\main.py")));
    const std::vector<std::wstring> aside = ListNames(newDir, L"data-before-move-*");
    ASSERT_EQ(aside.size(), 1u) << "the old PC's safety copies stayed there";
    EXPECT_EQ(ReadBytes(Join(newDir, aside[0] + L"\\shop.db")), "the new PC's trial shop");
}

TEST_F(Move, RefusesWhatWouldNotBeAConsistentCopy) {
    const std::wstring dir = OldPc(), db = Join(dir, L"data\\shop.db"), moveFile = Join(stick_, L"Vorlasta-Move.exe");
    const std::string where = "vorlasta-pack: " + ToUtf8(dir) + ": ";
    // A 1 MiB tmpfs that the test fixture mounts when it runs as root, seen by Wine on Z:.
    std::wstring full = FromUtf8(getenv("VORLASTA_FULL_VOLUME") ? getenv("VORLASTA_FULL_VOLUME") : "");
    std::replace(full.begin(), full.end(), L'/', L'\\');
    full = full.empty() || !IsDirectory(L"Z:" + full) ? L"" : Join(L"Z:" + full, L"Vorlasta-Move.exe");
    HANDLE writer = INVALID_HANDLE_VALUE;
    struct Row {
        const char* what;
        std::function<void()> arrange, undo;
        std::wstring output;
        DWORD exitCode;
        std::string line;  // how the one line starts
    } rows[] = {
        {"the demo runs from the folder", [] {}, [] { CloseDemo(60000); }, moveFile, 2,
         where + "Vorlasta is running from this folder (" },
        {"shop.db open for writing, as SQLite has it",
         [&] {
             writer = CreateFileW(db.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
             EXPECT_NE(writer, INVALID_HANDLE_VALUE);
         },
         [&] { CloseHandle(writer); }, moveFile, 2,
         where + "Vorlasta is running from this folder (data\\shop.db is in use); close Vorlasta and try again\n"},
        {"a write-ahead log left behind", [&] { WriteBytes(db + L"-wal", "frames"); },
         [&] { DeleteFileW((db + L"-wal").c_str()); }, moveFile, 2,
         where + "the shop's database was not closed cleanly (data\\shop.db-wal is not empty); start Vorlasta "
                 "once, close it, and try again\n"},
        {"no database", [&] { MoveFileW(db.c_str(), (db + L".away").c_str()); },
         [&] { MoveFileW((db + L".away").c_str(), db.c_str()); }, moveFile, 2,
         where + "there is no data\\shop.db, so there is nothing to move\n"},
        {"an output on a full volume", [] {}, [] {}, full, 1, "vorlasta-pack: writing "},
    };
    for (const Row& row : rows) {
        if (row.output.empty()) {
            printf("skipped \"%s\": no full volume (the fixture mounts one as root)\n", row.what);
            continue;
        }
        row.arrange();
        std::string output;
        EXPECT_EQ(PackMove(dir, row.output, output), row.exitCode) << row.what << ": " << output;
        EXPECT_EQ(output.rfind(row.line, 0), 0u) << row.what << ": " << output;
        EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << row.what << ": " << output;
        EXPECT_TRUE(ListNames(row.output.substr(0, row.output.rfind(L'\\'))).empty()) << row.what << ": nothing left";
        row.undo();
    }
}

}  // namespace
