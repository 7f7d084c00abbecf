// The packer's platform layer on Linux and other POSIX systems.
#include <errno.h>
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <locale.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <vector>

#include "platform.h"

namespace fs = std::filesystem;

namespace platform {

namespace {

// The temporary file an interrupting signal must remove.
char g_tempPath[PATH_MAX];
volatile sig_atomic_t g_haveTemp = 0;

// The private file and SQLite's files beside it, named in full beforehand:
// a signal handler cannot build a name.
constexpr const char* kSidecars[] = {"", "-journal", "-wal", "-shm"};
char g_privatePaths[4][PATH_MAX + 16];
volatile sig_atomic_t g_havePrivate = 0;

void RemovePrivateFiles() {
    if (!g_havePrivate) return;
    for (const char* path : g_privatePaths) unlink(path);
}

void RemoveTempAndDie(int signal) {
    if (g_haveTemp) unlink(g_tempPath);
    RemovePrivateFiles();
    ::signal(signal, SIG_DFL);
    raise(signal);
}

void RemoveTempOnSignals() {
    struct sigaction action = {};
    action.sa_handler = RemoveTempAndDie;
    sigemptyset(&action.sa_mask);
    // A signal the caller ignores (nohup) stays ignored: it must not discard the output.
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction current;
        if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) sigaction(signal, &action, nullptr);
    }
    // A caller reading --progress may go away: the write fails, and the run
    // ends as a failure that leaves nothing, rather than dying mid-way.
    ::signal(SIGPIPE, SIG_IGN);
}

}  // namespace

std::string SetUpProcess() {
    // Names pass through libarchive as UTF-8 whatever the caller's locale, and
    // ZIP entry times (local time in the format) must not depend on TZ.
    if (setlocale(LC_CTYPE, "C.UTF-8") == nullptr) return "the C.UTF-8 locale is not available";
    setenv("TZ", "UTC0", 1);
    tzset();
    return "";
}

std::string LastErrorText() {
    return strerror(errno);
}

std::string SystemPath(const std::string& path) {
    return path;
}

int OpenForRead(const std::string& path) {
    return open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

bool Close(int fd) {
    return close(fd) == 0;
}

bool QueryFile(int fd, FileInfo& info) {
    struct stat status;
    if (fstat(fd, &status) != 0) return false;
    info.size = status.st_size;
    info.modified = status.st_mtim.tv_sec * 1000000000LL + status.st_mtim.tv_nsec;
    info.regular = S_ISREG(status.st_mode);
    return true;
}

int64_t ReadAt(int fd, int64_t offset, void* buffer, size_t length) {
    size_t done = 0;
    while (done < length) {
        const ssize_t n = pread(fd, static_cast<uint8_t*>(buffer) + done, length - done, offset + done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && done == 0) return -1;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
}

bool WriteAt(int fd, int64_t offset, const void* data, size_t length) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    for (size_t done = 0; done < length;) {
        const ssize_t n = pwrite(fd, bytes + done, length - done, offset + done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool IdentifyFile(const std::string& path, FileId& id) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0) return false;
    id.volume = status.st_dev;
    id.index = status.st_ino;
    return true;
}

bool FinalPath(const std::string& path, std::string& final) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr) return false;
    final = resolved;
    return true;
}

namespace {

PathKind KindOf(mode_t mode) {
    if (S_ISREG(mode)) return PathKind::File;
    if (S_ISDIR(mode)) return PathKind::Folder;
    return S_ISLNK(mode) ? PathKind::Link : PathKind::Other;
}

}  // namespace

PathKind KindOfPath(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 ? KindOf(status.st_mode) : PathKind::Missing;
}

bool ReadFolder(const std::string& folder, std::vector<FolderItem>& items) {
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return false;
    int error = 0;
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(dir);
        if (entry == nullptr) {
            error = errno;
            break;
        }
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat status;
        if (fstatat(dirfd(dir), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
            error = errno;
            break;
        }
        items.push_back({name, KindOf(status.st_mode), status.st_size, status.st_mtim.tv_sec});
    }
    closedir(dir);
    errno = error;
    return error == 0;
}

bool Environment(const char* name, std::string& value) {
    const char* set = getenv(name);
    if (set != nullptr) value = set;
    return set != nullptr;
}

int CreateNamelessFile(const std::string& folder) {
    int fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) {
        // File systems without O_TMPFILE: a named file, unlinked at once.
        std::string path = (fs::path(folder) / ".vorlasta-pack-spool.XXXXXX").string();
        fd = mkostemp(path.data(), O_CLOEXEC);
        if (fd >= 0) unlink(path.c_str());
    }
    return fd;
}

const size_t kMaxTempPath = sizeof g_tempPath;

