#include "zip_writer.h"

#include <archive.h>
#include <archive_entry.h>

#include <zlib.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "failure.h"
#include "platform.h"
#include "unique_fd.h"
#include "zip_directory.h"

namespace {

struct Sink {
    int fd;
    int64_t start;
    uint64_t written = 0;
};

la_ssize_t SinkWrite(archive* a, void* data, const void* buffer, size_t length) {
    auto* sink = static_cast<Sink*>(data);
    if (!platform::WriteAt(sink->fd, sink->start + static_cast<int64_t>(sink->written), buffer, length)) {
        archive_set_error(a, -1, "%s", platform::LastErrorText().c_str());
        return -1;
    }
    sink->written += length;
    return static_cast<la_ssize_t>(length);
}

[[noreturn]] void WriteFailed(archive* a, const std::string& what) {
    const char* message = archive_error_string(a);
    throw Failure(kExitFailed, "writing the payload failed at " + what + ": " +
                                   (message != nullptr ? message : "unknown error"));
}

// Sets bit 11 (the name is UTF-8) in the general-purpose flags at `flagsAt`.
void SetUtf8Flag(int fd, int64_t flagsAt) {
    uint8_t flags[2];
    if (platform::ReadAt(fd, flagsAt, flags, 2) != 2) {
        throw Failure(kExitFailed, "cannot read back the payload: " + platform::LastErrorText());
    }
    flags[1] |= 0x08;
    if (!platform::WriteAt(fd, flagsAt, flags, 2)) {
        throw Failure(kExitFailed, "cannot write the payload: " + platform::LastErrorText());
    }
}

// libarchive flags only names that are not ASCII; every name here is UTF-8,
// so every local and central header says so, and no extractor has to guess.
void MarkAllNamesUtf8(int fd, int64_t zipStart, uint64_t zipLength) {
    const ReadAtFn readAt = [&](uint64_t at, void* buffer, size_t length) {
        return at <= zipLength && length <= zipLength - at &&
               platform::ReadAt(fd, zipStart + static_cast<int64_t>(at), buffer, length) == static_cast<int64_t>(length);
    };
    std::vector<ZipRecord> records;
    try {
        records = ReadZipDirectory(readAt, zipLength, "the payload just written");
    } catch (const Failure& failure) {
        throw Failure(kExitFailed, failure.what());
    }
    for (const ZipRecord& record : records) {
        SetUtf8Flag(fd, zipStart + static_cast<int64_t>(record.centralOffset + 8));
        SetUtf8Flag(fd, zipStart + static_cast<int64_t>(record.localOffset + 6));
    }
}

// An entry that deflate does not make smaller is stored. Judged on the first
// 4 KiB: files that small, where the choice matters most, are judged whole,
// and a larger one costs a trial of 4 KiB, not a second deflate of all of it.
constexpr size_t kDeflateSample = 4096;

bool DeflateShrinks(const uint8_t* sample, size_t size) {
    if (size == 0) return false;
    z_stream stream = {};
    // Raw deflate at zlib's default level, as libarchive writes it.
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return true;
    std::vector<uint8_t> out(deflateBound(&stream, size));
    stream.next_in = const_cast<uint8_t*>(sample);
    stream.avail_in = static_cast<uInt>(size);
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    const bool shrinks = stream.total_out < size;
    deflateEnd(&stream);
    return shrinks;
}

bool DeflateShrinks(int fd, uint64_t offset, uint64_t size) {
    std::vector<uint8_t> sample(static_cast<size_t>(std::min<uint64_t>(size, kDeflateSample)));
    if (platform::ReadAt(fd, static_cast<int64_t>(offset), sample.data(), sample.size()) !=
        static_cast<int64_t>(sample.size())) {
        return true;  // the copy that follows reports the read error
    }
    return DeflateShrinks(sample.data(), sample.size());
}

// Copies the entry's size in bytes from `fd` at `offset`. A file that grew or
// shrank since it was listed (its size is already in the header) is an error,
// not an entry cut short; a spool holds other entries after this one. A file
// of the folder must also keep its time while it is read: a rewrite in place
// at the same size shows only there.
void CopyData(archive* a, int fd, uint64_t offset, const PayloadEntry& entry, bool mayGrow, const PayloadData& data) {
    const auto readFailed = [&] {
        throw Failure(kExitFailed, "cannot read " + Printable(entry.path) + ": " + platform::LastErrorText());
    };
    platform::FileInfo before, after;
    if (mayGrow && !platform::QueryFile(fd, before)) readFailed();
    std::vector<uint8_t> buffer(256 * 1024);
    uint64_t total = 0;
    while (total < entry.size) {
        const size_t wanted = static_cast<size_t>(std::min<uint64_t>(buffer.size(), entry.size - total));
        const int64_t n = platform::ReadAt(fd, static_cast<int64_t>(offset + total), buffer.data(), wanted);
        if (n < 0) readFailed();
        if (n == 0) break;
        total += static_cast<uint64_t>(n);
        if (archive_write_data(a, buffer.data(), static_cast<size_t>(n)) != n) WriteFailed(a, Printable(entry.path));
        if (data.onData) data.onData(entry, buffer.data(), static_cast<size_t>(n));
    }
    uint8_t more;
    if (mayGrow && !platform::QueryFile(fd, after)) readFailed();
    if (total != entry.size || (mayGrow && (platform::ReadAt(fd, static_cast<int64_t>(offset + total), &more, 1) > 0 ||
                                            after.size != before.size || after.modified != before.modified))) {
        throw Failure(kExitFailed, Printable(entry.path) + " changed while it was being packed");
    }
}

}  // namespace

