#pragma once
// The shop's database as a move carries it: a copy taken by SQLite itself.
#include <string>

// Copies `folder`/data/shop.db with SQLite's online backup, in one step, into a
// private file in the system's temporary folder, and checks the copy with
// "PRAGMA quick_check". Opening it read-write first rolls back a hot journal
// and recovers a WAL, as Vorlasta's next start would, so the copy holds every
// committed transaction and none other, whatever its journal mode and whoever
// has it open. Refuses (exit 2) a missing, unreadable or damaged database and
// one its writer keeps locked; fails (exit 1) when the copy cannot be written.
// `where` names the installation in the lines. The copy goes with the object.
class ShopDatabaseCopy {
public:
    ShopDatabaseCopy(const std::string& folder, const std::string& where);
    ShopDatabaseCopy(const ShopDatabaseCopy&) = delete;
    ShopDatabaseCopy& operator=(const ShopDatabaseCopy&) = delete;

    const std::string& path() const { return file_.path; }

private:
    // Removes the copy however the object ends, a refusal in its making included.
    struct PrivateFile {
        std::string path;
        PrivateFile() = default;
        PrivateFile(const PrivateFile&) = delete;
        PrivateFile& operator=(const PrivateFile&) = delete;
        ~PrivateFile();
    } file_;
};