namespace {

// Block the signals while a name is recorded, so none sees half of it.
class SignalsHeld {
public:
    SignalsHeld() {
        RemoveTempOnSignals();
        sigset_t blocked;
        sigemptyset(&blocked);
        for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaddset(&blocked, signal);
        sigprocmask(SIG_BLOCK, &blocked, &previous_);
    }
    ~SignalsHeld() {
        const int error = errno;
        sigprocmask(SIG_SETMASK, &previous_, nullptr);
        errno = error;
    }

private:
    sigset_t previous_;
};

}  // namespace

int CreateTempFile(std::string& path) {
    const SignalsHeld held;
    const int fd = mkostemp(path.data(), O_CLOEXEC);
    if (fd >= 0) {
        memcpy(g_tempPath, path.c_str(), path.size() + 1);
        g_haveTemp = 1;
    }
    return fd;
}

std::string CreatePrivateFile() {
    const char* folder = getenv("TMPDIR");
    std::string path = std::string(folder != nullptr && *folder != '\0' ? folder : "/tmp") + "/vorlasta-shop.XXXXXX";
    if (path.size() >= PATH_MAX) return "";
    const SignalsHeld held;
    const int fd = mkostemp(path.data(), O_CLOEXEC);  // mode 0600: the user's alone
    if (fd < 0) return "";
    close(fd);
    for (size_t i = 0; i < 4; ++i) snprintf(g_privatePaths[i], sizeof g_privatePaths[i], "%s%s", path.c_str(), kSidecars[i]);
    g_havePrivate = 1;
    return path;
}

void RemovePrivateFile() {
    const SignalsHeld held;
    RemovePrivateFiles();
    g_havePrivate = 0;
}

bool SyncTempFile(int fd) {
    // mkstemp made it private; give it the mode a new file would get.
    const mode_t mask = umask(0);
    umask(mask);
    return fchmod(fd, 0666 & ~mask) == 0 && fsync(fd) == 0;
}

bool CommitTempFile(const std::string& target) {
    if (rename(g_tempPath, target.c_str()) != 0) return false;
    g_haveTemp = 0;
    // The new name is on the device only once its folder is flushed too.
    const std::string folder = fs::path(target).has_parent_path() ? fs::path(target).parent_path().string() : ".";
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool flushed = fd >= 0 && fsync(fd) == 0;
    const int error = errno;
    if (fd >= 0) close(fd);
    if (!flushed) unlink(target.c_str());
    errno = error;
    return flushed;
}

void RemoveFile(const std::string& path) {
    unlink(path.c_str());
}

void DiscardTempFile() {
    if (g_haveTemp) unlink(g_tempPath);
    g_haveTemp = 0;
}

bool ReadFromDevice(int fd, const std::function<void(const uint8_t* bytes, size_t length)>& take) {
    // Flushed pages are clean, so dropping them is honoured: the reads below go to the device.
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    std::vector<uint8_t> buffer(1 << 20);
    for (int64_t at = 0;;) {
        const int64_t n = ReadAt(fd, at, buffer.data(), buffer.size());
        if (n < 0) return false;
        if (n == 0) return true;
        take(buffer.data(), static_cast<size_t>(n));
        at += n;
    }
}

// Vorlasta itself runs on Windows. Here the move checks what is sound and
// cheap: a read lock on the database, which SQLite's write locks conflict
// with (an idle open connection holds none), and the images of running programs.
std::string DefaultInstallation() {
    return "";
}

HoldResult HoldAgainstWriters(const std::string& path, int& fd) {
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? HoldResult::Missing : HoldResult::Failed;
    // The whole file and beyond: SQLite locks bytes past 1 GiB.
    struct flock lock = {};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd, F_OFD_SETLK, &lock) == 0) return HoldResult::Held;
    const int error = errno;
    close(fd);
    fd = -1;
    errno = error;
    return error == EAGAIN || error == EACCES ? HoldResult::InUse : HoldResult::Failed;
}

std::vector<std::string> OtherRunningPrograms() {
    const std::string self = std::to_string(getpid()), parent = std::to_string(getppid());
    std::vector<std::string> images;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return images;
    while (const dirent* entry = readdir(proc)) {
        const std::string pid = entry->d_name;
        if (pid[0] < '1' || pid[0] > '9' || pid == self || pid == parent) continue;
        char image[PATH_MAX];
        const ssize_t n = readlink(("/proc/" + pid + "/exe").c_str(), image, sizeof image);
        if (n > 0) images.emplace_back(image, static_cast<size_t>(n));
    }
    closedir(proc);
    return images;
}

bool StdoutIsConsole() {
    return isatty(STDOUT_FILENO) == 1;
}

bool ReadHiddenLine(const std::string& prompt, std::string& line) {
    termios saved;
    if (tcgetattr(STDIN_FILENO, &saved) != 0) return false;
    termios hidden = saved;
    hidden.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    std::cerr << prompt << std::flush;
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &hidden);
    std::getline(std::cin, line);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::cerr << "\n";
    return true;
}

}  // namespace platform
