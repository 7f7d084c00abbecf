#pragma once
// The headers and section table of a Windows PE image in memory. The images
// come from payloads and setup files that may be damaged or hostile, so every
// read is bounds-checked.
#include <stdint.h>

#include <vector>

struct PeImage {
    // Reads the headers; `fault` says what is missing when they are not there.
    explicit PeImage(const std::vector<uint8_t>& image);

    // Little-endian, `size` up to 4 bytes; past the end reads 0 and clears `ok`.
    uint32_t At(uint64_t offset, int size);
    // The address in data directory `index`, 0 when the image has none there.
    uint32_t Directory(uint32_t index) { return index < directoryCount ? At(directories + 8 * index, 4) : 0; }
    // Sets `offset` to the file offset of `rva`; returns how many bytes of its
    // section follow it in the file, 0 when it lies in none.
    uint64_t Map(uint32_t rva, uint64_t& offset);

    const std::vector<uint8_t>& bytes;
    bool ok = true;
    const char* fault = nullptr;
    uint32_t machine = 0, characteristics = 0, sectionCount = 0, optionalSize = 0;
    uint32_t magic = 0, directoryCount = 0;  // magic: 0x10B PE32, 0x20B PE32+
    uint64_t optional = 0, directories = 0;  // file offsets of the optional header and data directory 0
};
