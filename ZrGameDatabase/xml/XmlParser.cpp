// XmlParser.cpp: the in-place parse.
//
// The parse is one forward pass over the text, driven by a 256-entry table of character classes.
// Nesting is followed through the records' parent links instead of recursion: the element whose
// content is being read is the cursor, a start tag moves the cursor down, a closing tag moves it
// back up. A text of any nesting depth therefore parses in constant native stack.
//
// Syntax errors never abort: a start tag that fails drops its element and scanning resumes at the
// offending byte; only a stray byte at the top level ends the parse with false. References are
// expanded by writing over the text, which is safe because an expansion is never longer than the
// reference it replaces.
#include "xml/XmlParser.h"

#include <cstring>

namespace Database::Xml {
namespace {

// Character classes, one bit each. Every class that ends a scan includes the zero byte, so no
// scan can run past the end of the text.
enum CharClass : std::uint8_t {
    kSpace = 1,                // tab, line feed, carriage return, space (not VT or FF)
    kNameEnd = 2,              // zero, whitespace, '/', '>', '?': ends an element or closing-tag name
    kAttributeNameEnd = 4,     // zero, whitespace, '!', '/', '<', '=', '>', '?'
    kTextEnd = 8,              // zero, '<': ends a text run
    kTextStop = 16,            // zero, '<', '&': a text run's end or a reference
    kDoubleQuotedStop = 32,    // zero, '"', '&'
    kSingleQuotedStop = 64,    // zero, '\'', '&'
};

struct CharTable {
    std::uint8_t classes[256];
    std::uint8_t hexDigit[256];  // value of a hexadecimal digit, 0xff for any other byte
};

constexpr bool IsOneOf(unsigned c, const char* set) {
    for (; *set != '\0'; ++set) {
        if (c == static_cast<unsigned char>(*set))
            return true;
    }
    return false;
}

constexpr CharTable MakeCharTable() {
    CharTable table{};
    for (unsigned c = 0; c < 256; ++c) {
        const bool zero = c == 0;
        const bool space = IsOneOf(c, "\t\n\r ");
        std::uint8_t classes = 0;
        if (space)
            classes |= kSpace;
        if (zero || space || IsOneOf(c, "/>?"))
            classes |= kNameEnd;
        if (zero || space || IsOneOf(c, "!/<=>?"))
            classes |= kAttributeNameEnd;
        if (zero || c == '<')
            classes |= kTextEnd;
        if (zero || c == '<' || c == '&')
            classes |= kTextStop;
        if (zero || c == '"' || c == '&')
            classes |= kDoubleQuotedStop;
        if (zero || c == '\'' || c == '&')
            classes |= kSingleQuotedStop;
        table.classes[c] = classes;
        if (c >= '0' && c <= '9')
            table.hexDigit[c] = static_cast<std::uint8_t>(c - '0');
        else if (c >= 'a' && c <= 'f')
            table.hexDigit[c] = static_cast<std::uint8_t>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            table.hexDigit[c] = static_cast<std::uint8_t>(c - 'A' + 10);
        else
            table.hexDigit[c] = 0xff;
    }
    return table;
}

constexpr CharTable kChars = MakeCharTable();

inline bool Is(char c, std::uint8_t classes) {
    return (kChars.classes[static_cast<unsigned char>(c)] & classes) != 0;
}

// The first byte at or after p in one of the classes; the classes must include the zero byte.
// Unrolled because names, values and text runs are where the parse spends its time.
inline char* ScanTo(char* p, std::uint8_t classes) {
    for (;;) {
        if (Is(p[0], classes))
            return p;
        if (Is(p[1], classes))
            return p + 1;
        if (Is(p[2], classes))
            return p + 2;
        if (Is(p[3], classes))
            return p + 3;
        p += 4;
    }
}

inline char* SkipSpace(char* p) {
    while (Is(*p, kSpace))
        ++p;
    return p;
}

// The first occurrence of byte c at or after p, else the terminating zero.
inline char* FindByte(char* p, char c) {
    char* found = std::strchr(p, c);
    return found != nullptr ? found : p + std::strlen(p);
}

// Past the first occurrence of the terminator ("?>", "-->", "]]>") at or after p, else at the
// terminating zero.
char* SkipPast(char* p, const char* terminator) {
    const std::size_t length = std::strlen(terminator);
    for (;;) {
        p = FindByte(p, terminator[0]);
        if (*p == '\0')
            return p;
        if (std::strncmp(p, terminator, length) == 0)
            return p + length;
        ++p;
    }
}

// Writes code in UTF-8 at out; codes above U+10FFFF write nothing.
inline char* WriteUtf8(char* out, std::uint32_t code) {
    if (code < 0x80) {
        *out++ = static_cast<char>(code);
    } else if (code < 0x800) {
        *out++ = static_cast<char>(0xc0 | (code >> 6));
        *out++ = static_cast<char>(0x80 | (code & 0x3f));
    } else if (code < 0x10000) {
        *out++ = static_cast<char>(0xe0 | (code >> 12));
        *out++ = static_cast<char>(0x80 | ((code >> 6) & 0x3f));
        *out++ = static_cast<char>(0x80 | (code & 0x3f));
    } else if (code <= 0x10ffff) {
        *out++ = static_cast<char>(0xf0 | (code >> 18));
        *out++ = static_cast<char>(0x80 | ((code >> 12) & 0x3f));
        *out++ = static_cast<char>(0x80 | ((code >> 6) & 0x3f));
        *out++ = static_cast<char>(0x80 | (code & 0x3f));
    }
    return out;
}

// A numeric reference after "&#": digits read with the hexadecimal digit values in either form
// (only a lower-case x marks base 16), accumulated in 32 bits. Without a digit, or without the
// closing ';', it is no reference and false is returned.
bool ReadNumericReference(const char*& in, std::uint32_t& code) {
    const char* p = in;
    std::uint32_t base = 10;
    if (*p == 'x') {
        base = 16;
        ++p;
    }
    const char* digits = p;
    std::uint32_t value = 0;
    for (std::uint8_t digit; (digit = kChars.hexDigit[static_cast<unsigned char>(*p)]) != 0xff; ++p)
        value = value * base + digit;
    if (p == digits || *p != ';')
        return false;
    in = p + 1;
    code = value;
    return true;
}

// Expands the reference whose '&' is at in, writing at out (out <= in). Advances both; a '&'
// that starts no reference is copied as it is and scanning goes on after it.
void ExpandReference(char*& in, char*& out) {
    const char* p = in + 1;
    char replacement = 0;
    switch (*p) {
    case 'a':
        if (p[1] == 'm' && p[2] == 'p' && p[3] == ';') {
            replacement = '&';
            p += 4;
        } else if (p[1] == 'p' && p[2] == 'o' && p[3] == 's' && p[4] == ';') {
            replacement = '\'';
            p += 5;
        }
        break;
    case 'q':
        if (p[1] == 'u' && p[2] == 'o' && p[3] == 't' && p[4] == ';') {
            replacement = '"';
            p += 5;
        }
        break;
    case 'g':
    case 'l':
        if (p[1] == 't' && p[2] == ';') {
            replacement = *p == 'g' ? '>' : '<';
            p += 3;
        }
        break;
    case '#': {
        const char* digits = p + 1;
        std::uint32_t code;
        if (ReadNumericReference(digits, code)) {
            // The shortest reference ("&#1;") has four bytes, and every longer code needs more
            // digits than UTF-8 bytes, so out never overtakes in.
            out = WriteUtf8(out, code);
            in += digits - in;
            return;
        }
        break;
    }
    default:
        break;
    }
    if (replacement != 0) {
        *out++ = replacement;
        in += p - in;
    } else {
        *out++ = '&';
        ++in;
    }
}

// Expands references from in (at a '&') up to the first byte of the stop classes that is no '&'.
// Returns the end of the expanded text; in is left at the stop byte. The stretches between
// references are short in game data, so they are moved byte by byte in the scanning loop itself
// rather than by a call per stretch.
char* ExpandFrom(char*& in, std::uint8_t stops) {
    char* out = in;
    for (;;) {
        if (*in == '&') {
            ExpandReference(in, out);
            continue;
        }
        char* p = in;
        char* o = out;
        while (!Is(*p, stops))
            *o++ = *p++;
        out = o;
        in = p;
        if (*in != '&')
            return out;
    }
}

inline std::uint32_t Length(const char* begin, const char* end) {
    return static_cast<std::uint32_t>(end - begin);
}

static_assert(sizeof(ElementRecord) % 8 == 0 && sizeof(AttributeRecord) % 8 == 0,
              "records are taken from the pool in units that keep the next one aligned");

static_assert(sizeof(ElementRecord) % 8 == 0 && sizeof(AttributeRecord) % 8 == 0,
              "records are taken from the pool in units that keep the next one aligned");

// One run of the parse over one text. The cursor is the element whose content is being read,
// the document record while at the top level.
class Parser {
public:
    Parser(ElementRecord& document, NodePool& pool, const XmlDocument::BlockSource& source, char* text)
        : m_document(&document), m_cursor(&document), m_pool(pool), m_source(source), m_at(text) {}

