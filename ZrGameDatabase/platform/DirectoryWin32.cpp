// DirectoryWin32.cpp: listing a folder with FindFirstFileW and FindNextFileW.
//
// Paths are UTF-16 here; a UTF-8 path is converted whole or refused, since a cut or altered path
// would list another folder. The entry's kind comes from the attributes the search returns, so a
// listing costs no call per entry.
#include "platform/Directory.h"

#include <windows.h>

#include <new>

#include "platform/Utf16.h"

namespace Database::Platform {
namespace {

// Room for a UTF-8 path converted to UTF-16 with "\*" after it, its NUL included.
constexpr std::size_t kPathCapacity = 4096;

struct Listing {
    HANDLE find;
    bool pending;  // the entry FindFirstFileW found has not been handed out yet
    WIN32_FIND_DATAW entry;
    char name[MAX_PATH * 3 + 1];  // a UTF-16 unit takes at most three UTF-8 bytes
};

Listing* ToListing(void* handle) {
    return static_cast<Listing*>(handle);
}

bool IsDotOrDotDot(const wchar_t* name) {
    return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

// A reparse point that is a folder (a link or a junction) is not walked into (see EntryKind); a
// file link is a file, since opening it follows it.
EntryKind KindOf(DWORD attributes) {
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? EntryKind::Other : EntryKind::Folder;
    return (attributes & FILE_ATTRIBUTE_DEVICE) != 0 ? EntryKind::Other : EntryKind::File;
}

// The search pattern: every entry of the folder, "\*" after the path (only "*" after a
// separator it already ends with).
bool MakePattern(const char* utf8Path, WideChar* pattern) {
    if (utf8Path[0] == '\0' || !Utf8ToUtf16Exact(utf8Path, pattern, kPathCapacity - 2))
        return false;
    std::size_t length = 0;
    while (pattern[length] != L'\0')
        ++length;
    if (pattern[length - 1] != L'\\' && pattern[length - 1] != L'/')
        pattern[length++] = L'\\';
    pattern[length++] = L'*';
    pattern[length] = L'\0';
    return true;
}

}  // namespace

bool IsFolder(const char* utf8Path) noexcept {
    WideChar path[kPathCapacity];
    if (utf8Path == nullptr || !Utf8ToUtf16Exact(utf8Path, path, kPathCapacity))
        return false;
    const DWORD attributes = ::GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

DirectoryListing::~DirectoryListing() {
    Close();
}

bool DirectoryListing::Open(const char* utf8Path) noexcept {
    Close();
    WideChar pattern[kPathCapacity];
    if (utf8Path == nullptr || !MakePattern(utf8Path, pattern))
        return false;
    void* memory = ::HeapAlloc(::GetProcessHeap(), 0, sizeof(Listing));
    if (memory == nullptr)
        return false;
    Listing* listing = new (memory) Listing;
    listing->find = ::FindFirstFileW(pattern, &listing->entry);
    listing->pending = listing->find != INVALID_HANDLE_VALUE;
    // Only an empty drive root has no entry at all (no "." either): it is open, and empty.
    if (listing->find == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_NOT_FOUND) {
        ::HeapFree(::GetProcessHeap(), 0, memory);
        return false;
    }
    m_handle = listing;
    return true;
}

bool DirectoryListing::Next(const char*& name, EntryKind& kind) noexcept {
    Listing* listing = ToListing(m_handle);
    if (listing == nullptr || listing->find == INVALID_HANDLE_VALUE)
        return false;
    for (;;) {
        if (!listing->pending && !::FindNextFileW(listing->find, &listing->entry))
            return false;
        listing->pending = false;
        if (IsDotOrDotDot(listing->entry.cFileName))
            continue;
        kind = KindOf(listing->entry.dwFileAttributes);
        if (!Utf16ToUtf8Exact(listing->entry.cFileName, listing->name, sizeof listing->name)) {
            Utf16ToUtf8(listing->entry.cFileName, listing->name, sizeof listing->name);
            kind = EntryKind::Other;
        }
        name = listing->name;
        return true;
    }
}

void DirectoryListing::Close() noexcept {
    Listing* listing = ToListing(m_handle);
    if (listing == nullptr)
        return;
    if (listing->find != INVALID_HANDLE_VALUE)
        ::FindClose(listing->find);
    ::HeapFree(::GetProcessHeap(), 0, listing);
    m_handle = nullptr;
}

}  // namespace Database::Platform
