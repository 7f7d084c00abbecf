#include "zip_directory.h"

#include <string.h>

#include <algorithm>

#include "failure.h"
#include "utf8_text.h"

namespace {

constexpr uint32_t kLocalSignature = 0x04034b50, kCentralSignature = 0x02014b50, kEndSignature = 0x06054b50,
                   kZip64EndSignature = 0x06064b50, kZip64LocatorSignature = 0x07064b50,
                   kDescriptorSignature = 0x08074b50;
constexpr size_t kLocalHeader = 30, kCentralHeader = 46, kEndRecord = 22, kZip64End = 56, kZip64Locator = 20;
constexpr uint32_t kNoValue32 = 0xFFFFFFFF;  // "see the ZIP64 extra field"
constexpr uint16_t kFlagEncrypted = 1, kFlagDescriptor = 8;

uint16_t Load16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t Load32(const uint8_t* p) {
    return Load16(p) | static_cast<uint32_t>(Load16(p + 2)) << 16;
}
uint64_t Load64(const uint8_t* p) {
    return Load32(p) | static_cast<uint64_t>(Load32(p + 4)) << 32;
}

// Fills each field still holding the 32-bit marker, in order, from the ZIP64
// extra field (id 1) of `extra`; false when that field is missing or short.
bool ResolveZip64(const uint8_t* extra, size_t length, std::initializer_list<uint64_t*> fields, bool* found = nullptr) {
    bool needed = false;
    for (uint64_t* field : fields) needed = needed || *field == kNoValue32;
    for (size_t at = 0; at + 4 <= length;) {
        const uint16_t id = Load16(extra + at), size = Load16(extra + at + 2);
        if (at + 4 + size > length) break;
        if (id == 1) {
            if (found != nullptr) *found = true;
            size_t used = 0;
            for (uint64_t* field : fields) {
                if (*field != kNoValue32) continue;
                if (used + 8 > size) return false;
                *field = Load64(extra + at + 4 + used);
                used += 8;
            }
            return true;
        }
        at += 4 + size;
    }
    return !needed;
}

}  // namespace

ReadAtFn ArchiveIn(RawReadFn read, uint64_t size) {
    return [read = std::move(read), size](uint64_t at, void* buffer, size_t length) {
        return at <= size && length <= size - at && read(static_cast<int64_t>(at), buffer, length) == static_cast<int64_t>(length);
    };
}

std::vector<ZipRecord> ReadZipDirectory(const ReadAtFn& read, uint64_t archiveSize, const std::string& what) {
    const auto refuse = [&](const std::string& why) { Refuse(what + ": " + why); };
    // The end record is the last 22 bytes but for a comment of up to 65,535.
    if (archiveSize < kEndRecord) refuse("no ZIP end record");
    const uint64_t tailSize = std::min<uint64_t>(archiveSize, kEndRecord + 0xFFFF);
    std::vector<uint8_t> tail(tailSize);
    if (!read(archiveSize - tailSize, tail.data(), tail.size())) refuse("cannot read the end of the archive");
    size_t end = tailSize - kEndRecord + 1;
    do {
        --end;
    } while (end > 0 && !(Load32(&tail[end]) == kEndSignature && end + kEndRecord + Load16(&tail[end + 20]) == tailSize));
    const uint8_t* record = &tail[end];
    if (Load32(record) != kEndSignature || end + kEndRecord + Load16(record + 20) != tailSize) {
        refuse("no ZIP end record");
    }
    uint64_t endAt = archiveSize - tailSize + end;
    uint64_t count = Load16(record + 10), centralSize = Load32(record + 12), centralAt = Load32(record + 16);
    if (Load16(record + 4) != 0 || Load16(record + 6) != 0 || Load16(record + 8) != count) {
        refuse("archives split over several disks are not supported");
    }
    uint8_t locator[kZip64Locator];
    if (endAt >= kZip64Locator && read(endAt - kZip64Locator, locator, sizeof locator) &&
        Load32(locator) == kZip64LocatorSignature) {
        const uint64_t zip64At = Load64(locator + 8);
        uint8_t zip64[kZip64End];
        if (zip64At > endAt - kZip64Locator || endAt - kZip64Locator - zip64At < kZip64End ||
            !read(zip64At, zip64, sizeof zip64) || Load32(zip64) != kZip64EndSignature) {
            refuse("the ZIP64 end record is missing or damaged");
        }
        if (Load32(zip64 + 16) != 0 || Load32(zip64 + 20) != 0 || Load64(zip64 + 24) != Load64(zip64 + 32)) {
            refuse("archives split over several disks are not supported");
        }
        count = Load64(zip64 + 32), centralSize = Load64(zip64 + 40), centralAt = Load64(zip64 + 48);
        endAt = zip64At;
    }
    // The central directory ends where the end records begin: anything else
    // means the offsets inside are not those of this archive.
    if (centralAt > endAt || endAt - centralAt != centralSize) refuse("the central directory is not where the end record says");
    if (count > centralSize / kCentralHeader) refuse("the end record counts more entries than the central directory holds");

    std::vector<uint8_t> central(centralSize);
    if (!read(centralAt, central.data(), central.size())) refuse("cannot read the central directory");
    std::vector<ZipRecord> records;
    records.reserve(count);
    size_t at = 0;
    for (uint64_t i = 0; i < count; ++i) {
        if (central.size() - at < kCentralHeader || Load32(&central[at]) != kCentralSignature) {
            refuse("central directory entry " + std::to_string(i + 1) + " is damaged");
        }
        const uint8_t* h = &central[at];
        const size_t nameLength = Load16(h + 28), extraLength = Load16(h + 30), commentLength = Load16(h + 32);
        if (central.size() - at - kCentralHeader < nameLength + extraLength + commentLength) {
            refuse("central directory entry " + std::to_string(i + 1) + " runs past the directory");
        }
        ZipRecord r;
        r.name.assign(reinterpret_cast<const char*>(h + kCentralHeader), nameLength);
        r.flags = Load16(h + 8), r.method = Load16(h + 10), r.crc = Load32(h + 16);
        r.compressedSize = Load32(h + 20), r.size = Load32(h + 24), r.localOffset = Load32(h + 42);
        r.centralOffset = centralAt + at;
        const std::string shown = Printable(r.name) + ": ";
        if (!ResolveZip64(h + kCentralHeader + nameLength, extraLength, {&r.size, &r.compressedSize, &r.localOffset})) {
            refuse(shown + "its ZIP64 sizes are missing from the central directory");
        }
        if (Load16(h + 34) != 0 && Load16(h + 34) != 0xFFFF) refuse(shown + "lies on another disk");
        if (r.flags & kFlagEncrypted) refuse(shown + "encrypted entries are not supported");
        if (r.localOffset >= centralAt) refuse(shown + "its local header is not before the central directory");
        records.push_back(std::move(r));
        at += kCentralHeader + nameLength + extraLength + commentLength;
    }
    if (at != central.size()) refuse("the central directory holds more than the end record counts");
    return records;
}

