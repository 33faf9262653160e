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

// ordered: the record, with the first row of every change marked (a change's rows are
// consecutive and share everything but the column). Only ids, keys and packages go through the
// sorts; the texts are fetched by id for the conflicts alone.
// history: the rows that name their row, each with its row's epoch, the count of the inserts,
// replaces and deletes of the row up to it: such a change starts the row afresh, so the previous
// write of a column is looked for within the epoch only. Also the last row, before it, of a change
// that put the row there (last_reset) and of any change but an ignored insert (last_write).
// writes: the previous write of each column.
// conflicts: each later write with the earlier one it may have overridden; the packages of both,
// and what the earlier one did, decide whether it is a conflict.
const char* const kConflicts = R"sql(
with ordered as (
    select id, lower(table_name) as t, kind, package, row_key, case when row_key is null then row_id end as rid,
           lower(column_name) as col,
           case when lag(file) over w is file and lag(line) over w is line and lag(package) over w is package
                     and lag(table_name) over w is table_name and lag(kind) over w is kind
                     and lag(row_id) over w is row_id and lag(row_key) over w is row_key
                then 0 else 1 end as starts
    from zrdb_provenance window w as (order by id)),
history as (
    select id, kind, package, starts, t, row_key, rid, col,
           ifnull(sum(starts and kind in ('insert', 'replace', 'delete')) over h, 0)
               + (starts and kind in ('insert', 'replace', 'delete')) as epoch,
           max(iif(kind in ('insert', 'replace', 'delete'), id, null)) over h as last_reset,
           max(iif(kind <> 'ignored', id, null)) over h as last_write
    from ordered where row_key is not null or rid is not null
    window h as (partition by t, row_key, rid order by id rows between unbounded preceding and 1 preceding)),
writes as (
    select id, kind, package, lag(id) over c as e_id, lag(package) over c as e_package
    from history where col is not null and kind in ('insert', 'replace', 'update')
    window c as (partition by t, row_key, rid, epoch, col order by id)),
conflicts as (
    select 'update-conflict' as code, id, e_id, 1 as won from writes
        where kind = 'update' and e_id is not null and package <> '' and e_package <> '' and package <> e_package
    union all
    select kind || '-conflict', id, last_write, 1 from history
        where starts and kind in ('replace', 'delete')
    union all
    select 'ignored-insert', id, last_reset, 0 from history where starts and kind = 'ignored')
select code, later.table_name, coalesce(later.row_key, later.row_id),
       iif(code = 'update-conflict', later.column_name, null),
       earlier.file, earlier.line, earlier.package, iif(code = 'update-conflict', earlier.value, null),
       later.file, later.line, later.package, iif(code = 'update-conflict', later.value, null), won
    from conflicts join zrdb_provenance as later on later.id = conflicts.id
        join zrdb_provenance as earlier on earlier.id = conflicts.e_id
    where later.package <> '' and earlier.package <> '' and later.package <> earlier.package
        and case code when 'update-conflict' then 1
                      when 'ignored-insert' then earlier.kind in ('insert', 'replace')
                      else earlier.kind in ('insert', 'replace', 'update') end
    order by conflicts.id
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
