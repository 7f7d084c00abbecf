#include "move.h"

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
#include "shop_database.h"
#include "utf8_text.h"
#include "zip_writer.h"

namespace fs = std::filesystem;

namespace {

std::string Shown(const fs::path& path) {
    return Printable(path.u8string());
}

// Refuses while Vorlasta runs from the folder: it could change the data files
// beside the database, which are read as they are.
void RefuseWhileRunning(const fs::path& installation) {
    const std::string program = platform::ProgramRunningFrom(installation.u8string());
    if (!program.empty()) {
        Refuse(Shown(installation) + ": Vorlasta is running from this folder (" + Printable(program) +
               "); close Vorlasta and try again");
    }
}

// What stays on the old PC: safety copies of earlier moves, the program
// folders a failed update may leave, and SQLite's files beside the database,
// which the database's copy has taken in.
bool LeftOut(const PayloadEntry& entry) {
    // Any case, as Windows names them and as the data check reads them.
    const std::string path = AsciiFolded(entry.path);
    const bool inFolder = path.find('/') != std::string::npos || entry.kind == EntryKind::Directory;
    for (const std::string_view prefix : {"data-before-move-", "program-before-"}) {
        if (inFolder && path.compare(0, prefix.size(), prefix) == 0) return true;
    }
    return path == "data/shop.db-wal" || path == "data/shop.db-shm" || path == "data/shop.db-journal";
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

// A sealed move is opened once more before the rename, as the new PC will
// open it: the names and sizes held against what was packed, and every
// entry's data decompressed and held against the CRC it was packed with.
void CheckSealed(int fd, const SetupFileInfo& info, const std::vector<PayloadEntry>& entries, const std::string& shown,
                 const std::string& password) {
    const uint64_t stored = info.payloadSize;
    const RawReadFn payload = [&](int64_t at, void* buffer, size_t length) {
        if (at < 0 || static_cast<uint64_t>(at) > stored) return int64_t{-1};
        length = std::min<uint64_t>(length, stored - static_cast<uint64_t>(at));
        return platform::ReadAt(fd, static_cast<int64_t>(info.payloadOffset) + at, buffer, length);
    };
    std::string fault;
    try {
        SealedReader sealed(payload, static_cast<int64_t>(stored), password);
        const RawReadFn plain = [&](int64_t at, void* buffer, size_t length) { return sealed.ReadAt(at, buffer, length); };
        const uint64_t size = static_cast<uint64_t>(sealed.plainSize());
        const std::vector<ZipRecord> records = ReadZipDirectory(ArchiveIn(plain, size), size, shown);
        if (records.size() != entries.size()) fault = "the number of entries";
        for (size_t i = 0; fault.empty() && i < records.size(); ++i) {
            if (records[i].name != ZipName(entries[i]) || records[i].size != entries[i].size) fault = Printable(entries[i].path);
        }
        if (fault.empty()) ListZipReader(plain, static_cast<int64_t>(size));
    } catch (const Failure& failure) {
        fault = failure.what();
    }
    if (!fault.empty()) {
        throw Failure(kExitFailed, shown + " did not read back as it was written (" + fault +
                                       "); nothing was kept: try again, or another drive");
    }
}

void Move(const MoveOptions& options, bool checkInterpreter) {
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

    RefuseWhileRunning(installation);
    const std::string where = Shown(installation) + ": ";
    const ShopDatabaseCopy database(installation.u8string(), where);
    EntryContents contents;
    std::vector<PayloadEntry> entries = ListFolder(installation.u8string(), "installation", &contents);
    entries.erase(std::remove_if(entries.begin(), entries.end(), LeftOut), entries.end());
    const std::string fault = JudgePayload(entries, PackMode::Move, checkInterpreter ? &contents : nullptr);
    if (!fault.empty()) Refuse(fault);

    uint64_t files = 0, dataBytes = 0, total = 0;
    for (PayloadEntry& entry : entries) {
        if (entry.kind != EntryKind::File) continue;
        if (AsciiFolded(entry.path) == "data/shop.db") {
            entry.source = database.path();
            std::error_code error;
            entry.size = fs::file_size(fs::u8path(entry.source), error);
            if (error) throw Failure(kExitFailed, "cannot read the copy of the database: " + error.message());
        }
        ++files;
        total += entry.size;
        if (entry.path.compare(0, 5, "data/") == 0) dataBytes += entry.size;
    }
    Progress progress(total, options.progressLines);
    PayloadData data;
    data.folder = installation.u8string();
    data.threads = options.threads;
    data.onData = [&](const PayloadEntry&, const uint8_t*, size_t length) { progress.Add(length); };
    // On Windows, no one may write a file while it is read; a writer that has it open already refuses the move.
    data.open = [&](const PayloadEntry& entry, const std::string& path) {
        int fd = -1;
        switch (platform::HoldAgainstWriters(path, fd)) {
            case platform::HoldResult::Held: break;
            case platform::HoldResult::InUse:
                Refuse(where + Shown(fs::u8path(entry.path).make_preferred()) +
                       " is open for writing in another program; close it and try again");
            default: throw Failure(kExitFailed, "cannot read " + Printable(entry.path) + ": " + platform::LastErrorText());
        }
        return fd;
    };
    const std::string shown = Printable(options.output);
    const auto writePayload = [&](ByteSink& sink) {
        if (password.empty()) return WritePayloadZip(data, entries, sink);
        // Sealed as it streams: no byte of the ZIP reaches the output's device in plain text.
        SealingSink sealing(sink, password);
        WritePayloadZip(data, entries, sealing);
        sealing.Finish();
    };
    WriteSetupFile(options.output, program, kModeMove, writePayload,
                   [&](int fd, const SetupFileInfo& written) {
                       progress.End();
                       if (!password.empty()) CheckSealed(fd, written, entries, shown, password);
                       // Before the rename: a summary that cannot be told leaves no file.
                       std::cout << "wrote " << shown << ": " << written.fileSize << " bytes, " << files
                                 << " files from " << Shown(installation) << " with " << dataBytes
                                 << " bytes of data, mode " << written.mode << " (Move)" << std::endl;
                       if (!std::cout) throw Failure(kExitFailed, "cannot write the summary: standard output failed");
                   });
}

}  // namespace

void PackMove(const MoveOptions& options, bool checkInterpreter) {
    // A failure leaves nothing under the output name, not even an earlier
    // move file: on the stick it would carry old data to the new PC.
    try {
        Move(options, checkInterpreter);
    } catch (const Failure& failure) {
        if (failure.status() != kExitRefused) platform::RemoveFile(options.output);
        throw;
    } catch (...) {
        platform::RemoveFile(options.output);
        throw;
    }
}
