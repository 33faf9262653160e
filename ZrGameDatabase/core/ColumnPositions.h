// ColumnPositions.h: the column-name-to-index map of a Results, built once per statement so that
// lookups by name in a row loop cost one hash and no call into SQLite.
#pragma once

#include <string_view>

#include "base/Memory.h"
#include "base/StringMap.h"

namespace Database {

struct ColumnPositions : Memory::Allocated {
    Memory::StringMap<int> byName;  // column name, byte for byte, to its 0-based index

    // False when memory ran out part-way; the map then holds some of the other's entries.
    bool CopyFrom(ColumnPositions& other) noexcept {
        bool copied = true;
        other.byName.ForEach([&](std::string_view name, int index) { copied = copied && byName.Set(name, index); });
        return copied;
    }
};

}  // namespace Database
