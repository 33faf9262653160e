// FileWin32.cpp: reading a data file through a Win32 file handle.
//
// Paths are UTF-16 here; a UTF-8 path is converted whole or refused, since a cut or altered path
// would name another file. Only disk files are read: CreateFileW already refuses a directory, and
// a pipe or a console would let the loader wait forever or read without end.
#include "platform/File.h"

#include <windows.h>

#include <algorithm>

#include "platform/Utf16.h"

namespace Database::Platform {
namespace {

// INVALID_HANDLE_VALUE, as stored in m_handle.
constexpr std::intptr_t kClosed = -1;

// Room for a UTF-8 path converted to UTF-16, its NUL included; longer paths are refused.
constexpr std::size_t kPathCapacity = 4096;

// One ReadFile asks for no more than this, well inside its 32-bit count.
constexpr std::size_t kLargestRead = std::size_t(1) << 30;

HANDLE ToHandle(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

FileFailure FailureOf(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return FileFailure::Missing;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: return FileFailure::AccessDenied;
    case ERROR_INVALID_NAME:
    case ERROR_FILENAME_EXCED_RANGE: return FileFailure::BadPath;
    default: return FileFailure::Other;
    }
}

bool IsFolderPath(const WideChar* path) {
    const DWORD attributes = ::GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

ReadOnlyFile::~ReadOnlyFile() {
    Close();
}

bool ReadOnlyFile::Open(const WideChar* utf16Path) noexcept {
    Close();
    if (utf16Path == nullptr) {
        m_failure = FileFailure::BadPath;
        return false;
    }
    HANDLE file = ::CreateFileW(utf16Path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        m_failure = FailureOf(::GetLastError());
        // CreateFileW refuses a folder with "access denied"; the caller is told what it is.
        if (m_failure == FileFailure::AccessDenied && IsFolderPath(utf16Path))
            m_failure = FileFailure::NotAFile;
        return false;
    }
    if (::GetFileType(file) != FILE_TYPE_DISK) {
        ::CloseHandle(file);
        m_failure = FileFailure::NotAFile;
        return false;
    }
    m_handle = reinterpret_cast<std::intptr_t>(file);
    return true;
}

bool ReadOnlyFile::Open(const char* utf8Path) noexcept {
    Close();
    WideChar path[kPathCapacity];
    if (utf8Path == nullptr || !Utf8ToUtf16Exact(utf8Path, path, kPathCapacity)) {
        m_failure = FileFailure::BadPath;
        return false;
    }
    return Open(path);
}

bool ReadOnlyFile::Size(std::uint64_t& size) const noexcept {
    LARGE_INTEGER fileSize;
    if (m_handle == kClosed || !::GetFileSizeEx(ToHandle(m_handle), &fileSize) || fileSize.QuadPart < 0)
        return false;
    size = static_cast<std::uint64_t>(fileSize.QuadPart);
    return true;
}

bool ReadOnlyFile::Read(void* buffer, std::size_t capacity, std::size_t& bytesRead) noexcept {
    bytesRead = 0;
    if (m_handle == kClosed || (buffer == nullptr && capacity > 0))
        return false;
    char* output = static_cast<char*>(buffer);
    while (bytesRead < capacity) {
        const DWORD wanted = static_cast<DWORD>(std::min(capacity - bytesRead, kLargestRead));
        DWORD received = 0;
        if (!::ReadFile(ToHandle(m_handle), output + bytesRead, wanted, &received, nullptr)) {
            m_failure = FileFailure::ReadFailed;
            return false;
        }
        if (received == 0)
            break;
        bytesRead += received;
    }
    return true;
}

void ReadOnlyFile::Close() noexcept {
    m_failure = FileFailure::None;
    if (m_handle == kClosed)
        return;
    ::CloseHandle(ToHandle(m_handle));
    m_handle = kClosed;
}

}  // namespace Database::Platform
