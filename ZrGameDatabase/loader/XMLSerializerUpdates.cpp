// XMLSerializerUpdates.cpp: changing rows already in the database: "Delete" and "Update" inside a
// table element, and the top-level "DeleteMissingReferences", which purges the rows whose
// foreign key lost its target.
#include <sqlite3.h>

#include <cstdio>
#include <cstring>
#include <strings.h>

#include "base/TextFormat.h"
#include "loader/XMLSerializerInternal.h"
#include "ZrGameDatabase/Connection.h"
#include "ZrGameDatabase/DatabaseResults.h"
#include "ZrGameDatabase/XMLSerializer.h"
#include "xml/XmlNode.h"

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
    XmlNode attribute;
    for (bool more = element.FirstAttribute(attribute); more;) {
        if (!visit(NameOf(attribute), ValueOf(attribute)))
            return false;
        XmlNode next;
        more = attribute.NextAttribute(next);
        attribute = next;
    }
    XmlNode child;
    for (bool more = element.FirstChild(child); more;) {
        if (!visit(NameOf(child), ValueOf(child)))
            return false;
        XmlNode next;
        more = child.NextSibling(next);
        child = next;
    }
    return true;
}

bool HasColumns(const XmlNode& element) {
    XmlNode any;
    return element.FirstAttribute(any) || element.FirstChild(any);
}

bool BindAll(Results& results, const Memory::Vector<Span>& values) {
    for (std::size_t index = 0; index < values.size(); ++index) {
        if (!Loader::BindValue(results, static_cast<int>(index + 1), values[index]))
            return false;
    }
    return true;
}

// A mod's Update or Delete that matches nothing usually names a row of another mod, or misspells a
// Type: not an error, since data files are written against rulesets that vary, but worth a line in
// the log so that the author can see it.
void WarnWhenNothingChanged(const Connection& connection, const char* what, const char* table,
                            std::uint32_t tableLength, const char* fileName) {
    if (connection.TotalChanges() != 0)
        return;
    char warning[512];
    FormatText(warning, sizeof warning, "%s in table %.*s from file %s matched no row.", what,
               static_cast<int>(tableLength), table, fileName);
    connection.LogWarning(warning);
}

Span NameSpan(const char* name) {
    return Span{name, static_cast<std::uint32_t>(std::strlen(name))};
}

bool IsRowIdName(Span name) {
    static const char* const kAliases[] = {"rowid", "oid", "_rowid_"};
    for (const char* alias : kAliases) {
        if (std::strlen(alias) == name.length && strncasecmp(alias, name.text, name.length) == 0)
            return true;
    }
    return false;
}

}  // namespace

bool XMLSerializer::DeleteRows(const XmlNode& element, const char* table, std::uint32_t tableLength) {
    Loader::LoaderScratch& scratch = *m_scratch;
    scratch.names.Clear();
    scratch.values.clear();
    Memory::String& statement = scratch.statement;
    statement = "DELETE FROM ";
    Loader::AppendName(statement, Span{table, tableLength});
    const bool unique = ForEachColumn(element, [&](Span name, Span value) {
        if (!scratch.names.Insert(name)) {
            char message[512];
            FormatText(message, sizeof message, "Duplicate column names detected in <Delete>. Name: %.*s, Value: %.*s",
                          static_cast<int>(name.length), name.text, static_cast<int>(value.length), value.text);
            SetErrorMessageAndLog(message);
            return false;
        }
        statement += scratch.values.empty() ? " WHERE " : " AND ";
        Loader::AppendName(statement, name);
        statement += " = ?";
        scratch.values.push_back(NormalizeValue(value));
        return true;
    });
    if (!unique)
        return false;
    statement += ";";

    Results results;
    if (!m_connection->Execute(results, statement.c_str(), static_cast<int>(statement.size()))) {
        SetErrorMessageAndLog(kDeleteFailed);
        return false;
    }
    if (!BindAll(results, scratch.values))
        return false;
    if (!results.Execute()) {
        SetErrorMessageAndLog(kDeleteFailed);
        return false;
    }
    WarnWhenNothingChanged(*m_connection, "Delete", table, tableLength, m_fileName);
    return true;
}

