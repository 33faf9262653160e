// HostSymbolsWin32.cpp: symbol lookup in the main program's export table.
#include "platform/HostSymbols.h"

#include <windows.h>

namespace Database::Platform {

void* FindHostSymbol(const char* name) noexcept {
    // The module handle of the main executable needs no release; it lives as long as the process.
    HMODULE mainProgram = ::GetModuleHandleA(nullptr);
    if (mainProgram == nullptr || name == nullptr)
        return nullptr;
    // FARPROC is a function pointer; callers cast the address back to the entry point's type.
    return reinterpret_cast<void*>(::GetProcAddress(mainProgram, name));
}

}  // namespace Database::Platform
