#pragma once
#include <stdint.h>
#include <windows.h>

enum class CopyResult {
    Copied,
    ReadFailed,   // a refused seek, a failed read, or the file ended early
    WriteFailed,  // a failed or short write: the archive would be cut
};

// Streams payloadSize bytes from payloadOffset of the setup file into the archive.
CopyResult CopyPayload(HANDLE setupFile, HANDLE archive, int64_t payloadOffset, int64_t payloadSize);
