// LoadObserver.h: Database::ILoadObserver, what a host is told about a load beyond its result.
//
// A loader without an observer behaves, logs and stores exactly as it always has. With one, it
// also reports every problem it meets (each once, with the file and line it concerns and a stable
// code) and every row it writes, so that a host can show a modder where a file goes wrong and
// which file set a value. The observer is not owned, and is called with no statement of the
// loader's mid-step and once the loader has read what it needs of the connection (change counts,
// last rowids), so it may use the connection: what it writes while a file loads is inside the
// file's transaction, when the loader uses one, and goes with it when the file rolls back.
// Pointers in the structures below are valid during the call only.
#pragma once

namespace Database {

enum class Severity : int {
    Warning = 1,  // the file loads, but not as its author may think
    Error = 2,    // the file fails and changes nothing (with transactions)
};

struct Diagnostic {
    Severity severity;
    const char* file;     // as given to Load (UTF-8)
    int line;             // 1-based; 0 for the whole file
    const char* code;     // short, stable, kebab-case: "unclosed-element", "value-retyped", ...
    const char* message;  // what happened, in a sentence without the file and line
    const char* table;    // the table concerned, when there is one; else null
};

enum class ChangeKind : int {
    Insert,
    Replace,
    Update,
    Delete,
    Ignored,  // an InsertOrIgnore row left out because its key was there already (rowid 0)
};

// One row the loader wrote.
struct RowChange {
    const char* file;
    int line;                   // of the element that wrote it
    const char* table;          // as the data file names it
    ChangeKind kind;
    long long rowid;            // the row's rowid
    const char* key;            // the row's Type, or its first column's value; may be null
    int columnCount;            // columns and values written
    const char* const* columns;
    const char* const* values;  // as bound, after true/false became 1/0; null for a NULL
};

class ILoadObserver {
public:
    virtual ~ILoadObserver() = default;

    virtual void OnDiagnostic(const Diagnostic&) noexcept {}
    // False when OnDiagnostic ignores what it is told: the load then leaves out the checks that
    // only look for problems to report (values, names, markup), and costs less. Asked once per file.
    virtual bool WantsDiagnostics() const noexcept { return true; }
    // False when OnRowChange ignores what it is told: the load then neither reads the rows an
    // Update or Delete is about to change nor copies the names and values of the rows it writes.
    // Asked once per file.
    virtual bool WantsRowChanges() const noexcept { return true; }
    // Every row written: one event per row inserted (Row, Replace, InsertOrIgnore, InsertOrAbort;
    // an ignored InsertOrIgnore row as Ignored), per row an Update changed (the Set columns and
    // their new values) and per row a Delete or a reference purge removed (no columns).
    virtual void OnRowChange(const RowChange&) noexcept {}
    // The end of one file's load: committed is false when it failed, and the rows reported for it
    // are then void.
    virtual void OnFileDone(const char* /*file*/, bool /*committed*/) noexcept {}
};

}  // namespace Database
