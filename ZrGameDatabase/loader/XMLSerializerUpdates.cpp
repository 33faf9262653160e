// XMLSerializerUpdates.cpp: changing rows already in the database: "Delete" and "Update" inside a
// table element, and the top-level "DeleteMissingReferences", which purges the rows whose
// foreign key lost its target.
#include <sqlite3.h>

#include <cstring>

#include "ZrGameDatabase/Connection.h"
#include "ZrGameDatabase/DatabaseResults.h"
#include "base/TextFormat.h"
#include "core/Command.h"
#include "core/ForeignKeys.h"
#include "loader/XMLSerializerImpl.h"
#include "xml/XmlNode.h"
#include "xml/XmlNodeRange.h"

namespace Database {

using Loader::NameOf;
using Loader::NormalizeValue;
using Loader::ReadTextAttribute;
using Loader::Span;
using Loader::ValueOf;

namespace {

constexpr const char* kDeleteFailed = "There was an error executing the delete statement! See Database.log for details.";
constexpr const char* kUpdateFailed = "There was an error executing the update statement! See Database.log for details.";

// Calls visit(name, value) for each attribute of element, then each child element, in document
// order; stops and returns false as soon as visit does.
template <class Visit>
bool ForEachColumn(const XmlNode& element, Visit visit) {
    for (const XmlNode& attribute : Attributes(element)) {
        if (!visit(NameOf(attribute), ValueOf(attribute)))
            return false;
    }
    for (const XmlNode& child : Children(element)) {
        if (!visit(NameOf(child), ValueOf(child)))
            return false;
    }
    return true;
}

bool HasColumns(const XmlNode& element) {
    return !Attributes(element).Empty() || !Children(element).Empty();
}

bool BindAll(Results& results, const Memory::Array<Span>& values) {
    for (std::size_t index = 0; index < values.Size(); ++index) {
        if (!Loader::BindValue(results, static_cast<int>(index + 1), values[index]))
            return false;
    }
    return true;
}

bool IsRowIdName(Span name) {
    static const char* const kAliases[] = {"rowid", "oid", "_rowid_"};
    for (const char* alias : kAliases) {
        if (EqualsIgnoringCase(alias, name.View()))
            return true;
    }
    return false;
}

// A column of a Set or a Where: a name the statement writes between double quotes.
void AppendAssignment(SqlText& statement, Span name) {
    statement.AppendQuoted(name.View(), '"').Append(" = ?");
}

}  // namespace

// Prepares the statement built in the scratch state, binds its values and runs it. failure is the
// error text when the database refuses; what names the change in the warning when it matched no
// row: a mod's Update or Delete that matches nothing usually names a row of another mod, or
// misspells a Type; not an error, since data files are written against rulesets that vary, but
// worth a line in the log so that the author can see it.
bool XMLSerializer::Impl::RunChange(const char* failure, const char* what, Span table) {
    const SqlText& statement = scratch.statement;
    if (!statement.Ok())
        return ReportOutOfMemory();
    Results results;
    const Status prepared =
        ResultsAccess::Prepare(*connection, results, statement.Text(), static_cast<int>(statement.Length()));
    if (prepared == Status::OutOfMemory)
        return ReportOutOfMemory();
    if (prepared != Status::Ok || !WhereColumnsExist(table)) {
        if (!outOfMemory)
            SetErrorMessageAndLog(failure);
        return false;
    }
    if (!BindAll(results, scratch.values))
        return false;
    const bool observed = diagnostics.ReportingRows();
    if (observed && !CollectRows(table))
        return ReportOutOfMemory();
    if (!results.Execute()) {
        matched.Clear();
        SetErrorMessageAndLog(failure);
        return false;
    }
    changedRows = connection->TotalChanges();
    results.Reset();
    if (observed)
        ReportMatchedRows(what[0] == 'U' ? ChangeKind::Update : ChangeKind::Delete, diagnostics.LineOf(failedElementName));
    if (changedRows == 0) {
        char warning[512];
        FormatText(warning, sizeof warning, "%s in table %.*s from file %s matched no row.", what,
                   static_cast<int>(table.length), table.text, fileName);
        connection->LogWarning(warning);
        diagnostics.Report(Severity::Warning, diagnostics.LineOf(failedElementName), "matched-no-row", table,
                           "%s in table %.*s matched no row", what, static_cast<int>(table.length), table.text);
    }
    return true;
}

// The rows the statement in the scratch state is about to change: its condition (from whereStart)
// with the values bound after the Set values.
bool XMLSerializer::Impl::CollectRows(Span table) {
    char name[256];
    FormatText(name, sizeof name, "%.*s", static_cast<int>(table.length), table.text);
    const std::string_view condition = scratch.statement.View().substr(whereStart);
    const std::size_t setCount = scratch.setNames.Size();
    return CollectMatchedRows(name, condition, scratch.values.begin() + setCount, scratch.values.Size() - setCount);
}

bool XMLSerializer::Impl::DeleteRows(const XmlNode& element, Span table) {
    scratch.names.Clear();
    scratch.values.Clear();
    scratch.whereNames.Clear();
    scratch.setNames.Clear();
    SqlText& statement = scratch.statement;
    statement.Clear();
    statement.Append("DELETE FROM ").AppendName(table.View());
    whereStart = statement.Length();
    const bool read = ForEachColumn(element, [&](Span name, Span value) {
        statement.Append(scratch.values.Empty() ? " WHERE " : " AND ").AppendName(name.View()).Append(" = ?");
        return AddRowColumn("Delete", name, value);
    });
    if (!read)
        return false;
    statement.Append(";");
    return RunChange(kDeleteFailed, "Delete", table);
}

bool XMLSerializer::Impl::UpdateRows(const XmlNode& element, Span table) {
    scratch.values.Clear();
    scratch.whereNames.Clear();
    scratch.setNames.Clear();
    SqlText& statement = scratch.statement;
    statement.Clear();
    statement.Append("UPDATE ").AppendName(table.View()).Append(" SET ");

    if (diagnostics.Checking())
        CheckUpdateShape(element, table);
    XmlNode set;
    if (!element.FirstChild(set, "Set", 3)) {
        SetErrorMessageAndLog("<Update> element requires a child <Set> element.");
        return false;
    }
    const bool read = ForEachColumn(set, [&](Span name, Span value) {
        if (!scratch.values.Empty())
            statement.Append(", ");
        AppendAssignment(statement, name);
        return (scratch.setNames.Push(name) && scratch.values.Push(NormalizeValue(value))) || ReportOutOfMemory();
    });
    if (!read)
        return false;
    if (scratch.values.Empty()) {
        SetErrorMessageAndLog("<Set> Needs at least one attribute or child element.");
        return false;
    }
    XmlNode another;
    if (set.NextSibling(another, "Set", 3)) {
        SetErrorMessageAndLog("Duplicate <Set> elements are not allowed.");
        return false;
    }
    XmlNode where;
    const bool conditional = element.FirstChild(where, "Where", 5);
    whereStart = statement.Length();
    if (conditional && !AppendConditions(where))
        return false;
    statement.Append(";");
    if (!RunChange(kUpdateFailed, "Update", table))
        return false;
    if (!conditional && changedRows > 0) {
        diagnostics.Report(Severity::Warning, diagnostics.LineOf(failedElementName), "update-without-where", table,
                           "<Update> without <Where> changed every row of %.*s (%d row%s)",
                           static_cast<int>(table.length), table.text, changedRows, changedRows == 1 ? "" : "s");
    }
    return true;
}

// Appends " WHERE A = ? AND B = ?" for the Where element of an update.
bool XMLSerializer::Impl::AppendConditions(const XmlNode& where) {
    if (!HasColumns(where)) {
        SetErrorMessageAndLog("<Where> needs at least one attribute or child element.");
        return false;
    }
    XmlNode another;
    if (where.NextSibling(another, "Where", 5)) {
        SetErrorMessageAndLog("Duplicate <Where> elements are not allowed.");
        return false;
    }
    SqlText& statement = scratch.statement;
    statement.Append(" WHERE ");
    return ForEachColumn(where, [&](Span name, Span value) {
        if (!scratch.whereNames.Empty())
            statement.Append(" AND ");
        AppendAssignment(statement, name);
        return (scratch.whereNames.Push(name) && scratch.values.Push(NormalizeValue(value))) || ReportOutOfMemory();
    });
}

// SQLite reads a double-quoted name that is no column as a string literal, so a misspelt
// condition would match nothing and the update would pass for a success. Every condition column
// must be a column of the table (or one of the names of its row id).
bool XMLSerializer::Impl::WhereColumnsExist(Span table) {
    if (scratch.whereNames.Empty())
        return true;
    Results columns;
    const Status prepared =
        ResultsAccess::Prepare(*connection, columns, "select 1 from pragma_table_info(?1) where name = ?2 collate nocase", -1);
    if (prepared != Status::Ok)
        return prepared == Status::OutOfMemory ? ReportOutOfMemory() : false;
    for (const Span& name : scratch.whereNames) {
        if (IsRowIdName(name))
            continue;
        columns.Reset();
        columns.Bind(1, table.text, static_cast<int>(table.length), false);
        columns.Bind(2, name.text, static_cast<int>(name.length), false);
        if (!columns.Step()) {
            FormatText(cause, sizeof cause, "no such column: %.*s", static_cast<int>(name.length), name.text);
            connection->LogError(cause);
            return false;
        }
    }
    return true;
}

namespace {

bool SameName(const char* name, Span other) {
    return EqualsIgnoringCase(name, other.View());
}

// Whether key refers to table.column. A key to the referenced table's primary key names no
// column: it is not this one.
bool RefersTo(const ForeignKey& key, Span table, Span column) {
    return key.referencedColumn != nullptr && SameName(key.referencedTable, table)
           && SameName(key.referencedColumn, column);
}

// "DELETE FROM T WHERE F NOT IN (SELECT C FROM R)": the rows of T whose key names a value that
// is no longer in R.C.
void ComposePurge(SqlText& purge, const ForeignKey& key, Span table) {
    purge.Clear();
    purge.Append("DELETE FROM ").AppendName(key.table).Append(" WHERE ").AppendName(key.column);
    purge.Append(" NOT IN (SELECT ").AppendName(key.referencedColumn).Append(" FROM ");
    purge.AppendName(table.View()).Append(")");
}

}  // namespace

// The rows the purge in the scratch state is about to remove from table.
bool XMLSerializer::Impl::CollectPurgedRows(const char* table) {
    SqlText& purge = scratch.statement;
    const std::string_view head = "DELETE FROM ";
    // The condition follows the table's name as the purge wrote it, plain or quoted.
    SqlText name;
    name.AppendName(table);
    if (!name.Ok())
        return false;
    const std::string_view condition = purge.View().substr(head.size() + name.Length());
    return CollectMatchedRows(table, condition, nullptr, 0);
}

// Whether a table of that name (in any letter case, as SQLite reads names) exists.
bool XMLSerializer::Impl::TableExists(Span table) {
    Results found;
    if (ResultsAccess::Prepare(*connection, found,
                               "select 1 from sqlite_master where type = 'table' and name = ?1 collate nocase", -1)
        != Status::Ok)
        return true;  // nothing can be told, so nothing is said
    found.Bind(1, table.text, static_cast<int>(table.length), false);
    return found.Step();
}

bool XMLSerializer::Impl::DeleteMissingReferences(const XmlNode& element) {
    Span table;
    Span column;
    if (!ReadTextAttribute(element, "table", table)) {
        SetErrorMessage("'table' attribute expected.");
        return false;
    }
    if (!ReadTextAttribute(element, "column", column)) {
        SetErrorMessage("'column' attribute expected.");
        return false;
    }
    if (diagnostics.Active() && !TableExists(table)) {
        diagnostics.Report(Severity::Warning, diagnostics.LineOf(failedElementName), "purge-missing-table", table,
                           "DeleteMissingReferences names the table %.*s, which does not exist; nothing was purged",
                           static_cast<int>(table.length), table.text);
    }
    // The purge is all or nothing even when the file runs without a transaction of its own. The
    // database's text is kept at once: ending the walk and rolling back both succeed and would
    // leave the load without a word on what went wrong.
    TransactionGuard transaction(*connection, true);
    bool failed = false;
    auto purgeReferencingRows = [&](const ForeignKey& key) {
        if (!RefersTo(key, table, column))
            return true;
        SqlText& purge = scratch.statement;
        ComposePurge(purge, key, table);
        if (!purge.Ok() || (diagnostics.ReportingRows() && !CollectPurgedRows(key.table))) {
            failed = !ReportOutOfMemory();
        } else if (!connection->Execute(purge.Text(), static_cast<int>(purge.Length()))) {
            SetErrorMessage(connection->ErrorMessage());
            failed = true;
        }
        return !failed;
    };
    if (WalkForeignKeys(*connection, Command::Report::Query, purgeReferencingRows) != Status::Ok
        || (!failed && !transaction.Commit())) {
        matched.Clear();
        SetErrorMessage(connection->ErrorMessage());
        return false;
    }
    if (failed) {
        matched.Clear();
        return false;
    }
    // Reported once the walk's statements are done with.
    if (diagnostics.ReportingRows())
        ReportMatchedRows(ChangeKind::Delete, diagnostics.LineOf(failedElementName));
    return true;
}

}  // namespace Database
