// SnapshotCache.cpp: the index of stamps and snapshots, and the checks that keep a damaged cache
// file from ever being loaded.
#include "loader/SnapshotCache.h"

#include <sqlite3.h>

#include <cstdint>

#include "ZrGameDatabase/BinaryIO.h"
#include "ZrGameDatabase/DatabaseResults.h"
#include "base/TextFormat.h"
#include "core/Command.h"
#include "core/SnapshotImage.h"
#include "platform/File.h"
#include "platform/FileSystem.h"

namespace Database::Loader {
namespace {

// A stamp taken less than this after the file was written is not trusted: a file system may keep
// write times coarser than the clock, and an editor may still be writing.
constexpr std::int64_t kSettleTime = 2000000000;  // 2 s in nanoseconds

// Small enough to stay in the heap and in the cache from file to file: a larger buffer would be
// fresh memory each time, and touching fresh pages costs more than the extra reads.
constexpr std::size_t kReadSize = std::size_t(64) << 10;

const char* const kSchema =
    "create table if not exists stamps (path text primary key, size integer, modified integer, digest text, "
    "seen integer);"
    "create table if not exists snapshots (key text primary key, size integer, digest text, files integer, "
    "warnings integer);";

// A statement of the index with its parameters bound in order; false when it cannot be prepared.
bool Prepare(const Connection& index, Results& statement, const char* sql) {
    return ResultsAccess::Prepare(index, statement, sql, -1) == Status::Ok;
}

}  // namespace

SnapshotCache::SnapshotCache(const Connection& host, const char* folder) noexcept : m_host(host) {
    m_folder.Append(folder);
}

bool SnapshotCache::Ready() noexcept {
    if (!m_tried) {
        m_tried = true;
        m_ready = m_folder.Ok() && !m_folder.Empty() && Platform::MakeFolder(m_folder.Text()) && OpenIndex();
        if (!m_ready)
            Warn("cannot use the snapshot cache", m_folder.Text());
    }
    return m_ready;
}

// Opens the index, and starts it afresh when it is no database or a damaged one.
bool SnapshotCache::OpenIndex() noexcept {
    TextBuffer path;
    path.Append(m_folder.View()).Append("/index.db");
    if (!path.Ok())
        return false;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (m_index.Open(path.Text(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) && m_index.ExecuteMultiple(kSchema)
            && m_index.Execute("select count(*) from stamps, snapshots where 0"))
            return true;
        m_index.Close();
        Warn("the snapshot cache's index is damaged and is started afresh", path.Text());
        if (!Platform::RemoveFile(path.Text()))
            return false;
    }
    return false;
}

void SnapshotCache::SnapshotPath(const Digest& key, TextBuffer& path) const noexcept {
    char hex[33];
    key.ToHex(hex);
    path.Append(m_folder.View()).Append('/').Append(hex).Append(".db");
}

bool SnapshotCache::Hash(const char* path, Digest& digest, std::uint64_t& size) noexcept {
    Platform::ReadOnlyFile file;
    if (!file.Open(path))
        return false;
    void* buffer = Memory::Allocate(kReadSize);
    if (buffer == nullptr)
        return false;
    ContentHash hash;
    size = 0;
    std::size_t read = 0;
    bool readAll = true;
    do {
        readAll = file.Read(buffer, kReadSize, read);
        hash.Add(buffer, read);
        size += read;
    } while (readAll && read == kReadSize);
    Memory::Deallocate(buffer);
    digest = hash.Finish();
    return readAll;
}

bool SnapshotCache::KnownDigest(const char* path, std::uint64_t size, std::int64_t modified, Digest& digest) noexcept {
    Results stamp;
    if (!Prepare(m_index, stamp, "select size, modified, digest, seen from stamps where path = ?"))
        return false;
    stamp.Bind(1, path, false);
    if (!stamp.Step())
        return false;
    const char* known = stamp.GetText(2);
    return static_cast<std::uint64_t>(stamp.GetInt64(0)) == size && stamp.GetInt64(1) == modified
           && modified < stamp.GetInt64(3) - kSettleTime && known != nullptr && digest.FromHex(known);
}

bool SnapshotCache::DigestOf(const char* path, Digest& digest) noexcept {
    Platform::FileStamp before{};
    if (!Ready() || !Platform::StampOf(path, before))
        return false;
    if (KnownDigest(path, before.size, before.modified, digest))
        return true;
    const std::int64_t seen = Platform::Now();
    std::uint64_t size = 0;
    Platform::FileStamp after{};
    // A file written while it was read is hashed, but its stamp is not kept.
    if (!Hash(path, digest, size) || !Platform::StampOf(path, after))
        return false;
    if (after.size != before.size || after.modified != before.modified || size != before.size)
        return true;
    Results keep;
    char hex[33];
    digest.ToHex(hex);
    if (Prepare(m_index, keep, "insert or replace into stamps (path, size, modified, digest, seen) values (?, ?, ?, ?, ?)")) {
        keep.Bind(1, path, false);
        keep.Bind(2, static_cast<long long>(size));
        keep.Bind(3, static_cast<long long>(before.modified));
        keep.Bind(4, hex, false);
        keep.Bind(5, static_cast<long long>(seen));
        keep.TryExecute();
    }
    return true;
}

bool SnapshotCache::Load(const Digest& key, Connection& connection, int& files, int& warnings) noexcept {
    if (!Ready())
        return false;
    char hex[33];
    key.ToHex(hex);
    Results entry;
    if (!Prepare(m_index, entry, "select size, digest, files, warnings from snapshots where key = ?"))
        return false;
    entry.Bind(1, hex, false);
    if (!entry.Step())
        return false;
    TextBuffer path;
    SnapshotPath(key, path);
    Digest kept;
    const char* keptText = entry.GetText(1);
    const bool listed = path.Ok() && keptText != nullptr && kept.FromHex(keptText);
    const auto size = static_cast<std::uint64_t>(entry.GetInt64(0));
    files = entry.GetInt(2);
    warnings = entry.GetInt(3);
    entry.Reset();
    Image image;
    if (!listed || !ReadChecked(path.Text(), size, kept, image)) {
        Warn("a snapshot of the cache does not match what was kept and is made again", path.Text());
        Forget(key);
        return false;
    }
    if (image.bytes != nullptr ? LoadSnapshotImage(connection, image.bytes, image.size)
                               : BinaryIO(path.Text()).Load(connection))
        return true;
    Forget(key);
    return false;
}

SnapshotCache::Image::~Image() {
    Memory::Deallocate(bytes);
}

// Reads the snapshot whole into image, hashing each piece as it arrives, while it is still in the
// processor's cache; true when it is as long as kept and its digest is the kept one. Its size is
// checked first, so that a wrong one costs no block of memory. A snapshot too large for one block
// (a 32-bit process's address space is soon cut up) is only hashed, image left empty: it is loaded
// from the file then, as checked a moment before.
bool SnapshotCache::ReadChecked(const char* path, std::uint64_t size, const Digest& kept, Image& image) noexcept {
    Platform::ReadOnlyFile file;
    std::uint64_t fileSize = 0;
    if (!file.Open(path) || !file.Size(fileSize) || fileSize != size)
        return false;
    if (size <= SIZE_MAX)
        image.bytes = static_cast<unsigned char*>(Memory::Allocate(static_cast<std::size_t>(size)));
    if (image.bytes == nullptr) {
        Digest found;
        std::uint64_t hashed = 0;
        return Hash(path, found, hashed) && hashed == size && found == kept;
    }
    image.size = static_cast<std::size_t>(size);
    ContentHash hash;
    for (std::size_t offset = 0; offset < image.size;) {
        const std::size_t wanted = image.size - offset < kReadSize ? image.size - offset : kReadSize;
        std::size_t read = 0;
        if (!file.Read(image.bytes + offset, wanted, read) || read != wanted)
            return false;
        hash.Add(image.bytes + offset, read);
        offset += read;
    }
    // A byte past the kept size is a file written over since, whatever its first bytes hold.
    unsigned char past = 0;
    std::size_t read = 0;
    return file.Read(&past, 1, read) && read == 0 && hash.Finish() == kept;
}

void SnapshotCache::Store(const Digest& key, Connection& connection, int files, int warnings) noexcept {
    if (!Ready())
        return;
    TextBuffer path;
    SnapshotPath(key, path);
    // A damaged file under the name could not be written over; it goes first.
    Forget(key);
    Digest digest;
    std::uint64_t size = 0;
    BinaryIO snapshot(path.Text());
    Results keep;
    char hex[33];
    char digestHex[33];
    key.ToHex(hex);
    if (!path.Ok() || !snapshot.Save(connection) || !Hash(path.Text(), digest, size)
        || !Prepare(m_index, keep, "insert or replace into snapshots (key, size, digest, files, warnings) values (?, ?, ?, ?, ?)")) {
        Warn("cannot keep the snapshot in the cache", path.Text());
        return;
    }
    digest.ToHex(digestHex);
    keep.Bind(1, hex, false);
    keep.Bind(2, static_cast<long long>(size));
    keep.Bind(3, digestHex, false);
    keep.Bind(4, files);
    keep.Bind(5, warnings);
    if (!keep.TryExecute())
        Warn("cannot keep the snapshot in the cache", path.Text());
}

void SnapshotCache::Forget(const Digest& key) noexcept {
    char hex[33];
    key.ToHex(hex);
    Results drop;
    if (Prepare(m_index, drop, "delete from snapshots where key = ?")) {
        drop.Bind(1, hex, false);
        drop.TryExecute();
    }
    TextBuffer path;
    SnapshotPath(key, path);
    if (path.Ok())
        Platform::RemoveFile(path.Text());
}

void SnapshotCache::Warn(const char* what, const char* path) const noexcept {
    char line[1024];
    FormatText(line, sizeof line, "Database::DataLoader: %s: %s", what, path != nullptr ? path : "");
    m_host.LogWarning(line);
}

}  // namespace Database::Loader
