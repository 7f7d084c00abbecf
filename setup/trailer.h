#pragma once
#include <stddef.h>
#include <stdint.h>

// The 20-byte trailer at the end of a setup file, little-endian and packed:
// PayloadOffset (int64), Mode (int32), Magic "VRSFX001" (8 raw bytes).
constexpr uint32_t kTrailerSize = 20;
constexpr uint8_t kTrailerMagic[8] = {'V', 'R', 'S', 'F', 'X', '0', '0', '1'};
constexpr int32_t kModeMove = 2;  // every other value means Install

enum class TrailerResult {
    Missing,     // unreadable, short or wrong magic: no data inside
    BadPayload,  // magic matched, but the offset is 0 or the payload is empty
    Valid,
};

struct TrailerInfo {
    bool magicMatched = false;  // Mode is meaningful as soon as this is true
    int32_t mode = 0;
    int64_t payloadOffset = 0;
    int64_t payloadSize = 0;  // end - payloadOffset - 20
    int64_t end = 0;          // where the trailer ends: the file size, or the
                              // start of a certificate table's padding
    bool signedFile = false;  // the trailer was found before a certificate table
};

// Checks trailer bytes that end at `end` (bytesRead of the 20 arrived).
TrailerResult CheckTrailer(const uint8_t* bytes, size_t bytesRead, int64_t end, TrailerInfo& info);

// Random access to the setup file's bytes; returns how many arrived (0 on failure).
class ByteSource {
public:
    virtual uint32_t ReadAt(int64_t offset, void* buffer, uint32_t count) = 0;

protected:
    ~ByteSource() = default;
};

// Where the certificate table of a PE32+ image starts, when its security
// directory names one that ends exactly at the end of the file; -1 otherwise.
int64_t FindCertificateTable(ByteSource& file, int64_t fileSize);

// Finds the trailer: in the last 20 bytes, or, for a signed file, just before
// the certificate table after up to 7 zero bytes of alignment.
TrailerResult LocateTrailer(ByteSource& file, int64_t fileSize, TrailerInfo& info);

// Writes the trailer for a payload at payloadOffset (used by the packer).
void EncodeTrailer(int64_t payloadOffset, int32_t mode, uint8_t (&out)[kTrailerSize]);
