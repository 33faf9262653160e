// ScriptingLuaRows.cpp: row objects, the read-only Lua tables made from the current row of a
// statement.
//
// A table object hands out many rows of one statement shape, so what its rows have in common is
// made once, at its first row, and kept in its row kit: the row shape (for each column whether it
// reads as a boolean and whether an earlier column has its name, and where the ID and Type
// columns are), the column names as Lua strings, which serve both as the keys of every row and as
// the column set behind the misspelt-name warning, and the one metatable all its rows share. A
// row is then one table with one field per column with a value, entered once in the row cache
// under its ID and its Type, and is read straight from the statement.
//
// A statement's columns change only when SQLite prepares it again after a schema change, which
// it counts, so a statement is compared column by column with the shape once and then only when
// that count moves; a statement that no longer fits gets a new shape, and with it a new metatable
// and column set, for the rows made from then on. Rows made before keep theirs.
//
// Everything a script can reach of this is treated as untrusted: the kit, the column set and the
// metatable are plain tables (LuaJIT's debug library can even replace the upvalues that hold
// them), so they are type-checked before every raw access, and a shape is a userdata read only
// when it bears the library's tag and the size its column count gives. What a script breaks
// there gives wrong names or an error, never a read outside the shape.
//
// Lua 5.1 raises errors with longjmp: every function here keeps only trivially destructible
// locals.
#include <sqlite3.h>

#include <atomic>
#include <cstring>

#include "scripting/ScriptingLuaInternal.h"
#include "ZrGameDatabase/DatabaseResults.h"
#include "ZrGameDatabase/ScriptingLua.h"
#include "scripting/LuaRuntime.h"

