// XMLSerializerInternal.h: what the loader's units share: value spans, the value rules of data
// files, attribute reading, binding, and the scratch state reused from row to row.
#pragma once

#include <cstdint>
#include <string_view>

#include "base/Array.h"
#include "base/Memory.h"
#include "base/StringMap.h"
#include "core/SqlText.h"

namespace Database {

class Results;
class XmlDocument;
class XmlNode;

namespace Loader {

// A name or value in the parsed text: not terminated, never copied.
struct Span {
    const char* text;
    std::uint32_t length;

    std::string_view View() const { return std::string_view(text, length); }
    bool Empty() const { return length == 0; }
};

enum class ValueType { Null, Text, Integer, Real };

// How a row element inserts: "Row", "InsertOrAbort", "InsertOrIgnore", "Replace".
enum class InsertMode { Plain, Abort, Ignore, Replace };

// Whether a value reads as NULL: none, empty, or beginning with "NULL".
bool IsNullValue(Span value);
// Null, text, integer or real, by the characters of the value: see the definition for the rules.
ValueType DetermineValueType(const char* text, std::uint32_t length);

// "true" and "false", in any letter case, become "1" and "0"; every other value is kept as written.
Span NormalizeValue(Span value);

// The name and value of an element or attribute, as spans ("" for none).
Span NameOf(const XmlNode& node);
Span ValueOf(const XmlNode& node);

// The value of the attribute called name, as a span into the parsed text. False, out unchanged,
// when it is absent or holds a byte above 127 (such a value counts as absent).
bool ReadTextAttribute(const XmlNode& element, const char* name, Span& out);
// Reads the attribute called name as a flag; out keeps its value when the attribute is absent or
// is no flag.
void ReadFlagAttribute(const XmlNode& element, const char* name, bool& out);

// Binds value to parameter index by its type: null, text (as written), integer (32 bits when it
// fits, else 64 bits, else a real, as SQLite reads an integer literal), real (double). The text
// is bound without a copy: it lives in the parsed buffer, which outlives the statement's run.
bool BindValue(Results& results, int index, Span value);

// The column names of one row, refusing duplicates (exact, case-sensitive). Rows hold a few
// columns, so a linear scan is the fastest check; a very wide row is indexed by a hash map once
// it passes kLinearLimit names, so that even a hostile row of a million columns is read in
// linear time.
class ColumnNameSet {
public:
    enum class Outcome { Added, Duplicate, OutOfMemory };

    void Clear();
    Outcome Insert(Span name);
    std::size_t Size() const { return m_names.Size(); }
    const Span& operator[](std::size_t index) const { return m_names[index]; }

private:
    static constexpr std::size_t kLinearLimit = 32;

    Memory::Array<Span> m_names;          // in insertion order
    Memory::StringMap<bool> m_index;      // every name, once m_names passed kLinearLimit
};

// The row statement the last row ran, and what chose it: the rows of a table mostly repeat their
// columns, and a row that does runs the same statement again without building its head and
// looking it up in the cache. The spans point into the document being loaded, and the statement
// lives in that load's cache, so both are forgotten when a load starts.
class LastRowStatement {
public:
    LastRowStatement() noexcept = default;
    LastRowStatement(const LastRowStatement&) = delete;
    LastRowStatement& operator=(const LastRowStatement&) = delete;

    void Forget() noexcept { m_statement = nullptr; }
    // The statement, when table, mode, tag and column names are the last row's; else null.
    Results* Find(Span table, InsertMode mode, bool tagged, const ColumnNameSet& names) const noexcept;
    // Keeps statement for rows like this one, head being its cache key; without memory for the
    // names it keeps nothing, and the next row looks its statement up.
    void Remember(Results* statement, Span table, InsertMode mode, bool tagged, const ColumnNameSet& names,
                  const SqlText& head) noexcept;
    const SqlText& Head() const noexcept { return m_head; }

private:
    Results* m_statement = nullptr;
    Span m_table{"", 0};
    InsertMode m_mode = InsertMode::Plain;
    bool m_tagged = false;
    Memory::Array<Span> m_names;
    SqlText m_head;
};

// The scratch state of a serializer: reused so that a row costs no allocation once the buffers
// have grown to the file's widest row.
struct LoaderScratch {
    SqlText statement;                         // the statement text being built
    SqlText key;                               // the cache key of a row statement
    ColumnNameSet names;                       // column names of the row being read
    Memory::Array<Span> values;                // its values, in column order
    Memory::Array<Span> whereNames;            // the condition columns of an update
    Memory::Array<Span> setNames;              // the columns an update sets
    Memory::Array<std::uint32_t> lineBreaks;   // offsets of the line breaks of the text being loaded
    LastRowStatement lastRow;                  // the statement of the last row inserted
};

// The package tag and the tables whose rows receive it.
class PackageTags {
public:
    PackageTags() noexcept = default;
    ~PackageTags();
    PackageTags(const PackageTags&) = delete;
    PackageTags& operator=(const PackageTags&) = delete;

    // Keeps a copy of tag (null: ""); without memory the tag is emptied.
    void SetTag(const char* tag) noexcept;
    Span Tag() const noexcept { return Span{m_tag.Text(), static_cast<std::uint32_t>(m_tag.Length())}; }
    // Appends a copy of table; without memory the table stays untagged.
    void Add(const char* table) noexcept;
    // Removes the first entry equal to table, if any.
    void Remove(const char* table) noexcept;
    void Clear() noexcept;
    bool Contains(std::string_view table) const noexcept;
    std::size_t TableCount() const noexcept { return m_tables.Size(); }
    // Null past the last table.
    const char* Table(std::size_t index) const noexcept { return index < m_tables.Size() ? m_tables[index] : nullptr; }

private:
    TextBuffer m_tag;
    Memory::Array<char*> m_tables;  // owned, terminated copies, in insertion order
};

}  // namespace Loader
}  // namespace Database
