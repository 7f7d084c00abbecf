// Measures the real programs under Wine for tools/bench.sh, which adds the
// native figures (sizes, cp) and prints the table. Every figure goes to a
// results file as `name=value value ...`, one value per run, in run order.
//
//   vorlasta-bench make     <work folder>
//       setup files with random 1 KiB, 1 MiB and 256 MiB payloads
//   vorlasta-bench setup    <work folder> <runs> <results file>
//   vorlasta-bench launcher <work folder> <runs> <results file>
//
// Setup runs, each timed from just before CreateProcess:
//   archive  the archive appears in the TEMP folder (a change notification on
//            that folder wakes us; a 5 ms poll backs it up)
//   full     the archive has reached the payload's size (polled every ~1 ms)
//   closed   the setup program has closed the archive: it opened it without
//            sharing, so until then our own open fails (polled every ~1 ms)
//   box      the question box is visible (polled every ~1 ms), then Cancel.
// closed - archive is the copy itself, seen from outside; box(256 MiB) -
// box(1 KiB) is the same copy measured the coarser way, start-up subtracted.
// full and closed are both kept because the close is not free here: Wine
// makes a CREATE_ALWAYS file with ftruncate(0), after which ext4 starts
// writing the data back on the last close.
// While the box is up: GetProcessMemoryInfo on a handle opened with
// PROCESS_QUERY_INFORMATION|PROCESS_VM_READ, and the Linux process's
// /proc/<pid>/status read through Wine's Z: drive, to check Wine's figures.
//
// Launcher runs: from just before CreateProcess to the stand-in's
// `phase=start` record in its log (polled every ~1 ms), once through
// Vorlasta.exe and once starting the stand-in directly.
#include <windows.h>
#include <psapi.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "setup/trailer.h"
#include "tests/support/e2e.h"

namespace {

constexpr long long kKiB = 1024, kMiB = 1024 * kKiB;

struct Payload {
    const wchar_t* tag;  // also part of the file name, so /proc can tell the runs apart
    long long size;
};
const Payload kPayloads[] = {{L"1k", kKiB}, {L"1m", kMiB}, {L"256m", 256 * kMiB}};

// ---- Files ----------------------------------------------------------------------

using e2e::Exists;
using e2e::Join;
using e2e::ListNames;
using e2e::MakeDirs;
using e2e::Quote;
using e2e::ReadBytes;
using e2e::RemoveTree;
using e2e::ToUtf8;
using e2e::WriteBytes;

bool WriteAll(HANDLE file, const void* data, size_t size) {
    DWORD written = 0;
    return WriteFile(file, data, static_cast<DWORD>(size), &written, nullptr) && written == size;
}

long long FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

double NowMs() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

std::wstring SetupPath(const std::wstring& work, const Payload& payload) {
    return Join(work, std::wstring(L"bench-setup-") + payload.tag + L".exe");
}

// ---- Making the setup files ---------------------------------------------------

// Incompressible bytes, quickly: the copy must not profit from any pattern.
struct SplitMix64 {
    uint64_t state;
    uint64_t Next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
};

bool MakeSetupFile(const std::wstring& path, long long payloadSize, SplitMix64& random) {
    const std::string image = ReadBytes(Join(e2e::TestBinDir(), L"Vorlasta-Setup.exe"));
    if (image.empty()) return false;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool ok = WriteAll(file, image.data(), image.size());
    std::vector<uint64_t> chunk(static_cast<size_t>(kMiB / 8));
    for (long long left = payloadSize; ok && left > 0;) {
        for (uint64_t& word : chunk) word = random.Next();
        const size_t n = static_cast<size_t>(std::min<long long>(left, kMiB));
        ok = WriteAll(file, chunk.data(), n);
        left -= static_cast<long long>(n);
    }
    uint8_t trailer[kTrailerSize];
    EncodeTrailer(static_cast<int64_t>(image.size()), 1, trailer);  // 1: install
    ok = ok && WriteAll(file, trailer, sizeof trailer);
    CloseHandle(file);
    return ok;
}

int Make(const std::wstring& work) {
    MakeDirs(work);
    LARGE_INTEGER seed;
    QueryPerformanceCounter(&seed);
    SplitMix64 random{static_cast<uint64_t>(seed.QuadPart)};
    for (const Payload& payload : kPayloads) {
        if (!MakeSetupFile(SetupPath(work, payload), payload.size, random)) {
            fprintf(stderr, "cannot write %s\n", ToUtf8(SetupPath(work, payload)).c_str());
            return 1;
        }
    }
    return 0;
}

// ---- Child processes ----------------------------------------------------------

// Built once per series, so making it is not part of any timed start.
std::wstring EnvironmentWith(const std::vector<std::pair<std::wstring, std::wstring>>& changes) {
    std::vector<e2e::EnvChange> all;
    for (const auto& [name, value] : changes) all.push_back({name, value});
    return e2e::BuildEnvironmentBlock(all);
}

class Child {
public:
    ~Child() {
        if (!process_) return;
        if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
            TerminateProcess(process_, 9);
            WaitForSingleObject(process_, 10000);
        }
        CloseHandle(process_);
    }
    // startMs: taken just before CreateProcessW.
    bool Start(const std::wstring& commandLine, std::wstring& environment, const std::wstring& cwd) {
        std::vector<wchar_t> command(commandLine.begin(), commandLine.end());
        command.push_back(L'\0');
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        startMs = NowMs();
        if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                            environment.data(), cwd.c_str(), &startup, &info)) {
            return false;
        }
        CloseHandle(info.hThread);
        process_ = info.hProcess;
        pid = info.dwProcessId;
        return true;
    }
    bool Running() const { return process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }
    bool WaitExit(DWORD ms) const { return process_ && WaitForSingleObject(process_, ms) == WAIT_OBJECT_0; }
    DWORD ExitCode() const {
        DWORD code = 0xDEADBEEF;
        GetExitCodeProcess(process_, &code);
        return code;
    }
    HANDLE Handle() const { return process_; }

    double startMs = 0;
    DWORD pid = 0;

