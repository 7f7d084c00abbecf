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

// Waits up to `waitMs` for the demo's window, closes it and waits until no demo runs.
bool CloseDemo(int waitMs) {
    HWND window = nullptr;
    for (int waited = 0; !(window = FindWindowW(nullptr, L"Vorlasta demo")) && waited < waitMs; waited += 100) Sleep(100);
    if (window) PostMessageW(window, WM_CLOSE, 0, 0);
    for (int i = 0; window && i < 100 && !ProcessesNamed(L"pythonw.exe").empty(); ++i) Sleep(100);
    return window && ProcessesNamed(L"pythonw.exe").empty();
}

TEST(Move, FromTheOldPcToAnOlderInstallationOnTheNewOne) {
    const std::wstring root = NewScratchDir(L"move"), old = Join(root, L"OldPc\\Vorlasta");
    // The demo must not outlive the test: others look for its window.
    struct Cleanup { std::wstring root; ~Cleanup() { CloseDemo(0), RemoveTree(root); } } cleanup{root};
    // Runs a setup file on the PC whose LOCALAPPDATA is `local` (it exists), answering OK
    // (typing typed[i] in box i).
    const auto setup = [&](const std::wstring& setupFile, const std::wstring& local,
                           const std::vector<std::wstring>& typed = {}, const std::vector<int>& answers = {}) {
        ChildProcess process;
        EXPECT_TRUE(process.Start(Quote(setupFile), {{L"LOCALAPPDATA", local}, {L"TMP", root}, {L"TEMP", root}}, root));
        return RunAnswering(process, answers, 120000, typed);
    };
    // vorlasta-pack.exe move, inside the installation and without --from unless given;
    // LOCALAPPDATA names no installation. What it printed goes to `output`.
    const auto packMove = [&](const std::wstring& moveFile, std::string& output, const std::wstring& from = L"",
                              const std::wstring& options = L"", const std::wstring& input = L"") {
        ChildProcess pack;
        const std::wstring fromArgs = from.empty() ? L"" : L" --from " + Quote(from);
        EXPECT_TRUE(pack.Start(Quote(Join(old, L"vorlasta-pack.exe")) + L" move" + fromArgs + L" --output " + Quote(moveFile) + options,
                               {{L"LOCALAPPDATA", root}, {L"TMP", root}, {L"TEMP", root}}, root,
                               Join(root, L"printed.txt"), input));
        EXPECT_TRUE(pack.WaitExit(300000));
        output = ReadBytes(Join(root, L"printed.txt"));
        return pack.ExitCode();
    };

    // The old PC: the shop's data, a safety copy of an earlier move, the demo
    // installed (and running), and the packer inside the installation.
    const std::wstring db = Join(old, L"data\\shop.db"), stick = Join(root, L"Stick");
    // shop-db.exe DB ARGS: what it printed once it ended, or, kept running in `keep`, once it printed.
    const auto shopDb = [&](const std::wstring& args, ChildProcess* keep = nullptr) {
        ChildProcess ends;
        ChildProcess& tool = keep != nullptr ? *keep : ends;
        EXPECT_TRUE(tool.Start(Quote(Join(TestBinDir(), L"shop-db.exe")) + L" " + args, {}, root, Join(root, L"db.txt")));
        for (int i = 0; i < 600 && tool.Running() && ReadBytes(Join(root, L"db.txt")).empty(); ++i) Sleep(100);
        return ReadBytes(Join(root, L"db.txt"));
    };
    MakeDirs(Join(old, L"data\\Фото 写真"));
    MakeDirs(Join(old, L"Data-Before-Move-20240102-030405"));  // a safety copy stays, in any case
    MakeDirs(stick);
    shopDb(Quote(db) + L" create persist 10");  // its journal stays, not hot
    const std::wstring log = Join(old, L"data\\app.log");
    WriteBytes(log, "opened\r\n");
    WriteBytes(Join(old, L"data\\Фото 写真\\Zoë №1.jpg"), RandomBytes(5000, 17));
    WriteBytes(Join(old, L"Data-Before-Move-20240102-030405\\shop.db"), "the old PC's earlier shop");
    ASSERT_EQ(setup(Join(TestBinDir(), L"packed\\demo-setup.exe"), Join(root, L"OldPc")).exitCode, 0u);
    WriteBytes(Join(old, L"vorlasta-pack.exe"), ReadBytes(Join(TestBinDir(), L"vorlasta-pack.exe")));

    // Refusals and failures, each leaving nothing in the output's folder (a move
    // that succeeds, its file), nor a copy of the database in the temporary
    // folder. The full volume is a 1 MiB tmpfs that the test environment mounts
    // as root; Wine sees it on Z:.
    const std::string where = "vorlasta-pack: " + ToUtf8(old) + ": ";
    const std::wstring moveFile = Join(stick, L"Vorlasta-Move.exe"), away = db + L".away";
    const char* full = getenv("VORLASTA_FULL_VOLUME");
    const std::wstring onFull = full ? L"Z:" + FromUtf8(full) + L"\\Vorlasta-Move.exe" : L"";
    std::string output;
    std::map<std::wstring, std::string> installed;
    std::wstring inside = ShortPath(old) + L"\\DATA\\SHOP.DB";
    CharUpperW(inside.data());
    struct Row {
        const char* what;
        std::function<void(bool before)> arrange;  // called before the run and after it
        std::wstring output;
        unsigned status;
        std::string line;     // how the one line starts
        std::wstring from;    // --from, if given
    } rows[] = {
        // Spelled by its 8.3 name, it is still the folder the demo runs from.
        {"the demo runs from the folder, named by its 8.3 name", [](bool) {}, moveFile, 2,
         "vorlasta-pack: " + ToUtf8(ShortPath(old)) + ": Vorlasta is running from this folder (",
         ShortPath(old)},
        {"the demo runs from the folder", [](bool before) { if (!before) CloseDemo(60000); }, moveFile, 2,
         where + "Vorlasta is running from this folder ("},
        {"a PERSIST database closed cleanly", [&](bool before) { if (!before) DeleteFileW(moveFile.c_str()); },
         moveFile, 0, "wrote "},
        {"the log open for writing", [&](bool before) { static HANDLE writer; before ? void(writer = CreateFileW(
             log.c_str(), GENERIC_WRITE, 7, nullptr, OPEN_EXISTING, 0, nullptr)) : void(CloseHandle(writer)); },
         moveFile, 2, where + "data\\app.log is open for writing in another program; close it and try again\n"},
        {"no database", [&](bool before) { MoveFileW((before ? db : away).c_str(), (before ? away : db).c_str()); },
         moveFile, 2, where + "there is no data\\shop.db, so there is nothing to move\n"},
        {"a damaged database: its table's page overwritten", [&](bool before) {
             static const std::string sound = ReadBytes(db);
             WriteBytes(db, before ? sound.substr(0, 4096) + std::string(4096, '\x55') + sound.substr(8192) : sound); },
         moveFile, 2, where + "data\\shop.db is damaged ("},
        // An earlier move file there must go too: it would carry old data.
        {"an output on a full volume", [&](bool before) { if (before) WriteBytes(onFull, "old"); }, onFull, 1,
         "vorlasta-pack: writing "},
        // Spelled by its 8.3 name and in capitals, so only its identity gives it away.
        {"an output inside the installation, over the database", [&](bool before) { if (before) installed = Files(old); }, inside, 2,
         where + "the output " + ToUtf8(inside) + " lies inside this folder; write the move file elsewhere"},
    };
    for (const Row& row : rows) {
        const std::wstring folder = row.output.substr(0, row.output.rfind(L'\\'));
        if (!IsDirectory(folder)) continue;  // no full volume: the tests do not run as root
        row.arrange(true);
        EXPECT_EQ(packMove(row.output, output, row.from), row.status) << row.what << ": " << output;
        EXPECT_EQ(output.rfind(row.line, 0), 0u) << row.what << ": " << output;
        EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << row.what << ": " << output;
        EXPECT_TRUE(row.output == inside ? Files(old) == installed : ListNames(folder).size() == (row.status == 0))
            << row.what << ": nothing left";
        EXPECT_TRUE(ListNames(root, L"vorlasta-shop.*").empty()) << row.what << ": the database's copy went";
        row.arrange(false);
    }

    // The move itself, of a database left by a crash with its committed sales
    // in the WAL alone, while a writer holds it open mid-transaction.
    for (const wchar_t* name : {L"", L"-journal"}) DeleteFileW((db + name).c_str());
    shopDb(Quote(db) + L" crash 1000");
    ChildProcess writer;
    ASSERT_EQ(shopDb(Quote(db) + L" hold", &writer), "holding");
    ASSERT_EQ(packMove(moveFile, output), 0u) << output;
    writer.Kill();
    EXPECT_TRUE(ListNames(root, L"vorlasta-shop.*").empty()) << "the database's copy went";
    std::map<std::wstring, std::string> data = Files(Join(old, L"data"));
    for (const wchar_t* name : {L"shop.db", L"shop.db-wal", L"shop.db-shm"}) data.erase(name);

    // The new PC: an older installation with data of its own.
    const std::wstring newDir = Join(root, L"NewPc\\Vorlasta");
    MakeDirs(Join(newDir, L"data"));
    WriteBytes(Join(newDir, L"Vorlasta.exe"), "an older launcher");
    WriteBytes(Join(newDir, L"data\\shop.db"), "the new PC's trial shop");
    RunResult run = setup(moveFile, Join(root, L"NewPc"));
    EXPECT_EQ(run.exitCode, 0u);
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].text.rfind(L"Move Vorlasta to this PC?", 0), 0u);
    EXPECT_TRUE(CloseDemo(60000)) << "the moved Vorlasta started";

    std::map<std::wstring, std::string> arrived = Files(Join(newDir, L"data"));
    EXPECT_NE(output.find(" with " + std::to_string(arrived[L"shop.db"].size() + 8 + 5000) + " bytes of data"),
              std::string::npos) << output;
    EXPECT_EQ(arrived.erase(L"shop.db"), 1u);
    EXPECT_TRUE(arrived == data) << "the other data arrived byte for byte";
    EXPECT_EQ(shopDb(Quote(Join(newDir, L"data\\shop.db")) + L" check"), "ok 1000 ") << "every committed sale";
    const std::vector<std::wstring> aside = ListNames(newDir, L"data-before-move-*");
    ASSERT_EQ(aside.size(), 1u) << "the old PC's safety copies stayed there";
    EXPECT_EQ(ReadBytes(Join(newDir, aside[0] + L"\\shop.db")), "the new PC's trial shop");

    // The same move sealed under a password that the application passes on standard input.
    const std::wstring sealedFile = Join(stick, L"Vorlasta-Move-sealed.exe"), passwordFile = Join(root, L"password.txt");
    WriteBytes(passwordFile, "Zo\xC3\xAB's shop 2026\r\n");
    ASSERT_EQ(packMove(sealedFile, output, L"", L" --encrypt --password-stdin", passwordFile), 0u) << output;
    const std::string sealed = ReadBytes(sealedFile);
    const long long payloadAt = *reinterpret_cast<const long long*>(&sealed[sealed.size() - 20]);
    std::map<std::wstring, std::string> shop = data;
    shop[L"shop.db"] = ReadBytes(Join(newDir, L"data\\shop.db"));  // as the first move carried it
    for (const auto& [name, bytes] : shop) {
        const std::wstring path = name.substr(0, name.find_last_not_of(L'\\') + 1);  // a folder's, without its backslash
        const std::string base = ToUtf8(path.substr(path.rfind(L'\\') + 1)), payload = sealed.substr(payloadAt);
        if (!bytes.empty()) EXPECT_EQ(payload.find(bytes.substr(bytes.size() / 2, 64)), std::string::npos) << base << ": data in plain text";
        EXPECT_EQ(payload.find(base), std::string::npos) << base << ": a name in plain text";
    }

    // One byte of a middle chunk changed: refused before the question, nothing touched.
    std::string changed = sealed;
    changed[payloadAt + 48 + (sealed.size() - payloadAt) / 65552 / 2 * 65552 + 100] ^= 1;
    WriteBytes(Join(stick, L"changed.exe"), changed);
    const std::map<std::wstring, std::string> before = Files(newDir);
    run = setup(Join(stick, L"changed.exe"), Join(root, L"NewPc"), {L"Zo\u00EB's shop 2026"});
    EXPECT_EQ(run.exitCode, 1u);
    ASSERT_EQ(run.boxes.size(), 2u);
    EXPECT_EQ(run.boxes[1].text, L"This file is damaged.");
    EXPECT_TRUE(Files(newDir) == before) << "the installation was touched";
    EXPECT_EQ(ListNames(root, L"vorlasta-*.zip"), std::vector<std::wstring>{}) << "an archive was left in TEMP";
    // Cancel at the password box: status 0, nothing written.
    run = setup(sealedFile, Join(root, L"NewPc"), {}, {IDCANCEL});
    EXPECT_EQ(std::make_pair(run.exitCode, run.boxes.size()), std::make_pair(0ul, size_t{1}));
    EXPECT_TRUE(Files(newDir) == before && ListNames(root, L"vorlasta-*.zip").empty()) << "Cancel wrote something";

    // A wrong password, the box again, the right one, then the question.
    run = setup(sealedFile, Join(root, L"NewPc"), {L"Zoe's shop 2026", L"", L"Zo\u00EB's shop 2026"});
    EXPECT_EQ(run.exitCode, 0u);
    ASSERT_EQ(run.boxes.size(), 4u);
    EXPECT_EQ(run.boxes[0].text, L"This move file is protected with a password. Enter it to continue.");
    EXPECT_EQ(std::make_pair(run.boxes[1].text, run.boxes[1].icon), std::make_pair(std::wstring(L"The password is not right."), BoxIcon::Error));
    EXPECT_EQ(run.boxes[2].text, run.boxes[0].text);
    EXPECT_EQ(run.boxes[3].text.rfind(L"Move Vorlasta to this PC?", 0), 0u);
    EXPECT_TRUE(CloseDemo(60000)) << "the moved Vorlasta started";
    arrived = Files(Join(newDir, L"data"));
    EXPECT_EQ(arrived.erase(L"shop.db"), 1u);
    EXPECT_TRUE(arrived == data) << "the data arrived byte for byte";
    EXPECT_EQ(shopDb(Quote(Join(newDir, L"data\\shop.db")) + L" check"), "ok 1000 ") << "every committed sale";
}

}  // namespace
