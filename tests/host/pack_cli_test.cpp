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

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <tuple>

#include "bytecode_check.h"
#include "interpreter_check.h"
#include "setup/trailer.h"
#include "setup_file.h"
#include "test_bundle.h"

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

const std::string kZoe = "app/Zo\xC3\xAB.py", kHan = "app/\xE6\x9D\x8E.txt";
const std::string kPassword = "Zo\xC3\xAB's shop 2026";
const std::map<std::string, std::string> kGoodFiles = [] {
    std::map<std::string, std::string> files = GoodBundle();
    // Large enough to be deflated in blocks, varied enough that each block's primer matters.
    std::string zip;
    for (int i = 0; zip.size() < 1300000; ++i) zip += "def f" + std::to_string(i * 7919 % 100003) + "(): return " + std::to_string(i) + "\n";
    files.insert({{"python/python312.zip", zip}, {kZoe, "zoe"}, {kHan, "li"}});
    return files;
}();

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

// Name, general-purpose flags and method of each central directory header, in
// order (the payload's data holds no "PK\1\2" of its own).
std::vector<std::tuple<std::string, uint32_t, uint32_t>> CentralDirectory(const std::string& zip) {
    const auto U16 = [&](size_t at) { return static_cast<uint8_t>(zip[at]) | static_cast<uint8_t>(zip[at + 1]) << 8; };
    std::vector<std::tuple<std::string, uint32_t, uint32_t>> entries;
    for (size_t at = zip.find("PK\1\2"); at != std::string::npos; at = zip.find("PK\1\2", at + 46)) {
        entries.emplace_back(zip.substr(at + 46, U16(at + 28)), U16(at + 8), U16(at + 10));
    }
    return entries;
}

// Every entry of a ZIP archive as libarchive decompresses it, and its time (which tar.exe sets).
std::map<std::string, std::string> ZipContents(const std::string& zip, std::map<std::string, int64_t>* times = nullptr) {
    setlocale(LC_CTYPE, "C.UTF-8");  // names come back as UTF-8
    std::map<std::string, std::string> files;
    archive* a = archive_read_new();
    archive_read_support_format_zip_seekable(a);
    EXPECT_EQ(archive_read_open_memory(a, zip.data(), zip.size()), ARCHIVE_OK);
    int result;
    for (archive_entry* entry; (result = archive_read_next_header(a, &entry)) == ARCHIVE_OK;) {
        std::string& content = files[archive_entry_pathname(entry)];
        if (times != nullptr) (*times)[archive_entry_pathname(entry)] = archive_entry_mtime(entry);
        char buffer[4096];
        for (la_ssize_t n; (n = archive_read_data(a, buffer, sizeof buffer)) > 0;) content.append(buffer, n);
    }
    EXPECT_EQ(result, ARCHIVE_EOF) << archive_error_string(a);
    archive_read_free(a);
    return files;
}

struct ZipItem {
    std::string name, content;
    mode_t type = AE_IFREG;
};

// `zip` with bit 11 (the name is UTF-8) set in every local and central header.
std::string FlagUtf8(std::string zip) {
    for (const auto& [h, flags] : {std::pair{"PK\3\4", 7}, std::pair{"PK\1\2", 9}}) {
        for (size_t at = zip.find(h, 0, 4); at != std::string::npos; at = zip.find(h, at + 4, 4)) zip[at + flags] |= 8;
    }
    return zip;
}

// A ZIP payload made by another tool, so odd entries can be tried: the good
// bundle's files (unless `items` names them) and `items`, names as raw bytes.
std::string MakeZip(std::vector<ZipItem> items, bool store = false) {
    setlocale(LC_CTYPE, "C");  // names go in as raw bytes, not flagged UTF-8
    for (const auto& file : GoodBundle()) {
        const auto named = [&](const ZipItem& item) { return item.name == file.first; };
        if (std::none_of(items.begin(), items.end(), named)) items.insert(items.begin(), {file.first, file.second});
    }
    std::string zip((1 << 18) + items.size() * 256, '\0');
    size_t used = 0;
    archive* a = archive_write_new();
    archive_write_set_format_zip(a);
    if (store) archive_write_zip_set_compression_store(a);
    EXPECT_EQ(archive_write_open_memory(a, &zip[0], zip.size(), &used), ARCHIVE_OK);
    for (const ZipItem& item : items) {
        archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, item.name.c_str());
        archive_entry_set_filetype(entry, item.type);
        if (item.type == AE_IFLNK) archive_entry_set_symlink(entry, item.content.c_str());
        archive_entry_set_size(entry, item.type == AE_IFREG ? static_cast<la_int64_t>(item.content.size()) : 0);
        EXPECT_EQ(archive_write_header(a, entry), ARCHIVE_OK);
        if (item.type == AE_IFREG) archive_write_data(a, item.content.data(), item.content.size());
        archive_entry_free(entry);
    }
    archive_write_free(a);  // closes it first
    return zip.substr(0, used);
}

// `zip` with the 4 bytes at `offset` after the local header of `name` (the
// first match of "PK\3\4" + `name` at its place) replaced: a damaged copy.
std::string PatchLocal(std::string zip, const std::string& name, size_t offset, const std::string& bytes) {
    const size_t at = zip.find(name) - 30;
    EXPECT_EQ(zip.compare(at, 4, "PK\3\4"), 0) << name;
    return zip.replace(at + offset, bytes.size(), bytes);
}

// Whether every local and central header of `zip` flags its name as UTF-8.
bool AllNamesFlaggedUtf8(const std::string& zip) {
    size_t headers = 0;
    for (const auto& [h, flags] : {std::pair{"PK\3\4", 7}, std::pair{"PK\1\2", 9}}) {
        for (size_t at = zip.find(h, 0, 4); at != std::string::npos; at = zip.find(h, at + 4, 4), ++headers) {
            if ((zip[at + flags] & 8) == 0) return false;
        }
    }
    return headers > 0;
}

