// Runs the real vorlasta-pack program on folders and archives made here.
#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <locale.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <thread>

#include "setup/trailer.h"
#include "setup_file.h"

namespace fs = std::filesystem;

namespace {

const std::string kZoe = "app/Zo\xC3\xAB.py";
const std::string kHan = "app/\xE6\x9D\x8E.txt";

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

std::vector<std::string> Listing(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    return names;
}

uint32_t U16(const std::string& b, size_t at) {
    return static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8;
}
uint32_t U32(const std::string& b, size_t at) {
    return U16(b, at) | U16(b, at + 2) << 16;
}

struct CentralEntry {
    std::string name;
    uint32_t flags;
    uint32_t method;
};

// The central directory as an extractor sees it. libarchive writes no
// archive comment, so the end record must be exactly the last 22 bytes.
std::vector<CentralEntry> CentralDirectory(const std::string& zip) {
    std::vector<CentralEntry> entries;
    const size_t end = zip.size() - 22;
    if (zip.size() < 22 || zip.compare(end, 4, "PK\5\6") != 0) {
        ADD_FAILURE() << "the archive does not end with its end record";
        return entries;
    }
    size_t at = U32(zip, end + 16);
    for (uint32_t i = 0, count = U16(zip, end + 10); i < count; ++i) {
        if (at + 46 > end || zip.compare(at, 4, "PK\1\2") != 0) {
            ADD_FAILURE() << "bad central directory header " << i;
            break;
        }
        entries.push_back({zip.substr(at + 46, U16(zip, at + 28)), U16(zip, at + 8), U16(zip, at + 10)});
        at += 46 + U16(zip, at + 28) + U16(zip, at + 30) + U16(zip, at + 32);
    }
    return entries;
}

// Every file in a ZIP archive, decompressed by libarchive.
std::map<std::string, std::string> ZipContents(const std::string& zip) {
    setlocale(LC_CTYPE, "C.UTF-8");  // names come back as UTF-8
    std::map<std::string, std::string> files;
    archive* a = archive_read_new();
    archive_read_support_format_zip_seekable(a);
    EXPECT_EQ(archive_read_open_memory(a, zip.data(), zip.size()), ARCHIVE_OK);
    archive_entry* entry;
    int result;
    while ((result = archive_read_next_header(a, &entry)) == ARCHIVE_OK) {
        std::string& content = files[archive_entry_pathname(entry)];
        char buffer[4096];
        la_ssize_t n;
        while ((n = archive_read_data(a, buffer, sizeof buffer)) > 0) content.append(buffer, static_cast<size_t>(n));
        EXPECT_EQ(n, 0) << archive_error_string(a);
    }
    EXPECT_EQ(result, ARCHIVE_EOF) << archive_error_string(a);
    archive_read_free(a);
    return files;
}

struct ZipItem {
    std::string name;
    std::string content;
    mode_t type = AE_IFREG;
};

// A ZIP payload made by another tool, so odd entries can be tried.
void MakeZip(const fs::path& path, const std::vector<ZipItem>& items) {
    setlocale(LC_CTYPE, "C");  // names go in as raw bytes, not flagged UTF-8
    archive* a = archive_write_new();
    archive_write_set_format_zip(a);
    ASSERT_EQ(archive_write_open_filename(a, path.c_str()), ARCHIVE_OK);
    for (const ZipItem& item : items) {
        archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, item.name.c_str());
        archive_entry_set_filetype(entry, item.type);
        archive_entry_set_perm(entry, 0644);
        if (item.type == AE_IFLNK) archive_entry_set_symlink(entry, item.content.c_str());
        archive_entry_set_size(entry, item.type == AE_IFREG ? static_cast<la_int64_t>(item.content.size()) : 0);
        EXPECT_EQ(archive_write_header(a, entry), ARCHIVE_OK);
        if (item.type == AE_IFREG) archive_write_data(a, item.content.data(), item.content.size());
        archive_entry_free(entry);
    }
    archive_write_close(a);
    archive_write_free(a);
}

std::vector<ZipItem> RequiredItems() {
    return {{"Vorlasta.exe", "launcher"}, {"app/main.py", "print()"}, {"python/pythonw.exe", "python"}};
}

TrailerResult ParseBack(const std::string& file, TrailerInfo& info) {
    const std::vector<uint8_t> bytes(file.begin(), file.end());
    MemoryByteSource source(bytes);
    return LocateTrailer(source, static_cast<int64_t>(bytes.size()), info);
}

