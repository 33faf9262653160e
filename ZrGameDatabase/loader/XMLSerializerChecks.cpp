// XMLSerializerChecks.cpp: what the loader tells its observer beyond its result: values the value
// rules change, texts that are not UTF-8, rows written, and the failure of an element in the
// database's own words. Nothing here runs without an observer.
#include <sqlite3.h>

#include <charconv>
#include <cmath>
#include <cstring>

#include "ZrGameDatabase/Connection.h"
#include "base/TextFormat.h"
#include "loader/XMLSerializerImpl.h"
#include "xml/XmlNode.h"
#include "xml/XmlNodeRange.h"

namespace Database {

using Loader::ColumnKinds;
using Loader::Span;
using Loader::ValueType;

namespace {

// What SQLite stores in a text column for a value the loader binds as a number.
void StoredText(Span value, ValueType type, char (&stored)[64]) {
    long long integer = 0;
    const char* end = value.text + value.length;
    if (type == ValueType::Integer && std::from_chars(value.text, end, integer).ec == std::errc()) {
        *std::to_chars(stored, stored + sizeof stored - 1, integer).ptr = '\0';
        return;
    }
    double real = 0;
    if (std::from_chars(value.text, end, real).ec == std::errc::result_out_of_range)
        real = HUGE_VAL;
    // SQLite's own conversion of a real to text.
    sqlite3_snprintf(sizeof stored, stored, "%!.15g", real);
}

// Whether a text column receives something else than written, and what it receives: true and
// false become 1 and 0, numbers SQLite's spelling of them ("007" is 7, "1.10" is 1.1), and a
// value that starts with NULL is NULL.
bool StoredDifferently(Span written, Span value, ValueType type, char (&stored)[80]) {
    if (value.View() != written.View()) {
        std::snprintf(stored, sizeof stored, "'%.*s'", static_cast<int>(value.length), value.text);
        return true;
    }
    if (type == ValueType::Null) {
        std::snprintf(stored, sizeof stored, "NULL");
        return !written.Empty() && written.View() != "NULL";
    }
    if (type == ValueType::Text)
        return false;
    char text[64];
    StoredText(value, type, text);
    std::snprintf(stored, sizeof stored, "'%s'", text);
    return written.View() != text;
}

int Width(Span span) {
    return static_cast<int>(span.length);
}

}  // namespace

void XMLSerializer::Impl::CheckValue(Span table, Span column, Span written, ColumnKinds::Kind kind, const char* at) {
    if (const long long bad = Loader::InvalidUtf8At(written.View()); bad >= 0) {
        diagnostics.Report(Severity::Warning, diagnostics.LineOf(at), "invalid-utf8", table,
                           "the value of %.*s.%.*s is not UTF-8 (byte 0x%02X at %lld); it is stored as it is",
                           Width(table), table.text, Width(column), column.text,
                           static_cast<unsigned char>(written.text[bad]), bad);
    }
    if (kind != ColumnKinds::Kind::Boolean && kind != ColumnKinds::Kind::Text)
        return;
    const Span value = Loader::NormalizeValue(written);
    const ValueType type = Loader::DetermineValueType(value.text, value.length);
    if (kind == ColumnKinds::Kind::Boolean) {
        if (type != ValueType::Null && value.View() != "0" && value.View() != "1") {
            diagnostics.Report(Severity::Warning, diagnostics.LineOf(at), "not-boolean", table,
                               "'%.*s' in the boolean column %.*s.%.*s is not 0, 1, true or false; it is stored as written",
                               Width(written), written.text, Width(table), table.text, Width(column), column.text);
        }
        return;
    }
    char stored[80];
    if (!StoredDifferently(written, value, type, stored))
        return;
    diagnostics.Report(Severity::Warning, diagnostics.LineOf(at), "value-retyped", table,
                       "'%.*s' in the text column %.*s.%.*s is stored as %s", Width(written), written.text,
                       Width(table), table.text, Width(column), column.text, stored);
}

void XMLSerializer::Impl::CheckName(Span table, Span column) {
    if (const long long bad = Loader::InvalidUtf8At(column.View()); bad >= 0) {
        diagnostics.Report(Severity::Warning, diagnostics.LineOf(column.text), "invalid-utf8", table,
                           "a column name of %.*s is not UTF-8 (byte 0x%02X at %lld)", Width(table), table.text,
                           static_cast<unsigned char>(column.text[bad]), bad);
    }
}

// The error of a failed element: the database's own cause when it gave one, else the loader's.
void XMLSerializer::Impl::ReportElementFailure() {
    if (!diagnostics.Active())
        return;
    const char* message = errorMessage;
    const char* separator = std::strstr(errorMessage, "): ");
    if (separator != nullptr)
        message = separator + 3;
    if (cause[0] != '\0')
        message = cause;
    const int line = diagnostics.LineOf(failedElementName);
    diagnostics.Report(Severity::Error, line, outOfMemory ? "out-of-memory" : "element-failed", currentTable, "%s", message);
}

// The columns of an update's Set, whose kinds are looked up one by one.
void XMLSerializer::Impl::CheckRowColumns(const XmlNode& element, Span table) {
    const auto check = [&](const XmlNode& column) {
        const Span name = Loader::NameOf(column);
        CheckName(table, name);
        CheckValue(table, name, Loader::ValueOf(column), columnKinds.Of(*connection, table, name), name.text);
    };
    for (const XmlNode& attribute : Attributes(element))
        check(attribute);
    for (const XmlNode& child : Children(element))
        check(child);
}

// The columns of a row just read, whose kinds are looked up by its statement head.
void XMLSerializer::Impl::CheckRowValues(const XmlNode& element, Span table) {
    ColumnKinds::Row kinds{};
    if (!scratch.key.Ok() || !columnKinds.OfRow(*connection, table, scratch.key.View(), scratch.names, kinds)) {
        CheckRowColumns(element, table);
        return;
    }
    std::size_t index = 0;
    const auto check = [&](const XmlNode& column) {
        Span name{"", 0};
        Span value{"", 0};
        column.RecordSpans(name.text, name.length, value.text, value.length);
        if (!kinds.namesAreUtf8)
            CheckName(table, name);
        CheckValue(table, name, value, kinds.kinds[index++], name.text);
    };
    for (const XmlNode& attribute : Attributes(element))
        check(attribute);
    for (const XmlNode& child : Children(element))
        check(child);
}

// An Update reads only its Set and Where children; anything else on it is a condition or a change
// its author meant, and the update runs without it.
void XMLSerializer::Impl::CheckUpdateShape(const XmlNode& element, Span table) {
    for (const XmlNode& attribute : Attributes(element)) {
        const Span name = Loader::NameOf(attribute);
        diagnostics.Report(Severity::Warning, diagnostics.LineOf(name.text), "update-attribute-ignored", table,
                           "the attribute %.*s of <Update> in %.*s is ignored: conditions go in <Where>, changes in <Set>",
                           Width(name), name.text, Width(table), table.text);
    }
    for (const XmlNode& child : Children(element)) {
        if (child.NameEquals("Set", 3) || child.NameEquals("Where", 5))
            continue;
        const Span name = Loader::NameOf(child);
        diagnostics.Report(Severity::Warning, diagnostics.LineOf(name.text), "update-child-ignored", table,
                           "<%.*s> inside <Update> in %.*s is ignored: only <Set> and <Where> are read", Width(name),
                           name.text, Width(table), table.text);
    }
    XmlNode set;
    if (element.FirstChild(set, "Set", 3))
        CheckRowColumns(set, table);
}

// A text the reader would read as a few bytes of nonsense: a byte-order mark of UTF-16 or UTF-32,
// or the zero bytes every other byte of UTF-16 is. Reported and refused: such a file would
// otherwise fail without saying why, or load nothing and pass.
bool XMLSerializer::Impl::ReportWideText(const char* buffer, unsigned int size) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(buffer);
    const char* encoding = nullptr;
    if (size >= 4 && ((bytes[0] == 0xFF && bytes[1] == 0xFE && bytes[2] == 0 && bytes[3] == 0)
                      || (bytes[0] == 0 && bytes[1] == 0 && bytes[2] == 0xFE && bytes[3] == 0xFF)))
        encoding = "UTF-32";
    else if (size >= 2 && ((bytes[0] == 0xFF && bytes[1] == 0xFE) || (bytes[0] == 0xFE && bytes[1] == 0xFF)))
        encoding = "UTF-16";
    else if (size >= 4 && ((bytes[0] != 0 && bytes[1] == 0 && bytes[2] != 0 && bytes[3] == 0)
                           || (bytes[0] == 0 && bytes[1] != 0 && bytes[2] == 0 && bytes[3] != 0)))
        encoding = "UTF-16";
    if (encoding == nullptr)
        return false;
    diagnostics.Report(Severity::Error, 0, "file-not-utf8", Span{"", 0}, "file is %s; save it as UTF-8", encoding);
    return true;
}

}  // namespace Database
