// Reads a ZIP archive held in memory: stored and deflated entries, checked
// against their CRC-32, with names that are safe to unpack below a folder.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace standin {

struct ZipEntry {
    std::wstring path;  // relative, '\' between parts, no empty, '.' or '..' parts
    bool directory = false;
    std::string data;
};

uint32_t Crc32(const std::string& bytes);

// Names flagged UTF-8 (general purpose bit 11) are decoded as UTF-8; others
// must be plain ASCII. Absolute names, drive letters, ':' and '..' parts are
// refused. False with a reason for anything unsafe or undecodable.
bool DecodeEntryName(const std::string& raw, bool utf8, std::wstring& path, bool& directory, std::wstring& error);

// The whole archive, in central directory order. False with a reason when it
// is not a ZIP archive, is damaged or holds something this reader refuses.
bool ReadZip(const std::string& archive, std::vector<ZipEntry>& entries, std::wstring& error);

// Writes the entries below `destination` (which must exist): folders are
// created as needed, existing files overwritten, other files left alone.
bool WriteEntries(const std::vector<ZipEntry>& entries, const std::wstring& destination, std::wstring& error);

}  // namespace standin