std::string WithTrailer(std::string file, int64_t payloadOffset, int32_t mode) {
    uint8_t trailer[kTrailerSize];
    EncodeTrailer(payloadOffset, mode, trailer);
    file.replace(file.size() - kTrailerSize, kTrailerSize, reinterpret_cast<const char*>(trailer), kTrailerSize);
    return file;
}

struct Result {
    int status;  // the exit status, or 128 + the signal
    std::string out, err;
};

class PackTest : public ::testing::Test {
protected:
    void SetUp() override {
        char folder[] = "/tmp/vorlasta-pack-test.XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        root_ = folder;
        program_ = root_ / "setup-program.exe";
        programBytes_ = "MZ" + std::string(510, '\x90');
        WriteFile(program_, programBytes_);
        payload_ = root_ / "payload";
        for (const auto& [name, content] : GoodFiles()) WriteFile(payload_ / name, content);
        fs::create_directories(payload_ / "app/empty");
        out_ = root_ / "out";
        fs::create_directories(out_);
        setup_ = out_ / "Vorlasta-Setup.exe";
    }

    void TearDown() override { fs::remove_all(root_); }

    static std::map<std::string, std::string> GoodFiles() {
        return {{"Vorlasta.exe", "launcher"},
                {"python/pythonw.exe", "interpreter"},
                {"python/python311.zip", std::string(100000, 'z')},
                {"app/main.py", "print('shop')\n"},
                {kZoe, "zoe"},
                {kHan, "li"}};
    }

    pid_t Start(const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {}) {
        std::vector<std::string> strings{VORLASTA_PACK};
        strings.insert(strings.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& s : strings) argv.push_back(s.data());
        argv.push_back(nullptr);
        const std::string out = root_ / "stdout", err = root_ / "stderr";
        const pid_t pid = fork();
        if (pid == 0) {
            for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
            dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
            dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
            execv(argv[0], argv.data());
            _exit(127);
        }
        return pid;
    }

    Result Wait(pid_t pid) {
        int status = 0;
        EXPECT_EQ(waitpid(pid, &status, 0), pid);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), ReadFile(root_ / "stdout"),
                ReadFile(root_ / "stderr")};
    }

    Result Run(const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {}) {
        return Wait(Start(args, env));
    }

    Result Pack(const fs::path& payload, const fs::path& output, bool move = false,
                const std::map<std::string, std::string>& env = {}) {
        std::vector<std::string> args{"--program", program_, "--payload", payload, "--output", output};
        if (move) args.push_back("--move");
        return Run(args, env);
    }

    // A refusal: status 2, one line on stderr, nothing on stdout, nothing
    // (not even a temporary file) left in the output folder.
    void ExpectRefused(const Result& result, const std::string& reason, const std::string& what) {
        EXPECT_EQ(result.status, 2) << what;
        EXPECT_EQ(result.out, "") << what;
        EXPECT_EQ(result.err.rfind("vorlasta-pack: ", 0), 0u) << what << ": " << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << what << ": " << result.err;
        EXPECT_NE(result.err.find(reason), std::string::npos) << what << ": " << result.err;
        EXPECT_EQ(Listing(out_), std::vector<std::string>{}) << what;
    }

    // The payload of a setup file, checked against the file's own trailer.
    std::string PayloadOf(const std::string& file, int32_t mode) {
        TrailerInfo info;
        EXPECT_EQ(ParseBack(file, info), TrailerResult::Valid);
        EXPECT_EQ(info.payloadOffset, static_cast<int64_t>(programBytes_.size()));
        EXPECT_EQ(info.mode, mode);
        EXPECT_EQ(info.payloadSize, static_cast<int64_t>(file.size() - programBytes_.size() - kTrailerSize));
        EXPECT_FALSE(info.signedFile);
        EXPECT_EQ(file.compare(0, programBytes_.size(), programBytes_), 0) << "program image not kept";
        return file.substr(programBytes_.size(), static_cast<size_t>(info.payloadSize));
    }

    fs::path root_, program_, payload_, out_, setup_;
    std::string programBytes_;
};

