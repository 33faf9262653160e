// ResultsCacheAccess.h: the prepare of ResultsCache that says why it failed, for the loader, which
// reports a statement the database refused in the database's words and a cache without memory as
// out of memory.
#pragma once

#include <cstddef>

#include "base/Status.h"

namespace Database {

class Results;
class ResultsCache;

struct ResultsCacheAccess {
    // As ResultsCache::Prepare; results is null unless Ok. Refused: the connection has logged why.
    static Status Prepare(ResultsCache& cache, const char* name, std::size_t nameLength, const char* sql, int length,
                          Results*& results);
};

}  // namespace Database
