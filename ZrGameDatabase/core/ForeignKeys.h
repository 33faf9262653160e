// ForeignKeys.h: the walk over every foreign-key column of every table, which the validation and
// the loader's reference purge share. Table names are bound, never spliced, so a table of any
// name, however long and whatever it holds, is looked at.
#pragma once

#include "core/Command.h"

namespace Database {

class Connection;

// One foreign-key column as the foreign-key list of its table gives it: T.F refers to R.C.
struct ForeignKey {
    const char* table;             // T, the table being walked
    const char* column;            // F, the referencing column
    const char* referencedTable;   // R
    const char* referencedColumn;  // C; null when the key names none (R's primary key is meant)
    int position;                  // 0-based place of the column within its key
};

// Calls visit(context, key) for each foreign-key column of each table, in the order SQLite lists
// them, until visit returns false. The texts of key stay valid during the call only. Refused when
// a listing statement does not prepare (logged as report says); Ok otherwise, whether visit
// stopped the walk or not.
using ForeignKeyVisit = bool (*)(void* context, const ForeignKey& key);
Status WalkForeignKeys(const Connection& connection, Command::Report report, ForeignKeyVisit visit, void* context);

template <class Visit>
Status WalkForeignKeys(const Connection& connection, Command::Report report, Visit& visit) {
    return WalkForeignKeys(
        connection, report,
        [](void* context, const ForeignKey& key) { return (*static_cast<Visit*>(context))(key); }, &visit);
}

}  // namespace Database