TEST_F(PackTest, FolderBecomesProgramThenSortedUtf8ZipThenTrailer) {
    const Result result = Pack(payload_, setup_);
    ASSERT_EQ(result.status, 0) << result.err;
    const std::string file = ReadFile(setup_);
    const std::string zip = PayloadOf(file, 0);
    EXPECT_EQ(result.out, "wrote " + setup_.string() + ": " + std::to_string(file.size()) + " bytes, payload " +
                              std::to_string(zip.size()) + " bytes at offset 512, 9 entries, mode 0 (Install)\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(Listing(out_), std::vector<std::string>{"Vorlasta-Setup.exe"});

    const std::vector<CentralEntry> central = CentralDirectory(zip);
    std::vector<std::string> names;
    for (const CentralEntry& entry : central) {
        names.push_back(entry.name);
        EXPECT_NE(entry.flags & 0x800, 0u) << entry.name << ": name not flagged UTF-8";
        if (entry.name == "python/python311.zip") EXPECT_EQ(entry.method, 8u) << "not deflated";
    }
    const std::vector<std::string> sorted{"Vorlasta.exe", "app/", kZoe, "app/empty/", "app/main.py", kHan,
                                          "python/", "python/python311.zip", "python/pythonw.exe"};
    EXPECT_EQ(names, sorted);

    std::map<std::string, std::string> expected = GoodFiles();
    for (const char* folder : {"app/", "app/empty/", "python/"}) expected[folder] = "";
    EXPECT_EQ(ZipContents(zip), expected);
}

TEST_F(PackTest, SameInputsGiveTheSameBytesWhateverTheTimesModesOrTimeZone) {
    ASSERT_EQ(Pack(payload_, setup_).status, 0);
    const std::string first = ReadFile(setup_);
    for (const auto& entry : fs::recursive_directory_iterator(payload_)) {
        fs::last_write_time(entry.path(), fs::file_time_type::clock::now() - std::chrono::hours(1000));
    }
    fs::permissions(payload_ / "app/main.py", fs::perms::owner_all);
    const fs::path second = out_ / "again.exe";
    ASSERT_EQ(Pack(payload_, second, false, {{"TZ", "XYZ-13"}}).status, 0);
    EXPECT_TRUE(ReadFile(second) == first);
}

TEST_F(PackTest, MoveCarriesTheShopDataAndInspectShowsIt) {
    WriteFile(payload_ / "data/shop.db", "sqlite");
    const Result result = Pack(payload_, setup_, true);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("mode 2 (Move)"), std::string::npos) << result.out;
    const std::string zip = PayloadOf(ReadFile(setup_), kModeMove);
    EXPECT_EQ(ZipContents(zip).at("data/shop.db"), "sqlite");

    const Result inspect = Run({"inspect", setup_});
    EXPECT_EQ(inspect.status, 0) << inspect.err;
    EXPECT_EQ(inspect.out, setup_.string() + ": Vorlasta setup file\n"
                           "  payload offset: 512\n"
                           "  payload size:   " + std::to_string(zip.size()) + " bytes, 11 entries\n"
                           "  mode:           2 (Move)\n"
                           "  signed:         no\n"
                           "  top level:\n"
                           "    Vorlasta.exe\n"
                           "    app/\n"
                           "    data/\n"
                           "    python/\n");
}

TEST_F(PackTest, ZipPayloadIsEmbeddedByteForByte) {
    MakeZip(root_ / "payload.zip", {{"Vorlasta.exe", "l"}, {"app/main.py", "m"}, {"python/pythonw.exe", "p"},
                                     {"app/", "", AE_IFDIR}, {"data/shop.db", "s"}});
    const std::string zip = ReadFile(root_ / "payload.zip");
    const Result result = Pack(root_ / "payload.zip", setup_, true);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(PayloadOf(ReadFile(setup_), kModeMove) == zip);
}

