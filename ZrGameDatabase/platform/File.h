// File.h: reading a data file whole, as the loader does.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ZrGameDatabase/Platform.h"

namespace Database::Platform {

// A file opened for reading: existing files only, others may read it too, read front to back.
// Closed on every path by the destructor.
class ReadOnlyFile {
public:
    ReadOnlyFile() noexcept = default;
    ~ReadOnlyFile();
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

    // Opens an existing regular file; false for a missing file, a directory or no permission.
    bool Open(const char* utf8Path) noexcept;
    bool Open(const WideChar* utf16Path) noexcept;
    // The file's size in bytes; false when it cannot be queried.
    bool Size(std::uint64_t& size) const noexcept;
    // Reads up to capacity bytes from the current position, retrying short reads until the file
    // ends or capacity is reached; bytesRead says how many arrived. False on a read error.
    bool Read(void* buffer, std::size_t capacity, std::size_t& bytesRead) noexcept;
    void Close() noexcept;

private:
    std::intptr_t m_handle = -1;  // file descriptor, or the Win32 handle; -1 when closed
};

}  // namespace Database::Platform
