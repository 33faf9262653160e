// Fuzz target of the Lua binding: the input is read as a sequence of operations that a script
// could perform on the database object, its table objects and their rows: lookups of tables that
// exist and that do not, indexing by strings and by numbers of every kind (NaN, the infinities,
// values beyond 64 bits), the length operator, iteration with SQL conditions and with filter
// tables, field reads, assignments, calls of the objects' metamethods with the wrong objects, and
// the host's own queries and rows. Every operation runs under lua_pcall: a Lua error is a fine
// outcome, a crash or a sanitizer report is a finding. What must hold besides:
//  - every operation leaves the Lua stack as high as it found it, and each push of the binding
//    pushes exactly one value;
//  - assignments to table objects, and to fields a row does not hold, raise errors;
//  - where the answer is known, it is right: which names are tables, the rows found by ID and by
//    Type, the row counts, and the number of rows an iteration yields (counted by SQLite itself);
//  - once an input's objects are collected, no statement is left prepared and nothing was written.
//
// The connection and the Lua state live for the whole run, which makes an input much cheaper.
// Each input gets a database object of its own, so the table objects, their statements and their
// row caches are all new; the only global a binding function reads, print, is set by every input;
// and the connection is only ever read. So no input can change what the next one sees.
#include <fuzzer/FuzzedDataProvider.h>
#include <lua.hpp>
#include <sqlite3.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "FuzzSupport.h"
#include "ZrGameDatabase/Connection.h"
#include "ZrGameDatabase/DatabaseResults.h"
#include "ZrGameDatabase/ScriptingLua.h"

