// DirectoryPosix.cpp: listing a folder with opendir and readdir.
//
// Names are UTF-8 as the system keeps them; nothing is converted. The entry type readdir gives
// (d_type) is used when it is plain, and the entry is looked at with fstatat when it is a link or
// the file system did not say, so that a listing costs no system call per entry on the usual
// file systems.
#include "platform/Directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Database::Platform {
namespace {

DIR* ToDirectory(void* handle) {
    return static_cast<DIR*>(handle);
}

bool IsDotOrDotDot(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

EntryKind KindOf(const struct stat& status) {
    if (S_ISREG(status.st_mode))
        return EntryKind::File;
    return S_ISDIR(status.st_mode) ? EntryKind::Folder : EntryKind::Other;
}

// A link counts as the file it leads to, and as Other when it leads to a folder (see
// EntryKind), to something else, or nowhere.
EntryKind KindOfLinked(DIR* directory, const char* name) {
    struct stat status;
    if (::fstatat(::dirfd(directory), name, &status, AT_SYMLINK_NOFOLLOW) != 0)
        return EntryKind::Other;
    if (!S_ISLNK(status.st_mode))
        return KindOf(status);
    if (::fstatat(::dirfd(directory), name, &status, 0) != 0)
        return EntryKind::Other;
    return S_ISREG(status.st_mode) ? EntryKind::File : EntryKind::Other;
}

EntryKind KindOfEntry(DIR* directory, const dirent& entry) {
#if defined(DT_UNKNOWN)
    switch (entry.d_type) {
    case DT_REG: return EntryKind::File;
    case DT_DIR: return EntryKind::Folder;
    case DT_LNK:
    case DT_UNKNOWN: break;
    default: return EntryKind::Other;
    }
#endif
    return KindOfLinked(directory, entry.d_name);
}

}  // namespace

bool IsFolder(const char* utf8Path) noexcept {
    struct stat status;
    return utf8Path != nullptr && ::stat(utf8Path, &status) == 0 && S_ISDIR(status.st_mode);
}

DirectoryListing::~DirectoryListing() {
    Close();
}

bool DirectoryListing::Open(const char* utf8Path) noexcept {
    Close();
    if (utf8Path == nullptr)
        return false;
    // open() first, for O_CLOEXEC: a host that starts programs must not hand them the folder.
    int descriptor;
    do {
        descriptor = ::open(utf8Path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0)
        return false;
    DIR* directory = ::fdopendir(descriptor);
    if (directory == nullptr) {
        ::close(descriptor);
        return false;
    }
    m_handle = directory;
    return true;
}

bool DirectoryListing::Next(const char*& name, EntryKind& kind) noexcept {
    if (m_handle == nullptr)
        return false;
    DIR* directory = ToDirectory(m_handle);
    for (;;) {
        const dirent* entry = ::readdir(directory);
        if (entry == nullptr)
            return false;
        if (IsDotOrDotDot(entry->d_name))
            continue;
        name = entry->d_name;
        kind = KindOfEntry(directory, *entry);
        return true;
    }
}

void DirectoryListing::Close() noexcept {
    if (m_handle == nullptr)
        return;
    ::closedir(ToDirectory(m_handle));
    m_handle = nullptr;
}

}  // namespace Database::Platform
