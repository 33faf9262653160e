// What scripts pay for reading the database through the Lua binding, against the cheapest binding
// one could write by hand, measured in the same run with the same Lua scripts:
//  - the minimal binding (below) is a userdata whose __index binds a statement prepared once,
//    steps it, pushes a plain table of the row (lua_setfield per column) and resets; whose
//    __call prepares `select * from T [where ...]` and returns an iterator stepping it row by row;
//  - cached lookups (T.UNIT_5, T[5] found in the row cache) are judged against the floor of any
//    userdata lookup: a C __index doing one rawget in a table of rows;
//  - uncached lookups read every row of a fresh table object once, by ID and by Type;
//  - iterations (`for row in T() do`) read a 4-column and an 18-column table, once with a fresh
//    table object (every row converted) and once with a warm one, and a string filter;
//  - the Lua heap a script holds after keeping every row of a table, for each binding.
// After the benchmarks the program prints ns per row for each pair, their ratio and the target.
// Timings on a shared machine drift between runs, so by default every benchmark runs 5 times,
// interleaved in random order, and the summary compares medians.
#include <benchmark/benchmark.h>
#include <lua.hpp>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "ZrGameDatabase/Connection.h"
#include "ZrGameDatabase/DatabaseResults.h"
#include "ZrGameDatabase/ScriptingLua.h"