private:
    HANDLE process_ = nullptr;
};

// ---- The setup program ----------------------------------------------------------

std::wstring FindArchive(const std::wstring& folder) {
    const std::vector<std::wstring> names = ListNames(folder, L"vorlasta-*.zip");
    return names.empty() ? std::wstring() : Join(folder, names.front());
}

// The Linux process whose command line names the file; "" unless exactly one.
std::wstring UnixProcessDirNaming(const std::wstring& fileName) {
    std::string needle = ToUtf8(fileName);
    std::transform(needle.begin(), needle.end(), needle.begin(), ::tolower);
    std::wstring match;
    int matches = 0;
    for (const std::wstring& name : ListNames(L"Z:\\proc")) {
        if (name.find_first_not_of(L"0123456789") != std::wstring::npos) continue;
        std::string line = ReadBytes(L"Z:\\proc\\" + name + L"\\cmdline");
        std::transform(line.begin(), line.end(), line.begin(), ::tolower);
        if (line.find(needle) != std::string::npos) {
            match = L"Z:\\proc\\" + name;
            ++matches;
        }
    }
    return matches == 1 ? match : std::wstring();
}

// A `Key:   1234 kB` line of /proc/<pid>/status, in bytes; -1 when absent.
long long StatusField(const std::string& status, const char* key) {
    const std::string prefix = std::string("\n") + key + ":";
    const size_t at = ("\n" + status).find(prefix);
    if (at == std::string::npos) return -1;
    return atoll(status.c_str() + at + prefix.size() - 1) * 1024;
}

struct Memory {
    // GetProcessMemoryInfo
    long long peakWorkingSet = -1, workingSet = -1, privateBytes = -1, peakPagefile = -1;
    // Linux /proc/<pid>/status
    long long vmHwm = -1, vmRss = -1, rssAnon = -1;
};

Memory ReadMemory(DWORD pid, const std::wstring& setupFileName) {
    Memory memory;
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (process) {
        PROCESS_MEMORY_COUNTERS_EX counters{};
        counters.cb = sizeof counters;
        if (GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters)) {
            memory.peakWorkingSet = static_cast<long long>(counters.PeakWorkingSetSize);
            memory.workingSet = static_cast<long long>(counters.WorkingSetSize);
            memory.privateBytes = static_cast<long long>(counters.PrivateUsage);
            memory.peakPagefile = static_cast<long long>(counters.PeakPagefileUsage);
        }
        CloseHandle(process);
    }
    const std::wstring dir = UnixProcessDirNaming(setupFileName);
    if (!dir.empty()) {
        const std::string status = ReadBytes(dir + L"\\status");
        memory.vmHwm = StatusField(status, "VmHWM");
        memory.vmRss = StatusField(status, "VmRSS");
        memory.rssAnon = StatusField(status, "RssAnon");
    }
    return memory;
}

struct SetupRun {
    bool ok = false;
    std::string error;
    double archiveMs = -1, fullMs = -1, closedMs = -1, boxMs = -1;
    Memory memory;
};

