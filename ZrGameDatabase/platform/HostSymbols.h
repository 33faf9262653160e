// HostSymbols.h: entry points the main program exports, found by name at run time.
#pragma once

namespace Database::Platform {

// The address of the function the main program exports under name, or null when it has none.
void* FindHostSymbol(const char* name) noexcept;

}  // namespace Database::Platform