void Touch(const fs::path& path, int64_t time) {
    const timespec times[2] = {{time, 0}, {time, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

struct Result { int status; std::string out, err; };  // status: 128 + the signal for a killed run

// The Windows build runs under Wine, in a prefix the build folder keeps for
// the test processes (ctest starts one per test), made by the first of them.
void PrepareWine() {
    static const bool ready = [] {
        setenv("WINEPREFIX", VORLASTA_WINE_PREFIX, 1), setenv("WINEDEBUG", "-all", 1);
        setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
        // A server that outlives each run by a minute (unless one runs already): a
        // run then starts in well under a second.
        const std::string command = "mkdir -p " VORLASTA_WINE_PREFIX " && flock -o " VORLASTA_WINE_PREFIX ".lock sh -c "
                                    "'{ /usr/lib/wine/wineserver -p60 || true; } && "
                                    "{ [ -f " VORLASTA_WINE_PREFIX "/system.reg ] || /usr/lib/wine/wine64 wineboot -i; }' >/dev/null 2>&1";
        return system(command.c_str()) == 0;
    }();
    ASSERT_TRUE(ready) << "no Wine prefix at " VORLASTA_WINE_PREFIX;
}

// Each test runs the Linux build and the Windows build (the packer's path is the parameter).
class PackTest : public ::testing::TestWithParam<const char*> {
protected:
    bool Windows() const { return fs::path(GetParam()).extension() == ".exe"; }

    void SetUp() override {
        char folder[] = "/tmp/vorlasta-pack-test.XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        root_ = folder;
        payload_ = root_ / "payload", out_ = root_ / "out", setup_ = out_ / "Vorlasta-Setup.exe";
        WriteFile(program_ = root_ / "setup-program.exe", programBytes_);
        for (const auto& [name, content] : kGoodFiles) WriteFile(payload_ / name, content);
        fs::create_directories(payload_ / "app/empty"), fs::create_directories(out_);
    }
    void TearDown() override { fs::remove_all(root_); }

    pid_t Start(const std::vector<std::string>& args, std::vector<std::string> env = {},  // env: "NAME=value"
                const char* packer = nullptr, const std::string& input = "") {  // input: standard input
        std::vector<std::string> strings{packer != nullptr ? packer : GetParam()};
        if (fs::path(strings[0]).extension() == ".exe") PrepareWine(), strings.insert(strings.begin(), "/usr/lib/wine/wine64");
        strings.insert(strings.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& s : strings) argv.push_back(s.data());
        argv.push_back(nullptr);
        const std::string out = root_ / "stdout", err = root_ / "stderr", in = root_ / "stdin";
        WriteFile(in, input);
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(open(in.c_str(), O_RDONLY), 0);
            for (std::string& variable : env) putenv(variable.data());
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
    Result Run(const std::vector<std::string>& args, const std::vector<std::string>& env = {}, const char* packer = nullptr,
               const std::string& input = "") {
        return Wait(Start(args, env, packer, input));
    }
    // Moves the good payload with a shop database, sealed under kPassword by `packer`, to `output`.
    Result SealedMove(const fs::path& output, const char* packer) {
        std::string noise(150000, '\0');  // three chunks
        std::generate(noise.begin(), noise.end(), std::mt19937(7));
        WriteFile(root_ / "shop/data/shop.db", ""), WriteFile(root_ / "shop/data/scans.bin", noise), fs::copy(payload_, root_ / "shop", fs::copy_options::recursive | fs::copy_options::skip_existing);
        return Run({"move", "--from", root_ / "shop", "--encrypt", "--password-stdin", "--output", output}, {}, packer, kPassword + "\r\n");
    }
    std::vector<std::string> Args(const fs::path& program, const fs::path& payload, const fs::path& output) {
        return {"--program", program, "--payload", payload, "--output", output};
    }
    Result Pack(const fs::path& payload, const fs::path& output, bool move = false, const std::vector<std::string>& env = {}) {
        std::vector<std::string> args = Args(program_, payload, output);
        if (move) args.push_back("--move");
        return Run(args, env);
    }

    // The payload of a setup file, checked against the file's own trailer.
    std::string PayloadOf(const std::string& file, int32_t mode) {
        const std::vector<uint8_t> bytes(file.begin(), file.end());
        MemoryByteSource source(bytes);
        TrailerInfo info;
        EXPECT_EQ(LocateTrailer(source, static_cast<int64_t>(bytes.size()), info), TrailerResult::Valid);
        const int64_t offset = static_cast<int64_t>(programBytes_.size());
        EXPECT_EQ(std::make_tuple(info.payloadOffset, info.payloadSize, info.mode, info.signedFile),
                  std::make_tuple(offset, static_cast<int64_t>(file.size()) - offset - kTrailerSize, mode, false));
        EXPECT_EQ(file.compare(0, programBytes_.size(), programBytes_), 0) << "program image not kept";
        return file.substr(programBytes_.size(), static_cast<size_t>(info.payloadSize));
    }

    fs::path root_, program_, payload_, out_, setup_;
    std::string programBytes_ = "MZ" + std::string(510, '\x90');
};

TEST_P(PackTest, FolderBecomesProgramThenSortedUtf8ZipThenTrailer) {
    const Result result = Pack(payload_, setup_);
    ASSERT_EQ(result.status, 0) << result.err;
    const std::string file = ReadFile(setup_), zip = PayloadOf(file, 0);
    EXPECT_EQ(result.out, "wrote " + setup_.string() + ": " + std::to_string(file.size()) + " bytes, payload " +
                              std::to_string(zip.size()) + " bytes at offset 512, 13 entries, mode 0 (Install)\n");
    EXPECT_EQ(std::make_pair(result.err, Listing(out_)),
              std::make_pair(""s, std::vector<std::string>{"Vorlasta-Setup.exe"}));

    std::map<std::string, std::string> expected = kGoodFiles;
    for (const char* folder : {"app/", "app/empty/", "python/"}) expected[folder] = "";
    std::vector<std::string> names, sorted;
    for (const auto& [name, flags, method] : CentralDirectory(zip)) {
        names.push_back(name);
        EXPECT_NE(flags & 0x800, 0u) << name << ": name not flagged UTF-8";
        if (name == "python/python312.zip") EXPECT_EQ(method, 8u) << "not deflated";
        if (name == kHan) EXPECT_EQ(method, 0u) << "deflated, though that makes it larger";
    }
    for (const auto& item : expected) sorted.push_back(item.first);
    EXPECT_EQ(names, sorted);
    EXPECT_EQ(ZipContents(zip), expected);
}

// python/python312.zip is deflated in blocks, on one thread and then on four.
TEST_P(PackTest, SameFilesWithTheSameTimesGiveTheSameBytesWhateverTheModesTimeZoneOrThreads) {
    std::vector<std::string> one = Args(program_, payload_, setup_), four = Args(program_, payload_, out_ / "again.exe");
    one.insert(one.end(), {"--threads", "1"}), four.insert(four.end(), {"--threads", "4"});
    ASSERT_EQ(Run(one).status, 0);
    fs::permissions(payload_ / "app/main.py", fs::perms::owner_all);  // the file's time stays
    ASSERT_EQ(Run(four, {"TZ=XYZ-13"}).status, 0);
    EXPECT_TRUE(ReadFile(out_ / "again.exe") == ReadFile(setup_));
}

// The demo bundle, as a folder and as a ready zip, gives one setup file
// whichever build packs it, and so does a move of it, however deep the files
// lie and however long the output's name; and the Windows build takes and
// prints names beyond any ANSI code page.
TEST_P(PackTest, BothBuildsWriteTheSameBytesAndWindowsTakesUnicodeNames) {
    if (!Windows()) GTEST_SKIP() << "compares the Windows build with the Linux build";
    const fs::path deep = root_ / std::string(120, 'd') / std::string(120, 'e'), demo = deep / "demo", zip = root_ / "demo.zip";
    const fs::path setup = deep / (std::string(246, 's') + ".exe");
    fs::create_directories(deep);
    fs::copy(fs::path(VORLASTA_PROGRAMS_DIR).parent_path() / "demo-payload", demo, fs::copy_options::recursive);
    WriteFile(demo / "app/blocks.txt", kGoodFiles.at("python/python312.zip"));  // deflated in blocks
    WriteFile(demo / "app" / std::string(100, 'f') / std::string(80, 'g') / "x.py", "deep");
    // zip -X keeps only the DOS time: even seconds, in local time (UTC for zip here).
    for (const auto& entry : fs::recursive_directory_iterator(demo)) Touch(entry.path(), 1700000000);
    ASSERT_EQ(system(("cd '" + demo.string() + "' && TZ=UTC0 zip -qrX '" + zip.string() + "' .").c_str()), 0);
    std::vector<std::string> setups;
    for (const fs::path& source : {demo, zip}) {
        for (const char* packer : {VORLASTA_PACK, GetParam()}) {
            const Result result = Run({"--payload", source, "--output", setup}, {}, packer);
            EXPECT_EQ(result.status, 0) << packer << " " << source << ": " << result.err;
            setups.push_back(ReadFile(setup));
        }
    }
    EXPECT_TRUE(setups[0].size() > 20000 && std::count(setups.begin(), setups.end(), setups[0]) == 4);
    WriteFile(demo / "data/shop.db", "");  // an empty database, as SQLite reads an empty file
    for (const char* packer : {VORLASTA_PACK, GetParam()}) {
        const Result result = Run({"move", "--from", demo, "--output", setup}, {}, packer);
        EXPECT_EQ(result.status, 0) << packer << ": " << result.err;
        setups.push_back(ReadFile(setup));
    }
    EXPECT_TRUE(setups[4].size() > 20000 && setups[5] == setups[4]);

    const fs::path folder = root_ / "Пакет 包裹", named = out_ / "Установка 安装.exe";
    fs::rename(payload_, folder);
    const Result packed = Run({"--payload", folder, "--output", named});
    EXPECT_EQ(std::make_pair(packed.status, packed.out.rfind("wrote " + named.string() + ": ", 0)), std::make_pair(0, size_t{0}))
        << packed.out << packed.err;
    const Result inspect = Run({"inspect", named});
    EXPECT_EQ(std::make_pair(inspect.status, inspect.out.rfind(named.string() + ": Vorlasta setup file\n", 0)),
              std::make_pair(0, size_t{0})) << inspect.out << inspect.err;
}

// Without --program and without a launcher of its own, a payload gets the
// programs the packer was built with.
TEST_P(PackTest, BuiltInSetupProgramAndLauncher) {
    fs::remove(payload_ / "Vorlasta.exe");
    const Result result = Run({"--payload", payload_, "--output", setup_});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find(" (Install), with the built-in launcher as Vorlasta.exe\n"), std::string::npos) << result.out;
    programBytes_ = ReadFile(VORLASTA_PROGRAMS_DIR "/Vorlasta-Setup.exe");
    const std::string zip = PayloadOf(ReadFile(setup_), 0);
    EXPECT_TRUE(ZipContents(zip)["Vorlasta.exe"] == ReadFile(VORLASTA_PROGRAMS_DIR "/Vorlasta.exe"));
    const Result inspect = Run({"inspect", setup_});
    EXPECT_NE(inspect.out.find("\n  program:        the built-in setup program\n"), std::string::npos) << inspect.out;
}

// Files keep their times, so the timestamp .pyc files Python wrote beside
// them stay valid once unpacked; the packer counts those that will not, also
// without the interpreter checks, which the count is not one of.
TEST_P(PackTest, FileTimesKeepCompiledModulesValid) {
    const int64_t t = 1700000001, epoch = 1600000000;  // t is odd: only the timestamp field holds it
    // app/NAME.py of 6 bytes at `time` (0: none) and its .pyc's header: magic, flags, source time and size.
    const auto module = [&](const char* name, int64_t time, uint32_t flags, uint32_t recorded, uint32_t size) {
        const uint32_t header[4] = {0x0A0D0DA7, flags, recorded, size};  // little-endian host
        const fs::path source = payload_ / "app" / (name + ".py"s);
        if (time != 0) WriteFile(source, "x = 1\n"), Touch(source, time);
        WriteFile(payload_ / "app/__pycache__" / (name + ".cpython-312.pyc"s), std::string(reinterpret_cast<const char*>(header), 16) + "c");
    };
    const struct {  // unpacked: app/m.py's time as the archive gives it
        const char* what; std::function<void()> prepare; std::vector<std::string> env; int64_t unpacked; size_t stale;
    } cases[] = {
        {"its own time", [&] { module("m", t, 0, t, 6); }, {}, t, 0},
        {"before 1970: 1970, not a wrapped time; not 1980", [&] { module("m", -5, 0, 0, 6); }, {}, 0, 0},
        {"SOURCE_DATE_EPOCH: later times clamped, no time in the bytes", [&] { module("m", t, 0, epoch, 6); },
         {"SOURCE_DATE_EPOCH=" + std::to_string(epoch)}, epoch, 0},
        {"stale time, stale size; hash-based and sourceless ones not counted", [&] { module("m", t, 0, t + 2, 6),
         module("s", t, 0, t, 7), module("h", t, 3, 0, 0), module("gone", 0, 0, 0, 0); }, {}, t, 2},
    };
    for (const auto& c : cases) {
        fs::remove_all(payload_ / "app/__pycache__"), c.prepare();
        const Result result = Run({"--skip-interpreter-checks", "--program", program_, "--payload", payload_, "--output", setup_}, c.env);
        const std::string skipped = "vorlasta-pack: "s + kSkipInterpreterChecksWarning + "\n", stale = "vorlasta-pack: " + StaleBytecodeWarning(c.stale) + "\n";
        EXPECT_EQ(std::make_pair(result.status, result.err), std::make_pair(0, skipped + (c.stale > 0 ? stale : ""))) << c.what;
        std::map<std::string, int64_t> times;
        ZipContents(PayloadOf(ReadFile(setup_), 0), &times);
        EXPECT_EQ(times["app/m.py"], c.unpacked) << c.what;
        for (const auto& entry : fs::recursive_directory_iterator(payload_)) Touch(entry.path(), t + 1000);
        ASSERT_EQ(Pack(payload_, out_ / "again.exe", false, c.env).status, 0) << c.what;
        EXPECT_EQ(ReadFile(out_ / "again.exe") == ReadFile(setup_), !c.env.empty()) << c.what << ": times in the bytes";
    }
}

TEST_P(PackTest, ZipPayloadIsWrittenAfreshAndInspectShowsIt) {
    WriteFile(root_ / "payload.zip", MakeZip({{"app/", "", AE_IFDIR}, {"data/shop.db", "s"}}));
    const Result result = Pack(root_ / "payload.zip", setup_, true);  // the shop's data needs --move
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("mode 2 (Move)"), std::string::npos) << result.out;
    const std::string zip = PayloadOf(ReadFile(setup_), kModeMove);
    EXPECT_TRUE(AllNamesFlaggedUtf8(zip));  // the input flags none of its ASCII names
    std::map<std::string, std::string> expected = GoodBundle();
    expected.insert({{"app/", ""}, {"data/", ""}, {"data/shop.db", "s"}, {"python/", ""}});
    EXPECT_EQ(ZipContents(zip), expected);

    const Result inspect = Run({"inspect", setup_});
    EXPECT_EQ(inspect.status, 0) << inspect.err;
    EXPECT_EQ(inspect.out, setup_.string() + ": Vorlasta setup file\n  payload offset: 512\n  payload size:   " +
                               std::to_string(zip.size()) + " bytes, " +
                               std::to_string(expected.size()) + " entries\n  mode:           2 (Move)\n"
                               "  version:        none\n  program:        not the built-in setup program\n  signed:         no\n  top level:\n    Vorlasta.exe\n    app/\n    data/\n    python/\n");
}

// However the files were zipped (deflated or stored, with or without data
// descriptors, bzip2, UTF-8 flags or not), the setup file is the one the
// folder gives. Ours flags the decomposed name UTF-8, which libarchive reads
// composed.
TEST_P(PackTest, TheSameFilesGiveTheSameSetupFileHoweverZipped) {
    const std::string nfd = "app/cafe\xCC\x81.txt";  // decomposed, as a Mac names it; NTFS keeps it so
    WriteFile(payload_ / nfd, "nfd");
    // zip -X keeps only the DOS time: even seconds, in local time (UTC for zip here).
    for (const auto& entry : fs::recursive_directory_iterator(payload_)) Touch(entry.path(), 1700000000);
    ASSERT_EQ(Pack(payload_, setup_).status, 0);
    const std::string expected = ReadFile(setup_);
    EXPECT_NE(expected.find(nfd, expected.find("PK\1\2")), std::string::npos) << "not in the central directory";
    WriteFile(root_ / "ours.zip", PayloadOf(expected, 0));
    const struct {
        const char* zipArgs;
    } tools[] = {{"-qrX"}, {"-qrX -0"}, {"-qrX -Z bzip2"}, {"-qr -fz"}, {nullptr}};
    for (const auto& tool : tools) {
        fs::path zip = root_ / "ours.zip";
        if (tool.zipArgs != nullptr) {
            zip = root_ / "tool.zip", fs::remove(zip);
            const std::string command = "cd '" + payload_.string() + "' && TZ=UTC0 zip " + tool.zipArgs + " '" + zip.string() + "' .";
            ASSERT_EQ(system(command.c_str()), 0) << command;
        }
        const Result result = Pack(zip, out_ / "again.exe");
        ASSERT_EQ(result.status, 0) << (tool.zipArgs ? tool.zipArgs : "ours") << ": " << result.err;
        EXPECT_TRUE(ReadFile(out_ / "again.exe") == expected) << (tool.zipArgs ? tool.zipArgs : "ours");
    }
}

TEST_P(PackTest, EveryNameIsFlaggedUtf8PastEntry65535) {
    // Shared code throughout; under Wine the 70,000 entries' file calls take over a minute.
    if (Windows()) GTEST_SKIP() << "run by the Linux build only";
    std::vector<ZipItem> items;
    for (int i = 0; i < 70000; ++i) items.push_back({"app/" + std::to_string(i), "x"});
    WriteFile(root_ / "many.zip", MakeZip(items));
    const Result result = Pack(root_ / "many.zip", setup_);
    ASSERT_EQ(result.status, 0) << result.err;
    const std::string zip = PayloadOf(ReadFile(setup_), 0);
    EXPECT_TRUE(AllNamesFlaggedUtf8(zip));
    EXPECT_EQ(ZipContents(zip).size(), 70000 + GoodBundle().size() + 2);  // and app/, python/
}

// Over 4 GiB of data that deflate cannot shrink: ZIP64 offsets and end
// records, on the way out and on the way back in. Minutes and ~25 GB of disk:
// run with --gtest_also_run_disabled_tests.
TEST_P(PackTest, DISABLED_PayloadOver4GiB) {
    std::vector<uint64_t> noise(1 << 17);  // 1 MiB, repeated: beyond deflate's 32 KiB window
    std::mt19937_64 random(7);
    std::generate(noise.begin(), noise.end(), std::ref(random));
    for (const char* name : {"app/a.bin", "app/b.bin", "app/c.bin"}) {
        std::ofstream out(payload_ / name, std::ios::binary);
        for (int mib = 0; mib < 1536; ++mib) out.write(reinterpret_cast<const char*>(noise.data()), 1 << 20);
    }
    WriteFile(payload_ / "app/d.txt", "d");  // its local header lies past 4 GiB
    ASSERT_EQ(Pack(payload_, setup_).status, 0);
    const Result inspect = Run({"inspect", setup_});
    EXPECT_EQ(inspect.status, 0) << inspect.err;
    EXPECT_NE(inspect.out.find(" bytes, 17 entries\n"), std::string::npos) << inspect.out;
    EXPECT_GT(fs::file_size(setup_), uint64_t{9} << 29);
    // The payload alone, as a ready zip: read back through its ZIP64 records,
    // it must give the same setup file. (Files this size stay out of memory.)
    const std::string s = setup_.string(), zip = (root_ / "big.zip").string(), again = (out_ / "again.exe").string();
    ASSERT_EQ(system(("tail -c +513 '" + s + "' | head -c -20 >'" + zip + "'").c_str()), 0);
    std::ifstream in(zip, std::ios::binary);
    in.seekg(-65536, std::ios::end);
    EXPECT_TRUE(AllNamesFlaggedUtf8({std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()}));
    const Result packed = Pack(zip, again);
    ASSERT_EQ(packed.status, 0) << packed.err;
    EXPECT_EQ(system(("cmp -s '" + s + "' '" + again + "'").c_str()), 0);
}

// Every failure: its status, the reason on one line of stderr (a usage error
// adds the usage line), nothing on stdout and nothing, not even a temporary
// file, left in the output folder.
TEST_P(PackTest, FailuresExplainThemselvesAndLeaveNothingBehind) {
    const fs::path p = root_ / "case", zip = root_ / "bad.zip", bad = root_ / "bad.exe", old = root_ / "good.exe";
    ASSERT_EQ(Pack(payload_, old).status, 0);
    const std::string good = ReadFile(old), end = good.substr(good.size() - kTrailerSize), plain = MakeZip({});
    const auto write = [](const fs::path& path, const std::string& bytes) { return [=] { WriteFile(path, bytes); }; };
    const auto withTrailer = [&](int64_t payloadOffset, std::string body = "") {
        uint8_t trailer[kTrailerSize];
        EncodeTrailer(payloadOffset, 0, trailer);
        if (body.empty()) body = good.substr(0, good.size() - kTrailerSize);
        return write(bad, body + std::string(trailer, trailer + kTrailerSize));
    };
    // An install setup file built by hand around a zip the packer would refuse.
    const auto handMade = [&](std::vector<ZipItem> items) { return withTrailer(512, programBytes_ + MakeZip(items)); };
    const std::vector<std::string> inPlace = Args(program_, p, setup_), zipped = Args(program_, zip, setup_),
                                   inspect = {"inspect", bad}, opened = {"inspect", "--password-stdin", bad},
                                   sealedMove = {"move", "--from", root_ / "shop", "--encrypt", "--password-stdin", "--output", setup_};
    // A move sealed by the Linux build, changed: chunks are 65,552 bytes after a 48-byte header.
    ASSERT_EQ(SealedMove(root_ / "sealed.exe", VORLASTA_PACK).status, 0);
    const std::string sealed = ReadFile(root_ / "sealed.exe");
    int64_t payloadAt = 0;  // the trailer's first field; copied, since the file's size leaves it unaligned
    memcpy(&payloadAt, &sealed[sealed.size() - kTrailerSize], sizeof payloadAt);
    const size_t chunk = static_cast<size_t>(payloadAt) + 48;
    const auto sealedAs = [&](const std::function<void(std::string&)>& change) {
        std::string bytes = sealed;
        change(bytes);
        return write(bad, bytes);
    };
    const struct {
        const char* what;
        std::function<void()> prepare;  // on a fresh copy of the good payload folder, p
        std::vector<std::string> args;
        int status;
        std::string reason;
        std::string input = "";  // standard input
    } cases[] = {
        {"shop data in an install", write(p / "data/shop.db", "x"), inPlace, 2,
         "data/: the shop's data folder must not be in an install payload: an update would overwrite"},
        {"symbolic link", [&] { fs::create_symlink("main.py", p / "app/link.py"); }, inPlace, 2,
         "app/link.py: symbolic link"},
        {"named pipe", [&] { mkfifo((p / "app/pipe").c_str(), 0644); }, inPlace, 2,
         "app/pipe: not a regular file or folder"},
        {"2 GiB file", [&] { WriteFile(p / "app/big.bin", ""), fs::resize_file(p / "app/big.bin", uint64_t{2} << 30); },
         inPlace, 2, "app/big.bin: 2147483648 bytes; files of 2 GiB or more are not supported"},
        {"program without MZ", write(root_ / "elf", "ELF..."), Args(root_ / "elf", p, setup_), 2,
         "is not a Windows program"},
        {"program already a setup file", [] {}, Args(old, p, setup_), 2, "is already a setup file"},
        {"payload missing", [] {}, Args(program_, p / "nope", setup_), 2, "is neither a folder nor a ZIP file"},
        {"SOURCE_DATE_EPOCH not a number", [] { setenv("SOURCE_DATE_EPOCH", "17e8", 1); }, inPlace, 2,
         "SOURCE_DATE_EPOCH is \"17e8\", not a whole number of seconds since 1970"},
        {"SOURCE_DATE_EPOCH in fullwidth digits", [] { setenv("SOURCE_DATE_EPOCH", "\xEF\xBC\x91", 1); }, inPlace, 2,
         "SOURCE_DATE_EPOCH is \"\xEF\xBC\x91\", not a whole number"},
        {"SOURCE_DATE_EPOCH past 64 bits", [] { setenv("SOURCE_DATE_EPOCH", "99999999999999999999", 1); }, inPlace, 2,
         "SOURCE_DATE_EPOCH is \"99999999999999999999\", not a whole number"},
        {"argument not Unicode", [] {}, Args(program_, p, out_ / "\xFF.exe"), 2, "argument \"" + out_.string() +
         "/\\xFF.exe\" is not valid Unicode text"},
        {"link to a folder outside", [&] { fs::create_directory_symlink(payload_, p / "app/outside"); }, inPlace, 2,
         "app/outside: symbolic link"},
        {"link to ..", [&] { fs::create_directory_symlink("..", p / "app/up"); }, inPlace, 2, "app/up: symbolic link"},
        {"output a device", [] {}, Args(program_, p, out_ / "CONOUT$.exe"), 2, "\"CONOUT$.exe\" is a reserved device name"},
        {"output ending in a dot", [] {}, Args(program_, p, out_ / "s.exe."), 2, "\"s.exe.\" ends with a dot"},
        {"output name too long", [] {}, Args(program_, p, out_ / std::string(256, 'n')), 2, "is 256 UTF-16 units; Windows allows at most 255"},
        {"output with a colon", [] {}, Args(program_, p, out_ / "s:x.exe"), 2, "character ':' is not allowed"},
        {"zip with a zstd entry", write(zip, [&] { auto z = PatchLocal(plain, "app/main.py", 8, "\x5D");
                                                   return z.replace(z.find("app/main.py", z.find("PK\1\2")) - 36, 1, "\x5D"); }()),
         zipped, 2, "bad.zip: app/main.py: compressed with zstd (method 93)"},
        {"output folder missing", [] {}, Args(program_, p, out_ / "no/x.exe"), 1, "cannot create a file in"},
        {"zip name flagged UTF-8 but not", write(zip, FlagUtf8(MakeZip({{"app/\xFF.py", "x"}}))), zipped, 2,
         "app/\\xFF.py: name is not valid UTF-8"},
        {"zip local name differs", write(zip, PatchLocal(MakeZip({{"data/shop.db", "s"}}), "data/shop.db", 30, "app/shop.dbx")),
         zipped, 2, "bad.zip: data/shop.db: the local header and the central directory disagree on the name (app/shop.dbx / "},
        {"zip local CRC differs", write(zip, PatchLocal(plain, "app/main.py", 14, "\xEF\xBE\xAD\xDE")), zipped, 2,
         "app/main.py: the local header and the central directory disagree on the CRC (3735928559 / "},
        {"zip descriptor size differs", write(zip, [&] { auto z = plain; z[z.find("PK\x07\x08", z.find("app/main.py")) + 12] = 9;
                                                      return z; }()), zipped, 2,
         "app/main.py: the data descriptor and the central directory disagree on the size (9 / 14)"},
        {"zip entry unpacks to more than it says", write(zip, [&] {  // size 1 in all three places
             const std::string one("\1\0\0\0", 4);
             std::string z = PatchLocal(MakeZip({{"app/big.txt", std::string(1 << 20, 'a')}}), "app/big.txt", 22, one);
             z.replace(z.find("PK\x07\x08", z.find("app/big.txt")) + 12, 4, one);
             return z.replace(z.find("app/big.txt", z.find("PK\1\2")) - 46 + 24, 4, one); }()), zipped, 2,
         "app/big.txt: unpacks to more than its 1 bytes"},
        {"zip local method differs", write(zip, PatchLocal(plain, "app/main.py", 8, std::string("\0", 1))), zipped, 2,
         "app/main.py: the local header and the central directory disagree on the method (0 / 8)"},
        {"zip data fails its CRC", write(zip, [] { auto z = MakeZip({{"app/d.txt", "stored data"}}, true);
                                                   return z.replace(z.find("stored data"), 1, "S"); }()), zipped, 2,
         "bad.zip: not a usable ZIP archive: app/d.txt: ZIP bad CRC"},
        {"output is the program", [] {}, Args(program_, p, root_ / "./setup-program.exe"), 2,
         "is the same file as the input " + program_.string()},
        {"output is a link to the zip", [&] { WriteFile(zip, plain), fs::create_hard_link(zip, root_ / "hard.exe"); },
         Args(program_, zip, root_ / "hard.exe"), 2, "is the same file as the input " + zip.string()},
        {"output is a symlink to the program", [&] { fs::remove(root_ / "sym.exe"), fs::create_symlink(program_, root_ / "sym.exe"); },
         Args(program_, p, root_ / "sym.exe"), 2, "is the same file as the input"},
        {"zip with a link", write(zip, MakeZip({{"app/link", "main.py", AE_IFLNK}})), zipped, 2,
         "app/link: symbolic link"},
        {"zip cut short", write(zip, plain.substr(0, plain.size() - 30)), zipped, 2, "bad.zip: no ZIP end record"},
        {"not a zip", write(zip, "PK"), zipped, 2, "not a ZIP archive"},
        {"._pth without ..\\app", write(p / "python/python312._pth", ".\n"), inPlace, 2,
         "python/python312._pth: no line puts the app folder on Python's path"},
        {"zip: pythonw.exe not Python", write(zip, MakeZip({{"python/pythonw.exe", MakePe({0x8664, 2, {"x.dll"}})}})),
         zipped, 2, "python/pythonw.exe: imports no python3*.dll, so it is not a Python interpreter"},
        {"inspect: interpreter refused",
         [&] { fs::remove(p / "python/vcruntime140.dll"), Run({"--skip-interpreter-checks", "--program", program_, "--payload", p, "--output", bad}); },
         inspect, 1, bad.string() + ": python/pythonw.exe needs vcruntime140.dll"},
        {"no arguments", [] {}, {}, 2, ": missing --payload\nusage: vorlasta-pack [--program"},
        {"no output", [] {}, {"--program", "a", "--payload", "p"}, 2, ": missing --output\nusage:"},
        {"twice", [] {}, {"--program", "a", "--program", "b", "--payload", "p"}, 2, "--program given twice\nusage:"},
        {"inspect nothing", [] {}, {"inspect"}, 2, ": inspect takes exactly one setup file\nusage:"},
        {"no threads", [] {}, {"move", "--threads", "0", "--output", "x"}, 2, "--threads takes a whole number from 1 to 256\nusage:"},
        {"inspect: wrong magic", write(bad, good.substr(0, good.size() - 1) + "2"), inspect, 1,
         bad.string() + ": no Vorlasta data inside"},
        {"inspect: offset 0", withTrailer(0), inspect, 1, "damaged (payload offset 0 or empty payload)"},
        {"inspect: offset -1", withTrailer(-1), inspect, 1, "damaged (payload offset outside the file)"},
        {"inspect: offset in the program", withTrailer(100), inspect, 1, "damaged (payload: not a ZIP archive"},
        {"inspect: ..", handMade({{"../x.txt", "x"}}), inspect, 1, bad.string() + ": ../: \"..\" component"},
        {"inspect: drive", handMade({{"C:/x.txt", "x"}}), inspect, 1, "C:/: absolute path"},
        {"inspect: twice", handMade({{"app/x.txt", "x"}, {"app/x.txt", "x"}}), inspect, 1, "app/x.txt: appears twice"},
        {"inspect: case", handMade({{"app/Main.py", "x"}}), inspect, 1, "app/main.py: same name as app/Main.py"},
        {"inspect: Cyrillic case", handMade({{"app/\xD0\xA4.txt", "x"}, {"app/\xD1\x84.txt", "x"}}), inspect, 1,
         "app/\xD1\x84.txt: same name as app/\xD0\xA4.txt"},  // Ф, ф
        {"inspect: device", handMade({{"app/CON", "x"}}), inspect, 1, "app/CON: \"CON\" is a reserved device name"},
        {"inspect: dot, found before a bad pythonw.exe",
         handMade({{"app/x.", "x"}, {"python/pythonw.exe", MakePe({0x8664, 2, {"x.dll"}})}}), inspect, 1,
         "app/x.: \"x.\" ends with a dot"},
        // Folders the names imply are judged too, as packing lists them.
        {"inspect: data", handMade({{"data/shop.db", "x"}}), inspect, 1, bad.string() + ": data/: the shop's data folder"},
        {"inspect: implied folders", handMade({{"App/x.txt", "x"}}), inspect, 1, "app: same name as App on Windows"},
        {"inspect: payload cut short", write(bad, good.substr(0, good.size() - 100) + end), inspect, 1,
         "damaged (payload: no ZIP end record)"},
        {"inspect: sealed, wrong password", sealedAs([](std::string&) {}), opened, 1,
         bad.string() + ": the password is not right\n", "Zoe's shop 2026\n"},
        {"inspect: sealed, a chunk changed", sealedAs([&](std::string& b) { b[chunk + 65552 + 9] ^= 1; }), opened, 1,
         "fails its check at chunk 1", kPassword},
        {"inspect: sealed, chunks swapped", sealedAs([&](std::string& b) { std::swap_ranges(&b[chunk], &b[chunk + 65552], &b[chunk + 65552]); }),
         opened, 1, "fails its check at chunk 0", kPassword},
        {"inspect: sealed, cut after a chunk", sealedAs([&](std::string& b) { b.erase(chunk + 2 * 65552, b.size() - kTrailerSize - chunk - 2 * 65552); }),
         opened, 1, "fails its check at chunk 1", kPassword},
        {"inspect: sealed, iterations over the maximum", sealedAs([&](std::string& b) { b.replace(chunk - 36, 4, "\xFF\xFF\xFF\x7F"); }),
         inspect, 1, "damaged (the sealed payload's header is not one this version reads)"},
        {"move: password of 7 characters", [] {}, sealedMove, 2, "the password has fewer than 8 characters", "Zo\xC3\xAB" "1234\n"},
        {"move: --encrypt with --program", [] {}, {"move", "--program", program_, "--encrypt", "--output", setup_}, 2,
         "--encrypt cannot go with --program\nusage:"},
    };
    // Wine shows a Windows program a Unix link to a file, or a pipe, as the
    // file behind it, and an argument that is not UTF-8 with U+FFFD in it.
    const std::set<std::string> linuxOnly = {"symbolic link", "named pipe", "argument not Unicode"};
    for (const auto& c : cases) {
        if (Windows() && linuxOnly.count(c.what) != 0) continue;
        fs::remove_all(p), fs::copy(payload_, p, fs::copy_options::recursive);
        c.prepare();
        const Result result = Run(c.args, {}, nullptr, c.input);
        unsetenv("SOURCE_DATE_EPOCH");  // a row may set it for its run
        EXPECT_EQ(std::make_tuple(result.status, result.out, Listing(out_)),
                  std::make_tuple(c.status, std::string(), std::vector<std::string>{})) << c.what;
        EXPECT_EQ(result.err.rfind("vorlasta-pack: ", 0), 0u) << c.what << ": " << result.err;
        EXPECT_NE(result.err.find(c.reason), std::string::npos) << c.what << ": " << result.err;
        const long lines = c.reason.find("\nusage:") != std::string::npos ? 2 : 1;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), lines) << c.what << ": " << result.err;
    }
    EXPECT_TRUE(ReadFile(program_) == programBytes_) << "an input was overwritten";
}

