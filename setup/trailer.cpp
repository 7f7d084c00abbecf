#include "trailer.h"

#include <string.h>

namespace {

uint32_t LoadU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint64_t LoadU64(const uint8_t* p) {
    return static_cast<uint64_t>(LoadU32(p)) | static_cast<uint64_t>(LoadU32(p + 4)) << 32;
}

uint16_t LoadU16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

bool HasMagic(const uint8_t* trailerBytes) {
    return memcmp(trailerBytes + 12, kTrailerMagic, sizeof kTrailerMagic) == 0;
}

// Offsets inside a PE32+ image.
constexpr uint32_t kDosLfanewOffset = 0x3C;
constexpr uint32_t kOptionalHeaderOffset = 24;      // after "PE\0\0" and the file header
constexpr uint32_t kSecurityDirectoryOffset = 144;  // entry 4 of the PE32+ data directories
constexpr uint32_t kRvaCountOffset = 108;
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr uint32_t kMaxAlignment = 7;

}  // namespace

TrailerResult CheckTrailer(const uint8_t* bytes, size_t bytesRead, int64_t end, TrailerInfo& info) {
    info.end = end;
    if (bytesRead < kTrailerSize || !HasMagic(bytes)) return TrailerResult::Missing;
    info.magicMatched = true;
    info.mode = static_cast<int32_t>(LoadU32(bytes + 8));
    info.payloadOffset = static_cast<int64_t>(LoadU64(bytes));
    // Computed in unsigned arithmetic: a wild offset must not overflow.
    info.payloadSize = static_cast<int64_t>(static_cast<uint64_t>(end) -
                                            static_cast<uint64_t>(info.payloadOffset) - kTrailerSize);
    if (info.payloadOffset == 0 || info.payloadSize <= 0) return TrailerResult::BadPayload;
    return TrailerResult::Valid;
}

int64_t FindCertificateTable(ByteSource& file, int64_t fileSize) {
    uint8_t dos[64];
    if (fileSize < static_cast<int64_t>(sizeof dos) || file.ReadAt(0, dos, sizeof dos) != sizeof dos) return -1;
    if (dos[0] != 'M' || dos[1] != 'Z') return -1;
    const uint32_t peOffset = LoadU32(dos + kDosLfanewOffset);
    uint8_t headers[kOptionalHeaderOffset + kSecurityDirectoryOffset + 8];
    if (static_cast<int64_t>(peOffset) + static_cast<int64_t>(sizeof headers) > fileSize) return -1;
    if (file.ReadAt(peOffset, headers, sizeof headers) != sizeof headers) return -1;
    if (memcmp(headers, "PE\0\0", 4) != 0) return -1;
    const uint16_t optionalSize = LoadU16(headers + 20);
    const uint8_t* optional = headers + kOptionalHeaderOffset;
    if (optionalSize < kSecurityDirectoryOffset + 8 || LoadU16(optional) != kPe32PlusMagic) return -1;
    if (LoadU32(optional + kRvaCountOffset) <= 4) return -1;
    // The security directory's address is a file offset, not an RVA.
    const int64_t tableStart = LoadU32(optional + kSecurityDirectoryOffset);
    const int64_t tableSize = LoadU32(optional + kSecurityDirectoryOffset + 4);
    if (tableStart == 0 || tableSize == 0 || tableStart + tableSize != fileSize) return -1;
    return tableStart;
}

TrailerResult LocateTrailer(ByteSource& file, int64_t fileSize, TrailerInfo& info) {
    info = TrailerInfo{};
    uint8_t last[kTrailerSize];
    uint32_t got = fileSize >= kTrailerSize ? file.ReadAt(fileSize - kTrailerSize, last, kTrailerSize) : 0;
    if (got == kTrailerSize && HasMagic(last)) return CheckTrailer(last, got, fileSize, info);

    const int64_t tableStart = FindCertificateTable(file, fileSize);
    if (tableStart >= kTrailerSize + kMaxAlignment) {
        // The 27 bytes before the table: the trailer, then up to 7 zero bytes.
        uint8_t tail[kTrailerSize + kMaxAlignment];
        if (file.ReadAt(tableStart - sizeof tail, tail, sizeof tail) == sizeof tail) {
            for (uint32_t padding = 0; padding <= kMaxAlignment; ++padding) {
                if (padding > 0 && tail[sizeof tail - padding] != 0) break;
                const uint8_t* candidate = tail + kMaxAlignment - padding;
                if (HasMagic(candidate)) {
                    TrailerResult result = CheckTrailer(candidate, kTrailerSize, tableStart - padding, info);
                    info.signedFile = true;
                    return result;
                }
            }
        }
    }
    return CheckTrailer(last, got, fileSize, info);
}

void EncodeTrailer(int64_t payloadOffset, int32_t mode, uint8_t (&out)[kTrailerSize]) {
    const uint64_t offset = static_cast<uint64_t>(payloadOffset);
    for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(offset >> (8 * i));
    const uint32_t m = static_cast<uint32_t>(mode);
    for (int i = 0; i < 4; ++i) out[8 + i] = static_cast<uint8_t>(m >> (8 * i));
    memcpy(out + 12, kTrailerMagic, sizeof kTrailerMagic);
}
