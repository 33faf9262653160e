// ScriptingLuaDatabase.cpp: the database object (a table of table objects, filled on lookup) and
// the table objects (rows by ROWID or by Type, the row count); their iteration is in
// ScriptingLuaIteration.cpp.
//
// A table object prepares nothing until it is used: its first index and its first length run
// stubs that prepare the table's statements, keep them as upvalues of the working closures and
// put those in the stubs' place, so that later uses pay nothing to find their statements. Rows
// are converted once per table object and kept in its row cache under their ID and their Type;
// what its rows share (their metatable, their column names) is made once, in its row kit
// (ScriptingLuaRows.cpp).
//
// Which connection and which table a table object reads is kept in its own payload, which no
// script can write; the closures that need it hold the object as an upvalue. The metatable's
// `__db` and `__tablename` are only there to be shown: any script may rewrite them.
//
// Lua 5.1 raises errors with longjmp. Every C function here therefore keeps only trivially
// destructible locals, composes statement texts in fixed buffers, runs statements through SQLite
// and the helpers of ScriptingLuaInternal.h, none of which throws, and rewinds a statement before
// anything that could raise wherever it no longer needs the row.
#include <sqlite3.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#include "core/SqlText.h"
#include "scripting/ScriptingLuaInternal.h"
#include "ZrGameDatabase/Connection.h"
#include "ZrGameDatabase/DatabaseResults.h"
#include "ZrGameDatabase/ScriptingLua.h"
#include "scripting/LuaRuntime.h"

