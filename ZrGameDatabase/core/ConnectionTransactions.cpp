// ConnectionTransactions.cpp: transactions and savepoints, each one SQL statement run through
// Execute. Begins of the nestable family may nest because they are savepoints of one name.
#include <cstdio>

#include "core/ConnectionState.h"
#include "ZrGameDatabase/Connection.h"

namespace Database {

void Connection::BeginTransaction() {
    Execute("SAVEPOINT _;");
}

void Connection::EndTransaction() {
    Execute("RELEASE _;");
}

void Connection::RollbackTransaction() {
    Execute("ROLLBACK;");
}

void Connection::BeginDeferredTransaction() {
    Execute("BEGIN DEFERRED TRANSACTION");
}

void Connection::BeginImmediateTransaction() {
    Execute("BEGIN IMMEDIATE TRANSACTION");
}

void Connection::BeginExclusiveTransaction() {
    Execute("BEGIN EXCLUSIVE TRANSACTION");
}

void Connection::CommitTransaction() {
    Execute("COMMIT");
}

bool Connection::SetSavePoint(const char* name) {
    return ExecuteSavePointStatement("SAVEPOINT %s", name);
}

bool Connection::RollbackToSavePoint(const char* name) {
    return ExecuteSavePointStatement("ROLLBACK TO %s", name);
}

// Formats the statement into its 256-byte buffer and runs it. A cut name could name another
// savepoint than the caller's, so a name that does not fit is refused, as is a missing one.
bool Connection::ExecuteSavePointStatement(const char* format, const char* name) {
    if (name == nullptr) {
        LogError("A savepoint needs a name.");
        return false;
    }
    char statement[256] = {};
    const int length = std::snprintf(statement, sizeof statement, format, name);
    if (length < 0 || length >= static_cast<int>(sizeof statement)) {
        char line[256];
        std::snprintf(line, sizeof line, "The savepoint name %.*s... does not fit a statement of %d bytes.",
                      ShownPrefixLength(name, 64), name, static_cast<int>(sizeof statement));
        LogError(line);
        return false;
    }
    return Execute(statement, sizeof statement);
}

}  // namespace Database
