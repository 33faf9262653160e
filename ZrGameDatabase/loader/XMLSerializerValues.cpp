// XMLSerializerValues.cpp: the value rules of data files (normalisation, classification,
// binding) and the small readers the loader's handlers share.
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "ZrGameDatabase/DatabaseResults.h"
#include "base/TextFormat.h"
#include "loader/XMLSerializerInternal.h"
#include "xml/XmlNode.h"

namespace Database::Loader {

bool IsNullValue(Span value) {
    return value.text == nullptr || value.length == 0 || (value.length >= 4 && std::memcmp(value.text, "NULL", 4) == 0);
}

ValueType DetermineValueType(const char* text, std::uint32_t length) {
    if (IsNullValue(Span{text, length}))
        return ValueType::Null;
    bool pointSeen = false;
    for (std::uint32_t index = 0; index < length; ++index) {
        const char byte = text[index];
        if (byte >= '0' && byte <= '9')
            continue;
        // One point, followed by a digit, makes a real; negative numbers and exponents stay text.
        const bool pointBeforeDigit = byte == '.' && !pointSeen && index + 1 < length && text[index + 1] >= '0'
                                      && text[index + 1] <= '9';
        if (!pointBeforeDigit)
            return ValueType::Text;
        pointSeen = true;
    }
    return pointSeen ? ValueType::Real : ValueType::Integer;
}

Span NormalizeValue(Span value) {
    if (EqualsIgnoringCase(value.View(), "true"))
        return Span{"1", 1};
    if (EqualsIgnoringCase(value.View(), "false"))
        return Span{"0", 1};
    return value;
}

Span NameOf(const XmlNode& node) {
    Span name{"", 0};
    node.RawName(name.text, name.length);
    return name;
}

Span ValueOf(const XmlNode& node) {
    Span value{"", 0};
    node.RawValue(value.text, value.length);
    return value;
}

bool ReadTextAttribute(const XmlNode& element, const char* name, Span& out) {
    XmlNode attribute;
    Span value{"", 0};
    if (!element.FirstAttribute(attribute, name, 0) || !attribute.AsciiValueSpan(value.text, value.length))
        return false;
    out = value;
    return true;
}

void ReadFlagAttribute(const XmlNode& element, const char* name, bool& out) {
    XmlNode attribute;
    if (element.FirstAttribute(attribute, name, 0))
        attribute.FlagValue(out);
}

namespace {

// The value holds digits only (DetermineValueType said so); SQLite reads an integer literal too
// large for 64 bits as a real, and so does the loader.
bool BindInteger(Results& results, int index, Span value) {
    long long number = 0;
    const auto [end, error] = std::from_chars(value.text, value.text + value.length, number);
    if (error == std::errc() && end == value.text + value.length) {
        if (number <= std::numeric_limits<int>::max())
            return results.Bind(index, static_cast<int>(number));
        return results.Bind(index, number);
    }
    double real = 0;
    const auto parsed = std::from_chars(value.text, value.text + value.length, real);
    if (parsed.ec == std::errc::result_out_of_range)
        real = HUGE_VAL;
    return results.Bind(index, real);
}

bool BindReal(Results& results, int index, Span value) {
    double real = 0;
    const auto parsed = std::from_chars(value.text, value.text + value.length, real);
    if (parsed.ec == std::errc::result_out_of_range)
        real = HUGE_VAL;
    return results.Bind(index, real);
}

}  // namespace

bool BindValue(Results& results, int index, Span value) {
    switch (DetermineValueType(value.text, value.length)) {
        case ValueType::Null:
            return results.BindNULL(index);
        case ValueType::Integer:
            return BindInteger(results, index, value);
        case ValueType::Real:
            return BindReal(results, index, value);
        case ValueType::Text:
            break;
    }
    // A length SQLite cannot be told is refused rather than read past.
    if (value.length > static_cast<std::uint32_t>(std::numeric_limits<int>::max()))
        return false;
    return results.Bind(index, value.text, static_cast<int>(value.length), false);
}

void ColumnNameSet::Clear() {
    m_names.Clear();
    m_index.Reset();
}

ColumnNameSet::Outcome ColumnNameSet::Insert(Span name) {
    if (m_names.Size() < kLinearLimit) {
        for (const Span& known : m_names) {
            if (known.View() == name.View())
                return Outcome::Duplicate;
        }
    } else {
        if (m_index.Empty()) {
            for (const Span& known : m_names) {
                if (!m_index.Set(known.View(), true))
                    return Outcome::OutOfMemory;
            }
        }
        if (m_index.Find(name.View()) != nullptr)
            return Outcome::Duplicate;
        if (!m_index.Set(name.View(), true))
            return Outcome::OutOfMemory;
    }
    return m_names.Push(name) ? Outcome::Added : Outcome::OutOfMemory;
}

PackageTags::~PackageTags() {
    Clear();
}

void PackageTags::SetTag(const char* tag) noexcept {
    m_tag.Clear();
    m_tag.Append(tag != nullptr ? tag : "");
    if (!m_tag.Ok())
        m_tag.Clear();
}

void PackageTags::Add(const char* table) noexcept {
    if (table == nullptr)
        return;
    const std::size_t length = std::strlen(table);
    char* copy = static_cast<char*>(Memory::Allocate(length + 1));
    if (copy == nullptr)
        return;
    std::memcpy(copy, table, length + 1);
    if (!m_tables.Push(copy))
        Memory::Deallocate(copy);
}

void PackageTags::Remove(const char* table) noexcept {
    if (table == nullptr)
        return;
    for (std::size_t index = 0; index < m_tables.Size(); ++index) {
        if (std::strcmp(m_tables[index], table) == 0) {
            Memory::Deallocate(m_tables[index]);
            m_tables.Erase(index);
            return;
        }
    }
}

void PackageTags::Clear() noexcept {
    for (char* table : m_tables)
        Memory::Deallocate(table);
    m_tables.Clear();
}

bool PackageTags::Contains(std::string_view table) const noexcept {
    for (const char* tagged : m_tables) {
        if (table == tagged)
            return true;
    }
    return false;
}

}  // namespace Database::Loader
