// HostSymbolsPosix.cpp: symbol lookup in the main program through the dynamic linker.
#include "platform/HostSymbols.h"

#include <dlfcn.h>

namespace Database::Platform {

void* FindHostSymbol(const char* name) noexcept {
    // dlopen(nullptr) is the main program; its exports are what the host offers the library.
    // The handle stays open for the life of the process, like the module handle on Windows.
    static void* const mainProgram = dlopen(nullptr, RTLD_NOW);
    if (mainProgram == nullptr)
        return nullptr;
    return dlsym(mainProgram, name);
}

}  // namespace Database::Platform
