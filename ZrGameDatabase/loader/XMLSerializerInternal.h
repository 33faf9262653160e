// XMLSerializerInternal.h: what the loader's units share: value spans, the value rules of data
// files, attribute reading, binding, and the scratch state reused from row to row.
#pragma once

#include <cstdint>
#include <string_view>
#include <unordered_set>

#include "base/Memory.h"

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
};

enum class ValueType { Null, Text, Integer, Real };

// Null, text, integer or real, by the characters of the value: see the definition for the rules.
ValueType DetermineValueType(const char* text, std::uint32_t length);

// "true" and "false", in any letter case, become "1" and "0"; every other value is kept as written.
Span NormalizeValue(Span value);

// The name and value of an element or attribute, as spans ("" for none).
Span NameOf(const XmlNode& node);
Span ValueOf(const XmlNode& node);

// Reads the attribute called name as text into out. False when it is absent or holds a byte above
// 127 (such a value counts as absent).
bool ReadTextAttribute(const XmlNode& element, const char* name, Memory::String& out);
// Reads the attribute called name as a flag; out keeps its value when the attribute is absent or
// is no flag.
void ReadFlagAttribute(const XmlNode& element, const char* name, bool& out);

// Binds value to parameter index by its type: null, text (as written), integer (32 bits when it
// fits, else 64 bits, else a real, as SQLite reads an integer literal), real (double). The text
// is bound without a copy: it lives in the parsed buffer, which outlives the statement's run.
bool BindValue(Results& results, int index, Span value);

// Appends text to out.
inline void Append(Memory::String& out, Span text) {
    out.append(text.text, text.length);
}

// Appends a table, column or index name to a statement so that it reads as exactly that name.
// A plain name (a letter or underscore, then letters, digits, underscores and points, any byte
// above 127 counting as a letter) is written as it is, so that the statements of ordinary data
// stay as they always were; any other name is written between grave accents, which SQLite never
// reads as a string, with each grave accent inside doubled. A name can then hold quotes,
// semicolons or comment markers without ending itself or the statement.
void AppendName(Memory::String& out, Span name);

// Appends text with every quote character inside it doubled, for a name or value that the
// statement already writes between two of them.
void AppendEscaped(Memory::String& out, Span text, char quote);

// Whether text holds nothing SQLite would run: blanks, semicolons and comments only. What
// follows the first statement of a text built from one element must be this.
bool HoldsNoStatement(const char* text, const char* end);

// The column names of one row, refusing duplicates (exact, case-sensitive). Rows hold a few
// columns, so a linear scan is the fastest check; a very wide row is indexed by a hash set once
// it passes kLinearLimit names, so that even a hostile row of a million columns is read in
// linear time.
class ColumnNameSet {
public:
    void Clear();
    // Adds name; false, and nothing added, when it is there already.
    bool Insert(Span name);
    std::size_t Size() const { return m_names.size(); }
    const Span& operator[](std::size_t index) const { return m_names[index]; }

private:
    static constexpr std::size_t kLinearLimit = 32;

    Memory::Vector<Span> m_names;  // in insertion order
    std::unordered_set<std::string_view, Memory::StringHash, std::equal_to<std::string_view>,
                       Memory::Allocator<std::string_view>>
        m_index;                   // every name, once m_names passed kLinearLimit
};

// The scratch state of a serializer: reused so that a row costs no allocation once the buffers
// have grown to the file's widest row.
struct LoaderScratch : Memory::Allocated {
    ~LoaderScratch();

    XmlDocument* document = nullptr;  // reused from file to file, with its node pool
    Memory::String statement;         // the statement text being built
    Memory::String key;               // the cache key of a row statement
    ColumnNameSet names;              // column names of the row being read
    Memory::Vector<Span> values;      // its values, in column order
    Memory::Vector<Span> whereNames;  // the condition columns of an update
    Memory::Vector<std::uint32_t> lineBreaks;  // offsets of the line breaks of the text being loaded
};

}  // namespace Loader

struct PackageTags : Memory::Allocated {
    Memory::String tag;                   // the value of PackageID
    Memory::Vector<Memory::String> tables;  // tables whose rows are tagged, in insertion order
};

}  // namespace Database
