// Directory.h: listing the entries of a folder, as the data loader does to find a mod's files.
#pragma once

namespace Database::Platform {

// What an entry is. Links are judged by what they lead to, except that a link to a folder (and a
// Win32 junction) is Other: a walk that descends into Folder entries only can then never come back
// round to a folder it is already inside, however the links are laid out.
enum class EntryKind { File, Folder, Other };

// Whether utf8Path names a folder, links followed: the path a host gives may well be a link to
// its mods. False for a missing path, a path that cannot be passed on intact, and anything else.
bool IsFolder(const char* utf8Path) noexcept;

// The entries of one folder, in the order the system keeps them (callers sort), "." and ".."
// left out. Closed on every path by the destructor.
class DirectoryListing {
public:
    DirectoryListing() noexcept = default;
    ~DirectoryListing();
    DirectoryListing(const DirectoryListing&) = delete;
    DirectoryListing& operator=(const DirectoryListing&) = delete;

    // Opens the folder at utf8Path (a listing already open is closed first); false when it is
    // missing, not a folder, not readable, or the path cannot be passed on intact.
    bool Open(const char* utf8Path) noexcept;
    // The next entry: its name in UTF-8, without the folder, valid until the next call or Close.
    // False once every entry was given (or on a read error, or when nothing is open). A name that
    // UTF-8 cannot carry (an unpaired UTF-16 surrogate on Win32) comes as Other, with U+FFFD in
    // its place, since no path built from it would lead back to the entry.
    bool Next(const char*& name, EntryKind& kind) noexcept;
    void Close() noexcept;

private:
    // POSIX: the DIR*. Win32: the find handle, the entry found and its UTF-8 name, kept on the
    // process heap since the entry alone is over half a kilobyte. Null while closed.
    void* m_handle = nullptr;
};

}  // namespace Database::Platform
