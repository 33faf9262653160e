// XMLSerializerTables.cpp: table definitions ("Table"), added columns ("AlterTable") and indexes
// ("Index"). Each element becomes one statement (one per added column) built as text and run at
// once; nothing runs before the whole element has been read, so a bad column leaves no table.
#include <sqlite3.h>

#include <cstring>

#include "ZrGameDatabase/Connection.h"
#include "base/TextFormat.h"
#include "core/Command.h"
#include "loader/XMLSerializerImpl.h"
#include "xml/XmlNode.h"
#include "xml/XmlNodeRange.h"

namespace Database {

using Loader::NameOf;
using Loader::ReadFlagAttribute;
using Loader::ReadTextAttribute;
using Loader::Span;

namespace {

// Appends the default clause of a column: booleans become 1 or 0, NULL stays NULL, numbers are
// written as they are and any other text as a quoted literal (quotes doubled, so that the stored
// default is the text as written).
void AppendDefault(SqlText& out, Span type, Span value) {
    out.Append("default ");
    if (type.View() == "boolean") {
        const char first = value.Empty() ? '\0' : value.text[0];
        out.Append((first == 't' || first == 'T' || first == '1') ? "1 " : "0 ");
        return;
    }
    if (value.View() == "NULL") {
        out.Append("NULL ");
        return;
    }
    switch (Loader::DetermineValueType(value.text, value.length)) {
        case Loader::ValueType::Null:
            out.Append("NULL ");
            return;
        case Loader::ValueType::Integer:
        case Loader::ValueType::Real:
            out.Append(value.View()).Append(' ');
            return;
        case Loader::ValueType::Text:
            out.AppendQuoted(value.View(), '\'').Append(' ');
            return;
    }
}

// One column of a "Table" or an "AlterTable": its name, and its reference, if any.
struct ColumnDefinition {
    Span name{"", 0};
    Span reference{"", 0};
};

// Reads a "Column" or "AddColumn" element and appends its definition to out. False when the
// column has no name.
bool AppendColumnDefinition(SqlText& out, const XmlNode& column, ColumnDefinition& definition) {
    definition.reference = Span{"", 0};
    if (!ReadTextAttribute(column, "name", definition.name))
        return false;
    Span type{"integer", 7};
    ReadTextAttribute(column, "type", type);
    bool primaryKey = false;
    bool autoIncrement = false;
    bool notNull = false;
    bool unique = false;
    ReadFlagAttribute(column, "primarykey", primaryKey);
    ReadFlagAttribute(column, "autoincrement", autoIncrement);
    ReadFlagAttribute(column, "notnull", notNull);
    ReadFlagAttribute(column, "unique", unique);
    Span defaultValue{"", 0};
    ReadTextAttribute(column, "default", defaultValue);
    ReadTextAttribute(column, "reference", definition.reference);

    out.AppendQuoted(definition.name.View(), '\'').Append(' ').Append(type.View()).Append(' ');
    if (primaryKey) {
        out.Append("primary key ");
        if (autoIncrement)
            out.Append("autoincrement ");
    }
    if (notNull)
        out.Append(" not null ");
    if (unique)
        out.Append("unique ");
    if (!defaultValue.Empty())
        AppendDefault(out, type, defaultValue);
    return true;
}

}  // namespace

// Stores format, filled with the name of the child that has no place in its element.
void XMLSerializer::Impl::StoreUnexpectedChild(const char* format, const XmlNode& child) {
    const Span name = NameOf(child);
    char message[256];
    FormatText(message, sizeof message, format, static_cast<int>(name.length), name.text);
    SetErrorMessage(message);
}

// Types, references and sort orders are pieces of SQL by design and are spliced in as written, and
// SQLite runs a text only up to a zero byte or to the end of its first statement: a zero byte or
// a semicolon in them would have the definition run cut short, the rest of it silently dropped.
// Refused: a text that is not exactly one statement (the reason stored and logged). Failed: a
// text SQLite cannot compile (its error logged, as running it would have logged it).
XMLSerializer::Impl::DefinitionCheck XMLSerializer::Impl::CheckDefinition(const char* statement, std::size_t length,
                                                                        const char* element) {
    const char* refusal = nullptr;
    if (std::memchr(statement, '\0', length) != nullptr) {
        refusal = "holds a zero byte";
    } else if (connection->Handle() != nullptr) {
        Command check(connection);
        const char* tail = nullptr;
        if (check.Prepare(statement, static_cast<int>(length), Command::Report::Error, &tail) != Status::Ok)
            return DefinitionCheck::Failed;
        if (check.Held() && !SqlText::HoldsNoStatement(tail, statement + length))
            refusal = "makes more than one statement";
        check.Discard();
    }
    if (refusal == nullptr)
        return DefinitionCheck::Run;
    char message[256];
    FormatText(message, sizeof message, "The statement built from %s %s; nothing was run.", element, refusal);
    SetErrorMessageAndLog(message);
    return DefinitionCheck::Refused;
}

// The context line of a table definition the database refused.
void XMLSerializer::Impl::LogBuildContext(Span table) {
    char context[256];
    FormatText(context, sizeof context, "In XMLSerializer while building table %.*s from file %s.",
               static_cast<int>(table.length), table.text, fileName);
    connection->LogMessage(context);
}

// Checks and runs the statement of a table definition; a refusal or a failure logs the context.
bool XMLSerializer::Impl::RunDefinition(const SqlText& statement, const char* element, Span table) {
    if (!statement.Ok())
        return ReportOutOfMemory();
    if (CheckDefinition(statement.Text(), statement.Length(), element) != DefinitionCheck::Run
        || !connection->Execute(statement.Text(), static_cast<int>(statement.Length()))) {
        LogBuildContext(table);
        return false;
    }
    return true;
}

bool XMLSerializer::Impl::BuildTable(const XmlNode& element) {
    Span table;
    if (!ReadTextAttribute(element, "name", table)) {
        SetErrorMessage("'name' is a required attribute of 'Table'.");
        return false;
    }
    if (Children(element).Empty()) {
        SetErrorMessageAndLog("Table contains no 'Column' elements.");
        return false;
    }
    SqlText& statement = scratch.statement;
    SqlText& foreignKeys = scratch.key;
    statement.Clear();
    foreignKeys.Clear();
    statement.Append("create table ").AppendName(table.View()).Append(" (");
    ColumnDefinition definition;
    bool first = true;
    for (const XmlNode& column : Children(element)) {
        NoteFailedElement(column);
        if (!column.NameEquals("Column", 6)) {
            StoreUnexpectedChild("'Column' expected, got '%.*s'.", column);
            return false;
        }
        if (!first)
            statement.Append(", ");
        first = false;
        if (!AppendColumnDefinition(statement, column, definition)) {
            SetErrorMessage("'Column' element inside of 'Table' requires 'name' attribute.");
            return false;
        }
        if (!definition.reference.Empty()) {
            foreignKeys.Append(", foreign key (").AppendName(definition.name.View()).Append(") references ");
            foreignKeys.Append(definition.reference.View());
        }
    }
    if (!foreignKeys.Ok())
        return ReportOutOfMemory();
    statement.Append(foreignKeys.View()).Append(");");
    NoteFailedElement(element);
    return RunDefinition(statement, "<Table>", table);
}

bool XMLSerializer::Impl::AlterTable(const XmlNode& element) {
    Span table;
    if (!ReadTextAttribute(element, "name", table)) {
        SetErrorMessage("'name' is a required attribute of 'AlterTable'.");
        return false;
    }
    if (Children(element).Empty()) {
        SetErrorMessageAndLog("Table contains no 'Add/Drop/ModifyColumn' elements.");
        return false;
    }
    for (const XmlNode& column : Children(element)) {
        NoteFailedElement(column);
        if (!column.NameEquals("AddColumn", 9)) {
            StoreUnexpectedChild("'In AlterTable, got unknown command '%.*s'.", column);
            return false;
        }
        if (!AddColumn(column, table))
            return false;
    }
    return true;
}

bool XMLSerializer::Impl::AddColumn(const XmlNode& column, Span table) {
    SqlText& statement = scratch.statement;
    statement.Clear();
    statement.Append("alter table ").AppendName(table.View()).Append(" add ");
    ColumnDefinition definition;
    if (!AppendColumnDefinition(statement, column, definition)) {
        SetErrorMessage("'AddColumn' element inside of 'AlterTable' requires 'name' attribute.");
        return false;
    }
    // "alter table ... add" takes a reference only as a column constraint, not as a table
    // constraint; the meaning is the same.
    if (!definition.reference.Empty())
        statement.Append(" references ").Append(definition.reference.View());
    statement.Append(";");
    return RunDefinition(statement, "<AddColumn>", table);
}

bool XMLSerializer::Impl::CreateIndex(const XmlNode& element) {
    Span name;
    Span table;
    if (!ReadTextAttribute(element, "name", name)) {
        SetErrorMessage("'name' is a required attribute of 'Index'.");
        return false;
    }
    if (!ReadTextAttribute(element, "table", table)) {
        SetErrorMessage("'table' is a required attribute of 'Index'.");
        return false;
    }
    if (Children(element, "Column", 6).Empty()) {
        SetErrorMessage("'Index' requires at least 1 child 'Column' element.");
        return false;
    }
    SqlText& statement = scratch.statement;
    statement.Clear();
    statement.Append("CREATE INDEX IF NOT EXISTS ").AppendQuoted(name.View(), '\'').Append(" on ");
    statement.AppendName(table.View()).Append(" (");
    bool first = true;
    for (const XmlNode& column : Children(element, "Column", 6)) {
        NoteFailedElement(column);
        Span columnName;
        if (!ReadTextAttribute(column, "name", columnName)) {
            SetErrorMessage("'Column' element inside of 'Index' requires 'name' attribute.");
            return false;
        }
        if (!first)
            statement.Append(", ");
        first = false;
        statement.Append(columnName.View());
        Span sort;
        if (ReadTextAttribute(column, "sort", sort))
            statement.Append(' ').Append(sort.View());
    }
    statement.Append("); ");
    NoteFailedElement(element);
    if (!statement.Ok())
        return ReportOutOfMemory();
    const DefinitionCheck check = CheckDefinition(statement.Text(), statement.Length(), "<Index>");
    if (check == DefinitionCheck::Refused)
        return false;
    if (check == DefinitionCheck::Failed || !connection->Execute(statement.Text(), static_cast<int>(statement.Length()))) {
        SetErrorMessage("A database error occurred while creating an index.");
        return false;
    }
    return true;
}

}  // namespace Database
