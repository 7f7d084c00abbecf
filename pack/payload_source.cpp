#include "payload_source.h"

#include <archive.h>
#include <archive_entry.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <memory>

#include "builtin_programs.h"
#include "bytecode_check.h"
#include "failure.h"
#include "interpreter_check.h"
#include "platform.h"
#include "unique_fd.h"
#include "utf8_text.h"
#include "zip_directory.h"

namespace {

using ArchivePtr = std::unique_ptr<archive, decltype(&archive_read_free)>;

std::string ArchiveError(archive* a) {
    const char* message = archive_error_string(a);
    return message != nullptr ? message : "unknown error";
}

EntryKind KindOf(unsigned type) {
    switch (type) {
        case AE_IFREG: return EntryKind::File;
        case AE_IFDIR: return EntryKind::Directory;
        case AE_IFLNK: return EntryKind::Symlink;
        default: return EntryKind::Other;
    }
}

// Where the decompressed data of a ZIP payload goes: nowhere, when it is only
// checked, or appended to a spool file the writer reads it back from.
struct Spool {
    int fd = -1;
    uint64_t written = 0;
};

// How much of an entry the checks read: all of the interpreter's files, the
// header of a compiled module, nothing of the rest.
size_t KeptLength(const PayloadEntry& entry) {
    if (entry.kind != EntryKind::File) return 0;
    if (NeedsInterpreterContent(entry.path)) return SIZE_MAX;
    return IsCachedBytecode(entry.path) ? kBytecodeHeaderSize : 0;
}

void SpoolWrite(int fd, uint64_t at, const void* data, size_t length) {
    if (!platform::WriteAt(fd, static_cast<int64_t>(at), data, length)) {
        throw Failure(kExitFailed, "cannot write the unpacked payload: " + platform::LastErrorText());
    }
}

// Reads every header and every entry's data of an opened archive, holding
// each against the central directory that `records` were read from.
std::vector<PayloadEntry> ReadEntries(archive* a, const std::string& what, const std::vector<ZipRecord>& records,
                                      Spool* spool, EntryContents* contents) {
    // The reader visits entries in the order of their local headers.
    std::vector<const ZipRecord*> byOffset;
    for (const ZipRecord& record : records) byOffset.push_back(&record);
    std::sort(byOffset.begin(), byOffset.end(),
              [](const ZipRecord* a, const ZipRecord* b) { return a->localOffset < b->localOffset; });
    for (size_t i = 1; i < byOffset.size(); ++i) {
        if (byOffset[i]->localOffset == byOffset[i - 1]->localOffset) {
            Refuse(what + ": " + Printable(byOffset[i]->name) + " and " + Printable(byOffset[i - 1]->name) +
                   " share one local header");
        }
    }
    std::vector<PayloadEntry> entries;
    const auto fail = [&](const std::string& detail) -> std::vector<PayloadEntry> {
        Refuse(what + ": not a usable ZIP archive: " + detail);
    };
    for (;;) {
        archive_entry* header = nullptr;
        const int result = archive_read_next_header(a, &header);
        if (result == ARCHIVE_EOF) break;
        if (entries.size() == byOffset.size()) return fail("more entries than its central directory names");
        const ZipRecord& record = *byOffset[entries.size()];
        // A warning about a name that is not UTF-8 is left to the payload
        // checks, which name the entry; any other warning refuses the archive.
        const bool utf8 = Utf16Length(record.name) >= 0;
        if (result == ARCHIVE_WARN && utf8) return fail(Printable(record.name) + ": " + ArchiveError(a));
        if (result != ARCHIVE_OK && result != ARCHIVE_WARN) return fail(ArchiveError(a));
        // The reader has just read a local header, which must be this
        // record's: it stands before the next record's. The names cannot
        // tell, as the reader composes decomposed UTF-8 names (and converts
        // them to the code page on Windows); the entry keeps its stored bytes.
        const la_int64_t at = archive_filter_bytes(a, 0);
        const size_t next = entries.size() + 1;
        if (at <= static_cast<la_int64_t>(record.localOffset) ||
            (next < byOffset.size() && at > static_cast<la_int64_t>(byOffset[next]->localOffset))) {
            return fail(Printable(record.name) + ": the reader read another entry in its place");
        }
        PayloadEntry entry;
        entry.path = record.name;
        entry.kind = KindOf(archive_entry_filetype(header));
        if (entry.kind == EntryKind::Directory) {
            while (!entry.path.empty() && entry.path.back() == '/') entry.path.pop_back();
        }
        if (spool != nullptr) entry.dataOffset = spool->written;
        if (record.size >= kMaxFileSize) {
            Refuse(Printable(record.name) + ": " + std::to_string(record.size) +
                   " bytes; files of 2 GiB or more are not supported");
        }
        // Set from the timestamp field if there is one, else from the DOS
        // fields read as local time, which main fixes to UTC.
        if (entry.kind == EntryKind::File) entry.mtime = archive_entry_mtime(header);
        const size_t kept = KeptLength(entry);
        std::vector<uint8_t>* keep = contents != nullptr && kept > 0 ? &(*contents)[entry.path] : nullptr;
        // Count what really decompresses rather than trusting the header;
        // libarchive holds the data against its CRC as it goes. Data past the
        // size the central directory gives stops here, not after a bomb is unpacked.
        const void* block;
        size_t length;
        la_int64_t offset;
        int dataResult;
        while ((dataResult = archive_read_data_block(a, &block, &length, &offset)) == ARCHIVE_OK) {
            entry.size = std::max<uint64_t>(entry.size, static_cast<uint64_t>(offset) + length);
            if (entry.size > record.size && entry.kind == EntryKind::File) {
                return fail(Printable(record.name) + ": unpacks to more than its " + std::to_string(record.size) + " bytes");
            }
            if (spool != nullptr) SpoolWrite(spool->fd, entry.dataOffset + static_cast<uint64_t>(offset), block, length);
            const size_t wanted = static_cast<uint64_t>(offset) < kept
                                      ? static_cast<size_t>(std::min<uint64_t>(length, kept - offset)) : 0;
            if (keep != nullptr && wanted > 0) {
                keep->resize(std::max<size_t>(keep->size(), static_cast<size_t>(offset) + wanted));
                memcpy(keep->data() + offset, block, wanted);
            }
        }
        if (spool != nullptr) spool->written = entry.dataOffset + entry.size;
        if (dataResult != ARCHIVE_EOF) return fail(Printable(record.name) + ": " + ArchiveError(a));
        entries.push_back(std::move(entry));
    }
    if (entries.size() != byOffset.size()) return fail(Printable(byOffset[entries.size()]->name) + ": skipped by the reader");
    return entries;
}

ArchivePtr NewZipReader() {
    ArchivePtr a(archive_read_new(), archive_read_free);
    // Seekable: the central directory, which extractors go by, names the entries.
    archive_read_support_format_zip_seekable(a.get());
    return a;
}

// Reads an archive of `size` bytes through `read`, as if it were a whole file.
struct Range {
    RawReadFn read;
    int64_t size;
    int64_t position = 0;
    std::string failed;  // why a read failed: libarchive may report only its own words
    uint8_t buffer[64 * 1024];
};

la_ssize_t RangeRead(archive* a, void* data, const void** block) {
    auto* range = static_cast<Range*>(data);
    const int64_t wanted = std::min<int64_t>(sizeof range->buffer, range->size - range->position);
    if (wanted <= 0) return 0;
    int64_t got = -1;
    std::string why;
    try {  // nothing may be thrown through libarchive
        got = range->read(range->position, range->buffer, static_cast<size_t>(wanted));
        if (got < 0) why = "read failed: " + platform::LastErrorText();
    } catch (const Failure& failure) {
        why = failure.what();
    }
    if (got < 0) {
        range->failed = why;
        // -1: libarchive's "no errno"; the message carries the reason.
        archive_set_error(a, -1, "%s", why.c_str());
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
bool StartsWithEntry(const RawReadFn& read) {
    char signature[4] = {};
    return read(0, signature, sizeof signature) == 4 && memcmp(signature, "PK\3\4", 4) == 0;
}

// The bytes of `fd` from `start` on.
RawReadFn FileReader(int fd, int64_t start) {
    return [fd, start](int64_t at, void* buffer, size_t length) { return platform::ReadAt(fd, start + at, buffer, length); };
}

void SortByZipName(std::vector<PayloadEntry>& entries) {
    std::sort(entries.begin(), entries.end(),
              [](const PayloadEntry& a, const PayloadEntry& b) { return ZipName(a) < ZipName(b); });
}

constexpr uint16_t kMethodZstd = 93;
constexpr char kNoFirstEntry[] = ": not a ZIP archive that starts with its first entry";

// Lists (and with a spool, unpacks) the ZIP archive of `size` bytes that `read` gives.
std::vector<PayloadEntry> ReadZip(const RawReadFn& read, int64_t size, const std::string& what, Spool* spool,
                                  EntryContents* contents) {
    if (size <= 0 || !StartsWithEntry(read)) Refuse(what + kNoFirstEntry);
    const ReadAtFn readAt = ArchiveIn(read, static_cast<uint64_t>(size));
    const std::vector<ZipRecord> records = ReadZipDirectory(readAt, static_cast<uint64_t>(size), what);
    CheckLocalHeaders(readAt, records, what);
    for (const ZipRecord& record : records) {
        // The Windows build's libarchive has no zstd; so that both builds judge alike, neither takes it.
        if (record.method == kMethodZstd) {
            Refuse(what + ": " + Printable(record.name) + ": compressed with zstd (method 93), which the packer "
                   "does not read; zip it with deflate");
        }
    }

    auto range = std::make_unique<Range>();
    range->read = read;
    range->size = size;
    ArchivePtr a = NewZipReader();
    archive_read_set_callback_data(a.get(), range.get());
    archive_read_set_read_callback(a.get(), RangeRead);
    archive_read_set_seek_callback(a.get(), RangeSeek);
    archive_read_set_skip_callback(a.get(), RangeSkip);
    if (archive_read_open1(a.get()) != ARCHIVE_OK) {
        Refuse(what + ": not a usable ZIP archive: " + ArchiveError(a.get()));
    }
    try {
        return ReadEntries(a.get(), what, records, spool, contents);
    } catch (const Failure&) {
        if (range->failed.empty()) throw;
        Refuse(what + ": " + range->failed);
    }
}

}  // namespace

std::vector<PayloadEntry> ListFolder(const std::string& root, const char* what, EntryContents* contents) {
    std::vector<PayloadEntry> entries;
    // Folders still to read, as entry paths; "" is the root.
    std::vector<std::string> pending{""};
    while (!pending.empty()) {
        const std::string below = pending.back();
        pending.pop_back();
        const std::string folder = below.empty() ? root : root + "/" + below;
        std::vector<platform::FolderItem> items;
        if (!platform::ReadFolder(folder, items)) {
            Refuse(std::string("cannot read ") + what + " " + Printable(folder) + ": " + platform::LastErrorText());
        }
        for (platform::FolderItem& item : items) {
            PayloadEntry entry;
            entry.path = below.empty() ? item.name : below + "/" + item.name;
            switch (item.kind) {
                case platform::PathKind::File: entry.kind = EntryKind::File; break;
                case platform::PathKind::Folder: entry.kind = EntryKind::Directory; break;
                case platform::PathKind::Link: entry.kind = EntryKind::Symlink; break;
                default: entry.kind = EntryKind::Other; break;
            }
            if (entry.kind == EntryKind::Directory) pending.push_back(entry.path);
            if (entry.kind == EntryKind::File) entry.size = static_cast<uint64_t>(item.size), entry.mtime = item.mtime;
            // A name that is not text is refused by the checks, never opened.
            if (contents != nullptr && KeptLength(entry) > 0 && Utf16Length(entry.path) >= 0) {
                std::vector<uint8_t>& bytes = (*contents)[entry.path];
                bytes.resize(std::min<uint64_t>(entry.size, KeptLength(entry)));
                const UniqueFd fd(platform::OpenForRead(folder + "/" + item.name));
                if (!fd || platform::ReadAt(fd.get(), 0, bytes.data(), bytes.size()) != static_cast<int64_t>(bytes.size())) {
                    Refuse("cannot read " + Printable(folder + "/" + item.name) + ": " + platform::LastErrorText());
                }
            }
            entries.push_back(std::move(entry));
        }
    }
    SortByZipName(entries);
    return entries;
}

bool AddBuiltInLauncher(std::vector<PayloadEntry>& entries, EntryContents* contents) {
    static constexpr std::string_view kLauncher = "Vorlasta.exe";
    for (const PayloadEntry& entry : entries) {
        if (AsciiFolded(entry.path) == AsciiFolded(kLauncher)) return false;
    }
    const std::vector<uint8_t>& launcher = BuiltInLauncher();
    PayloadEntry entry{std::string(kLauncher), EntryKind::File, launcher.size()};
    entry.bytes = &launcher;
    entries.push_back(std::move(entry));
    if (contents != nullptr && NeedsInterpreterContent(kLauncher)) (*contents)[std::string(kLauncher)] = launcher;
    SortByZipName(entries);
    return true;
}

std::vector<PayloadEntry> ListZipRange(int fd, int64_t offset, int64_t size, EntryContents* contents) {
    if (offset < 0) Refuse(std::string("payload") + kNoFirstEntry);
    return ReadZip(FileReader(fd, offset), size, "payload", nullptr, contents);
}

std::vector<PayloadEntry> ListZipReader(const RawReadFn& read, int64_t size, EntryContents* contents) {
    return ReadZip(read, size, "payload", nullptr, contents);
}

std::vector<PayloadEntry> UnpackZipFile(const std::string& path, int spoolFd, EntryContents* contents) {
    const UniqueFd fd(platform::OpenForRead(path));
    platform::FileInfo info;
    if (!fd || !platform::QueryFile(fd.get(), info)) {
        Refuse("cannot open payload " + Printable(path) + ": " + platform::LastErrorText());
    }
    Spool spool{spoolFd};
    std::vector<PayloadEntry> entries = ReadZip(FileReader(fd.get(), 0), info.size, Printable(path), &spool, contents);
    AddImpliedFolders(entries);
    return entries;
}

void AddImpliedFolders(std::vector<PayloadEntry>& entries) {
    std::map<std::string, bool> named;
    for (const PayloadEntry& entry : entries) named[entry.path] = true;
    const size_t listed = entries.size();
    for (size_t i = 0; i < listed; ++i) {
        const std::string path = entries[i].path;
        for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
            if (named.emplace(path.substr(0, slash), true).second) {
                entries.push_back({path.substr(0, slash), EntryKind::Directory, 0});
            }
        }
    }
    SortByZipName(entries);
}
