# Cross-compiling for 32-bit Windows with Debian's mingw-w64 i686 compiler (g++-mingw-w64-i686).
#
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
#         -DZRDB_WINDOWS_SOURCES=build-windows/sources
#
# The dependencies are compiled from source (see scripts/fetch-windows-sources.sh), so nothing is
# searched for in the machine's Linux folders. The compiler's posix thread model is the one chosen:
# in g++ 12 the win32 model has no std::mutex or std::call_once, which the library uses, nor the
# std::thread the tests start.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(ZRDB_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${ZRDB_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZRDB_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ZRDB_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZRDB_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The compiler's own runtime (libgcc, libstdc++, winpthread) goes into each program and DLL, so
# that they run with nothing beside them but the project's DLLs, under Wine as on a player's machine.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# Test programs run under Wine, which CTest puts before each of them.
find_program(ZRDB_WINE wine)
if(ZRDB_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${ZRDB_WINE})
endif()