SetupRun RunSetupOnce(const std::wstring& setupPath, long long payloadSize, const std::wstring& temp,
                      std::wstring& environment, const std::wstring& cwd) {
    SetupRun run;
    RemoveTree(temp);
    MakeDirs(temp);
    HANDLE change = FindFirstChangeNotificationW(temp.c_str(), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME);
    Child setup;
    if (!setup.Start(Quote(setupPath), environment, cwd)) {
        if (change != INVALID_HANDLE_VALUE) FindCloseChangeNotification(change);
        run.error = "cannot start the setup program";
        return run;
    }
    const double deadline = setup.startMs + 120000;

    std::wstring archive;
    while (archive.empty()) {
        if (change != INVALID_HANDLE_VALUE) {
            const HANDLE waits[] = {change, setup.Handle()};
            WaitForMultipleObjects(2, waits, FALSE, 5);
        } else {
            Sleep(5);
        }
        archive = FindArchive(temp);
        if (!archive.empty()) {
            run.archiveMs = NowMs() - setup.startMs;
        } else {
            if (change != INVALID_HANDLE_VALUE) FindNextChangeNotification(change);
            if (!setup.Running() || NowMs() > deadline) break;
        }
    }
    if (change != INVALID_HANDLE_VALUE) FindCloseChangeNotification(change);
    if (archive.empty()) {
        run.error = "no archive appeared in the TEMP folder";
        return run;
    }

    for (;;) {
        const long long size = FileSize(archive);
        if (size >= payloadSize) {
            run.fullMs = NowMs() - setup.startMs;
            break;
        }
        if (!setup.Running() || NowMs() > deadline) {
            run.error = "the archive never reached the payload's size";
            return run;
        }
        Sleep(1);
    }

    // The setup program opened the archive without sharing: ours opens only
    // once it has closed it, as cp's time includes its close too.
    for (;;) {
        HANDLE probe = CreateFileW(archive.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, 0, nullptr);
        if (probe != INVALID_HANDLE_VALUE) {
            CloseHandle(probe);
            run.closedMs = NowMs() - setup.startMs;
            break;
        }
        if (GetLastError() != ERROR_SHARING_VIOLATION || !setup.Running() || NowMs() > deadline) {
            run.error = "the archive was not closed";
            return run;
        }
        Sleep(1);
    }

    HWND box = nullptr;
    for (;;) {
        box = e2e::FindTopWindow(setup.pid, L"#32770");
        if (box) {
            run.boxMs = NowMs() - setup.startMs;
            break;
        }
        if (!setup.Running() || NowMs() > deadline) {
            run.error = "no question box";
            return run;
        }
        Sleep(1);
    }
    const size_t slash = setupPath.find_last_of(L'\\');
    run.memory = ReadMemory(setup.pid, setupPath.substr(slash + 1));
    if (FileSize(archive) != payloadSize) {
        run.error = "the archive does not have the payload's size";
        return run;
    }

    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(box, IDCANCEL)));
    if (!setup.WaitExit(30000)) {
        run.error = "the setup program did not end after Cancel";
        return run;
    }
    if (setup.ExitCode() != 0) {
        run.error = "the setup program ended with " + std::to_string(setup.ExitCode()) + " after Cancel";
        return run;
    }
    if (Exists(archive)) {
        run.error = "the archive is still there after Cancel";
        return run;
    }
    run.ok = true;
    return run;
}

// ---- Results ------------------------------------------------------------------

class Results {
public:
    explicit Results(const std::wstring& path) : path_(path) {}
    void Add(const std::string& name, double value) { series_[name].push_back(value); }
    bool Save() const {
        std::string text;
        char number[64];
        for (const auto& [name, values] : series_) {
            text += name + "=";
            for (size_t i = 0; i < values.size(); ++i) {
                snprintf(number, sizeof number, i ? " %.3f" : "%.3f", values[i]);
                text += number;
            }
            text += "\n";
        }
        std::string existing = ReadBytes(path_);
        return WriteBytes(path_, existing + text);
    }

private:
    std::wstring path_;
    std::map<std::string, std::vector<double>> series_;
};

