#include "setup_file.h"

#include <string.h>

#include <algorithm>
#include <filesystem>

#include <zlib.h>

#include "failure.h"
#include "payload_check.h"
#include "platform.h"
#include "unique_fd.h"

namespace fs = std::filesystem;

namespace {

// The setup file's bytes, in order from its first, gathered into large writes.
// Each write is one block of the file (the last one may be shorter), and the
// CRC-32 of each is kept: the file as it was meant, to read it back against.
class FileSink final : public ByteSink {
public:
    FileSink(int fd, const std::string& shown) : fd_(fd), shown_(shown) { buffer_.reserve(kBuffer); }

    void Write(const void* data, size_t length) override {
        const auto* bytes = static_cast<const uint8_t*>(data);
        while (length > 0) {
            const size_t n = std::min(length, kBuffer - buffer_.size());
            buffer_.insert(buffer_.end(), bytes, bytes + n);
            bytes += n, length -= n, written_ += n;
            if (buffer_.size() == kBuffer) Flush();
        }
    }

    void Flush() {
        if (buffer_.empty()) return;
        if (!platform::WriteAt(fd_, static_cast<int64_t>(written_ - buffer_.size()), buffer_.data(), buffer_.size())) {
            throw Failure(kExitFailed, "writing " + shown_ + " failed: " + platform::LastErrorText());
        }
        blockCrcs_.push_back(static_cast<uint32_t>(crc32(0, buffer_.data(), static_cast<uInt>(buffer_.size()))));
        buffer_.clear();
    }

    // Reads the flushed file back from the device, every byte, and holds each
    // block against the CRC-32 it was written with; the reference is never a
    // second read of the same file.
    void CheckReadBack() {
        uint64_t at = 0;
        uint32_t crc = 0;
        std::string fault;
        const bool read = platform::ReadFromDevice(fd_, [&](const uint8_t* bytes, size_t length) {
            while (length > 0 && fault.empty()) {
                const size_t n = static_cast<size_t>(std::min<uint64_t>(length, kBuffer - at % kBuffer));
                crc = static_cast<uint32_t>(crc32(crc, bytes, static_cast<uInt>(n)));
                at += n, bytes += n, length -= n;
                if (at % kBuffer != 0 && at != written_) continue;
                const size_t block = static_cast<size_t>((at - 1) / kBuffer);
                if (at > written_ || block >= blockCrcs_.size() || blockCrcs_[block] != crc) {
                    fault = "the bytes from offset " + std::to_string(block * kBuffer);
                }
                crc = 0;
            }
        });
        if (!read) throw Failure(kExitFailed, "reading " + shown_ + " back failed: " + platform::LastErrorText());
        if (fault.empty() && at != written_) fault = "its size, " + std::to_string(at) + " bytes";
        if (!fault.empty()) {
            throw Failure(kExitFailed, shown_ + " did not read back as it was written (" + fault +
                                           "); nothing was kept: try again, or another drive");
        }
    }

private:
    static constexpr size_t kBuffer = 1 << 20;
    int fd_;
    const std::string& shown_;
    std::vector<uint8_t> buffer_;
    std::vector<uint32_t> blockCrcs_;
};

fs::path FolderOf(const std::string& output) {
    const fs::path target = fs::u8path(output);
    return target.has_parent_path() ? target.parent_path() : fs::path(".");
}

// Owns the temporary file until it is renamed into place.
class TempFile {
public:
    explicit TempFile(const std::string& output) {
        const fs::path folder = FolderOf(output);
        // Short, so that any output name that fits a folder leaves room for it.
        path_ = (folder / ".vorlasta-pack.XXXXXX").u8string();
        if (path_.size() >= platform::kMaxTempPath) Refuse("output path too long: " + Printable(output));
        fd_ = platform::CreateTempFile(path_);
        // A missing folder, such as a stick not plugged in, is a failure to write, not a refusal.
        if (fd_ < 0) {
            throw Failure(kExitFailed, "cannot create a file in " + Printable(folder.u8string()) + ": " +
                                           platform::LastErrorText());
        }
    }

    ~TempFile() {
        if (fd_ >= 0) platform::Close(fd_);
        platform::DiscardTempFile();
    }

    int fd() const { return fd_; }

    void Commit(const std::string& output) {
        const std::string failed = "writing " + Printable(output) + " failed: ";
        if (!platform::SyncTempFile(fd_)) throw Failure(kExitFailed, failed + platform::LastErrorText());
        const int fd = fd_;
        fd_ = -1;
        if (!platform::Close(fd)) throw Failure(kExitFailed, failed + platform::LastErrorText());
        if (!platform::CommitTempFile(output)) {
            throw Failure(kExitFailed, "cannot create " + Printable(output) + ": " + platform::LastErrorText());
        }
    }

private:
    std::string path_;
    int fd_ = -1;
};

}  // namespace

