#pragma once
// The container that holds a password-protected payload in place of the ZIP,
// little-endian:
//   header (48 bytes): magic "VRSEAL01", KDF (uint32, 1: PBKDF2-HMAC-SHA256
//     giving an AES-256-GCM key), iterations (uint32), salt (16 bytes), and
//     the header's tag: AES-256-GCM over no data, with bytes 0-31 as the
//     associated data and the header nonce;
//   then the ZIP in chunks of 65,536 bytes (the last one 0 to 65,536), each
//     sealed on its own and followed by its 16-byte tag.
// A nonce is the chunk's index (uint64) followed by its kind (uint32): 0 for
// a chunk, 1 for the last chunk, 2 for the header. So a chunk moved, dropped
// or cut off, or a last chunk missing, fails its tag.
#include <stddef.h>
#include <stdint.h>

constexpr uint8_t kSealMagic[8] = {'V', 'R', 'S', 'E', 'A', 'L', '0', '1'};
constexpr uint32_t kSealHeaderSize = 48;
constexpr uint32_t kSealAuthenticatedSize = 32;  // the header before its tag
constexpr uint32_t kSealKdfPbkdf2Sha256 = 1;
constexpr uint32_t kSealSaltSize = 16;
constexpr uint32_t kSealKeySize = 32;
constexpr uint32_t kSealNonceSize = 12;
constexpr uint32_t kSealTagSize = 16;
constexpr uint32_t kSealChunkData = 65536;
constexpr uint32_t kSealedChunkSize = kSealChunkData + kSealTagSize;
constexpr uint32_t kSealIterations = 600000;  // what the packer writes
// Counts outside these are a forged or damaged header: a huge one would hang
// the reader in the key derivation.
constexpr uint32_t kSealMinIterations = 600000;
constexpr uint32_t kSealMaxIterations = 20000000;

enum class SealNonceKind : uint32_t { Chunk = 0, LastChunk = 1, Header = 2 };

struct SealHeader {
    uint32_t iterations = 0;
    uint8_t salt[kSealSaltSize] = {};
};

bool HasSealMagic(const uint8_t* bytes, size_t length);
// False when the KDF or the count is not one a reader takes.
bool ParseSealHeader(const uint8_t (&bytes)[kSealHeaderSize], SealHeader& header);
// Writes bytes 0-31; the tag is the caller's, under the derived key.
void EncodeSealHeader(const SealHeader& header, uint8_t (&out)[kSealHeaderSize]);
void SealNonce(uint64_t index, SealNonceKind kind, uint8_t (&nonce)[kSealNonceSize]);
// The sealed size (tag included) of the chunk at `index` in a container of
// `containerSize` bytes, and whether it is the last; 0 past the end or for a
// container no writer makes (no chunk, or a last one shorter than its tag).
uint32_t SealedChunkAt(int64_t containerSize, uint64_t index, bool& last);
