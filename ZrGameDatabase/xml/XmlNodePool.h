// XmlNodePool.h: where the records of a parsed tree live, shared by the document, which owns the
// pool, and the parser, which fills it.
#pragma once

#include <cstddef>

#include "xml/XmlDocument.h"

namespace Database::Xml {

// The node pool: a bump pointer over the current block. The first block is inline; each further
// block starts with a link word to the block after it (null for none), the inline block's link is
// inlineLink. A rewind returns to the inline block and keeps the chain for the next parse.
struct NodePool {
    static constexpr std::size_t kLinkBytes = 16;  // the link word, padded to keep records aligned
    static constexpr std::size_t kDynamicBlockBytes = kLinkBytes + XmlDocument::kPoolBlockBytes;

    char* cursor;          // next free byte of the current block
    char* limit;           // end of the current block's usable bytes
    void** currentLink;    // link word of the current block
    void* inlineLink;      // the first dynamic block, null for none
    alignas(16) char inlineBlock[XmlDocument::kPoolBlockBytes];

    void Rewind() noexcept {
        cursor = inlineBlock;
        limit = inlineBlock + sizeof inlineBlock;
        currentLink = &inlineLink;
    }

    // size bytes (a multiple of 8), or null when a new block cannot be allocated.
    void* Take(std::size_t size, const XmlDocument::BlockSource& source) noexcept {
        if (static_cast<std::size_t>(limit - cursor) < size && !NextBlock(source))
            return nullptr;
        void* record = cursor;
        cursor += size;
        return record;
    }

    // Moves to the next block of the chain, obtaining and linking one when the chain ends here.
    bool NextBlock(const XmlDocument::BlockSource& source) noexcept {
        void* next = *currentLink;
        if (next == nullptr) {
            next = source.allocate(kDynamicBlockBytes);
            if (next == nullptr)
                return false;
            *static_cast<void**>(next) = nullptr;
            *currentLink = next;
        }
        currentLink = static_cast<void**>(next);
        cursor = static_cast<char*>(next) + kLinkBytes;
        limit = cursor + XmlDocument::kPoolBlockBytes;
        return true;
    }

    void ReleaseChain(const XmlDocument::BlockSource& source) noexcept {
        void* block = inlineLink;
        while (block != nullptr) {
            void* next = *static_cast<void**>(block);
            source.deallocate(block);
            block = next;
        }
        inlineLink = nullptr;
    }
};

}  // namespace Database::Xml
