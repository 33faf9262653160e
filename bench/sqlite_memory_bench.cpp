// SQLite inserting rows on the library's memory set-up (private heap, static page cache, no
// lookaside) against SQLite's own default allocator. SQLite's memory configuration can only be
// chosen before it is initialised, so one run of this program measures one set-up, chosen with
//     --allocator=library   (the default)   or   --allocator=system
// and `make bench` runs both one after the other and prints the ratio.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "ZrGameDatabase/Connection.h"

namespace {

constexpr int kRows = 200000;

bool g_libraryMemory = true;

// Inserts kRows rows of a typical rule table (integer key, a type name, a description, numbers)
// inside one transaction.
void InsertRows(sqlite3* handle) {
    sqlite3_exec(handle,
                 "create table Units (ID integer primary key, Type text not null unique, "
                 "Description text, Cost integer, Strength real, Enabled boolean)",
                 nullptr, nullptr, nullptr);
    sqlite3_exec(handle, "begin", nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(handle, "insert into Units (Type, Description, Cost, Strength, Enabled) values (?, ?, ?, ?, ?)",
                       -1, &insert, nullptr);
    char type[32];
    char description[96];
    for (int row = 0; row < kRows; ++row) {
        std::snprintf(type, sizeof type, "UNIT_NUMBER_%d", row);
        std::snprintf(description, sizeof description, "The unit of row %d, described at some length.", row);
        sqlite3_bind_text(insert, 1, type, -1, SQLITE_STATIC);
        sqlite3_bind_text(insert, 2, description, -1, SQLITE_STATIC);
        sqlite3_bind_int(insert, 3, row % 500);
        sqlite3_bind_double(insert, 4, row * 0.25);
        sqlite3_bind_int(insert, 5, row & 1);
        sqlite3_step(insert);
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    sqlite3_exec(handle, "commit", nullptr, nullptr, nullptr);
}

void BM_InsertRows(benchmark::State& state) {
    for (auto _ : state) {
        sqlite3* handle = nullptr;
        sqlite3_open_v2(":memory:", &handle, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
        InsertRows(handle);
        sqlite3_close(handle);
    }
    state.SetItemsProcessed(state.iterations() * kRows);
    state.SetLabel(g_libraryMemory ? "library memory" : "system allocator");
}
BENCHMARK(BM_InsertRows)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--allocator=system") == 0)
            g_libraryMemory = false;
        else if (std::strcmp(argv[i], "--allocator=library") == 0)
            g_libraryMemory = true;
    }
    if (g_libraryMemory) {
        // The first connection configures and initialises SQLite the library's way.
        Database::Connection setUp;
    } else {
        sqlite3_initialize();
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
