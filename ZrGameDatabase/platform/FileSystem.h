// FileSystem.h: what a cache of files needs of the file system besides reading: whether a file
// changed without reading it, removing a file, and making a folder.
#pragma once

#include <cstdint>

namespace Database::Platform {

// A file's size and the time it was last written, in nanoseconds since 1970 (UTC).
struct FileStamp {
    std::uint64_t size;
    std::int64_t modified;
};

// The stamp of an existing regular file; false for anything else.
bool StampOf(const char* utf8Path, FileStamp& stamp) noexcept;
// The time now, on the clock the stamps are taken from.
std::int64_t Now() noexcept;
// Removes a file; true when none is there afterwards.
bool RemoveFile(const char* utf8Path) noexcept;
// Makes a folder (its parent must exist); true when the folder is there afterwards.
bool MakeFolder(const char* utf8Path) noexcept;

}  // namespace Database::Platform
