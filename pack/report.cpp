#include "report.h"

#include <set>

#include "builtin_programs.h"
#include "failure.h"
#include "interpreter_check.h"
#include "payload_source.h"
#include "platform.h"
#include "program_version.h"
#include "sealed_container.h"
#include "setup_file.h"
#include "unique_fd.h"

namespace {

[[noreturn]] void Invalid(const std::string& shown, const std::string& why) {
    throw Failure(kExitFailed, shown + ": " + why);
}

}  // namespace

void Inspect(const std::string& path, bool checkInterpreter, std::ostream& out, const std::string* password) {
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

    const RawReadFn payload = [&](int64_t at, void* buffer, size_t length) {
        return at < 0 ? -1 : platform::ReadAt(fd.get(), trailer.payloadOffset + at, buffer, length);
    };
    std::vector<PayloadEntry> entries;
    EntryContents contents;
    SealHeader seal;
    bool sealed = false;
    try {
        sealed = ReadSealHeader(payload, trailer.payloadSize, seal);
        if (sealed && password != nullptr) {
            SealedReader reader(payload, trailer.payloadSize, *password);
            entries = ListZipReader([&](int64_t at, void* buffer, size_t length) { return reader.ReadAt(at, buffer, length); },
                                    reader.plainSize(), checkInterpreter ? &contents : nullptr);
        } else if (!sealed) {
            entries = ListZipRange(fd.get(), trailer.payloadOffset, trailer.payloadSize,
                                   checkInterpreter ? &contents : nullptr);
        }
    } catch (const Failure& failure) {
        if (std::string(failure.what()) == kWrongPassword) invalid(kWrongPassword);
        invalid(std::string("damaged (") + failure.what() + ")");
    }
    // Judged as packing these files would judge them, in the file's own mode.
    const size_t stored = entries.size();
    AddImpliedFolders(entries);
    // Without the password, the header is all there is to judge.
    const bool opened = !sealed || password != nullptr;
    const std::string fault = !opened ? "" : JudgePayload(entries, trailer.mode == kModeMove ? PackMode::Move : PackMode::Install,
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
        << "  payload size:   " << trailer.payloadSize << " bytes, "
        << (opened ? std::to_string(stored) + " entries" : "encrypted") << "\n"
        << "  mode:           " << trailer.mode << " (" << (trailer.mode == kModeMove ? "Move" : "Install") << ")\n"
        << "  version:        " << (version.empty() ? "none" : version) << "\n"
        << "  program:        " << (isBuiltIn ? "the built-in setup program" : "not the built-in setup program") << "\n"
        << "  signed:         "
        << (trailer.signedFile ? "yes (certificate table after the trailer)" : "no") << "\n"
        << (sealed ? "  encrypted:      AES-256-GCM, key by PBKDF2-HMAC-SHA256 with " + std::to_string(seal.iterations) +
                         " iterations\n" : "")
        << "  top level:" << (opened ? "" : " unknown without the password") << "\n";
    for (const std::string& name : topLevel) out << "    " << name << "\n";
}
