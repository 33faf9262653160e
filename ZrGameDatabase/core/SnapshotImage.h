// SnapshotImage.h: loading a snapshot from its bytes in memory, for a caller that has read the
// file whole to check it: what is loaded is then exactly what was checked, even when the file is
// changed or cut short a moment later, and the file is read once rather than twice.
#pragma once

#include <cstddef>

namespace Database {

class Connection;

// BinaryIO::Load from the size bytes of a snapshot file at image instead of the file itself: the
// same refusals, messages and outcome. SQLite reads the bytes in place and never writes or frees
// them; they must stay as they are until the call returns.
bool LoadSnapshotImage(Connection& connection, void* image, std::size_t size) noexcept;

}  // namespace Database
