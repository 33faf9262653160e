// ConnectionState.h: the parts of a connection that live in the library's own memory: the count
// caches and the text of the last memory report. Made on first use, so that a connection that
// never counts costs nothing here.
#pragma once

#include "Memory.h"

struct sqlite3_stmt;

namespace Database {

struct ConnectionState : Memory::Allocated {
    Memory::String memoryReport;                        // the last memory statistics report
    Memory::StringMap<sqlite3_stmt*> countStatements;   // kept counting statements, per table
    Memory::StringMap<int> rowCounts;                   // the last count taken, per table

    // Empties both count caches and gives them back their initial buckets. The kept statements
    // are not finalized here: the caller decides who finalizes them.
    void ClearCountCaches() noexcept {
        Memory::StringMap<sqlite3_stmt*>().swap(countStatements);
        Memory::StringMap<int>().swap(rowCounts);
    }
};

}  // namespace Database
