#pragma once
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "payload_check.h"

// Where the entries' data is read: the files below a folder, or, when
// spoolFd is open, the spool of an unpacked ZIP payload at each dataOffset.
struct PayloadData {
    std::string folder;
    int spoolFd = -1;
    // Sees each chunk of an entry's data as it is copied (a move's CRCs and progress).
    std::function<void(const PayloadEntry& entry, const uint8_t* bytes, size_t length)> onData = nullptr;
};

// Writes the listed entries (as ListFolder or UnpackZipFile gives them, in
// that order) as a ZIP archive to `fd` at offset `at`: deflated, or
// stored when deflate would not make an entry smaller, every name flagged
// UTF-8. The archive depends only on names, kinds and contents: fixed times,
// permissions and owners. Returns the number of bytes written; throws Failure.
uint64_t WritePayloadZip(const PayloadData& data, const std::vector<PayloadEntry>& entries, int fd, uint64_t at);