// For a main.py that sets its own path: packs, and inspects, what the checks
// would refuse, saying so on one line.
TEST_P(PackTest, SkipInterpreterChecksWarnsOnce) {
    WriteFile(payload_ / "python/python312._pth", ".\n");
    const std::string warning = "vorlasta-pack: "s + kSkipInterpreterChecksWarning + "\n";
    Result result = Run({"--skip-interpreter-checks", "--program", program_, "--payload", payload_, "--output", setup_});
    EXPECT_EQ(std::make_pair(result.status, result.err), std::make_pair(0, warning));
    result = Run({"inspect", "--skip-interpreter-checks", setup_});
    EXPECT_EQ(std::make_pair(result.status, result.err), std::make_pair(0, warning));
    EXPECT_NE(result.out.find("    python/\n"), std::string::npos) << result.out;
}

// A move sealed by one build opens in the other; without the password only its header is judged.
TEST_P(PackTest, SealedMoveOpensInTheOtherBuild) {
    const char* other = Windows() ? VORLASTA_PACK : VORLASTA_PACK_EXE;
    const Result packed = SealedMove(setup_, GetParam());
    ASSERT_EQ(packed.status, 0) << packed.err;
    EXPECT_EQ(ReadFile(setup_).find("python312"), std::string::npos) << "a name in plain text";
    Result result = Run({"inspect", setup_}, {}, other);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find(" bytes, encrypted\n"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("PBKDF2-HMAC-SHA256 with 600000 iterations\n  top level: unknown"), std::string::npos) << result.out;
    result = Run({"inspect", "--password-stdin", setup_}, {}, other, kPassword + "\n");
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("  top level:\n    Vorlasta.exe\n    app/\n    data/\n    python/\n"), std::string::npos) << result.out;
}

