// FileSystemWin32.cpp: file stamps, removal and folders through Win32 calls. UTF-8 paths are
// converted whole or refused, since a cut or altered path would name another file.
#include "platform/FileSystem.h"

#include <windows.h>

#include "platform/Utf16.h"

namespace Database::Platform {
namespace {

constexpr std::size_t kPathCapacity = 4096;

// FILETIME counts 100-nanosecond steps since 1601; the stamps count nanoseconds since 1970.
constexpr std::int64_t kStepsFrom1601To1970 = 116444736000000000LL;

std::int64_t Nanoseconds(FILETIME time) {
    const std::int64_t steps =
        static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
    return (steps - kStepsFrom1601To1970) * 100;
}

}  // namespace

bool StampOf(const char* utf8Path, FileStamp& stamp) noexcept {
    WCHAR path[kPathCapacity];
    WIN32_FILE_ATTRIBUTE_DATA data {};
    if (!Utf8ToUtf16Exact(utf8Path, reinterpret_cast<WideChar*>(path), kPathCapacity)
        || !GetFileAttributesExW(path, GetFileExInfoStandard, &data)
        || (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0)
        return false;
    stamp.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    stamp.modified = Nanoseconds(data.ftLastWriteTime);
    return true;
}

std::int64_t Now() noexcept {
    FILETIME now {};
    GetSystemTimeAsFileTime(&now);
    return Nanoseconds(now);
}

bool RemoveFile(const char* utf8Path) noexcept {
    WCHAR path[kPathCapacity];
    if (!Utf8ToUtf16Exact(utf8Path, reinterpret_cast<WideChar*>(path), kPathCapacity))
        return false;
    if (DeleteFileW(path))
        return true;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool MakeFolder(const char* utf8Path) noexcept {
    WCHAR path[kPathCapacity];
    if (!Utf8ToUtf16Exact(utf8Path, reinterpret_cast<WideChar*>(path), kPathCapacity))
        return false;
    if (CreateDirectoryW(path, nullptr))
        return true;
    const DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace Database::Platform
