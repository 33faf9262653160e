// XmlDocument.cpp: the document block, its node pool and the entry points of the parse
// (XmlParser.cpp).
#include "xml/XmlDocument.h"

#include <new>

#include "xml/XmlNodePool.h"
#include "xml/XmlParser.h"

namespace Database {

using Xml::ElementRecord;
using Xml::NodePool;

struct XmlDocument::State {
    ElementRecord document;  // root of the tree: the top-level elements are its children
    NodePool pool;
};

XmlDocument::XmlDocument() noexcept : XmlDocument(BlockSource{Memory::Allocate, Memory::Deallocate}) {}

XmlDocument::XmlDocument(const BlockSource& source) noexcept : m_source(source), m_state(nullptr) {
    void* block = m_source.allocate(sizeof(State));
    if (block == nullptr)
        return;
    // Default-initialised: the inline block is not cleared, its pages are touched only when used.
    m_state = ::new (block) State;
    m_state->document = ElementRecord{};
    m_state->pool.inlineLink = nullptr;
    m_state->pool.Rewind();
}

XmlDocument::~XmlDocument() {
    if (m_state == nullptr)
        return;
    Rewind();
    m_state->pool.ReleaseChain(m_source);
    m_state->~State();
    m_source.deallocate(m_state);
}

void XmlDocument::Rewind() noexcept {
    ElementRecord& document = m_state->document;
    for (ElementRecord* top = document.firstChild; top != nullptr; top = top->nextSibling)
        top->parent = nullptr;
    document.firstChild = nullptr;
    document.nextSibling = nullptr;
    document.firstAttribute = nullptr;
    m_state->pool.Rewind();
}

bool XmlDocument::Parse(char* text, XmlRecoveryListener* listener) noexcept {
    m_status = XmlStatus::Ok;
    m_errorOffset = 0;
    if (m_state == nullptr) {
        m_status = XmlStatus::OutOfMemory;
        return false;
    }
    Rewind();
    if (text == nullptr) {
        m_status = XmlStatus::NoText;
        return false;
    }
    char* start = text;
    if (static_cast<unsigned char>(start[0]) == 0xef && static_cast<unsigned char>(start[1]) == 0xbb &&
        static_cast<unsigned char>(start[2]) == 0xbf)
        start += 3;
    const char* stoppedAt = start;
    m_status = Xml::ParseText(m_state->document, m_state->pool, m_source, text, start, listener, stoppedAt);
    if (m_status == XmlStatus::Ok)
        return true;
    m_errorOffset = static_cast<std::size_t>(stoppedAt - text);
    return false;
}

bool XmlDocument::FirstNode(XmlNode& out) const noexcept {
    if (m_state == nullptr || m_state->document.firstChild == nullptr)
        return false;
    out.PointAt(m_state->document.firstChild);
    return true;
}

std::size_t XmlDocument::PoolBlockCount() const noexcept {
    if (m_state == nullptr)
        return 0;
    std::size_t count = 0;
    for (void* block = m_state->pool.inlineLink; block != nullptr; block = *static_cast<void**>(block))
        ++count;
    return count;
}

}  // namespace Database