TEST_P(PackTest, InspectSeesATrailerBeforeACertificateTable) {
    // A PE32+ header (optional header at 0x58, 16 data directories); entry 4 names the certificate table.
    programBytes_.assign(512, '\0');
    programBytes_.replace(0, 2, "MZ").replace(0x40, 4, std::string("PE\0\0", 4)).replace(0x58, 2, "\x0B\x02");
    programBytes_[0x3C] = 0x40, programBytes_[0x54] = static_cast<char>(240), programBytes_[0x58 + 108] = 16;
    WriteFile(program_, programBytes_);
    ASSERT_EQ(Pack(payload_, setup_).status, 0);
    // What signing does: pad to 8 bytes, append the table, point entry 4 at it.
    std::string file = ReadFile(setup_);
    file.append((8 - file.size() % 8) % 8, '\0');
    const uint32_t tableStart = static_cast<uint32_t>(file.size()), tableSize = 24;
    file.append(tableSize, '\x5A');
    memcpy(&file[0x58 + 144], &tableStart, 4), memcpy(&file[0x58 + 148], &tableSize, 4);  // little-endian host
    WriteFile(setup_, file);
    const Result result = Run({"inspect", setup_});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("  signed:         yes"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("    python/\n"), std::string::npos) << result.out;
}