TEST_F(PackTest, RefusalsLeaveNothingBehind) {
    using Prepare = std::function<std::vector<std::string>(const fs::path& payload)>;
    const auto folderArgs = [this](const fs::path& payload) {
        return std::vector<std::string>{"--program", program_, "--payload", payload, "--output", setup_};
    };
    const auto withFile = [&](const std::string& name, const std::string& content = "x") -> Prepare {
        return [=](const fs::path& payload) {
            WriteFile(payload / name, content);
            return folderArgs(payload);
        };
    };
    const auto withZip = [&](std::vector<ZipItem> items) -> Prepare {
        return [=](const fs::path&) {
            MakeZip(root_ / "bad.zip", items);
            return folderArgs(root_ / "bad.zip");
        };
    };
    const auto withItems = [](std::vector<ZipItem> extra) {
        std::vector<ZipItem> items = RequiredItems();
        items.insert(items.end(), extra.begin(), extra.end());
        return items;
    };
    const struct {
        const char* what;
        Prepare prepare;
        std::string reason;
    } cases[] = {
        {"no application",
         [&](const fs::path& p) { fs::remove(p / "app/main.py"); return folderArgs(p); },
         "payload lacks app/main.py (the application) at its top level"},
        {"shop data in an install", withFile("data/shop.db"),
         "data/: the shop's data folder must not be in an install payload: an update would overwrite"},
        {"symbolic link",
         [&](const fs::path& p) { fs::create_symlink("main.py", p / "app/link.py"); return folderArgs(p); },
         "app/link.py: symbolic link"},
        {"named pipe",
         [&](const fs::path& p) { mkfifo((p / "app/pipe").c_str(), 0644); return folderArgs(p); },
         "app/pipe: not a regular file or folder"},
        {"newline in a name", withFile("app/a\nb.py"), "app/a\\x0Ab.py: control character in name"},
        {"name not UTF-8", withFile("app/\xFF.py"), "app/\\xFF.py: name is not valid UTF-8"},
        {"path too long", withFile("app/" + std::string(196, 'a')), "path is 200 UTF-16 units"},
        {"2 GiB file",
         [&](const fs::path& p) {
             WriteFile(p / "app/big.bin", "");
             fs::resize_file(p / "app/big.bin", uint64_t{2} << 30);  // sparse
             return folderArgs(p);
         },
         "app/big.bin: 2147483648 bytes; files of 2 GiB or more are not supported"},
        {"program without MZ",
         [&](const fs::path& p) {
             WriteFile(root_ / "not-pe.exe", "ELF...");
             return std::vector<std::string>{"--program", root_ / "not-pe.exe", "--payload", p, "--output", setup_};
         },
         "is not a Windows program"},
        {"program already a setup file",
         [&](const fs::path& p) {
             EXPECT_EQ(Pack(p, root_ / "old.exe").status, 0);
             return std::vector<std::string>{"--program", root_ / "old.exe", "--payload", p, "--output", setup_};
         },
         "is already a setup file"},
        {"payload missing", [&](const fs::path& p) { return folderArgs(p / "nope"); },
         "is neither a folder nor a ZIP file"},
        {"output folder missing",
         [&](const fs::path& p) {
             return std::vector<std::string>{"--program", program_, "--payload", p, "--output", out_ / "no/x.exe"};
         },
         "cannot create a file in"},
        {"zip escaping the folder", withZip(withItems({{"../evil.py", "x"}})), "../evil.py: \"..\" component"},
        {"zip name not UTF-8", withZip(withItems({{"app/\xFF.py", "x"}})), "app/\\xFF.py: name is not valid UTF-8"},
        {"zip with a link", withZip(withItems({{"app/link", "main.py", AE_IFLNK}})), "app/link: symbolic link"},
        {"not a zip",
         [&](const fs::path&) {
             WriteFile(root_ / "not.zip", "PK but not really");
             return folderArgs(root_ / "not.zip");
         },
         "not a ZIP archive"},
        {"zip cut short",
         [&](const fs::path&) {
             MakeZip(root_ / "cut.zip", RequiredItems());
             const std::string zip = ReadFile(root_ / "cut.zip");
             WriteFile(root_ / "cut.zip", zip.substr(0, zip.size() - 30));
             return folderArgs(root_ / "cut.zip");
         },
         "not a usable ZIP archive"},
    };
    int index = 0;
    for (const auto& c : cases) {
        const fs::path payload = root_ / ("case" + std::to_string(index++));
        fs::copy(payload_, payload, fs::copy_options::recursive);
        ExpectRefused(Run(c.prepare(payload)), c.reason, c.what);
    }
}

TEST_F(PackTest, UsageErrorsExitWith2AndShowUsage) {
    const std::vector<std::string> cases[] = {
        {},
        {"--program", "a.exe", "--payload", "p"},
        {"--program", "a.exe", "--program", "b.exe", "--payload", "p", "--output", "o"},
        {"inspect"},
    };
    for (const auto& args : cases) {
        const Result result = Run(args);
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.err.rfind("vorlasta-pack: ", 0), 0u) << result.err;
        EXPECT_NE(result.err.find("\nusage: vorlasta-pack --program"), std::string::npos) << result.err;
    }
}

