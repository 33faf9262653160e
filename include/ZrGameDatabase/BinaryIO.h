// BinaryIO.h: Database::BinaryIO, a snapshot of a connection's "main" database in a file.
//
// The file is an ordinary SQLite database file, copied page by page with SQLite's backup
// interface; nothing of the library's own is added. Each save or load opens and closes the file;
// the object holds no SQLite handle between calls.
#pragma once

#include "ZrGameDatabase/Platform.h"

namespace Database {

class Connection;

class ZRDB_API BinaryIO {
public:
    // Keeps the pointer, not a copy: path must outlive the object.
    explicit BinaryIO(const char* path);

    // Replaces the file's whole content by a copy of the connection's "main" database, creating
    // the file when missing. False with "Failed to Save database." logged when the connection is
    // closed, the path names no file (empty, or an in-memory name), the file cannot be opened or
    // the copy fails (the file's content is then SQLite's to keep or roll back, never a mix).
    bool Save(Connection& connection);
    // Replaces the connection's "main" database (schema and rows) by the file's and forgets the
    // connection's cached counts. False, with the connection's database unchanged, when a
    // statement of the connection is stepping (two warnings and the SQL of each such statement
    // logged); false with "Failed to Load database." logged when the connection is closed, the
    // file is missing or unreadable (it is never created), the path names no file, or the copy
    // fails (the connection's ErrorMessage then gives SQLite's reason).
    bool Load(Connection& connection);

    // snapshot << connection writes the connection into the file (Save); snapshot >> connection
    // reads the file into the connection (Load).
    bool operator<<(Connection& connection);
    bool operator>>(Connection& connection);

private:
    const char* m_path;  // the snapshot file, the caller's text
};

}  // namespace Database
