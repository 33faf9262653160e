// DataLoader.h: Database::DataLoader, the loading of a whole data set (a ruleset and its mods)
// from files and folders, in an order that is the same on every machine.
//
// A host names its paths in load order, each with the package it belongs to; a folder stands for
// every data file below it. Load then lists the folders, loads every file with one serializer and
// one statement cache, and tells a listener how each went:
//
//     Database::DataLoader loader(connection);
//     loader.Serializer().AddTableToPackageTagList("Units");
//     loader.AddPath("data", nullptr);           // the base game: no PackageID tag
//     loader.AddPath("mods/ModA", "MOD_A");      // its rows tagged MOD_A
//     const Database::DataLoader::Summary summary = loader.Load(&listener);
#pragma once

#include <memory>

#include "ZrGameDatabase/Platform.h"
#include "ZrGameDatabase/XMLSerializer.h"

namespace Database {

class Connection;
class ResultsCache;
struct Digest;

class ZRDB_API DataLoader {
public:
    // Loads into connection (not owned; must outlive the loader).
    explicit DataLoader(Connection& connection);
    ~DataLoader();
    DataLoader(const DataLoader&) = delete;
    DataLoader& operator=(const DataLoader&) = delete;

    // The one serializer of every load: the host sets transactions, the package tag list and the
    // observer on it. Its package tag is the loader's to set (see AddPath).
    XMLSerializer& Serializer();

    // Adds path to the load order: a data file, or a folder that stands for every file with the
    // extension .xml in any letter case anywhere below it, sorted by path byte for byte (joined
    // with '/'), so that the order does not depend on the machine. Links to files are followed,
    // links to folders inside a folder are not (the path itself may be one).
    //
    // package is the label of the path's data set and the PackageID tag its rows get in the
    // tagged tables (copied). Null: no tag (PackageID NULL) and, as the label, the name of the
    // path's own folder: a folder path's last component ("mods/ModA/" gives "ModA"), a file's
    // parent ("mods/ModA/Units.xml" gives "ModA"); "" when there is none or it is "." or "..".
    // Both '/' and '\' separate components. False, with nothing added, for a null path or when
    // no memory is left.
    bool AddPath(const char* path, const char* package);

    // Stop at the first file that fails (off by default); the files after it are not loaded.
    void SetFailFast(bool failFast);
    // A file that loads with warnings reported to the serializer's observer (so, only with an
    // observer set) is rolled back and counts as failed (off by default). The file runs inside a
    // savepoint of the loader's own around the serializer's transaction.
    void SetStrict(bool strict);
    // Keeps the database of every load that succeeded as a snapshot in folder (made when missing;
    // its parent must exist), and makes a later load with the same key read the snapshot instead
    // of the files. The key covers the files in load order with each one's size, content, label
    // and tag, the serializer's transactions and package tag list, strictness and fail-fast, the
    // library's and SQLite's versions, and hostKey: what else of the host changes the result
    // (whether it records provenance, say; may be null). Only a load into a database without any
    // table, index or view uses the cache, since the snapshot replaces the whole database. A
    // cache that cannot be used (no folder, a damaged file) is a miss, logged as a warning; a
    // damaged snapshot is never loaded. Null or "" folder: no cache (the default). False when no
    // memory was left for it.
    bool SetSnapshotCache(const char* folder, const char* hostKey);

    // How one file went. The texts are valid during the call only.
    struct FileResult {
        const char* file;     // the path loaded: a path given, or a folder's path, '/' and the name below it
        const char* package;  // the label of its path ("" for none)
        int index;            // counted from 1, of count: the files of every path in load order
        int count;
        bool loaded;          // committed (and, when strict, without warnings)
        bool strictFailure;   // loaded with warnings and rolled back for being strict
        int warnings;         // what the serializer reported to its observer for this file
        int errors;
        int errorLine;        // the serializer's ErrorLine; 0 when loaded
        const char* errorMessage;  // the serializer's ErrorMessage, or why strictness rolled it back; "" when loaded
    };

    class IListener {
    public:
        virtual ~IListener() = default;
        // Before each file, after its path's package tag was set on the serializer: a host sets
        // its ProvenanceRecorder's package here, or shows progress.
        virtual void OnFileStarting(const char* /*file*/, const char* /*package*/, int /*index*/,
                                    int /*count*/) noexcept {}
        virtual void OnFileLoaded(const FileResult& /*result*/) noexcept {}
        // A folder given that holds no data file; it counts as a failure. Every such folder is
        // reported before the first file loads.
        virtual void OnEmptyFolder(const char* /*folder*/) noexcept {}
    };

    struct Summary {
        int loaded;    // files loaded
        int failed;    // files that failed, empty folders and folders that could not be listed
        int warnings;  // summed over the files
        int errors;
        bool fromCache;  // read from the snapshot cache: loaded and warnings are those of the load that made it
    };

    // Loads the files of every path added, in order, each in a transaction of its own when the
    // serializer uses them. A path that is not a folder is loaded as a file, so a missing one
    // fails as the serializer says ("Cannot load file into memory."). With no path, or only empty
    // folders, failed is at least 1. A folder below a path that cannot be listed is logged
    // through the connection's logger and counts as failed; when no memory is left to list the
    // files, nothing is loaded, that is logged, and failed is 1. listener may be null.
    Summary Load(IListener* listener);

private:
    struct Impl;
    struct Plan;
    // The state, made again if it could not be made with the loader; null without memory.
    Impl* Ready();
    bool LoadFile(const Plan& plan, int index, ResultsCache& cache, IListener* listener, Summary& summary);
    // The snapshot cache's key of plan; false when a file cannot be read.
    bool CacheKey(const Plan& plan, Digest& key);
    bool StartsEmpty() const;

    Connection& m_connection;      // loaded into; not owned
    XMLSerializer m_serializer;    // the host's settings live on it between loads
    bool m_failFast;
    bool m_strict;
    std::unique_ptr<Impl> m_impl;  // the paths added; null without memory
};

}  // namespace Database
