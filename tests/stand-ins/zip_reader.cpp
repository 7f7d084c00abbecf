#include "zip_reader.h"

#include <wchar.h>
#include <windows.h>
#include <zlib.h>

#include "standin_common.h"

namespace standin {
namespace {

constexpr uint32_t kLocalSignature = 0x04034b50;
constexpr uint32_t kCentralSignature = 0x02014b50;
constexpr uint32_t kEndSignature = 0x06054b50;
constexpr uint32_t kEnd64Signature = 0x06064b50;
constexpr uint32_t kEnd64LocatorSignature = 0x07064b50;
constexpr size_t kEndSize = 22;
constexpr size_t kCentralSize = 46;
constexpr size_t kLocalSize = 30;

uint16_t Get16(const std::string& b, uint64_t at) {
    return static_cast<uint16_t>(static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8);
}
uint32_t Get32(const std::string& b, uint64_t at) {
    return static_cast<uint32_t>(Get16(b, at)) | static_cast<uint32_t>(Get16(b, at + 2)) << 16;
}
uint64_t Get64(const std::string& b, uint64_t at) {
    return static_cast<uint64_t>(Get32(b, at)) | static_cast<uint64_t>(Get32(b, at + 4)) << 32;
}

bool Fits(const std::string& b, uint64_t at, uint64_t length) {
    return at <= b.size() && length <= b.size() - at;
}

std::wstring Quoted(const std::wstring& name) { return L"'" + name + L"'"; }

std::wstring Printable(const std::string& raw) {
    std::wstring out;
    for (unsigned char c : raw) {
        if (c >= 0x20 && c < 0x7f) {
            out += static_cast<wchar_t>(c);
        } else {
            static const wchar_t digits[] = L"0123456789abcdef";
            out += L"\\x";
            out += digits[c >> 4];
            out += digits[c & 0xF];
        }
    }
    return out;
}

// Finds the end of central directory record; the archive comment may follow it.
bool FindEnd(const std::string& b, uint64_t& end) {
    if (b.size() < kEndSize) return false;
    const uint64_t last = b.size() - kEndSize;
    const uint64_t first = last > 0xFFFF ? last - 0xFFFF : 0;
    for (uint64_t at = last + 1; at-- > first;) {
        if (Get32(b, at) == kEndSignature && at + kEndSize + Get16(b, at + 20) == b.size()) {
            end = at;
            return true;
        }
    }
    return false;
}

bool Inflate(const std::string& compressed, uint64_t expected, std::string& out) {
    // One spare byte catches an entry that inflates to more than it claims.
    out.assign(static_cast<size_t>(expected) + 1, '\0');
    z_stream stream{};
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) return false;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
    stream.avail_in = static_cast<uInt>(compressed.size());
    stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
    stream.avail_out = static_cast<uInt>(out.size());
    const int status = inflate(&stream, Z_FINISH);
    const bool ok = status == Z_STREAM_END && stream.total_out == expected;
    inflateEnd(&stream);
    out.resize(static_cast<size_t>(expected));
    return ok;
}

// Sizes and offset that do not fit 32 bits are in the Zip64 extra field, in
// this order, present only for the values set to 0xFFFFFFFF.
bool ApplyZip64(const std::string& extra, uint64_t& size, uint64_t& compressed, uint64_t& offset) {
    for (size_t at = 0; at + 4 <= extra.size();) {
        const uint16_t id = Get16(extra, at);
        const uint16_t length = Get16(extra, at + 2);
        if (at + 4 + length > extra.size()) return false;
        if (id == 0x0001) {
            size_t field = at + 4;
            const size_t stop = at + 4 + length;
            for (uint64_t* value : {&size, &compressed, &offset}) {
                if (*value != 0xFFFFFFFF) continue;
                if (field + 8 > stop) return false;
                *value = Get64(extra, field);
                field += 8;
            }
            return true;
        }
        at += 4 + length;
    }
    return size != 0xFFFFFFFF && compressed != 0xFFFFFFFF && offset != 0xFFFFFFFF;
}

}  // namespace

