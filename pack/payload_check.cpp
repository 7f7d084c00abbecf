#include "payload_check.h"

#include <algorithm>
#include <iterator>
#include <map>

namespace {

struct UpperRun {
    char16_t first, last;
    uint8_t stride;  // every unit of the run, or every other one
    int32_t delta;
};
#include "simple_upper_table.inc"

// The name as NTFS compares it: each UTF-16 unit in simple uppercase.
// Characters beyond the BMP are surrogate pairs to NTFS and are left as they
// are. `text` must be valid UTF-8.
std::u32string NtfsUpper(std::string_view text) {
    std::u32string upper;
    for (size_t i = 0; i < text.size();) {
        uint32_t cp = static_cast<uint8_t>(text[i]);
        const size_t length = DecodeUtf8(text, i, cp);
        i += length != 0 ? length : 1;
        upper.push_back(cp < 0x10000 ? SimpleUpper(static_cast<char16_t>(cp)) : cp);
    }
    return upper;
}

bool IsReservedDeviceName(std::string_view component) {
    // "con.txt" and "nul.tar.gz" are the device as well: only the stem counts.
    std::string stem = AsciiFolded(component.substr(0, component.find('.')));
    while (!stem.empty() && stem.back() == ' ') stem.pop_back();
    if (stem == "con" || stem == "prn" || stem == "aux" || stem == "nul" || stem == "conin$" || stem == "conout$") {
        return true;
    }
    return stem.size() == 4 && (stem.compare(0, 3, "com") == 0 || stem.compare(0, 3, "lpt") == 0) &&
           stem[3] >= '1' && stem[3] <= '9';
}

std::string Quoted(std::string_view text) {
    return "\"" + Printable(text) + "\"";
}

}  // namespace

std::string CheckWindowsName(std::string_view component) {
    if (component.empty()) return "empty path component";
    if (component == "..") return "\"..\" component would reach outside the installation folder";
    if (component == ".") return "\".\" component";
    for (char c : component) {
        if (static_cast<uint8_t>(c) < 0x20) return "control character in name";
        static constexpr std::string_view kForbidden = "<>:\"|?*\\";
        if (kForbidden.find(c) != std::string_view::npos) {
            return std::string("character '") + c + "' is not allowed in Windows file names";
        }
    }
    if (component.back() == '.') return Quoted(component) + " ends with a dot, which Windows drops";
    if (component.back() == ' ') return Quoted(component) + " ends with a space, which Windows drops";
    if (IsReservedDeviceName(component)) return Quoted(component) + " is a reserved device name on Windows";
    const long units = Utf16Length(component);
    if (units > kMaxNameUnits) {
        return Quoted(component) + " is " + std::to_string(units) + " UTF-16 units; Windows allows at most " +
               std::to_string(kMaxNameUnits) + " in a name";
    }
    return {};
}

namespace {

std::string CheckEntry(const PayloadEntry& entry, PackMode mode) {
    const std::string_view path = entry.path;
    if (path.empty()) return "payload has an entry with an empty name";
    const std::string shown = Printable(ZipName(entry)) + ": ";
    const long units = Utf16Length(path);
    if (units < 0) return shown + "name is not valid UTF-8";
    const bool driveLetter = path.size() >= 2 && path[1] == ':' &&
                             ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
    if (path[0] == '/' || path[0] == '\\' || driveLetter) {
        return shown + "absolute path; payload entries must be relative";
    }
    for (size_t start = 0;;) {
        const size_t slash = path.find('/', start);
        const std::string fault = CheckWindowsName(path.substr(start, slash - start));
        if (!fault.empty()) return shown + fault;
        if (slash == std::string_view::npos) break;
        start = slash + 1;
    }
    if (kInstallPrefixUnits + units > kMaxPathUnits) {
        return shown + "path is " + std::to_string(units) + " UTF-16 units; under %LOCALAPPDATA%\\Vorlasta\\ (taken as " +
               std::to_string(kInstallPrefixUnits) + ") it would pass " + std::to_string(kMaxPathUnits) +
               ", so at most " + std::to_string(kMaxPathUnits - kInstallPrefixUnits) + " are allowed";
    }
    if (entry.kind == EntryKind::Symlink) {
        return shown + "symbolic link; a payload may hold only files and folders";
    }
    if (entry.kind == EntryKind::Other) return shown + "not a regular file or folder";
    if (entry.kind == EntryKind::File && entry.size >= kMaxFileSize) {
        return shown + std::to_string(entry.size) + " bytes; files of 2 GiB or more are not supported";
    }
    if (mode == PackMode::Install && AsciiFolded(path.substr(0, path.find('/'))) == "data") {
        return shown + "the shop's data folder must not be in an install payload: an update would "
                       "overwrite the shop's data (only --move carries it)";
    }
    return {};
}

// Two entries that Windows would treat as one file, or a file standing where
// another entry needs a folder.
std::string CheckCollisions(const std::vector<PayloadEntry>& entries) {
    std::map<std::u32string, const PayloadEntry*> byName;
    for (const PayloadEntry& entry : entries) {
        auto [it, inserted] = byName.emplace(NtfsUpper(entry.path), &entry);
        if (inserted) continue;
        const std::string shown = Printable(entry.path) + ": ";
        if (it->second->path == entry.path) return shown + "appears twice in the payload";
        return shown + "same name as " + Printable(it->second->path) + " on Windows, which ignores case";
    }
    for (const PayloadEntry& entry : entries) {
        for (size_t slash = entry.path.find('/'); slash != std::string::npos;
             slash = entry.path.find('/', slash + 1)) {
            auto parent = byName.find(NtfsUpper(std::string_view(entry.path).substr(0, slash)));
            if (parent != byName.end() && parent->second->kind != EntryKind::Directory) {
                return Printable(entry.path) + ": " + Printable(parent->second->path) + " is not a folder";
            }
        }
    }
    return {};
}

}  // namespace

char16_t SimpleUpper(char16_t unit) {
    const auto after = std::upper_bound(std::begin(kUpperRuns), std::end(kUpperRuns), unit,
                                        [](char16_t u, const UpperRun& run) { return u < run.first; });
    if (after == std::begin(kUpperRuns)) return unit;
    const UpperRun& run = after[-1];
    if (unit > run.last || (unit - run.first) % run.stride != 0) return unit;
    return static_cast<char16_t>(unit + run.delta);
}

std::string ZipName(const PayloadEntry& entry) {
    return entry.kind == EntryKind::Directory ? entry.path + "/" : entry.path;
}

std::string CheckPayload(const std::vector<PayloadEntry>& entries, PackMode mode) {
    for (const PayloadEntry& entry : entries) {
        std::string fault = CheckEntry(entry, mode);
        if (!fault.empty()) return fault;
    }
    std::string fault = CheckCollisions(entries);
    if (!fault.empty()) return fault;

    static const struct {
        const char* path;
        const char* role;
    } kRequired[] = {
        {"Vorlasta.exe", "the launcher"},
        {"python/pythonw.exe", "the Python interpreter"},
        {"app/main.py", "the application"},
    };
    std::string missing;
    for (const auto& required : kRequired) {
        bool found = false;
        for (const PayloadEntry& entry : entries) {
            found = found || (entry.kind == EntryKind::File && entry.path == required.path);
        }
        if (!found) {
            if (!missing.empty()) missing += ", ";
            missing += std::string(required.path) + " (" + required.role + ")";
        }
    }
    if (!missing.empty()) return "payload lacks " + missing + " at its top level";
    return {};
}
