// XmlNodeRange.h: the children or the attributes of an element as a range, so that a walk over
// them reads as one for loop:
//
//     for (const XmlNode& column : Children(table, "Column", 6)) ...
//     for (const XmlNode& attribute : Attributes(row)) ...
#pragma once

#include <cstdint>

#include "xml/XmlNode.h"

namespace Database {

class XmlNodeRange {
public:
    enum class Axis { Children, NamedChildren, Attributes };

    class Iterator {
    public:
        Iterator() noexcept = default;
        Iterator(const XmlNodeRange& range, bool found, const XmlNode& node) noexcept
            : m_range(&range), m_node(node), m_end(!found) {}

        const XmlNode& operator*() const noexcept { return m_node; }
        const XmlNode* operator->() const noexcept { return &m_node; }
        Iterator& operator++() noexcept {
            XmlNode next;
            m_end = !m_range->Next(m_node, next);
            m_node = next;
            return *this;
        }
        // Ranges are walked front to back only, so the one end is all an iterator is compared with.
        bool operator!=(const Iterator& other) const noexcept { return m_end != other.m_end; }
        bool operator==(const Iterator& other) const noexcept { return m_end == other.m_end; }

    private:
        const XmlNodeRange* m_range = nullptr;
        XmlNode m_node;
        bool m_end = true;
    };

    XmlNodeRange(const XmlNode& element, Axis axis, const char* name = nullptr, std::uint32_t length = 0) noexcept
        : m_element(element), m_axis(axis), m_name(name), m_length(length) {}

    Iterator begin() const noexcept {
        XmlNode first;
        return Iterator(*this, First(first), first);
    }
    Iterator end() const noexcept { return Iterator(); }
    bool Empty() const noexcept {
        XmlNode first;
        return !First(first);
    }

private:
    bool First(XmlNode& out) const noexcept {
        switch (m_axis) {
        case Axis::Children: return m_element.FirstChild(out);
        case Axis::NamedChildren: return m_element.FirstChild(out, m_name, m_length);
        case Axis::Attributes: break;
        }
        return m_element.FirstAttribute(out);
    }
    bool Next(const XmlNode& node, XmlNode& out) const noexcept {
        switch (m_axis) {
        case Axis::Children: return node.NextSibling(out);
        case Axis::NamedChildren: return node.NextSibling(out, m_name, m_length);
        case Axis::Attributes: break;
        }
        return node.NextAttribute(out);
    }

    const XmlNode& m_element;
    Axis m_axis;
    const char* m_name;
    std::uint32_t m_length;
};

// Every child element of element, in document order.
inline XmlNodeRange Children(const XmlNode& element) noexcept {
    return XmlNodeRange(element, XmlNodeRange::Axis::Children);
}
// The child elements called name (length 0: its zero-terminated length).
inline XmlNodeRange Children(const XmlNode& element, const char* name, std::uint32_t length) noexcept {
    return XmlNodeRange(element, XmlNodeRange::Axis::NamedChildren, name, length);
}
// Every attribute of element, in document order.
inline XmlNodeRange Attributes(const XmlNode& element) noexcept {
    return XmlNodeRange(element, XmlNodeRange::Axis::Attributes);
}

}  // namespace Database
