// QueryCommands.cpp: `zrdb query` and `zrdb tables`, read-only looks into a database file.
#include <sqlite3.h>

#include <cstdio>
#include <string>

#include "Commands.h"
#include "Terminal.h"
#include "ZrGameDatabase/Connection.h"
#include "ZrGameDatabase/DatabaseResults.h"

namespace Zrdb {
namespace {

bool OpenExisting(Database::Connection& connection, const Options& options, const std::string& path) {
    return FileExists(path) && OpenDatabase(connection, options, path, true);
}

// A text as an SQL literal: in single quotes, inner quotes doubled.
std::string Quoted(const std::string& text) {
    std::string quoted = "'";
    for (char letter : text)
        quoted += letter == '\'' ? std::string("''") : std::string(1, letter);
    return quoted + "'";
}

// A cell of the aligned table. NULL and (blob) stand for a null and a blob, so a text that reads
// the same is written as an SQL literal, and so is one that begins with a quote: every cell then
// reads only one way.
std::string CellText(Database::Results& results, int column) {
    switch (results.ColumnType(column)) {
        case Database::ColumnTypes::Null:
            return "NULL";
        case Database::ColumnTypes::Blob:
            return "(blob)";
        default:
            break;
    }
    const char* value = results.GetText(column);
    const std::string text = value != nullptr ? value : "";
    return text == "NULL" || text == "(blob)" || (!text.empty() && text[0] == '\'') ? Quoted(text) : text;
}

// A field of RFC 4180: quoted when it holds a comma, a quote, CR or LF, inner quotes doubled.
std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (char letter : text)
        quoted += letter == '"' ? std::string("\"\"") : std::string(1, letter);
    return quoted + "\"";
}

// A cell as a CSV field: a null is an empty field, an empty text the quoted "" that tells it
// from a null.
std::string CsvCell(Database::Results& results, int column) {
    switch (results.ColumnType(column)) {
        case Database::ColumnTypes::Null:
            return "";
        case Database::ColumnTypes::Blob:
            return "(blob)";
        default:
            break;
    }
    const char* value = results.GetText(column);
    return value == nullptr || *value == '\0' ? "\"\"" : CsvField(value);
}

void PrintCsvLine(const std::vector<std::string>& fields) {
    std::string line;
    for (std::size_t index = 0; index < fields.size(); ++index)
        line += (index > 0 ? "," : "") + fields[index];
    std::printf("%s\r\n", line.c_str());
}

// Prints the rows of the prepared statement; false when a step failed (logged by the connection).
// The rows read before a failure are still shown.
bool PrintRows(const Database::Connection& connection, Database::Results& results, bool csv) {
    std::vector<std::string> header;
    for (int column = 0; column < results.ColumnCount(); ++column)
        header.emplace_back(csv ? CsvField(results.ColumnName(column)) : results.ColumnName(column));
    if (csv && !header.empty())
        PrintCsvLine(header);
    TextTable table(header);
    while (results.Step()) {
        std::vector<std::string> cells;
        for (int column = 0; column < results.ColumnCount(); ++column)
            cells.push_back(csv ? CsvCell(results, column) : CellText(results, column));
        if (csv)
            PrintCsvLine(cells);
        else
            table.AddRow(std::move(cells));
    }
    const int code = connection.ErrorCode();
    const bool failed = code != SQLITE_OK && code != SQLITE_DONE && code != SQLITE_ROW;
    if (!csv) {
        if (!header.empty())
            table.Print();
        std::printf("(%zu row%s)\n", table.RowCount(), table.RowCount() == 1 ? "" : "s");
    }
    return !failed;
}

// The length of the first statement of sql, up to where the next one begins, as SQLite's parser
// finds it; 0 when sql holds no further statement (blanks, comments and lone semicolons skipped
// into skipped), -1 when it does not parse (the caller runs the rest to have the failure logged).
int FirstStatementLength(const Database::Connection& connection, const char* sql, std::size_t& skipped) {
    skipped = 0;
    for (;;) {
        sqlite3_stmt* statement = nullptr;
        const char* tail = nullptr;
        const int code = sqlite3_prepare_v2(connection.Handle(), sql + skipped, -1, &statement, &tail);
        sqlite3_finalize(statement);
        if (code != SQLITE_OK)
            return -1;
        if (statement != nullptr)
            return static_cast<int>(tail - (sql + skipped));
        if (tail == nullptr || tail == sql + skipped || *tail == '\0')
            return 0;
        skipped = static_cast<std::size_t>(tail - sql);
    }
}

}  // namespace

// Every statement of the text runs in turn, as a user who pastes several expects: running only
// the first and dropping the rest without a word looked like success.
int RunQuery(const Options& options) {
    Database::Connection connection;
    if (!OpenExisting(connection, options, options.operands[0]))
        return 1;
    const char* sql = options.operands[1].c_str();
    int statements = 0;
    bool shown = false;  // whether some statement printed something: the next is set apart
    for (;;) {
        std::size_t skipped = 0;
        const int length = FirstStatementLength(connection, sql, skipped);
        if (length == 0)
            break;
        sql += skipped;
        Database::Results results;
        // Prepared again through the connection, which logs a failure with SQLite's reason.
        if (!connection.Execute(results, sql, length))
            return 1;
        ++statements;
        // A CSV statement without columns (a pragma that sets) prints nothing at all.
        const bool shows = !options.csv || results.ColumnCount() > 0;
        if (shown && shows)
            std::printf(options.csv ? "\r\n" : "\n");
        shown = shown || shows;
        if (!PrintRows(connection, results, options.csv))
            return 1;
        if (length < 0)
            return 1;
        sql += length;
    }
    if (statements == 0) {
        std::fprintf(stderr, "zrdb: the SQL holds no statement\n");
        return 1;
    }
    return 0;
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
