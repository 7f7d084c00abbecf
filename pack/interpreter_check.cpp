#include "interpreter_check.h"

#include <stdio.h>

#include "pe_image.h"
#include "setup/trailer.h"
#include "utf8_text.h"

const char kSkipInterpreterChecksWarning[] =
    "warning: --skip-interpreter-checks: the launcher, pythonw.exe, its DLLs and ._pth are not checked";

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kMachineX64 = 0x8664, kMachineX86 = 0x14C;
constexpr uint16_t kSubsystemGui = 2;
constexpr char kLauncher[] = "Vorlasta.exe", kPythonw[] = "python/pythonw.exe";
constexpr char kLauncherFix[] = "put the launcher built by this project there";
constexpr char kPythonFix[] = "use the one from the Windows embeddable Python distribution";

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool EndsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// A file directly in python/ ("python312.dll" for "python/PYTHON312.DLL"), folded, or "".
std::string InPythonFolder(std::string_view path) {
    const std::string folded = AsciiFolded(path);
    if (!StartsWith(folded, "python/") || folded.find('/', 7) != std::string::npos) return {};
    return folded.substr(7);
}

bool IsPythonDll(std::string_view foldedName) {
    return StartsWith(foldedName, "python3") && EndsWith(foldedName, ".dll");
}

bool IsVcRuntime(std::string_view foldedName) {
    return foldedName == "vcruntime140.dll" || foldedName == "vcruntime140_1.dll";
}

struct Module {
    uint16_t machine = 0;
    uint16_t subsystem = 0;
    bool isDll = false;
    std::vector<std::string> imports;  // DLL names, folded
};

// Parses the headers and the import table; "" or what is wrong.
std::string ParsePe(const Bytes& bytes, Module& pe) {
    PeImage r(bytes);
    if (r.fault != nullptr) return r.fault;
    pe.machine = r.machine;
    pe.isDll = (r.characteristics & 0x2000) != 0;
    if (pe.machine != kMachineX64 && pe.machine != kMachineX86) {
        char machine[48];
        snprintf(machine, sizeof machine, "a program for machine 0x%04X, not x86-64 or x86", pe.machine);
        return machine;
    }
    // PE32 for x86, PE32+ for x86-64; up to data directory 1, the import table:
    // every Windows program has one.
    if (r.magic != (pe.machine == kMachineX64 ? 0x20B : 0x10B) || r.directoryCount < 2 ||
        r.optionalSize < (r.directories - r.optional) + 16) {
        return "a damaged PE program (optional header)";
    }
    pe.subsystem = static_cast<uint16_t>(r.At(r.optional + 68, 2));
    const uint32_t importRva = r.Directory(1);
    if (!r.ok) return "a damaged PE program (data directories)";
    if (importRva == 0) return {};
    // The loader's historic limit; it also bounds the work on hostile input.
    if (r.sectionCount > 96) return "a damaged PE program (too many sections)";
    uint64_t at;
    const uint64_t available = r.Map(importRva, at);
    if (available == 0) return "a damaged PE program (import table outside its sections)";
    // Descriptors of 20 bytes, ended by one whose name is 0.
    for (uint64_t d = 0; d + 20 <= available; d += 20) {
        const uint32_t nameRva = r.At(at + d + 12, 4);
        if (nameRva == 0) return {};
        uint64_t nameAt;
        const uint64_t nameRoom = r.Map(nameRva, nameAt);
        if (nameRoom == 0) return "a damaged PE program (import name outside its sections)";
        std::string name;
        for (uint64_t i = 0; i < nameRoom && i < 256 && bytes[nameAt + i] != 0; ++i) name += char(bytes[nameAt + i]);
        if (name.size() == nameRoom || name.size() == 256) return "a damaged PE program (import name not ended)";
        pe.imports.push_back(AsciiFolded(name));
    }
    return "a damaged PE program (import table not ended)";
}

const char* MachineName(uint16_t machine) {
    return machine == kMachineX64 ? "x86-64" : "x86";
}

// Whether a line of a ._pth puts the top-level app folder on the path.
bool PthReachesApp(const Bytes& bytes) {
    std::string text(bytes.begin(), bytes.end());
    if (StartsWith(text, "\xEF\xBB\xBF")) text.erase(0, 3);
    for (size_t start = 0; start <= text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        const size_t first = line.find_first_not_of(" \t\r"), last = line.find_last_not_of(" \t\r");
        if (first == std::string::npos) continue;
        line = line.substr(first, last - first + 1);
        // Comments and "import" lines add no path; an absolute path cannot be known to reach app.
        if (line[0] == '#' || StartsWith(line, "import ") || line[0] == '/' || line[0] == '\\' ||
            line.find(':') != std::string::npos) {
            continue;
        }
        // Resolve against python/, where the ._pth lies.
        std::vector<std::string> folders{"python"};
        bool outside = false;
        for (size_t from = 0; from <= line.size() && !outside;) {
            size_t to = line.find_first_of("/\\", from);
            if (to == std::string::npos) to = line.size();
            const std::string part = AsciiFolded(line.substr(from, to - from));
            from = to + 1;
            if (part == "..") {
                outside = folders.empty();
                if (!outside) folders.pop_back();
            } else if (!part.empty() && part != ".") {
                folders.push_back(part);
            }
        }
        if (!outside && folders == std::vector<std::string>{"app"}) return true;
    }
    return false;
}

