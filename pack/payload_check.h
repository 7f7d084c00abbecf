#pragma once
// Rules a payload must follow before it may go into a setup file. Pure: no
// file system access, so the rules can be tested on plain entry lists.
#include <stdint.h>

#include <string>
#include <string_view>
#include <vector>

#include "utf8_text.h"

enum class EntryKind { File, Directory, Symlink, Other };

struct PayloadEntry {
    std::string path;  // UTF-8 (or what the archive holds), '/' separators, no trailing '/'
    EntryKind kind = EntryKind::File;
    uint64_t size = 0;
    uint64_t dataOffset = 0;  // where the data starts in the spool of an unpacked ZIP payload
    int64_t mtime = 0;        // a file's modification time, Unix seconds (UTC)
    const std::vector<uint8_t>* bytes = nullptr;  // data held in memory: the built-in launcher
    std::string source{};  // the file read in place of the folder's: a move's copy of the database
};

enum class PackMode { Install, Move };

// The installation folder %LOCALAPPDATA%\Vorlasta\ is assumed to take 60
// UTF-16 units; every path below it must stay within MAX_PATH - 1.
constexpr long kInstallPrefixUnits = 60;
constexpr long kMaxPathUnits = 259;
constexpr long kMaxNameUnits = 255;  // in one name
constexpr uint64_t kMaxFileSize = uint64_t{2} << 30;  // 2 GiB: refused from here on

// Unicode simple uppercase of a BMP unit, from a table compiled into the
// packer, so that every build finds the same names equal on Windows.
char16_t SimpleUpper(char16_t unit);

// Why Windows cannot hold `component` as one name as given, or "".
std::string CheckWindowsName(std::string_view component);

// The entry's name inside a ZIP archive: directories end with '/'.
std::string ZipName(const PayloadEntry& entry);

// Empty when the payload may be packed, otherwise the reason for refusing it.
// Entries are checked in the given order; the first fault is reported.
std::string CheckPayload(const std::vector<PayloadEntry>& entries, PackMode mode);
