// LargePages.h: asking for fresh memory to be backed by large pages, where the system offers them.
//
// The first touch of every fresh page costs a fault, and a load fills tens of megabytes of fresh
// memory. Where the system can back a range with large pages (2 MiB on x86-64 Linux), one fault
// fills a whole large page: the same memory costs a few hundred faults instead of many thousands.
// The price is that a large page is committed and zeroed whole, even when only part of it is
// written, so this is for memory that is filled from end to end soon after it is obtained: a
// file's text, the records of its tree, a buffer that is written whole at start-up.
#pragma once

#include <cstddef>

namespace Database::Platform {

// The large page size the hint works in: only the large pages wholly inside a range can be given.
constexpr std::size_t kLargePageSize = 2 * 1024 * 1024;

// Asks for the large pages that lie wholly inside the size bytes at address to be backed by large
// pages when first touched. A hint: nothing happens where the system has no such pages, and
// nothing changes for memory already touched.
void PreferLargePages(void* address, std::size_t size) noexcept;

}  // namespace Database::Platform
