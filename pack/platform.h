#pragma once
// The packer's edge with the operating system, implemented once per system
// (platform_posix.cpp, platform_windows.cpp); everything else is shared.
// Paths and text are UTF-8. Files are int descriptors, as the C runtime of
// both systems hands them out; -1 is none.
#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

// The packer itself (main.cpp), called by each system's entry point with the
// arguments after the program name, as UTF-8.
int PackerMain(const std::vector<std::string>& args);

namespace platform {

// Names through libarchive as UTF-8, times in UTC, console text that shows.
// Empty, or why the packer cannot run here.
std::string SetUpProcess();

// Why the last failed call below failed, in the system's words.
std::string LastErrorText();

// `path` as the system's own calls take it, for a library that opens files
// itself: on Windows absolute behind "\\?\", so no length limits it.
std::string SystemPath(const std::string& path);

// Opens an existing file (or folder) to read; -1 on failure.
int OpenForRead(const std::string& path);
// False when closing reports an error (a late write error, say).
bool Close(int fd);

struct FileInfo {
    int64_t size = 0;
    int64_t modified = 0;  // the last write, in the finest unit the system keeps
    bool regular = false;
};
bool QueryFile(int fd, FileInfo& info);

// Reads up to `length` bytes at `offset`, fewer only at the end of the file
// or on an error after some bytes; -1 on an error before any. The file
// position is not used, so readers and writers of one file never disturb each other.
int64_t ReadAt(int fd, int64_t offset, void* buffer, size_t length);
// Writes all `length` bytes at `offset`; false on failure.
bool WriteAt(int fd, int64_t offset, const void* data, size_t length);

// The file a name leads to, however named: device and inode, or volume
// serial number and file index.
struct FileId {
    uint64_t volume = 0;
    uint64_t index = 0;
    bool operator==(const FileId& other) const { return volume == other.volume && index == other.index; }
};
// False when there is no such file.
bool IdentifyFile(const std::string& path, FileId& id);

// The path the system itself keeps for an existing file or folder, with
// links, junctions, 8.3 names, case and drive letters resolved; false when
// there is no such file.
bool FinalPath(const std::string& path, std::string& final);

// Whether `path` is `folder` or lies in it at any depth, judged by the
// identity of the folders it lies in (IdentifyFile), not by spelling: 8.3
// names, another drive letter for the same folder, case, ".." and links do
// not get past it. `path` need not exist yet (an output, say): the nearest
// folder of it that does is judged. False when `folder` does not exist.
// Shared by both systems (platform.cpp).
bool LiesInFolder(const std::string& path, const std::string& folder);

// What a name is. A link is a symbolic link, junction or mount point: never followed.
enum class PathKind { Missing, File, Folder, Link, Other };
// What `path` leads to (a link at its end followed), or Missing.
PathKind KindOfPath(const std::string& path);

// One name in a folder, as the folder lists it.
struct FolderItem {
    std::string name;
    PathKind kind = PathKind::Other;
    int64_t size = 0;   // a file's
    int64_t mtime = 0;  // a file's modification time, whole Unix seconds
};
// The names in `folder`, but "." and ".."; false when it cannot be read.
bool ReadFolder(const std::string& folder, std::vector<FolderItem>& items);

// The value of the environment variable `name`, as UTF-8; false when it is unset.
bool Environment(const char* name, std::string& value);

// An open file in `folder` with no name (or none that outlives it), gone when
// closed; -1 on failure.
int CreateNamelessFile(const std::string& folder);

// The output while it is written. Creates a new file at `path`, whose last six
// characters "XXXXXX" become a unique suffix, and removes it if the process is
// interrupted (SIGINT, SIGTERM, SIGHUP; a console Ctrl+C, Ctrl+Break or close)
// before CommitTempFile or DiscardTempFile; -1 on failure.
extern const size_t kMaxTempPath;  // paths this long or longer are not taken
int CreateTempFile(std::string& path);
// Gives it the permissions a new file gets and flushes it to the disk.
bool SyncTempFile(int fd);
// Renames the closed temporary file to `target`, replacing what is there, and
// flushes the name to the device; on failure nothing is left at `target`.
bool CommitTempFile(const std::string& target);
// Removes a file, if there is one.
void RemoveFile(const std::string& path);
// Removes the temporary file, if it was not committed.
void DiscardTempFile();
// Reads all of a file, flushed by SyncTempFile, from the device itself rather
// than the system's cache, in order from its start, handing `take` each piece;
// false on a read error.
bool ReadFromDevice(int fd, const std::function<void(const uint8_t* bytes, size_t length)>& take);

// A new empty file in the system's temporary folder that only this user may
// read, for a copy of the shop's data; "" on failure. It, and the files
// SQLite keeps beside it ("-journal", "-wal", "-shm"), go at RemovePrivateFile
// and on an interrupt, as the output's temporary file does. One at a time.
std::string CreatePrivateFile();
void RemovePrivateFile();

// ---- Moving an installation, with its data, from the shop's old PC ----------

// The installation to move when none is named: the one that holds this
// program, else %LOCALAPPDATA%\Vorlasta. Empty where the system has none.
std::string DefaultInstallation();

enum class HoldResult { Held, Missing, InUse, Failed };
// Opens the file so that no one can write it while `fd` stays open; InUse
// while someone has it open for writing (LastErrorText says why on Failed).
HoldResult HoldAgainstWriters(const std::string& path, int& fd);

// The images of the running programs, but this one and the one that started it.
std::vector<std::string> OtherRunningPrograms();

// A program of OtherRunningPrograms whose image lies in `folder` (LiesInFolder),
// named below the folder where it can be; empty when there is none. Shared
// by both systems (platform.cpp).
std::string ProgramRunningFrom(const std::string& folder);

// Whether standard output is a console, where a line can be rewritten in place.
bool StdoutIsConsole();

// Shows `prompt` on standard error and reads one line typed on the console
// without echoing it, as UTF-8; false when standard input is not a console.
bool ReadHiddenLine(const std::string& prompt, std::string& line);

}  // namespace platform