int64_t PackedTime(int64_t mtime, std::optional<int64_t> latest) {
    if (latest.has_value() && mtime > *latest) mtime = *latest;
    return std::clamp<int64_t>(mtime, 0, UINT32_MAX);
}

uint64_t WritePayloadZip(const PayloadData& data, const std::vector<PayloadEntry>& entries, int fd, uint64_t at) {
    std::unique_ptr<archive, decltype(&archive_write_free)> owner(archive_write_new(), archive_write_free);
    archive* a = owner.get();
    Sink sink{fd, static_cast<int64_t>(at)};
    archive_write_set_format_zip(a);
    // Names are stored as UTF-8 (bit 11 is set on all of them afterwards).
    if (archive_write_set_format_option(a, "zip", "hdrcharset", "UTF-8") != ARCHIVE_OK ||
        // No padding after the end of the archive: the trailer follows it.
        archive_write_set_bytes_in_last_block(a, 1) != ARCHIVE_OK ||
        archive_write_open2(a, &sink, nullptr, SinkWrite, nullptr, nullptr) != ARCHIVE_OK) {
        WriteFailed(a, "the start");
    }

    std::unique_ptr<archive_entry, decltype(&archive_entry_free)> header(archive_entry_new(), archive_entry_free);
    for (const PayloadEntry& entry : entries) {
        archive_entry* e = archive_entry_clear(header.get());
        const bool isDirectory = entry.kind == EntryKind::Directory;
        const bool inMemory = entry.bytes != nullptr;
        const bool fromFolder = !isDirectory && !inMemory && data.spoolFd < 0;
        const std::string path = entry.source.empty() ? data.folder + "/" + entry.path : entry.source;
        const UniqueFd file(!fromFolder ? -1 : data.open ? data.open(entry, path) : platform::OpenForRead(path));
        if (fromFolder && !file) {
            throw Failure(kExitFailed, "cannot read " + Printable(entry.path) + ": " + platform::LastErrorText());
        }
        const int source = fromFolder ? file.get() : data.spoolFd;
        const uint64_t offset = fromFolder ? 0 : entry.dataOffset;
        const bool deflate =
            !isDirectory && (inMemory ? DeflateShrinks(entry.bytes->data(), std::min(entry.bytes->size(), kDeflateSample))
                                      : DeflateShrinks(source, offset, entry.size));
        if ((deflate ? archive_write_zip_set_compression_deflate(a) : archive_write_zip_set_compression_store(a)) !=
            ARCHIVE_OK) {
            WriteFailed(a, Printable(entry.path));
        }
        // Wide, so that no C runtime's locale stands between the name and the
        // archive's UTF-8 (Windows C runtimes before the Universal one have none).
        archive_entry_copy_pathname_w(e, WideFromUtf8(ZipName(entry)).c_str());
        archive_entry_set_filetype(e, isDirectory ? AE_IFDIR : AE_IFREG);
        archive_entry_set_perm(e, isDirectory ? 0755 : 0644);
        archive_entry_set_size(e, isDirectory ? 0 : static_cast<la_int64_t>(entry.size));
        // A file's time goes into the DOS fields (local time, which main fixes
        // to UTC) and the timestamp field, which tar.exe restores to the second,
        // so that Python's .pyc files stay valid. A folder, and the built-in
        // launcher, which has no file of its own, get none: the DOS time
        // 1980-01-01 00:00, and a timestamp field of just its flags.
        if (!isDirectory && !inMemory) archive_entry_set_mtime(e, PackedTime(entry.mtime, data.latestTime), 0);
        archive_entry_set_uid(e, 0);
        archive_entry_set_gid(e, 0);
        // Anything short of OK (a name that did not convert, say) is a failure here.
        if (archive_write_header(a, e) != ARCHIVE_OK) WriteFailed(a, Printable(entry.path));
        if (inMemory) {
            const la_ssize_t size = static_cast<la_ssize_t>(entry.bytes->size());
            if (archive_write_data(a, entry.bytes->data(), entry.bytes->size()) != size) WriteFailed(a, Printable(entry.path));
            if (data.onData) data.onData(entry, entry.bytes->data(), entry.bytes->size());
        } else if (!isDirectory) {
            CopyData(a, source, offset, entry, fromFolder, data);
        }
        if (archive_write_finish_entry(a) != ARCHIVE_OK) WriteFailed(a, Printable(entry.path));
    }
    if (archive_write_close(a) != ARCHIVE_OK) WriteFailed(a, "the end");
    MarkAllNamesUtf8(fd, sink.start, sink.written);
    return sink.written;
}
