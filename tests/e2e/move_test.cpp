// A shop moved to a new PC under Wine: vorlasta-pack.exe move, run inside the
// old PC's installation, and the move file it wrote run over an older one.
#include <gtest/gtest.h>

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
        if (IsDirectory(Join(folder, path))) files.merge(Files(folder, path));
        if (!IsDirectory(Join(folder, path))) files[path] = ReadBytes(Join(folder, path));
    }
    return files;
}

// Waits up to `waitMs` for the demo's window, closes it and waits until no demo runs.
bool CloseDemo(int waitMs) {
    HWND window = nullptr;
    for (int waited = 0; !(window = FindWindowW(nullptr, L"Vorlasta demo")) && waited < waitMs; waited += 100) Sleep(100);
    if (window) PostMessageW(window, WM_CLOSE, 0, 0);
    for (int i = 0; window && i < 100 && !ProcessesNamed(L"pythonw.exe").empty(); ++i) Sleep(100);
    return window && ProcessesNamed(L"pythonw.exe").empty();
}

class Move : public ::testing::Test {
protected:
    // The demo must not outlive the test: others look for its window.
    void TearDown() override {
        CloseDemo(0);
        RemoveTree(root_);
    }

    // Runs a setup file on the PC whose LOCALAPPDATA is `local` (it exists), answering OK.
    RunResult Setup(const std::wstring& setupFile, const std::wstring& local) {
        ChildProcess setup;
        EXPECT_TRUE(setup.Start(Quote(setupFile), {{L"LOCALAPPDATA", local}, {L"TMP", root_}, {L"TEMP", root_}}, root_));
        return RunAnswering(setup, {IDOK});
    }

    // vorlasta-pack.exe move, inside the installation and without --from;
    // LOCALAPPDATA names no installation. What it printed goes to `output`.
    DWORD PackMove(const std::wstring& moveFile, std::string& output) {
        const std::wstring printed = Join(root_, L"printed.txt");
        ChildProcess pack;
        EXPECT_TRUE(pack.Start(Quote(Join(old_, L"vorlasta-pack.exe")) + L" move --output " + Quote(moveFile),
                               {{L"LOCALAPPDATA", root_}}, root_, printed));
        EXPECT_TRUE(pack.WaitExit(300000));
        output = ReadBytes(printed);
        return pack.ExitCode();
    }

    std::wstring root_ = NewScratchDir(L"move"), old_ = Join(root_, L"OldPc\\Vorlasta");
};

