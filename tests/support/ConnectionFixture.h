// ConnectionFixture.h: a fresh in-memory connection with a recording logger, for every test that
// needs a database.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "ZrGameDatabase/Connection.h"
#include "support/RecordingLogger.h"

namespace Database::Testing {

class ConnectionFixture : public ::testing::Test {
protected:
    ConnectionFixture() : connection(nullptr, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) {
        connection.SetLogger(new RecordingLogger(log));
    }

    // Runs sql and fails the test when it does not run; the log is emptied afterwards, so that
    // tests see only the lines of what they exercise.
    void Run(const char* sql) {
        ASSERT_TRUE(connection.ExecuteMultiple(sql)) << sql;
        log.clear();
    }

    // The first column of the first row of sql, as text ("NULL" for a null, "" for no row).
    std::string Scalar(const char* sql) {
        sqlite3_stmt* statement = nullptr;
        std::string value;
        if (sqlite3_prepare_v2(connection.Handle(), sql, -1, &statement, nullptr) == SQLITE_OK
            && sqlite3_step(statement) == SQLITE_ROW) {
            const unsigned char* text = sqlite3_column_text(statement, 0);
            value = text != nullptr ? reinterpret_cast<const char*>(text) : "NULL";
        }
        sqlite3_finalize(statement);
        return value;
    }

    std::vector<LogLine> log;
    Connection connection;
};

}  // namespace Database::Testing
