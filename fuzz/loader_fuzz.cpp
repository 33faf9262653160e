// Fuzz target of the data-file loader: every input is loaded, with one transaction per file, into
// a fresh in-memory database that already holds a small ruleset (keys, a foreign key, boolean,
// real and text columns, an index, a few rows). What must hold whatever the bytes:
//  - a load that fails leaves the database exactly as it was: every schema entry and every row,
//    compared as a dump, and no transaction left open; its error text and line make sense;
//  - loading the same bytes again after a failure fails the same way (nothing was left behind
//    that could change the outcome, not even in the statement cache the two loads share);
//  - a load that succeeds leaves a connection that still runs statements;
//  - a copy of the bytes without a terminating zero is refused without a change.
#include <sqlite3.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "ZrGameDatabase/Connection.h"
#include "ZrGameDatabase/ResultsCache.h"
#include "ZrGameDatabase/XMLSerializer.h"

namespace {

constexpr char kFileName[] = "fuzz.xml";
constexpr char kErrorPrefix[] = "Database::XMLSerializer (fuzz.xml): ";

// The ruleset every input is loaded over; its names match the dictionary and the seed files.
constexpr char kSchema[] =
    "create table Eras (ID integer primary key autoincrement, Type text not null unique, Ordinal default 0);"
    "create table UnitClasses (Type text primary key, Description text);"
    "create table Units (ID integer primary key autoincrement, Type text not null unique,"
    "  Class text references UnitClasses(Type), Era text references Eras(Type), Cost default 10,"
    "  Strength real default 1.0, Naval boolean default 0, PackageID text);"
    "create table UnitUpgrades (Unit text not null references Units(Type),"
    "  UpgradeTo text not null references Units(Type));"
    "create index IX_UnitsEra on Units (Era, Cost desc);"
    "insert into Eras (Type, Ordinal) values ('ERA_ANCIENT', 0), ('ERA_CLASSICAL', 1), ('ERA_MEDIEVAL', 2.5);"
    "insert into UnitClasses values ('CLASS_MELEE', 'Up close'), ('CLASS_RANGED', NULL);"
    "insert into Units (Type, Class, Era, Cost, Strength, Naval) values"
    "  ('UNIT_WARRIOR', 'CLASS_MELEE', 'ERA_ANCIENT', 40, 8, 0),"
    "  ('UNIT_ARCHER', 'CLASS_RANGED', 'ERA_ANCIENT', 60, 5.5, 0),"
    "  ('UNIT_GALLEY', NULL, 'ERA_CLASSICAL', NULL, NULL, 1);"
    "insert into UnitUpgrades values ('UNIT_WARRIOR', 'UNIT_ARCHER');";

using FuzzSupport::Check;
using FuzzSupport::SilentLogger;

// {==== Dump

// SQL text of a name, double-quoted.
std::string Quoted(const char* name) {
    std::string quoted = "\"";
    for (const char* c = name; *c != '\0'; ++c) {
        quoted += *c;
        if (*c == '"')
            quoted += '"';
    }
    return quoted + '"';
}

// One column value with its storage class, so that 1, 1.0, '1' and x'31' all differ.
void AppendValue(std::string& out, sqlite3_stmt* statement, int column) {
    char number[64];
    switch (sqlite3_column_type(statement, column)) {
    case SQLITE_INTEGER:
        std::snprintf(number, sizeof number, "i%lld", static_cast<long long>(sqlite3_column_int64(statement, column)));
        out += number;
        break;
    case SQLITE_FLOAT:
        std::snprintf(number, sizeof number, "r%.17g", sqlite3_column_double(statement, column));
        out += number;
        break;
    case SQLITE_TEXT:
    case SQLITE_BLOB: {
        const bool text = sqlite3_column_type(statement, column) == SQLITE_TEXT;
        const void* bytes = text ? static_cast<const void*>(sqlite3_column_text(statement, column))
                                 : sqlite3_column_blob(statement, column);
        const int length = sqlite3_column_bytes(statement, column);
        out += text ? 't' : 'b';
        out += std::to_string(length);
        out += ':';
        if (length > 0)
            out.append(static_cast<const char*>(bytes), static_cast<std::size_t>(length));
        break;
    }
    default:
        out += 'n';
        break;
    }
    out += '|';
}

// Every row of schema.table, each as one line, sorted: the order a table hands its rows out in is
// no part of its contents.
void AppendRows(std::string& out, sqlite3* db, const char* schema, const char* table) {
    const std::string sql = "select * from " + std::string(schema) + "." + Quoted(table);
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
        out += "(unreadable: ";
        out += sqlite3_errmsg(db);
        out += ")\n";
        sqlite3_finalize(statement);
        return;
    }
    std::vector<std::string> rows;
    while (sqlite3_step(statement) == SQLITE_ROW) {
        std::string row;
        for (int column = 0; column < sqlite3_column_count(statement); ++column)
            AppendValue(row, statement, column);
        rows.push_back(row);
    }
    sqlite3_finalize(statement);
    std::sort(rows.begin(), rows.end());
    for (const std::string& row : rows)
        out += row + '\n';
}

