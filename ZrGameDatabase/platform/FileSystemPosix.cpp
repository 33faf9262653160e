// FileSystemPosix.cpp: file stamps, removal and folders through POSIX calls. Paths are UTF-8.
#include "platform/FileSystem.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace Database::Platform {

bool StampOf(const char* utf8Path, FileStamp& stamp) noexcept {
    struct stat status {};
    if (utf8Path == nullptr || stat(utf8Path, &status) != 0 || !S_ISREG(status.st_mode))
        return false;
    stamp.size = static_cast<std::uint64_t>(status.st_size);
    stamp.modified = static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
    return true;
}

std::int64_t Now() noexcept {
    timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

bool RemoveFile(const char* utf8Path) noexcept {
    return utf8Path != nullptr && (unlink(utf8Path) == 0 || errno == ENOENT);
}

bool MakeFolder(const char* utf8Path) noexcept {
    if (utf8Path == nullptr)
        return false;
    struct stat status {};
    return mkdir(utf8Path, 0777) == 0 || (stat(utf8Path, &status) == 0 && S_ISDIR(status.st_mode));
}

}  // namespace Database::Platform
