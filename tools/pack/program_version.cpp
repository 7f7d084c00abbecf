#include "program_version.h"

#include <string.h>

namespace {

constexpr uint32_t kResourceDirectory = 2;
constexpr uint32_t kVersionType = 16;
constexpr uint32_t kSubdirectory = 0x80000000u;
constexpr uint32_t kFixedInfoSignature = 0xFEEF04BDu;
constexpr size_t kFixedInfoStart = 40;  // after the block header and L"VS_VERSION_INFO", aligned

// Bounded little-endian reads: anything outside [0, end) reads as absent.
class Reader {
public:
    Reader(ByteSource& file, int64_t end) : file_(file), end_(end) {}
    bool Read(int64_t offset, void* out, uint32_t size) {
        return offset >= 0 && offset + size <= end_ && file_.ReadAt(offset, out, size) == size;
    }
    bool U16(int64_t offset, uint32_t& value) {
        uint8_t b[2];
        if (!Read(offset, b, 2)) return false;
        value = b[0] | b[1] << 8;
        return true;
    }
    bool U32(int64_t offset, uint32_t& value) {
        uint8_t b[4];
        if (!Read(offset, b, 4)) return false;
        value = b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
        return true;
    }

private:
    ByteSource& file_;
    int64_t end_;
};

// Maps a relative virtual address to a file offset through the section table.
bool FileOffset(Reader& r, int64_t sections, uint32_t count, uint32_t rva, int64_t& offset) {
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t size, address, rawSize, rawStart;
        const int64_t at = sections + 40 * int64_t{i};
        if (!r.U32(at + 8, size) || !r.U32(at + 12, address) || !r.U32(at + 16, rawSize) || !r.U32(at + 20, rawStart))
            return false;
        if (rva >= address && rva - address < (rawSize < size ? rawSize : size)) {
            offset = int64_t{rawStart} + (rva - address);
            return true;
        }
    }
    return false;
}

// The entry of a resource directory with the given id, or its first entry (id 0).
bool FindEntry(Reader& r, int64_t root, uint32_t directory, uint32_t id, uint32_t& target) {
    uint32_t named, ids;
    const int64_t at = root + directory;
    if (!r.U16(at + 12, named) || !r.U16(at + 14, ids)) return false;
    for (uint32_t i = id == 0 ? 0 : named; i < named + ids; ++i) {
        uint32_t name;
        if (!r.U32(at + 16 + 8 * int64_t{i}, name) || !r.U32(at + 20 + 8 * int64_t{i}, target)) return false;
        if (id == 0 || name == id) return true;
    }
    return false;
}

}  // namespace

std::string ReadProgramVersion(ByteSource& file, int64_t end) {
    Reader r(file, end);
    uint8_t mz[2], pe[4];
    uint32_t header, sectionCount, optionalSize, magic, directories, resourceRva;
    if (!r.Read(0, mz, 2) || memcmp(mz, "MZ", 2) != 0 || !r.U32(0x3C, header)) return "";
    if (!r.Read(header, pe, 4) || memcmp(pe, "PE\0\0", 4) != 0) return "";
    const int64_t optional = int64_t{header} + 24;
    if (!r.U16(header + 6, sectionCount) || !r.U16(header + 20, optionalSize) || !r.U16(optional, magic) ||
        magic != 0x20B || !r.U32(optional + 108, directories) || directories <= kResourceDirectory ||
        !r.U32(optional + 112 + 8 * kResourceDirectory, resourceRva) || resourceRva == 0)
        return "";
    const int64_t sections = optional + optionalSize;
    int64_t root, data;
    uint32_t type, name, language, dataRva, dataSize, signature, ms, ls;
    if (!FileOffset(r, sections, sectionCount, resourceRva, root) ||
        !FindEntry(r, root, 0, kVersionType, type) || !(type & kSubdirectory) ||
        !FindEntry(r, root, type & ~kSubdirectory, 0, name) || !(name & kSubdirectory) ||
        !FindEntry(r, root, name & ~kSubdirectory, 0, language) || (language & kSubdirectory) ||
        !r.U32(root + language, dataRva) || !r.U32(root + language + 4, dataSize) ||
        dataSize < kFixedInfoStart + 24 || !FileOffset(r, sections, sectionCount, dataRva, data) ||
        !r.U32(data + kFixedInfoStart, signature) || signature != kFixedInfoSignature ||
        !r.U32(data + kFixedInfoStart + 16, ms) || !r.U32(data + kFixedInfoStart + 20, ls))
        return "";
    std::string version = std::to_string(ms >> 16) + "." + std::to_string(ms & 0xFFFF) + "." + std::to_string(ls >> 16);
    if ((ls & 0xFFFF) != 0) version += "." + std::to_string(ls & 0xFFFF);
    return version;
}
