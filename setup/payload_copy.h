#pragma once
#include <stdint.h>
#include <windows.h>

#include "setup/crypto.h"

enum class CopyResult {
    Copied,
    ReadFailed,   // a refused seek, a failed read, or the file ended early
    WriteFailed,  // a failed or short write: the archive would be cut
    Damaged,      // a sealed chunk failed its tag: changed, moved, cut off or missing
};

// Streams payloadSize bytes from payloadOffset of the setup file into the archive.
CopyResult CopyPayload(HANDLE setupFile, HANDLE archive, int64_t payloadOffset, int64_t payloadSize);

// The same for a sealed payload: opens each chunk after the header with
// `cipher` and writes only what passed its tag.
CopyResult CopySealedPayload(HANDLE setupFile, HANDLE archive, int64_t payloadOffset, int64_t payloadSize,
                             GcmCipher& cipher);