namespace {

using Database::Connection;
using Database::Results;
using Database::Scripting::Lua;

constexpr int kRows = 10000;           // rows of each table, each read once per iteration
constexpr int kCachedLookups = 1000;   // cached lookups per Lua call, so the call's own cost vanishes

// {==== The minimal binding: prepare once, bind, step, a plain table per row

// Pushes the current row of statement as a plain table, one field per column with a value.
void PushPlainRow(lua_State* L, sqlite3_stmt* statement) {
    const int columns = sqlite3_column_count(statement);
    lua_createtable(L, 0, columns);
    for (int column = 0; column < columns; ++column) {
        switch (sqlite3_column_type(statement, column)) {
        case SQLITE_INTEGER:
            lua_pushnumber(L, static_cast<lua_Number>(sqlite3_column_int64(statement, column)));
            break;
        case SQLITE_FLOAT:
            lua_pushnumber(L, sqlite3_column_double(statement, column));
            break;
        case SQLITE_TEXT:
            lua_pushstring(L, reinterpret_cast<const char*>(sqlite3_column_text(statement, column)));
            break;
        default:
            continue;
        }
        lua_setfield(L, -2, sqlite3_column_name(statement, column));
    }
}

struct MinimalTable {
    sqlite3* db;
    sqlite3_stmt* byId;
    sqlite3_stmt* byType;
    char name[64];
};

struct MinimalCursor {
    sqlite3_stmt* statement;  // null once finished
};

int MinimalIndex(lua_State* L) {
    auto* table = static_cast<MinimalTable*>(lua_touserdata(L, 1));
    sqlite3_stmt* statement = nullptr;
    if (lua_type(L, 2) == LUA_TNUMBER) {
        statement = table->byId;
        sqlite3_bind_int64(statement, 1, static_cast<sqlite3_int64>(lua_tonumber(L, 2)));
    } else {
        statement = table->byType;
        std::size_t length = 0;
        const char* key = lua_tolstring(L, 2, &length);
        sqlite3_bind_text(statement, 1, key, static_cast<int>(length), SQLITE_STATIC);
    }
    if (sqlite3_step(statement) == SQLITE_ROW)
        PushPlainRow(L, statement);
    else
        lua_pushnil(L);
    sqlite3_reset(statement);
    return 1;
}

int MinimalFinishCursor(lua_State* L) {
    auto* cursor = static_cast<MinimalCursor*>(lua_touserdata(L, 1));
    sqlite3_finalize(cursor->statement);
    cursor->statement = nullptr;
    return 0;
}

int MinimalNextRow(lua_State* L) {
    auto* cursor = static_cast<MinimalCursor*>(lua_touserdata(L, lua_upvalueindex(1)));
    if (cursor->statement != nullptr && sqlite3_step(cursor->statement) == SQLITE_ROW) {
        PushPlainRow(L, cursor->statement);
        return 1;
    }
    sqlite3_finalize(cursor->statement);
    cursor->statement = nullptr;
    lua_pushnil(L);
    return 1;
}

int MinimalCall(lua_State* L) {
    auto* table = static_cast<MinimalTable*>(lua_touserdata(L, 1));
    char sql[512];
    if (lua_type(L, 2) == LUA_TSTRING)
        std::snprintf(sql, sizeof sql, "select * from %s where %s", table->name, lua_tostring(L, 2));
    else
        std::snprintf(sql, sizeof sql, "select * from %s", table->name);
    auto* cursor = static_cast<MinimalCursor*>(lua_newuserdata(L, sizeof(MinimalCursor)));
    cursor->statement = nullptr;
    lua_createtable(L, 0, 1);
    lua_pushcfunction(L, MinimalFinishCursor);
    lua_setfield(L, -2, "__gc");
    lua_setmetatable(L, -2);
    sqlite3_prepare_v2(table->db, sql, -1, &cursor->statement, nullptr);
    lua_pushcclosure(L, MinimalNextRow, 1);
    return 1;
}

int MinimalFinishTable(lua_State* L) {
    auto* table = static_cast<MinimalTable*>(lua_touserdata(L, 1));
    sqlite3_finalize(table->byId);
    sqlite3_finalize(table->byType);
    return 0;
}

void PushMinimalTable(lua_State* L, sqlite3* db, const char* name) {
    auto* table = static_cast<MinimalTable*>(lua_newuserdata(L, sizeof(MinimalTable)));
    table->db = db;
    std::snprintf(table->name, sizeof table->name, "%s", name);
    char sql[128];
    std::snprintf(sql, sizeof sql, "select * from %s where ROWID = ? LIMIT 1", name);
    sqlite3_prepare_v2(db, sql, -1, &table->byId, nullptr);
    std::snprintf(sql, sizeof sql, "select * from %s where Type = ? LIMIT 1", name);
    sqlite3_prepare_v2(db, sql, -1, &table->byType, nullptr);
    lua_createtable(L, 0, 3);
    lua_pushcfunction(L, MinimalIndex);
    lua_setfield(L, -2, "__index");
    lua_pushcfunction(L, MinimalCall);
    lua_setfield(L, -2, "__call");
    lua_pushcfunction(L, MinimalFinishTable);
    lua_setfield(L, -2, "__gc");
    lua_setmetatable(L, -2);
}

// The floor of a cached lookup through any userdata: a C __index doing one rawget.
int FloorIndex(lua_State* L) {
    lua_settop(L, 2);
    lua_rawget(L, lua_upvalueindex(1));
    return 1;
}

// Pushes a userdata whose __index reads the rows table on top of the stack (popped).
void PushFloorTable(lua_State* L) {
    lua_newuserdata(L, 1);
    lua_insert(L, -2);
    lua_createtable(L, 0, 1);
    lua_insert(L, -2);
    lua_pushcclosure(L, FloorIndex, 1);
    lua_setfield(L, -2, "__index");
    lua_setmetatable(L, -2);
}

// }====

// {==== The world: two tables, a Lua state, the scripts

enum class Binding { Library, Minimal };

struct World {
    Connection connection{nullptr, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE};
    lua_State* state = nullptr;

