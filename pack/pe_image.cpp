#include "pe_image.h"

#include <algorithm>

PeImage::PeImage(const std::vector<uint8_t>& image) : bytes(image) {
    const uint64_t header = At(0x3C, 4);
    fault = At(0, 2) != 0x5A4D       ? "not a Windows program (no MZ header)"
            : At(header, 4) != 0x4550 ? "not a Windows PE program (no PE header)"
                                      : nullptr;
    if (fault != nullptr) return;
    // A short file leaves these 0 and `ok` false, for the caller to word.
    machine = At(header + 4, 2), sectionCount = At(header + 6, 2);
    optionalSize = At(header + 20, 2), characteristics = At(header + 22, 2);
    optional = header + 24, magic = At(optional, 2);
    directories = optional + (magic == 0x20B ? 112 : 96), directoryCount = At(directories - 4, 4);
}

uint32_t PeImage::At(uint64_t offset, int size) {
    if (offset > bytes.size() || bytes.size() - offset < static_cast<uint64_t>(size)) {
        ok = false;
        return 0;
    }
    uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i) value = value << 8 | bytes[offset + i];
    return value;
}

uint64_t PeImage::Map(uint32_t rva, uint64_t& offset) {
    for (uint32_t i = 0; i < sectionCount; ++i) {
        const uint64_t s = optional + optionalSize + 40 * uint64_t{i};
        const uint32_t address = At(s + 12, 4), rawSize = At(s + 16, 4), raw = At(s + 20, 4);
        if (!ok) return 0;
        if (rva < address || rva - address >= rawSize) continue;
        offset = uint64_t{raw} + (rva - address);
        const uint64_t end = std::min<uint64_t>(uint64_t{raw} + rawSize, bytes.size());
        return offset < end ? end - offset : 0;
    }
    return 0;
}
