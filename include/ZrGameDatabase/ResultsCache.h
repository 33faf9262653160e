// ResultsCache.h: Database::ResultsCache, prepared statements kept alive between uses under names
// of the caller's choosing (the loader uses each statement's SQL text).
//
// The cache owns every Results it hands out: callers bind, run and read them, and never delete
// them. A pointer stays valid until its name is prepared again or cleared, or the cache goes. The
// cache must be cleared or destroyed before its connection closes.
#pragma once

#include <cstddef>

#include "ZrGameDatabase/Platform.h"

namespace Database {

class Connection;
class Results;
struct ResultsCacheAccess;
struct ResultsCacheEntries;

class ZRDB_API ResultsCache {
public:
    explicit ResultsCache(Database::Connection& connection);
    ~ResultsCache();
    ResultsCache(const ResultsCache&) = delete;
    ResultsCache& operator=(const ResultsCache&) = delete;

    Database::Connection& Connection() const { return m_connection; }

    // The statement filed under name, rewound with its bindings cleared; null when there is none.
    Results* Get(const char* name);
    // Prepares sql into a new Results filed under name, replacing (and destroying) what was filed
    // there. Null when the SQL does not prepare (the connection has logged why) or no memory is
    // left; an earlier entry under the name then stays.
    Results* Prepare(const char* name, const char* sql, int length = -1);
    // The same, with the name given as bytes and a length, so that a caller building names in a
    // buffer of its own needs no terminated copy.
    Results* Get(const char* name, std::size_t nameLength);
    Results* Prepare(const char* name, std::size_t nameLength, const char* sql, int length = -1);
    // Destroys the entry filed under name, if any.
    void Clear(const char* name);
    // Destroys every entry.
    void Clear();

    // The connection's text for its last failure; the cache keeps none of its own.
    const char* ErrorMessage() const;

private:
    friend struct ResultsCacheAccess;  // the loader's prepare, which tells a refusal from no memory

    Database::Connection& m_connection;  // every statement is prepared on it; not owned
    ResultsCacheEntries* m_entries;      // name to owned Results; made on the first Prepare
};

}  // namespace Database
