#pragma once
// A setup file: the setup program image, the ZIP payload, then the trailer.
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "byte_sink.h"
#include "setup/trailer.h"

// ByteSource over an open file descriptor.
class FdByteSource final : public ByteSource {
public:
    explicit FdByteSource(int fd) : fd_(fd) {}
    uint32_t ReadAt(int64_t offset, void* buffer, uint32_t count) override;

private:
    int fd_;
};

// ByteSource over bytes in memory.
class MemoryByteSource final : public ByteSource {
public:
    explicit MemoryByteSource(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
    uint32_t ReadAt(int64_t offset, void* buffer, uint32_t count) override;

private:
    const std::vector<uint8_t>& bytes_;
};

// Reads the setup program image; refuses one that is not a PE file ("MZ")
// or that already ends with a trailer.
std::vector<uint8_t> ReadProgramImage(const std::string& path);

struct SetupFileInfo {
    uint64_t fileSize = 0;
    uint64_t payloadOffset = 0;
    uint64_t payloadSize = 0;
    int32_t mode = 0;
};

// Refuses an output path that cannot take the setup file, before any work:
// a folder, or the very file (however named) of an input.
void CheckOutputPath(const std::string& output, const std::vector<std::string>& inputs);

// An open file with no name in the output's folder, gone when closed: where a
// ZIP payload is unpacked before it is written afresh.
int CreateSpool(const std::string& output);

// Writes program + payload + trailer to a temporary file in the output's
// folder and renames it into place; on any failure, or on an interrupt, the
// temporary file is removed and `output` is left as it was. writePayload
// writes the ZIP archive to the sink it is given, in order after the program;
// the payload's size is what the sink took. With checkWritten, the file is
// flushed and read back whole from the device against what was written, then
// checkWritten is called, before the rename; it throws to leave nothing under `output`.
SetupFileInfo WriteSetupFile(const std::string& output, const std::vector<uint8_t>& program, int32_t mode,
                             const std::function<void(ByteSink&)>& writePayload,
                             const std::function<void(int fd, const SetupFileInfo&)>& checkWritten = {});
