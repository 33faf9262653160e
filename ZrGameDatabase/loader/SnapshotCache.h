// SnapshotCache.h: a folder of database snapshots, each kept under the key of the load that made
// it, so that a load whose files and settings did not change reads one file instead of parsing all.
//
// The folder holds index.db, a database of its own with two tables:
//   stamps (path, size, modified, digest, seen): the content digest of each data file read, with
//       the file's size and write time when it was hashed, so that an unchanged file is not read
//       again; a stamp is trusted only for a file written well before it was taken (seen), since a
//       file written in the same moment may still change without its time moving on.
//   snapshots (key, size, digest, files, warnings): each snapshot kept, with its own size and
//       digest, which are checked before it is loaded: a snapshot cut short or changed on disk is
//       dropped and made again, never loaded. It is read once, into memory, and loaded from the
//       bytes that were checked, so that a change after the check cannot slip in.
// and one KEY.db snapshot (an ordinary database file) per key. A damaged index is removed and
// started afresh. Nothing here is fatal to a load: a cache that cannot be used is a miss.
#pragma once

#include <cstdint>

#include "ZrGameDatabase/Connection.h"
#include "base/ContentHash.h"
#include "base/Memory.h"
#include "base/TextBuffer.h"

namespace Database::Loader {

class SnapshotCache : public Memory::Allocated {
public:
    // Failures are logged through host's logger.
    SnapshotCache(const Connection& host, const char* folder) noexcept;

    // The digest of a data file's content, from its stamp when the file did not change since, else
    // read and hashed and its stamp kept. False when the file cannot be read.
    bool DigestOf(const char* path, Digest& digest) noexcept;
    // Replaces connection's database by the snapshot kept under key, after checking it. False,
    // the database unchanged, when there is none or it does not check out (it is dropped then).
    bool Load(const Digest& key, Connection& connection, int& files, int& warnings) noexcept;
    // Keeps connection's database as the snapshot of key; a failure is logged, nothing more.
    void Store(const Digest& key, Connection& connection, int files, int warnings) noexcept;

private:
    bool Ready() noexcept;
    bool OpenIndex() noexcept;
    void SnapshotPath(const Digest& key, TextBuffer& path) const noexcept;
    bool Hash(const char* path, Digest& digest, std::uint64_t& size) noexcept;

    // A snapshot's bytes in memory, released with the object; none when they could not be had.
    struct Image {
        Image() noexcept = default;
        ~Image();
        Image(const Image&) = delete;
        Image& operator=(const Image&) = delete;
        unsigned char* bytes = nullptr;
        std::size_t size = 0;
    };
    bool ReadChecked(const char* path, std::uint64_t size, const Digest& kept, Image& image) noexcept;
    bool KnownDigest(const char* path, std::uint64_t size, std::int64_t modified, Digest& digest) noexcept;
    void Forget(const Digest& key) noexcept;
    void Warn(const char* what, const char* path) const noexcept;

    const Connection& m_host;
    TextBuffer m_folder;
    Connection m_index;  // folder/index.db, opened on first use
    bool m_tried = false;
    bool m_ready = false;
};

}  // namespace Database::Loader
