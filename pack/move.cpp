#include "move.h"

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "builtin_programs.h"
#include "failure.h"
#include "interpreter_check.h"
#include "payload_check.h"
#include "payload_source.h"
#include "platform.h"
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
    WriteSetupFile(options.output, program, kModeMove, [&](ByteSink& sink) { WritePayloadZip(data, entries, sink); },
                   [&](int, const SetupFileInfo& written) {
                       progress.End();
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
