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
//
// Each recovery can be noted to a listener. The parser is a template over where its notes go: the
// instantiation for a parse without a listener (Silent) discards every note together with every
// check made only for one, such as comparing a closing tag's name with its element's, so it is the
// same code as a reader that notes nothing. Which one runs is decided once per parse.
#include "xml/XmlParser.h"

#include <algorithm>
#include <cstring>

#include "xml/XmlRecovery.h"

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
    kLessThan = 128,           // '<': added to a value's stops when a stray one is to be noted
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
        if (c == '<')
            classes |= kLessThan;
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

inline std::uint32_t Length(const char* begin, const char* end) {
    return static_cast<std::uint32_t>(end - begin);
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

// Where the notes of a parse without a listener go: nowhere. Every use is behind
// "if constexpr (Notes::kOn)", so nothing of it is compiled into that parse.
struct Silent {
    static constexpr bool kOn = false;
};

inline bool IsXmlCharacter(std::uint32_t code) {
    if (code >= 0x20)
        return code <= 0xd7ff || (code >= 0xe000 && code <= 0xfffd) || (code >= 0x10000 && code <= 0x10ffff);
    return code == '\t' || code == '\n' || code == '\r';
}

// The first byte of an entity name, and the bytes after it: enough of XML's name characters to
// tell "&nbsp;" (an entity the reader does not know) from "& " or "&amp" (no reference at all).
inline bool IsEntityNameStart(char c) {
    const unsigned u = static_cast<unsigned char>(c);
    return (u | 0x20) - 'a' < 26 || c == '_' || c == ':' || u >= 0x80;
}

inline bool IsEntityNameByte(char c) {
    return IsEntityNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

// Hands the notes of a parse to its listener, with offsets counted from the text given to Parse.
// Whatever it is asked about lies in the part of the text not yet written over: a reference's
// bytes are read before its expansion is written, and names are never written over.
struct Noting {
    static constexpr bool kOn = true;

    XmlRecoveryListener* listener;
    const char* base;
    // The attribute whose value could not be read in the start tag being read; the tag decides,
    // once it ends, whether that attribute was dropped with it or kept without a value.
    AttributeRecord* badAttribute = nullptr;

    std::size_t Offset(const char* at) const noexcept { return static_cast<std::size_t>(at - base); }

    void Note(const XmlRecovery& recovery) const noexcept { listener->OnRecovery(recovery); }

    void StrayLessThan(const char* at, bool copied) const noexcept {
        Note({.kind = XmlRecoveryKind::StrayLessThan, .offset = Offset(at), .copied = copied});
    }

    // A '&' that is to be copied because it starts no reference the reader expands.
    void Ampersand(const char* at) const noexcept {
        const char* name = at + 1;
        if (IsEntityNameStart(*name)) {
            const char* end = name + 1;
            while (IsEntityNameByte(*end))
                ++end;
            if (*end == ';') {
                Note({.kind = XmlRecoveryKind::UnknownEntity, .offset = Offset(at), .name = name,
                      .nameLength = Length(name, end), .copied = true});
                return;
            }
        }
        Note({.kind = XmlRecoveryKind::StrayAmpersand, .offset = Offset(at), .copied = true});
    }

    // A numeric reference from its '&' to past its ';', read as code. What the reading in 32 bits
    // lets through is looked for in the digits: letters in a decimal reference, and, when there
    // are more digits than a 32-bit code needs, a value that does not fit.
    void CharacterReference(const char* at, const char* end, std::uint32_t code) const noexcept {
        const char* digit = at + 2;
        const bool hexadecimal = *digit == 'x';
        if (hexadecimal)
            ++digit;
        const char* last = end - 1;  // the ';'
        bool bad = !IsXmlCharacter(code);
        if (!hexadecimal) {
            for (const char* p = digit; p < last; ++p)
                bad |= *p > '9';
        }
        if (last - digit > (hexadecimal ? 8 : 9)) {
            const std::uint64_t base = hexadecimal ? 16 : 10;
            std::uint64_t value = 0;
            for (; digit < last && !bad; ++digit) {
                value = value * base + kChars.hexDigit[static_cast<unsigned char>(*digit)];
                bad = value > 0xffffffffu;
            }
        }
        if (bad)
            Note({.kind = XmlRecoveryKind::BadCharacterReference, .offset = Offset(at), .name = at + 1,
                  .nameLength = Length(at + 1, end - 1), .copied = code <= 0x10ffff});
    }

    void UnclosedMarkup(const char* open, std::uint32_t openerLength) const noexcept {
        Note({.kind = XmlRecoveryKind::UnclosedMarkup, .offset = Offset(open), .name = open,
              .nameLength = openerLength});
    }

    // After a skip from from past terminator ended at at: noted when the text ended first. The
    // skip stops at the first terminator at or after from, so the text ended first exactly when
    // at is the terminating zero and the bytes before it are no terminator that began at or after
    // from.
    void CutShort(const char* open, std::uint32_t openerLength, const char* from, const char* at,
                  const char* terminator) const noexcept {
        const std::size_t length = std::strlen(terminator);
        const bool ended =
            static_cast<std::size_t>(at - from) >= length && std::memcmp(at - length, terminator, length) == 0;
        if (*at == '\0' && !ended)
            UnclosedMarkup(open, openerLength);
    }
};

// A numeric reference after "&#": digits read with the hexadecimal digit values in either form
// (only a lower-case x marks base 16), accumulated in 32 bits. Without a digit, or without the
// closing ';', it is no reference and false is returned. Always inlined: both parses call it, and
// as a call it would cost the parse without a listener a percent of its time.
[[gnu::always_inline]] inline bool ReadNumericReference(const char*& in, std::uint32_t& code) {
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
template <class Notes>
void ExpandReference(char*& in, char*& out, const Notes& notes) {
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
            if constexpr (Notes::kOn)
                notes.CharacterReference(in, digits, code);
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
        if constexpr (Notes::kOn)
            notes.Ampersand(in);
        *out++ = '&';
        ++in;
    }
}

// Expands references from in (at a '&') up to the first byte of the stop classes that is no '&'.
// Returns the end of the expanded text; in is left at the stop byte. The stretches between
// references are short in game data, so they are moved byte by byte in the scanning loop itself
// rather than by a call per stretch. With kLessThan among the stops (a value read for a listener),
// a '<' is noted and moved like any other byte.
template <class Notes>
char* ExpandFrom(char*& in, std::uint8_t stops, const Notes& notes) {
    char* out = in;
    for (;;) {
        if (*in == '&') {
            ExpandReference(in, out, notes);
            continue;
        }
        char* p = in;
        char* o = out;
        while (!Is(*p, stops))
            *o++ = *p++;
        out = o;
        in = p;
        if (*in != '&') {
            if constexpr (Notes::kOn) {
                if (*in == '<' && (stops & kLessThan) != 0) {
                    notes.StrayLessThan(in, true);
                    *out++ = *in++;
                    continue;
                }
            }
            return out;
        }
    }
}

// Both kinds of record come from one pool, back to back, so each size must keep the stricter of
// the two alignments for whatever follows. That alignment is a pointer's: 8 bytes in a 64-bit
// build, 4 in a 32-bit one, where an attribute record is 20 bytes.
constexpr std::size_t kRecordAlignment = std::max(alignof(ElementRecord), alignof(AttributeRecord));
static_assert(sizeof(ElementRecord) % kRecordAlignment == 0 && sizeof(AttributeRecord) % kRecordAlignment == 0,
              "records are taken from the pool in units that keep the next one aligned");

// One run of the parse over one text. The cursor is the element whose content is being read,
// the document record while at the top level.
template <class Notes>
class Parser {
public:
    Parser(ElementRecord& document, NodePool& pool, const XmlDocument::BlockSource& source, char* text, Notes notes)
        : m_document(&document), m_cursor(&document), m_pool(pool), m_source(source), m_at(text), m_notes(notes) {}

    // Parses to the end; the status says why it stopped early, and At() where.
    XmlStatus Run() noexcept;
    const char* At() const noexcept { return m_at; }

private:
    XmlStatus ReadContent() noexcept;
    void Close(ElementRecord* element) noexcept;
    bool ReadNode() noexcept;
    bool ReadElement() noexcept;
    bool ReadAttributes(ElementRecord* element) noexcept;
    void ReadAttributeValue(AttributeRecord* attribute, char quote) noexcept;
    void ReadTextRun() noexcept;
    void ReadClosingTag() noexcept;
    void SkipBang() noexcept;
    void SkipDeclaration() noexcept;
    bool SkipDoctype() noexcept;
    ElementRecord* NewElement(const char* name, std::uint32_t length) noexcept;
    AttributeRecord* NewAttribute(const char* name, std::uint32_t length) noexcept;
    void Append(ElementRecord* parent, ElementRecord* child) noexcept;

    // Notes, made only by the Noting instantiation.
    void NoteUnclosedElements() noexcept;
    void NoteAfterRoot() noexcept;
    void NoteStartTag(const ElementRecord* element, const char* open) noexcept;
    void NoteClosingTag(const char* open, const char* nameEnd) noexcept;

    ElementRecord* m_document;                  // the root record
    ElementRecord* m_cursor;                    // the element whose content is being read
    NodePool& m_pool;                           // where records come from
    const XmlDocument::BlockSource& m_source;   // where further pool blocks come from
    char* m_at;                                 // the next byte to read
    [[no_unique_address]] Notes m_notes;        // where recoveries are noted
};

// An element's records are linked as they are read: a child is appended to the open element it
// is read in. An open element has no next sibling yet, so its nextSibling field holds its last
// child meanwhile, and closing the element clears it. However the parse ends, the elements still
// open are closed, so that the tree it leaves is the one the reader expects.
template <class Notes>
XmlStatus Parser<Notes>::Run() noexcept {
    const XmlStatus status = ReadContent();
    for (ElementRecord* open = m_cursor; open != nullptr; open = open->parent)
        Close(open);
    return status;
}

template <class Notes>
void Parser<Notes>::Close(ElementRecord* element) noexcept {
    element->nextSibling = nullptr;
}

template <class Notes>
void Parser<Notes>::Append(ElementRecord* parent, ElementRecord* child) noexcept {
    child->parent = parent;
    ElementRecord* last = parent->nextSibling;
    if (last != nullptr)
        last->nextSibling = child;
    else
        parent->firstChild = child;
    parent->nextSibling = child;
}

template <class Notes>
XmlStatus Parser<Notes>::ReadContent() noexcept {
    for (;;) {
        m_at = SkipSpace(m_at);
        const char c = *m_at;
        if (c == '\0') {
            if constexpr (Notes::kOn)
                NoteUnclosedElements();
            return XmlStatus::Ok;
        }
        if (c == '<') {
            if (m_at[1] == '/' && m_cursor != m_document) {
                ReadClosingTag();
                continue;
            }
            if constexpr (Notes::kOn) {
                if (m_cursor == m_document && m_document->firstChild != nullptr)
                    NoteAfterRoot();
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
template <class Notes>
bool Parser<Notes>::ReadNode() noexcept {
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

template <class Notes>
void Parser<Notes>::SkipDeclaration() noexcept {
    const char* open = m_at - 1;
    ++m_at;
    if ((m_at[0] | 0x20) == 'x' && (m_at[1] | 0x20) == 'm' && (m_at[2] | 0x20) == 'l' && Is(m_at[3], kSpace))
        m_at += 4;
    const char* from = m_at;
    m_at = SkipPast(m_at, "?>");
    if constexpr (Notes::kOn)
        m_notes.CutShort(open, 2, from, m_at, "?>");
}

template <class Notes>
void Parser<Notes>::SkipBang() noexcept {
    const char* open = m_at - 1;
    if (m_at[1] == '-' && m_at[2] == '-') {
        m_at = SkipPast(m_at + 3, "-->");
        if constexpr (Notes::kOn)
            m_notes.CutShort(open, 4, open + 4, m_at, "-->");
    } else if (std::strncmp(m_at + 1, "[CDATA[", 7) == 0) {
        m_at = SkipPast(m_at + 8, "]]>");
        if constexpr (Notes::kOn)
            m_notes.CutShort(open, 9, open + 9, m_at, "]]>");
    } else if (std::strncmp(m_at + 1, "DOCTYPE", 7) == 0 && Is(m_at[8], kSpace)) {
        m_at += 9;
        const bool closed = SkipDoctype();
        if constexpr (Notes::kOn) {
            if (!closed)
                m_notes.UnclosedMarkup(open, 9);
        }
    } else {
        if constexpr (Notes::kOn)
            m_notes.Note({.kind = XmlRecoveryKind::UnknownMarkup, .offset = m_notes.Offset(open)});
        m_at = FindByte(m_at + 1, '>');
        if (*m_at == '>') {
            ++m_at;
        } else {
            if constexpr (Notes::kOn)
                m_notes.UnclosedMarkup(open, 2);
        }
    }
}

// To the first '>' outside square brackets, and past it. A ']' with no '[' open closes nothing.
// False when the text ends first.
template <class Notes>
bool Parser<Notes>::SkipDoctype() noexcept {
    std::size_t depth = 0;
    for (;; ++m_at) {
        switch (*m_at) {
        case '\0':
            return false;
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
                return true;
            }
            break;
        default:
            break;
        }
    }
}

template <class Notes>
ElementRecord* Parser<Notes>::NewElement(const char* name, std::uint32_t length) noexcept {
    auto* element = static_cast<ElementRecord*>(m_pool.Take(sizeof(ElementRecord), m_source));
    if (element == nullptr)
        return nullptr;
    element->name = name;
    element->value = nullptr;
    element->nameLength = length;
    element->valueLength = 0;
    element->parent = nullptr;
    element->firstChild = nullptr;
    element->nextSibling = nullptr;
    element->firstAttribute = nullptr;
    return element;
}

template <class Notes>
AttributeRecord* Parser<Notes>::NewAttribute(const char* name, std::uint32_t length) noexcept {
    auto* attribute = static_cast<AttributeRecord*>(m_pool.Take(sizeof(AttributeRecord), m_source));
    if (attribute == nullptr)
        return nullptr;
    attribute->name = name;
    attribute->value = nullptr;
    attribute->nameLength = length;
    attribute->valueLength = 0;
    attribute->nextAttribute = nullptr;
    return attribute;
}

// A start tag. An element is linked into the tree only once its start tag has ended well, so a
// dropped one (empty name, bad end of tag) is simply never reachable.
template <class Notes>
bool Parser<Notes>::ReadElement() noexcept {
    char* name = m_at;
    m_at = ScanTo(m_at, kNameEnd);
    if (m_at == name) {
        if constexpr (Notes::kOn)
            m_notes.StrayLessThan(name - 1, false);
        return true;
    }
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
    if constexpr (Notes::kOn)
        NoteStartTag(element, name - 1);
    return true;
}

// Attributes up to the end of the start tag, or up to the byte where one of them went wrong;
// the attributes read so far stay. False only when the pool runs out of memory.
template <class Notes>
bool Parser<Notes>::ReadAttributes(ElementRecord* element) noexcept {
    if constexpr (Notes::kOn)
        m_notes.badAttribute = nullptr;
    AttributeRecord** link = &element->firstAttribute;
    while (!Is(*m_at, kAttributeNameEnd)) {
        char* name = m_at;
        m_at = ScanTo(m_at, kAttributeNameEnd);
        AttributeRecord* attribute = NewAttribute(name, Length(name, m_at));
        if (attribute == nullptr)
            return false;
        *link = attribute;
        link = &attribute->nextAttribute;
        m_at = SkipSpace(m_at);
        if (*m_at != '=') {
            if constexpr (Notes::kOn)
                m_notes.badAttribute = attribute;
            return true;
        }
        m_at = SkipSpace(m_at + 1);
        const char quote = *m_at;
        if (quote != '"' && quote != '\'') {
            if constexpr (Notes::kOn)
                m_notes.badAttribute = attribute;
            return true;
        }
        ++m_at;
        ReadAttributeValue(attribute, quote);
        if (*m_at != quote) {
            if constexpr (Notes::kOn)
                m_notes.badAttribute = attribute;
            return true;
        }
        m_at = SkipSpace(m_at + 1);
    }
    return true;
}

template <class Notes>
void Parser<Notes>::ReadAttributeValue(AttributeRecord* attribute, char quote) noexcept {
    // Read for a listener, a value stops at a '<' too, to note it (it stays in the value).
    const auto stops = static_cast<std::uint8_t>((quote == '"' ? kDoubleQuotedStop : kSingleQuotedStop) |
                                                 (Notes::kOn ? kLessThan : 0));
    char* begin = m_at;
    m_at = ScanTo(m_at, stops);
    char* end = *m_at == '&' || (Notes::kOn && *m_at == '<') ? ExpandFrom(m_at, stops, m_notes) : m_at;
    attribute->value = begin;
    attribute->valueLength = Length(begin, end);
}

// A text run in the cursor's content, starting at a byte that is neither whitespace nor '<'.
// Only the first run (or one after a value that begins with a zero byte) becomes the value;
// later runs are passed over unexpanded, since nothing can read them.
template <class Notes>
void Parser<Notes>::ReadTextRun() noexcept {
    ElementRecord* element = m_cursor;
    if (element->value != nullptr && element->value[0] != '\0') {
        m_at = ScanTo(m_at, kTextEnd);
        return;
    }
    char* begin = m_at;
    m_at = ScanTo(m_at, kTextStop);
    char* end = *m_at == '&' ? ExpandFrom(m_at, kTextStop, m_notes) : m_at;
    while (end > begin && Is(end[-1], kSpace))
        --end;
    element->value = begin;
    element->valueLength = Length(begin, end);
}

// "</", a name, whitespace and '>'. Any closing tag closes the cursor, whatever its name (which is
// compared with the element's only to note a mismatch); without its '>' the enclosing content
// goes on at the byte found instead.
template <class Notes>
void Parser<Notes>::ReadClosingTag() noexcept {
    const char* open = m_at;
    char* nameEnd = ScanTo(m_at + 2, kNameEnd);
    m_at = SkipSpace(nameEnd);
    if constexpr (Notes::kOn)
        NoteClosingTag(open, nameEnd);
    if (*m_at == '>')
        ++m_at;
    ElementRecord* closed = m_cursor;
    m_cursor = closed->parent;
    Close(closed);
}

template <class Notes>
void Parser<Notes>::NoteUnclosedElements() noexcept {
    for (const ElementRecord* element = m_cursor; element != m_document; element = element->parent)
        m_notes.Note({.kind = XmlRecoveryKind::UnclosedElement, .offset = m_notes.Offset(m_at), .name = element->name,
                      .nameLength = element->nameLength, .openedAt = m_notes.Offset(element->name - 1)});
}

// At a '<' at the top level once the first top-level element closed.
template <class Notes>
void Parser<Notes>::NoteAfterRoot() noexcept {
    const char* open = m_at;
    if (open[1] == '?' || (open[1] == '!' && open[2] == '-' && open[3] == '-'))
        return;
    XmlRecovery recovery{.kind = XmlRecoveryKind::ContentAfterRoot, .offset = m_notes.Offset(open)};
    if (open[1] != '!') {
        const char* nameEnd = ScanTo(m_at + 1, kNameEnd);
        if (nameEnd != open + 1) {
            recovery.name = open + 1;
            recovery.nameLength = Length(open + 1, nameEnd);
        }
    }
    m_notes.Note(recovery);
}

// Once a start tag opened at open has ended, well or not: an element that was not linked was
// dropped.
template <class Notes>
void Parser<Notes>::NoteStartTag(const ElementRecord* element, const char* open) noexcept {
    const AttributeRecord* bad = m_notes.badAttribute;
    if (element->parent == nullptr) {
        m_notes.Note({.kind = XmlRecoveryKind::DroppedStartTag, .offset = m_notes.Offset(open), .name = element->name,
                      .nameLength = element->nameLength});
        if (bad != nullptr)
            m_notes.Note({.kind = XmlRecoveryKind::DroppedAttribute, .offset = m_notes.Offset(bad->name),
                          .name = bad->name, .nameLength = bad->nameLength});
    } else if (bad != nullptr) {
        m_notes.Note({.kind = XmlRecoveryKind::AttributeWithoutValue, .offset = m_notes.Offset(bad->name),
                      .name = bad->name, .nameLength = bad->nameLength});
    }
}

// At a closing tag at open whose name ends at nameEnd, with m_at where its '>' should be, before
// it closes the cursor.
template <class Notes>
void Parser<Notes>::NoteClosingTag(const char* open, const char* nameEnd) noexcept {
    const ElementRecord* element = m_cursor;
    const char* name = open + 2;
    const std::uint32_t length = Length(name, nameEnd);
    const bool mismatched = length != element->nameLength || std::memcmp(name, element->name, length) != 0;
    const bool unterminated = *m_at != '>';
    if (!mismatched && !unterminated)
        return;
    XmlRecovery recovery{.kind = XmlRecoveryKind::MismatchedClosingTag, .offset = m_notes.Offset(open),
                         .name = element->name, .nameLength = element->nameLength, .other = name,
                         .otherLength = length, .openedAt = m_notes.Offset(element->name - 1)};
    if (mismatched)
        m_notes.Note(recovery);
    if (unterminated) {
        recovery.kind = XmlRecoveryKind::UnterminatedClosingTag;
        m_notes.Note(recovery);
    }
}

template <class Notes>
XmlStatus Run(Parser<Notes>& parser, const char*& stoppedAt) noexcept {
    const XmlStatus status = parser.Run();
    stoppedAt = parser.At();
    return status;
}

}  // namespace

XmlStatus ParseText(ElementRecord& document, NodePool& pool, const XmlDocument::BlockSource& source, const char* base,
                    char* start, XmlRecoveryListener* listener, const char*& stoppedAt) noexcept {
    if (listener != nullptr) {
        Parser<Noting> parser(document, pool, source, start, Noting{listener, base});
        return Run(parser, stoppedAt);
    }
    Parser<Silent> parser(document, pool, source, start, Silent{});
    return Run(parser, stoppedAt);
}

}  // namespace Database::Xml
