#include "move.h"

#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "builtin_programs.h"
#include "failure.h"
#include "interpreter_check.h"
#include "payload_check.h"
#include "payload_source.h"
#include "platform.h"
#include "sealed_container.h"
#include "setup_file.h"
#include "zip_directory.h"
#include "zip_writer.h"

namespace fs = std::filesystem;

namespace {

// Where a move onto this PC set the data it found aside: safety copies that stay here.
constexpr char kSafetyCopyPrefix[] = "data-before-move-";

std::string Shown(const fs::path& path) {
    return Printable(path.u8string());
}

// A name below the installation, with this system's separator.
std::string Inside(const char* folder, const char* name) {
    return Shown(fs::u8path(folder) / fs::u8path(name));
}

// The database, held so that no one writes it until the data is packed.
class DatabaseHold {
public:
    explicit DatabaseHold(const fs::path& installation) {
        const std::string where = Shown(installation) + ": ";
        switch (platform::HoldAgainstWriters((installation / "data" / "shop.db").u8string(), fd_)) {
            case platform::HoldResult::Held: return;
            case platform::HoldResult::Missing:
                Refuse(where + "there is no " + Inside("data", "shop.db") + ", so there is nothing to move");
            case platform::HoldResult::InUse:
                Refuse(where + "Vorlasta is running from this folder (" + Inside("data", "shop.db") +
                       " is in use); close Vorlasta and try again");
            case platform::HoldResult::Failed:
                Refuse(where + "cannot open " + Inside("data", "shop.db") + ": " + platform::LastErrorText());
        }
    }
    DatabaseHold(const DatabaseHold&) = delete;
    DatabaseHold& operator=(const DatabaseHold&) = delete;
    ~DatabaseHold() { platform::Close(fd_); }

private:
    int fd_ = -1;
};

// Refuses while Vorlasta could still change the data, or has left it half written.
void RefuseUnlessClosed(const fs::path& installation) {
    const std::string where = Shown(installation) + ": ";
    const std::string program = platform::ProgramRunningFrom(installation.u8string());
    if (!program.empty()) {
        Refuse(where + "Vorlasta is running from this folder (" + Printable(program) +
               "); close Vorlasta and try again");
    }
    for (const char* name : {"shop.db-journal", "shop.db-wal"}) {
        std::error_code error;
        const uintmax_t size = fs::file_size(installation / "data" / name, error);
        if (!error && size > 0) {
            Refuse(where + "the shop's database was not closed cleanly (" + Inside("data", name) +
                   " is not empty); start Vorlasta once, close it, and try again");
        }
    }
}

bool IsSafetyCopy(const PayloadEntry& entry) {
    const bool inFolder = entry.path.find('/') != std::string::npos || entry.kind == EntryKind::Directory;
    return inFolder && entry.path.compare(0, sizeof kSafetyCopyPrefix - 1, kSafetyCopyPrefix) == 0;
}

// Bytes packed so far: one line updated in place on a console, or
// "progress DONE TOTAL" lines for a program that shows its own bar.
class Progress {
public:
    Progress(uint64_t total, bool lines) : total_(total), lines_(lines), console_(!lines && platform::StdoutIsConsole()) {
        Show();
    }
    void Add(size_t length) {
        done_ += length;
        const uint64_t step = total_ == 0 ? kSteps : done_ * kSteps / total_;
        if (step != step_) {
            step_ = step;
            Show();
        }
    }
    // Ends the console line, before the summary or an error.
    ~Progress() { End(); }
    void End() {
        if (console_) std::cout << "\n";
        console_ = false;
    }

private:
    static constexpr uint64_t kSteps = 200;  // updates, however much data there is

    void Show() {
        if (lines_) std::cout << "progress " << done_ << " " << total_ << std::endl;
        // No one reads the progress any more: the caller has given up on the move.
        if (!std::cout) throw Failure(kExitFailed, "cannot write the progress: standard output is closed");
        if (console_) {
            std::cout << "\rpacked " << done_ << " of " << total_ << " bytes (" << (step_ * 100 / kSteps) << "%)"
                      << std::flush;
        }
    }

