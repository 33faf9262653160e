// A whole load of one 300,000-row data file (about 50 MB: table definitions, rows with attributes
// and child elements, some entities), each comparison made of pairs run back to back so that the
// load of the machine falls on both sides alike:
//   - against a plain loader: pugixml parsing the file, then one prepared insert per table and
//     column set, bound with typed values, in one transaction, on SQLite's own memory set-up.
//     Fresh process: `zrdb load FILE` against a process that runs the plain loader once; warm: a
//     process that loads the file once and then three times more, timing those (the median is
//     kept), for the library's loader and for the plain one. Goal: library / plain <= 0.9.
//   - the library's memory set-up against SQLite's default one (the system allocator), on the
//     same load and on loading the snapshot of its result, fresh and warm. Goal: <= 1.0.
//   - `zrdb load --provenance FILE` against `zrdb load FILE`, fresh processes: what recording
//     every value's file, line and package costs. Goal: <= 1.5.
// SQLite's memory set-up is chosen once per process, so every load runs in a child process: this
// program started again with --child.
#include <benchmark/benchmark.h>
#include <pugixml.hpp>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "ZrGameDatabase/BinaryIO.h"
#include "ZrGameDatabase/Connection.h"
#include "ZrGameDatabase/DataLoader.h"

namespace {

constexpr int kUnits = 120000;
constexpr int kBuildings = 100000;
constexpr int kYields = 80000;
constexpr int kWarmLoads = 3;

std::string g_self;     // this program
std::string g_folder;   // the temporary folder of the data file
std::string g_data;     // the data file
std::string g_snapshot; // the snapshot of its load

bool WriteDataFile(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return false;
    std::fputs("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<GameData>\n"
               "  <Table name=\"Units\">\n"
               "    <Column name=\"ID\" type=\"integer\" primarykey=\"true\" autoincrement=\"true\"/>\n"
               "    <Column name=\"Type\" type=\"text\" notnull=\"true\" unique=\"true\"/>\n"
               "    <Column name=\"Name\" type=\"text\"/>\n    <Column name=\"Cost\" type=\"integer\"/>\n"
               "    <Column name=\"Strength\" type=\"real\"/>\n    <Column name=\"Era\" type=\"text\"/>\n"
               "    <Column name=\"Description\" type=\"text\"/>\n    <Column name=\"Naval\" type=\"boolean\"/>\n"
               "  </Table>\n  <Table name=\"Buildings\">\n"
               "    <Column name=\"Type\" type=\"text\" primarykey=\"true\"/>\n"
               "    <Column name=\"Cost\" type=\"integer\"/>\n    <Column name=\"Maintenance\" type=\"integer\"/>\n"
               "    <Column name=\"Description\" type=\"text\"/>\n  </Table>\n  <Table name=\"Yields\">\n"
               "    <Column name=\"Building\" type=\"text\"/>\n    <Column name=\"Yield\" type=\"text\"/>\n"
               "    <Column name=\"Amount\" type=\"real\"/>\n  </Table>\n  <Units>\n",
               file);
    for (int i = 0; i < kUnits; ++i)
        std::fprintf(file,
                     "    <Row Type=\"UNIT_%06d\" Cost=\"%d\" Strength=\"%d.5\" Era=\"ERA_%d\">\n"
                     "      <Name>Unit number %d</Name>\n"
                     "      <Description>Fights &amp; marches; strength &lt; %d in the open field, and further "
                     "afield</Description>\n      <Naval>%s</Naval>\n    </Row>\n",
                     i, 10 + i % 400, i % 90, i % 8, i, i % 90, i % 7 == 0 ? "true" : "false");
    std::fputs("  </Units>\n  <Buildings>\n", file);
    for (int i = 0; i < kBuildings; ++i)
        std::fprintf(file,
                     "    <Row Type=\"BUILDING_%06d\" Cost=\"%d\" Maintenance=\"%d\""
                     " Description=\"A building of the &quot;%d&quot; kind, with a longer description\"/>\n",
                     i, 50 + i % 300, i % 5, i);
    std::fputs("  </Buildings>\n  <Yields>\n", file);
    for (int i = 0; i < kYields; ++i)
        std::fprintf(file,
                     "    <Row><Building>BUILDING_%06d</Building><Yield>YIELD_%d</Yield>"
                     "<Amount>%d.25</Amount></Row>\n",
                     i, i % 6, i % 10);
    std::fputs("  </Yields>\n</GameData>\n", file);
    return std::fclose(file) == 0;
}

// ==== The plain loader ======================================================================

bool IsTrue(const char* text) {
    return std::strcmp(text, "true") == 0 || std::strcmp(text, "1") == 0;
}

struct PlainTable {
    std::map<std::string, char> kinds;           // column name -> 'i' integer, 'r' real, 'b' boolean, 't' text
    std::map<std::string, sqlite3_stmt*> inserts;  // column list -> its prepared insert
};

void CreateTable(sqlite3* handle, pugi::xml_node definition, std::map<std::string, PlainTable>& tables) {
    PlainTable& table = tables[definition.attribute("name").value()];
    std::string sql = std::string("create table \"") + definition.attribute("name").value() + "\" (";
    const char* separator = "";
    for (pugi::xml_node column : definition.children("Column")) {
        const std::string type = column.attribute("type").value();
        table.kinds[column.attribute("name").value()] =
            type == "integer" ? 'i' : type == "real" ? 'r' : type == "boolean" ? 'b' : 't';
        sql += separator + std::string("\"") + column.attribute("name").value() + "\" " + type;
        if (column.attribute("primarykey").as_bool())
            sql += " primary key";
        if (column.attribute("autoincrement").as_bool())
            sql += " autoincrement";
        if (column.attribute("notnull").as_bool())
            sql += " not null";
        if (column.attribute("unique").as_bool())
            sql += " unique";
        separator = ", ";
    }
    sqlite3_exec(handle, (sql + ")").c_str(), nullptr, nullptr, nullptr);
}

void Bind(sqlite3_stmt* insert, int parameter, char kind, const char* text) {
    switch (kind) {
        case 'i': sqlite3_bind_int64(insert, parameter, std::strtoll(text, nullptr, 10)); break;
        case 'r': sqlite3_bind_double(insert, parameter, std::strtod(text, nullptr)); break;
        case 'b': sqlite3_bind_int(insert, parameter, IsTrue(text) ? 1 : 0); break;
        default: sqlite3_bind_text(insert, parameter, text, -1, SQLITE_STATIC);
    }
}

// Inserts one <Row>: its attributes and then its child elements, as columns.
void InsertRow(sqlite3* handle, const char* name, PlainTable& table, pugi::xml_node row) {
    std::vector<std::pair<const char*, const char*>> values;
    for (pugi::xml_attribute attribute : row.attributes())
        values.emplace_back(attribute.name(), attribute.value());
    for (pugi::xml_node child : row.children())
        values.emplace_back(child.name(), child.child_value());
    std::string columns;
    for (const auto& value : values)
        (columns += value.first) += ',';
    sqlite3_stmt*& insert = table.inserts[columns];
    if (insert == nullptr) {
        std::string sql = std::string("insert into \"") + name + "\" (";
        std::string parameters;
        for (std::size_t index = 0; index < values.size(); ++index) {
            sql += (index > 0 ? ", \"" : "\"") + std::string(values[index].first) + "\"";
            parameters += index > 0 ? ", ?" : "?";
        }
        sqlite3_prepare_v2(handle, (sql + ") values (" + parameters + ")").c_str(), -1, &insert, nullptr);
    }
    for (std::size_t index = 0; index < values.size(); ++index)
        Bind(insert, static_cast<int>(index + 1), table.kinds[values[index].first], values[index].second);
    sqlite3_step(insert);
    sqlite3_reset(insert);
}

// Loads the data file into a new in-memory database; false when it cannot be parsed.
bool PlainLoad(const char* path) {
    pugi::xml_document document;
    if (!document.load_file(path))
        return false;
    sqlite3* handle = nullptr;
    sqlite3_open_v2(":memory:", &handle, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    std::map<std::string, PlainTable> tables;
    sqlite3_exec(handle, "begin", nullptr, nullptr, nullptr);
    for (pugi::xml_node element : document.document_element().children()) {
        if (std::strcmp(element.name(), "Table") == 0) {
            CreateTable(handle, element, tables);
            continue;
        }
        PlainTable& table = tables[element.name()];
        for (pugi::xml_node row : element.children("Row"))
            InsertRow(handle, element.name(), table, row);
    }
    sqlite3_exec(handle, "commit", nullptr, nullptr, nullptr);
    for (auto& [name, table] : tables) {
        for (auto& [columns, insert] : table.inserts)
            sqlite3_finalize(insert);
    }
    sqlite3_close(handle);
    return true;
}

// The library's loader, as `zrdb load` runs it.
bool LibraryLoad(const char* path) {
    Database::Connection connection(nullptr, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    Database::DataLoader loader(connection);
    return loader.AddPath(path, nullptr) && loader.Load(nullptr).failed == 0;
}

// A snapshot of the loaded data file, loaded into a new in-memory database.
bool SnapshotLoad(const char* path) {
    Database::Connection connection(nullptr, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    return Database::BinaryIO(path).Load(connection);
}

// ==== The child processes ===================================================================

double Seconds(bool (*load)(const char*), const char* path) {
    const auto start = std::chrono::steady_clock::now();
    if (!load(path))
        return -1;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// --child SIDE-WORK-WHEN FILE, where SIDE is plain (the plain loader), library (the library's
// loader or snapshot load on its memory set-up) or system (the same on SQLite's default set-up:
// SQLite initialised before the first connection refuses the library's), WORK is load or
// snapshot and WHEN is once or warm. A warm child loads once, then kWarmLoads times more, and
// prints the median seconds of those.
int RunChild(const std::string& mode, const char* path) {
    if (mode.rfind("system", 0) == 0)
        sqlite3_initialize();
    bool (*load)(const char*) = mode.find("-snapshot-") != std::string::npos ? SnapshotLoad
                                : mode.rfind("plain", 0) == 0               ? PlainLoad
                                                                            : LibraryLoad;
    if (mode.find("-warm") == std::string::npos)
        return load(path) ? 0 : 1;
    if (Seconds(load, path) < 0)
        return 1;
    std::vector<double> times;
    for (int round = 0; round < kWarmLoads; ++round)
        times.push_back(Seconds(load, path));
    std::sort(times.begin(), times.end());
    std::printf("%.6f\n", times[kWarmLoads / 2]);
    return times.front() < 0 ? 1 : 0;
}

// Runs command; its wall time, and in printed what it printed; negative when it failed.
double RunTimed(const std::string& command, double* printed) {
    const auto start = std::chrono::steady_clock::now();
    std::FILE* output = popen(command.c_str(), "r");
    if (output == nullptr)
        return -1;
    char line[128] = "";
    const bool read = std::fgets(line, sizeof line, output) != nullptr;
    const int status = pclose(output);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (printed != nullptr)
        *printed = read ? std::atof(line) : -1;
    return status == 0 ? seconds : -1;
}

std::string ChildCommand(const std::string& mode) {
    const std::string& file = mode.find("-snapshot-") != std::string::npos ? g_snapshot : g_data;
    return "'" + g_self + "' --child " + mode + " '" + file + "'";
}

std::string ZrdbCommand(const std::string& options = "") {
    return "cd '" + g_folder + "' && '" ZRDB_PROGRAM "' load --quiet " + options + "--log '" + g_folder +
           "/zrdb.log' '" + g_data + "'";
}

// The time of one run: a fresh process's wall time, or what a warm child printed.
double Measure(const std::string& command, bool warm) {
    double printed = -1;
    const double wall = RunTimed(command, &printed);
    return wall < 0 ? -1 : warm ? printed : wall;
}

// ==== The pairs ===============================================================================

struct PairTimes {
    std::vector<double> library;  // the library's side
    std::vector<double> other;    // the baseline's
};
std::map<std::string, PairTimes> g_pairs;

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// Each iteration runs the library's command and the baseline's, alternating which goes first.
void RunPairs(benchmark::State& state, const std::string& name, const std::string& library,
              const std::string& other, bool warm) {
    PairTimes& pairs = g_pairs[name];
    for (auto _ : state) {
        const bool libraryFirst = pairs.library.size() % 2 == 0;
        const double first = Measure(libraryFirst ? library : other, warm);
        const double second = Measure(libraryFirst ? other : library, warm);
        const double libraryTime = libraryFirst ? first : second;
        const double otherTime = libraryFirst ? second : first;
        if (libraryTime < 0 || otherTime < 0) {
            state.SkipWithError("a load failed");
            return;
        }
        pairs.library.push_back(libraryTime);
        pairs.other.push_back(otherTime);
        state.SetIterationTime(libraryTime + otherTime);
    }
    state.counters["library_ms"] = Median(pairs.library) * 1e3;
    state.counters["baseline_ms"] = Median(pairs.other) * 1e3;
}

// zrdb and the library's loader against the plain loader.
void BM_WholeLoad_FreshProcess(benchmark::State& state) {
    RunPairs(state, "load, fresh: zrdb / plain loader", ZrdbCommand(), ChildCommand("plain-load-once"), false);
}
BENCHMARK(BM_WholeLoad_FreshProcess)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(9);

void BM_WholeLoad_Warm(benchmark::State& state) {
    RunPairs(state, "load, warm: library / plain loader", ChildCommand("library-load-warm"),
             ChildCommand("plain-load-warm"), true);
}
BENCHMARK(BM_WholeLoad_Warm)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

// The provenance record: zrdb recording every value's file, line and package against zrdb without.
void BM_Provenance_FreshProcess(benchmark::State& state) {
    RunPairs(state, "load, fresh: zrdb --provenance / zrdb", ZrdbCommand("--provenance "), ZrdbCommand(), false);
}
BENCHMARK(BM_Provenance_FreshProcess)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(9);

// The library's memory set-up against SQLite's default one, on a load and on a snapshot load.
void BM_MemorySetUp_LoadFresh(benchmark::State& state) {
    RunPairs(state, "load, fresh: library / system memory", ChildCommand("library-load-once"),
             ChildCommand("system-load-once"), false);
}
BENCHMARK(BM_MemorySetUp_LoadFresh)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(9);

void BM_MemorySetUp_LoadWarm(benchmark::State& state) {
    RunPairs(state, "load, warm: library / system memory", ChildCommand("library-load-warm"),
             ChildCommand("system-load-warm"), true);
}
BENCHMARK(BM_MemorySetUp_LoadWarm)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_MemorySetUp_SnapshotFresh(benchmark::State& state) {
    RunPairs(state, "snapshot load, fresh: library / system memory", ChildCommand("library-snapshot-once"),
             ChildCommand("system-snapshot-once"), false);
}
BENCHMARK(BM_MemorySetUp_SnapshotFresh)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(15);

void BM_MemorySetUp_SnapshotWarm(benchmark::State& state) {
    RunPairs(state, "snapshot load, warm: library / system memory", ChildCommand("library-snapshot-warm"),
             ChildCommand("system-snapshot-warm"), true);
}
BENCHMARK(BM_MemorySetUp_SnapshotWarm)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(9);

void PrintRatios() {
    std::printf("\nData file of %.1f MB, snapshot of %.1f MB; median of the pairs' ratios:\n",
                static_cast<double>(std::filesystem::file_size(g_data)) / 1e6,
                static_cast<double>(std::filesystem::file_size(g_snapshot)) / 1e6);
    for (const auto& [name, pairs] : g_pairs) {
        std::vector<double> ratios;
        for (std::size_t index = 0; index < pairs.library.size(); ++index)
            ratios.push_back(pairs.library[index] / pairs.other[index]);
        if (!ratios.empty())
            std::printf("  time %-46s %6.3f   (%.1f ms against %.1f ms)\n", name.c_str(), Median(ratios),
                        Median(pairs.library) * 1e3, Median(pairs.other) * 1e3);
    }
}

// Writes the data file and the snapshot of its load.
bool WriteFiles() {
    if (!WriteDataFile(g_data))
        return false;
    Database::Connection connection(nullptr, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    Database::DataLoader loader(connection);
    return loader.AddPath(g_data.c_str(), nullptr) && loader.Load(nullptr).failed == 0 &&
           Database::BinaryIO(g_snapshot.c_str()).Save(connection);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--child") == 0)
        return RunChild(argv[2], argv[3]);
    // --write FILE: only writes the data file, to profile a load of it by hand.
    if (argc == 3 && std::strcmp(argv[1], "--write") == 0)
        return WriteDataFile(argv[2]) ? 0 : 1;
    g_self = std::filesystem::canonical("/proc/self/exe").string();
    char pattern[] = "/tmp/zrdb-whole-load-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        return 1;
    g_folder = pattern;
    g_data = g_folder + "/data.xml";
    g_snapshot = g_folder + "/snapshot.db";
    int status = 1;
    if (WriteFiles()) {
        benchmark::Initialize(&argc, argv);
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
        PrintRatios();
        status = 0;
    } else {
        std::fprintf(stderr, "whole_load_bench: cannot write the data file and its snapshot in %s\n",
                     g_folder.c_str());
    }
    std::error_code ignored;
    std::filesystem::remove_all(g_folder, ignored);
    return status;
}
