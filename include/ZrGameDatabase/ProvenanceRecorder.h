// ProvenanceRecorder.h: Database::ProvenanceRecorder, a load observer that keeps, in the database
// itself, which file of which package wrote every value, and finds where packages overrode each
// other.
//
// The record is the table zrdb_provenance of the connection's database, so that a snapshot keeps
// it and scripts read it as DB.zrdb_provenance. One row per change, in the order of the changes:
//   id           integer primary key: the order of the changes, across runs on the database
//   file         the file that wrote, as given to the loader
//   line         the line of the element that wrote
//   package      the package label set when the change was heard; null for none
//   table_name   the table, as the data file spelt it
//   kind         'insert', 'replace', 'update', 'delete' or 'ignored' (an insert left out because
//                its key was there already)
//   row_id       the row's rowid; null when the loader gave none (an ignored insert)
//   row_key      the row's Type, or its first column's value; may be null
//   columns      the columns the change wrote and their values, as text: a JSON object with one
//                member per column in the order written, the name as key and the value as a JSON
//                string, or null for a NULL; e.g. {"Type":"WARRIOR","Cost":null}. Names and values
//                are JSON strings ('"', '\' and control characters escaped), so any text, commas,
//                quotes and braces included, reads back exactly; a name written twice is two
//                members. Null for a change without columns (a delete, an empty row).
// One row per column written is what
//   select p.*, c.key as column_name, c.value from zrdb_provenance as p
//       left join json_each(p.columns) as c order by p.id, c.id
// gives (c.value null for a NULL, and for a change without columns).
//
// Only committed files are recorded. A file's changes are written while it loads, a few dozen at
// a time, inside the loader's transaction, so that a file that rolls back takes them back with
// it; what was written of a file that fails without a transaction, or whose record could not be
// written whole, is deleted when the file is done. Changes to zrdb_provenance itself are never
// recorded.
#pragma once

#include <memory>

#include "ZrGameDatabase/LoadObserver.h"
#include "ZrGameDatabase/Platform.h"

namespace Database {

class Connection;

class ZRDB_API ProvenanceRecorder : public ILoadObserver {
public:
    // Records into connection's database (not owned; must outlive the recorder). The table is
    // made, if it does not exist, when the first committed file is written.
    explicit ProvenanceRecorder(Connection& connection);
    ~ProvenanceRecorder() override;
    ProvenanceRecorder(const ProvenanceRecorder&) = delete;
    ProvenanceRecorder& operator=(const ProvenanceRecorder&) = delete;

    // The package label of the data set the next files belong to (copied; null or empty: none).
    // It applies to the changes heard from now on.
    void SetPackage(const char* label);
    // The observer every event is also passed on to, after the recorder handled it (not owned;
    // null, the default: none), so that a host's own observer still hears the load.
    void SetNext(ILoadObserver* next);

    // Passed on to the next observer; the recorder keeps no diagnostics, and wants them only when
    // the next observer does.
    void OnDiagnostic(const Diagnostic& diagnostic) noexcept override;
    bool WantsDiagnostics() const noexcept override;
    // Holds a copy of the change, writes the held ones once they fill a batch, then passes the
    // change on.
    void OnRowChange(const RowChange& change) noexcept override;
    // Committed: writes the changes still held, inside whatever transaction the connection is in;
    // a failed write is logged through the connection's logger and leaves none of the file's
    // rows. Rolled back: none of them stays. Either way the event is then passed on.
    void OnFileDone(const char* file, bool committed) noexcept override;

    // One side of a conflict. The texts are valid during OnConflict only.
    struct Write {
        const char* file;
        int line;
        const char* package;
        const char* value;  // the column's value; null for a NULL, or when the conflict has no column
    };

    // Two packages that wrote the same row. Only writes of two different, non-empty packages
    // conflict; rows are told apart by table (without regard to case) and key (by rowid when the
    // key is null). Codes:
    //   "update-conflict"   an update of a column whose previous write was another package's
    //                       (laterWon true)
    //   "replace-conflict"  a replace of a row another package wrote last (column null, laterWon true)
    //   "delete-conflict"   a delete of a row another package wrote last (column null, laterWon true)
    //   "ignored-insert"    an ignored insert of a row another package had inserted or replaced
    //                       (column null, laterWon false: the earlier row stays)
    // A replace or insert starts the row afresh: writes before it no longer count as the previous
    // write of a column, and a row whose last change was a delete was written by nobody.
    struct Conflict {
        const char* code;
        const char* table;   // as the later write spelt it
        const char* key;     // the row's key; its rowid in decimal when it has no key
        const char* column;  // as the later write spelt it; null for a conflict over a whole row
        Write earlier;
        Write later;
        bool laterWon;  // whether the later write's value is what the row holds after it
    };

    class IConflictListener {
    public:
        virtual ~IConflictListener() = default;
        virtual void OnConflict(const Conflict& conflict) noexcept = 0;
    };

    // Hands every conflict recorded in zrdb_provenance (by this recorder and by earlier runs on
    // the database) to listener, in the order of the later writes, each once, and returns how
    // many there were; -1, with the reason logged, when the table cannot be read.
    int FindConflicts(IConflictListener& listener) const;

private:
    struct Impl;

    Connection& m_connection;      // the database recorded into; not owned
    ILoadObserver* m_next;         // passed every event; not owned, may be null
    std::unique_ptr<Impl> m_impl;  // pending changes and the insert statement; null without memory
};

}  // namespace Database