// The schema entries of main and temp in name order, each table followed by its rows.
std::string Dump(sqlite3* db) {
    std::string out;
    static const char* const kSchemas[][2] = {{"main", "select type, name, tbl_name, sql from sqlite_master"},
                                              {"temp", "select type, name, tbl_name, sql from sqlite_temp_master"}};
    for (const auto& schema : kSchemas) {
        const std::string sql = std::string(schema[1]) + " order by type, name";
        sqlite3_stmt* statement = nullptr;
        Check(sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK);
        std::vector<std::string> tables;
        while (sqlite3_step(statement) == SQLITE_ROW) {
            out += schema[0];
            out += ':';
            for (int column = 0; column < 4; ++column)
                AppendValue(out, statement, column);
            out += '\n';
            if (std::strcmp(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)), "table") == 0)
                tables.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(statement, 1)));
        }
        sqlite3_finalize(statement);
        for (const std::string& table : tables)
            AppendRows(out, db, schema[0], table.c_str());
    }
    return out;
}

// }====

// Fills the empty database db with the ruleset. Built once and copied page by page: much cheaper
// than running its statements for every input.
void CopyRuleset(sqlite3* db) {
    static sqlite3* const ruleset = [] {
        sqlite3* built = nullptr;
        Check(sqlite3_open(":memory:", &built) == SQLITE_OK);
        Check(sqlite3_exec(built, kSchema, nullptr, nullptr, nullptr) == SQLITE_OK);
        return built;
    }();
    sqlite3_backup* backup = sqlite3_backup_init(db, "main", ruleset, "main");
    Check(backup != nullptr && sqlite3_backup_step(backup, -1) == SQLITE_DONE);
    Check(sqlite3_backup_finish(backup) == SQLITE_OK);
    // A setting of the connection, not of the database: the copy does not carry it.
    Check(sqlite3_exec(db, "pragma foreign_keys = on;", nullptr, nullptr, nullptr) == SQLITE_OK);
}

// The database no longer in a transaction and still running statements.
void CheckUsable(sqlite3* db) {
    Check(sqlite3_get_autocommit(db) != 0);
    Check(sqlite3_exec(db, "begin; select count(*) from sqlite_master; rollback;", nullptr, nullptr, nullptr)
          == SQLITE_OK);
}

// What a failed load must leave: the database as it was, and an error that names the file and a
// line of the text as it was given (before the parse expanded references such as &#10; in place).
void CheckFailure(const Database::XMLSerializer& serializer, sqlite3* db, const std::string& before,
                  const std::uint8_t* data, std::size_t textLength) {
    Check(Dump(db) == before);
    CheckUsable(db);
    Check(std::strncmp(serializer.ErrorMessage(), kErrorPrefix, sizeof kErrorPrefix - 1) == 0);
    const std::size_t lineBreaks = static_cast<std::size_t>(
        std::count(data, data + textLength, '\n'));
    Check(serializer.ErrorLine() >= 0 && static_cast<std::size_t>(serializer.ErrorLine()) <= lineBreaks + 1);
}

// Loads a terminated copy of the bytes through the cache.
bool LoadCopy(Database::XMLSerializer& serializer, Database::ResultsCache& cache, const std::uint8_t* data,
              std::size_t size) {
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    return serializer.LoadFromMemory(kFileName, text.data(), static_cast<unsigned int>(text.size()), cache);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 1u << 20)
        return -1;  // the loader's work grows with the text; large inputs only slow the search
    Database::Connection connection(nullptr, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    connection.SetLogger(new SilentLogger);
    sqlite3* db = connection.Handle();
    Check(db != nullptr);
    CopyRuleset(db);
    static const std::string original = Dump(db);

    Database::XMLSerializer serializer(connection);
    serializer.SetPackageTag("MOD_FUZZ");
    serializer.AddTableToPackageTagList("Units");
    Check(serializer.UseTransactions());

    // Bytes without a zero inside the size the caller gives: the parse would run past the buffer,
    // so the load must refuse them. The copy is exactly that long, so that ASan sees any read past it.
    if (std::memchr(data, '\0', size) == nullptr) {
        std::vector<char> unterminated(data, data + size);
        Check(!serializer.LoadFromMemory(kFileName, unterminated.data(), static_cast<unsigned int>(size)));
        Check(serializer.ErrorLine() == 0);
        CheckFailure(serializer, db, original, data, 0);
    }

    // The parse stops at the first zero byte; the error line can only count what lies before it.
    const std::size_t textLength = std::find(data, data + size, '\0') - data;
    Database::ResultsCache cache(connection);
    if (!LoadCopy(serializer, cache, data, size)) {
        CheckFailure(serializer, db, original, data, textLength);
        const std::string message = serializer.ErrorMessage();
        const int line = serializer.ErrorLine();
        Check(!LoadCopy(serializer, cache, data, size));
        CheckFailure(serializer, db, original, data, textLength);
        Check(message == serializer.ErrorMessage() && line == serializer.ErrorLine());
        return 0;
    }
    Check(serializer.ErrorLine() == 0);
    CheckUsable(db);

    // The same file over what it wrote, with the statements it left in the cache: mostly a
    // failure (its tables exist now), which must leave the first load's work untouched.
    const std::string loaded = Dump(db);
    if (!LoadCopy(serializer, cache, data, size))
        CheckFailure(serializer, db, loaded, data, textLength);
    else
        CheckUsable(db);
    return 0;
}
