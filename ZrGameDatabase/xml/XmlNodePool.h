// XmlNodePool.h: where the records of a parsed tree live, shared by the document, which owns the
// pool, and the parser, which fills it.
#pragma once

#include <cstddef>

#include "platform/LargePages.h"
#include "xml/XmlDocument.h"

namespace Database::Xml {

// The node pool: a bump pointer over the current block. The first block is inline; each further
// block starts with a header that links it to the block after it (null for none) and gives its
// usable size; the inline block's link is inlineLink. A rewind returns to the inline block and
// keeps the chain for the next parse.
//
// The blocks grow with the tree: kBlocksPerSize blocks of each size, doubling from
// XmlDocument::kPoolBlockBytes up to kLargestBlockBytes, so that a small file still takes small
// blocks while a tree of tens of megabytes lives in a few dozen blocks instead of a thousand. The
// large ones ask for large pages: the tree is fresh memory, and each of its 4 KiB pages would
// otherwise cost a fault when first written.
struct NodePool {
    struct BlockHeader {
        void* next;          // the block after this one in the chain; null for none
        std::size_t usable;  // bytes after the header
    };
    static constexpr std::size_t kHeaderBytes = 16;  // the header, padded to keep records aligned
    static_assert(sizeof(BlockHeader) <= kHeaderBytes);
    static constexpr std::size_t kBlocksPerSize = 2;
    // 8 MiB: however the block source places it, a block of that size holds at least three
    // whole, aligned large pages.
    static constexpr std::size_t kDoublings = 7;
    static constexpr std::size_t kLargestBlockBytes = XmlDocument::kPoolBlockBytes << kDoublings;

    char* cursor;            // next free byte of the current block
    char* limit;             // end of the current block's usable bytes
    void** currentLink;      // link word of the current block
    std::size_t blockIndex;  // the current block's place in the chain; 0 for the inline block
    void* inlineLink;        // the first dynamic block, null for none
    alignas(16) char inlineBlock[XmlDocument::kPoolBlockBytes];

    void Rewind() noexcept {
        cursor = inlineBlock;
        limit = inlineBlock + sizeof inlineBlock;
        currentLink = &inlineLink;
        blockIndex = 0;
    }

    // size bytes (a multiple of 8, at most XmlDocument::kPoolBlockBytes), or null when a new
    // block cannot be allocated.
    void* Take(std::size_t size, const XmlDocument::BlockSource& source) noexcept {
        if (static_cast<std::size_t>(limit - cursor) < size && !NextBlock(source))
            return nullptr;
        void* record = cursor;
        cursor += size;
        return record;
    }

    // The usable bytes of a new block at place index (from 1) in the chain.
    static std::size_t UsableBytes(std::size_t index) noexcept {
        const std::size_t doublings = (index - 1) / kBlocksPerSize;
        return doublings < kDoublings ? XmlDocument::kPoolBlockBytes << doublings : kLargestBlockBytes;
    }

    // Moves to the next block of the chain, obtaining and linking one when the chain ends here.
    bool NextBlock(const XmlDocument::BlockSource& source) noexcept {
        void* next = *currentLink;
        if (next == nullptr) {
            const std::size_t usable = UsableBytes(blockIndex + 1);
            next = source.allocate(kHeaderBytes + usable);
            if (next == nullptr)
                return false;
            Platform::PreferLargePages(next, kHeaderBytes + usable);
            *static_cast<BlockHeader*>(next) = {nullptr, usable};
            *currentLink = next;
        }
        currentLink = static_cast<void**>(next);
        ++blockIndex;
        cursor = static_cast<char*>(next) + kHeaderBytes;
        limit = cursor + static_cast<const BlockHeader*>(next)->usable;
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
