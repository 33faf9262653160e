// BinaryIO.cpp: saving a connection's "main" database to a file and loading it back, in one
// backup step each way; and loading it from the file's bytes already in memory (SnapshotImage.h).
//
// A load replaces every table of the connection, so it is made only from a file that exists and
// is opened read-only: a mistyped path must fail, not create an empty file and load it over the
// data. A path that names no file (an empty name, an in-memory database) is refused both ways:
// loading it would empty the connection, saving to it would report a copy nobody can read back.
#include "ZrGameDatabase/BinaryIO.h"

#include <sqlite3.h>

#include "ZrGameDatabase/Connection.h"
#include "core/SnapshotImage.h"

namespace Database {
namespace {

constexpr char kSaveFailure[] = "Failed to Save database.";
constexpr char kLoadFailure[] = "Failed to Load database.";

// True when the database opened as "main" of handle lives in a file of its own.
bool IsFile(sqlite3* handle) {
    const char* name = sqlite3_db_filename(handle, "main");
    return name != nullptr && name[0] != '\0';
}

// Copies "main" of source over "main" of destination in one step. Returns 0 on success, else
// SQLite's result, which SQLite also leaves as the destination's error.
int CopyDatabase(sqlite3* destination, sqlite3* source) {
    sqlite3_backup* backup = sqlite3_backup_init(destination, "main", source, "main");
    if (backup == nullptr) {
        const int resultCode = sqlite3_errcode(destination);
        return resultCode != SQLITE_OK ? resultCode : SQLITE_ERROR;
    }
    const int stepResult = sqlite3_backup_step(backup, -1);
    const int finishResult = sqlite3_backup_finish(backup);
    if (finishResult != SQLITE_OK)
        return finishResult;
    return stepResult == SQLITE_DONE ? SQLITE_OK : SQLITE_ERROR;
}

// Keeps the copy's dirty pages in memory until it commits. An in-memory database larger than the
// page-cache buffer holds every slot, and SQLite's page cache then reports memory pressure to
// every other cache: the file's would write each page out early, syncing its journal before each
// one (two syncs a page when the file is overwritten, 75 times slower than one copy). The pages
// come from the private heap instead and are written once, at the commit.
int KeepPagesUntilCommit(sqlite3* file) {
    return sqlite3_exec(file, "pragma cache_spill = off", nullptr, nullptr, nullptr);
}

// Logs the statements of connection that are stepping; true when there is at least one.
bool ReportBusyStatements(const Connection& connection) {
    bool busy = false;
    for (int index = 0; index < connection.StatementCount(); ++index) {
        if (!connection.StatementBusy(index))
            continue;
        if (!busy) {
            connection.LogWarning("Attempting to Save/Load database while the connection is busy!");
            connection.LogWarning("Busy Statements:");
            busy = true;
        }
        // A statement prepared without keeping its text has nothing to show.
        if (const char* sql = connection.StatementSQL(index))
            connection.LogWarning(sql);
    }
    return busy;
}

// Opens the bytes of a database file as a read-only database in place: SQLite neither copies nor
// frees them. With mmap_size set the pager points at the image's pages instead of copying each
// into its own cache first, so the copy that follows moves every byte once (a hit of the snapshot
// cache takes a fifth less time).
int OpenImage(void* image, std::size_t size, sqlite3*& source) {
    int outcome = sqlite3_open_v2(":memory:", &source, SQLITE_OPEN_READWRITE, nullptr);
    if (outcome == SQLITE_OK)
        outcome = sqlite3_deserialize(source, "main", static_cast<unsigned char*>(image),
                                      static_cast<sqlite3_int64>(size), static_cast<sqlite3_int64>(size),
                                      SQLITE_DESERIALIZE_READONLY);
    if (outcome == SQLITE_OK)
        outcome = sqlite3_exec(source, "pragma mmap_size = 9223372036854775807", nullptr, nullptr, nullptr);
    return outcome;
}

// Copies source, opened with outcome, over connection's "main", closes source and reports a
// failure as a load's.
bool CopyOver(Connection& connection, sqlite3* source, int outcome) {
    bool copied = false;
    if (outcome == SQLITE_OK) {
        outcome = CopyDatabase(connection.Handle(), source);
        copied = true;
    }
    sqlite3_close(source);
    // Counts cached before the copy describe tables that may be gone or different now.
    if (copied)
        connection.ClearCountCache();
    if (outcome != SQLITE_OK) {
        connection.LogError(kLoadFailure);
        return false;
    }
    return true;
}

}  // namespace

BinaryIO::BinaryIO(const char* path) : m_path(path) {}

bool BinaryIO::Save(Connection& connection) {
    sqlite3* handle = connection.Handle();
    if (handle == nullptr || m_path == nullptr) {
        connection.LogError(kSaveFailure);
        return false;
    }
    sqlite3* file = nullptr;
    int outcome = sqlite3_open_v2(m_path, &file, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (outcome == SQLITE_OK)
        outcome = IsFile(file) ? KeepPagesUntilCommit(file) : SQLITE_CANTOPEN;
    if (outcome == SQLITE_OK)
        outcome = CopyDatabase(file, handle);
    sqlite3_close(file);
    if (outcome != SQLITE_OK) {
        connection.LogError(kSaveFailure);
        return false;
    }
    return true;
}

bool BinaryIO::Load(Connection& connection) {
    if (ReportBusyStatements(connection))
        return false;
    if (connection.Handle() == nullptr || m_path == nullptr) {
        connection.LogError(kLoadFailure);
        return false;
    }
    sqlite3* file = nullptr;
    int outcome = sqlite3_open_v2(m_path, &file, SQLITE_OPEN_READONLY, nullptr);
    if (outcome == SQLITE_OK && !IsFile(file))
        outcome = SQLITE_CANTOPEN;
    return CopyOver(connection, file, outcome);
}

bool LoadSnapshotImage(Connection& connection, void* image, std::size_t size) noexcept {
    if (ReportBusyStatements(connection))
        return false;
    if (connection.Handle() == nullptr || image == nullptr) {
        connection.LogError(kLoadFailure);
        return false;
    }
    sqlite3* source = nullptr;
    return CopyOver(connection, source, OpenImage(image, size, source));
}

bool BinaryIO::operator<<(Connection& connection) {
    return Save(connection);
}

bool BinaryIO::operator>>(Connection& connection) {
    return Load(connection);
}

}  // namespace Database