namespace {

using Database::Connection;
using Database::Results;
using Database::Scripting::Lua;

using FuzzSupport::Check;
using FuzzSupport::SilentLogger;

// Units: ID is the ROWID, Type unique but NULL once, every kind of value, an ID beyond 32 bits.
// Plain: neither ID nor Type. Dup: ID and Type repeat and are NULL. "Odd Name" needs quoting.
constexpr char kSchema[] =
    "create table Units (ID integer primary key, Type text unique, Cost integer, Strength real,"
    "  Naval boolean, Name text, Icon blob);"
    "insert into Units values (0, 'UNIT_ZERO', 0, 0.0, 0, 'Zero', NULL), (1, 'UNIT_A', 5, 1.5, 1, 'A', x'00ff'),"
    "  (2, 'UNIT_B', 7, NULL, 2, NULL, NULL), (3, NULL, 5, -2.5, NULL, 'C', x''),"
    "  (4, 'UNIT_D', NULL, 1e300, 1, 'D' || char(0) || 'tail', NULL),"
    "  (3000000000, 'UNIT_FAR', 9000000000, -0.0, 0, 'Far', NULL);"
    "create table Plain (Name text, Value);"
    "insert into Plain values ('a', 1), ('b', 2.5), (NULL, 'x'), ('a', NULL);"
    "create table Dup (ID integer, Type text, Cost integer);"
    "insert into Dup values (1, 'X', 1), (1, 'Y', 2), (NULL, 'X', 3), (NULL, NULL, 4), (5, '', 6), (-7, 'NEG', 7);"
    "create table \"Odd Name\" (ID integer primary key, Type text);"
    "insert into \"Odd Name\" values (1, 'ONE');"
    "create view UnitView as select * from Units;"
    "create index UnitsByCost on Units (Cost);";

// The tables whose answers the checks know.
enum class Known { Other, Units, Plain, Dup };

struct TableName {
    const char* name;
    Known known;
    int rows;  // -1: the name is no table the database object finds
};

constexpr TableName kTableNames[] = {
    {"Units", Known::Units, 6}, {"Plain", Known::Plain, 4},  {"Dup", Known::Dup, 6},
    {"Odd Name", Known::Other, 1}, {"UnitView", Known::Other, -1}, {"units", Known::Other, -1},
    {"UnitsByCost", Known::Other, -1}, {"sqlite_master", Known::Other, -1}, {"Missing", Known::Other, -1},
    {"", Known::Other, -1},
};

constexpr const char* kStrings[] = {"UNIT_ZERO", "UNIT_A", "UNIT_B", "UNIT_D", "UNIT_FAR", "X", "Y", "NEG", "",
                                    "ONE", "ID", "Type", "Cost", "Strength", "Naval", "Name", "Icon", "Value",
                                    "1", "0x10", "nil", "Units", "Plain", "Dup", "Odd Name"};

constexpr const char* kConditions[] = {"Cost > 3", "Type = 'UNIT_A'", "1", "", "ID in (1, 2, 3000000000)",
                                       "Cost is NULL", "Naval", "Name like 'a%'", "Value = 2.5",
                                       "ID = 1 order by Cost desc limit 2", "json(Name) is not null",
                                       "abs(-9223372036854775807 - ID) > 0", "1; drop table Units", "NoSuchColumn"};

// Statements are stopped after about two million virtual machine steps, so that a fuzzed condition
// that joins a table with itself many times ends in an error rather than a hang.
constexpr int kMaxProgressTicks = 2000;
int g_progressTicks = 0;

int StopRunaway(void*) {
    return ++g_progressTicks > kMaxProgressTicks ? 1 : 0;
}

// {==== The process: one connection holding the ruleset, one that never opened, one Lua state

int SilentPrint(lua_State*) {
    return 0;
}

struct Process {
    Connection* connection;  // the ruleset, only ever read
    Connection* closed;      // never opened: nothing prepares on it
    lua_State* state;
    int lengthChunk;         // registry reference of a function returning #(its argument)
    int changes;             // sqlite3_total_changes once the ruleset was written
};

Process& TheProcess() {
    static Process process = [] {
        Process made{};
        made.connection = new Connection(nullptr, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        made.connection->SetLogger(new SilentLogger);
        sqlite3* db = made.connection->Handle();
        Check(db != nullptr && sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr) == SQLITE_OK);
        sqlite3_progress_handler(db, 1000, StopRunaway, nullptr);
        made.changes = sqlite3_total_changes(db);
        made.closed = new Connection;
        made.closed->SetLogger(new SilentLogger);
        made.state = luaL_newstate();
        Check(made.state != nullptr);
        // The length operator reaches __len of a userdata only from Lua code in Lua 5.1.
        Check(luaL_loadstring(made.state, "return #(...)") == 0);
        made.lengthChunk = luaL_ref(made.state, LUA_REGISTRYINDEX);
        return made;
    }();
    return process;
}

int LiveStatements(sqlite3* db) {
    int count = 0;
    for (sqlite3_stmt* s = sqlite3_next_stmt(db, nullptr); s != nullptr; s = sqlite3_next_stmt(db, s))
        ++count;
    return count;
}

// }====

// {==== Lua C functions the operations run under lua_pcall

// (object, key) -> object[key]
int GetOp(lua_State* state) {
    lua_settop(state, 2);
    lua_gettable(state, 1);
    return 1;
}

// (object, key, value): object[key] = value
int SetOp(lua_State* state) {
    lua_settop(state, 3);
    lua_settable(state, 1);
    return 0;
}

// (function, arguments...) -> every result of the call
int CallOp(lua_State* state) {
    lua_call(state, lua_gettop(state) - 1, LUA_MULTRET);
    return lua_gettop(state);
}

// (connection) -> a new database object
int PushDatabaseOp(lua_State* state) {
    auto* connection = static_cast<Connection*>(lua_touserdata(state, 1));
    const int top = lua_gettop(state);
    Lua::PushDatabase(state, *connection);
    Check(lua_gettop(state) == top + 1 && lua_istable(state, -1));
    return 1;
}

// (connection, name or nil) -> a new table object
int PushTableOp(lua_State* state) {
    auto* connection = static_cast<Connection*>(lua_touserdata(state, 1));
    const char* name = lua_tostring(state, 2);
    const int top = lua_gettop(state);
    Lua::PushDatabaseTable(state, *connection, name);
    Check(lua_gettop(state) == top + 1 && lua_isuserdata(state, -1));
    return 1;
}

// Most rows an iteration reads before it gives up; the tables are small, but a condition may join.
constexpr int kMaxRows = 2000;

// (table object[, filter]) -> rows, iterator, whether the iterator said nil. Calls the table
// object, then the iterator until nil, reading a column and a name that is no column of each row.
int IterateOp(lua_State* state) {
    const int arguments = lua_gettop(state);
    for (int index = 1; index <= arguments; ++index)
        lua_pushvalue(state, index);
    lua_call(state, arguments - 1, 1);
    const int iterator = lua_gettop(state);
    int rows = 0;
    bool ended = false;
    while (rows < kMaxRows) {
        lua_pushvalue(state, iterator);
        lua_call(state, 0, 1);
        if (lua_isnil(state, -1)) {
            lua_pop(state, 1);
            ended = true;
            break;
        }
        Check(lua_istable(state, -1));
        lua_getfield(state, -1, "Type");
        lua_getfield(state, -2, "NoSuchColumn");
        lua_pop(state, 3);
        ++rows;
    }
    lua_pushnumber(state, rows);
    lua_pushvalue(state, iterator);
    lua_pushboolean(state, ended);
    return 3;
}

// (connection, sql): the host's own query, its first rows pushed as row objects and read.
int HostQueryOp(lua_State* state) {
    auto* connection = static_cast<Connection*>(lua_touserdata(state, 1));
    const char* sql = lua_tostring(state, 2);
    const int top = lua_gettop(state);
    Results* results = Lua::PushDatabaseQuery(state, connection, sql);
    Check(lua_gettop(state) == top + 1 && (results == nullptr) == lua_isnil(state, -1));
    for (int row = 0; results != nullptr && row < 5 && results->Step(); ++row) {
        Lua::PushDatabaseRow(state, results);
        Check(lua_gettop(state) == top + 2 && lua_istable(state, -1));
        lua_pushnil(state);
        while (lua_next(state, -2) != 0)
            lua_pop(state, 1);
        lua_getfield(state, -1, "NoSuchColumn");
        lua_pop(state, 2);
    }
    return 0;
}

// }====

// {==== Operations

// Stack slots every operation finds and leaves: the database object, the current table object,
// the current row and the current iterator (nil where there is none).
constexpr int kDatabase = 1;
constexpr int kTable = 2;
constexpr int kRow = 3;
constexpr int kIterator = 4;
constexpr int kSlots = 4;

struct Session {
    lua_State* state;
    Connection* connection;
    FuzzedDataProvider& input;
    Known table = Known::Other;  // what the table object in its slot reads
    std::string tableName;       // its name in SQL, when known
    bool rowsChanged = false;    // a row's raw field was written: cached rows no longer hold their values
    bool iteratorEnded = false;  // the iterator in its slot has said nil
};

// Calls function with the arguments on top of the stack, under lua_pcall; on success leaves its
// results (all of them with LUA_MULTRET), on an error nothing. Returns whether it ran.
bool Protected(lua_State* state, lua_CFunction function, int arguments, int results) {
    lua_pushcfunction(state, function);
    lua_insert(state, -(arguments + 1));
    g_progressTicks = 0;
    const int status = lua_pcall(state, arguments, results, 0);
    if (status != 0)
        lua_pop(state, 1);
    return status == 0;
}

// Stores the value on top in slot (popped).
void Store(lua_State* state, int slot) {
    lua_replace(state, slot);
}

double SpecialNumber(FuzzedDataProvider& input) {
    static const double kNumbers[] = {std::numeric_limits<double>::quiet_NaN(),
                                      std::numeric_limits<double>::infinity(),
                                      -std::numeric_limits<double>::infinity(),
                                      1e300, -1e300, 2.9, -0.5, -0.0, 0.5, 9007199254740993.0,
                                      9223372036854775808.0, -9223372036854775808.0, 3000000000.0,
                                      4294967296.0, 2147483648.0, -2147483649.0,
                                      std::numeric_limits<double>::denorm_min(),
                                      std::numeric_limits<double>::max()};
    return kNumbers[input.ConsumeIntegralInRange<std::size_t>(0, std::size(kNumbers) - 1)];
}

void PushFuzzedString(Session& session, std::size_t maxLength) {
    const std::string text = session.input.ConsumeRandomLengthString(maxLength);
    lua_pushlstring(session.state, text.data(), text.size());
}

// Pushes a key of any kind a script could use.
void PushKey(Session& session) {
    lua_State* state = session.state;
    FuzzedDataProvider& input = session.input;
    switch (input.ConsumeIntegralInRange(0, 9)) {
    case 0:
        lua_pushstring(state, kStrings[input.ConsumeIntegralInRange<std::size_t>(0, std::size(kStrings) - 1)]);
        break;
    case 1:
        PushFuzzedString(session, 80);
        break;
    case 2:
        lua_pushnumber(state, input.ConsumeIntegralInRange(-3, 8));
        break;
    case 3:
        lua_pushnumber(state, static_cast<double>(input.ConsumeIntegral<std::int64_t>()));
        break;
    case 4:
        lua_pushnumber(state, SpecialNumber(input));
        break;
    case 5: {
        double number = 0;
        const auto bytes = input.ConsumeBytes<std::uint8_t>(sizeof number);
        if (!bytes.empty())
            std::memcpy(&number, bytes.data(), bytes.size());
        lua_pushnumber(state, number);
        break;
    }
    case 6:
        lua_pushboolean(state, input.ConsumeBool());
        break;
    case 7:
        lua_pushnil(state);
        break;
    case 8:
        lua_newtable(state);
        break;
    default:
        lua_pushvalue(state, input.ConsumeIntegralInRange(kDatabase, kIterator));
        break;
    }
}

// DB[name]: a name the checks know, or any key.
void LookUpTable(Session& session) {
    lua_State* state = session.state;
    const bool listed = session.input.ConsumeBool();
    const TableName& entry = kTableNames[session.input.ConsumeIntegralInRange<std::size_t>(0, std::size(kTableNames) - 1)];
    lua_pushvalue(state, kDatabase);
    if (listed)
        lua_pushstring(state, entry.name);
    else
        PushKey(session);
    const bool ran = Protected(state, GetOp, 2, 1);
    Check(ran);  // a name that is no table is nil, never an error
    if (listed) {
        Check(lua_isuserdata(state, -1) == (entry.rows >= 0));
        // A table found is stored in the database object, so the next lookup gives the same object;
        // a miss is not stored.
        lua_pushstring(state, entry.name);
        lua_rawget(state, kDatabase);
        Check(lua_rawequal(state, -1, -2));
        lua_pop(state, 1);
    }
    if (!lua_isuserdata(state, -1)) {
        lua_pop(state, 1);
        return;
    }
    Store(state, kTable);
    session.table = listed ? entry.known : Known::Other;
    session.tableName = listed ? entry.name : "";
}

// A table object pushed by the host for any name, existing or not, too long or null.
void PushTableObject(Session& session) {
    lua_State* state = session.state;
    lua_pushlightuserdata(state, session.connection);
    if (session.input.ConsumeBool())
        PushFuzzedString(session, 300);
    else
        lua_pushnil(state);
    Check(Protected(state, PushTableOp, 2, 1));
    Store(state, kTable);
    session.table = Known::Other;
    session.tableName.clear();
}

// The row a known table object must give for a number key: Units reads by ROWID, which is ID.
void CheckRowById(Session& session, double key, bool ran) {
    if (session.table != Known::Units || session.rowsChanged)
        return;
    Check(ran);
    static const double kIds[] = {0, 1, 2, 3, 4, 3000000000.0};
    const double id = std::trunc(key);
    bool exists = false;
    for (double known : kIds)
        exists = exists || (std::isfinite(key) && id == known);
    Check(lua_istable(session.state, -1) == exists);
    if (!exists)
        return;
    lua_getfield(session.state, -1, "ID");  // a raw field of the row: no metamethod is reached
    Check(lua_tonumber(session.state, -1) == id);
    lua_pop(session.state, 1);
}

void CheckRowByType(Session& session, const char* key, std::size_t length, bool ran) {
    if (session.table != Known::Units || session.rowsChanged)
        return;
    Check(ran);
    static const char* const kTypes[] = {"UNIT_ZERO", "UNIT_A", "UNIT_B", "UNIT_D", "UNIT_FAR"};
    bool exists = false;
    for (const char* type : kTypes)
        exists = exists || (std::strlen(type) == length && std::memcmp(type, key, length) == 0);
    Check(lua_istable(session.state, -1) == exists);
    if (!exists)
        return;
    lua_pushstring(session.state, "Type");
    lua_rawget(session.state, -2);
    Check(std::strcmp(lua_tostring(session.state, -1), key) == 0);
    lua_pop(session.state, 1);
}

// T[key]
void IndexTable(Session& session) {
    lua_State* state = session.state;
    lua_pushvalue(state, kTable);
    PushKey(session);
    const int keyType = lua_type(state, -1);
    const double number = keyType == LUA_TNUMBER ? lua_tonumber(state, -1) : 0;
    std::string text;
    if (keyType == LUA_TSTRING) {
        std::size_t length = 0;
        const char* bytes = lua_tolstring(state, -1, &length);
        text.assign(bytes, length);
    }
    const bool ran = Protected(state, GetOp, 2, 1);
    if (keyType == LUA_TNUMBER)
        CheckRowById(session, number, ran);
    else if (keyType == LUA_TSTRING)
        CheckRowByType(session, text.data(), text.size(), ran);
    else if (session.table != Known::Other)
        Check(!ran);  // any other key is an argument error
    if (!ran)
        return;
    if (lua_istable(state, -1))
        Store(state, kRow);
    else
        lua_pop(state, 1);
}

// In Units, where ID is the ROWID and Type is unique, a row has one row object per table object,
// whichever way it was reached.
void CheckOneRowObject(Session& session) {
    if (session.table != Known::Units)
        return;
    lua_State* state = session.state;
    lua_pushvalue(state, kTable);
    lua_pushnumber(state, 1);
    Check(Protected(state, GetOp, 2, 1));
    lua_pushvalue(state, kTable);
    lua_pushstring(state, "UNIT_A");
    Check(Protected(state, GetOp, 2, 1));
    Check(lua_istable(state, -1) && lua_rawequal(state, -1, -2));
    lua_pop(state, 2);
}

// #T
void Length(Session& session) {
    lua_State* state = session.state;
    lua_rawgeti(state, LUA_REGISTRYINDEX, TheProcess().lengthChunk);
    lua_pushvalue(state, kTable);
    g_progressTicks = 0;
    const bool ran = lua_pcall(state, 1, 1, 0) == 0;
    for (const TableName& entry : kTableNames) {
        if (session.table != Known::Other && entry.known == session.table) {
            Check(ran && lua_tonumber(state, -1) == entry.rows);
            break;
        }
    }
    lua_pop(state, 1);
}

// What SQLite itself makes of an iteration's statement: how many rows it selects, or why not.
struct Selection {
    enum { Counted, NotPrepared, Failed } outcome;
    long long rows;
};

// Counts the rows of "select * from <table> where <condition>", the statement a call of a table
// object runs; bind binds its parameters. The newline ends a comment the condition may end in.
template <class Bind>
Selection CountSelected(sqlite3* db, const std::string& table, const std::string& condition, Bind bind) {
    const std::string sql = "select count(*) from (select * from " + table + " where " + condition + "\n)";
    sqlite3_stmt* statement = nullptr;
    g_progressTicks = 0;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
        sqlite3_finalize(statement);
        return {Selection::NotPrepared, 0};
    }
    bind(statement);
    const bool counted = sqlite3_step(statement) == SQLITE_ROW;
    const long long rows = counted ? sqlite3_column_int64(statement, 0) : 0;
    sqlite3_finalize(statement);
    // A count stopped by the step limit tells nothing: the iteration may have stayed just below it.
    if (g_progressTicks > kMaxProgressTicks)
        return {Selection::NotPrepared, 0};
    return {counted ? Selection::Counted : Selection::Failed, rows};
}

