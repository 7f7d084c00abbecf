#include "payload_source.h"

#include <archive.h>
#include <archive_entry.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>

#include "failure.h"
#include "interpreter_check.h"

namespace fs = std::filesystem;

namespace {

using ArchivePtr = std::unique_ptr<archive, decltype(&archive_read_free)>;

std::string ArchiveError(archive* a) {
    const char* message = archive_error_string(a);
    return message != nullptr ? message : "unknown error";
}

EntryKind KindOf(mode_t type) {
    switch (type) {
        case AE_IFREG: return EntryKind::File;
        case AE_IFDIR: return EntryKind::Directory;
        case AE_IFLNK: return EntryKind::Symlink;
        default: return EntryKind::Other;
    }
}

// Reads every header (and every entry's data) of an opened archive.
std::vector<PayloadEntry> ReadEntries(archive* a, const std::string& what, EntryContents* contents) {
    std::vector<PayloadEntry> entries;
    const auto fail = [&](const std::string& detail) -> std::vector<PayloadEntry> {
        Refuse(what + ": not a usable ZIP archive: " + detail);
    };
    for (;;) {
        archive_entry* header = nullptr;
        const int result = archive_read_next_header(a, &header);
        if (result == ARCHIVE_EOF) break;
        const char* raw = header != nullptr ? archive_entry_pathname(header) : nullptr;
        if (result == ARCHIVE_WARN) {
            // libarchive warns when a name flagged as UTF-8 is not.
            Refuse(what + ": " + (raw != nullptr ? Printable(raw) + ": " : std::string("an entry ")) +
                   "name is not valid UTF-8 (" + ArchiveError(a) + ")");
        }
        if (result != ARCHIVE_OK) return fail(ArchiveError(a));
        PayloadEntry entry;
        entry.path = raw != nullptr ? raw : "";
        entry.kind = KindOf(archive_entry_filetype(header));
        if (entry.kind == EntryKind::Directory) {
            while (!entry.path.empty() && entry.path.back() == '/') entry.path.pop_back();
        }
        std::vector<uint8_t>* keep =
            contents != nullptr && entry.kind == EntryKind::File && NeedsInterpreterContent(entry.path)
                ? &(*contents)[entry.path] : nullptr;
        // Count what really decompresses rather than trusting the header.
        const void* block;
        size_t length;
        la_int64_t offset;
        int dataResult;
        while ((dataResult = archive_read_data_block(a, &block, &length, &offset)) == ARCHIVE_OK) {
            entry.size = std::max<uint64_t>(entry.size, static_cast<uint64_t>(offset) + length);
            if (keep != nullptr && length > 0) {
                keep->resize(std::max<size_t>(keep->size(), static_cast<size_t>(offset) + length));
                memcpy(keep->data() + offset, block, length);
            }
        }
        if (dataResult != ARCHIVE_EOF) return fail(Printable(entry.path) + ": " + ArchiveError(a));
        entries.push_back(std::move(entry));
    }
    return entries;
}

ArchivePtr NewZipReader() {
    ArchivePtr a(archive_read_new(), archive_read_free);
    // Seekable: the central directory, which extractors go by, names the entries.
    archive_read_support_format_zip_seekable(a.get());
    return a;
}

// Reads [offset, offset + size) of a file as if it were the whole archive.
struct Range {
    int fd;
    int64_t start;
    int64_t size;
    int64_t position = 0;
    uint8_t buffer[64 * 1024];
};

la_ssize_t RangeRead(archive* a, void* data, const void** block) {
    auto* range = static_cast<Range*>(data);
    const int64_t wanted = std::min<int64_t>(sizeof range->buffer, range->size - range->position);
    if (wanted <= 0) return 0;
    const ssize_t got = pread(range->fd, range->buffer, static_cast<size_t>(wanted), range->start + range->position);
    if (got < 0) {
        archive_set_error(a, errno, "read failed: %s", strerror(errno));
        return -1;
    }
    range->position += got;
    *block = range->buffer;
    return got;
}

la_int64_t RangeSeek(archive*, void* data, la_int64_t offset, int whence) {
    auto* range = static_cast<Range*>(data);
    const int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? range->position : range->size;
    const int64_t target = base + offset;
    if (target < 0 || target > range->size) return ARCHIVE_FATAL;
    range->position = target;
    return target;
}

la_int64_t RangeSkip(archive* a, void* data, la_int64_t request) {
    auto* range = static_cast<Range*>(data);
    const int64_t skipped = std::min<int64_t>(request, range->size - range->position);
    return RangeSeek(a, data, skipped, SEEK_CUR) < 0 ? 0 : skipped;
}

// libarchive finds the entries of an archive with anything in front of it,
// but the offsets inside would then be off once it is embedded (or the
// payload offset is wrong): the archive must begin with its first entry.
bool StartsWithEntry(int fd, int64_t offset) {
    char signature[4] = {};
    return pread(fd, signature, sizeof signature, offset) == 4 && memcmp(signature, "PK\3\4", 4) == 0;
}

constexpr char kNoFirstEntry[] = ": not a ZIP archive that starts with its first entry";

}  // namespace

