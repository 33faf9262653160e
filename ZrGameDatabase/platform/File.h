// File.h: reading a data file whole, as the loader does.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ZrGameDatabase/Platform.h"

namespace Database::Platform {

// Why a file could not be opened or read.
enum class FileFailure { None, Missing, NotAFile, AccessDenied, BadPath, ReadFailed, Other };

// The failure in a few words, for messages.
inline const char* DescribeFileFailure(FileFailure failure) noexcept {
    switch (failure) {
    case FileFailure::None: return "no failure";
    case FileFailure::Missing: return "no such file";
    case FileFailure::NotAFile: return "not a regular file (a folder, a device or a pipe)";
    case FileFailure::AccessDenied: return "permission denied";
    case FileFailure::BadPath: return "the path cannot be used";
    case FileFailure::ReadFailed: return "the file could not be read";
    case FileFailure::Other: break;
    }
    return "the file could not be opened";
}

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
    // Why the last Open or Read failed; None after a success.
    FileFailure Failure() const noexcept { return m_failure; }

private:
    std::intptr_t m_handle = -1;  // file descriptor, or the Win32 handle; -1 when closed
    FileFailure m_failure = FileFailure::None;
};

}  // namespace Database::Platform