class Checker {
public:
    Checker(const std::vector<PayloadEntry>& entries, const std::map<std::string, Bytes>& contents)
        : entries_(entries), contents_(contents) {}

    std::string Run() {
        for (const PayloadEntry& entry : entries_) {
            const std::string name = InPythonFolder(entry.path);
            if (entry.kind != EntryKind::File || !EndsWith(name, "._pth")) continue;
            const Bytes* pth = Content(entry.path);
            if (pth == nullptr || !PthReachesApp(*pth)) {
                return entry.path + ": no line puts the app folder on Python's path, so app\\main.py "
                                    "cannot import its own modules; add the line ..\\app";
            }
        }
        Module launcher;
        std::string fault = Program(kLauncher, kLauncherFix, launcher);
        if (!fault.empty()) return fault;
        if (launcher.machine != kMachineX64) {
            return std::string(kLauncher) + ": a program for x86, not x86-64; " + kLauncherFix;
        }
        const Bytes& launcherBytes = *Content(kLauncher);
        // A setup file ends with a trailer; the launcher does not.
        TrailerInfo trailer;
        const size_t tail = launcherBytes.size() < kTrailerSize ? launcherBytes.size() : kTrailerSize;
        if (CheckTrailer(launcherBytes.data() + launcherBytes.size() - tail, tail,
                         static_cast<int64_t>(launcherBytes.size()), trailer) != TrailerResult::Missing) {
            return std::string(kLauncher) + ": a setup file, not the launcher; " + kLauncherFix;
        }

        Module pythonw;
        if (!(fault = Program(kPythonw, kPythonFix, pythonw)).empty()) return fault;
        if (!(fault = RuntimeDlls(kPythonw, pythonw)).empty()) return fault;
        bool importsPython = false;
        for (const std::string& dll : pythonw.imports) {
            if (!IsPythonDll(dll)) continue;
            importsPython = true;
            const std::string path = "python/" + dll;
            if (!Has(path)) {
                return std::string(kPythonw) + " needs " + dll + ", which is not in python/; copy " + dll +
                       " from the same Python distribution into python/";
            }
            Module library;
            const Bytes* bytes = Content(path);
            fault = bytes == nullptr ? "not read" : ParsePe(*bytes, library);
            if (fault.empty() && library.machine != pythonw.machine) {
                fault = std::string("a DLL for ") + MachineName(library.machine) + " but pythonw.exe is for " +
                        MachineName(pythonw.machine);
            }
            if (!fault.empty()) return path + ": " + fault + "; use the DLL from the same distribution as pythonw.exe";
            if (!(fault = RuntimeDlls(path, library)).empty()) return fault;
        }
        if (!importsPython) {
            return std::string(kPythonw) + ": imports no python3*.dll, so it is not a Python interpreter; " +
                   kPythonFix;
        }
        return {};
    }

private:
    bool Has(const std::string& path) const {
        const std::string folded = AsciiFolded(path);
        for (const PayloadEntry& entry : entries_) {
            if (entry.kind == EntryKind::File && AsciiFolded(entry.path) == folded) return true;
        }
        return false;
    }

    const Bytes* Content(const std::string& path) const {
        const std::string folded = AsciiFolded(path);
        for (const auto& [name, bytes] : contents_) {
            if (AsciiFolded(name) == folded) return &bytes;
        }
        return nullptr;
    }

    // A Windows GUI program for x86-64 or x86.
    std::string Program(const char* path, const char* fix, Module& pe) const {
        const Bytes* bytes = Content(path);
        if (bytes == nullptr) return std::string(path) + ": not in the payload; " + fix;
        std::string fault = ParsePe(*bytes, pe);
        if (fault.empty() && pe.isDll) fault = "a DLL, not a program";
        if (fault.empty() && pe.subsystem != kSubsystemGui) fault = "not a Windows GUI program (subsystem " +
                                                                    std::to_string(pe.subsystem) + ")";
        return fault.empty() ? fault : std::string(path) + ": " + fault + "; " + fix;
    }

    // The C runtime a module loads must travel with it: a shop PC may lack it.
    std::string RuntimeDlls(const std::string& path, const Module& pe) const {
        for (const std::string& dll : pe.imports) {
            if (IsVcRuntime(dll) && !Has("python/" + dll)) {
                return path + " needs " + dll + ", which is not in python/, and a PC without the Visual C++ "
                              "runtime cannot start Python; copy " + dll + " from the embeddable distribution into python/";
            }
        }
        return {};
    }

    const std::vector<PayloadEntry>& entries_;
    const std::map<std::string, Bytes>& contents_;
};

}  // namespace

bool NeedsInterpreterContent(std::string_view path) {
    const std::string folded = AsciiFolded(path), name = InPythonFolder(path);
    return folded == AsciiFolded(kLauncher) || folded == kPythonw || EndsWith(name, "._pth") || IsPythonDll(name);
}

std::string CheckInterpreter(const std::vector<PayloadEntry>& entries, const std::map<std::string, Bytes>& contents) {
    return Checker(entries, contents).Run();
}

std::string JudgePayload(const std::vector<PayloadEntry>& entries, PackMode mode,
                         const std::map<std::string, Bytes>* contents) {
    std::string fault = CheckPayload(entries, mode);
    if (fault.empty() && contents != nullptr) fault = CheckInterpreter(entries, *contents);
    return fault;
}
