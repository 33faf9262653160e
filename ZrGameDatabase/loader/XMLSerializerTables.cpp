// XMLSerializerTables.cpp: table definitions ("Table"), added columns ("AlterTable") and indexes
// ("Index"). Each element becomes one statement (one per added column) built as text and run at
// once; nothing runs before the whole element has been read, so a bad column leaves no table.
#include <sqlite3.h>

#include <cstdio>
#include <cstring>

#include "base/TextFormat.h"
#include "loader/XMLSerializerInternal.h"
#include "ZrGameDatabase/Connection.h"
#include "ZrGameDatabase/XMLSerializer.h"
#include "xml/XmlNode.h"

namespace Database {

using Loader::AppendName;
using Loader::NameOf;
using Loader::ReadFlagAttribute;
using Loader::ReadTextAttribute;
using Loader::Span;

namespace {

// Appends text with every single quote doubled, for a quoted SQL literal.
void AppendQuoted(Memory::String& out, const Memory::String& text) {
    for (const char byte : text) {
        out.push_back(byte);
        if (byte == '\'')
            out.push_back('\'');
    }
}

// Appends the default clause of a column: booleans become 1 or 0, NULL stays NULL, numbers are
// written as they are and any other text as a quoted literal (quotes doubled, so that the stored
// default is the text as written).
void AppendDefault(Memory::String& out, const Memory::String& type, const Memory::String& value) {
    out += "default ";
    if (type == "boolean") {
        const char first = value.empty() ? '\0' : value[0];
        out += (first == 't' || first == 'T' || first == '1') ? "1 " : "0 ";
        return;
    }
    if (value == "NULL") {
        out += "NULL ";
        return;
    }
    switch (Loader::DetermineValueType(value.data(), static_cast<std::uint32_t>(value.size()))) {
        case Loader::ValueType::Null:
            out += "NULL ";
            return;
        case Loader::ValueType::Integer:
        case Loader::ValueType::Real:
            out += value;
            out += ' ';
            return;
        case Loader::ValueType::Text:
            out += '\'';
            AppendQuoted(out, value);
            out += "' ";
            return;
    }
}

Span NameSpan(const Memory::String& name) {
    return Span{name.data(), static_cast<std::uint32_t>(name.size())};
}

// One column of a "Table" or an "AlterTable": its definition, and its reference, if any.
struct ColumnDefinition {
    Memory::String name;
    Memory::String reference;
};

// Reads a "Column" or "AddColumn" element and appends its definition to out. False when the
// column has no name.
bool AppendColumnDefinition(Memory::String& out, const XmlNode& column, ColumnDefinition& definition) {
    definition.reference.clear();
    if (!ReadTextAttribute(column, "name", definition.name))
        return false;
    Memory::String type;
    if (!ReadTextAttribute(column, "type", type))
        type = "integer";
    bool primaryKey = false;
    bool autoIncrement = false;
    bool notNull = false;
    bool unique = false;
    ReadFlagAttribute(column, "primarykey", primaryKey);
    ReadFlagAttribute(column, "autoincrement", autoIncrement);
    ReadFlagAttribute(column, "notnull", notNull);
    ReadFlagAttribute(column, "unique", unique);
    Memory::String defaultValue;
    ReadTextAttribute(column, "default", defaultValue);
    ReadTextAttribute(column, "reference", definition.reference);

    out += '\'';
    Loader::AppendEscaped(out, NameSpan(definition.name), '\'');
    out += "' ";
    out += type;
    out += ' ';
    if (primaryKey) {
        out += "primary key ";
        if (autoIncrement)
            out += "autoincrement ";
    }
    if (notNull)
        out += " not null ";
    if (unique)
        out += "unique ";
    if (!defaultValue.empty())
        AppendDefault(out, type, defaultValue);
    return true;
}

}  // namespace

// Stores format, filled with the name of the child that has no place in its element.
void XMLSerializer::StoreUnexpectedChild(const char* format, const XmlNode& child) {
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
XMLSerializer::DefinitionCheck XMLSerializer::CheckDefinition(const char* statement, std::size_t length,
                                                              const char* element) {
    const char* refusal = nullptr;
    sqlite3* handle = m_connection->Handle();
    if (std::memchr(statement, '\0', length) != nullptr) {
        refusal = "holds a zero byte";
    } else if (handle != nullptr) {
        sqlite3_stmt* prepared = nullptr;
        const char* tail = nullptr;
        if (sqlite3_prepare_v2(handle, statement, static_cast<int>(length), &prepared, &tail) != SQLITE_OK) {
            m_connection->LogError(m_connection->ErrorMessage());
            return DefinitionCheck::Failed;
        }
        sqlite3_finalize(prepared);
        if (prepared != nullptr && !Loader::HoldsNoStatement(tail, statement + length))
            refusal = "makes more than one statement";
    }
    if (refusal == nullptr)
        return DefinitionCheck::Run;
    char message[256];
    FormatText(message, sizeof message, "The statement built from %s %s; nothing was run.", element, refusal);
    SetErrorMessageAndLog(message);
    return DefinitionCheck::Refused;
}

// The context line of a table definition the database refused.
void XMLSerializer::LogBuildContext(const char* table) {
    char context[256];
    FormatText(context, sizeof context, "In XMLSerializer while building table %s from file %s.", table, m_fileName);
    m_connection->LogMessage(context);
}

bool XMLSerializer::BuildTable(const XmlNode& element) {
    Memory::String table;
    if (!ReadTextAttribute(element, "name", table)) {
        SetErrorMessage("'name' is a required attribute of 'Table'.");
        return false;
    }
    XmlNode column;
    if (!element.FirstChild(column)) {
        SetErrorMessageAndLog("Table contains no 'Column' elements.");
        return false;
    }
    Memory::String statement = "create table ";
    AppendName(statement, NameSpan(table));
    statement += " (";
    Memory::String foreignKeys;
    ColumnDefinition definition;
    for (bool more = true; more;) {
        NoteFailedElement(column);
        if (!column.NameEquals("Column", 6)) {
            StoreUnexpectedChild("'Column' expected, got '%.*s'.", column);
            return false;
        }
        if (!AppendColumnDefinition(statement, column, definition)) {
            SetErrorMessage("'Column' element inside of 'Table' requires 'name' attribute.");
            return false;
        }
        if (!definition.reference.empty()) {
            foreignKeys += ", foreign key (";
            AppendName(foreignKeys, NameSpan(definition.name));
            foreignKeys += ") references ";
            foreignKeys += definition.reference;
        }
        XmlNode next;
        more = column.NextSibling(next);
        if (more) {
            statement += ", ";
            column = next;
        }
    }
    statement += foreignKeys;
    statement += ");";
    NoteFailedElement(element);
    if (CheckDefinition(statement.data(), statement.size(), "<Table>") != DefinitionCheck::Run
        || !m_connection->Execute(statement.c_str(), static_cast<int>(statement.size()))) {
        LogBuildContext(table.c_str());
        return false;
    }
    return true;
}

bool XMLSerializer::AlterTable(const XmlNode& element) {
    Memory::String table;
    if (!ReadTextAttribute(element, "name", table)) {
        SetErrorMessage("'name' is a required attribute of 'AlterTable'.");
        return false;
    }
    XmlNode column;
    if (!element.FirstChild(column)) {
        SetErrorMessageAndLog("Table contains no 'Add/Drop/ModifyColumn' elements.");
        return false;
    }
    ColumnDefinition definition;
    Memory::String statement;
    for (bool more = true; more;) {
        NoteFailedElement(column);
        if (!column.NameEquals("AddColumn", 9)) {
            StoreUnexpectedChild("'In AlterTable, got unknown command '%.*s'.", column);
            return false;
        }
        statement = "alter table ";
        AppendName(statement, NameSpan(table));
        statement += " add ";
        if (!AppendColumnDefinition(statement, column, definition)) {
            SetErrorMessage("'AddColumn' element inside of 'AlterTable' requires 'name' attribute.");
            return false;
        }
        // "alter table ... add" takes a reference only as a column constraint, not as a table
        // constraint; the meaning is the same.
        if (!definition.reference.empty()) {
            statement += " references ";
            statement += definition.reference;
        }
        statement += ";";
        if (CheckDefinition(statement.data(), statement.size(), "<AddColumn>") != DefinitionCheck::Run
            || !m_connection->Execute(statement.c_str(), static_cast<int>(statement.size()))) {
            LogBuildContext(table.c_str());
            return false;
        }
        XmlNode next;
        more = column.NextSibling(next);
        column = next;
    }
    return true;
}

bool XMLSerializer::CreateIndex(const XmlNode& element) {
    Memory::String name;
    Memory::String table;
    if (!ReadTextAttribute(element, "name", name)) {
        SetErrorMessage("'name' is a required attribute of 'Index'.");
        return false;
    }
    if (!ReadTextAttribute(element, "table", table)) {
        SetErrorMessage("'table' is a required attribute of 'Index'.");
        return false;
    }
    XmlNode column;
    if (!element.FirstChild(column, "Column", 6)) {
        SetErrorMessage("'Index' requires at least 1 child 'Column' element.");
        return false;
    }
    Memory::String statement = "CREATE INDEX IF NOT EXISTS '";
    Loader::AppendEscaped(statement, NameSpan(name), '\'');
    statement += "' on ";
    AppendName(statement, NameSpan(table));
    statement += " (";
    Memory::String columnName;
    Memory::String sort;
    for (bool more = true; more;) {
        NoteFailedElement(column);
        if (!ReadTextAttribute(column, "name", columnName)) {
            SetErrorMessage("'Column' element inside of 'Index' requires 'name' attribute.");
            return false;
        }
        statement += columnName;
        if (ReadTextAttribute(column, "sort", sort)) {
            statement += ' ';
            statement += sort;
        }
        XmlNode next;
        more = column.NextSibling(next, "Column", 6);
        if (more) {
            statement += ", ";
            column = next;
        }
    }
    statement += "); ";
    NoteFailedElement(element);
    const DefinitionCheck check = CheckDefinition(statement.data(), statement.size(), "<Index>");
    if (check == DefinitionCheck::Refused)
        return false;
    if (check == DefinitionCheck::Failed
        || !m_connection->Execute(statement.c_str(), static_cast<int>(statement.size()))) {
        SetErrorMessage("A database error occurred while creating an index.");
        return false;
    }
    return true;
}

}  // namespace Database
