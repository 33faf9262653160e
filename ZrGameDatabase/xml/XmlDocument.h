// XmlDocument.h: one parsed XML text, read in place into a tree of element and attribute records.
//
// The reader is tolerant: a construct that fails to parse is dropped or cut short and scanning
// goes on, so Parse fails only when the top level holds something other than elements and markup
// (or memory runs out). Text, CDATA, comments, declarations, processing instructions and document
// type declarations make no records; an element's value is its first text run, trimmed. A listener
// given to Parse hears of every recovery, with its offset (xml/XmlRecovery.h); the tree is the same
// with or without one.
//
// Records come from a node pool: a 64 KiB block inside the document's own block first, then a
// chain of 64 KiB blocks from the module allocation routine. The chain is kept when the document
// parses again, so a document reused for many texts stops allocating after its largest one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/Memory.h"
#include "xml/XmlNode.h"

namespace Database {

class XmlRecoveryListener;

// Why the last Parse returned false.
enum class XmlStatus : int {
    Ok = 0,             // parsed (possibly with constructs dropped, which is no failure)
    NoText = 1,         // Parse was given a null text
    TextOutsideRoot = 2, // a byte other than whitespace or '<' at the top level
    OutOfMemory = 3,    // the document block or a pool block could not be allocated
};

class XmlDocument : public Memory::Allocated {
public:
    // Where the document block and the pool blocks come from; the module allocation routine
    // unless a test hands in another.
    struct BlockSource {
        void* (*allocate)(std::size_t size) noexcept;
        void (*deallocate)(void* block) noexcept;
    };

    // Usable bytes of every pool block, the inline one included.
    static constexpr std::size_t kPoolBlockBytes = 65536;

    // Obtains the document block: the tree is empty and the pool rewound. When the block cannot
    // be had, the document stays usable but empty and every Parse returns false (OutOfMemory).
    XmlDocument() noexcept;
    explicit XmlDocument(const BlockSource& source) noexcept;
    XmlDocument(const XmlDocument&) = delete;
    XmlDocument& operator=(const XmlDocument&) = delete;
    // Returns every pool block of the chain, then the document block.
    virtual ~XmlDocument();

    // Parses the writable, zero-terminated text in place: references are expanded over the text,
    // names and values point into it. The previous tree is forgotten and its pool blocks reused.
    // Returns false when a byte other than whitespace or '<' stands at the top level (elements
    // read before it stay in the tree), when text is null, or when a pool block cannot be
    // allocated (the tree then holds what was read before); Status and ErrorOffset say which and
    // where. Any nesting depth is parsed without using more native stack. listener, when given,
    // hears of each construct dropped or copied on the way; without one the parse costs what it
    // would if nothing were noted, since which parse runs is decided once, here.
    bool Parse(char* text, XmlRecoveryListener* listener = nullptr) noexcept;

    // Points out at the first top-level element; false, out unchanged, when there is none.
    bool FirstNode(XmlNode& out) const noexcept;

    // The outcome of the last Parse, and for a failure the offset in the text of the byte where
    // it stopped (0 after a success).
    XmlStatus Status() const noexcept { return m_status; }
    std::size_t ErrorOffset() const noexcept { return m_errorOffset; }

    // Pool blocks obtained from the block source and kept in the chain (the inline block not
    // counted); for tests of the pool's reuse.
    std::size_t PoolBlockCount() const noexcept;

private:
    struct State;

    void Rewind() noexcept;

    BlockSource m_source;                 // where blocks come from and go back to
    State* m_state;                       // the document block: document record and node pool
    XmlStatus m_status = XmlStatus::Ok;   // outcome of the last Parse
    std::size_t m_errorOffset = 0;        // where the last failed Parse stopped
};

}  // namespace Database
