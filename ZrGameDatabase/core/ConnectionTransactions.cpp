// ConnectionTransactions.cpp: transactions and savepoints, each one SQL statement run through
// Execute. Begins of the nestable family may nest because they are savepoints of one name.
#include "ZrGameDatabase/Connection.h"
#include "base/TextFormat.h"
#include "core/SqlText.h"

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
    return ExecuteSavePointStatement("SAVEPOINT ", name);
}

bool Connection::RollbackToSavePoint(const char* name) {
    return ExecuteSavePointStatement("ROLLBACK TO ", name);
}

// Composes the statement in its 256-byte buffer and runs it. A cut name could name another
// savepoint than the caller's, so a name that does not fit is refused, as is a missing one.
bool Connection::ExecuteSavePointStatement(const char* head, const char* name) {
    if (name == nullptr) {
        LogError("A savepoint needs a name.");
        return false;
    }
    char storage[256];
    SqlText statement(storage);
    statement.Append(head).Append(name);
    if (!statement.Ok()) {
        char line[256];
        FormatText(line, sizeof line, "The savepoint name %.*s... does not fit a statement of %d bytes.",
                   static_cast<int>(Utf8PrefixLength(name, 64)), name, static_cast<int>(sizeof storage));
        LogError(line);
        return false;
    }
    return Execute(statement.Text(), static_cast<int>(statement.Length()));
}

}  // namespace Database
