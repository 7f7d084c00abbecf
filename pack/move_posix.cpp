// The move's system edge on Linux. Vorlasta itself runs on Windows; here the
// checks are what is sound and cheap: an OFD read lock on the database (which
// SQLite's write locks conflict with) and the images of running programs.
#include "move_platform.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "failure.h"

std::string DefaultInstallation() {
    throw UsageError("move needs --from FOLDER on this system");
}

HoldResult HoldAgainstWriters(const std::string& path, intptr_t& handle, std::string& error) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = strerror(errno);
        return errno == ENOENT || errno == ENOTDIR ? HoldResult::Missing : HoldResult::Failed;
    }
    // The whole file and beyond: SQLite locks bytes past 1 GiB.
    struct flock lock = {};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd, F_OFD_SETLK, &lock) != 0) {
        const int failed = errno;
        error = strerror(failed);
        close(fd);
        return failed == EAGAIN || failed == EACCES ? HoldResult::InUse : HoldResult::Failed;
    }
    handle = fd;
    return HoldResult::Held;
}

void ReleaseHold(intptr_t handle) {
    close(static_cast<int>(handle));
}

std::string ProgramRunningFrom(const std::string& folder) {
    char resolved[PATH_MAX];
    if (realpath(folder.c_str(), resolved) == nullptr) return {};
    const std::string prefix = std::string(resolved) + "/";
    // This program may lie in the installation itself, and the application
    // that asked for the move waits for it; the database lock covers that one.
    const std::string self = std::to_string(getpid()), parent = std::to_string(getppid());
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return {};
    std::string found;
    while (const dirent* entry = readdir(proc)) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9' || self == entry->d_name || parent == entry->d_name) {
            continue;
        }
        char image[PATH_MAX];
        const ssize_t n = readlink(("/proc/" + std::string(entry->d_name) + "/exe").c_str(), image, sizeof image - 1);
        if (n <= 0) continue;
        image[n] = '\0';
        if (strncmp(image, prefix.c_str(), prefix.size()) == 0) {
            found = image + prefix.size();
            break;
        }
    }
    closedir(proc);
    return found;
}

bool StdoutIsConsole() {
    return isatty(STDOUT_FILENO) == 1;
}