// Compares an iteration that ran (rows, and whether it reached the end) with SQLite's count.
void CheckIteration(bool ran, int rows, bool ended, const Selection& selection) {
    if (!ran || !ended)
        return;
    // A statement that fails while its rows are read must not pass for a shorter selection.
    Check(selection.outcome != Selection::Failed);
    if (selection.outcome == Selection::Counted)
        Check(selection.rows == rows);
}

// Runs IterateOp over the table object and the filter (if any) on top; keeps the iterator.
// Returns whether it ran, with the row count and whether the iterator said nil.
bool Iterate(Session& session, bool hasFilter, int& rows, bool& ended) {
    lua_State* state = session.state;
    lua_pushvalue(state, kTable);
    if (hasFilter)
        lua_insert(state, -2);
    const bool ran = Protected(state, IterateOp, hasFilter ? 2 : 1, 3);
    if (!ran)
        return false;
    rows = static_cast<int>(lua_tonumber(state, -3));
    ended = lua_toboolean(state, -1) != 0;
    lua_pop(state, 1);
    Store(state, kIterator);
    lua_pop(state, 1);
    session.iteratorEnded = ended;
    return true;
}

// T(condition): a listed condition or any text.
void IterateWithCondition(Session& session) {
    lua_State* state = session.state;
    if (session.input.ConsumeBool())
        lua_pushstring(state, kConditions[session.input.ConsumeIntegralInRange<std::size_t>(0, std::size(kConditions) - 1)]);
    else
        PushFuzzedString(session, 200);
    // The binding reads the condition up to its first zero byte.
    const std::string condition = lua_tostring(state, -1);
    int rows = 0;
    bool ended = false;
    const bool ran = Iterate(session, true, rows, ended);
    // random() gives the two statements different rows.
    if (session.tableName.empty() || condition.find("random") != std::string::npos)
        return;
    const std::string table = session.tableName == "Odd Name" ? "\"Odd Name\"" : session.tableName;
    CheckIteration(ran, rows, ended, CountSelected(TheProcess().connection->Handle(), table, condition,
                                                   [](sqlite3_stmt*) {}));
}

