// XMLSerializerRows.cpp: row insertion ("Row", "Replace", "InsertOrIgnore", "InsertOrAbort").
//
// A row's columns are its attributes, then its child elements. Each distinct column list gets one
// parameterised statement, prepared once and kept in the load's ResultsCache under the statement
// head ("insert into Units('Type', 'Cost')"), so the bulk of a data file is bind, step and reset.
#include <sqlite3.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "base/TextFormat.h"
#include "loader/XMLSerializerInternal.h"
#include "ZrGameDatabase/Connection.h"
#include "ZrGameDatabase/DatabaseResults.h"
#include "ZrGameDatabase/ResultsCache.h"
#include "ZrGameDatabase/XMLSerializer.h"
#include "xml/XmlNode.h"

namespace Database {

using Loader::NameOf;
using Loader::NormalizeValue;
using Loader::Span;
using Loader::ValueOf;

namespace {

const char* Prefix(int mode) {
    static const char* const kPrefixes[] = {"insert into ", "insert or abort into ", "insert or ignore into ",
                                            "insert or replace into "};
    return kPrefixes[mode];
}

// Appends one column to the statement head's column list: SQLite takes a quoted text there as
// the column's name, and a quote inside it is doubled so that the name is the one written.
void AppendColumn(Memory::String& columns, Span name) {
    columns += '\'';
    Loader::AppendEscaped(columns, name, '\'');
    columns += '\'';
}

// Runs a row statement the way its mode asks: an abort-mode row refused by a constraint is left
// out silently, every other failure stops the load.
bool ExecuteRow(Results& row, bool lenient) {
    return lenient ? row.TryExecute() : row.Execute();
}

bool ResetRow(Results& row, bool lenient) {
    return lenient ? row.TryReset() : row.Reset();
}

// A row statement that failed half-way (a lock it could not get, say) is still running: kept so
// in a caller's cache, it would keep the next file from opening its transaction. Resetting it
// leaves the failure's code and text on the connection for the load's error message.
void AbandonRow(Results& row) {
    row.TryReset();
}

// Prepares a row statement into the cache. A statement SQLite refused leaves its reason on the
// connection; a null without one means the cache had no memory of its own for the entry, which
// fails the load as out of memory (LoadBuffer reports it) instead of failing it without a reason.
Results* PrepareRowStatement(ResultsCache& cache, const Connection& connection, const char* name,
                             std::size_t nameLength, const Memory::String& statement) {
    Results* row = cache.Prepare(name, nameLength, statement.c_str(), static_cast<int>(statement.size()));
    const int code = connection.ErrorCode();
    if (row == nullptr && (code == SQLITE_OK || code == SQLITE_ROW || code == SQLITE_DONE))
        throw std::bad_alloc();
    return row;
}

}  // namespace

bool XMLSerializer::InsertRow(const XmlNode& element, ResultsCache& cache, const char* table,
                              std::uint32_t tableLength, InsertMode mode) {
    Loader::LoaderScratch& scratch = *m_scratch;
    Memory::String& key = scratch.key;
    scratch.names.Clear();
    scratch.values.clear();
    key = Prefix(static_cast<int>(mode));
    Loader::AppendName(key, Span{table, tableLength});
    key += '(';

    // Attributes first, then child elements, each in document order; the values are bound as
    // written, after "true" and "false" become 1 and 0.
    XmlNode attribute;
    bool hasAttributes = element.FirstAttribute(attribute);
    XmlNode child;
    const bool hasChildren = element.FirstChild(child);
    for (bool more = hasAttributes; more;) {
        const Span name = NameOf(attribute);
        const Span value = ValueOf(attribute);
        if (!AddRowColumn(name.text, name.length, value.text, value.length))
            return false;
        AppendColumn(key, NameOf(attribute));
        XmlNode next;
        more = attribute.NextAttribute(next);
        attribute = next;
        if (more || hasChildren)
            key += ", ";
    }
    for (bool more = hasChildren; more;) {
        const Span name = NameOf(child);
        const Span value = ValueOf(child);
        if (!AddRowColumn(name.text, name.length, value.text, value.length))
            return false;
        AppendColumn(key, NameOf(child));
        XmlNode next;
        more = child.NextSibling(next);
        child = next;
        if (more)
            key += ", ";
    }
    // Rows written with child elements are what mods add; those of tagged tables carry the tag.
    if (hasChildren && IsPackageTagged(table, tableLength)) {
        key += ", 'PackageID'";
        const Memory::String& tag = m_packageTags->tag;
        scratch.values.push_back(Span{tag.data(), static_cast<std::uint32_t>(tag.size())});
    }
    key += ')';

    if (scratch.values.empty())
        return InsertEmptyRow(cache, table, tableLength, mode);
    if (!FitsColumnLimit(scratch.values.size()))
        return false;

    Results* row = cache.Get(key.data(), key.size());
    if (row == nullptr) {
        Memory::String& statement = scratch.statement;
        statement = key;
        statement += " values (";
        for (std::size_t index = 1; index < scratch.values.size(); ++index)
            statement += "?, ";
        statement += "?);";
        row = PrepareRowStatement(cache, *m_connection, key.data(), key.size(), statement);
        if (row == nullptr)
            return false;
    }
    for (std::size_t index = 0; index < scratch.values.size(); ++index) {
        if (!Loader::BindValue(*row, static_cast<int>(index + 1), scratch.values[index]))
            return false;
    }
    const bool lenient = mode == InsertMode::Abort;
    if (!ExecuteRow(*row, lenient)) {
        LogInsertFailure();
        AbandonRow(*row);
        return false;
    }
    return ResetRow(*row, lenient);
}

// A row without columns inserts the table's defaults. Its statement is filed under its own text,
// which holds the mode, and runs like every other row of that mode.
bool XMLSerializer::InsertEmptyRow(ResultsCache& cache, const char* table, std::uint32_t tableLength,
                                   InsertMode mode) {
    Memory::String& statement = m_scratch->statement;
    statement = Prefix(static_cast<int>(mode));
    Loader::AppendName(statement, Span{table, tableLength});
    statement += " default values;";
    Results* row = cache.Get(statement.data(), statement.size());
    if (row == nullptr) {
        row = PrepareRowStatement(cache, *m_connection, statement.data(), statement.size(), statement);
        if (row == nullptr)
            return false;
    }
    const bool lenient = mode == InsertMode::Abort;
    if (!ExecuteRow(*row, lenient)) {
        m_scratch->key = statement;
        LogInsertFailure();
        AbandonRow(*row);
        return false;
    }
    return ResetRow(*row, lenient);
}

// No table has more columns than the connection's limit, so a wider row cannot be inserted. It is
// refused before SQLite reads its statement: SQLite grows a statement's column list one name at a
// time, and a hostile row of a million columns would hold the load for minutes.
bool XMLSerializer::FitsColumnLimit(std::size_t columns) {
    sqlite3* handle = m_connection->Handle();
    const int limit = handle != nullptr ? sqlite3_limit(handle, SQLITE_LIMIT_COLUMN, -1) : 0;
    if (handle == nullptr || columns <= static_cast<std::size_t>(limit))
        return true;
    char message[256];
    FormatText(message, sizeof message, "The row has %zu columns, more than the %d a table can have.", columns, limit);
    SetErrorMessageAndLog(message);
    return false;
}

// Adds one column of a row, refusing a name the row has already used.
bool XMLSerializer::AddRowColumn(const char* name, std::uint32_t nameLength, const char* value,
                                 std::uint32_t valueLength) {
    if (!m_scratch->names.Insert(Span{name, nameLength})) {
        char message[512];
        FormatText(message, sizeof message, "Duplicate column names detected in <Row>. Name: %.*s, Value: %.*s",
                      static_cast<int>(nameLength), name, static_cast<int>(valueLength), value);
        SetErrorMessageAndLog(message);
        return false;
    }
    m_scratch->values.push_back(NormalizeValue(Span{value, valueLength}));
    return true;
}

void XMLSerializer::LogInsertFailure() {
    Memory::String joined;
    for (const Span& value : m_scratch->values) {
        if (!joined.empty())
            joined += ", ";
        Loader::Append(joined, value);
        if (joined.size() >= 4096)
            break;
    }
    char context[4096];
    FormatText(context, sizeof context, "In XMLSerializer while inserting row into table %s with  values (%s).",
                  m_scratch->key.c_str(), joined.c_str());
    m_connection->LogMessage(context);
}

}  // namespace Database