uint32_t Crc32(const std::string& bytes) {
    uLong crc = crc32(0L, Z_NULL, 0);
    const char* data = bytes.data();
    for (size_t left = bytes.size(); left > 0;) {
        const uInt chunk = left > 0x40000000 ? 0x40000000 : static_cast<uInt>(left);
        crc = crc32(crc, reinterpret_cast<const Bytef*>(data), chunk);
        data += chunk;
        left -= chunk;
    }
    return static_cast<uint32_t>(crc);
}

bool DecodeEntryName(const std::string& raw, bool utf8, std::wstring& path, bool& directory, std::wstring& error) {
    std::wstring name;
    if (utf8) {
        if (!FromUtf8(raw, name)) {
            error = L"entry name " + Printable(raw) + L" is flagged UTF-8 but is not UTF-8";
            return false;
        }
    } else {
        for (unsigned char c : raw) {
            if (c >= 0x80) {
                error = L"entry name " + Printable(raw) + L" is not ASCII and not flagged UTF-8";
                return false;
            }
            name += static_cast<wchar_t>(c);
        }
    }
    if (name.empty()) {
        error = L"an entry has an empty name";
        return false;
    }
    for (wchar_t c : name) {
        if (c < 0x20 || wcschr(L"<>\"|?*:", c) != nullptr) {
            error = L"entry name " + Quoted(name) + L" holds a character Windows names cannot";
            return false;
        }
    }
    if (name[0] == L'/' || name[0] == L'\\') {
        error = L"entry name " + Quoted(name) + L" is absolute";
        return false;
    }
    directory = name.back() == L'/' || name.back() == L'\\';
    path.clear();
    size_t start = 0;
    while (start <= name.size()) {
        size_t stop = name.find_first_of(L"/\\", start);
        if (stop == std::wstring::npos) stop = name.size();
        const std::wstring part = name.substr(start, stop - start);
        if (part == L"..") {
            error = L"entry name " + Quoted(name) + L" leads out of the destination";
            return false;
        }
        if (!part.empty() && part != L".") {
            if (!path.empty()) path += L'\\';
            path += part;
        }
        start = stop + 1;
    }
    if (path.empty()) {
        error = L"entry name " + Quoted(name) + L" names no file";
        return false;
    }
    return true;
}