// Pushes a filter table of up to five pairs: column names and other keys, values of every kind.
void PushFilterTable(Session& session) {
    lua_State* state = session.state;
    FuzzedDataProvider& input = session.input;
    lua_newtable(state);
    const int pairs = input.ConsumeIntegralInRange(0, 5);
    for (int pair = 0; pair < pairs; ++pair) {
        switch (input.ConsumeIntegralInRange(0, 3)) {
        case 0:
        case 1:
            lua_pushstring(state, kStrings[input.ConsumeIntegralInRange<std::size_t>(10, std::size(kStrings) - 1)]);
            break;
        case 2:
            PushFuzzedString(session, 40);
            break;
        default:
            lua_pushnumber(state, input.ConsumeIntegralInRange(1, 3));
            break;
        }
        switch (input.ConsumeIntegralInRange(0, 6)) {
        case 0:
            lua_pushboolean(state, input.ConsumeBool());
            break;
        case 1:
            lua_pushnumber(state, input.ConsumeIntegralInRange(-2, 8));
            break;
        case 2:
            lua_pushnumber(state, SpecialNumber(input));
            break;
        case 3:
            lua_pushstring(state, kStrings[input.ConsumeIntegralInRange<std::size_t>(0, std::size(kStrings) - 1)]);
            break;
        case 4:
            PushFuzzedString(session, 40);
            break;
        case 5:
            lua_newtable(state);
            break;
        default:
            lua_pushnumber(state, input.ConsumeFloatingPoint<double>());
            break;
        }
        lua_rawset(state, -3);
    }
}

