#pragma once
// A payload sealed under a password (the layout is in setup/sealed_payload.h):
// written as the ZIP streams, and read back chunk by chunk at any offset.
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "byte_sink.h"
#include "payload_source.h"
#include "setup/crypto.h"
#include "setup/sealed_payload.h"

// Seals what it is given in chunks and passes them on to `out`, the header
// first. Finish seals the last chunk; without it the container is incomplete.
class SealingSink final : public ByteSink {
public:
    SealingSink(ByteSink& out, const std::string& password, uint32_t iterations = kSealIterations);
    void Write(const void* data, size_t length) override;
    void Finish();

private:
    void SealChunk(bool last);

    ByteSink& out_;
    GcmCipher cipher_;
    std::vector<uint8_t> chunk_;
    uint64_t index_ = 0;
};

// Why a sealed payload does not open, when it is the password.
constexpr char kWrongPassword[] = "the password is not right";

// The ZIP inside a container of `size` bytes that `read` gives. Throws
// Failure (status 1) when the header is not one a reader takes, or the
// password is not right; ReadAt throws when a chunk fails its tag.
class SealedReader {
public:
    SealedReader(RawReadFn read, int64_t size, const std::string& password);
    int64_t plainSize() const { return plainSize_; }
    int64_t ReadAt(int64_t offset, void* buffer, size_t length);

private:
    void Load(uint64_t index);

    RawReadFn read_;
    int64_t size_, plainSize_ = 0;
    GcmCipher cipher_;
    std::vector<uint8_t> chunk_;  // the plain chunk at index_
    uint64_t index_ = UINT64_MAX;
};

// The header of the container that `read` gives, when it starts with the
// magic; false for a plain payload. Throws Failure (status 1) for a header a
// reader does not take.
bool ReadSealHeader(const RawReadFn& read, int64_t size, SealHeader& header);

// Overwrites a secret before its memory is given back.
void Wipe(std::string& secret);

// The password: standard input's first line, without its line break, or
// typed twice on the console, unseen. For a new file (`confirm`), one under
// 8 code points is refused (status 2).
std::string ReadPassword(bool fromStdin, bool confirm);
