#include "report.h"

#include <set>

#include "builtin_programs.h"
#include "failure.h"
#include "interpreter_check.h"
#include "payload_source.h"
#include "platform.h"
#include "program_version.h"
#include "setup_file.h"
#include "unique_fd.h"

namespace {

[[noreturn]] void Invalid(const std::string& shown, const std::string& why) {
    throw Failure(kExitFailed, shown + ": " + why);
}

}  // namespace

void Inspect(const std::string& path, bool checkInterpreter, std::ostream& out) {
    const std::string shown = Printable(path);
    const auto invalid = [&](const std::string& why) { Invalid(shown, why); };
    const UniqueFd fd(platform::OpenForRead(path));
    platform::FileInfo info;
    if (!fd || !platform::QueryFile(fd.get(), info)) invalid("cannot open: " + platform::LastErrorText());
    if (!info.regular) invalid("not a file");

    FdByteSource source(fd.get());
    TrailerInfo trailer;
    switch (LocateTrailer(source, info.size, trailer)) {
        case TrailerResult::Missing: Invalid(shown, "no Vorlasta data inside");
        case TrailerResult::BadPayload: Invalid(shown, "damaged (payload offset 0 or empty payload)");
        case TrailerResult::Valid: break;
    }
    // LocateTrailer lets a small negative offset through; never read before the file.
    if (trailer.payloadOffset < 0) invalid("damaged (payload offset outside the file)");

    std::vector<PayloadEntry> entries;
    EntryContents contents;
    try {
        entries = ListZipRange(fd.get(), trailer.payloadOffset, trailer.payloadSize,
                               checkInterpreter ? &contents : nullptr);
    } catch (const Failure& failure) {
        invalid(std::string("damaged (") + failure.what() + ")");
    }
    // Judged as packing these files would judge them, in the file's own mode.
    const size_t stored = entries.size();
    AddImpliedFolders(entries);
    const std::string fault = JudgePayload(entries, trailer.mode == kModeMove ? PackMode::Move : PackMode::Install,
                                           checkInterpreter ? &contents : nullptr);
    if (!fault.empty()) invalid(fault);
    std::set<std::string> topLevel;
    for (const PayloadEntry& entry : entries) {
        const size_t slash = entry.path.find('/');
        const bool folder = slash != std::string::npos || entry.kind == EntryKind::Directory;
        topLevel.insert(Printable(entry.path.substr(0, slash)) + (folder ? "/" : ""));
    }

    const std::string version = ReadProgramVersion(source, trailer.payloadOffset);
    const std::vector<uint8_t>& builtIn = BuiltInSetupProgram();
    std::vector<uint8_t> program(builtIn.size());
    const bool isBuiltIn = static_cast<uint64_t>(trailer.payloadOffset) == builtIn.size() &&
                           source.ReadAt(0, program.data(), static_cast<uint32_t>(program.size())) == program.size() &&
                           program == builtIn;
    out << shown << ": Vorlasta setup file\n"
        << "  payload offset: " << trailer.payloadOffset << "\n"
        << "  payload size:   " << trailer.payloadSize << " bytes, " << stored << " entries\n"
        << "  mode:           " << trailer.mode << " (" << (trailer.mode == kModeMove ? "Move" : "Install") << ")\n"
        << "  version:        " << (version.empty() ? "none" : version) << "\n"
        << "  program:        " << (isBuiltIn ? "the built-in setup program" : "not the built-in setup program") << "\n"
        << "  signed:         "
        << (trailer.signedFile ? "yes (certificate table after the trailer)" : "no") << "\n"
        << "  top level:\n";
    for (const std::string& name : topLevel) out << "    " << name << "\n";
}
