// ConnectionState.h: the parts of a connection that live in the library's own memory: the count
// caches and the text of the last memory report. Made on first use, so that a connection that
// never counts costs nothing here.
#pragma once

#include <cstdint>

#include "base/Memory.h"
#include "base/StringMap.h"
#include "core/Command.h"

namespace Database {

// What the database looked like when a count was taken. A cached count is reused only while the
// stamp of the moment equals the stamp it was taken under.
struct CountStamp {
    long long totalChanges;         // sqlite3_total_changes64: rows changed through the connection
    unsigned int dataVersion;       // SQLITE_FCNTL_DATA_VERSION of "main": moves on every commit to it
    std::uint64_t transactionEnds;  // commits and rollbacks the connection's hooks have seen

    bool operator==(const CountStamp& other) const = default;
};

// One entry of the row count cache.
struct CachedCount {
    int rows;          // what "select count(*)" gave
    CountStamp stamp;  // when it gave it
};

struct ConnectionState : Memory::Allocated {
    ~ConnectionState() { ClearCountCaches(); }

    // The last memory statistics report. Sixteen numbers and the fixed text always fit.
    char memoryReport[1024] = {};
    Memory::StringMap<Command*> countStatements;  // kept counting statements, per table; owned
    Memory::StringMap<CachedCount> rowCounts;      // the last count taken, per table
    std::uint64_t transactionEnds = 0;             // bumped by the commit and rollback hooks

    // Empties both count caches and gives their memory back, releasing the kept statements (a
    // failed finalize is logged).
    void ClearCountCaches() noexcept {
        countStatements.ForEach([](std::string_view, Command*& command) { delete command; });
        countStatements.Reset();
        rowCounts.Reset();
    }
};

}  // namespace Database
