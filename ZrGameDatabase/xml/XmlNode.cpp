// XmlNode.cpp: navigation and the typed accessors of the tree's handles.
//
// Every operation tolerates an empty handle and a handle of the wrong kind, so the loader can
// chain look-ups without testing each step. Nothing here recurses: trees may be arbitrarily deep.
#include "xml/XmlNode.h"

#include <cstring>

namespace Database {
namespace {

using Xml::AttributeRecord;
using Xml::ElementRecord;

// A name given with length 0 is measured up to its terminating zero.
std::uint32_t EffectiveLength(const char* name, std::uint32_t length) noexcept {
    return length != 0 ? length : static_cast<std::uint32_t>(std::strlen(name));
}

// The record's name against name (length already effective). strncmp stops at the first byte
// that differs, so a name shorter than length is never read past its zero.
bool SameName(const char* recordName, std::uint32_t recordLength, const char* name,
              std::uint32_t length) noexcept {
    return recordLength == length && std::strncmp(recordName, name, length) == 0;
}

bool AllAscii(const char* text, std::uint32_t length) noexcept {
    for (std::uint32_t i = 0; i < length; ++i) {
        if (static_cast<unsigned char>(text[i]) > 127)
            return false;
    }
    return true;
}

// A null span reads as the empty text.
void Span(const char* recordText, std::uint32_t recordLength, const char*& text,
          std::uint32_t& length) noexcept {
    text = recordText != nullptr ? recordText : "";
    length = recordText != nullptr ? recordLength : 0;
}

const ElementRecord* FirstNamed(const ElementRecord* element, const char* name,
                                std::uint32_t length) noexcept {
    for (; element != nullptr; element = element->nextSibling) {
        if (SameName(element->name, element->nameLength, name, length))
            return element;
    }
    return nullptr;
}

}  // namespace

bool XmlNode::Name(const char*& text, std::uint32_t& length) const noexcept {
    if (const ElementRecord* element = Element()) {
        Span(element->name, element->nameLength, text, length);
        return true;
    }
    if (const AttributeRecord* attribute = Attribute()) {
        Span(attribute->name, attribute->nameLength, text, length);
        return true;
    }
    return false;
}

bool XmlNode::Value(const char*& text, std::uint32_t& length) const noexcept {
    if (const ElementRecord* element = Element()) {
        Span(element->value, element->valueLength, text, length);
        return true;
    }
    if (const AttributeRecord* attribute = Attribute()) {
        Span(attribute->value, attribute->valueLength, text, length);
        return true;
    }
    return false;
}

bool XmlNode::FirstChild(XmlNode& out) const noexcept {
    const ElementRecord* element = Element();
    if (element == nullptr || element->firstChild == nullptr)
        return false;
    out.PointAt(element->firstChild);
    return true;
}

bool XmlNode::FirstChild(XmlNode& out, const char* name, std::uint32_t length) const noexcept {
    const ElementRecord* element = Element();
    if (element == nullptr || name == nullptr)
        return false;
    const ElementRecord* found = FirstNamed(element->firstChild, name, EffectiveLength(name, length));
    if (found == nullptr)
        return false;
    out.PointAt(found);
    return true;
}

bool XmlNode::NextSibling(XmlNode& out) const noexcept {
    const ElementRecord* element = Element();
    if (element == nullptr || element->nextSibling == nullptr)
        return false;
    out.PointAt(element->nextSibling);
    return true;
}

bool XmlNode::NextSibling(XmlNode& out, const char* name, std::uint32_t length) const noexcept {
    const ElementRecord* element = Element();
    if (element == nullptr || name == nullptr)
        return false;
    const ElementRecord* found = FirstNamed(element->nextSibling, name, EffectiveLength(name, length));
    if (found == nullptr)
        return false;
    out.PointAt(found);
    return true;
}

bool XmlNode::FirstAttribute(XmlNode& out) const noexcept {
    const ElementRecord* element = Element();
    if (element == nullptr || element->firstAttribute == nullptr)
        return false;
    out.PointAt(element->firstAttribute);
    return true;
}

bool XmlNode::FirstAttribute(XmlNode& out, const char* name, std::uint32_t length) const noexcept {
    const ElementRecord* element = Element();
    if (element == nullptr || name == nullptr)
        return false;
    length = EffectiveLength(name, length);
    for (const AttributeRecord* attribute = element->firstAttribute; attribute != nullptr;
         attribute = attribute->nextAttribute) {
        if (SameName(attribute->name, attribute->nameLength, name, length)) {
            out.PointAt(attribute);
            return true;
        }
    }
    return false;
}

bool XmlNode::NextAttribute(XmlNode& out) const noexcept {
    const AttributeRecord* attribute = Attribute();
    if (attribute == nullptr || attribute->nextAttribute == nullptr)
        return false;
    out.PointAt(attribute->nextAttribute);
    return true;
}

int XmlNode::AttributeCount() const noexcept {
    if (m_kind == Kind::Empty)
        return -1;
    const ElementRecord* element = Element();
    if (element == nullptr)
        return 0;
    int count = 0;
    for (const AttributeRecord* attribute = element->firstAttribute; attribute != nullptr;
         attribute = attribute->nextAttribute)
        ++count;
    return count;
}

int XmlNode::ChildCount(int depth) const noexcept {
    if (m_kind == Kind::Empty)
        return -1;
    const ElementRecord* top = Element();
    if (top == nullptr || depth == 0 || depth < -1)
        return 0;
    // Depth-first through the parent links: level is the depth of element below top.
    int count = 0;
    int level = 1;
    const ElementRecord* element = top->firstChild;
    while (element != nullptr) {
        ++count;
        if (element->firstChild != nullptr && (depth == -1 || level < depth)) {
            element = element->firstChild;
            ++level;
            continue;
        }
        while (element->nextSibling == nullptr && level > 1) {
            element = element->parent;
            --level;
        }
        element = element->nextSibling;
    }
    return count;
}

bool XmlNode::AsciiName(const char*& text, std::uint32_t& length) const noexcept {
    const char* name;
    std::uint32_t nameLength;
    if (!Name(name, nameLength) || !AllAscii(name, nameLength))
        return false;
    text = name;
    length = nameLength;
    return true;
}

bool XmlNode::RawName(const char*& text, std::uint32_t& length) const noexcept {
    if (!Name(text, length)) {
        text = "";
        length = 0;
    }
    return true;
}

bool XmlNode::AsciiValueSpan(const char*& text, std::uint32_t& length) const noexcept {
    return Value(text, length) && AllAscii(text, length);
}

bool XmlNode::RawValue(const char*& text, std::uint32_t& length) const noexcept {
    if (!Value(text, length)) {
        text = "";
        length = 0;
    }
    return true;
}

bool XmlNode::FlagValue(bool& out) const noexcept {
    const char* text;
    std::uint32_t length;
    if (!AsciiValueSpan(text, length) || length == 0)
        return false;
    switch (text[0]) {
    case 't':
    case 'T':
    case '1':
        out = true;
        return true;
    case 'f':
    case 'F':
    case '0':
        out = false;
        return true;
    default:
        return false;
    }
}

bool XmlNode::NameEquals(const char* name, std::uint32_t length) const noexcept {
    const char* own;
    std::uint32_t ownLength;
    if (name == nullptr || !Name(own, ownLength))
        return false;
    return SameName(own, ownLength, name, EffectiveLength(name, length));
}

}  // namespace Database