TEST_P(PackTest, InspectShowsTheProgramsVersion) {
    // A PE32+ image whose one section holds a resource tree: type 16, name 1,
    // language 1033, then the version block with its fixed part at +40.
    const auto put = [this](size_t at, uint32_t value, size_t size = 4) { memcpy(&programBytes_[at], &value, size); };
    const struct {
        const char* what;
        uint32_t signature, productLs;
        std::string shown;
    } cases[] = {
        {"three parts", 0xFEEF04BD, 0x00030000, "1.2.3"},
        {"a fourth part", 0xFEEF04BD, 0x00030004, "1.2.3.4"},
        {"no version signature", 0xFEEF04BE, 0x00030000, "none"},
    };
    for (const auto& c : cases) {
        programBytes_.assign(0x300, '\0');
        programBytes_.replace(0, 2, "MZ").replace(0x40, 4, std::string("PE\0\0", 4));
        put(0x3C, 0x40), put(0x46, 1, 2), put(0x54, 240, 2), put(0x58, 0x20B, 2), put(0x58 + 108, 16);
        put(0x58 + 128, 0x1000), put(0x148 + 8, 0x100), put(0x148 + 12, 0x1000), put(0x148 + 16, 0x100),
            put(0x148 + 20, 0x200);
        put(0x20E, 1, 2), put(0x210, 16), put(0x214, 0x80000018), put(0x226, 1, 2), put(0x228, 1),
            put(0x22C, 0x80000030), put(0x23E, 1, 2), put(0x240, 1033), put(0x244, 0x48), put(0x248, 0x1058),
            put(0x24C, 92);
        put(0x280, c.signature), put(0x288, 0x00090009), put(0x28C, 0x00090009);  // file version 9.9.9.9
        put(0x290, 0x00010002), put(0x294, c.productLs);
        WriteFile(program_, programBytes_);
        ASSERT_EQ(Pack(payload_, setup_).status, 0) << c.what;
        const Result result = Run({"inspect", setup_});
        EXPECT_NE(result.out.find("\n  version:        " + c.shown + "\n"), std::string::npos) << c.what << result.out;
    }
}