void CheckLocalHeaders(const ReadAtFn& read, const std::vector<ZipRecord>& records, const std::string& what) {
    uint64_t centralStart = UINT64_MAX;
    for (const ZipRecord& r : records) centralStart = std::min(centralStart, r.centralOffset);
    for (const ZipRecord& r : records) {
        const std::string shown = what + ": " + Printable(r.name) + ": ";
        const char* where = "local header";
        const auto disagree = [&](const std::string& field, const std::string& local, const std::string& central) {
            Refuse(shown + "the " + where + " and the central directory disagree on the " + field + " (" + local +
                   " / " + central + ")");
        };
        // Everything of the entry must lie before the central directory.
        const auto fits = [&](uint64_t from, uint64_t length) {
            return from <= centralStart && centralStart - from >= length;
        };
        uint8_t h[kLocalHeader];
        if (!fits(r.localOffset, kLocalHeader) || !read(r.localOffset, h, sizeof h) || Load32(h) != kLocalSignature) {
            Refuse(shown + "no local header where the central directory points");
        }
        const size_t nameLength = Load16(h + 26), extraLength = Load16(h + 28);
        const uint64_t dataAt = r.localOffset + kLocalHeader + nameLength + extraLength;
        if (!fits(r.localOffset + kLocalHeader, nameLength + extraLength)) Refuse(shown + "local header runs past its data");
        std::vector<uint8_t> nameAndExtra(nameLength + extraLength);
        if (!read(r.localOffset + kLocalHeader, nameAndExtra.data(), nameAndExtra.size())) {
            Refuse(shown + "cannot read its local header");
        }
        const std::string localName(nameAndExtra.begin(), nameAndExtra.begin() + static_cast<long>(nameLength));
        if (localName != r.name) disagree("name", Printable(localName), Printable(r.name));
        if (Load16(h + 8) != r.method) {
            disagree("method", std::to_string(Load16(h + 8)), std::to_string(r.method));
        }
        uint64_t size = Load32(h + 22), compressedSize = Load32(h + 18);
        bool zip64 = false;
        if (!ResolveZip64(nameAndExtra.data() + nameLength, extraLength, {&size, &compressedSize}, &zip64)) {
            Refuse(shown + "its ZIP64 sizes are missing from the local header");
        }
        const bool descriptor = (Load16(h + 6) & kFlagDescriptor) != 0;
        // With a data descriptor the local header may leave a value zero.
        const auto compare = [&](const char* field, uint64_t local, uint64_t central) {
            if (local != central && !(descriptor && local == 0)) {
                disagree(field, std::to_string(local), std::to_string(central));
            }
        };
        compare("CRC", Load32(h + 14), r.crc);
        compare("compressed size", compressedSize, r.compressedSize);
        compare("size", size, r.size);
        if (!fits(dataAt, r.compressedSize)) Refuse(shown + "its data runs into the central directory");
        if (!descriptor) continue;

        // The descriptor: an optional signature, the CRC, then both sizes (8 bytes each for ZIP64).
        const uint64_t descriptorAt = dataAt + r.compressedSize;
        const size_t width = zip64 ? 8 : 4;
        uint8_t d[4 + 4 + 2 * 8];
        const size_t available = static_cast<size_t>(std::min<uint64_t>(sizeof d, centralStart - descriptorAt));
        memset(d, 0, sizeof d);
        if (!read(descriptorAt, d, available)) Refuse(shown + "cannot read its data descriptor");
        const size_t skip = available >= 4 && Load32(d) == kDescriptorSignature ? 4 : 0;
        if (available < skip + 4 + 2 * width) Refuse(shown + "its data descriptor is missing");
        const uint8_t* values = d + skip;
        const auto load = [&](size_t k) { return width == 8 ? Load64(values + 4 + 8 * k) : Load32(values + 4 + 4 * k); };
        where = "data descriptor";
        if (Load32(values) != r.crc) disagree("CRC", std::to_string(Load32(values)), std::to_string(r.crc));
        if (load(0) != r.compressedSize) disagree("compressed size", std::to_string(load(0)), std::to_string(r.compressedSize));
        if (load(1) != r.size) disagree("size", std::to_string(load(1)), std::to_string(r.size));
    }
}
