#include "shop_database.h"

#include <sqlite3.h>

#include <filesystem>

#include "failure.h"
#include "payload_check.h"
#include "platform.h"

namespace fs = std::filesystem;

namespace {

// Long enough for a commit of the application to end; a writer that holds the
// lock longer is still working, and the shop owner is asked to try again.
constexpr int kBusyTimeoutMs = 10000;

class Connection {
public:
    Connection() = default;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() { sqlite3_close_v2(db_); }
    // SQLite's status of opening `path` read-write, never creating it.
    int Open(const std::string& path) {
        const int status = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr);
        sqlite3_busy_timeout(db_, kBusyTimeoutMs);
        return status;
    }
    sqlite3* get() const { return db_; }
    std::string Message() const { return db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory"; }

private:
    sqlite3* db_ = nullptr;
};

// The first finding of "PRAGMA quick_check", or "" when the copy is sound.
std::string QuickCheck(const Connection& copy) {
    sqlite3_stmt* statement = nullptr;
    std::string finding;
    if (sqlite3_prepare_v2(copy.get(), "PRAGMA quick_check", -1, &statement, nullptr) != SQLITE_OK) {
        finding = copy.Message();
    } else if (sqlite3_step(statement) == SQLITE_ROW) {
        const unsigned char* text = sqlite3_column_text(statement, 0);
        finding = text != nullptr ? reinterpret_cast<const char*>(text) : "";
        if (finding == "ok") finding.clear();
    } else {
        finding = copy.Message();
    }
    sqlite3_finalize(statement);
    return finding;
}

}  // namespace

ShopDatabaseCopy::ShopDatabaseCopy(const std::string& folder, const std::string& where) {
    const std::string shown = Printable((fs::u8path("data") / "shop.db").u8string());
    const std::string source = (fs::u8path(folder) / "data" / "shop.db").u8string();
    platform::FileId id;
    if (!platform::IdentifyFile(source, id)) Refuse(where + "there is no " + shown + ", so there is nothing to move");
    const auto judge = [&](int status, const std::string& message) {
        switch (status & 0xFF) {
            case SQLITE_BUSY:
            case SQLITE_LOCKED:
                Refuse(where + "Vorlasta is writing " + shown + " (it stayed locked for " +
                       std::to_string(kBusyTimeoutMs / 1000) + " s); try again when it is done");
            case SQLITE_NOTADB:
            case SQLITE_CORRUPT:
                Refuse(where + shown + " is damaged (" + message + "); nothing was moved");
            case SQLITE_CANTOPEN:
            case SQLITE_PERM:
            case SQLITE_AUTH:
                Refuse(where + "cannot open " + shown + ": " + message);
            default:
                throw Failure(kExitFailed, where + "cannot copy " + shown + " to the temporary folder: " + message);
        }
    };

    Connection shop;
    // The first read rolls back a hot journal or recovers a WAL.
    int status = shop.Open(platform::SystemPath(source));
    if (status == SQLITE_OK) status = sqlite3_exec(shop.get(), "SELECT count(*) FROM sqlite_schema", nullptr, nullptr, nullptr);
    if (status != SQLITE_OK) judge(status, shop.Message());

    file_.path = platform::CreatePrivateFile();
    if (file_.path.empty()) {
        throw Failure(kExitFailed, where + "cannot create a file in the temporary folder: " + platform::LastErrorText());
    }
    Connection copy;
    status = copy.Open(file_.path);
    if (status != SQLITE_OK) judge(SQLITE_IOERR, copy.Message());
    sqlite3_backup* backup = sqlite3_backup_init(copy.get(), "main", shop.get(), "main");
    if (backup == nullptr) judge(sqlite3_errcode(copy.get()), copy.Message());
    // One step: the whole database from one snapshot, never restarted by a writer.
    status = sqlite3_backup_step(backup, -1);
    sqlite3_backup_finish(backup);
    if (status != SQLITE_DONE) judge(status, copy.Message());

    const std::string finding = QuickCheck(copy);
    if (!finding.empty()) Refuse(where + shown + " is damaged (SQLite's check found: " + finding + "); nothing was moved");
}

ShopDatabaseCopy::PrivateFile::~PrivateFile() {
    if (!path.empty()) platform::RemovePrivateFile();
}
