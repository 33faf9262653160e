// LargePages.h: asking for fresh memory to be backed by large pages, where the system offers them.
//
// The first touch of every fresh page costs a fault, and a load fills tens of megabytes of fresh
// memory. Where the system can back a range with large pages (2 MiB on x86-64 Linux), one fault
// fills a whole large page: the same memory costs a few hundred faults instead of many thousands.
// The price is that a large page is committed whole, even when only part of it is written, so
// this is for memory that will mostly be filled.
#pragma once

#include <cstddef>

namespace Database::Platform {

// The large page size the hint works in: memory that should get large pages starts on a boundary
// of it (PrivateHeapPosix.cpp maps its regions so).
constexpr std::size_t kLargePageSize = 2 * 1024 * 1024;

// Asks for the large pages that lie wholly inside the size bytes at address to be backed by large
// pages when first touched. A hint: nothing happens where the system has no such pages, and
// nothing changes for memory already touched.
void PreferLargePages(void* address, std::size_t size) noexcept;

}  // namespace Database::Platform