// The filter's condition and values as a call of a table object reads them: every pair with a
// string key and a boolean, number or string value, in traversal order.
struct FilterPair {
    int type;
    double number;
    bool flag;
    std::string text;  // up to its first zero byte
};

void BindFilterPair(sqlite3_stmt* statement, int parameter, const FilterPair& pair) {
    if (pair.type == LUA_TBOOLEAN) {
        sqlite3_bind_int(statement, parameter, pair.flag ? 1 : 0);
    } else if (pair.type == LUA_TNUMBER) {
        // Integral values within 64 bits compare as integers, every other number as a double.
        const double value = pair.number;
        if (value >= -9223372036854775808.0 && value < 9223372036854775808.0
            && static_cast<double>(static_cast<long long>(value)) == value)
            sqlite3_bind_int64(statement, parameter, static_cast<long long>(value));
        else
            sqlite3_bind_double(statement, parameter, value);
    } else {
        sqlite3_bind_text(statement, parameter, pair.text.c_str(), -1, SQLITE_TRANSIENT);
    }
}

// T{...}
void IterateWithFilterTable(Session& session) {
    lua_State* state = session.state;
    PushFilterTable(session);
    // Read before the call, which leaves the table as it is: the same traversal gives the same order.
    std::string condition;
    FilterPair pairs[5];
    int count = 0;
    lua_pushnil(state);
    while (lua_next(state, -2) != 0) {
        const int valueType = lua_type(state, -1);
        if (lua_type(state, -2) == LUA_TSTRING
            && (valueType == LUA_TBOOLEAN || valueType == LUA_TNUMBER || valueType == LUA_TSTRING)) {
            if (count > 0)
                condition += " and ";
            condition += lua_tostring(state, -2);
            condition += " = ?";
            FilterPair& pair = pairs[count++];
            pair.type = valueType;
            pair.number = valueType == LUA_TNUMBER ? lua_tonumber(state, -1) : 0;
            pair.flag = lua_toboolean(state, -1) != 0;
            // lua_tostring of a number would turn the value into a string in the table.
            pair.text = valueType == LUA_TSTRING ? lua_tostring(state, -1) : "";
        }
        lua_pop(state, 1);
    }
    int rows = 0;
    bool ended = false;
    const bool ran = Iterate(session, true, rows, ended);
    if (session.tableName.empty())
        return;
    const std::string table = session.tableName == "Odd Name" ? "\"Odd Name\"" : session.tableName;
    CheckIteration(ran, rows, ended,
                   CountSelected(TheProcess().connection->Handle(), table, condition, [&](sqlite3_stmt* statement) {
                       for (int index = 0; index < count; ++index)
                           BindFilterPair(statement, index + 1, pairs[index]);
                   }));
}