namespace Database::Scripting {

using namespace Runtime;
using Detail::kQueryErrorText;

namespace {

// Finds ordinary tables only, never views, indexes, triggers or SQLite's own tables.
constexpr char kTableLookupSql[] =
    "SELECT rowid FROM sqlite_master WHERE (name NOT LIKE 'sqlite%') and (type = 'table') "
    "and (tbl_name = ?) LIMIT 1;";
constexpr char kRowLookupErrorText[] =
    "Failed to look up row due to query error.  Check Database.log for more details.";
constexpr char kTableNameTooLongText[] = "Table name too long: its statement does not fit in 256 bytes.";

// The table's statement texts are composed in buffers of this size, terminator included.
constexpr std::size_t kTableStatementSize = 256;

// Composes head, the table's name and tail into storage; false when the text does not fit. The
// name goes in as it is: a table object names its table the way the script wrote it.
template <std::size_t Size>
bool ComposeTableStatement(char (&storage)[Size], const char* head, const char* name, const char* tail) noexcept {
    SqlText text(storage);
    text.Append(head).Append(name).Append(tail);
    return text.Ok();
}

// {==== Running the table's statements (no Lua calls in here)
//
// Lookups bind and rewind their statements through SQLite directly: the statements are the query
// objects' own, so the checks of Results would only repeat what is known. They step through
// Results, which logs a failed step.

// Rewinds statement, keeping its bindings; false after a failed step, and without a statement
// (its connection was closed).
bool Rewind(sqlite3_stmt* statement) noexcept {
    return statement != nullptr && sqlite3_reset(statement) == SQLITE_OK;
}

// Binds through bind; a statement left running by an error raised between its step and its reset
// refuses the binding, so it is rewound and bound again.
template <class BindFunction>
bool BindRewinding(sqlite3_stmt* statement, BindFunction bind) noexcept {
    if (bind(statement) == SQLITE_OK)
        return true;
    sqlite3_reset(statement);
    return bind(statement) == SQLITE_OK;
}

bool BindRowId(sqlite3_stmt* statement, double key) noexcept {
    long long rowId = 0;
    // NaN, the infinities and numbers beyond 64 bits name no row.
    if (!Detail::TruncateToInteger(key, rowId))
        return false;
    return BindRewinding(statement, [rowId](sqlite3_stmt* handle) { return sqlite3_bind_int64(handle, 1, rowId); });
}

// copy: whether SQLite takes a copy of the text. Without one the text must outlive the
// statement's use of it: the key of a lookup does, on the Lua stack until the statement is rewound.
// It stays bound after that, but nothing reads it again: every lookup binds its own key first.
bool BindText(sqlite3_stmt* statement, const char* text, std::size_t length, bool copy) noexcept {
    if (text == nullptr || length > static_cast<std::size_t>(INT32_MAX))
        return BindRewinding(statement, [](sqlite3_stmt* handle) { return sqlite3_bind_null(handle, 1); });
    return BindRewinding(statement, [text, length, copy](sqlite3_stmt* handle) {
        return sqlite3_bind_text(handle, 1, text, static_cast<int>(length), copy ? SQLITE_TRANSIENT : SQLITE_STATIC);
    });
}

// Whether an ordinary table called name exists; the lookup statement is rewound either way.
// failed tells a lookup that could not run (no memory to bind the name, a failed step) from a
// table that is not there.
bool TableExists(Detail::ScriptStatement& lookup, const char* name, std::size_t length, bool& failed) noexcept {
    const bool bound = BindText(lookup.Handle(), name, length, true);
    const bool found = bound && Detail::StepOnto(lookup);
    // A failed step ends the lookup just as a missing table does; the rewind tells them apart.
    const bool rewound = lookup.Reset();
    failed = !bound || (!found && !rewound);
    return found;
}

// Runs the count statement; false when it gave no row.
bool CountRows(Results& statement, long long& count) noexcept {
    const bool counted = Detail::StepOnto(statement);
    if (counted)
        count = statement.GetInt64(0);
    // Rewound on failure too: the next use of the length operator starts afresh.
    statement.TryReset();
    return counted;
}

// Whether the table read by statement (a `select *` of it) has a column SQLite finds under the
// name Type. SQLite resolves column names without regard to ASCII letter case, and so does this.
// A name that cannot be read (no memory) counts as Type: the Type statement is then tried as
// before, and its failure, if any, logged.
bool HasTypeColumn(Results& statement) noexcept {
    const int count = statement.ColumnCount();
    for (int column = 0; column < count; ++column) {
        const char* name = statement.ColumnName(column);
        if (name == nullptr)
            return true;
        const char* expected = "type";
        while (*name != '\0' && (*name | 0x20) == *expected) {
            ++name;
            ++expected;
        }
        if (*name == '\0' && *expected == '\0')
            return true;
    }
    return false;
}

// }====

// {==== Identity

// The payload of a table object: its connection, then its name, terminator included, right after
// this header. The database object keeps its connection in a userdata of the same kind, without a
// name. Where such a userdata is found (an upvalue, which LuaJIT's debug library can replace) is
// not trusted; its bytes are, when they start with the address of g_identityTag: no script can
// write the bytes of a userdata, and nothing else in a state puts the library's own address first
// in one.
struct IdentityPayload {
    const void* tag;
    Connection* connection;
    std::size_t nameSize;  // 0: no name
};

char g_identityTag = 0;

// Pushes one value: a new userdata holding connection and name (null: none). May raise
// (allocation).
void PushIdentity(lua_State* state, Connection& connection, const char* name) {
    const std::size_t nameSize = name != nullptr ? std::strlen(name) + 1 : 0;
    auto* payload = static_cast<IdentityPayload*>(NewUserdata(state, sizeof(IdentityPayload) + nameSize));
    payload->tag = &g_identityTag;
    payload->connection = &connection;
    payload->nameSize = nameSize;
    if (nameSize != 0)
        std::memcpy(payload + 1, name, nameSize);
}

// }====

}  // namespace

// {==== Shared with the iteration (ScriptingLuaInternal.h)

Connection* Detail::TableIdentity(lua_State* state, int index, const char*& name) {
    name = nullptr;
    if (TypeOf(state, index) != TypeUserdata || ObjLen(state, index) < sizeof(IdentityPayload))
        return nullptr;
    const auto* payload = static_cast<const IdentityPayload*>(ToUserdata(state, index));
    if (payload->tag != &g_identityTag || ObjLen(state, index) != sizeof(IdentityPayload) + payload->nameSize)
        return nullptr;
    if (payload->nameSize != 0)
        name = reinterpret_cast<const char*>(payload + 1);
    return payload->connection;
}

// }====

namespace {

// {==== Database object

// __index of the database object: upvalue 1 the connection's identity, upvalue 2 the lookup query
// object. A table found is stored raw under the key, so later lookups never come here; a miss is
// not stored, so a table created later is found.
int lIndexDatabase(lua_State* state) {
    SetTop(state, 2);
    // A script can take this function from the metatable and call it on anything; the table
    // object found is stored raw in argument 1, which must be a table for that.
    if (TypeOf(state, 1) != TypeTable)
        ArgError(state, 1, "Database must be of type 'table'.");
    const char* noName = nullptr;
    Connection* connection = Detail::TableIdentity(state, UpvalueIndex(1), noName);
    Detail::ScriptStatement* lookup = Detail::QueryResults(state, UpvalueIndex(2));
    if (lookup == nullptr || connection == nullptr) {
        PushString(state, kQueryErrorText);
        Error(state);
    }
    // The text of a copy: a number key must stay a number in the database object.
    const int keyType = TypeOf(state, 2);
    const char* name = nullptr;
    std::size_t length = 0;
    if (keyType == TypeString || keyType == TypeNumber) {
        PushValue(state, 2);
        name = ToLString(state, 3, &length);
    }
    bool failed = false;
    if (!TableExists(*lookup, name, length, failed)) {
        if (failed) {
            PushString(state, kQueryErrorText);
            Error(state);
        }
        PushNil(state);
        return 1;
    }
    Lua::PushDatabaseTable(state, *connection, name);
    // A NaN key cannot be stored; the table object is still returned.
    if (keyType != TypeNumber || !std::isnan(ToNumber(state, 2))) {
        PushValue(state, 2);
        PushValue(state, -2);
        RawSet(state, 1);
    }
    return 1;
}

// }====

// {==== Table object: indexing

const char* ErrorText(const Connection* connection) {
    const char* text = connection != nullptr ? connection->ErrorMessage() : nullptr;
    return text != nullptr ? text : "";
}

// Pushes the row the cache at index cache holds under the key on top of the stack (popped) and
// returns true; pushes nothing and returns false when it holds none.
bool PushCachedRow(lua_State* state, int cache) {
    RawGet(state, cache);
    if (TypeOf(state, -1) != TypeNil)
        return true;
    SetTop(state, -2);
    return false;
}

// Serves an index of the table object (argument 1) by the key (argument 2), with the ROWID and
// Type query objects, the row cache and the row kit at the given stack indices. Returns 1: the
// row or nil.
int IndexTable(lua_State* state, int idQuery, int typeQuery, int cache, int kit) {
    // The cache and the kit are upvalues, which LuaJIT's debug library can replace; raw accesses
    // need tables. The kit is only needed, and checked, once the cache has no row.
    if (TypeOf(state, cache) != TypeTable)
        ErrorWithPosition(state, kRowLookupErrorText);
    PushValue(state, 2);
    if (PushCachedRow(state, cache))
        return 1;
    if (TypeOf(state, kit) != TypeTable)
        ErrorWithPosition(state, kRowLookupErrorText);

    Detail::ScriptStatement* statement = nullptr;
    bool bound = false;
    switch (TypeOf(state, 2)) {
    case TypeNumber:
        statement = Detail::QueryResults(state, idQuery);
        if (statement == nullptr)
            ErrorWithPosition(state, "Indexing by ID is not available for this table.");
        bound = BindRowId(statement->Handle(), ToNumber(state, 2));
        break;
    case TypeString: {
        statement = Detail::QueryResults(state, typeQuery);
        if (statement == nullptr)
            ErrorWithPosition(state, "Indexing by type is not available for this table.");
        std::size_t length = 0;
        const char* text = ToLString(state, 2, &length);
        bound = BindText(statement->Handle(), text, length, false);
        break;
    }
    default:
        ArgError(state, 2, "Key must be of type 'number' or 'string'.");
    }

    if (bound && Detail::StepOnto(*statement)) {
        Detail::PushNewRow(state, *statement, cache, kit, TypeOf(state, 2) == TypeString ? 2 : 0);
        Rewind(statement->Handle());
        return 1;
    }
    // No row is nil; a lookup that could not run is an error, not a missing row: a Type that could
    // not be bound (a number that names no row binds nothing, rightly), or a failed step, which
    // the rewind repeats.
    const bool rewound = Rewind(statement->Handle());
    if (!rewound || (!bound && TypeOf(state, 2) == TypeString))
        ErrorWithPosition(state, kRowLookupErrorText);
    PushNil(state);
    return 1;
}

// __index of a table object once its statements exist: upvalues the ROWID query, the Type query
// (nil for a table without a Type column), the row cache and the row kit.
int lIndexDatabaseTable(lua_State* state) {
    SetTop(state, 2);
    return IndexTable(state, UpvalueIndex(1), UpvalueIndex(2), UpvalueIndex(3), UpvalueIndex(4));
}

// First __index of a table object (upvalues its metatable, the table object, its row cache and
// its row kit):
// prepares the ROWID statement and, for a table with a Type column, the Type statement, installs
// lIndexDatabaseTable over them and serves the key. The key is served here rather than through a
// call of the new closure, so that errors it raises carry the script's position, as they do on
// every later index. If the ROWID statement does not prepare, the stub stays and raises again on
// every index.
int lIndexDatabaseTableStub(lua_State* state) {
    SetTop(state, 2);
    const int metatable = UpvalueIndex(1);
    const int cache = UpvalueIndex(3);
    const int kit = UpvalueIndex(4);
    const char* name = nullptr;
    Connection* connection = Detail::TableIdentity(state, UpvalueIndex(2), name);
    char idSql[kTableStatementSize];
    char typeSql[kTableStatementSize];
    if (!ComposeTableStatement(idSql, "select * from ", name, " where ROWID = ? LIMIT 1")
        || !ComposeTableStatement(typeSql, "select * from ", name, " where Type = ? LIMIT 1"))
        ErrorWithPosition(state, kTableNameTooLongText);
    Results* idStatement = Lua::PushDatabaseQuery(state, connection, idSql);  // 3
    if (idStatement == nullptr)
        ErrorWithPosition(state, "Failed to generate id query - %s", ErrorText(connection));
    // The Type statement of a table without that column would fail to prepare, and the failure
    // would go to the connection's log as an error the script never made.
    if (HasTypeColumn(*idStatement))
        Lua::PushDatabaseQuery(state, connection, typeSql);  // 4
    else
        PushNil(state);  // 4: string keys then raise "Indexing by type is not available"
    PushValue(state, 3);
    PushValue(state, 4);
    PushValue(state, cache);
    PushValue(state, kit);
    pushnamedcclosure(state, lIndexDatabaseTable, 4, "lIndexDatabaseTable", 0);
    SetField(state, metatable, "__index");
    return IndexTable(state, 3, 4, cache, kit);
}

// __newindex of a table object.
int lNewIndexDatabaseTable(lua_State* state) {
    ErrorWithPosition(state, "Database table is read-only from Lua.");
}

// }====

// {==== Table object: length

// Counts the table's rows with the count query object at index. Returns 1: the count.
int TableLength(lua_State* state, int query) {
    if (TypeOf(state, query) != TypeUserdata || ToUserdata(state, query) == nullptr)
        ErrorWithPosition(state, "SQL Length query up-value is missing!");
    Results* statement = Detail::QueryResults(state, query);
    if (statement == nullptr)
        ErrorWithPosition(state, "Failed to cast up-value to Database::Results");
    long long count = 0;
    if (!CountRows(*statement, count))
        ErrorWithPosition(state, "An error occurred calculating the table length.");
    PushNumber(state, static_cast<double>(count));
    return 1;
}

// __len of a table object once its count statement was tried: upvalue 1 its query object, or nil
// when it did not prepare.
int lLengthOfDatabaseTable(lua_State* state) {
    return TableLength(state, UpvalueIndex(1));
}

// First __len of a table object (upvalues its metatable and the table object): prepares the count
// statement, installs lLengthOfDatabaseTable over it (nil when it failed) and counts. The count
// runs anew on every use, so it follows inserts and deletes.
int lLengthOfDatabaseTableStub(lua_State* state) {
    SetTop(state, 1);
    const int metatable = UpvalueIndex(1);
    const char* name = nullptr;
    Connection* connection = Detail::TableIdentity(state, UpvalueIndex(2), name);
    char sql[kTableStatementSize];
    if (!ComposeTableStatement(sql, "select count(*) from ", name, ""))
        ErrorWithPosition(state, kTableNameTooLongText);
    Lua::PushDatabaseQuery(state, connection, sql);  // 2
    PushValue(state, 2);
    pushnamedcclosure(state, lLengthOfDatabaseTable, 1, "lLengthOfDatabaseTable", 0);
    SetField(state, metatable, "__len");
    return TableLength(state, 2);
}

// }====

}  // namespace

// {==== Exported

void Lua::PushDatabase(lua_State* state, Connection& connection) {
    CreateTable(state, 0, 0);
    const int database = GetTop(state);
    CreateTable(state, 0, 2);
    PushLightUserdata(state, &connection);
    SetField(state, -2, "__db");
    PushIdentity(state, connection, nullptr);
    PushDatabaseQuery(state, &connection, kTableLookupSql);
    pushnamedcclosure(state, lIndexDatabase, 2, "lIndexDatabase", 0);
    SetField(state, -2, "__index");
    SetMetatable(state, database);
}

void Lua::PushDatabaseTable(lua_State* state, Connection& connection, const char* name) {
    PushIdentity(state, connection, name);
    const int object = GetTop(state);
    CreateTable(state, 0, 7);
    const int metatable = GetTop(state);
    // The row cache is shown as `__rowdata`, but the closures hold it themselves. The row kit is
    // filled by the first row.
    CreateTable(state, 0, 0);
    const int cache = GetTop(state);
    CreateTable(state, 3, 0);
    const int kit = GetTop(state);
    PushValue(state, metatable);
    PushValue(state, object);
    PushValue(state, cache);
    PushValue(state, kit);
    pushnamedcclosure(state, lIndexDatabaseTableStub, 4, "Lua::lIndexDatabaseTableStub", 0);
    SetField(state, metatable, "__index");
    pushnamedcclosure(state, lNewIndexDatabaseTable, 0, "Lua::lNewIndexDatabaseTable", 0);
    SetField(state, metatable, "__newindex");
    PushValue(state, metatable);
    PushValue(state, object);
    pushnamedcclosure(state, lLengthOfDatabaseTableStub, 2, "Lua::lLengthOfDatabaseTableStub", 0);
    SetField(state, metatable, "__len");
    PushValue(state, object);
    PushValue(state, cache);
    PushValue(state, kit);
    pushnamedcclosure(state, Detail::lCallDatabaseTable, 3, "Lua::lCallDatabaseTable", 0);
    SetField(state, metatable, "__call");
    SetTop(state, cache);  // pops the kit, which the closures hold
    PushString(state, name);
    SetField(state, metatable, "__tablename");
    PushLightUserdata(state, &connection);
    SetField(state, metatable, "__db");
    SetField(state, metatable, "__rowdata");  // pops the cache
    if (GetTop(state) != metatable)
        ErrorWithPosition(state, "Stack size does not match expected value.");
    SetMetatable(state, -2);
}

// }====

}  // namespace Database::Scripting