// What scripts pay for reading the database through the Lua binding, each figure beside the
// baseline it should be judged against, measured in the same run:
//  - a cached row lookup (T.SOME_TYPE, T[5]) against reading a field of a plain Lua table;
//  - an uncached lookup against binding, stepping and resetting the same statement by hand and
//    building the row's table with the C interface: once with a fresh table object per lookup
//    (what a script pays the first time it touches a table), once on a table object whose row
//    cache cannot hold the row (a table without an ID column, looked up by number);
//  - iterating all rows of a 100,000-row table with `for row in T() do` against building the same
//    row tables by hand from one statement, with a fresh table object (every row converted) and
//    with a warm one (every row found in the row cache).
// After the benchmarks the program prints ns per operation and each ratio to its baseline.
#include <benchmark/benchmark.h>
#include <lua.hpp>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
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

constexpr int kSmallRows = 100;
constexpr int kLargeRows = 100000;
constexpr int kLookupsPerCall = 1000;  // lookups per Lua call, so the call's own cost vanishes

// A connection with the two tables the benchmarks read, and a Lua state with the database object.
struct World {
    Connection connection{nullptr, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE};
    lua_State* state = nullptr;

    World() {
        Fill("Units", kSmallRows, true);
        Fill("Loose", kSmallRows, false);
        Fill("Big", kLargeRows, true);
        state = luaL_newstate();
        luaL_openlibs(state);
        Lua::PushDatabase(state, connection);
        lua_setglobal(state, "DB");
    }
    ~World() { lua_close(state); }

    // A rule table of rows: ID (when withId), Type, Cost, Strength, Enabled, Description.
    void Fill(const char* name, int rows, bool withId) {
        char sql[512];
        std::snprintf(sql, sizeof sql,
                      "create table %s (%s Type text unique, Cost integer, Strength real, Enabled boolean, "
                      "Description text)",
                      name, withId ? "ID integer primary key," : "");
        connection.Execute(sql);
        connection.Execute("begin");
        std::snprintf(sql, sizeof sql,
                      "insert into %s (Type, Cost, Strength, Enabled, Description) values (?, ?, ?, ?, ?)", name);
        Results insert;
        connection.Execute(insert, sql);
        char type[32];
        for (int row = 1; row <= rows; ++row) {
            std::snprintf(type, sizeof type, "UNIT_%d", row);
            insert.Bind(1, type, true);
            insert.Bind(2, row % 500);
            insert.Bind(3, row * 0.25);
            insert.Bind(4, row & 1);
            insert.Bind(5, "A unit of the benchmark, described at some length.", false);
            insert.Execute();
            insert.Reset();
        }
        connection.Execute("commit");
    }

    // Compiles a Lua function from source ("return function(...) ... end") and leaves it on the stack.
    void PushFunction(const char* source) {
        if (luaL_loadstring(state, source) != 0 || lua_pcall(state, 0, 1, 0) != 0) {
            std::fprintf(stderr, "lua_bench: %s\n", lua_tostring(state, -1));
            std::abort();
        }
    }

    // Calls the function on top of the stack with one argument, keeping the function.
    void CallKeeping(int argumentIndex) {
        lua_pushvalue(state, -1);
        lua_pushvalue(state, argumentIndex);
        if (lua_pcall(state, 1, 0, 0) != 0) {
            std::fprintf(stderr, "lua_bench: %s\n", lua_tostring(state, -1));
            std::abort();
        }
    }
};

World& TheWorld() {
    static World world;
    return world;
}

void SetOperations(benchmark::State& state, double perIteration) {
    state.counters["ops"] = benchmark::Counter(perIteration);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * perIteration));
}

// {==== Cached lookups against a plain table

constexpr char kLookupByType[] =
    "return function(T) local row for i = 1, 1000 do row = T.UNIT_5 end return row end";
constexpr char kLookupByNumber[] =
    "return function(T) local row for i = 1, 1000 do row = T[5] end return row end";

void RunLookups(benchmark::State& state, const char* source, bool plainTable) {
    World& world = TheWorld();
    lua_State* L = world.state;
    const int top = lua_gettop(L);
    if (plainTable) {
        // A plain table with the same keys, its row as a plain table too.
        world.PushFunction("return function() local row = {ID = 5, Type = 'UNIT_5'} "
                           "return {UNIT_5 = row, [5] = row} end");
        lua_call(L, 0, 1);
    } else {
        Lua::PushDatabaseTable(L, world.connection, "Units");
    }
    const int table = lua_gettop(L);
    world.PushFunction(source);
    world.CallKeeping(table);  // the first call fills the row cache
    for (auto _ : state)
        world.CallKeeping(table);
    lua_settop(L, top);
    SetOperations(state, kLookupsPerCall);
}

