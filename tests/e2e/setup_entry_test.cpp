// The setup program's entry under Wine: its error boxes, its question, Cancel,
// and the payload copy, driven through its real windows and files.
#include <gtest/gtest.h>

#include "tests/support/e2e.h"

using namespace e2e;

namespace {

const wchar_t kNoDataInside[] = L"This file is damaged (no Vorlasta data inside). Download it again.";
const wchar_t kDamaged[] = L"This file is damaged.";
const wchar_t kCopyFailed[] = L"Could not read the Vorlasta data from this setup file. Download the setup again.";

class SetupEntry : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = NewScratchDir(L"entry");
        local_ = Join(root_, L"Local");
        temp_ = Join(root_, L"Temp");
        downloads_ = Join(root_, L"Downloads");
        MakeDirs(local_);
        MakeDirs(temp_);
        MakeDirs(downloads_);
    }
    void TearDown() override { RemoveTree(root_); }

    std::wstring InstallDir() const { return Join(local_, L"Vorlasta"); }

    std::wstring WriteSetup(const std::string& bytes) {
        std::wstring path = Join(downloads_, L"Vorlasta-Setup.exe");
        EXPECT_TRUE(WriteBytes(path, bytes));
        return path;
    }

    std::vector<EnvChange> Environment() const {
        return {{L"LOCALAPPDATA", local_}, {L"TMP", temp_}, {L"TEMP", temp_}};
    }

    RunResult Run(const std::wstring& setupPath, const std::vector<int>& answers,
                  std::vector<EnvChange> env = {}) {
        std::vector<EnvChange> all = Environment();
        all.insert(all.end(), env.begin(), env.end());
        ChildProcess setup;
        EXPECT_TRUE(setup.Start(Quote(setupPath), all, downloads_));
        return RunAnswering(setup, answers);
    }

    std::vector<std::wstring> TempArchives() const { return ListNames(temp_, L"vorlasta-*.zip"); }

    std::wstring root_, local_, temp_, downloads_;
};

void ExpectSingleErrorBox(const RunResult& run, const std::wstring& text) {
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.exitCode, 1u);
    ASSERT_EQ(run.boxes.size(), 1u);
    const MessageBoxSeen& box = run.boxes[0];
    EXPECT_EQ(box.caption, L"Vorlasta");
    EXPECT_EQ(box.text, text);
    EXPECT_EQ(box.icon, BoxIcon::Error) << IconName(box.icon);
    EXPECT_EQ(box.buttonCount, 1);
    EXPECT_TRUE(box.hasOk);
}

TEST_F(SetupEntry, LocalAppDataMissingOrEmpty) {
    const std::wstring setup = WriteSetup(SetupFile(RandomBytes(100, 1), 0));
    for (std::optional<std::wstring> value : {std::optional<std::wstring>(), std::optional<std::wstring>(L"")}) {
        SCOPED_TRACE(value ? "empty" : "missing");
        RunResult run = Run(setup, {IDOK}, {{L"LOCALAPPDATA", value}});
        ExpectSingleErrorBox(run, L"LOCALAPPDATA is not set.");
        EXPECT_TRUE(TempArchives().empty());
    }
}

TEST_F(SetupEntry, PathsTooLongForTheirBuffers) {
    const std::wstring setup = WriteSetup(SetupFile(RandomBytes(100, 6), 0));
    // 217 units leave room for "\\Vorlasta\\data-before-move-YYYYMMDD-HHMMSS" in a
    // path buffer; 218 and a value past the buffer do not.
    const std::wstring longest = L"C:\\" + std::wstring(214, L'l');
    RunResult run = Run(setup, {IDCANCEL}, {{L"LOCALAPPDATA", longest}});
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].text, L"Install Vorlasta by Morvenhale?\n\nFolder: " + longest +
                                     L"\\Vorlasta\n\nA desktop icon will be added.");
    for (size_t length : {218, 400}) {
        SCOPED_TRACE(length);
        RunResult tooLong = Run(setup, {IDOK}, {{L"LOCALAPPDATA", L"C:\\" + std::wstring(length - 3, L'l')}});
        ExpectSingleErrorBox(tooLong, L"The LOCALAPPDATA folder path is too long.");
    }
    // A temporary folder too long for the archive's name is not used.
    const std::wstring longTemp = L"C:\\" + std::wstring(240, L't');
    RunResult tempRun = Run(setup, {IDOK}, {{L"TMP", longTemp}, {L"TEMP", longTemp}});
    ExpectSingleErrorBox(tempRun, L"Cannot write to the TEMP folder.");
}