uint32_t FdByteSource::ReadAt(int64_t offset, void* buffer, uint32_t count) {
    if (offset < 0) return 0;
    const int64_t n = platform::ReadAt(fd_, offset, buffer, count);
    return n < 0 ? 0 : static_cast<uint32_t>(n);
}

uint32_t MemoryByteSource::ReadAt(int64_t offset, void* buffer, uint32_t count) {
    if (offset < 0 || static_cast<uint64_t>(offset) >= bytes_.size()) return 0;
    const uint64_t available = bytes_.size() - static_cast<uint64_t>(offset);
    const uint32_t n = available < count ? static_cast<uint32_t>(available) : count;
    memcpy(buffer, bytes_.data() + offset, n);
    return n;
}

std::vector<uint8_t> ReadProgramImage(const std::string& path) {
    const std::string shown = Printable(path);
    const UniqueFd fd(platform::OpenForRead(path));
    platform::FileInfo info;
    if (!fd || !platform::QueryFile(fd.get(), info)) {
        Refuse("cannot read setup program " + shown + ": " + platform::LastErrorText());
    }
    if (!info.regular) Refuse("setup program " + shown + " is not a file");
    std::vector<uint8_t> bytes(static_cast<size_t>(info.size));
    if (FdByteSource(fd.get()).ReadAt(0, bytes.data(), static_cast<uint32_t>(bytes.size())) != bytes.size()) {
        Refuse("cannot read setup program " + shown + ": " + platform::LastErrorText());
    }
    if (bytes.size() < 2 || bytes[0] != 'M' || bytes[1] != 'Z') {
        Refuse("setup program " + shown + " is not a Windows program (no MZ header)");
    }
    MemoryByteSource source(bytes);
    TrailerInfo trailer;
    if (LocateTrailer(source, static_cast<int64_t>(bytes.size()), trailer) != TrailerResult::Missing) {
        Refuse("setup program " + shown + " is already a setup file (it ends with a payload trailer)");
    }
    return bytes;
}

void CheckOutputPath(const std::string& output, const std::vector<std::string>& inputs) {
    if (platform::KindOfPath(output) == platform::PathKind::Folder) Refuse("output " + Printable(output) + " is a folder");
    // Written on either system, the file must open on Windows under the name given.
    const std::string name = fs::u8path(output).filename().u8string();
    const std::string fault = CheckWindowsName(name);
    if (!fault.empty()) Refuse("output " + Printable(output) + ": " + fault);
    platform::FileId target, input;
    if (!platform::IdentifyFile(output, target)) return;
    for (const std::string& path : inputs) {
        if (platform::IdentifyFile(path, input) && input == target) {
            Refuse("output " + Printable(output) + " is the same file as the input " + Printable(path));
        }
    }
}

int CreateSpool(const std::string& output) {
    const fs::path folder = FolderOf(output);
    const int fd = platform::CreateNamelessFile(folder.u8string());
    if (fd < 0) throw Failure(kExitFailed, "cannot create a file in " + Printable(folder.u8string()) + ": " + platform::LastErrorText());
    return fd;
}

SetupFileInfo WriteSetupFile(const std::string& output, const std::vector<uint8_t>& program, int32_t mode,
                             const std::function<void(ByteSink&)>& writePayload,
                             const std::function<void(int fd, const SetupFileInfo&)>& checkWritten) {
    TempFile temp(output);
    const std::string shown = Printable(output);
    FileSink sink(temp.fd(), shown);
    sink.Write(program.data(), program.size());
    SetupFileInfo info;
    info.payloadOffset = sink.written();
    writePayload(sink);
    info.payloadSize = sink.written() - info.payloadOffset;
    info.mode = mode;
    if (info.payloadSize == 0) throw Failure(kExitFailed, "the payload came out empty");
    uint8_t trailer[kTrailerSize];
    EncodeTrailer(static_cast<int64_t>(info.payloadOffset), mode, trailer);
    sink.Write(trailer, sizeof trailer);
    sink.Flush();
    info.fileSize = sink.written();
    if (checkWritten) {
        if (!platform::SyncTempFile(temp.fd())) {
            throw Failure(kExitFailed, "writing " + shown + " failed: " + platform::LastErrorText());
        }
        sink.CheckReadBack();
        checkWritten(temp.fd(), info);
    }
    temp.Commit(output);
    return info;
}
