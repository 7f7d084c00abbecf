#include "setup/payload_copy.h"

namespace {

constexpr DWORD kCopyChunk = 65536;
// Static so the copy never needs the heap or a large stack frame.
unsigned char g_copyBuffer[kCopyChunk];

}  // namespace

CopyResult CopyPayload(HANDLE setupFile, HANDLE archive, int64_t payloadOffset, int64_t payloadSize) {
    LARGE_INTEGER position;
    position.QuadPart = payloadOffset;
    // A refused seek (a negative offset) must not copy from wherever the pointer was.
    if (!SetFilePointerEx(setupFile, position, nullptr, FILE_BEGIN)) return CopyResult::ReadFailed;
    int64_t remaining = payloadSize;
    while (remaining > 0) {
        const DWORD request = remaining < kCopyChunk ? static_cast<DWORD>(remaining) : kCopyChunk;
        DWORD got = 0;
        if (!ReadFile(setupFile, g_copyBuffer, request, &got, nullptr) || got == 0) return CopyResult::ReadFailed;
        DWORD written = 0;
        if (!WriteFile(archive, g_copyBuffer, got, &written, nullptr) || written != got)
            return CopyResult::WriteFailed;
        remaining -= got;
    }
    return CopyResult::Copied;
}