bool ReadZip(const std::string& b, std::vector<ZipEntry>& entries, std::wstring& error) {
    entries.clear();
    uint64_t end = 0;
    if (!FindEnd(b, end)) {
        error = L"not a ZIP archive (no end of central directory)";
        return false;
    }
    uint64_t count = Get16(b, end + 10);
    uint64_t directorySize = Get32(b, end + 12);
    uint64_t directoryOffset = Get32(b, end + 16);
    if (Get16(b, end + 4) != 0 || Get16(b, end + 6) != 0 || Get16(b, end + 8) != count) {
        error = L"multi-volume ZIP archives are not supported";
        return false;
    }
    if (count == 0xFFFF || directorySize == 0xFFFFFFFF || directoryOffset == 0xFFFFFFFF) {
        // Zip64: the locator sits right before the classic end record.
        if (end < 20 || Get32(b, end - 20) != kEnd64LocatorSignature) {
            error = L"damaged ZIP archive (Zip64 locator missing)";
            return false;
        }
        const uint64_t end64 = Get64(b, end - 20 + 8);
        if (!Fits(b, end64, 56) || Get32(b, end64) != kEnd64Signature) {
            error = L"damaged ZIP archive (Zip64 end record missing)";
            return false;
        }
        count = Get64(b, end64 + 32);
        directorySize = Get64(b, end64 + 40);
        directoryOffset = Get64(b, end64 + 48);
    }
    if (!Fits(b, directoryOffset, directorySize)) {
        error = L"damaged ZIP archive (central directory outside the file)";
        return false;
    }

    uint64_t at = directoryOffset;
    for (uint64_t index = 0; index < count; ++index) {
        if (!Fits(b, at, kCentralSize) || Get32(b, at) != kCentralSignature) {
            error = L"damaged ZIP archive (central directory entry " + std::to_wstring(index + 1) + L")";
            return false;
        }
        const uint16_t flags = Get16(b, at + 8);
        const uint16_t method = Get16(b, at + 10);
        const uint32_t crc = Get32(b, at + 16);
        uint64_t compressedSize = Get32(b, at + 20);
        uint64_t size = Get32(b, at + 24);
        const uint16_t nameLength = Get16(b, at + 28);
        const uint16_t extraLength = Get16(b, at + 30);
        const uint16_t commentLength = Get16(b, at + 32);
        uint64_t localOffset = Get32(b, at + 42);
        if (!Fits(b, at + kCentralSize, static_cast<uint64_t>(nameLength) + extraLength + commentLength)) {
            error = L"damaged ZIP archive (central directory entry " + std::to_wstring(index + 1) + L")";
            return false;
        }
        const std::string rawName = b.substr(at + kCentralSize, nameLength);
        const std::string extra = b.substr(at + kCentralSize + nameLength, extraLength);
        at += kCentralSize + nameLength + extraLength + commentLength;

        ZipEntry entry;
        if (!DecodeEntryName(rawName, (flags & 0x0800) != 0, entry.path, entry.directory, error)) return false;
        const std::wstring name = Quoted(entry.path);
        if (flags & 0x0001) {
            error = L"entry " + name + L" is encrypted";
            return false;
        }
        if (method != 0 && method != 8) {
            error = L"entry " + name + L" uses compression method " + std::to_wstring(method);
            return false;
        }
        if (!ApplyZip64(extra, size, compressedSize, localOffset)) {
            error = L"damaged ZIP archive (Zip64 field of " + name + L")";
            return false;
        }
        if (!Fits(b, localOffset, kLocalSize) || Get32(b, localOffset) != kLocalSignature) {
            error = L"damaged ZIP archive (local header of " + name + L")";
            return false;
        }
        const uint16_t localNameLength = Get16(b, localOffset + 26);
        const uint16_t localExtraLength = Get16(b, localOffset + 28);
        const uint64_t dataOffset = localOffset + kLocalSize + localNameLength + localExtraLength;
        if (!Fits(b, localOffset + kLocalSize, localNameLength) ||
            b.compare(localOffset + kLocalSize, localNameLength, rawName) != 0) {
            error = L"damaged ZIP archive (local name of " + name + L" differs)";
            return false;
        }
        if (!Fits(b, dataOffset, compressedSize)) {
            error = L"damaged ZIP archive (data of " + name + L" outside the file)";
            return false;
        }
        const std::string compressed = b.substr(dataOffset, compressedSize);
        if (method == 0) {
            if (compressedSize != size) {
                error = L"damaged ZIP archive (stored entry " + name + L" has two sizes)";
                return false;
            }
            entry.data = compressed;
        } else if (!Inflate(compressed, size, entry.data)) {
            error = L"damaged ZIP archive (entry " + name + L" does not inflate to its size)";
            return false;
        }
        if (Crc32(entry.data) != crc) {
            error = L"CRC-32 mismatch in entry " + name + L": stored " + Hex8(crc) + L", data " +
                    Hex8(Crc32(entry.data));
            return false;
        }
        if (entry.directory && !entry.data.empty()) {
            error = L"folder entry " + name + L" holds data";
            return false;
        }
        entries.push_back(std::move(entry));
    }
    return true;
}

bool WriteEntries(const std::vector<ZipEntry>& entries, const std::wstring& destination, std::wstring& error) {
    std::wstring base = destination;
    if (!base.empty() && base.back() != L'\\' && base.back() != L'/') base += L'\\';
    for (const ZipEntry& entry : entries) {
        const std::wstring target = base + entry.path;
        if (entry.directory) {
            if (!CreateFolders(target, error)) return false;
            continue;
        }
        const size_t slash = target.find_last_of(L'\\');
        if (slash != std::wstring::npos && slash >= base.size() && !CreateFolders(target.substr(0, slash), error)) {
            return false;
        }
        HANDLE file = CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            error = L"cannot create " + target + L": " + SystemMessage(GetLastError());
            return false;
        }
        DWORD written = 0;
        const bool ok = entry.data.empty() || (WriteFile(file, entry.data.data(), static_cast<DWORD>(entry.data.size()),
                                                         &written, nullptr) &&
                                               written == entry.data.size());
        const DWORD code = GetLastError();
        CloseHandle(file);
        if (!ok) {
            error = L"cannot write " + target + L": " + SystemMessage(code);
            return false;
        }
    }
    return true;
}

}  // namespace standin
