#pragma once
// The directory of a ZIP archive, read with bounds checks on every field, so
// that what the central directory says can be held against the local headers.
// Nothing here decompresses: that stays with libarchive.
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

// Reads `length` bytes at `offset` of the archive; false when they are not all there.
using ReadAtFn = std::function<bool(uint64_t offset, void* buffer, size_t length)>;

// Reads up to `length` bytes at `offset`; fewer only at the end, -1 on an
// error before any. May throw Failure with the reason.
using RawReadFn = std::function<int64_t(int64_t offset, void* buffer, size_t length)>;

// The archive of `size` bytes that `read` gives, read exactly and never past its end.
ReadAtFn ArchiveIn(RawReadFn read, uint64_t size);

struct ZipRecord {
    std::string name;  // raw bytes, as stored
    uint16_t flags = 0, method = 0;
    uint32_t crc = 0;
    uint64_t compressedSize = 0, size = 0;
    uint64_t localOffset = 0;    // of the entry's local header
    uint64_t centralOffset = 0;  // of the entry's central header
};

// The central directory of the archive at [0, archiveSize), ZIP64 records
// included. Throws Failure (refusal) with `what` and the reason.
std::vector<ZipRecord> ReadZipDirectory(const ReadAtFn& read, uint64_t archiveSize, const std::string& what);

// Refuses an entry whose local header (or data descriptor) disagrees with its
// central record on name, method, CRC or sizes. Zeros in a local header whose
// values follow in a data descriptor are how streaming writers work, not a fault.
void CheckLocalHeaders(const ReadAtFn& read, const std::vector<ZipRecord>& records, const std::string& what);