    World() {
        connection.Execute("create table Narrow (ID integer primary key, Type text unique, Cost integer, "
                           "Strength real)");
        connection.Execute("create table Wide (ID integer primary key, Type text unique, Name text, "
                           "Description text, Cost integer, Upkeep real, Moves integer, Strength integer, "
                           "RangedStrength integer, Range integer, Era text, Domain text, Enabled boolean, "
                           "Stealthy boolean, Sight integer, Promotion text, PrereqTech text, Obsolete integer)");
        connection.Execute("begin");
        Fill("insert into Narrow (Type, Cost, Strength) values (?1, ?2 % 500, ?2 * 0.25)");
        Fill("insert into Wide (Type, Name, Description, Cost, Upkeep, Moves, Strength, RangedStrength, Range, "
             "Era, Domain, Enabled, Stealthy, Sight, Promotion, PrereqTech, Obsolete) values (?1, 'Unit ' || ?2, "
             "'A unit of the benchmark, described at some length.', ?2 % 500, ?2 * 0.5, 2, ?2 % 40, ?2 % 30, 2, "
             "'ERA_IRON', 'DOMAIN_LAND', ?2 & 1, 0, 2, NULL, 'TECH_BRONZE', NULL)");
        connection.Execute("commit");
        state = luaL_newstate();
        luaL_openlibs(state);
        // The keys of the lookups by Type, made once.
        lua_createtable(state, kRows, 0);
        for (int row = 1; row <= kRows; ++row) {
            lua_pushfstring(state, "UNIT_%d", row);
            lua_rawseti(state, -2, row);
        }
        lua_setglobal(state, "Types");
    }
    ~World() { lua_close(state); }

    // Inserts kRows rows through sql, which binds the Type as ?1 and the row's number as ?2.
    void Fill(const char* sql) {
        Results insert;
        connection.Execute(insert, sql);
        char type[32];
        for (int row = 1; row <= kRows; ++row) {
            std::snprintf(type, sizeof type, "UNIT_%d", row);
            insert.Bind(1, type, true);
            insert.Bind(2, row);
            insert.Execute();
            insert.Reset();
        }
    }

    // Pushes a table object of the binding for the table called name.
    void PushTable(Binding binding, const char* name) {
        if (binding == Binding::Library)
            Lua::PushDatabaseTable(state, connection, name);
        else
            PushMinimalTable(state, connection.Handle(), name);
    }

    // Compiles source ("return function(T) ... end") and leaves the function on the stack.
    void PushFunction(const char* source) {
        if (luaL_loadstring(state, source) != 0 || lua_pcall(state, 0, 1, 0) != 0) {
            std::fprintf(stderr, "lua_bench: %s\n", lua_tostring(state, -1));
            std::abort();
        }
    }

    // Calls the function at index with the value at argument, leaving results results.
    void Call(int function, int argument, int results = 0) {
        lua_pushvalue(state, function);
        lua_pushvalue(state, argument);
        if (lua_pcall(state, 1, results, 0) != 0) {
            std::fprintf(stderr, "lua_bench: %s\n", lua_tostring(state, -1));
            std::abort();
        }
    }

    void Collect() { lua_gc(state, LUA_GCCOLLECT, 0); }

    // The bytes the Lua heap holds after a full collection.
    long HeapBytes() {
        Collect();
        return lua_gc(state, LUA_GCCOUNT, 0) * 1024L + lua_gc(state, LUA_GCCOUNTB, 0);
    }
};

World& TheWorld() {
    static World world;
    return world;
}

void SetRows(benchmark::State& state, double perIteration) {
    state.counters["rows"] = benchmark::Counter(perIteration);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * perIteration));
}

constexpr char kById[] = "return function(T) local row for i = 1, 10000 do row = T[i] end return row end";
constexpr char kByType[] =
    "return function(T) local row, types = nil, Types for i = 1, 10000 do row = T[types[i]] end return row end";
constexpr char kIterate[] = "return function(T) local n = 0 for row in T() do n = n + 1 end return n end";
// A fifth of the rows.
constexpr char kIterateFiltered[] =
    "return function(T) local n = 0 for row in T('Cost < 100') do n = n + 1 end return n end";
constexpr char kKeepEveryRow[] =
    "return function(T) local kept = {} for row in T() do kept[#kept + 1] = row end return kept end";

