// FilePosix.cpp: reading a data file through a POSIX descriptor.
//
// Paths are UTF-8 here; a wide path is converted whole or refused, since a cut or altered path
// would name another file. Only regular files are read: a directory cannot be, and a FIFO or a
// device would let the loader wait forever or read without end.
#include "platform/File.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "platform/Utf16.h"

namespace Database::Platform {
namespace {

constexpr std::intptr_t kClosed = -1;

// The longest path the system accepts, its NUL included.
#if defined(PATH_MAX)
constexpr std::size_t kPathCapacity = PATH_MAX;
#else
constexpr std::size_t kPathCapacity = 4096;
#endif

// One read asks for no more than this, well below what read() may be given at once.
constexpr std::size_t kLargestRead = std::size_t(1) << 30;

int OpenForReading(const char* path) {
    int descriptor;
    // O_NONBLOCK keeps the open of a FIFO from waiting for a writer; such a file is refused below.
    do {
        descriptor = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    } while (descriptor < 0 && errno == EINTR);
    return descriptor;
}

FileFailure FailureOf(int error) {
    switch (error) {
    case ENOENT:
    case ENOTDIR: return FileFailure::Missing;
    case EACCES:
    case EPERM: return FileFailure::AccessDenied;
    case EISDIR: return FileFailure::NotAFile;
    case ENAMETOOLONG: return FileFailure::BadPath;
    default: return FileFailure::Other;
    }
}

}  // namespace

ReadOnlyFile::~ReadOnlyFile() {
    Close();
}

bool ReadOnlyFile::Open(const char* utf8Path) noexcept {
    Close();
    if (utf8Path == nullptr) {
        m_failure = FileFailure::BadPath;
        return false;
    }
    const int descriptor = OpenForReading(utf8Path);
    if (descriptor < 0) {
        m_failure = FailureOf(errno);
        return false;
    }
    struct stat status;
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(descriptor);
        m_failure = FileFailure::NotAFile;
        return false;
    }
    // Regular files ignore O_NONBLOCK; clearing it all the same leaves ordinary blocking reads.
    const int flags = ::fcntl(descriptor, F_GETFL);
    if (flags >= 0)
        ::fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK);
    // The file is read once, front to back.
    ::posix_fadvise(descriptor, 0, 0, POSIX_FADV_SEQUENTIAL);
    m_handle = descriptor;
    return true;
}

bool ReadOnlyFile::Open(const WideChar* utf16Path) noexcept {
    Close();
    char path[kPathCapacity];
    if (utf16Path == nullptr || !Utf16ToUtf8Exact(utf16Path, path, sizeof path)) {
        m_failure = FileFailure::BadPath;
        return false;
    }
    return Open(path);
}

bool ReadOnlyFile::Size(std::uint64_t& size) const noexcept {
    struct stat status;
    if (m_handle == kClosed || ::fstat(static_cast<int>(m_handle), &status) != 0 || status.st_size < 0)
        return false;
    size = static_cast<std::uint64_t>(status.st_size);
    return true;
}

bool ReadOnlyFile::Read(void* buffer, std::size_t capacity, std::size_t& bytesRead) noexcept {
    bytesRead = 0;
    if (m_handle == kClosed || (buffer == nullptr && capacity > 0))
        return false;
    char* output = static_cast<char*>(buffer);
    while (bytesRead < capacity) {
        const std::size_t wanted = std::min(capacity - bytesRead, kLargestRead);
        const ssize_t received = ::read(static_cast<int>(m_handle), output + bytesRead, wanted);
        if (received < 0) {
            if (errno == EINTR)
                continue;
            m_failure = FileFailure::ReadFailed;
            return false;
        }
        if (received == 0)
            break;
        bytesRead += static_cast<std::size_t>(received);
    }
    return true;
}

void ReadOnlyFile::Close() noexcept {
    m_failure = FileFailure::None;
    if (m_handle == kClosed)
        return;
    // Not retried on EINTR: the descriptor is released whatever close() reports.
    ::close(static_cast<int>(m_handle));
    m_handle = kClosed;
}

}  // namespace Database::Platform
