// DatabaseResults.cpp: the statement life cycle of Results and SingleResult: hand-over, binding,
// running, stepping, rewinding and release.
//
// Every failure SQLite reports while a statement runs is logged with the statement's SQL text, so
// that a line in the host's log says which statement failed and why.
#include "ZrGameDatabase/DatabaseResults.h"

#include <sqlite3.h>

#include <climits>
#include <utility>

#include "base/TextFormat.h"
#include "core/ColumnPositions.h"
#include "core/Command.h"

namespace Database {

// {==== Life cycle

Results::Results(const char* columns) : m_columns(nullptr), m_singleRow(false) {
    SetColumns(columns);
}

Results::Results(const Results& other) : m_columns(nullptr), m_singleRow(other.m_singleRow) {
    if (other.m_columnPositions != nullptr) {
        m_columnPositions.reset(new ColumnPositions);
        if (m_columnPositions != nullptr && !m_columnPositions->CopyFrom(*other.m_columnPositions))
            m_columnPositions->byName.Reset();  // out of memory: rebuilt on the first lookup instead
    }
    if (other.m_columns != nullptr)
        SetColumns(other.GetColumns());
    if (other.HasStatement()) {
        Command command(other.Owner());
        if (command.Prepare(sqlite3_sql(other.Statement()), -1) == Status::Ok)
            m_command.reset(new Command(std::move(command)));
    }
}

Results::~Results() {
    FreeColumns();
}

void* Results::operator new(std::size_t size) noexcept {
    return Memory::Allocate(size);
}

void Results::operator delete(void* block) noexcept {
    Memory::Deallocate(block);
}

void Results::SetColumns(const char* columns) {
    FreeColumns();
    if (columns != nullptr)
        m_columns = sqlite3_mprintf("%s", columns);
}

const char* Results::GetColumns() const {
    return m_columns != nullptr ? m_columns : "*";
}

void Results::FreeColumns() {
    sqlite3_free(m_columns);
    m_columns = nullptr;
}

bool Results::HasStatement() const {
    return m_command != nullptr && m_command->Held();
}

sqlite3_stmt* Results::Statement() const {
    return m_command != nullptr ? m_command->Statement() : nullptr;
}

const Connection* Results::Owner() const {
    return m_command != nullptr ? m_command->Owner() : nullptr;
}

Status ResultsAccess::TakeCommand(Results& results, Command&& command) {
    // The command object is made once and then reused for every later statement.
    if (results.m_command == nullptr) {
        results.m_command.reset(new Command);
        if (results.m_command == nullptr)
            return Status::OutOfMemory;  // command finalizes its statement on the way out
    }
    *results.m_command = std::move(command);
    if (results.m_columnPositions != nullptr)
        results.m_columnPositions->byName.Reset();
    return Status::Ok;
}

Status ResultsAccess::Prepare(const Connection& connection, Results& results, const char* sql, int length) {
    Command command(&connection);
    const Status prepared = command.Prepare(sql, length);
    return prepared == Status::Ok ? TakeCommand(results, std::move(command)) : prepared;
}

void Results::Release() {
    if (m_command != nullptr)
        m_command->Release();
    FreeColumns();
}

// }====

// {==== Binding

bool Results::Bind(int index, int value) {
    return HasStatement() && sqlite3_bind_int(Statement(), index, value) == SQLITE_OK;
}

bool Results::Bind(int index, long long value) {
    return HasStatement() && sqlite3_bind_int64(Statement(), index, value) == SQLITE_OK;
}

bool Results::Bind(int index, float value) {
    return HasStatement() && sqlite3_bind_double(Statement(), index, static_cast<double>(value)) == SQLITE_OK;
}

bool Results::Bind(int index, double value) {
    return HasStatement() && sqlite3_bind_double(Statement(), index, value) == SQLITE_OK;
}

bool Results::Bind(int index, const char* text, int length, bool copy) {
    return HasStatement()
        && sqlite3_bind_text(Statement(), index, text, length, copy ? SQLITE_TRANSIENT : SQLITE_STATIC) == SQLITE_OK;
}

bool Results::Bind(int index, const char* text, bool copy) {
    return Bind(index, text, -1, copy);
}

bool Results::Bind(int index, const WideChar* text, int length, bool copy) {
    // The length counts UTF-16 units; SQLite wants bytes. A count too large to double is more
    // than SQLite would take anyway.
    if (!HasStatement() || length > INT_MAX / 2)
        return false;
    const int bytes = length < 0 ? length : length * 2;
    return sqlite3_bind_text16(Statement(), index, text, bytes, copy ? SQLITE_TRANSIENT : SQLITE_STATIC) == SQLITE_OK;
}

bool Results::Bind(int index, const WideChar* text, bool copy) {
    return Bind(index, text, -1, copy);
}

bool Results::BindNULL(int index) {
    return HasStatement() && sqlite3_bind_null(Statement(), index) == SQLITE_OK;
}

// }====

// {==== Running and stepping

bool Results::Execute() {
    if (Owner() == nullptr || !HasStatement())
        return false;
    const int resultCode = sqlite3_step(Statement());
    if (resultCode == SQLITE_DONE)
        return true;
    LogStepFailure(resultCode == SQLITE_ROW);
    return false;
}

bool Results::TryExecute() {
    if (Owner() == nullptr || !HasStatement())
        return false;
    const int resultCode = sqlite3_step(Statement());
    if (resultCode == SQLITE_DONE || resultCode == SQLITE_ABORT || resultCode == SQLITE_CONSTRAINT)
        return true;
    LogStepFailure(resultCode == SQLITE_ROW);
    return false;
}

bool Results::Step() {
    if (!HasStatement())
        return false;
    const int resultCode = sqlite3_step(Statement());
    if (resultCode == SQLITE_ROW)
        return true;
    if (resultCode != SQLITE_DONE && Owner() != nullptr)
        LogStepFailure(false);
    return false;
}

bool Results::Reset() {
    if (!HasStatement() || sqlite3_reset(Statement()) != SQLITE_OK)
        return false;
    return sqlite3_clear_bindings(Statement()) == SQLITE_OK;
}

bool Results::TryReset() {
    if (!HasStatement())
        return false;
    sqlite3_reset(Statement());
    return sqlite3_clear_bindings(Statement()) == SQLITE_OK;
}

void Results::LogStepFailure(bool rowReturned) const {
    if (rowReturned)
        Owner()->LogWarning("A row was returned during an Execute command.");
    else
        ReportSqliteError(*Owner());
    char line[512];
    FormatText(line, sizeof line, "While executing - '%s'", sqlite3_sql(Statement()));
    Owner()->LogMessage(line);
}

// }====

SingleResult::SingleResult(const char* columns) : Results(columns) {
    SingleQuery(true);
}

}  // namespace Database
