#pragma once
// Where payload entries come from: a folder on disk or a ZIP archive.
#include <stdint.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "payload_check.h"
#include "zip_directory.h"

// The bytes of the entries that NeedsInterpreterContent() names, and the
// header of each compiled module (IsCachedBytecode), by path; each lister
// fills it when given one. Entries carry their files' times.
using EntryContents = std::map<std::string, std::vector<uint8_t>>;

// Lists a folder payload (the folder itself excluded), sorted by the byte
// order of the entries' ZIP names. Links (symbolic links, junctions, mount
// points) are listed, never followed.
// `what` names the folder in a refusal: "payload folder", "installation".
std::vector<PayloadEntry> ListFolder(const std::string& root, const char* what, EntryContents* contents = nullptr);

// Lists the ZIP archive stored at [offset, offset + size) of `fd` as its
// central directory names it. The local headers must agree with the central
// directory, and every entry's data is decompressed once and held against its
// CRC, so that a damaged archive is refused now, not when a shop installs it.
// Throws Failure (refusal).
std::vector<PayloadEntry> ListZipRange(int fd, int64_t offset, int64_t size, EntryContents* contents = nullptr);

// The same for the ZIP archive of `size` bytes that `read` gives (a sealed payload, opened).
std::vector<PayloadEntry> ListZipReader(const RawReadFn& read, int64_t size, EntryContents* contents = nullptr);

// Adds the folders that the entries' names imply but do not list, and sorts
// the entries as ListFolder does: a ZIP payload's entries as a folder holding
// the same files would give them.
void AddImpliedFolders(std::vector<PayloadEntry>& entries);

// Adds the built-in launcher as Vorlasta.exe when the payload has no
// Vorlasta.exe of its own at its top level (in any case); says whether it did.
bool AddBuiltInLauncher(std::vector<PayloadEntry>& entries, EntryContents* contents = nullptr);

// Lists a ZIP payload file as ListZipRange does and appends every entry's data to
// `spoolFd`, at the entry's dataOffset. The list is completed by
// AddImpliedFolders, so the archive can be written afresh exactly as a folder
// holding the same files would be.
std::vector<PayloadEntry> UnpackZipFile(const std::string& path, int spoolFd, EntryContents* contents = nullptr);
