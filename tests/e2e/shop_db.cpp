// shop-db.exe: a shop's database as Vorlasta's own SQLite leaves it, for the
// move test. Linked with the SQLite the packer uses, and run under Wine, so
// its locks are the Windows locks a running Vorlasta holds.
//   shop-db DB create MODE N   N sales in journal mode MODE, closed cleanly
//   shop-db DB crash N         N sales committed to the WAL only, then ends without closing
//   shop-db DB hold            keeps a write transaction open until killed; prints "holding"
//   shop-db DB check           prints what quick_check says and the number of sales
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <string>

static sqlite3* g_db;

static void Run(const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(g_db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        fprintf(stderr, "shop-db: %s: %s\n", sql.c_str(), error);
        exit(1);
    }
}

static void AddSales(int count) {
    Run("CREATE TABLE IF NOT EXISTS sale(id INTEGER PRIMARY KEY, item TEXT)");
    for (int i = 0; i < count; ++i) Run("INSERT INTO sale(item) VALUES(printf('sale %d', " + std::to_string(i) + ") || zeroblob(200))");
}

int main(int argc, char** argv) {
    if (argc < 3 || sqlite3_open(argv[1], &g_db) != SQLITE_OK) return fprintf(stderr, "shop-db: bad call\n"), 2;
    const std::string command = argv[2];
    if (command == "create" && argc == 5) {
        Run(std::string("PRAGMA journal_mode=") + argv[3]);
        Run("BEGIN"), AddSales(atoi(argv[4])), Run("COMMIT");
        return sqlite3_close(g_db) == SQLITE_OK ? 0 : 1;
    }
    if (command == "crash" && argc == 4) {
        Run("PRAGMA journal_mode=WAL"), Run("PRAGMA wal_autocheckpoint=0");
        Run("BEGIN"), AddSales(atoi(argv[3])), Run("COMMIT");
        Run("BEGIN"), AddSales(7);  // never committed
        ExitProcess(0);
    }
    if (command == "hold") {
        Run("BEGIN IMMEDIATE"), AddSales(5);
        printf("holding"), fflush(stdout);
        Sleep(INFINITE);
    }
    if (command == "check") {
        sqlite3_stmt* statement;
        for (const char* sql : {"PRAGMA quick_check", "SELECT count(*) FROM sale"}) {
            if (sqlite3_prepare_v2(g_db, sql, -1, &statement, nullptr) != SQLITE_OK || sqlite3_step(statement) != SQLITE_ROW) return 1;
            printf("%s ", reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
            sqlite3_finalize(statement);
        }
        return 0;
    }
    return fprintf(stderr, "shop-db: bad call\n"), 2;
}