void BM_CachedLookupByType(benchmark::State& state) { RunLookups(state, kLookupByType, false); }
void BM_PlainFieldByType(benchmark::State& state) { RunLookups(state, kLookupByType, true); }
void BM_CachedLookupByNumber(benchmark::State& state) { RunLookups(state, kLookupByNumber, false); }
void BM_PlainFieldByNumber(benchmark::State& state) { RunLookups(state, kLookupByNumber, true); }
BENCHMARK(BM_CachedLookupByType);
BENCHMARK(BM_PlainFieldByType);
BENCHMARK(BM_CachedLookupByNumber);
BENCHMARK(BM_PlainFieldByNumber);

// }====

// {==== Uncached lookups against bind, step, reset and a hand-built table

// Pushes a plain table of the current row's columns, as a host would build it by hand.
void PushRowByHand(lua_State* L, Results& results) {
    const int columns = results.ColumnCount();
    lua_createtable(L, 0, columns);
    for (int column = 0; column < columns; ++column) {
        switch (results.ColumnType(column)) {
        case Database::ColumnTypes::Integer:
            lua_pushnumber(L, static_cast<lua_Number>(results.GetInt64(column)));
            break;
        case Database::ColumnTypes::Float:
            lua_pushnumber(L, results.GetDouble(column));
            break;
        case Database::ColumnTypes::Text:
            lua_pushstring(L, results.GetText(column));
            break;
        case Database::ColumnTypes::Boolean:
            lua_pushboolean(L, results.GetBool(column));
            break;
        default:
            lua_pushnil(L);
            break;
        }
        lua_setfield(L, -2, results.ColumnName(column));
    }
}

void BM_FreshTableObjectLookup(benchmark::State& state) {
    World& world = TheWorld();
    lua_State* L = world.state;
    for (auto _ : state) {
        Lua::PushDatabaseTable(L, world.connection, "Units");
        lua_getfield(L, -1, "UNIT_5");
        benchmark::DoNotOptimize(lua_touserdata(L, -1));
        lua_settop(L, -3);
    }
    SetOperations(state, 1);
}

void BM_UncachedLookup(benchmark::State& state) {
    World& world = TheWorld();
    lua_State* L = world.state;
    const int top = lua_gettop(L);
    // Loose has no ID column: a number key is never found in its row cache.
    Lua::PushDatabaseTable(L, world.connection, "Loose");
    const int table = lua_gettop(L);
    world.PushFunction("return function(T) local row for i = 1, 1000 do row = T[5] end return row end");
    world.CallKeeping(table);
    for (auto _ : state)
        world.CallKeeping(table);
    lua_settop(L, top);
    SetOperations(state, kLookupsPerCall);
}

// The baseline: the lookup statement prepared once, then bound, stepped and reset per lookup, the
// row pushed as a plain table.
void RunHandWrittenLookup(benchmark::State& state, const char* sql, bool byType) {
    World& world = TheWorld();
    lua_State* L = world.state;
    Results statement;
    world.connection.Execute(statement, sql);
    for (auto _ : state) {
        if (byType)
            statement.Bind(1, "UNIT_5", true);
        else
            statement.Bind(1, 5);
        if (statement.Step())
            PushRowByHand(L, statement);
        else
            lua_pushnil(L);
        statement.Reset();
        lua_pop(L, 1);
    }
    SetOperations(state, 1);
}

void BM_HandWrittenLookupByType(benchmark::State& state) {
    RunHandWrittenLookup(state, "select * from Units where Type = ? LIMIT 1", true);
}
void BM_HandWrittenLookupByRowid(benchmark::State& state) {
    RunHandWrittenLookup(state, "select * from Loose where ROWID = ? LIMIT 1", false);
}
BENCHMARK(BM_FreshTableObjectLookup);
BENCHMARK(BM_HandWrittenLookupByType);
BENCHMARK(BM_UncachedLookup);
BENCHMARK(BM_HandWrittenLookupByRowid);

// }====