// T(): every row; T(x) for a filter that is neither string nor table: an error.
void IterateWithoutOrBadFilter(Session& session) {
    lua_State* state = session.state;
    int rows = 0;
    bool ended = false;
    if (session.input.ConsumeBool()) {
        const bool ran = Iterate(session, false, rows, ended);
        for (const TableName& entry : kTableNames) {
            if (session.table != Known::Other && entry.known == session.table)
                Check(ran && ended && rows == entry.rows);
        }
        return;
    }
    switch (session.input.ConsumeIntegralInRange(0, 3)) {
    case 0:
        lua_pushnil(state);
        break;
    case 1:
        lua_pushboolean(state, 1);
        break;
    case 2:
        lua_pushnumber(state, SpecialNumber(session.input));
        break;
    default:
        lua_pushvalue(state, kTable);
        break;
    }
    Check(!Iterate(session, true, rows, ended));
}

// The iterator once more: after it said nil it says nil for good.
void CallIteratorAgain(Session& session) {
    lua_State* state = session.state;
    if (!lua_isfunction(state, kIterator))
        return;
    lua_pushvalue(state, kIterator);
    Check(Protected(state, CallOp, 1, 1));
    Check(!session.iteratorEnded || lua_isnil(state, -1));
    if (lua_isnil(state, -1))
        session.iteratorEnded = true;
    if (lua_istable(state, -1))
        Store(state, kRow);
    else
        lua_pop(state, 1);
}

