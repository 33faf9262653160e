# The Windows build's dependencies, compiled from the Debian source packages that
# scripts/fetch-windows-sources.sh unpacked into ZRDB_WINDOWS_SOURCES: SQLite as sqlite3.dll and Lua
# as lua51.dll, under the target names find_package(SQLite3) and pkg-config give on Linux, so the
# rest of the build does not know the difference; GoogleTest as static archives for the tests.
#
# SQLite and Lua are DLLs, not archives linked into each module: the library and its host (zrdb,
# a game) share one SQLite (memory handed out by one is freed by the other) and one Lua runtime (a
# lua_State made by the host is used by the library, and Lua compares addresses of its own statics).
set(ZRDB_WINDOWS_SOURCES "" CACHE PATH "Folder of the unpacked source packages (scripts/fetch-windows-sources.sh)")
if(NOT EXISTS ${ZRDB_WINDOWS_SOURCES}/sqlite3/sqlite3.c OR NOT EXISTS ${ZRDB_WINDOWS_SOURCES}/lua5.1/src/lua.h)
    message(FATAL_ERROR "ZRDB_WINDOWS_SOURCES (${ZRDB_WINDOWS_SOURCES}) holds no unpacked sources; "
                        "run scripts/fetch-windows-sources.sh")
endif()

# The compile-time options of Debian's own libsqlite3 (debian/rules), so that the tests meet the
# SQLite they meet on Linux: no lookaside, the column metadata, the large variable limit.
set(ZRDB_DEBIAN_SQLITE_OPTIONS
    SQLITE_SECURE_DELETE SQLITE_ENABLE_COLUMN_METADATA SQLITE_ENABLE_FTS3 SQLITE_ENABLE_FTS3_PARENTHESIS
    SQLITE_ENABLE_RTREE=1 SQLITE_SOUNDEX=1 SQLITE_ENABLE_UNLOCK_NOTIFY SQLITE_OMIT_LOOKASIDE=1
    SQLITE_ENABLE_DBSTAT_VTAB SQLITE_ALLOW_ROWID_IN_VIEW SQLITE_ENABLE_UPDATE_DELETE_LIMIT=1
    SQLITE_ENABLE_LOAD_EXTENSION SQLITE_ENABLE_JSON1 SQLITE_LIKE_DOESNT_MATCH_BLOBS SQLITE_THREADSAFE=1
    SQLITE_ENABLE_FTS3_TOKENIZER=1 SQLITE_USE_URI=1 SQLITE_MAX_SCHEMA_RETRY=25 SQLITE_ENABLE_PREUPDATE_HOOK
    SQLITE_ENABLE_SESSION SQLITE_ENABLE_STMTVTAB SQLITE_MAX_VARIABLE_NUMBER=250000)

set(ZRDB_SQLITE_DIR ${ZRDB_WINDOWS_SOURCES}/sqlite3)
add_library(zrdb_sqlite3 SHARED ${ZRDB_SQLITE_DIR}/sqlite3.c)
target_compile_definitions(zrdb_sqlite3 PRIVATE ${ZRDB_DEBIAN_SQLITE_OPTIONS} "SQLITE_API=__declspec(dllexport)")
target_include_directories(zrdb_sqlite3 SYSTEM INTERFACE ${ZRDB_SQLITE_DIR})
set_target_properties(zrdb_sqlite3 PROPERTIES OUTPUT_NAME sqlite3 PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)
add_library(SQLite::SQLite3 ALIAS zrdb_sqlite3)

# Lua's own Windows build: the core and the standard libraries in one DLL, exporting the API
# (LUA_BUILD_AS_DLL marks it); the interpreter and compiler programs are not needed.
set(ZRDB_LUA_DIR ${ZRDB_WINDOWS_SOURCES}/lua5.1/src)
set(ZRDB_LUA_SOURCES lapi lcode ldebug ldo ldump lfunc lgc llex lmem lobject lopcodes lparser lstate
    lstring ltable ltm lundump lvm lzio lauxlib lbaselib ldblib liolib lmathlib loslib ltablib lstrlib
    loadlib linit)
list(TRANSFORM ZRDB_LUA_SOURCES PREPEND ${ZRDB_LUA_DIR}/)
list(TRANSFORM ZRDB_LUA_SOURCES APPEND .c)
add_library(zrdb_lua51 SHARED ${ZRDB_LUA_SOURCES})
target_compile_definitions(zrdb_lua51 PRIVATE LUA_BUILD_AS_DLL)
target_include_directories(zrdb_lua51 SYSTEM INTERFACE ${ZRDB_LUA_DIR} ${ZRDB_LUA_DIR}/../etc)  # etc: lua.hpp
set_target_properties(zrdb_lua51 PROPERTIES OUTPUT_NAME lua51 PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)
add_library(PkgConfig::LUA ALIAS zrdb_lua51)

# GoogleTest's own CMake build, static and without its install rules; the win32 thread model has
# no pthreads, and GoogleTest uses Windows' own primitives there.
if(ZRDB_BUILD_TESTS)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
    add_subdirectory(${ZRDB_WINDOWS_SOURCES}/googletest ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endif()

# Every program and DLL in one folder, as Windows finds a program's DLLs beside it.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)