// {==== Iterating 100,000 rows against building them by hand

constexpr char kIterate[] = "return function(T) local n = 0 for row in T() do n = n + 1 end return n end";

void RunIteration(benchmark::State& state, bool freshTable) {
    World& world = TheWorld();
    lua_State* L = world.state;
    const int top = lua_gettop(L);
    world.PushFunction(kIterate);
    const int function = lua_gettop(L);
    Lua::PushDatabaseTable(L, world.connection, "Big");
    const int table = lua_gettop(L);
    lua_pushvalue(L, function);
    world.CallKeeping(table);  // warms the row cache of this table object
    lua_pop(L, 1);
    for (auto _ : state) {
        if (freshTable) {
            state.PauseTiming();
            lua_settop(L, function);
            lua_gc(L, LUA_GCCOLLECT, 0);
            Lua::PushDatabaseTable(L, world.connection, "Big");
            state.ResumeTiming();
        }
        lua_pushvalue(L, function);
        world.CallKeeping(function + 1);
        lua_pop(L, 1);
    }
    lua_settop(L, top);
    lua_gc(L, LUA_GCCOLLECT, 0);
    SetOperations(state, kLargeRows);
}

void BM_IterateFreshTable(benchmark::State& state) { RunIteration(state, true); }
void BM_IterateWarmTable(benchmark::State& state) { RunIteration(state, false); }

void BM_BuildRowsByHand(benchmark::State& state) {
    World& world = TheWorld();
    lua_State* L = world.state;
    Results statement;
    world.connection.Execute(statement, "select * from Big");
    for (auto _ : state) {
        state.PauseTiming();
        lua_gc(L, LUA_GCCOLLECT, 0);
        state.ResumeTiming();
        lua_createtable(L, 0, 0);
        int position = 1;
        while (statement.Step()) {
            PushRowByHand(L, statement);
            lua_rawseti(L, -2, position++);
        }
        statement.Reset();
        lua_pop(L, 1);
    }
    lua_gc(L, LUA_GCCOLLECT, 0);
    SetOperations(state, kLargeRows);
}
BENCHMARK(BM_IterateFreshTable)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IterateWarmTable)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BuildRowsByHand)->Unit(benchmark::kMillisecond);

// }====

// {==== Report

// Shows the runs as usual and keeps each one's wall-clock and CPU time per operation for the
// summary. On a shared machine the CPU figures are the steadier ones.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const auto ops = run.counters.find("ops");
            if (run.error_occurred || run.run_type != Run::RT_Iteration || ops == run.counters.end()
                || run.iterations == 0)
                continue;
            const double operations = static_cast<double>(run.iterations) * ops->second.value;
            m_times[run.benchmark_name()] = {run.real_accumulated_time * 1e9 / operations,
                                             run.cpu_accumulated_time * 1e9 / operations};
        }
    }

    void PrintSummary() const {
        std::printf("\n%-26s %10s %10s   %-26s %10s %10s %8s %8s\n", "operation", "real ns/op", "cpu ns/op",
                    "baseline", "real ns/op", "cpu ns/op", "real", "cpu");
        Compare("BM_CachedLookupByType", "BM_PlainFieldByType");
        Compare("BM_CachedLookupByNumber", "BM_PlainFieldByNumber");
        Compare("BM_FreshTableObjectLookup", "BM_HandWrittenLookupByType");
        Compare("BM_UncachedLookup", "BM_HandWrittenLookupByRowid");
        Compare("BM_IterateFreshTable", "BM_BuildRowsByHand");
        Compare("BM_IterateWarmTable", "BM_BuildRowsByHand");
    }

private:
    struct Times {
        double real;
        double cpu;
    };

    void Compare(const char* measured, const char* baseline) const {
        const auto left = m_times.find(measured);
        const auto right = m_times.find(baseline);
        if (left == m_times.end() || right == m_times.end())
            return;  // filtered out of this run
        const Times& m = left->second;
        const Times& b = right->second;
        std::printf("%-26s %10.1f %10.1f   %-26s %10.1f %10.1f %7.2fx %7.2fx\n", measured + 3, m.real, m.cpu,
                    baseline + 3, b.real, b.cpu, m.real / b.real, m.cpu / b.cpu);
    }

    std::map<std::string, Times> m_times;  // the last run of each benchmark
};

// }====

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintSummary();
    benchmark::Shutdown();
    return 0;
}
