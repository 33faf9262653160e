// ColumnPositions.h: the column-name-to-index map of a Results, built once per statement so that
// lookups by name in a row loop cost one hash and no call into SQLite.
#pragma once

#include "base/Memory.h"

namespace Database {

struct ColumnPositions : Memory::Allocated {
    Memory::StringMap<int> byName;  // column name, byte for byte, to its 0-based index
};

}  // namespace Database
