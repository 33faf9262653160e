// XMLSerializer.h: Database::XMLSerializer, the loader of XML data files.
//
// A data file's root element holds, in any order, table definitions ("Table", "AlterTable",
// "Index"), reference purges ("DeleteMissingReferences") and table contents: an element named
// after a table whose children insert ("Row", "Replace", "InsertOrIgnore", "InsertOrAbort"),
// update ("Update") and delete ("Delete") rows. Each file is loaded inside one transaction by
// default: the first element that fails stops the file and rolls it back, so a broken file
// changes nothing. Rows inserted with child elements into the tables on the package tag list get
// the column PackageID with the current package tag.
#pragma once

#include <memory>

#include "ZrGameDatabase/Platform.h"

namespace Database {

class Connection;
class ILoadObserver;
class ResultsCache;

class ZRDB_API XMLSerializer {
public:
    explicit XMLSerializer(Connection& connection);
    ~XMLSerializer();
    XMLSerializer(const XMLSerializer&) = delete;
    XMLSerializer& operator=(const XMLSerializer&) = delete;

    // Reads the file at path whole and loads it. With a cache, row statements are prepared into
    // it and stay there for later loads; without, a cache lives for this file only. False, with
    // ErrorMessage and ErrorLine saying why and where, when the file cannot be read or parsed or
    // an element fails.
    bool Load(const WideChar* path);
    bool Load(const WideChar* path, ResultsCache& cache);
    // The same for hosts that hold UTF-8 paths.
    bool Load(const char* utf8Path);
    bool Load(const char* utf8Path, ResultsCache& cache);

    // Loads a data file already in memory. buffer holds the text followed by a zero byte; size
    // counts its bytes including that zero. The buffer is parsed in place (changed) and must stay
    // valid for the call. path only names the file in messages.
    bool LoadFromMemory(const WideChar* path, char* buffer, unsigned int size);
    bool LoadFromMemory(const WideChar* path, char* buffer, unsigned int size, ResultsCache& cache);
    bool LoadFromMemory(const char* utf8Path, char* buffer, unsigned int size);
    bool LoadFromMemory(const char* utf8Path, char* buffer, unsigned int size, ResultsCache& cache);

    // "Database::XMLSerializer (FILE): MESSAGE" for the last failure; empty until one happens. A
    // successful load leaves it as it was. "Database::XMLSerializer: Out of memory." while the
    // serializer could get no memory for its state at all.
    const char* ErrorMessage() const;
    // The 1-based line, in the file last loaded, of the element whose handling failed; 0 when the
    // last load succeeded or its failure had no element (an unreadable file, say).
    int ErrorLine() const;

    void UseTransactions(bool useTransactions);
    bool UseTransactions() const;

    // The observer told of every problem and every row of the loads that follow (not owned; null,
    // the default: none). Without one nothing is reported beyond the log and ErrorMessage.
    void SetObserver(ILoadObserver* observer);
    // The warnings and errors the last load reported to the observer (0 without one).
    int WarningCount() const;
    int ErrorCount() const;

    // The value rows of the tagged tables receive in PackageID; null empties it.
    void SetPackageTag(const char* tag);
    // Tables whose rows are tagged: kept in order, duplicates allowed; null names are ignored.
    void AddTableToPackageTagList(const char* tableName);
    // Removes the first entry equal to tableName (exact, case-sensitive), if any.
    void RemoveTableFromPackageTagList(const char* tableName);
    void ClearPackageTagList();
    // The tables of the tag list, in order: index from 0 to PackageTagTableCount() - 1; null past it.
    int PackageTagTableCount() const;
    const char* PackageTagTable(int index) const;

private:
    struct Impl;
    // The state, made again if it could not be made with the serializer; null without memory.
    Impl* Ready();

    Connection& m_connection;      // the database written to; not owned
    bool m_useTransactions;        // one transaction per file
    std::unique_ptr<Impl> m_impl;  // settings, scratch state and the last error
};

}  // namespace Database
