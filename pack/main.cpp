// vorlasta-pack: builds Vorlasta-Setup.exe from the setup program image and a
// payload, and inspects setup files.
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "args.h"
#include "builtin_programs.h"
#include "bytecode_check.h"
#include "failure.h"
#include "interpreter_check.h"
#include "move.h"
#include "report.h"
#include "sealed_container.h"
#include "payload_check.h"
#include "payload_source.h"
#include "platform.h"
#include "setup_file.h"
#include "unique_fd.h"
#include "zip_writer.h"

namespace {

void Pack(const PackOptions& options, bool checkInterpreter) {
    std::string epoch;
    const std::optional<int64_t> latestTime =
        LatestEntryTime(platform::Environment("SOURCE_DATE_EPOCH", epoch) ? epoch.c_str() : nullptr);
    const std::vector<uint8_t> program = options.program.empty() ? BuiltInSetupProgram() : ReadProgramImage(options.program);
    const platform::PathKind payloadKind = platform::KindOfPath(options.payload);
    const bool fromFolder = payloadKind == platform::PathKind::Folder;
    if (!fromFolder && payloadKind != platform::PathKind::File) {
        Refuse("payload " + Printable(options.payload) + " is neither a folder nor a ZIP file");
    }
    CheckOutputPath(options.output, {options.program, options.payload});
    // A ready ZIP is unpacked to a nameless spool and written afresh, exactly
    // as a folder of the same files would be.
    const UniqueFd spool(fromFolder ? -1 : CreateSpool(options.output));
    const PayloadData data{options.payload, spool.get(), latestTime, options.threads};
    EntryContents contents;  // the .pyc headers are checked under --skip-interpreter-checks too
    std::vector<PayloadEntry> entries =
        fromFolder ? ListFolder(options.payload, "payload folder", &contents) : UnpackZipFile(options.payload, spool.get(), &contents);
    const bool builtInLauncher = AddBuiltInLauncher(entries, &contents);
    const std::string fault =
        JudgePayload(entries, options.move ? PackMode::Move : PackMode::Install, checkInterpreter ? &contents : nullptr);
    if (!fault.empty()) Refuse(fault);
    const size_t stale = CountStaleBytecode(entries, contents, latestTime);
    if (stale > 0) std::cerr << "vorlasta-pack: " << StaleBytecodeWarning(stale) << "\n";

    const auto writePayload = [&](ByteSink& sink) { WritePayloadZip(data, entries, sink); };
    const SetupFileInfo info = WriteSetupFile(options.output, program, options.move ? kModeMove : 0, writePayload);
    std::cout << "wrote " << Printable(options.output) << ": " << info.fileSize << " bytes, payload "
              << info.payloadSize << " bytes at offset " << info.payloadOffset << ", " << entries.size()
              << " entries, mode " << info.mode << " (" << (info.mode == kModeMove ? "Move" : "Install") << ")"
              << (builtInLauncher ? ", with the built-in launcher as Vorlasta.exe" : "") << "\n";
}

}  // namespace

int PackerMain(const std::vector<std::string>& args) {
    const std::string unfit = platform::SetUpProcess();
    if (!unfit.empty()) {
        std::cerr << "vorlasta-pack: " << unfit << "\n";
        return kExitFailed;
    }

    try {
        const Command command = ParseArgs(args);
        const bool checkInterpreter = !command.skipInterpreterChecks;
        if (!checkInterpreter && command.kind != Command::Help) std::cerr << "vorlasta-pack: " << kSkipInterpreterChecksWarning << "\n";
        switch (command.kind) {
            case Command::Help: std::cout << kUsage << "\n"; break;
            case Command::Inspect: {
                std::string password = command.inspectPasswordStdin ? ReadPassword(true, false) : "";
                Inspect(command.inspectFile, checkInterpreter, std::cout, command.inspectPasswordStdin ? &password : nullptr);
                Wipe(password);
                break;
            }
            case Command::Pack: Pack(command.pack, checkInterpreter); break;
            case Command::Move: PackMove(command.move, checkInterpreter); break;
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