    // Parses to the end; the status says why it stopped early, and At() where.
    XmlStatus Run() noexcept;
    const char* At() const noexcept { return m_at; }

private:
    bool ReadNode() noexcept;
    bool ReadElement() noexcept;
    bool ReadAttributes(ElementRecord* element) noexcept;
    void ReadAttributeValue(AttributeRecord* attribute, char quote) noexcept;
    void ReadTextRun() noexcept;
    void ReadClosingTag() noexcept;
    void SkipBang() noexcept;
    void SkipDeclaration() noexcept;
    void SkipDoctype() noexcept;
    ElementRecord* NewElement(const char* name, std::uint32_t length) noexcept;
    AttributeRecord* NewAttribute(ElementRecord* element, const char* name, std::uint32_t length) noexcept;
    void Append(ElementRecord* parent, ElementRecord* child) noexcept;

    ElementRecord* m_document;                  // the root record
    ElementRecord* m_cursor;                    // the element whose content is being read
    NodePool& m_pool;                           // where records come from
    const XmlDocument::BlockSource& m_source;   // where further pool blocks come from
    char* m_at;                                 // the next byte to read
};

XmlStatus Parser::Run() noexcept {
    for (;;) {
        m_at = SkipSpace(m_at);
        const char c = *m_at;
        if (c == '\0')
            return XmlStatus::Ok;
        if (c == '<') {
            if (m_at[1] == '/' && m_cursor != m_document) {
                ReadClosingTag();
                continue;
            }
            ++m_at;
            if (!ReadNode())
                return XmlStatus::OutOfMemory;
            continue;
        }
        if (m_cursor == m_document)
            return XmlStatus::TextOutsideRoot;
        ReadTextRun();
    }
}

// After a '<' that is no closing tag: markup to pass over, or an element. False only when the
// pool runs out of memory.
bool Parser::ReadNode() noexcept {
    switch (*m_at) {
    case '?':
        SkipDeclaration();
        return true;
    case '!':
        SkipBang();
        return true;
    default:
        return ReadElement();
    }
}

void Parser::SkipDeclaration() noexcept {
    ++m_at;
    if ((m_at[0] | 0x20) == 'x' && (m_at[1] | 0x20) == 'm' && (m_at[2] | 0x20) == 'l' && Is(m_at[3], kSpace))
        m_at += 4;
    m_at = SkipPast(m_at, "?>");
}

void Parser::SkipBang() noexcept {
    if (m_at[1] == '-' && m_at[2] == '-') {
        m_at = SkipPast(m_at + 3, "-->");
    } else if (std::strncmp(m_at + 1, "[CDATA[", 7) == 0) {
        m_at = SkipPast(m_at + 8, "]]>");
    } else if (std::strncmp(m_at + 1, "DOCTYPE", 7) == 0 && Is(m_at[8], kSpace)) {
        m_at += 9;
        SkipDoctype();
    } else {
        m_at = FindByte(m_at + 1, '>');
        if (*m_at == '>')
            ++m_at;
    }
}

// To the first '>' outside square brackets, and past it. A ']' with no '[' open closes nothing.
void Parser::SkipDoctype() noexcept {
    std::size_t depth = 0;
    for (;; ++m_at) {
        switch (*m_at) {
        case '\0':
            return;
        case '[':
            ++depth;
            break;
        case ']':
            if (depth > 0)
                --depth;
            break;
        case '>':
            if (depth == 0) {
                ++m_at;
                return;
            }
            break;
        default:
            break;
        }
    }
}

ElementRecord* Parser::NewElement(const char* name, std::uint32_t length) noexcept {
    auto* element = static_cast<ElementRecord*>(m_pool.Take(sizeof(ElementRecord), m_source));
    if (element == nullptr)
        return nullptr;
    element->name = name;
    element->value = nullptr;
    element->nameLength = length;
    element->valueLength = 0;
    element->parent = nullptr;
    element->kind = Xml::RecordKind::Element;
    element->firstChild = nullptr;
    element->lastChild = nullptr;
    element->firstAttribute = nullptr;
    element->lastAttribute = nullptr;
    element->previousSibling = nullptr;
    element->nextSibling = nullptr;
    return element;
}

AttributeRecord* Parser::NewAttribute(ElementRecord* element, const char* name, std::uint32_t length) noexcept {
    auto* attribute = static_cast<AttributeRecord*>(m_pool.Take(sizeof(AttributeRecord), m_source));
    if (attribute == nullptr)
        return nullptr;
    attribute->name = name;
    attribute->value = nullptr;
    attribute->nameLength = length;
    attribute->valueLength = 0;
    attribute->parent = element;
    attribute->previousAttribute = element->lastAttribute;
    attribute->nextAttribute = nullptr;
    if (element->lastAttribute != nullptr)
        element->lastAttribute->nextAttribute = attribute;
    else
        element->firstAttribute = attribute;
    element->lastAttribute = attribute;
    return attribute;
}

void Parser::Append(ElementRecord* parent, ElementRecord* child) noexcept {
    child->parent = parent;
    child->previousSibling = parent->lastChild;
    if (parent->lastChild != nullptr)
        parent->lastChild->nextSibling = child;
    else
        parent->firstChild = child;
    parent->lastChild = child;
}

// A start tag. An element is linked into the tree only once its start tag has ended well, so a
// dropped one (empty name, bad end of tag) is simply never reachable.
bool Parser::ReadElement() noexcept {
    char* name = m_at;
    m_at = ScanTo(m_at, kNameEnd);
    if (m_at == name)
        return true;
    ElementRecord* element = NewElement(name, Length(name, m_at));
    if (element == nullptr)
        return false;
    m_at = SkipSpace(m_at);
    if (!ReadAttributes(element))
        return false;
    if (*m_at == '>') {
        ++m_at;
        Append(m_cursor, element);
        m_cursor = element;
    } else if (*m_at == '/') {
        ++m_at;
        if (*m_at == '>') {
            ++m_at;
            Append(m_cursor, element);
        }
    }
    return true;
}

// Attributes up to the end of the start tag, or up to the byte where one of them went wrong;
// the attributes read so far stay. False only when the pool runs out of memory.
bool Parser::ReadAttributes(ElementRecord* element) noexcept {
    while (!Is(*m_at, kAttributeNameEnd)) {
        char* name = m_at;
        m_at = ScanTo(m_at, kAttributeNameEnd);
        AttributeRecord* attribute = NewAttribute(element, name, Length(name, m_at));
        if (attribute == nullptr)
            return false;
        m_at = SkipSpace(m_at);
        if (*m_at != '=')
            return true;
        m_at = SkipSpace(m_at + 1);
        const char quote = *m_at;
        if (quote != '"' && quote != '\'')
            return true;
        ++m_at;
        ReadAttributeValue(attribute, quote);
        if (*m_at != quote)
            return true;
        m_at = SkipSpace(m_at + 1);
    }
    return true;
}

void Parser::ReadAttributeValue(AttributeRecord* attribute, char quote) noexcept {
    const std::uint8_t stops = quote == '"' ? kDoubleQuotedStop : kSingleQuotedStop;
    char* begin = m_at;
    m_at = ScanTo(m_at, stops);
    char* end = *m_at == '&' ? ExpandFrom(m_at, stops) : m_at;
    attribute->value = begin;
    attribute->valueLength = Length(begin, end);
}

// A text run in the cursor's content, starting at a byte that is neither whitespace nor '<'.
// Only the first run (or one after a value that begins with a zero byte) becomes the value;
// later runs are passed over unexpanded, since nothing can read them.
void Parser::ReadTextRun() noexcept {
    ElementRecord* element = m_cursor;
    if (element->value != nullptr && element->value[0] != '\0') {
        m_at = ScanTo(m_at, kTextEnd);
        return;
    }
    char* begin = m_at;
    m_at = ScanTo(m_at, kTextStop);
    char* end = *m_at == '&' ? ExpandFrom(m_at, kTextStop) : m_at;
    while (end > begin && Is(end[-1], kSpace))
        --end;
    element->value = begin;
    element->valueLength = Length(begin, end);
}

// "</", a name that is not compared with the element's own, whitespace and '>'. Any closing tag
// closes the cursor; without its '>' the enclosing content goes on at the byte found instead.
void Parser::ReadClosingTag() noexcept {
    m_at = SkipSpace(ScanTo(m_at + 2, kNameEnd));
    if (*m_at == '>')
        ++m_at;
    m_cursor = m_cursor->parent;
}

}  // namespace

XmlStatus ParseText(ElementRecord& document, NodePool& pool, const XmlDocument::BlockSource& source, char* text,
                    const char*& stoppedAt) noexcept {
    Parser parser(document, pool, source, text);
    const XmlStatus status = parser.Run();
    stoppedAt = parser.At();
    return status;
}

}  // namespace Database::Xml