std::vector<PayloadEntry> ListFolder(const std::string& root, EntryContents* contents) {
    std::vector<PayloadEntry> entries;
    std::error_code error;
    const auto failed = [&](const fs::path& where) {
        Refuse("cannot read payload folder " + Printable(where.string()) + ": " + error.message());
    };
    fs::recursive_directory_iterator it(root, error), end;
    if (error) failed(root);
    for (; it != end; it.increment(error)) {
        if (error) failed(it->path());
        const fs::path& path = it->path();
        PayloadEntry entry;
        entry.path = path.lexically_relative(root).generic_string();
        const fs::file_status status = it->symlink_status(error);
        if (error) failed(path);
        switch (status.type()) {
            case fs::file_type::regular:
                entry.kind = EntryKind::File;
                entry.size = it->file_size(error);
                if (error) failed(path);
                if (contents != nullptr && NeedsInterpreterContent(entry.path)) {
                    std::vector<uint8_t>& bytes = (*contents)[entry.path];
                    bytes.resize(entry.size);
                    std::ifstream in(path, std::ios::binary);
                    if (!in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(entry.size))) {
                        Refuse("cannot read payload file " + Printable(path.string()));
                    }
                }
                break;
            case fs::file_type::directory: entry.kind = EntryKind::Directory; break;
            case fs::file_type::symlink: entry.kind = EntryKind::Symlink; break;
            default: entry.kind = EntryKind::Other; break;
        }
        entries.push_back(std::move(entry));
    }
    if (error) failed(root);
    std::sort(entries.begin(), entries.end(),
              [](const PayloadEntry& a, const PayloadEntry& b) { return ZipName(a) < ZipName(b); });
    return entries;
}

std::vector<PayloadEntry> ListZipFile(const std::string& path, EntryContents* contents) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) Refuse("cannot open payload " + Printable(path) + ": " + strerror(errno));
    const bool startsWithEntry = StartsWithEntry(fd, 0);
    close(fd);
    if (!startsWithEntry) Refuse(Printable(path) + kNoFirstEntry);
    ArchivePtr a = NewZipReader();
    if (archive_read_open_filename(a.get(), path.c_str(), 64 * 1024) != ARCHIVE_OK) {
        Refuse(Printable(path) + ": not a usable ZIP archive: " + ArchiveError(a.get()));
    }
    return ReadEntries(a.get(), Printable(path), contents);
}

std::vector<PayloadEntry> ListZipRange(int fd, int64_t offset, int64_t size, EntryContents* contents) {
    if (!StartsWithEntry(fd, offset)) Refuse(std::string("payload") + kNoFirstEntry);
    auto range = std::make_unique<Range>();
    range->fd = fd;
    range->start = offset;
    range->size = size;
    ArchivePtr a = NewZipReader();
    archive_read_set_callback_data(a.get(), range.get());
    archive_read_set_read_callback(a.get(), RangeRead);
    archive_read_set_seek_callback(a.get(), RangeSeek);
    archive_read_set_skip_callback(a.get(), RangeSkip);
    if (archive_read_open1(a.get()) != ARCHIVE_OK) {
        Refuse("payload: not a usable ZIP archive: " + ArchiveError(a.get()));
    }
    return ReadEntries(a.get(), "payload", contents);
}