TEST_F(SetupEntry, DamagedFiles) {
    const std::string image = SetupProgramImage();
    const long long imageSize = static_cast<long long>(image.size());
    const std::string payload = RandomBytes(300, 2);
    struct Row {
        const char* what;
        std::string file;
        const wchar_t* message;
    } rows[] = {
        {"bare program, nothing appended", image, kNoDataInside},
        {"wrong magic", image + payload + Trailer(imageSize, 0, "VRSFX002"), kNoDataInside},
        {"payload offset 0", image + payload + Trailer(0, 0), kDamaged},
        {"empty payload", image + Trailer(imageSize, 0), kDamaged},
        {"offset past the trailer", image + payload + Trailer(imageSize + 301, 0), kDamaged},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        RunResult run = Run(WriteSetup(row.file), {IDOK});
        ExpectSingleErrorBox(run, row.message);
        EXPECT_TRUE(TempArchives().empty()) << "no archive before the trailer is accepted";
    }
}

TEST_F(SetupEntry, NegativeOffsetIsACopyFailure) {
    const std::string image = SetupProgramImage();
    const std::string payload = RandomBytes(300, 3);
    RunResult run = Run(WriteSetup(image + payload + Trailer(-5, 0)), {IDOK});
    ExpectSingleErrorBox(run, kCopyFailed);
    // The partly written archive stays behind, empty: nothing was copied.
    std::vector<std::wstring> archives = TempArchives();
    ASSERT_EQ(archives.size(), 1u);
    EXPECT_EQ(ReadBytes(Join(temp_, archives[0])), "");
}

TEST_F(SetupEntry, TempFolderThatCannotBeWritten) {
    const std::wstring setup = WriteSetup(SetupFile(RandomBytes(100, 4), 0));
    const std::wstring missing = Join(root_, L"no-such-folder");
    RunResult run = Run(setup, {IDOK}, {{L"TMP", missing}, {L"TEMP", missing}});
    ExpectSingleErrorBox(run, L"Cannot write to the TEMP folder.");
}

TEST_F(SetupEntry, QuestionForModeAndExistingData) {
    const std::wstring dir = InstallDir();
    const std::wstring moveHead = L"Move Vorlasta to this PC?\n\nThis puts the program AND all the shop's data "
                                  L"(invoices, customers, stock, repairs) on this PC in:\n" + dir + L"\n\n";
    struct Row {
        const char* what;
        int mode;
        bool database;
        std::wstring text;
    } rows[] = {
        {"fresh install", 0, false, L"Install Vorlasta by Morvenhale?\n\nFolder: " + dir + L"\n\nA desktop icon will be added."},
        {"install over data", 0, true, L"Install Vorlasta by Morvenhale?\n\nFolder: " + dir +
                                           L"\n\nVorlasta is already on this PC. It will be updated and ALL your data is kept."},
        {"mode 3 is an install", 3, false, L"Install Vorlasta by Morvenhale?\n\nFolder: " + dir + L"\n\nA desktop icon will be added."},
        {"move", 2, false, moveHead},
        {"move over data", 2, true, moveHead + L"Vorlasta data already on this PC will be kept as a safety copy "
                                               L"(folder data-before-move-...).\n\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        RemoveTree(dir);
        if (row.database) {
            MakeDirs(Join(dir, L"data"));
            WriteBytes(Join(dir, L"data\\shop.db"), "db");
        } else {
            // A data folder without shop.db still counts as a new installation.
            MakeDirs(Join(dir, L"data"));
        }
        RunResult run = Run(WriteSetup(SetupFile(RandomBytes(1000, 5), row.mode)), {IDCANCEL});
        ASSERT_TRUE(run.ended);
        EXPECT_EQ(run.exitCode, 0u) << "Cancel ends with status 0";
        ASSERT_EQ(run.boxes.size(), 1u) << "no further message after Cancel";
        const MessageBoxSeen& box = run.boxes[0];
        EXPECT_EQ(box.caption, L"Vorlasta");
        EXPECT_EQ(box.text, row.text);
        EXPECT_EQ(box.icon, BoxIcon::Question) << IconName(box.icon);
        EXPECT_TRUE(box.hasOk);
        EXPECT_TRUE(box.hasCancel);
        EXPECT_EQ(box.buttonCount, 2);
        EXPECT_TRUE(TempArchives().empty()) << "Cancel deletes the temporary archive";
        if (row.database) EXPECT_EQ(ReadBytes(Join(dir, L"data\\shop.db")), "db");
    }
}

}  // namespace
