#pragma once
#include <stdint.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "byte_sink.h"
#include "payload_check.h"

// Where the entries' data is read: the files below a folder, or, when
// spoolFd is open, the spool of an unpacked ZIP payload at each dataOffset.
struct PayloadData {
    std::string folder;
    int spoolFd = -1;
    std::optional<int64_t> latestTime;  // SOURCE_DATE_EPOCH, when set
    // Sees each chunk of an entry's data as it is copied (a move's CRCs and progress).
    std::function<void(const PayloadEntry& entry, const uint8_t* bytes, size_t length)> onData = nullptr;
    // Opens an entry's file at `path` (a move's, so that no one writes it while it is read); unset: OpenForRead.
    std::function<int(const PayloadEntry& entry, const std::string& path)> open = nullptr;
};

// The time a file entry is written with: its own, no later than `latest`,
// and within what the timestamp field holds as extractors read it (unsigned
// 32-bit seconds, 1970 to 2106), so that none sees a wrapped time. Before
// 1980 the DOS fields say 1980-01-01; the timestamp field keeps the time.
int64_t PackedTime(int64_t mtime, std::optional<int64_t> latest);

// Writes the listed entries (as ListFolder or UnpackZipFile gives them, in
// that order) as a ZIP archive to `sink`, strictly in order: deflated, or
// stored when deflate would not make an entry smaller, every name flagged
// UTF-8. The archive depends only on names, kinds, contents and the files'
// times (PackedTime): folders get a fixed time, every entry fixed permissions.
// Throws Failure.
void WritePayloadZip(const PayloadData& data, const std::vector<PayloadEntry>& entries, ByteSink& sink);