// Runs script on a table object of the binding per iteration. fresh: a new table object each
// time (made, like the collection of the last one's garbage, outside the timing); else one object
// used once before the timing starts, so that the library's row cache holds every row.
void RunScript(benchmark::State& state, Binding binding, const char* table, const char* script, bool fresh,
               int rows) {
    World& world = TheWorld();
    lua_State* L = world.state;
    const int top = lua_gettop(L);
    world.PushFunction(script);
    const int function = lua_gettop(L);
    world.PushTable(binding, table);
    world.Call(function, function + 1);
    for (auto _ : state) {
        if (fresh) {
            state.PauseTiming();
            lua_settop(L, function);
            world.Collect();
            world.PushTable(binding, table);
            state.ResumeTiming();
        }
        world.Call(function, function + 1);
    }
    lua_settop(L, top);
    world.Collect();
    SetRows(state, rows);
}

// }====

// {==== Cached lookups against the userdata floor

constexpr char kCachedByType[] =
    "return function(T) local row for i = 1, 1000 do row = T.UNIT_5 end return row end";
constexpr char kCachedById[] = "return function(T) local row for i = 1, 1000 do row = T[5] end return row end";

void RunCachedLookups(benchmark::State& state, const char* script, bool floor) {
    World& world = TheWorld();
    lua_State* L = world.state;
    const int top = lua_gettop(L);
    if (floor) {
        world.PushFunction("return function() local row = {ID = 5, Type = 'UNIT_5'} "
                           "return {UNIT_5 = row, [5] = row} end");
        lua_call(L, 0, 1);
        PushFloorTable(L);
    } else {
        Lua::PushDatabaseTable(L, world.connection, "Narrow");
    }
    const int table = lua_gettop(L);
    world.PushFunction(script);
    const int function = lua_gettop(L);
    world.Call(function, table);  // the first call fills the row cache
    for (auto _ : state)
        world.Call(function, table);
    lua_settop(L, top);
    SetRows(state, kCachedLookups);
}

void BM_CachedByType(benchmark::State& state) { RunCachedLookups(state, kCachedByType, false); }
void BM_FloorByType(benchmark::State& state) { RunCachedLookups(state, kCachedByType, true); }
void BM_CachedById(benchmark::State& state) { RunCachedLookups(state, kCachedById, false); }
void BM_FloorById(benchmark::State& state) { RunCachedLookups(state, kCachedById, true); }
BENCHMARK(BM_CachedByType);
BENCHMARK(BM_FloorByType);
BENCHMARK(BM_CachedById);
BENCHMARK(BM_FloorById);

// }====

// {==== Uncached lookups, iterations and a filter, each against the minimal binding

