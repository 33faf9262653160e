// XmlNode.h: the records of a parsed XML tree and the handle the loader reads them through.
//
// The reader keeps elements and attributes only. Every name and value is a span (pointer and
// length) into the parsed text: nothing is copied and no terminating zero is written, so the text
// must stay alive and unchanged while the tree is read. Records live in the document's node pool;
// handles are small values on the caller's stack that point at one record and own nothing.
#pragma once

#include <cstdint>

namespace Database {

class XmlDocument;

namespace Xml {

struct AttributeRecord;

// One element, or the document record at the root of the tree. Records hold only the links the
// reader walks: a large data file makes millions of them, its tree takes more fresh memory than
// its text, and fresh memory is what a first load pays for most.
struct ElementRecord {
    const char* name;                 // first byte of the name in the text; null for the document
    const char* value;                // first byte of the value; null while the element has none
    std::uint32_t nameLength;         // bytes of the name
    std::uint32_t valueLength;        // bytes of the value
    ElementRecord* parent;            // null until linked; the document record for top-level elements
    ElementRecord* firstChild;        // children in document order
    ElementRecord* nextSibling;       // while the parser has the element open: its last child
    AttributeRecord* firstAttribute;  // attributes in document order
};

// One attribute; the first four fields mean what they mean for an element.
struct AttributeRecord {
    const char* name;
    const char* value;               // null until a quoted value was read
    std::uint32_t nameLength;
    std::uint32_t valueLength;
    AttributeRecord* nextAttribute;
};

}  // namespace Xml

// A handle on one element, one attribute, or nothing (empty). Every navigation operation points
// its out handle at the record found and returns true, or returns false and leaves the out handle
// unchanged. Names are compared exactly, byte for byte and case-sensitively; wherever a name
// comes with a length, a length of 0 means the name's zero-terminated length. A null name matches
// nothing. Handles become invalid at the document's next Parse and at its destruction.
class XmlNode {
public:
    // An empty handle.
    XmlNode() noexcept = default;

    // The name span. False for an empty handle, outputs unchanged; an element or attribute always
    // has a name, so otherwise true.
    virtual bool Name(const char*& text, std::uint32_t& length) const noexcept;
    // The value span: an element's first text run (trimmed), an attribute's expanded value. False
    // for an empty handle, outputs unchanged; a record without a value gives "" and 0.
    virtual bool Value(const char*& text, std::uint32_t& length) const noexcept;
    virtual ~XmlNode() = default;

    // True when the handle holds nothing.
    bool IsEmpty() const noexcept { return m_kind == Kind::Empty; }

    // The first child element (with that name). False for an empty handle or an attribute.
    bool FirstChild(XmlNode& out) const noexcept;
    bool FirstChild(XmlNode& out, const char* name, std::uint32_t length) const noexcept;
    // The next sibling element (with that name). False for an empty handle or an attribute.
    bool NextSibling(XmlNode& out) const noexcept;
    bool NextSibling(XmlNode& out, const char* name, std::uint32_t length) const noexcept;
    // The element's first attribute (with that name). False for an empty handle or an attribute.
    bool FirstAttribute(XmlNode& out) const noexcept;
    bool FirstAttribute(XmlNode& out, const char* name, std::uint32_t length) const noexcept;
    // The next attribute of the same element. False unless the handle holds an attribute that has
    // a next attribute.
    bool NextAttribute(XmlNode& out) const noexcept;

    // Number of attributes of an element: -1 for an empty handle, 0 for an attribute.
    int AttributeCount() const noexcept;
    // Elements below this one down to depth levels (1: the children; 2: children and
    // grandchildren; ...), -1: all levels. -1 for an empty handle; 0 for an attribute, for depth 0
    // and for negative depths other than -1. Walks the subtree without recursion.
    int ChildCount(int depth) const noexcept;

    // Name, refused (false, outputs unchanged) when a byte of the name is above 127.
    bool AsciiName(const char*& text, std::uint32_t& length) const noexcept;
    // Name, always true: an empty handle gives "" and 0.
    bool RawName(const char*& text, std::uint32_t& length) const noexcept;
    // The value copied into out (any string with assign(text, length)), refused (false, out
    // unchanged) for an empty handle or when a byte is above 127.
    template <class String>
    bool AsciiValue(String& out) const;
    // The value span of an ASCII-only value; false for an empty handle or a byte above 127.
    bool AsciiValueSpan(const char*& text, std::uint32_t& length) const noexcept;
    // Value, always true: an empty handle gives "" and 0.
    bool RawValue(const char*& text, std::uint32_t& length) const noexcept;
    // The name and the value spans of the record itself, "" and 0 for none and for an empty
    // handle: what RawName and RawValue give for the handles a document hands out, without the
    // call through Name and Value. The loader reads every name and value of a file this way.
    void RecordSpans(const char*& name, std::uint32_t& nameLength, const char*& value,
                     std::uint32_t& valueLength) const noexcept {
        const char* recordName = nullptr;
        const char* recordValue = nullptr;
        nameLength = valueLength = 0;
        if (const Xml::ElementRecord* element = Element()) {
            recordName = element->name;
            recordValue = element->value;
            nameLength = element->nameLength;
            valueLength = element->valueLength;
        } else if (const Xml::AttributeRecord* attribute = Attribute()) {
            recordName = attribute->name;
            recordValue = attribute->value;
            nameLength = attribute->nameLength;
            valueLength = attribute->valueLength;
        }
        name = recordName != nullptr ? recordName : "";
        value = recordValue != nullptr ? recordValue : "";
        nameLength = recordName != nullptr ? nameLength : 0;
        valueLength = recordValue != nullptr ? valueLength : 0;
    }
    // The value read as a flag from its first byte: 't' or 'T' and '1' give true, 'f' or 'F' and
    // '0' give false. Refused (false, out unchanged) for an empty handle, an empty value, a value
    // with a byte above 127, or any other first byte.
    bool FlagValue(bool& out) const noexcept;
    // True when the name is exactly length bytes long and equal to the first length bytes of name
    // (compared as strncmp compares, so name is never read past its terminating zero). False for
    // an empty handle or a null name.
    bool NameEquals(const char* name, std::uint32_t length) const noexcept;

private:
    friend class XmlDocument;

    enum class Kind : std::uint8_t { Empty, Element, Attribute };

    void PointAt(const Xml::ElementRecord* element) noexcept {
        m_record = element;
        m_kind = Kind::Element;
    }
    void PointAt(const Xml::AttributeRecord* attribute) noexcept {
        m_record = attribute;
        m_kind = Kind::Attribute;
    }
    const Xml::ElementRecord* Element() const noexcept {
        return m_kind == Kind::Element ? static_cast<const Xml::ElementRecord*>(m_record) : nullptr;
    }
    const Xml::AttributeRecord* Attribute() const noexcept {
        return m_kind == Kind::Attribute ? static_cast<const Xml::AttributeRecord*>(m_record) : nullptr;
    }

    const void* m_record = nullptr;  // the record held, of the kind below
    Kind m_kind = Kind::Empty;       // what m_record points at
};

template <class String>
bool XmlNode::AsciiValue(String& out) const {
    const char* text;
    std::uint32_t length;
    if (!AsciiValueSpan(text, length))
        return false;
    out.assign(text, length);
    return true;
}

}  // namespace Database
