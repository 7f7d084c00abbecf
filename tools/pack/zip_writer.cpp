#include "zip_writer.h"

#include <archive.h>
#include <archive_entry.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "failure.h"
#include "unique_fd.h"

namespace {

struct Sink {
    int fd;
    uint64_t written = 0;
};

la_ssize_t SinkWrite(archive* a, void* data, const void* buffer, size_t length) {
    auto* sink = static_cast<Sink*>(data);
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    for (size_t done = 0; done < length;) {
        const ssize_t n = write(sink->fd, bytes + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            archive_set_error(a, errno, "%s", strerror(errno));
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    sink->written += length;
    return static_cast<la_ssize_t>(length);
}

[[noreturn]] void WriteFailed(archive* a, const std::string& what) {
    const char* message = archive_error_string(a);
    throw Failure(kExitFailed, "writing the payload failed at " + what + ": " +
                                   (message != nullptr ? message : "unknown error"));
}

void CopyFileData(archive* a, const std::string& source, const PayloadEntry& entry) {
    const UniqueFd fd(open(source.c_str(), O_RDONLY | O_CLOEXEC));
    const auto readFailed = [&] {
        throw Failure(kExitFailed, "cannot read " + Printable(entry.path) + ": " + strerror(errno));
    };
    if (!fd) readFailed();
    std::vector<uint8_t> buffer(256 * 1024);
    uint64_t total = 0;
    for (;;) {
        const ssize_t n = read(fd.get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) readFailed();
        if (n == 0) break;
        total += static_cast<uint64_t>(n);
        // The size is already in the entry's header; a file that grew since
        // it was listed must not be cut short silently.
        if (total > entry.size) break;
        if (archive_write_data(a, buffer.data(), static_cast<size_t>(n)) != n) WriteFailed(a, Printable(entry.path));
    }
    if (total != entry.size) {
        throw Failure(kExitFailed, Printable(entry.path) + " changed while it was being packed");
    }
}

uint32_t Load16(const uint8_t* p) {
    return static_cast<uint32_t>(p[0] | p[1] << 8);
}

uint32_t Load32(const uint8_t* p) {
    return Load16(p) | Load16(p + 2) << 16;
}

void ReadAt(int fd, off_t at, uint8_t* buffer, size_t length) {
    if (pread(fd, buffer, length, at) != static_cast<ssize_t>(length)) {
        throw Failure(kExitFailed, std::string("cannot read back the payload: ") + strerror(errno));
    }
}

void SetUtf8Flag(int fd, off_t flagsAt) {
    uint8_t flags[2];
    ReadAt(fd, flagsAt, flags, 2);
    flags[1] |= 0x08;  // bit 11: the name is UTF-8
    if (pwrite(fd, flags, 2, flagsAt) != 2) {
        throw Failure(kExitFailed, std::string("cannot write the payload: ") + strerror(errno));
    }
}

// libarchive flags only names that are not ASCII; every name here is UTF-8,
// so every local and central header says so, and no extractor has to guess.
void MarkAllNamesUtf8(int fd, off_t zipStart, uint64_t zipLength) {
    constexpr size_t kEndRecord = 22, kCentralHeader = 46;
    uint8_t end[kEndRecord];
    ReadAt(fd, zipStart + static_cast<off_t>(zipLength - kEndRecord), end, kEndRecord);
    if (Load32(end) != 0x06054b50) throw Failure(kExitFailed, "the payload does not end with its end record");
    const uint32_t count = Load16(end + 10);
    std::vector<uint8_t> central(Load32(end + 12));
    const off_t centralAt = zipStart + Load32(end + 16);
    ReadAt(fd, centralAt, central.data(), central.size());
    size_t at = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (at + kCentralHeader > central.size() || Load32(&central[at]) != 0x02014b50) {
            throw Failure(kExitFailed, "the payload's central directory is malformed");
        }
        SetUtf8Flag(fd, centralAt + static_cast<off_t>(at + 8));
        SetUtf8Flag(fd, zipStart + static_cast<off_t>(Load32(&central[at + 42])) + 6);
        at += kCentralHeader + Load16(&central[at + 28]) + Load16(&central[at + 30]) + Load16(&central[at + 32]);
    }
}

}  // namespace

uint64_t WriteFolderZip(const std::string& root, const std::vector<PayloadEntry>& entries, int fd) {
    std::unique_ptr<archive, decltype(&archive_write_free)> owner(archive_write_new(), archive_write_free);
    archive* a = owner.get();
    Sink sink{fd};
    const off_t zipStart = lseek(fd, 0, SEEK_CUR);
    archive_write_set_format_zip(a);
    if (archive_write_zip_set_compression_deflate(a) != ARCHIVE_OK ||
        // Names are stored as UTF-8 (bit 11 is set on all of them afterwards).
        archive_write_set_format_option(a, "zip", "hdrcharset", "UTF-8") != ARCHIVE_OK ||
        // No padding after the end of the archive: the trailer follows it.
        archive_write_set_bytes_in_last_block(a, 1) != ARCHIVE_OK ||
        archive_write_open2(a, &sink, nullptr, SinkWrite, nullptr, nullptr) != ARCHIVE_OK) {
        WriteFailed(a, "the start");
    }

    std::unique_ptr<archive_entry, decltype(&archive_entry_free)> header(archive_entry_new(), archive_entry_free);
    for (const PayloadEntry& entry : entries) {
        archive_entry* e = archive_entry_clear(header.get());
        const bool isDirectory = entry.kind == EntryKind::Directory;
        archive_entry_set_pathname(e, ZipName(entry).c_str());
        archive_entry_set_filetype(e, isDirectory ? AE_IFDIR : AE_IFREG);
        archive_entry_set_perm(e, isDirectory ? 0755 : 0644);
        archive_entry_set_size(e, isDirectory ? 0 : static_cast<la_int64_t>(entry.size));
        archive_entry_set_mtime(e, kFixedEntryTime, 0);
        archive_entry_set_uid(e, 0);
        archive_entry_set_gid(e, 0);
        // Anything short of OK (a name that did not convert, say) is a failure here.
        if (archive_write_header(a, e) != ARCHIVE_OK) WriteFailed(a, Printable(entry.path));
        if (!isDirectory) CopyFileData(a, root + "/" + entry.path, entry);
        if (archive_write_finish_entry(a) != ARCHIVE_OK) WriteFailed(a, Printable(entry.path));
    }
    if (archive_write_close(a) != ARCHIVE_OK) WriteFailed(a, "the end");
    MarkAllNamesUtf8(fd, zipStart, sink.written);
    return sink.written;
}
