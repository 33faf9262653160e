// LoadDiagnostics.cpp: reporting to the load observer, and what the value checks need to know.
#include "loader/LoadDiagnostics.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "ZrGameDatabase/Connection.h"
#include "base/TextFormat.h"
#include "core/Command.h"

namespace Database::Loader {

int LineAt(const Memory::Array<std::uint32_t>& breaks, std::size_t offset) {
    return 1 + static_cast<int>(std::lower_bound(breaks.begin(), breaks.end(), offset) - breaks.begin());
}

// {==== LoadDiagnostics

void LoadDiagnostics::Begin(const char* file, const char* text, const Memory::Array<std::uint32_t>& breaks) noexcept {
    m_file = file != nullptr ? file : "";
    m_text = text;
    m_breaks = &breaks;
    m_warnings = 0;
    m_errors = 0;
}

int LoadDiagnostics::LineOf(const char* position) const noexcept {
    if (m_text == nullptr || position == nullptr || position < m_text)
        return 0;
    return LineOfOffset(static_cast<std::size_t>(position - m_text));
}

int LoadDiagnostics::LineOfOffset(std::size_t offset) const noexcept {
    return m_breaks != nullptr ? LineAt(*m_breaks, offset) : 0;
}

void LoadDiagnostics::Report(Severity severity, int line, const char* code, Span table, const char* format,
                             ...) noexcept {
    if (m_observer == nullptr)
        return;
    char message[1024];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(message, sizeof message, format, arguments);
    va_end(arguments);
    char tableName[256];
    FormatText(tableName, sizeof tableName, "%.*s", static_cast<int>(table.length), table.text);
    ++(severity == Severity::Error ? m_errors : m_warnings);
    m_observer->OnDiagnostic(
        Diagnostic{severity, m_file, line, code, message, table.Empty() ? nullptr : tableName});
}

void LoadDiagnostics::RowWritten(const RowChange& change) noexcept {
    if (m_observer != nullptr)
        m_observer->OnRowChange(change);
}

void LoadDiagnostics::FileDone(bool committed) noexcept {
    if (m_observer != nullptr)
        m_observer->OnFileDone(m_file, committed);
}

// }====

// {==== ColumnKinds

namespace {

bool Contains(std::string_view text, std::string_view part) {
    // Declared types are short; SQLite reads them without regard to case.
    for (std::size_t at = 0; at + part.size() <= text.size(); ++at) {
        if (EqualsIgnoringCase(text.substr(at, part.size()), part))
            return true;
    }
    return false;
}

// The kind SQLite's own rules give a declared type: a type with INT holds integers, one with
// CHAR, CLOB or TEXT holds text; "boolean", exactly, is what the library reads as a flag.
ColumnKinds::Kind KindOf(const char* declared) {
    if (declared == nullptr)
        return ColumnKinds::Kind::Other;
    if (std::strcmp(declared, "boolean") == 0)
        return ColumnKinds::Kind::Boolean;
    if (Contains(declared, "INT"))
        return ColumnKinds::Kind::Other;
    if (Contains(declared, "CHAR") || Contains(declared, "CLOB") || Contains(declared, "TEXT"))
        return ColumnKinds::Kind::Text;
    return ColumnKinds::Kind::Other;
}

void AppendLower(SqlText& key, std::string_view text) {
    for (const char byte : text)
        key.Append(byte >= 'A' && byte <= 'Z' ? static_cast<char>(byte - 'A' + 'a') : byte);
}

}  // namespace

void ColumnKinds::Key(Span table, Span column) noexcept {
    m_key.Clear();
    AppendLower(m_key, table.View());
    m_key.Append('\x1f');
    AppendLower(m_key, column.View());
}

ColumnKinds::Kind ColumnKinds::Of(const Connection& connection, Span table, Span column) noexcept {
    Key(table, Span{"", 0});
    if (m_key.Ok() && m_kinds.Find(m_key.View()) == nullptr && !Read(connection, table))
        return Kind::Unknown;
    Key(table, column);
    const Kind* kind = m_key.Ok() ? m_kinds.Find(m_key.View()) : nullptr;
    return kind != nullptr ? *kind : Kind::Unknown;
}

// Files the kind of every column of table, and table itself (under "table\x1f") as read.
bool ColumnKinds::Read(const Connection& connection, Span table) noexcept {
    Command columns(&connection);
    if (columns.Prepare("select name, type from pragma_table_info(?1)", -1, Command::Report::Nothing) != Status::Ok)
        return false;
    sqlite3_bind_text(columns.Statement(), 1, table.text, static_cast<int>(table.length), SQLITE_STATIC);
    bool filed = true;
    while (filed && sqlite3_step(columns.Statement()) == SQLITE_ROW) {
        const char* name = reinterpret_cast<const char*>(sqlite3_column_text(columns.Statement(), 0));
        const char* type = reinterpret_cast<const char*>(sqlite3_column_text(columns.Statement(), 1));
        if (name == nullptr)
            continue;
        Key(table, Span{name, static_cast<std::uint32_t>(std::strlen(name))});
        filed = m_key.Ok() && m_kinds.Set(m_key.View(), KindOf(type));
    }
    Key(table, Span{"", 0});
    return filed && m_key.Ok() && m_kinds.Set(m_key.View(), Kind::Unknown);
}

void ColumnKinds::Forget() noexcept {
    m_kinds.Reset();
}

// }====

long long InvalidUtf8At(std::string_view text) noexcept {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    for (std::size_t at = 0; at < size;) {
        const unsigned char lead = bytes[at];
        std::size_t length = 1;
        std::uint32_t code = lead;
        if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            code = lead & 0x07;
        } else if (lead >= 0xE0) {
            length = lead <= 0xEF ? 3 : 0;
            code = lead & 0x0F;
        } else if (lead >= 0xC2) {
            length = 2;
            code = lead & 0x1F;
        } else if (lead >= 0x80) {
            length = 0;
        }
        if (length == 0 || at + length > size)
            return static_cast<long long>(at);
        for (std::size_t next = 1; next < length; ++next) {
            if ((bytes[at + next] & 0xC0) != 0x80)
                return static_cast<long long>(at);
            code = (code << 6) | (bytes[at + next] & 0x3F);
        }
        // Overlong forms, surrogates and code points past the last one are no characters.
        const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
        if (overlong || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
            return static_cast<long long>(at);
        at += length;
    }
    return -1;
}

}  // namespace Database::Loader
