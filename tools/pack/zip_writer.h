#pragma once
#include <stdint.h>

#include <string>
#include <vector>

#include "payload_check.h"

// Seconds since 1970 for 2000-01-01 00:00:00 UTC: every entry gets this time.
constexpr int64_t kFixedEntryTime = 946684800;

// Writes the listed entries of folder `root` (as ListFolder gives them, in
// that order) as a deflated ZIP archive to `fd` at its current position.
// The archive depends only on names, kinds and contents: fixed times,
// permissions and owners. Returns the number of bytes written; throws Failure.
uint64_t WriteFolderZip(const std::string& root, const std::vector<PayloadEntry>& entries, int fd);