int Setup(const std::wstring& work, int runs, const std::wstring& resultsPath) {
    const std::wstring temp = Join(work, L"tmp");
    std::wstring environment = EnvironmentWith({{L"TMP", temp}, {L"TEMP", temp}});
    Results results(resultsPath);
    // Round 0 warms the caches and Wine's loader and is not kept; the sizes
    // take turns so that any drift spreads over all of them.
    for (int round = 0; round <= runs; ++round) {
        for (const Payload& payload : kPayloads) {
            const SetupRun run = RunSetupOnce(SetupPath(work, payload), payload.size, temp, environment, work);
            if (!run.ok) {
                fprintf(stderr, "setup run with the %s payload: %s\n", ToUtf8(payload.tag).c_str(),
                        run.error.c_str());
                return 1;
            }
            if (round == 0) continue;
            const std::string key = "setup_" + ToUtf8(payload.tag) + "_";
            results.Add(key + "archive_ms", run.archiveMs);
            results.Add(key + "full_ms", run.fullMs);
            results.Add(key + "closed_ms", run.closedMs);
            results.Add(key + "write_ms", run.fullMs - run.archiveMs);
            results.Add(key + "copy_ms", run.closedMs - run.archiveMs);
            results.Add(key + "box_ms", run.boxMs);
            const Memory& m = run.memory;
            const std::pair<const char*, long long> figures[] = {
                {"peak_ws", m.peakWorkingSet}, {"ws", m.workingSet},   {"private", m.privateBytes},
                {"peak_pagefile", m.peakPagefile}, {"vmhwm", m.vmHwm}, {"vmrss", m.vmRss},
                {"rssanon", m.rssAnon}};
            for (const auto& [name, value] : figures) results.Add(key + name, static_cast<double>(value));
        }
        printf(round == 0 ? "  setup: warm-up round done\n" : "  setup: round %d of %d done\n", round, runs);
        fflush(stdout);
    }
    RemoveTree(temp);
    return results.Save() ? 0 : 1;
}

// ---- The launcher ---------------------------------------------------------------

// Milliseconds from the start to the stand-in's `phase=start` record; -1 when
// it never came.
double TimeToInterpreterStart(const std::wstring& commandLine, std::wstring& environment, const std::wstring& cwd,
                              const std::wstring& log) {
    DeleteFileW(log.c_str());
    Child child;
    if (!child.Start(commandLine, environment, cwd)) return -1;
    double seen = -1;
    const double deadline = child.startMs + 30000;
    while (NowMs() < deadline) {
        if (FileSize(log) > 0 && ReadBytes(log).find("phase=start") != std::string::npos) {
            seen = NowMs() - child.startMs;
            break;
        }
        Sleep(1);
    }
    // The stand-in runs "exit 0"; the launcher ends as soon as it sees that.
    if (!child.WaitExit(30000) || child.ExitCode() != 0) return -1;
    return seen;
}

int Launcher(const std::wstring& work, int runs, const std::wstring& resultsPath) {
    const std::wstring dir = Join(work, L"launcher");
    const std::wstring log = Join(work, L"standins.log");
    RemoveTree(dir);
    MakeDirs(Join(dir, L"python"));
    MakeDirs(Join(dir, L"app"));
    const std::string launcherImage = ReadBytes(Join(e2e::TestBinDir(), L"Vorlasta.exe"));
    const std::string standinImage = ReadBytes(Join(e2e::TestBinDir(), L"stand-ins\\pythonw.exe"));
    if (launcherImage.empty() || standinImage.empty() || !WriteBytes(Join(dir, L"Vorlasta.exe"), launcherImage) ||
        !WriteBytes(Join(dir, L"python\\pythonw.exe"), standinImage) ||
        !WriteBytes(Join(dir, L"app\\main.py"), "exit 0\n")) {
        fprintf(stderr, "cannot lay out the launcher's folder\n");
        return 1;
    }
    std::wstring environment = EnvironmentWith({{L"VORLASTA_STANDIN_LOG", log}});
    // As the launcher starts it, so that only the launcher's own work differs.
    const std::wstring direct = Quote(Join(dir, L"python\\pythonw.exe")) + L" " + Quote(Join(dir, L"app\\main.py"));
    const std::wstring viaLauncher = Quote(Join(dir, L"Vorlasta.exe"));
    Results results(resultsPath);
    for (int round = 0; round <= runs; ++round) {  // round 0: warm-up, not kept
        const double launched = TimeToInterpreterStart(viaLauncher, environment, dir, log);
        const double started = TimeToInterpreterStart(direct, environment, dir, log);
        if (launched < 0 || started < 0) {
            fprintf(stderr, "the stand-in did not start and end as expected\n");
            return 1;
        }
        if (round == 0) continue;
        results.Add("launcher_to_interpreter_ms", launched);
        results.Add("interpreter_direct_ms", started);
    }
    printf("  launcher: %d rounds done\n", runs);
    RemoveTree(dir);
    DeleteFileW(log.c_str());
    return results.Save() ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"make" && argc == 3) return Make(argv[2]);
    if (command == L"setup" && argc == 5) return Setup(argv[2], _wtoi(argv[3]), argv[4]);
    if (command == L"launcher" && argc == 5) return Launcher(argv[2], _wtoi(argv[3]), argv[4]);
    fprintf(stderr,
            "usage: vorlasta-bench make <work folder>\n"
            "       vorlasta-bench setup|launcher <work folder> <runs> <results file>\n");
    return 2;
}