    uint64_t total_, done_ = 0, step_ = 0;
    bool lines_, console_;
};

// The file as it is on the device must hold what was packed: the trailer,
// every name, size and CRC-32 in the central directory, and every entry's
// data, decompressed and held against its CRC.
void CheckWritten(int fd, const SetupFileInfo& info, const std::vector<PayloadEntry>& entries,
                  const std::vector<uint32_t>& crcs, const std::string& shown, const std::string& password) {
    FdByteSource source(fd);
    TrailerInfo trailer;
    std::string fault;
    if (LocateTrailer(source, static_cast<int64_t>(info.fileSize), trailer) != TrailerResult::Valid ||
        trailer.payloadOffset != static_cast<int64_t>(info.payloadOffset) || trailer.mode != kModeMove) {
        fault = "the trailer";
    }
    const uint64_t stored = info.payloadSize;
    RawReadFn payload = [&](int64_t at, void* buffer, size_t length) {
        if (at < 0 || static_cast<uint64_t>(at) > stored) return int64_t{-1};
        length = std::min<uint64_t>(length, stored - static_cast<uint64_t>(at));
        return platform::ReadAt(fd, static_cast<int64_t>(info.payloadOffset) + at, buffer, length);
    };
    uint64_t size = stored;
    std::unique_ptr<SealedReader> sealed;
    try {
        // Sealed, it is opened again, as the new PC will open it.
        if (!password.empty()) {
            sealed = std::make_unique<SealedReader>(payload, static_cast<int64_t>(stored), password);
            size = static_cast<uint64_t>(sealed->plainSize());
            payload = [&](int64_t at, void* buffer, size_t length) { return sealed->ReadAt(at, buffer, length); };
        }
        const std::vector<ZipRecord> records = ReadZipDirectory(ArchiveIn(payload, size), size, shown);
        if (fault.empty() && records.size() != entries.size()) fault = "the number of entries";
        for (size_t i = 0; fault.empty() && i < records.size(); ++i) {
            if (records[i].name != ZipName(entries[i]) || records[i].size != entries[i].size ||
                records[i].crc != crcs[i]) {
                fault = Printable(entries[i].path);
            }
        }
        if (fault.empty()) {
            ListZipReader(payload, static_cast<int64_t>(size));
        }
    } catch (const Failure& failure) {
        fault = failure.what();
    }
    if (!fault.empty()) {
        throw Failure(kExitFailed, shown + " did not read back as it was written (" + fault +
                                       "); nothing was kept: try again, or another drive");
    }
}

}  // namespace

void PackMove(const MoveOptions& options, bool checkInterpreter) {
    const std::string named = options.from.empty() ? platform::DefaultInstallation() : options.from;
    if (named.empty()) throw UsageError("name the installation to move with --from FOLDER");
    fs::path installation = fs::absolute(fs::u8path(named)).lexically_normal();
    if (!installation.has_filename()) installation = installation.parent_path();
    const std::vector<uint8_t> program =
        options.program.empty() ? BuiltInSetupProgram() : ReadProgramImage(options.program);
    CheckOutputPath(options.output, {options.program, installation.u8string()});
    // Written into the installation, it would replace the shop's files, and ride along in the next move.
    if (platform::LiesInFolder(options.output, installation.u8string())) {
        Refuse(Shown(installation) + ": the output " + Printable(options.output) +
               " lies inside this folder; write the move file elsewhere, on a USB stick");
    }
    std::string password = options.encrypt ? ReadPassword(options.passwordStdin, true) : "";
    struct WipeOnExit { std::string& secret; ~WipeOnExit() { Wipe(secret); } } wipe{password};

    const DatabaseHold hold(installation);
    RefuseUnlessClosed(installation);
    EntryContents contents;
    std::vector<PayloadEntry> entries = ListFolder(installation.u8string(), "installation", &contents);
    entries.erase(std::remove_if(entries.begin(), entries.end(), IsSafetyCopy), entries.end());
    const std::string fault = JudgePayload(entries, PackMode::Move, checkInterpreter ? &contents : nullptr);
    if (!fault.empty()) Refuse(fault);

    uint64_t files = 0, dataBytes = 0, total = 0;
    for (const PayloadEntry& entry : entries) {
        if (entry.kind != EntryKind::File) continue;
        ++files;
        total += entry.size;
        if (entry.path.compare(0, 5, "data/") == 0) dataBytes += entry.size;
    }
    // What was read for each entry, by its place in `entries`, to hold the written file against.
    std::vector<uint32_t> crcs(entries.size(), 0);
    Progress progress(total, options.progressLines);
    PayloadData data;
    data.folder = installation.u8string();
    data.onData = [&](const PayloadEntry& entry, const uint8_t* bytes, size_t length) {
        uint32_t& crc = crcs[static_cast<size_t>(&entry - entries.data())];
        crc = static_cast<uint32_t>(crc32(crc, bytes, static_cast<uInt>(length)));
        progress.Add(length);
    };
    const std::string shown = Printable(options.output);
    const SetupFileInfo info = WriteSetupFile(
        options.output, program, kModeMove,
        [&](ByteSink& sink) {
            if (password.empty()) return WritePayloadZip(data, entries, sink);
            // Sealed as it streams: no byte of the ZIP reaches the output's device in plain text.
            SealingSink sealing(sink, password);
            WritePayloadZip(data, entries, sealing);
            sealing.Finish();
        },
        [&](int fd, const SetupFileInfo& written) {
            progress.End();
            CheckWritten(fd, written, entries, crcs, shown, password);
        });
    std::cout << "wrote " << shown << ": " << info.fileSize << " bytes, " << files << " files from "
              << Shown(installation) << " with " << dataBytes << " bytes of data, mode " << info.mode << " (Move)\n";
}