// row[key]
void ReadField(Session& session) {
    lua_State* state = session.state;
    lua_pushvalue(state, kRow);
    PushKey(session);
    const bool ran = Protected(state, GetOp, 2, 1);
    // Reading a row never raises: a name that is no column is nil and a warning.
    Check(ran || !lua_istable(state, kRow));
    if (ran)
        lua_pop(state, 1);
}

// T[key] = value, and row[key] = value: the first always raises; the second raises unless the
// row holds the field already (Lua writes an existing field without asking the metatable).
void Assign(Session& session) {
    lua_State* state = session.state;
    const bool toRow = session.input.ConsumeBool();
    const int target = toRow ? kRow : kTable;
    lua_pushvalue(state, target);
    PushKey(session);
    bool holdsField = false;
    if (toRow && lua_istable(state, target)) {
        lua_pushvalue(state, -1);
        lua_rawget(state, target);
        holdsField = !lua_isnil(state, -1);
        lua_pop(state, 1);
    }
    PushKey(session);
    const bool ran = Protected(state, SetOp, 3, 0);
    if (toRow && lua_istable(state, target)) {
        Check(ran == holdsField);
        session.rowsChanged = session.rowsChanged || ran;
    } else if (lua_isuserdata(state, target)) {
        Check(!ran);
    }
}

// getmetatable(object).field(self, key): what a script can do with the functions it finds there.
void CallMetamethod(Session& session) {
    lua_State* state = session.state;
    static const char* const kFields[] = {"__index", "__newindex", "__len", "__call"};
    const int object = session.input.ConsumeIntegralInRange(kDatabase, kRow);
    const char* field = kFields[session.input.ConsumeIntegralInRange<std::size_t>(0, std::size(kFields) - 1)];
    if (!lua_getmetatable(state, object))
        return;
    lua_pushstring(state, field);
    lua_rawget(state, -2);
    lua_remove(state, -2);
    if (!lua_isfunction(state, -1)) {
        lua_pop(state, 1);
        return;
    }
    const int arguments = session.input.ConsumeIntegralInRange(0, 3);
    for (int argument = 0; argument < arguments; ++argument) {
        if (argument == 0 && session.input.ConsumeBool())
            lua_pushvalue(state, object);
        else
            PushKey(session);
    }
    // Whatever these calls store lands in this input's own objects; the row checks stop trusting them.
    session.rowsChanged = true;
    const bool ran = Protected(state, CallOp, arguments + 1, LUA_MULTRET);
    if (!ran)
        return;
    const int results = lua_gettop(state) - kSlots;
    Check(std::strcmp(field, "__newindex") != 0);  // the read-only errors are raised whatever the arguments
    Check(results == 1);
    lua_settop(state, kSlots);
}