namespace Database::Scripting {

using namespace Runtime;
using Detail::ScriptStatement;

namespace {

// {==== Row metamethods

// __newindex of a row object.
int lNewIndexDatabaseRow(lua_State* state) {
    ErrorWithPosition(state, "Database row is read-only from Lua.");
}

// __index of a row object, reached only for keys the row does not hold. Upvalue 1 is the row's
// column set. A column whose value is absent in this row reads nil silently; any other name reads
// nil with a warning through the script's own print (none when there is no print function), so
// that a misspelt column shows up in the script's output rather than as a silent nil.
int lInvalidColumnCheck(lua_State* state) {
    SetTop(state, 2);
    // A script can take this function from the row's metatable and call it on anything; the raw
    // reads below need a table.
    if (TypeOf(state, 1) != TypeTable)
        ArgError(state, 1, "Row must be of type 'table'.");
    // A copy of the key (index 3), turned into its text when it is a number: column names are
    // strings, and a result column may well be called "1".
    PushValue(state, 2);
    const int keyType = TypeOf(state, 3);
    const char* keyText = keyType == TypeString || keyType == TypeNumber ? ToLString(state, 3, nullptr) : nullptr;

    PushValue(state, 3);
    RawGet(state, 1);
    if (TypeOf(state, -1) != TypeNil)
        return 1;
    SetTop(state, 3);

    // LuaJIT's debug library can replace the column set; the raw read needs a table.
    bool isColumn = false;
    if (TypeOf(state, UpvalueIndex(1)) == TypeTable) {
        PushValue(state, 3);
        RawGet(state, UpvalueIndex(1));
        isColumn = TypeOf(state, -1) != TypeNil;
        SetTop(state, 3);
    }
    if (!isColumn) {
        Where(state, 1);
        GetGlobal(state, "print");
        if (TypeOf(state, -1) == TypeFunction) {
            // "(null)" for keys without a text, as the Lua 5.1 formatter writes a null %s.
            PushFString(state, "%s Cannot find key - %s", ToLString(state, 4, nullptr),
                        keyText != nullptr ? keyText : "(null)");
            Call(state, 1, 0);
        }
    }
    PushNil(state);
    return 1;
}

// Pushes one value: a new row metatable over the column set at index columns. May raise.
void PushRowMetatable(lua_State* state, int columns) {
    CreateTable(state, 0, 2);
    PushValue(state, columns);
    pushnamedcclosure(state, lInvalidColumnCheck, 1, "Lua::lInvalidColumnCheck", 0);
    SetField(state, -2, "__index");
    pushnamedcclosure(state, lNewIndexDatabaseRow, 0, "Lua::lNewIndexDatabaseRow", 0);
    SetField(state, -2, "__newindex");
}

// }====

// {==== Row shapes

// What a shape knows of each column, one byte per column after the header.
constexpr unsigned char kBooleanColumn = 1;  // declared exactly "boolean": its integers read as true and false
constexpr unsigned char kRepeatedName = 2;   // an earlier column has this name: a NULL here removes its value
constexpr unsigned char kUnnamed = 4;        // SQLite had no memory to name it: nothing can be keyed by it

struct RowShape {
    const void* tag;       // &g_rowShapeTag, which no script can write into a userdata
    std::uint64_t serial;  // never given twice, so that a statement's record can name one shape only
    int columnCount;
    int idColumn;    // the last column called exactly ID, -1 for none: rows are cached under its value
    int typeColumn;  // the last column called exactly Type, -1 for none: likewise
};

char g_rowShapeTag = 0;
std::atomic<std::uint64_t> g_lastShapeSerial{0};

// The slots of a row kit.
constexpr int kKitShape = 1;
constexpr int kKitColumns = 2;      // names in column order (false: unnamed), and each name mapped to true
constexpr int kKitMetatable = 3;

const unsigned char* ColumnFlags(const RowShape& shape) {
    return reinterpret_cast<const unsigned char*>(&shape + 1);
}

// The shape at index, or null for any other value.
const RowShape* ShapeAt(lua_State* state, int index) {
    if (TypeOf(state, index) != TypeUserdata)
        return nullptr;
    const std::size_t size = ObjLen(state, index);
    const auto* shape = static_cast<const RowShape*>(ToUserdata(state, index));
    if (size < sizeof(RowShape) || shape->tag != &g_rowShapeTag || shape->columnCount < 0
        || size != sizeof(RowShape) + static_cast<std::size_t>(shape->columnCount))
        return nullptr;
    return shape;
}

bool DeclaredBoolean(sqlite3_stmt* handle, int column) {
    const char* declared = sqlite3_column_decltype(handle, column);
    return declared != nullptr && std::strcmp(declared, "boolean") == 0;
}

int Preparations(sqlite3_stmt* handle) {
    return sqlite3_stmt_status(handle, SQLITE_STMTSTATUS_REPREPARE, 0);
}

void RecordFit(ScriptStatement& statement, const RowShape& shape) {
    statement.checkedShape = shape.serial;
    statement.checkedPreparations = Preparations(statement.Handle());
}

// Whether statement was found to fit shape and has not been prepared again since. The column
// count is compared anyway: it bounds every read of the shape's column bytes.
bool FitChecked(const ScriptStatement& statement, sqlite3_stmt* handle, const RowShape& shape) {
    return statement.checkedShape == shape.serial && statement.checkedPreparations == Preparations(handle)
        && shape.columnCount == sqlite3_column_count(handle);
}

// Whether the columns of statement are those of shape, whose names are in the column set at
// index columns: the same names in the same order, read as booleans alike.
bool Fits(lua_State* state, sqlite3_stmt* handle, const RowShape& shape, int columns) {
    if (shape.columnCount != sqlite3_column_count(handle))
        return false;
    const unsigned char* flags = ColumnFlags(shape);
    for (int column = 0; column < shape.columnCount; ++column) {
        const char* name = sqlite3_column_name(handle, column);
        if (((flags[column] & kBooleanColumn) != 0) != DeclaredBoolean(handle, column)
            || ((flags[column] & kUnnamed) != 0) != (name == nullptr))
            return false;
        if (name == nullptr)
            continue;
        RawGetI(state, columns, column + 1);
        const char* known = TypeOf(state, -1) == TypeString ? ToLString(state, -1, nullptr) : nullptr;
        const bool same = known != nullptr && std::strcmp(known, name) == 0;
        SetTop(state, -2);
        if (!same)
            return false;
    }
    return true;
}

// Adds the name of column to the column set at index columns and notes in flags what it is.
// May raise (allocation).
void AddColumn(lua_State* state, sqlite3_stmt* handle, int column, int columns, RowShape& shape,
               unsigned char& flags) {
    const char* name = sqlite3_column_name(handle, column);
    if (DeclaredBoolean(handle, column))
        flags |= kBooleanColumn;
    if (name == nullptr) {
        flags |= kUnnamed;
        PushBoolean(state, false);
        RawSetI(state, columns, column + 1);
        return;
    }
    PushString(state, name);
    PushValue(state, -1);
    RawGet(state, columns);
    if (TypeOf(state, -1) != TypeNil)
        flags |= kRepeatedName;
    SetTop(state, -2);
    PushValue(state, -1);
    PushBoolean(state, true);
    RawSet(state, columns);
    RawSetI(state, columns, column + 1);
    // The last of several columns of one name decides, as in the row itself.
    if (std::strcmp(name, "ID") == 0)
        shape.idColumn = column;
    if (std::strcmp(name, "Type") == 0)
        shape.typeColumn = column;
}

// Pushes a new shape, column set and metatable for the columns of statement, and puts them in the
// kit at index kit, where they replace the old ones. May raise (allocation); the kit is only
// changed once all three exist.
const RowShape* PushNewShape(lua_State* state, sqlite3_stmt* handle, int kit) {
    const int count = sqlite3_column_count(handle);
    auto* shape = static_cast<RowShape*>(NewUserdata(state, sizeof(RowShape) + static_cast<std::size_t>(count)));
    const int shapeIndex = GetTop(state);
    shape->tag = &g_rowShapeTag;
    shape->serial = g_lastShapeSerial.fetch_add(1, std::memory_order_relaxed) + 1;
    shape->columnCount = count;
    shape->idColumn = -1;
    shape->typeColumn = -1;
    auto* flags = reinterpret_cast<unsigned char*>(shape + 1);
    std::memset(flags, 0, static_cast<std::size_t>(count));

    CreateTable(state, count, count);
    const int columns = GetTop(state);
    for (int column = 0; column < count; ++column)
        AddColumn(state, handle, column, columns, *shape, flags[column]);
    PushRowMetatable(state, columns);

    for (int slot = kKitShape; slot <= kKitMetatable; ++slot) {
        PushValue(state, shapeIndex + slot - 1);
        RawSetI(state, kit, slot);
    }
    return shape;
}

// Pushes the shape, column set and metatable (three values) of the kit at index kit that fit
// statement, made anew when the kit has none or they do not fit. May raise (allocation).
const RowShape* PushShape(lua_State* state, ScriptStatement& statement, int kit) {
    sqlite3_stmt* handle = statement.Handle();
    RawGetI(state, kit, kKitShape);
    RawGetI(state, kit, kKitColumns);
    RawGetI(state, kit, kKitMetatable);
    const int columns = GetTop(state) - 1;
    const RowShape* shape = ShapeAt(state, -3);
    if (shape != nullptr && TypeOf(state, columns) == TypeTable && TypeOf(state, -1) == TypeTable) {
        if (FitChecked(statement, handle, *shape))
            return shape;
        if (Fits(state, handle, *shape, columns)) {
            RecordFit(statement, *shape);
            return shape;
        }
    }
    SetTop(state, -4);
    shape = PushNewShape(state, handle, kit);
    RecordFit(statement, *shape);
    return shape;
}

// }====

// {==== Reading a row

// Every sqlite3_column_* call takes and releases the connection's mutex, and a value took two of
// them (its type, then the value). A row's values are instead read in runs, each under one hold of
// the mutex, through sqlite3_column_value, whose value may only be looked at while the mutex is
// held: so the run is copied out before the mutex is released, and nothing of Lua runs meanwhile
// (a Lua error would leave it held for good). Text pointers stay SQLite's and valid until the
// statement moves on, as those of sqlite3_column_text.

constexpr int kRunLength = 32;  // columns read under one hold: all of most tables' rows

struct ColumnValue {
    int type;  // SQLite's fundamental type of the value
    union {
        sqlite3_int64 integer;
        double real;
        const char* text;  // null when SQLite had no memory for the text
    };
};

// Values of the current row, of the columns first to first + length - 1.
struct ValueRun {
    int first;
    int length;
    ColumnValue values[kRunLength];
};

// Reads length (at most kRunLength) values of the current row from column first on into run.
void ReadValues(sqlite3_stmt* handle, int first, int length, ValueRun& run) noexcept {
    sqlite3_mutex* mutex = sqlite3_db_mutex(sqlite3_db_handle(handle));  // null for a connection without one
    sqlite3_mutex_enter(mutex);
    for (int index = 0; index < length; ++index) {
        ColumnValue& value = run.values[index];
        sqlite3_value* cell = sqlite3_column_value(handle, first + index);
        value.type = sqlite3_value_type(cell);
        if (value.type == SQLITE_INTEGER)
            value.integer = sqlite3_value_int64(cell);
        else if (value.type == SQLITE_FLOAT)
            value.real = sqlite3_value_double(cell);
        else if (value.type == SQLITE_TEXT)
            // Not sqlite3_value_text: this one also clears the connection's out-of-memory state
            // when no memory could be had for the text.
            value.text = reinterpret_cast<const char*>(sqlite3_column_text(handle, first + index));
    }
    sqlite3_mutex_leave(mutex);
    run.first = first;
    run.length = length;
}

// Reads the first run of the current row.
void ReadFirstValues(sqlite3_stmt* handle, const RowShape& shape, ValueRun& run) noexcept {
    ReadValues(handle, 0, shape.columnCount < kRunLength ? shape.columnCount : kRunLength, run);
}

// The value of column, from run when it holds it, else read alone.
ColumnValue ValueOf(sqlite3_stmt* handle, const ValueRun& run, int column) noexcept {
    if (column >= run.first && column < run.first + run.length)
        return run.values[column - run.first];
    ValueRun alone;
    ReadValues(handle, column, 1, alone);
    return alone.values[0];
}

// }====

// {==== Converting a row

// Whether value gives its row a field: NULL, blobs and texts SQLite had no memory for give none.
bool GivesField(const ColumnValue& value) {
    return value.type == SQLITE_INTEGER || value.type == SQLITE_FLOAT
        || (value.type == SQLITE_TEXT && value.text != nullptr);
}

// Pushes value, which gives a field, as Lua sees it. The rules are those of Results::ColumnType,
// with the declared type looked at once per shape instead of once per value.
void PushColumnValue(lua_State* state, const ColumnValue& value, unsigned char flags) {
    if (value.type == SQLITE_INTEGER) {
        // The 64-bit value: ids and amounts beyond 32 bits arrive exactly up to 2^53. A boolean
        // is SQLite's 32-bit reading of it, as sqlite3_column_int gives.
        if ((flags & kBooleanColumn) != 0)
            PushBoolean(state, static_cast<int>(value.integer) != 0);
        else
            PushNumber(state, static_cast<double>(value.integer));
    } else if (value.type == SQLITE_FLOAT) {
        PushNumber(state, value.real);
    } else {
        PushString(state, value.text);  // up to the first zero byte
    }
}

// The number of fields of a row whose first run of values is run, so that its table is made at
// its final size: the named columns of the run that give a field, and every column after the run,
// whose values are not read yet.
int FieldCount(const RowShape& shape, const ValueRun& run) {
    const unsigned char* flags = ColumnFlags(shape);
    int count = shape.columnCount - run.length;
    for (int column = 0; column < run.length; ++column)
        if ((flags[column] & kUnnamed) == 0 && GivesField(run.values[column]))
            ++count;
    return count;
}

// The keys a row is cached under, pushed once and used both for the cache and, where they are the
// very values of the row's ID and Type fields, for those: stack indices, 0 for none.
struct CacheKeys {
    int id;
    int type;
    bool idIsField;    // the ID key is the value of the row's ID field (an integer, not read as a boolean)
    bool typeIsField;  // the Type key is the value of the row's Type field (a text)
};

// Whether the value at index typeKey (0: none) is a string of exactly text.
bool IsText(lua_State* state, int typeKey, const char* text) {
    if (typeKey == 0 || TypeOf(state, typeKey) != TypeString)
        return false;
    std::size_t length = 0;
    const char* key = ToLString(state, typeKey, &length);
    return std::strlen(text) == length && std::memcmp(key, text, length) == 0;
}

// Pushes the cache keys of the current row, whose first run of values is run: its ID read as a
// 64-bit integer and its Type as text, each the way SQLite converts a value of another type. A
// NULL of either is no key: a NULL ID would otherwise read as 0 and make every such row share one
// cache entry, the row first converted standing in for all others. A Type equal to the string at
// index typeKey (the key of a lookup; 0: none) is keyed by that string instead of a new push.
CacheKeys PushCacheKeys(lua_State* state, sqlite3_stmt* handle, const RowShape& shape, const ValueRun& run,
                        int typeKey) {
    CacheKeys keys = {0, 0, false, false};
    if (shape.idColumn >= 0) {
        const ColumnValue id = ValueOf(handle, run, shape.idColumn);
        if (id.type != SQLITE_NULL) {
            const bool integer = id.type == SQLITE_INTEGER;
            const sqlite3_int64 value = integer ? id.integer : sqlite3_column_int64(handle, shape.idColumn);
            PushNumber(state, static_cast<double>(value));
            keys.id = GetTop(state);
            keys.idIsField = integer && (ColumnFlags(shape)[shape.idColumn] & kBooleanColumn) == 0;
        }
    }
    if (shape.typeColumn >= 0) {
        const ColumnValue type = ValueOf(handle, run, shape.typeColumn);
        keys.typeIsField = type.type == SQLITE_TEXT;
        const char* text = type.type == SQLITE_TEXT ? type.text : nullptr;
        if (type.type != SQLITE_TEXT && type.type != SQLITE_NULL)
            text = reinterpret_cast<const char*>(sqlite3_column_text(handle, shape.typeColumn));
        if (text != nullptr && IsText(state, typeKey, text)) {
            keys.type = typeKey;
        } else if (text != nullptr) {
            PushString(state, text);
            keys.type = GetTop(state);
        }
    }
    return keys;
}

// Pushes the cached row under the key at index key, if any: true when there is one.
bool PushCachedRow(lua_State* state, int cache, int key) {
    if (key == 0)
        return false;
    PushValue(state, key);
    RawGet(state, cache);
    if (TypeOf(state, -1) != TypeNil)
        return true;
    SetTop(state, -2);
    return false;
}

// The parts of a row kit rows are made with, on the stack: the shape, and the indices of the
// column set and the metatable.
struct KitParts {
    const RowShape* shape;
    int columns;
    int metatable;
};

// Pushes the row object of the current row, whose first run of values is run: its fields by
// shape, keyed by the names of the column set. May raise (allocation).
void PushRowObject(lua_State* state, sqlite3_stmt* handle, const KitParts& kit, const CacheKeys& keys,
                   ValueRun& run) {
    const RowShape& shape = *kit.shape;
    CreateTable(state, 0, FieldCount(shape, run));
    const int row = GetTop(state);
    const unsigned char* flags = ColumnFlags(shape);
    for (int column = 0; column < shape.columnCount; ++column) {
        if (column == run.first + run.length) {
            const int left = shape.columnCount - column;
            ReadValues(handle, column, left < kRunLength ? left : kRunLength, run);
        }
        if ((flags[column] & kUnnamed) != 0)
            continue;
        const int key = column == shape.idColumn && keys.idIsField         ? keys.id
                      : column == shape.typeColumn && keys.typeIsField ? keys.type
                                                                       : 0;
        const ColumnValue& value = run.values[column - run.first];
        const bool field = key != 0 || GivesField(value);
        // Raw sets in column order: of two columns with one name the later decides, and a later
        // one without a value removes the earlier value.
        if (!field && (flags[column] & kRepeatedName) == 0)
            continue;
        RawGetI(state, kit.columns, column + 1);
        if (key != 0)
            PushValue(state, key);
        else if (field)
            PushColumnValue(state, value, flags[column]);
        else
            PushNil(state);
        RawSet(state, row);
    }
    PushValue(state, kit.metatable);
    SetMetatable(state, row);
}

// Enters the row on top of the stack in the row cache under its keys; the row stays on top.
void CacheRow(lua_State* state, int cache, const CacheKeys& keys) {
    const int row = GetTop(state);
    for (const int key : {keys.id, keys.type}) {
        if (key == 0)
            continue;
        PushValue(state, key);
        PushValue(state, row);
        RawSet(state, cache);
    }
}

// Pushes the shape, column set and metatable (three values) of the kit at index kit that fit the
// columns statement has now. May raise (allocation).
KitParts PushKitParts(lua_State* state, ScriptStatement& statement, int kit) {
    KitParts parts;
    parts.shape = PushShape(state, statement, kit);
    parts.metatable = GetTop(state);
    parts.columns = parts.metatable - 1;
    return parts;
}

// Pushes the row object of the current row of handle, made with the kit parts: from the cache
// when fromCache and it holds the row, else new and entered in it. The row is on top, the values
// used below it. typeKey as for PushCacheKeys.
void PushRow(lua_State* state, sqlite3_stmt* handle, const KitParts& kit, int cache, bool fromCache, int typeKey) {
    ValueRun run;
    ReadFirstValues(handle, *kit.shape, run);
    const CacheKeys keys = PushCacheKeys(state, handle, *kit.shape, run, typeKey);
    // A row with an ID is found by it alone: every row is entered under both of its keys, so one
    // not under its ID is not in the cache, and another row of the same Type must not stand in.
    if (fromCache && PushCachedRow(state, cache, keys.id != 0 ? keys.id : keys.type))
        return;
    PushRowObject(state, handle, kit, keys, run);
    CacheRow(state, cache, keys);
}

}  // namespace

// }====

// {==== Shared with the table objects (ScriptingLuaInternal.h)

void Detail::PushNewRow(lua_State* state, ScriptStatement& statement, int cache, int kit, int typeKey) {
    const KitParts parts = PushKitParts(state, statement, kit);
    PushRow(state, statement.Handle(), parts, cache, false, typeKey);
}

bool Detail::ReadRowList(lua_State* state, ScriptStatement& statement, int cache, int kit, int list) {
    if (!StepOnto(statement))
        return statement.Reset();  // no row, or a failed step, which the rewind tells apart
    // SQLite prepares a statement again only before it starts running, so the columns the first
    // row has are those of every row: the kit parts are found once for all of them.
    const KitParts parts = PushKitParts(state, statement, kit);
    const int height = GetTop(state);
    sqlite3_stmt* handle = statement.Handle();
    int position = 1;
    do {
        PushRow(state, handle, parts, cache, true, 0);
        RawSetI(state, list, position++);
        SetTop(state, height);
    } while (StepOnto(statement));
    SetTop(state, height - 3);
    // A failed step ends the loop just as the last row does; the rewind tells them apart.
    return statement.Reset();
}

// }====

// {==== Exported: a row of the host's own statement

namespace {

// Pushes the value of column of the current row as Lua sees it, nil where the row gets no field.
void PushResultsValue(lua_State* state, Results& results, int column) {
    switch (results.ColumnType(column)) {
    case ColumnTypes::Integer:
        PushNumber(state, static_cast<double>(results.GetInt64(column)));
        return;
    case ColumnTypes::Float:
        PushNumber(state, results.GetDouble(column));
        return;
    case ColumnTypes::Text:
        PushString(state, results.GetText(column));  // up to the first zero byte; nil for null
        return;
    case ColumnTypes::Boolean:
        PushBoolean(state, results.GetBool(column));
        return;
    case ColumnTypes::Blob:
    case ColumnTypes::Null:
        break;
    }
    PushNil(state);
}

}  // namespace

// A host's Results may be any, not one of the binding's statements, so this row is made through
// the public interface of Results, with a metatable and column set of its own.
void Lua::PushDatabaseRow(lua_State* state, Results* results) {
    const int columnCount = results != nullptr ? results->ColumnCount() : 0;
    // Every table made with its final size, so that filling it never grows it.
    CreateTable(state, 0, columnCount);
    const int row = GetTop(state);
    CreateTable(state, 0, columnCount);
    const int columns = row + 1;
    for (int column = 0; column < columnCount; ++column) {
        const char* name = results->ColumnName(column);
        if (name == nullptr)
            continue;  // SQLite had no memory to name it; nothing can be keyed by it
        PushString(state, name);
        PushValue(state, -1);
        PushBoolean(state, true);
        RawSet(state, columns);
        // Raw sets in column order: of two columns with one name the later decides, and a later
        // one without a value removes the earlier value.
        PushResultsValue(state, *results, column);
        RawSet(state, row);
    }
    PushRowMetatable(state, columns);
    SetMetatable(state, row);
    SetTop(state, row);
}

// }====

}  // namespace Database::Scripting
