// ForeignKeys.cpp: listing the foreign keys of every table.
#include "core/ForeignKeys.h"

#include <sqlite3.h>

namespace Database {

namespace {

const char* TextOf(sqlite3_stmt* statement, int column) {
    return reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
}

}  // namespace

Status WalkForeignKeys(const Connection& connection, Command::Report report, ForeignKeyVisit visit, void* context) {
    Command tables(&connection);
    Status status = tables.Prepare("select name from sqlite_master where type = 'table'", -1, report);
    if (status != Status::Ok)
        return status;
    Command keys(&connection);
    status = keys.Prepare("select * from pragma_foreign_key_list(?1)", -1, report);
    if (status != Status::Ok)
        return status;
    while (sqlite3_step(tables.Statement()) == SQLITE_ROW) {
        const char* table = TextOf(tables.Statement(), 0);
        sqlite3_reset(keys.Statement());
        sqlite3_bind_text(keys.Statement(), 1, table, -1, SQLITE_STATIC);
        while (sqlite3_step(keys.Statement()) == SQLITE_ROW) {
            const char* column = TextOf(keys.Statement(), 3);
            const char* referencedTable = TextOf(keys.Statement(), 2);
            const ForeignKey key{table, column != nullptr ? column : "",
                                 referencedTable != nullptr ? referencedTable : "", TextOf(keys.Statement(), 4),
                                 sqlite3_column_int(keys.Statement(), 1)};
            if (!visit(context, key))
                return Status::Ok;
        }
    }
    return Status::Ok;
}

}  // namespace Database