TEST_F(Move, FromTheOldPcToAnOlderInstallationOnTheNewOne) {
    // The old PC: the shop's data, a safety copy of an earlier move, the demo
    // installed (and running), and the packer inside the installation.
    const std::wstring db = Join(old_, L"data\\shop.db"), stick = Join(root_, L"Stick");
    MakeDirs(Join(old_, L"data\\Фото 写真"));
    MakeDirs(Join(old_, L"data-before-move-20240102-030405"));
    MakeDirs(stick);
    WriteBytes(db, RandomBytes(3 << 20, 16));
    WriteBytes(Join(old_, L"data\\app.log"), "opened\r\n");
    WriteBytes(Join(old_, L"data\\Фото 写真\\Zoë №1.jpg"), RandomBytes(5000, 17));
    WriteBytes(Join(old_, L"data-before-move-20240102-030405\\shop.db"), "the old PC's earlier shop");
    ASSERT_EQ(Setup(Join(TestBinDir(), L"packed\\demo-setup.exe"), Join(root_, L"OldPc")).exitCode, 0u);
    WriteBytes(Join(old_, L"vorlasta-pack.exe"), ReadBytes(Join(TestBinDir(), L"vorlasta-pack.exe")));

    // Refusals, each leaving nothing in the output's folder. The full volume is
    // a 1 MiB tmpfs that the test environment mounts as root; Wine sees it on Z:.
    const std::string where = "vorlasta-pack: " + ToUtf8(old_) + ": ";
    const std::wstring moveFile = Join(stick, L"Vorlasta-Move.exe"), wal = db + L"-wal", away = db + L".away";
    const char* full = getenv("VORLASTA_FULL_VOLUME");
    HANDLE writer = nullptr;
    struct Row {
        const char* what;
        std::function<void(bool before)> arrange;  // called before the run and after it
        std::wstring output;
        DWORD exitCode;
        std::string line;  // how the one line starts
    } rows[] = {
        {"the demo runs from the folder", [](bool before) { if (!before) CloseDemo(60000); }, moveFile, 2,
         where + "Vorlasta is running from this folder ("},
        {"shop.db open for writing, as SQLite has it",
         [&](bool before) { before ? void(writer = CreateFileW(db.c_str(), GENERIC_WRITE, 7, nullptr, OPEN_EXISTING,
                                                               0, nullptr)) : void(CloseHandle(writer)); }, moveFile, 2,
         where + "Vorlasta is running from this folder (data\\shop.db is in use); close Vorlasta and try again\n"},
        {"a write-ahead log left behind",
         [&](bool before) { before ? void(WriteBytes(wal, "frames")) : void(DeleteFileW(wal.c_str())); }, moveFile, 2,
         where + "the shop's database was not closed cleanly (data\\shop.db-wal is not empty); start Vorlasta "
                 "once, close it, and try again\n"},
        {"no database", [&](bool before) { MoveFileW((before ? db : away).c_str(), (before ? away : db).c_str()); },
         moveFile, 2, where + "there is no data\\shop.db, so there is nothing to move\n"},
        {"an output on a full volume", [](bool) {}, full ? L"Z:" + FromUtf8(full) + L"\\Vorlasta-Move.exe" : L"", 1,
         "vorlasta-pack: writing "},
    };
    std::string output;
    for (const Row& row : rows) {
        const std::wstring folder = row.output.substr(0, row.output.rfind(L'\\'));
        if (!IsDirectory(folder)) continue;  // no full volume: the tests do not run as root
        row.arrange(true);
        EXPECT_EQ(PackMove(row.output, output), row.exitCode) << row.what << ": " << output;
        EXPECT_EQ(output.rfind(row.line, 0), 0u) << row.what << ": " << output;
        EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << row.what << ": " << output;
        EXPECT_TRUE(ListNames(folder).empty()) << row.what << ": nothing left";
        row.arrange(false);
    }

    // The move itself.
    ASSERT_EQ(PackMove(moveFile, output), 0u) << output;
    const std::map<std::wstring, std::string> data = Files(Join(old_, L"data"));
    size_t dataBytes = 0;
    for (const auto& file : data) dataBytes += file.second.size();
    EXPECT_NE(output.find(" with " + std::to_string(dataBytes) + " bytes of data, mode 2 (Move)\n"), std::string::npos)
        << output;

    // The new PC: an older installation with data of its own.
    const std::wstring newDir = Join(root_, L"NewPc\\Vorlasta");
    MakeDirs(Join(newDir, L"data"));
    WriteBytes(Join(newDir, L"Vorlasta.exe"), "an older launcher");
    WriteBytes(Join(newDir, L"data\\shop.db"), "the new PC's trial shop");
    RunResult run = Setup(moveFile, Join(root_, L"NewPc"));
    EXPECT_EQ(run.exitCode, 0u);
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].text.rfind(L"Move Vorlasta to this PC?", 0), 0u);
    EXPECT_TRUE(CloseDemo(60000)) << "the moved Vorlasta started";

    EXPECT_TRUE(Files(Join(newDir, L"data")) == data) << "the data arrived byte for byte";
    EXPECT_EQ(ReadBytes(Join(newDir, L"Vorlasta.exe")), ReadBytes(Join(old_, L"Vorlasta.exe")));
    const std::vector<std::wstring> aside = ListNames(newDir, L"data-before-move-*");
    ASSERT_EQ(aside.size(), 1u) << "the old PC's safety copies stayed there";
    EXPECT_EQ(ReadBytes(Join(newDir, aside[0] + L"\\shop.db")), "the new PC's trial shop");
}

}  // namespace
