// vorlasta-pack: builds Vorlasta-Setup.exe from the setup program image and a
// payload, and inspects setup files.
#include <locale.h>
#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "args.h"
#include "bytecode_check.h"
#include "failure.h"
#include "interpreter_check.h"
#include "report.h"
#include "payload_check.h"
#include "payload_source.h"
#include "setup_file.h"
#include "unique_fd.h"
#include "zip_writer.h"

namespace fs = std::filesystem;

namespace {

void Pack(const PackOptions& options, bool checkInterpreter) {
    const std::optional<int64_t> latestTime = LatestEntryTime(getenv("SOURCE_DATE_EPOCH"));
    const std::vector<uint8_t> program = ReadProgramImage(options.program);
    std::error_code error;
    const bool fromFolder = fs::is_directory(options.payload, error);
    if (!fromFolder && !fs::is_regular_file(options.payload, error)) {
        Refuse("payload " + Printable(options.payload) + " is neither a folder nor a ZIP file");
    }
    CheckOutputPath(options.output, {options.program, options.payload});
    // A ready ZIP is unpacked to a nameless spool and written afresh, exactly
    // as a folder of the same files would be.
    const UniqueFd spool(fromFolder ? -1 : CreateSpool(options.output));
    const PayloadData data{options.payload, spool.get(), latestTime};
    EntryContents contents;  // the .pyc headers are checked under --skip-interpreter-checks too
    const std::vector<PayloadEntry> entries =
        fromFolder ? ListFolder(options.payload, &contents) : UnpackZipFile(options.payload, spool.get(), &contents);
    std::string fault = CheckPayload(entries, options.move ? PackMode::Move : PackMode::Install);
    if (fault.empty() && checkInterpreter) fault = CheckInterpreter(entries, contents);
    if (!fault.empty()) Refuse(fault);
    const size_t stale = CountStaleBytecode(entries, contents, latestTime);
    if (stale > 0) std::cerr << "vorlasta-pack: " << StaleBytecodeWarning(stale) << "\n";

    const SetupFileInfo info = WriteSetupFile(options.output, program, options.move ? kModeMove : 0,
                                              [&](int fd) { WritePayloadZip(data, entries, fd); });
    std::cout << "wrote " << Printable(options.output) << ": " << info.fileSize << " bytes, payload "
              << info.payloadSize << " bytes at offset " << info.payloadOffset << ", " << entries.size()
              << " entries, mode " << info.mode << " (" << (info.mode == kModeMove ? "Move" : "Install") << ")\n";
}

}  // namespace

int main(int argc, char** argv) {
    // Names pass through libarchive as UTF-8 whatever the caller's locale, and
    // the DOS times (local time in the format) are written and read as UTC,
    // so the bytes do not depend on TZ.
    if (setlocale(LC_CTYPE, "C.UTF-8") == nullptr) {
        std::cerr << "vorlasta-pack: the C.UTF-8 locale is not available\n";
        return kExitFailed;
    }
    setenv("TZ", "UTC0", 1);
    tzset();

    try {
        const Command command = ParseArgs(std::vector<std::string>(argv + 1, argv + argc));
        const bool checkInterpreter = !command.skipInterpreterChecks;
        if (!checkInterpreter && command.kind != Command::Help) std::cerr << "vorlasta-pack: " << kSkipInterpreterChecksWarning << "\n";
        switch (command.kind) {
            case Command::Help: std::cout << kUsage << "\n"; break;
            case Command::Inspect: Inspect(command.inspectFile, checkInterpreter, std::cout); break;
            case Command::Pack: Pack(command.pack, checkInterpreter); break;
        }
        std::cout.flush();
        return std::cout ? 0 : kExitFailed;
    } catch (const UsageError& error) {
        std::cerr << "vorlasta-pack: " << error.what() << "\n" << kUsage << "\n";
        return error.status();
    } catch (const Failure& error) {
        std::cerr << "vorlasta-pack: " << error.what() << "\n";
        return error.status();
    } catch (const std::exception& error) {
        std::cerr << "vorlasta-pack: " << error.what() << "\n";
        return kExitFailed;
    }
}
