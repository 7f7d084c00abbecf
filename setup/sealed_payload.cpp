#include "setup/sealed_payload.h"

namespace {

uint32_t GetU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

void PutLe(uint8_t* p, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

bool HasSealMagic(const uint8_t* bytes, size_t length) {
    if (length < sizeof kSealMagic) return false;
    for (size_t i = 0; i < sizeof kSealMagic; ++i) {
        if (bytes[i] != kSealMagic[i]) return false;
    }
    return true;
}

bool ParseSealHeader(const uint8_t (&bytes)[kSealHeaderSize], SealHeader& header) {
    header.iterations = GetU32(bytes + 12);
    for (uint32_t i = 0; i < kSealSaltSize; ++i) header.salt[i] = bytes[16 + i];
    return HasSealMagic(bytes, kSealHeaderSize) && GetU32(bytes + 8) == kSealKdfPbkdf2Sha256 &&
           header.iterations >= kSealMinIterations && header.iterations <= kSealMaxIterations;
}

void EncodeSealHeader(const SealHeader& header, uint8_t (&out)[kSealHeaderSize]) {
    for (size_t i = 0; i < sizeof kSealMagic; ++i) out[i] = kSealMagic[i];
    PutLe(out + 8, kSealKdfPbkdf2Sha256, 4);
    PutLe(out + 12, header.iterations, 4);
    for (uint32_t i = 0; i < kSealSaltSize; ++i) out[16 + i] = header.salt[i];
}

void SealNonce(uint64_t index, SealNonceKind kind, uint8_t (&nonce)[kSealNonceSize]) {
    PutLe(nonce, index, 8);
    PutLe(nonce + 8, static_cast<uint32_t>(kind), 4);
}

uint32_t SealedChunkAt(int64_t containerSize, uint64_t index, bool& last) {
    last = false;
    if (containerSize <= static_cast<int64_t>(kSealHeaderSize)) return 0;
    const uint64_t body = static_cast<uint64_t>(containerSize) - kSealHeaderSize;
    const uint64_t count = (body + kSealedChunkSize - 1) / kSealedChunkSize;
    if (index >= count) return 0;
    last = index + 1 == count;
    const uint64_t size = last ? body - index * kSealedChunkSize : kSealedChunkSize;
    return size < kSealTagSize ? 0 : static_cast<uint32_t>(size);
}
