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
    m_breaksBefore = 0;
    m_checking = m_observer != nullptr && m_observer->WantsDiagnostics();
    m_reportingRows = m_observer != nullptr && m_observer->WantsRowChanges();
    m_warnings = 0;
    m_errors = 0;
}

int LoadDiagnostics::LineOf(const char* position) const noexcept {
    if (m_text == nullptr || position == nullptr || position < m_text)
        return 0;
    return LineOfOffset(static_cast<std::size_t>(position - m_text));
}

// A load asks for lines in the order of its text, row after row, so the search starts at the line
// of the last answer and walks a few breaks forward before it falls back to a binary search.
int LoadDiagnostics::LineOfOffset(std::size_t offset) const noexcept {
    if (m_breaks == nullptr)
        return 0;
    const Memory::Array<std::uint32_t>& breaks = *m_breaks;
    std::size_t before = m_breaksBefore;  // breaks before the offset last asked for
    if (before > breaks.Size() || (before > 0 && breaks[before - 1] >= offset))
        before = 0;
    constexpr std::size_t kWalk = 8;
    const std::size_t walkEnd = std::min(breaks.Size(), before + kWalk);
    while (before < walkEnd && breaks[before] < offset)
        ++before;
    if (before == walkEnd && before < breaks.Size() && breaks[before] < offset)
        before = static_cast<std::size_t>(std::lower_bound(breaks.begin() + before, breaks.end(), offset) - breaks.begin());
    m_breaksBefore = before;
    return 1 + static_cast<int>(before);
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

// {==== RecoveryNotes

void RecoveryNotes::OnRecovery(const XmlRecovery& recovery) noexcept {
    if (recovery.kind == XmlRecoveryKind::DroppedAttribute && m_droppedTagLine != 0) {
        m_diagnostics.Report(Severity::Warning, m_droppedTagLine, "dropped-attribute", Span{"", 0},
                             "the attribute %.*s of <%s> cannot be read (is its value in quotes?); the element is "
                             "left out",
                             static_cast<int>(recovery.nameLength), recovery.name != nullptr ? recovery.name : "",
                             m_droppedTag);
        m_droppedTagLine = 0;
        return;
    }
    Flush();
    if (recovery.kind == XmlRecoveryKind::DroppedStartTag) {
        FormatText(m_droppedTag, sizeof m_droppedTag, "%.*s", static_cast<int>(recovery.nameLength),
                   recovery.name != nullptr ? recovery.name : "");
        m_droppedTagLine = m_diagnostics.LineOfOffset(recovery.offset);
        return;
    }
    Tell(recovery);
}

void RecoveryNotes::Flush() noexcept {
    if (m_droppedTagLine == 0)
        return;
    m_diagnostics.Report(Severity::Warning, m_droppedTagLine, "dropped-start-tag", Span{"", 0},
                         "the start tag <%s> cannot be read; the element is left out", m_droppedTag);
    m_droppedTagLine = 0;
}

void RecoveryNotes::Tell(const XmlRecovery& recovery) noexcept {
    const int nameLength = static_cast<int>(recovery.nameLength);
    const char* name = recovery.name != nullptr ? recovery.name : "";
    const int otherLength = static_cast<int>(recovery.otherLength);
    const char* other = recovery.other != nullptr ? recovery.other : "";
    const int line = m_diagnostics.LineOfOffset(recovery.offset);
    const int opened = m_diagnostics.LineOfOffset(recovery.openedAt);
    const Span none{"", 0};
    LoadDiagnostics& report = m_diagnostics;
    switch (recovery.kind) {
    case XmlRecoveryKind::UnclosedElement:
        report.Report(Severity::Warning, opened, "unclosed-element", none,
                      "<%.*s> is never closed: the file ends first (was it cut off?)", nameLength, name);
        return;
    case XmlRecoveryKind::MismatchedClosingTag:
        report.Report(Severity::Warning, line, "mismatched-closing-tag", none,
                      "</%.*s> closes <%.*s>, opened at line %d", otherLength, other, nameLength, name, opened);
        return;
    case XmlRecoveryKind::DroppedStartTag:  // waits in OnRecovery
    case XmlRecoveryKind::DroppedAttribute:
        report.Report(Severity::Warning, line, "dropped-attribute", none,
                      "the attribute %.*s cannot be read (is its value in quotes?); its element is left out",
                      nameLength, name);
        return;
    case XmlRecoveryKind::StrayLessThan:
        report.Report(Severity::Warning, line, "stray-less-than", none,
                      recovery.copied ? "a '<' that starts nothing is kept in the value (write &lt;)"
                                      : "a '<' that starts nothing is left out (write &lt;)");
        return;
    case XmlRecoveryKind::StrayAmpersand:
        report.Report(Severity::Warning, line, "stray-ampersand", none,
                      "a '&' that starts no reference is kept as it is (write &amp;)");
        return;
    case XmlRecoveryKind::UnknownEntity:
        report.Report(Severity::Warning, line, "unknown-entity", none,
                      "the entity &%.*s; is unknown and kept as written", nameLength, name);
        return;
    case XmlRecoveryKind::ContentAfterRoot:
        if (nameLength > 0)
            report.Report(Severity::Warning, line, "content-after-root", none,
                          "<%.*s> after the root element is not read", nameLength, name);
        else
            report.Report(Severity::Warning, line, "content-after-root", none,
                          "content after the root element is not read");
        return;
    case XmlRecoveryKind::UnterminatedClosingTag:
        report.Report(Severity::Warning, line, "unterminated-closing-tag", none,
                      "the closing tag </%.*s> does not end with '>'", otherLength, other);
        return;
    case XmlRecoveryKind::AttributeWithoutValue:
        report.Report(Severity::Warning, line, "attribute-without-value", none,
                      "the attribute %.*s has no value in quotes; it reads as empty", nameLength, name);
        return;
    case XmlRecoveryKind::BadCharacterReference:
        report.Report(Severity::Warning, line, "bad-character-reference", none,
                      "&%.*s; is no character of XML%s", nameLength, name, recovery.copied ? "" : "; it is left out");
        return;
    case XmlRecoveryKind::UnclosedMarkup:
        report.Report(Severity::Warning, line, "unclosed-markup", none,
                      "%.*s is never closed: the rest of the file is passed over", nameLength, name);
        return;
    case XmlRecoveryKind::UnknownMarkup:
        report.Report(Severity::Warning, line, "unknown-markup", none, "an unknown <! construct is passed over");
        return;
    }
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

bool ColumnKinds::OfRow(const Connection& connection, Span table, std::string_view head, const ColumnNameSet& names,
                        Row& row) noexcept {
    // Rows mostly repeat the columns of the row before them.
    if (m_hasLast && head == m_lastHead.View()) {
        row = Row{m_rowKinds.begin() + m_last.first, m_last.namesAreUtf8};
        return true;
    }
    if (const RowEntry* known = m_rows.Find(head); known != nullptr) {
        Remember(head, *known);
        row = Row{m_rowKinds.begin() + known->first, known->namesAreUtf8};
        return true;
    }
    const auto first = static_cast<std::uint32_t>(m_rowKinds.Size());
    if (!m_rowKinds.Reserve(m_rowKinds.Size() + names.Size()))
        return false;
    bool namesAreUtf8 = true;
    for (std::size_t index = 0; index < names.Size(); ++index) {
        (void)m_rowKinds.Push(Of(connection, table, names[index]));
        namesAreUtf8 = namesAreUtf8 && InvalidUtf8At(names[index].View()) < 0;
    }
    if (!m_rows.Set(head, RowEntry{first, namesAreUtf8}))
        return false;
    Remember(head, RowEntry{first, namesAreUtf8});
    row = Row{m_rowKinds.begin() + first, namesAreUtf8};
    return true;
}

void ColumnKinds::Remember(std::string_view head, RowEntry entry) noexcept {
    m_lastHead.Clear();
    m_lastHead.Append(head);
    m_hasLast = m_lastHead.Ok();
    m_last = entry;
}

void ColumnKinds::Forget() noexcept {
    m_hasLast = false;
    m_kinds.Reset();
    m_rows.Reset();
    m_rowKinds.Clear();
}

// }====

long long InvalidUtf8At(std::string_view text) noexcept {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    for (std::size_t at = 0; at < size;) {
        // Most values are ASCII: eight bytes at a time while none has its high bit set.
        std::uint64_t eight = 0;
        if (at + 8 <= size && (std::memcpy(&eight, bytes + at, 8), (eight & 0x8080808080808080ull) == 0)) {
            at += 8;
            continue;
        }
        const unsigned char lead = bytes[at];
        if (lead < 0x80) {
            ++at;
            continue;
        }
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