TEST_P(PackTest, InterruptedRunLeavesNoFile) {
    // Enough incompressible data that deflating it takes a noticeable time.
    std::vector<uint64_t> noise(6 << 20);
    std::mt19937_64 random(1);
    std::generate(noise.begin(), noise.end(), std::ref(random));
    WriteFile(payload_ / "app/noise.bin", std::string(reinterpret_cast<const char*>(noise.data()), noise.size() * 8));
    const auto startWriting = [&] {  // once the temporary file is there
        const pid_t pid = Start(Args(program_, payload_, setup_));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (Listing(out_).empty() && std::chrono::steady_clock::now() < deadline) usleep(1000);
        EXPECT_EQ(Listing(out_).size(), 1u) << "the temporary file never appeared";
        EXPECT_TRUE(Listing(out_) != std::vector<std::string>{"Vorlasta-Setup.exe"}) << "finished before it could be interrupted";
        return pid;
    };
    const pid_t pid = startWriting();
    // Ctrl+C: Wine hands the signal to the Windows build as a console Ctrl+C.
    kill(pid, SIGINT);
    const int status = Wait(pid).status;
    if (!Windows()) EXPECT_EQ(status, 128 + SIGINT);
    EXPECT_NE(status, 0);
    EXPECT_EQ(Listing(out_), std::vector<std::string>{});
    if (Windows()) return;
    // A hang-up the caller ignores (nohup) stays ignored: the run completes.
    signal(SIGHUP, SIG_IGN);
    const pid_t ignoring = startWriting();
    signal(SIGHUP, SIG_DFL);
    kill(ignoring, SIGHUP);
    EXPECT_EQ(Wait(ignoring).status, 0);
    EXPECT_EQ(Listing(out_), std::vector<std::string>{"Vorlasta-Setup.exe"});
}

INSTANTIATE_TEST_SUITE_P(Builds, PackTest, ::testing::Values(VORLASTA_PACK, VORLASTA_PACK_EXE),
                         [](const auto& info) { return std::string(info.index == 0 ? "Linux" : "Windows"); });

}  // namespace