// The host's own query: "select " and any text, its rows pushed as row objects. Only reads.
void HostQuery(Session& session) {
    lua_State* state = session.state;
    lua_pushlightuserdata(state, session.input.ConsumeIntegralInRange(0, 7) == 0 ? TheProcess().closed
                                                                              : session.connection);
    const std::string sql = "select " + session.input.ConsumeRandomLengthString(200);
    lua_pushstring(state, sql.c_str());
    Protected(state, HostQueryOp, 2, 0);
}

// A connection that never opened: every lookup and every use of a table object raises.
void UseClosedConnection(Session& session) {
    lua_State* state = session.state;
    Connection* closed = TheProcess().closed;
    lua_pushlightuserdata(state, closed);
    Check(Protected(state, PushDatabaseOp, 1, 1));
    lua_pushstring(state, "Units");
    Check(!Protected(state, GetOp, 2, 1));
    lua_pushlightuserdata(state, closed);
    lua_pushstring(state, "Units");
    Check(Protected(state, PushTableOp, 2, 1));
    const int table = lua_gettop(state);
    lua_pushvalue(state, table);
    lua_pushnumber(state, 1);
    Check(!Protected(state, GetOp, 2, 1));
    lua_rawgeti(state, LUA_REGISTRYINDEX, TheProcess().lengthChunk);
    lua_pushvalue(state, table);
    Check(lua_pcall(state, 1, 1, 0) != 0);
    lua_pop(state, 1);
    lua_pushvalue(state, table);
    Check(!Protected(state, IterateOp, 1, 3));
    lua_pop(state, 1);
}

void SetPrint(lua_State* state, int kind) {
    if (kind == 0)
        lua_pushcfunction(state, SilentPrint);
    else if (kind == 1)
        lua_pushnil(state);
    else
        lua_pushnumber(state, 5);  // a print that is no function: nothing is printed
    lua_setglobal(state, "print");
}

// }====

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Process& process = TheProcess();
    lua_State* state = process.state;
    FuzzedDataProvider input(data, size);
    Check(lua_gettop(state) == 0);
    SetPrint(state, input.ConsumeIntegralInRange(0, 2));

    Session session{state, process.connection, input, Known::Other, "", false, false};
    lua_pushlightuserdata(state, process.connection);
    Check(Protected(state, PushDatabaseOp, 1, 1));  // kDatabase
    lua_pushnil(state);                              // kTable
    lua_pushnil(state);                              // kRow
    lua_pushnil(state);                              // kIterator
    lua_pushvalue(state, kDatabase);
    lua_pushstring(state, "Units");
    Check(Protected(state, GetOp, 2, 1) && lua_isuserdata(state, -1));
    Store(state, kTable);
    session.table = Known::Units;
    session.tableName = "Units";

    for (int operation = 0; operation < 64 && input.remaining_bytes() > 0; ++operation) {
        switch (input.ConsumeIntegralInRange(0, 14)) {
        case 0: LookUpTable(session); break;
        case 1: PushTableObject(session); break;
        case 2:
        case 3: IndexTable(session); break;
        case 4: CheckOneRowObject(session); break;
        case 5: Length(session); break;
        case 6: IterateWithCondition(session); break;
        case 7: IterateWithFilterTable(session); break;
        case 8: IterateWithoutOrBadFilter(session); break;
        case 9: CallIteratorAgain(session); break;
        case 10: ReadField(session); break;
        case 11: Assign(session); break;
        case 12: CallMetamethod(session); break;
        case 13: HostQuery(session); break;
        default:
            if (input.ConsumeBool())
                UseClosedConnection(session);
            else
                lua_gc(state, LUA_GCCOLLECT, 0);  // query objects collected while their tables live on
            break;
        }
        Check(lua_gettop(state) == kSlots);
    }

    // Collected, this input's objects free every statement they prepared; nothing was written.
    lua_settop(state, 0);
    lua_gc(state, LUA_GCCOLLECT, 0);
    sqlite3* db = process.connection->Handle();
    Check(LiveStatements(db) == 0);
    Check(sqlite3_total_changes(db) == process.changes);
    return 0;
}
