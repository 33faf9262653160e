// DatabaseDump.h: the whole content of a database as one text, schema and rows, so that a test
// can tell that a failed load changed nothing at all.
#pragma once

#include <sqlite3.h>

#include <string>
#include <vector>

namespace Database::Testing {

// Every schema entry (type, name, table, SQL) in name order, then every row of every table in
// row id order, each value with its storage class. Text and blobs are copied byte for byte after
// their length, so that zero bytes and invalid UTF-8 compare exactly. Tables are read through the
// handle directly: a dump must not depend on the code under test.
inline std::string DumpDatabase(sqlite3* handle) {
    std::string dump;
    std::vector<std::string> tables;
    sqlite3_stmt* schema = nullptr;
    sqlite3_prepare_v2(handle, "select type, name, tbl_name, ifnull(sql, '') from sqlite_master order by name, type",
                       -1, &schema, nullptr);
    while (schema != nullptr && sqlite3_step(schema) == SQLITE_ROW) {
        const std::string type = reinterpret_cast<const char*>(sqlite3_column_text(schema, 0));
        const std::string name = reinterpret_cast<const char*>(sqlite3_column_text(schema, 1));
        dump += type + " " + name + " on " + reinterpret_cast<const char*>(sqlite3_column_text(schema, 2)) + ": "
                + reinterpret_cast<const char*>(sqlite3_column_text(schema, 3)) + "\n";
        if (type == "table")
            tables.push_back(name);
    }
    sqlite3_finalize(schema);
    for (const std::string& table : tables) {
        std::string quoted = "\"";
        for (const char byte : table)
            quoted += byte == '"' ? std::string("\"\"") : std::string(1, byte);
        quoted += "\"";
        sqlite3_stmt* rows = nullptr;
        const std::string sql = "select * from " + quoted + " order by rowid";
        if (sqlite3_prepare_v2(handle, sql.c_str(), -1, &rows, nullptr) != SQLITE_OK) {
            dump += "cannot read " + table + ": " + sqlite3_errmsg(handle) + "\n";
            continue;
        }
        while (sqlite3_step(rows) == SQLITE_ROW) {
            dump += table + ":";
            for (int column = 0; column < sqlite3_column_count(rows); ++column) {
                static const char* const kTypes[] = {"?", "integer", "real", "text", "blob", "null"};
                const int type = sqlite3_column_type(rows, column);
                dump += std::string(" ") + kTypes[type] + "=";
                if (type == SQLITE_TEXT || type == SQLITE_BLOB) {
                    const char* bytes = static_cast<const char*>(sqlite3_column_blob(rows, column));
                    const int length = sqlite3_column_bytes(rows, column);
                    dump += std::to_string(length) + ":";
                    if (length > 0)
                        dump.append(bytes, static_cast<std::size_t>(length));
                } else if (type != SQLITE_NULL) {
                    dump += reinterpret_cast<const char*>(sqlite3_column_text(rows, column));
                }
            }
            dump += "\n";
        }
        sqlite3_finalize(rows);
    }
    return dump;
}

}  // namespace Database::Testing