#define PAIR(name, table, script, fresh, rows)                                                           \
    void BM_##name##_Library(benchmark::State& state) {                                                \
        RunScript(state, Binding::Library, table, script, fresh, rows);                                \
    }                                                                                                  \
    void BM_##name##_Minimal(benchmark::State& state) {                                                \
        RunScript(state, Binding::Minimal, table, script, fresh, rows);                                \
    }                                                                                                  \
    BENCHMARK(BM_##name##_Library)->Unit(benchmark::kMicrosecond);                                     \
    BENCHMARK(BM_##name##_Minimal)->Unit(benchmark::kMicrosecond);

PAIR(UncachedById, "Narrow", kById, true, kRows)
PAIR(UncachedByType, "Narrow", kByType, true, kRows)
PAIR(IterateNarrow, "Narrow", kIterate, true, kRows)
PAIR(IterateWide, "Wide", kIterate, true, kRows)
PAIR(IterateNarrowWarm, "Narrow", kIterate, false, kRows)
PAIR(FilterNarrow, "Narrow", kIterateFiltered, true, kRows / 5)

#undef PAIR

// The Lua heap a script holds after keeping every row of table, table object included.
long HeldHeap(Binding binding, const char* table) {
    World& world = TheWorld();
    lua_State* L = world.state;
    const int top = lua_gettop(L);
    world.PushFunction(kKeepEveryRow);
    const int function = lua_gettop(L);
    const long before = world.HeapBytes();
    world.PushTable(binding, table);
    world.Call(function, function + 1, 1);
    const long after = world.HeapBytes();
    lua_settop(L, top);
    world.Collect();
    return after - before;
}

// }====

// {==== Report

// Shows the runs as usual and keeps each one's wall-clock and CPU time per row for the summary,
// which compares the medians of the repetitions.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const auto rows = run.counters.find("rows");
            if (run.error_occurred || run.run_type != Run::RT_Iteration || rows == run.counters.end()
                || run.iterations == 0)
                continue;
            const double operations = static_cast<double>(run.iterations) * rows->second.value;
            Samples& samples = m_samples[run.benchmark_name()];
            samples.real.push_back(run.real_accumulated_time * 1e9 / operations);
            samples.cpu.push_back(run.cpu_accumulated_time * 1e9 / operations);
        }
    }

    void PrintSummary() const {
        std::printf("\n%-28s %9s %9s   %-28s %9s %9s %7s %7s %7s\n", "medians per row", "real ns", "cpu ns",
                    "baseline", "real ns", "cpu ns", "real", "cpu", "target");
        Compare("BM_CachedByType", "BM_FloorByType", "~1.00");
        Compare("BM_CachedById", "BM_FloorById", "~1.00");
        Compare("BM_UncachedById_Library", "BM_UncachedById_Minimal", "<=1.00");
        Compare("BM_UncachedByType_Library", "BM_UncachedByType_Minimal", "<=1.00");
        Compare("BM_IterateNarrow_Library", "BM_IterateNarrow_Minimal", "<=1.20");
        Compare("BM_IterateWide_Library", "BM_IterateWide_Minimal", "<=1.20");
        Compare("BM_IterateNarrowWarm_Library", "BM_IterateNarrowWarm_Minimal", "<=1.20");
        Compare("BM_FilterNarrow_Library", "BM_FilterNarrow_Minimal", "<=1.20");
    }

private:
    struct Samples {
        std::vector<double> real;
        std::vector<double> cpu;
    };

    static double Median(std::vector<double> values) {
        std::sort(values.begin(), values.end());
        const std::size_t middle = values.size() / 2;
        return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
    }

    void Compare(const char* measured, const char* baseline, const char* target) const {
        const auto left = m_samples.find(measured);
        const auto right = m_samples.find(baseline);
        if (left == m_samples.end() || right == m_samples.end())
            return;  // filtered out of this run
        const double mReal = Median(left->second.real), mCpu = Median(left->second.cpu);
        const double bReal = Median(right->second.real), bCpu = Median(right->second.cpu);
        std::printf("%-28s %9.1f %9.1f   %-28s %9.1f %9.1f %6.2fx %6.2fx %7s\n", measured + 3, mReal, mCpu,
                    baseline + 3, bReal, bCpu, mReal / bReal, mCpu / bCpu, target);
    }

    std::map<std::string, Samples> m_samples;  // every repetition of each benchmark
};

void PrintHeldHeap() {
    std::printf("\n%-28s %12s %12s %7s %7s\n", "heap held, every row kept", "library B", "minimal B", "ratio",
                "target");
    for (const char* table : {"Narrow", "Wide"}) {
        const long library = HeldHeap(Binding::Library, table);
        const long minimal = HeldHeap(Binding::Minimal, table);
        std::printf("%-28s %12ld %12ld %6.2fx %7s\n", table, library, minimal,
                    static_cast<double>(library) / static_cast<double>(minimal), "<=3.00");
    }
}

// }====

}  // namespace

int main(int argc, char** argv) {
    // The defaults come first, so that the same flags given on the command line win.
    std::vector<char*> arguments(argv, argv + argc);
    char repetitions[] = "--benchmark_repetitions=5";
    char interleaving[] = "--benchmark_enable_random_interleaving=true";
    char minimumTime[] = "--benchmark_min_time=0.2";
    arguments.insert(arguments.begin() + 1, {repetitions, interleaving, minimumTime});
    argc = static_cast<int>(arguments.size());
    argv = arguments.data();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintSummary();
    PrintHeldHeap();
    benchmark::Shutdown();
    return 0;
}
