// XMLSerializerValues.cpp: the value rules of data files (normalisation, classification,
// binding) and the small readers the loader's handlers share.
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <strings.h>

#include "base/TextFormat.h"
#include "loader/XMLSerializerInternal.h"
#include "ZrGameDatabase/DatabaseResults.h"
#include "xml/XmlDocument.h"
#include "xml/XmlNode.h"

namespace Database::Loader {

ValueType DetermineValueType(const char* text, std::uint32_t length) {
    if (text == nullptr || length == 0 || (length >= 4 && std::memcmp(text, "NULL", 4) == 0))
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
    if (value.length == 4 && strncasecmp(value.text, "true", 4) == 0)
        return Span{"1", 1};
    if (value.length == 5 && strncasecmp(value.text, "false", 5) == 0)
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

bool ReadTextAttribute(const XmlNode& element, const char* name, Memory::String& out) {
    XmlNode attribute;
    return element.FirstAttribute(attribute, name, 0) && attribute.AsciiValue(out);
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

namespace {

bool IsNameStart(unsigned char byte) {
    return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || byte == '_' || byte >= 0x80;
}

bool IsPlainName(Span name) {
    if (name.length == 0 || !IsNameStart(static_cast<unsigned char>(name.text[0])))
        return false;
    for (std::uint32_t index = 1; index < name.length; ++index) {
        const unsigned char byte = static_cast<unsigned char>(name.text[index]);
        if (!IsNameStart(byte) && !(byte >= '0' && byte <= '9') && byte != '.')
            return false;
    }
    return true;
}

}  // namespace

void AppendName(Memory::String& out, Span name) {
    if (IsPlainName(name)) {
        Append(out, name);
        return;
    }
    out += '`';
    AppendEscaped(out, name, '`');
    out += '`';
}

void AppendEscaped(Memory::String& out, Span text, char quote) {
    for (std::uint32_t index = 0; index < text.length; ++index) {
        out += text.text[index];
        if (text.text[index] == quote)
            out += quote;
    }
}

bool HoldsNoStatement(const char* text, const char* end) {
    while (text < end) {
        const char byte = *text;
        if (byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r' || byte == '\f' || byte == '\v'
            || byte == ';') {
            ++text;
        } else if (byte == '-' && end - text >= 2 && text[1] == '-') {
            while (text < end && *text != '\n')
                ++text;
        } else if (byte == '/' && end - text >= 2 && text[1] == '*') {
            text += 2;
            while (text < end && !(*text == '*' && end - text >= 2 && text[1] == '/'))
                ++text;
            text = text < end ? text + 2 : end;
        } else {
            return false;
        }
    }
    return true;
}

void ColumnNameSet::Clear() {
    m_names.clear();
    m_index.clear();
}

bool ColumnNameSet::Insert(Span name) {
    if (m_names.size() < kLinearLimit) {
        for (const Span& known : m_names) {
            if (known.View() == name.View())
                return false;
        }
    } else {
        if (m_index.empty()) {
            for (const Span& known : m_names)
                m_index.insert(known.View());
        }
        if (!m_index.insert(name.View()).second)
            return false;
    }
    m_names.push_back(name);
    return true;
}

LoaderScratch::~LoaderScratch() {
    delete document;
}

}  // namespace Database::Loader
