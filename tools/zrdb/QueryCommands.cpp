// QueryCommands.cpp: `zrdb query` and `zrdb tables`, read-only looks into a database file.
#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "Commands.h"
#include "Terminal.h"
#include "ZrGameDatabase/Connection.h"
#include "ZrGameDatabase/DatabaseResults.h"

namespace Zrdb {
namespace {

bool OpenExisting(Database::Connection& connection, const Options& options, const std::string& path) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) {
        std::fprintf(stderr, "zrdb: %s: no such file\n", path.c_str());
        return false;
    }
    return OpenDatabase(connection, options, path, true);
}

std::string CellText(Database::Results& results, int column) {
    switch (results.ColumnType(column)) {
        case Database::ColumnTypes::Null:
            return "NULL";
        case Database::ColumnTypes::Blob:
            return "(blob)";
        default:
            return results.GetText(column);
    }
}

}  // namespace

int RunQuery(const Options& options) {
    Database::Connection connection;
    if (!OpenExisting(connection, options, options.operands[0]))
        return 1;
    Database::Results results;
    if (!connection.Execute(results, options.operands[1].c_str()))
        return 1;
    std::vector<std::string> header;
    for (int column = 0; column < results.ColumnCount(); ++column)
        header.emplace_back(results.ColumnName(column));
    TextTable table(header);
    while (results.Step()) {
        std::vector<std::string> cells;
        for (int column = 0; column < results.ColumnCount(); ++column)
            cells.push_back(CellText(results, column));
        table.AddRow(std::move(cells));
    }
    // Step logged the reason of a failure; the rows read before it are still shown.
    const int code = connection.ErrorCode();
    const bool failed = code != SQLITE_OK && code != SQLITE_DONE && code != SQLITE_ROW;
    if (!header.empty())
        table.Print();
    std::printf("(%zu row%s)\n", table.RowCount(), table.RowCount() == 1 ? "" : "s");
    return failed ? 1 : 0;
}

int RunTables(const Options& options) {
    Database::Connection connection;
    if (!OpenExisting(connection, options, options.operands[0]))
        return 1;
    Database::Results names;
    // SQLite's own tables (sqlite_sequence) are left out, as in the load summary's count.
    if (!connection.Execute(names, "select name from sqlite_master where type = 'table'"
                                   " and name not like 'sqlite!_%' escape '!' order by name"))
        return 1;
    TextTable table({"table", "rows"});
    table.AlignRight(1);
    while (names.Step()) {
        const char* name = names.GetText(0);
        char sql[512];
        sqlite3_snprintf(sizeof sql, sql, "select count(*) from \"%w\"", name);
        Database::Results count;
        const bool counted = connection.Execute(count, sql) && count.Step();
        table.AddRow({name, counted ? std::to_string(count.GetInt64(0)) : "?"});
    }
    table.Print();
    return 0;
}

}  // namespace Zrdb
