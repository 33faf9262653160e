// DatabaseResults.cpp: the statement life cycle of Results and SingleResult: hand-over, binding,
// running, stepping, rewinding and release.
//
// Every failure SQLite reports while a statement runs is logged with the statement's SQL text, so
// that a line in the host's log says which statement failed and why.
#include "ZrGameDatabase/DatabaseResults.h"

#include <sqlite3.h>

#include <climits>
#include <cstdio>
#include <utility>

#include "core/ColumnPositions.h"
#include "base/TextFormat.h"
#include "base/Memory.h"

namespace Database {

// {==== Life cycle

Results::Results(const char* columns)
    : m_command(nullptr), m_columns(nullptr), m_singleRow(false), m_columnPositions(nullptr) {
    SetColumns(columns);
}

Results::Results(const Results& other)
    : m_command(other.Owner()), m_columns(nullptr), m_singleRow(other.m_singleRow), m_columnPositions(nullptr) {
    if (other.m_columnPositions != nullptr) {
        m_columnPositions = new ColumnPositions;
        if (m_columnPositions != nullptr) {
            try {
                m_columnPositions->byName = other.m_columnPositions->byName;
            } catch (const std::bad_alloc&) {
                // Out of memory: the copy rebuilds its positions on the first lookup instead.
                m_columnPositions->byName.clear();
            }
        }
    }
    if (other.m_columns != nullptr)
        SetColumns(other.GetColumns());
    if (other.HasStatement())
        m_command.Prepare(sqlite3_sql(other.Statement()), -1);
}

Results::~Results() {
    m_command.Release();
    FreeColumns();
    delete m_columnPositions;
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

bool Results::TakeCommand(Command&& command) {
    m_command = std::move(command);
    if (m_columnPositions != nullptr)
        m_columnPositions->byName.clear();
    if (m_singleRow)
        return Step();
    return true;
}

void Results::Release() {
    m_command.Release();
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
        Owner()->LogError(Owner()->ErrorMessage());
    char line[512];
    FormatText(line, sizeof line, "While executing - '%s'", sqlite3_sql(Statement()));
    Owner()->LogMessage(line);
}

// }====

SingleResult::SingleResult(const char* columns) : Results(columns) {
    SingleQuery(true);
}

}  // namespace Database