// A PE32+ header (e_lfanew 0x40, 240-byte optional header at 0x58, 16
// data directories) whose security directory can name a certificate table.
std::string PeImage() {
    std::string image(512, '\0');
    image.replace(0, 2, "MZ");
    image[0x3C] = 0x40;
    image.replace(0x40, 4, std::string("PE\0\0", 4));
    image[0x54] = static_cast<char>(240);
    image.replace(0x58, 2, "\x0B\x02");
    image[0x58 + 108] = 16;
    return image;
}

TEST_F(PackTest, InspectSeesATrailerBeforeACertificateTable) {
    programBytes_ = PeImage();
    WriteFile(program_, programBytes_);
    ASSERT_EQ(Pack(payload_, setup_).status, 0);
    std::string file = ReadFile(setup_);
    // What signing does: pad to 8 bytes, append the table, point entry 4 at it.
    file.append((8 - file.size() % 8) % 8, '\0');
    const uint32_t tableStart = static_cast<uint32_t>(file.size()), tableSize = 24;
    file.append(tableSize, '\x5A');
    for (int i = 0; i < 4; ++i) {
        file[0x58 + 144 + i] = static_cast<char>(tableStart >> (8 * i));
        file[0x58 + 148 + i] = static_cast<char>(tableSize >> (8 * i));
    }
    WriteFile(setup_, file);
    const Result result = Run({"inspect", setup_});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("  signed:         yes"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("    python/\n"), std::string::npos) << result.out;
}

TEST_F(PackTest, InspectRefusesWhatTheSetupProgramWouldRefuse) {
    ASSERT_EQ(Pack(payload_, setup_).status, 0);
    const std::string good = ReadFile(setup_);
    const std::string noData = "no Vorlasta data inside", damaged = "damaged (payload offset 0 or empty payload)";
    const struct {
        const char* what;
        std::string bytes;
        std::string reason;
    } cases[] = {
        {"last byte cut", good.substr(0, good.size() - 1), noData},
        {"wrong magic", good.substr(0, good.size() - 1) + "2", noData},
        {"shorter than a trailer", "MZ", noData},
        {"empty file", "", noData},
        {"payload offset 0", WithTrailer(good, 0, 0), damaged},
        {"payload offset past the end", WithTrailer(good, static_cast<int64_t>(good.size()), 0), damaged},
        {"empty payload", WithTrailer(good, static_cast<int64_t>(good.size() - kTrailerSize), 0), damaged},
        {"negative payload offset", WithTrailer(good, -1, 0), "damaged (payload offset outside the file)"},
        {"payload offset inside the program", WithTrailer(good, 100, 0), "damaged (payload: not a ZIP archive"},
        {"payload not a zip", WithTrailer("MZ" + std::string(100 + kTrailerSize, 'x'), 2, 0),
         "damaged (payload: not a ZIP archive"},
        {"payload cut short", WithTrailer(good.substr(0, good.size() - 100) + good.substr(good.size() - kTrailerSize), 512, 0),
         "damaged (payload: not a usable ZIP archive"},
    };
    for (const auto& c : cases) {
        WriteFile(root_ / "bad.exe", c.bytes);
        const Result result = Run({"inspect", root_ / "bad.exe"});
        EXPECT_EQ(result.status, 1) << c.what;
        EXPECT_EQ(result.out, "") << c.what;
        const std::string start = "vorlasta-pack: " + (root_ / "bad.exe").string() + ": " + c.reason;
        EXPECT_EQ(result.err.rfind(start, 0), 0u) << c.what << ": " << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << c.what;
    }
}

TEST_F(PackTest, InterruptedRunLeavesNoFile) {
    // Enough incompressible data that deflating it takes a noticeable time.
    std::string noise(48 << 20, '\0');
    uint64_t state = 88172645463325252ull;
    for (char& c : noise) {
        state ^= state << 13, state ^= state >> 7, state ^= state << 17;
        c = static_cast<char>(state);
    }
    WriteFile(payload_ / "app/noise.bin", noise);
    const pid_t pid = Start({"--program", program_, "--payload", payload_, "--output", setup_});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (Listing(out_).empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(Listing(out_).size(), 1u) << "the temporary file never appeared";
    EXPECT_NE(Listing(out_)[0], "Vorlasta-Setup.exe") << "finished before it could be interrupted";
    kill(pid, SIGTERM);
    EXPECT_EQ(Wait(pid).status, 128 + SIGTERM);
    EXPECT_EQ(Listing(out_), std::vector<std::string>{});
}

}  // namespace
