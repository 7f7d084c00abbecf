#include "program_version.h"

#include <vector>

#include "pe_image.h"

namespace {

constexpr uint32_t kResourceDirectory = 2;
constexpr uint32_t kVersionType = 16;
constexpr uint32_t kSubdirectory = 0x80000000u;
constexpr uint32_t kFixedInfoSignature = 0xFEEF04BDu;
constexpr size_t kFixedInfoStart = 40;  // after the block header and L"VS_VERSION_INFO", aligned
// The setup program is well under this; a larger image is not read into memory.
constexpr int64_t kMaxImage = 16 << 20;

// The entry of a resource directory with the given id, or its first entry (id 0).
bool FindEntry(PeImage& r, uint64_t root, uint32_t directory, uint32_t id, uint32_t& target) {
    const uint64_t at = root + directory;
    const uint32_t named = r.At(at + 12, 2), ids = r.At(at + 14, 2);
    for (uint32_t i = id == 0 ? 0 : named; r.ok && i < named + ids; ++i) {
        const uint32_t name = r.At(at + 16 + 8 * uint64_t{i}, 4);
        target = r.At(at + 20 + 8 * uint64_t{i}, 4);
        if (r.ok && (id == 0 || name == id)) return true;
    }
    return false;
}

}  // namespace

std::string ReadProgramVersion(ByteSource& file, int64_t end) {
    if (end <= 0 || end > kMaxImage) return "";
    std::vector<uint8_t> bytes(static_cast<size_t>(end));
    if (file.ReadAt(0, bytes.data(), static_cast<uint32_t>(end)) != end) return "";
    PeImage r(bytes);
    const uint32_t resources = r.Directory(kResourceDirectory);
    uint64_t root, data;
    uint32_t type, name, language;
    if (r.fault != nullptr || r.magic != 0x20B || resources == 0 || r.Map(resources, root) == 0 ||
        !FindEntry(r, root, 0, kVersionType, type) || !(type & kSubdirectory) ||
        !FindEntry(r, root, type & ~kSubdirectory, 0, name) || !(name & kSubdirectory) ||
        !FindEntry(r, root, name & ~kSubdirectory, 0, language) || (language & kSubdirectory))
        return "";
    const uint32_t dataRva = r.At(root + language, 4), dataSize = r.At(root + language + 4, 4);
    if (!r.ok || dataSize < kFixedInfoStart + 24 || r.Map(dataRva, data) == 0) return "";
    const uint32_t signature = r.At(data + kFixedInfoStart, 4), ms = r.At(data + kFixedInfoStart + 16, 4),
                   ls = r.At(data + kFixedInfoStart + 20, 4);
    if (!r.ok || signature != kFixedInfoSignature) return "";
    std::string version = std::to_string(ms >> 16) + "." + std::to_string(ms & 0xFFFF) + "." + std::to_string(ls >> 16);
    if ((ls & 0xFFFF) != 0) version += "." + std::to_string(ls & 0xFFFF);
    return version;
}
