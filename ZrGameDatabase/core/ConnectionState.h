// ConnectionState.h: the parts of a connection that live in the library's own memory: the count
// caches and the text of the last memory report. Made on first use, so that a connection that
// never counts costs nothing here.
#pragma once

#include <cstdint>
#include <string_view>

#include "base/Memory.h"

struct sqlite3_stmt;

namespace Database {

// What the database looked like when a count was taken. A cached count is reused only while the
// stamp of the moment equals the stamp it was taken under.
struct CountStamp {
    long long totalChanges;       // sqlite3_total_changes64: rows changed through the connection
    unsigned int dataVersion;     // SQLITE_FCNTL_DATA_VERSION of "main": moves on every commit to it
    std::uint64_t transactionEnds;  // commits and rollbacks the connection's hooks have seen

    bool operator==(const CountStamp& other) const = default;
};

// One entry of the row count cache.
struct CachedCount {
    int rows;          // what "select count(*)" gave
    CountStamp stamp;  // when it gave it
};

struct ConnectionState : Memory::Allocated {
    Memory::String memoryReport;                        // the last memory statistics report
    Memory::StringMap<sqlite3_stmt*> countStatements;   // kept counting statements, per table
    Memory::StringMap<CachedCount> rowCounts;           // the last count taken, per table
    std::uint64_t transactionEnds = 0;                  // bumped by the commit and rollback hooks

    // Empties both count caches and gives them back their initial buckets. The kept statements
    // are not finalized here: the caller decides who finalizes them.
    void ClearCountCaches() noexcept {
        Memory::StringMap<sqlite3_stmt*>().swap(countStatements);
        Memory::StringMap<CachedCount>().swap(rowCounts);
    }
};

// How many leading bytes of text, at most limit, a log line may show without cutting a UTF-8
// character in two (ConnectionQueries.cpp).
int ShownPrefixLength(std::string_view text, int limit) noexcept;

}  // namespace Database
