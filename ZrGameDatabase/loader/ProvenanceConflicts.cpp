// ProvenanceConflicts.cpp: where two packages wrote the same row, found in zrdb_provenance.
//
// The whole report is one query of window functions: three sorts of the record, so that a record
// of a large data set costs n log n and needs no index that would slow every recording.
#include <sqlite3.h>

#include "ZrGameDatabase/Connection.h"
#include "ZrGameDatabase/ProvenanceRecorder.h"
#include "core/Command.h"

namespace Database {

namespace {

// changes: the record, one row per change. Only ids, keys and packages go through the sorts; the
// texts are fetched by id for the conflicts alone.
// history: the changes that name their row, each with its row's epoch, the count of the inserts,
// replaces and deletes of the row up to it and including it: such a change starts the row afresh,
// so the previous write of a column is looked for within the epoch only. Also the last change,
// before it, that put the row there (last_reset) and the last of any kind but an ignored insert
// (last_write).
// writes: each column a change wrote, unpacked from its columns, with the previous write of the
// column: the change, and the column's place in that change's columns (json_each's id).
// conflicts: each later write with the earlier one it may have overridden; the packages of both,
// and what the earlier one did, decide whether it is a conflict.
const char* const kConflicts = R"sql(
with changes as (
    select id, lower(table_name) as t, kind, package, row_key, case when row_key is null then row_id end as rid,
           columns
    from zrdb_provenance where row_key is not null or row_id is not null),
history as (
    select id, kind, package, t, row_key, rid, columns,
           count(iif(kind in ('insert', 'replace', 'delete'), 1, null)) over e as epoch,
           max(iif(kind in ('insert', 'replace', 'delete'), id, null)) over h as last_reset,
           max(iif(kind <> 'ignored', id, null)) over h as last_write
    from changes
    window e as (partition by t, row_key, rid order by id rows between unbounded preceding and current row),
           h as (partition by t, row_key, rid order by id rows between unbounded preceding and 1 preceding)),
writes as (
    select history.id, kind, package, c.id as place, lag(history.id) over w as e_id, lag(c.id) over w as e_place,
           lag(package) over w as e_package
    from history join json_each(history.columns) as c
    where kind in ('insert', 'replace', 'update')
    window w as (partition by t, row_key, rid, epoch, lower(c.key) order by history.id, c.id)),
conflicts as (
    select 'update-conflict' as code, id, place, e_id, e_place, 1 as won from writes
        where kind = 'update' and e_id is not null and package <> '' and e_package <> '' and package <> e_package
    union all
    select kind || '-conflict', id, null, last_write, null, 1 from history where kind in ('replace', 'delete')
    union all
    select 'ignored-insert', id, null, last_reset, null, 0 from history where kind = 'ignored'),
found as (
    select code, later.table_name, coalesce(later.row_key, later.row_id) as row,
           earlier.file as e_file, earlier.line as e_line, earlier.package as e_package,
           later.file, later.line, later.package, won, conflicts.id, later.columns, place,
           earlier.columns as e_columns, e_place
    from conflicts join zrdb_provenance as later on later.id = conflicts.id
        join zrdb_provenance as earlier on earlier.id = conflicts.e_id
    where later.package <> '' and earlier.package <> '' and later.package <> earlier.package
        and case code when 'update-conflict' then 1
                      when 'ignored-insert' then earlier.kind in ('insert', 'replace')
                      else earlier.kind in ('insert', 'replace', 'update') end)
select code, table_name, row, c.key, e_file, e_line, e_package,
       (select value from json_each(e_columns) where id = e_place),
       file, line, package, c.value, won
    from found left join json_each(found.columns) as c on c.id = found.place
    order by found.id, place
)sql";

const char* TextAt(sqlite3_stmt* statement, int column) {
    return reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
}

ProvenanceRecorder::Write WriteAt(sqlite3_stmt* statement, int first) {
    return ProvenanceRecorder::Write{TextAt(statement, first), sqlite3_column_int(statement, first + 1),
                                     TextAt(statement, first + 2), TextAt(statement, first + 3)};
}

}  // namespace

int ProvenanceRecorder::FindConflicts(IConflictListener& listener) const {
    Command query(&m_connection);
    if (query.Prepare(kConflicts, -1, Command::Report::Error) != Status::Ok)
        return -1;
    sqlite3_stmt* statement = query.Statement();
    int count = 0;
    int resultCode;
    while ((resultCode = sqlite3_step(statement)) == SQLITE_ROW) {
        const Conflict conflict{TextAt(statement, 0), TextAt(statement, 1),  TextAt(statement, 2),
                                TextAt(statement, 3), WriteAt(statement, 4), WriteAt(statement, 8),
                                sqlite3_column_int(statement, 12) != 0};
        listener.OnConflict(conflict);
        ++count;
    }
    if (resultCode != SQLITE_DONE) {
        ReportSqliteError(m_connection);
        query.Discard();
        return -1;
    }
    return count;
}

}  // namespace Database
