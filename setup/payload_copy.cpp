#include "setup/payload_copy.h"

#include "setup/sealed_payload.h"

namespace {

constexpr DWORD kCopyChunk = 65536;
// Static so the copy never needs the heap or a large stack frame; it holds
// one sealed chunk and its tag.
unsigned char g_copyBuffer[kSealedChunkSize];

// A refused seek (a negative offset) must not copy from wherever the pointer was.
bool SeekTo(HANDLE file, int64_t offset) {
    LARGE_INTEGER position;
    position.QuadPart = offset;
    return SetFilePointerEx(file, position, nullptr, FILE_BEGIN) != 0;
}

bool WriteAll(HANDLE archive, DWORD length) {
    DWORD written = 0;
    return WriteFile(archive, g_copyBuffer, length, &written, nullptr) && written == length;
}

}  // namespace

CopyResult CopyPayload(HANDLE setupFile, HANDLE archive, int64_t payloadOffset, int64_t payloadSize) {
    if (!SeekTo(setupFile, payloadOffset)) return CopyResult::ReadFailed;
    int64_t remaining = payloadSize;
    while (remaining > 0) {
        const DWORD request = remaining < kCopyChunk ? static_cast<DWORD>(remaining) : kCopyChunk;
        DWORD got = 0;
        if (!ReadFile(setupFile, g_copyBuffer, request, &got, nullptr) || got == 0) return CopyResult::ReadFailed;
        if (!WriteAll(archive, got)) return CopyResult::WriteFailed;
        remaining -= got;
    }
    return CopyResult::Copied;
}

CopyResult CopySealedPayload(HANDLE setupFile, HANDLE archive, int64_t payloadOffset, int64_t payloadSize,
                             GcmCipher& cipher) {
    if (!SeekTo(setupFile, payloadOffset + kSealHeaderSize)) return CopyResult::ReadFailed;
    for (uint64_t index = 0;; ++index) {
        bool last = false;
        const DWORD sealed = SealedChunkAt(payloadSize, index, last);
        if (sealed == 0) return CopyResult::Damaged;
        for (DWORD have = 0, got = 0; have < sealed; have += got) {
            if (!ReadFile(setupFile, g_copyBuffer + have, sealed - have, &got, nullptr) || got == 0)
                return CopyResult::ReadFailed;
        }
        const DWORD length = sealed - kSealTagSize;
        uint8_t nonce[kSealNonceSize];
        SealNonce(index, last ? SealNonceKind::LastChunk : SealNonceKind::Chunk, nonce);
        const auto& tag = *reinterpret_cast<const uint8_t(*)[kSealTagSize]>(g_copyBuffer + length);
        if (!cipher.Open(nonce, nullptr, 0, g_copyBuffer, length, g_copyBuffer, tag)) return CopyResult::Damaged;
        if (!WriteAll(archive, length)) return CopyResult::WriteFailed;
        if (last) return CopyResult::Copied;
    }
}
