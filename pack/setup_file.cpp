#include "setup_file.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "failure.h"
#include "payload_check.h"
#include "unique_fd.h"

namespace fs = std::filesystem;

namespace {

// The temporary file an interrupting signal must remove.
char g_tempPath[PATH_MAX];
volatile sig_atomic_t g_haveTemp = 0;

void RemoveTempAndDie(int signal) {
    if (g_haveTemp) unlink(g_tempPath);
    ::signal(signal, SIG_DFL);
    raise(signal);
}

void WriteAll(int fd, const void* data, size_t length, const std::string& what) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    for (size_t done = 0; done < length;) {
        const ssize_t n = write(fd, bytes + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw Failure(kExitFailed, "writing " + what + " failed: " + strerror(errno));
        done += static_cast<size_t>(n);
    }
}

// Owns the temporary file until it is renamed into place.
class TempFile {
public:
    explicit TempFile(const std::string& output) {
        fs::path target(output);
        const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
        path_ = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
        if (path_.size() >= sizeof g_tempPath) Refuse("output path too long: " + Printable(output));
        struct sigaction action = {};
        action.sa_handler = RemoveTempAndDie;
        sigemptyset(&action.sa_mask);
        for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaction(signal, &action, nullptr);
        // Block the signals while the name is recorded, so none sees half of it.
        sigset_t blocked, previous;
        sigemptyset(&blocked);
        for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaddset(&blocked, signal);
        sigprocmask(SIG_BLOCK, &blocked, &previous);
        fd_ = mkostemp(path_.data(), O_CLOEXEC);
        if (fd_ >= 0) {
            memcpy(g_tempPath, path_.c_str(), path_.size() + 1);
            g_haveTemp = 1;
        }
        const int error = errno;
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        if (fd_ < 0) Refuse("cannot create a file in " + Printable(folder.string()) + ": " + strerror(error));
    }

    ~TempFile() {
        if (fd_ >= 0) close(fd_);
        if (g_haveTemp) unlink(path_.c_str());
        g_haveTemp = 0;
    }

    int fd() const { return fd_; }

    void Commit(const std::string& output) {
        // mkstemp made it private; give it the mode a new file would get.
        const mode_t mask = umask(0);
        umask(mask);
        if (fchmod(fd_, 0666 & ~mask) != 0 || fsync(fd_) != 0) {
            throw Failure(kExitFailed, "writing " + Printable(output) + " failed: " + strerror(errno));
        }
        const int fd = fd_;
        fd_ = -1;
        if (close(fd) != 0) throw Failure(kExitFailed, "writing " + Printable(output) + " failed: " + strerror(errno));
        if (rename(path_.c_str(), output.c_str()) != 0) {
            throw Failure(kExitFailed, "cannot create " + Printable(output) + ": " + strerror(errno));
        }
        g_haveTemp = 0;
    }

private:
    std::string path_;
    int fd_ = -1;
};

}  // namespace

uint32_t FdByteSource::ReadAt(int64_t offset, void* buffer, uint32_t count) {
    if (offset < 0) return 0;
    uint32_t done = 0;
    while (done < count) {
        const ssize_t n = pread(fd_, static_cast<uint8_t*>(buffer) + done, count - done, offset + done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<uint32_t>(n);
    }
    return done;
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
    const UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info;
    if (!fd || fstat(fd.get(), &info) != 0) Refuse("cannot read setup program " + shown + ": " + strerror(errno));
    if (!S_ISREG(info.st_mode)) Refuse("setup program " + shown + " is not a file");
    std::vector<uint8_t> bytes(static_cast<size_t>(info.st_size));
    if (FdByteSource(fd.get()).ReadAt(0, bytes.data(), static_cast<uint32_t>(bytes.size())) != bytes.size()) {
        Refuse("cannot read setup program " + shown + ": " + strerror(errno));
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
    std::error_code error;
    if (fs::is_directory(output, error)) Refuse("output " + Printable(output) + " is a folder");
    struct stat target, input;
    if (stat(output.c_str(), &target) != 0) return;
    for (const std::string& path : inputs) {
        if (stat(path.c_str(), &input) == 0 && input.st_dev == target.st_dev && input.st_ino == target.st_ino) {
            Refuse("output " + Printable(output) + " is the same file as the input " + Printable(path));
        }
    }
}

int CreateSpool(const std::string& output) {
    const fs::path target(output);
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    int fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) {
        // File systems without O_TMPFILE: a named file, unlinked at once.
        std::string path = (folder / ".vorlasta-pack-spool.XXXXXX").string();
        fd = mkostemp(path.data(), O_CLOEXEC);
        if (fd >= 0) unlink(path.c_str());
    }
    if (fd < 0) Refuse("cannot create a file in " + Printable(folder.string()) + ": " + strerror(errno));
    return fd;
}

SetupFileInfo WriteSetupFile(const std::string& output, const std::vector<uint8_t>& program, int32_t mode,
                             const std::function<void(int fd)>& writePayload,
                             const std::function<void(int fd, const SetupFileInfo&)>& checkWritten) {
    TempFile temp(output);
    const std::string shown = Printable(output);
    WriteAll(temp.fd(), program.data(), program.size(), shown);
    writePayload(temp.fd());
    const off_t end = lseek(temp.fd(), 0, SEEK_CUR);
    if (end < 0) throw Failure(kExitFailed, "writing " + shown + " failed: " + strerror(errno));

    SetupFileInfo info;
    info.payloadOffset = program.size();
    info.payloadSize = static_cast<uint64_t>(end) - program.size();
    info.mode = mode;
    info.fileSize = static_cast<uint64_t>(end) + kTrailerSize;
    if (info.payloadSize == 0) throw Failure(kExitFailed, "the payload came out empty");
    uint8_t trailer[kTrailerSize];
    EncodeTrailer(static_cast<int64_t>(info.payloadOffset), mode, trailer);
    WriteAll(temp.fd(), trailer, sizeof trailer, shown);
    if (checkWritten) {
        if (fsync(temp.fd()) != 0) throw Failure(kExitFailed, "writing " + shown + " failed: " + strerror(errno));
        // Read back from the device, not from the pages just written.
        posix_fadvise(temp.fd(), 0, 0, POSIX_FADV_DONTNEED);
        checkWritten(temp.fd(), info);
    }
    temp.Commit(output);
    return info;
}
