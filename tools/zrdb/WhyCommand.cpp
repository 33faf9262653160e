// WhyCommand.cpp: `zrdb why`: which file of which package wrote a row, or one of its values, of a
// database loaded with --provenance; each change oldest first.
#include <cstdio>
#include <string>

#include "Commands.h"
#include "ZrGameDatabase/Connection.h"
#include "ZrGameDatabase/DatabaseResults.h"

namespace Zrdb {
namespace {

// The table is matched without regard to case, as SQLite reads names; the key as written. Each
// change's columns are unpacked in the order it wrote them; a change without columns is one line.
constexpr char kHistory[] =
    "select file, line, ifnull(package, '-'), kind, c.key, c.value from zrdb_provenance "
    "left join json_each(zrdb_provenance.columns) as c "
    "where lower(table_name) = lower(?1) and row_key = ?2 and (?3 is null or c.key = ?3 collate nocase "
    "or c.key is null) order by zrdb_provenance.id, c.id";

std::string Text(Database::Results& row, int column) {
    const char* text = row.GetText(column);
    return text != nullptr ? text : "";
}

// "FILE:LINE: PACKAGE KIND COLUMN = VALUE", the value NULL for a null; a change without columns
// (a delete) names none.
void PrintChange(Database::Results& row) {
    std::string line = Text(row, 0) + ":" + Text(row, 1) + ": " + Text(row, 2) + " " + Text(row, 3);
    if (row.ColumnType(4) != Database::ColumnTypes::Null)
        line += " " + Text(row, 4) + " = " + (row.ColumnType(5) == Database::ColumnTypes::Null ? "NULL" : Text(row, 5));
    std::printf("%s\n", line.c_str());
}

}  // namespace

int RunWhy(const Options& options) {
    const std::string& path = options.operands[0];
    if (!FileExists(path))
        return 1;
    Database::Connection connection;
    if (OpenDatabase(connection, options, path, true) == nullptr)
        return 1;
    Database::Results history;
    if (!connection.Execute(history, kHistory)) {
        std::fprintf(stderr, "zrdb: %s holds no provenance: load it with zrdb load --provenance\n", path.c_str());
        return 1;
    }
    history.Bind(1, options.operands[1].c_str(), true);
    history.Bind(2, options.operands[2].c_str(), true);
    if (options.operands.size() > 3)
        history.Bind(3, options.operands[3].c_str(), true);
    else
        history.BindNULL(3);
    int changes = 0;
    for (; history.Step(); ++changes)
        PrintChange(history);
    if (changes == 0) {
        std::fprintf(stderr, "zrdb: no change of %s %s%s%s is recorded\n", options.operands[1].c_str(),
                     options.operands[2].c_str(), options.operands.size() > 3 ? " " : "",
                     options.operands.size() > 3 ? options.operands[3].c_str() : "");
        return 1;
    }
    return 0;
}

}  // namespace Zrdb
