#pragma once
// Where payload entries come from: a folder on disk or a ZIP archive.
#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "payload_check.h"

// The bytes of the entries that NeedsInterpreterContent() names, by path; each
// lister fills it when given one.
using EntryContents = std::map<std::string, std::vector<uint8_t>>;

// Lists a folder payload (the folder itself excluded), sorted by the byte
// order of the entries' ZIP names. Symbolic links are listed, never followed.
std::vector<PayloadEntry> ListFolder(const std::string& root, EntryContents* contents = nullptr);

// Lists a ZIP payload as its central directory names it; every entry's data
// is decompressed once so that a damaged archive is refused now, not when a
// shop installs it. Throws Failure (refusal) when it cannot be read.
std::vector<PayloadEntry> ListZipFile(const std::string& path, EntryContents* contents = nullptr);

// The same for the ZIP archive stored at [offset, offset + size) of `fd`.
std::vector<PayloadEntry> ListZipRange(int fd, int64_t offset, int64_t size, EntryContents* contents = nullptr);