bool XMLSerializer::UpdateRows(const XmlNode& element, const char* table, std::uint32_t tableLength) {
    Loader::LoaderScratch& scratch = *m_scratch;
    scratch.values.clear();
    scratch.whereNames.clear();
    Memory::String& statement = scratch.statement;
    statement = "UPDATE ";
    Loader::AppendName(statement, Span{table, tableLength});
    statement += " SET ";

    XmlNode set;
    if (!element.FirstChild(set, "Set", 3)) {
        SetErrorMessageAndLog("<Update> element requires a child <Set> element.");
        return false;
    }
    ForEachColumn(set, [&](Span name, Span value) {
        if (!scratch.values.empty())
            statement += ", ";
        statement += '"';
        Loader::AppendEscaped(statement, name, '"');
        statement += "\" = ?";
        scratch.values.push_back(NormalizeValue(value));
        return true;
    });
    if (scratch.values.empty()) {
        SetErrorMessageAndLog("<Set> Needs at least one attribute or child element.");
        return false;
    }
    XmlNode another;
    if (set.NextSibling(another, "Set", 3)) {
        SetErrorMessageAndLog("Duplicate <Set> elements are not allowed.");
        return false;
    }

    XmlNode where;
    if (element.FirstChild(where, "Where", 5)) {
        if (!HasColumns(where)) {
            SetErrorMessageAndLog("<Where> needs at least one attribute or child element.");
            return false;
        }
        if (where.NextSibling(another, "Where", 5)) {
            SetErrorMessageAndLog("Duplicate <Where> elements are not allowed.");
            return false;
        }
        statement += " WHERE ";
        ForEachColumn(where, [&](Span name, Span value) {
            if (!scratch.whereNames.empty())
                statement += " AND ";
            statement += '"';
            Loader::AppendEscaped(statement, name, '"');
            statement += "\" = ?";
            scratch.whereNames.push_back(name);
            scratch.values.push_back(NormalizeValue(value));
            return true;
        });
    }
    statement += ";";

    Results results;
    if (!m_connection->Execute(results, statement.c_str(), static_cast<int>(statement.size()))
        || !WhereColumnsExist(table, tableLength)) {
        SetErrorMessageAndLog(kUpdateFailed);
        return false;
    }
    if (!BindAll(results, scratch.values))
        return false;
    if (!results.Execute()) {
        SetErrorMessageAndLog(kUpdateFailed);
        return false;
    }
    WarnWhenNothingChanged(*m_connection, "Update", table, tableLength, m_fileName);
    return true;
}

// SQLite reads a double-quoted name that is no column as a string literal, so a misspelt
// condition would match nothing and the update would pass for a success. Every condition column
// must be a column of the table (or one of the names of its row id).
bool XMLSerializer::WhereColumnsExist(const char* table, std::uint32_t tableLength) {
    if (m_scratch->whereNames.empty())
        return true;
    Results columns;
    if (!m_connection->Execute(columns, "select 1 from pragma_table_info(?1) where name = ?2 collate nocase"))
        return false;
    for (const Span& name : m_scratch->whereNames) {
        if (IsRowIdName(name))
            continue;
        columns.Reset();
        columns.Bind(1, table, static_cast<int>(tableLength), false);
        columns.Bind(2, name.text, static_cast<int>(name.length), false);
        if (!columns.Step()) {
            char message[512];
            FormatText(message, sizeof message, "no such column: %.*s", static_cast<int>(name.length), name.text);
            m_connection->LogError(message);
            return false;
        }
    }
    return true;
}

// Rolls the purge back after a failed statement. The database's text is kept first: the rollback
// succeeds and would leave the load without a word on what went wrong.
void XMLSerializer::AbandonPurge() {
    SetErrorMessage(m_connection->ErrorMessage());
    m_connection->RollbackTransaction();
}

bool XMLSerializer::DeleteMissingReferences(const XmlNode& element) {
    Memory::String table;
    Memory::String column;
    if (!ReadTextAttribute(element, "table", table)) {
        SetErrorMessage("'table' attribute expected.");
        return false;
    }
    if (!ReadTextAttribute(element, "column", column)) {
        SetErrorMessage("'column' attribute expected.");
        return false;
    }
    Results tables;
    if (!m_connection->Execute(tables, "select name from sqlite_master where type = 'table'")) {
        SetErrorMessage(m_connection->ErrorMessage());
        return false;
    }
    m_connection->BeginTransaction();
    while (tables.Step()) {
        // The table's name is bound, not spliced: a table of any name, however long and whatever
        // it holds, is looked at.
        const char* referencing = tables.GetText(0);
        Results keys;
        if (!m_connection->Execute(keys, "select * from pragma_foreign_key_list(?1)")
            || !keys.Bind(1, referencing, false)) {
            AbandonPurge();
            return false;
        }
        while (keys.Step()) {
            const char* referencedTable = keys.GetText(2);
            const char* referencingColumn = keys.GetText(3);
            const char* referencedColumn = keys.GetText(4);
            // A key to the referenced table's primary key names no column: it is not this one.
            if (referencedTable == nullptr || referencedColumn == nullptr || referencingColumn == nullptr
                || strcasecmp(referencedTable, table.c_str()) != 0 || strcasecmp(referencedColumn, column.c_str()) != 0)
                continue;
            Memory::String& purge = m_scratch->statement;
            purge = "DELETE FROM ";
            Loader::AppendName(purge, NameSpan(referencing));
            purge += " WHERE ";
            Loader::AppendName(purge, NameSpan(referencingColumn));
            purge += " NOT IN (SELECT ";
            Loader::AppendName(purge, NameSpan(referencedColumn));
            purge += " FROM ";
            Loader::AppendName(purge, NameSpan(table.c_str()));
            purge += ")";
            if (!m_connection->Execute(purge.c_str(), static_cast<int>(purge.size()))) {
                AbandonPurge();
                return false;
            }
        }
    }
    m_connection->EndTransaction();
    return true;
}

}  // namespace Database
