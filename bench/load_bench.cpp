// Loading a data file against the limit of the engine. One generated file of about 24 MB (three
// tables, 150,000 rows, attributes and child elements mixed, some entities) is
//   - loaded with XMLSerializer::LoadFromMemory                          (BM_Load)
//   - only parsed by the XML reader                                      (BM_Parse)
//   - inserted as rows whose values were extracted beforehand, through
//     prepared statements in one transaction                             (BM_RawInsert)
// The loader's goal is BM_Load <= 1.3 x (BM_Parse + BM_RawInsert). The same load with a provenance
// record (BM_LoadWithProvenance: every value's file, line and package kept in zrdb_provenance) is
// to cost at most 1.5 x BM_Load, measured in the same run.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ZrGameDatabase/Connection.h"
#include "ZrGameDatabase/ProvenanceRecorder.h"
#include "ZrGameDatabase/XMLSerializer.h"
#include "xml/XmlDocument.h"

namespace {

constexpr int kUnits = 60000;
constexpr int kBuildings = 50000;
constexpr int kYields = 40000;

const char* const kSchema =
    "create table Units (ID integer primary key autoincrement, Type text not null unique, Name text, "
    "Cost integer, Strength real, Era text, Description text, Naval boolean);"
    "create table Buildings (Type text primary key, Cost integer, Maintenance integer, Description text);"
    "create table Yields (Building text, Yield text, Amount real);";

// One row as the raw insert sees it: its values, already extracted.
struct RawRow {
    int table;
    std::vector<std::string> values;
};

struct Workload {
    std::string xml;
    std::vector<RawRow> rows;
};

const Workload& TheWorkload() {
    static const Workload workload = [] {
        Workload w;
        w.xml.reserve(26 << 20);
        w.xml += "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<GameData>\n  <Units>\n";
        char line[512];
        for (int i = 0; i < kUnits; ++i) {
            std::snprintf(line, sizeof line,
                          "    <Row Type=\"UNIT_%06d\" Cost=\"%d\" Strength=\"%d.5\" Era=\"ERA_%d\">\n"
                          "      <Name>Unit number %d</Name>\n"
                          "      <Description>Fights &amp; marches; strength &lt; %d in the open field</Description>\n"
                          "      <Naval>%s</Naval>\n    </Row>\n",
                          i, 10 + i % 400, i % 90, i % 8, i, i % 90, i % 7 == 0 ? "true" : "false");
            w.xml += line;
            w.rows.push_back({0, {"UNIT_" + std::to_string(1000000 + i).substr(1), std::to_string(10 + i % 400),
                                  std::to_string(i % 90) + ".5", "ERA_" + std::to_string(i % 8),
                                  "Unit number " + std::to_string(i),
                                  "Fights & marches; strength < " + std::to_string(i % 90) + " in the open field",
                                  i % 7 == 0 ? "1" : "0"}});
        }
        w.xml += "  </Units>\n  <Buildings>\n";
        for (int i = 0; i < kBuildings; ++i) {
            std::snprintf(line, sizeof line,
                          "    <Row Type=\"BUILDING_%06d\" Cost=\"%d\" Maintenance=\"%d\""
                          " Description=\"A building of the &quot;%d&quot; kind\"/>\n",
                          i, 50 + i % 300, i % 5, i);
            w.xml += line;
            w.rows.push_back({1, {"BUILDING_" + std::to_string(1000000 + i).substr(1), std::to_string(50 + i % 300),
                                  std::to_string(i % 5), "A building of the \"" + std::to_string(i) + "\" kind"}});
        }
        w.xml += "  </Buildings>\n  <Yields>\n";
        for (int i = 0; i < kYields; ++i) {
            std::snprintf(line, sizeof line,
                          "    <Row><Building>BUILDING_%06d</Building><Yield>YIELD_%d</Yield>"
                          "<Amount>%d.25</Amount></Row>\n",
                          i, i % 6, i % 10);
            w.xml += line;
            w.rows.push_back({2, {"BUILDING_" + std::to_string(1000000 + i).substr(1), "YIELD_" + std::to_string(i % 6),
                                  std::to_string(i % 10) + ".25"}});
        }
        w.xml += "  </Yields>\n</GameData>\n";
        return w;
    }();
    return workload;
}

void Report(benchmark::State& state) {
    const Workload& workload = TheWorkload();
    state.SetBytesProcessed(state.iterations() * static_cast<long long>(workload.xml.size()));
    state.SetItemsProcessed(state.iterations() * static_cast<long long>(workload.rows.size()));
}

void RunLoad(benchmark::State& state, bool withProvenance) {
    const Workload& workload = TheWorkload();
    std::vector<char> buffer(workload.xml.size() + 1);
    for (auto _ : state) {
        std::memcpy(buffer.data(), workload.xml.data(), workload.xml.size() + 1);
        Database::Connection connection(nullptr, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        connection.ExecuteMultiple(kSchema);
        Database::XMLSerializer serializer(connection);
        Database::ProvenanceRecorder recorder(connection);
        recorder.SetPackage("BENCH");
        if (withProvenance)
            serializer.SetObserver(&recorder);
        if (!serializer.LoadFromMemory("bench.xml", buffer.data(), static_cast<unsigned int>(buffer.size())))
            state.SkipWithError(serializer.ErrorMessage());
    }
    Report(state);
}

void BM_Load(benchmark::State& state) {
    RunLoad(state, false);
}
BENCHMARK(BM_Load)->Unit(benchmark::kMillisecond)->MinTime(3.0);

void BM_LoadWithProvenance(benchmark::State& state) {
    RunLoad(state, true);
}
BENCHMARK(BM_LoadWithProvenance)->Unit(benchmark::kMillisecond)->MinTime(3.0);

void BM_Parse(benchmark::State& state) {
    const Workload& workload = TheWorkload();
    std::vector<char> buffer(workload.xml.size() + 1);
    Database::XmlDocument document;
    for (auto _ : state) {
        std::memcpy(buffer.data(), workload.xml.data(), workload.xml.size() + 1);
        if (!document.Parse(buffer.data()))
            state.SkipWithError("parse failed");
    }
    Report(state);
}
BENCHMARK(BM_Parse)->Unit(benchmark::kMillisecond)->MinTime(3.0);

void BM_RawInsert(benchmark::State& state) {
    const Workload& workload = TheWorkload();
    const char* const inserts[] = {
        "insert into Units (Type, Cost, Strength, Era, Name, Description, Naval) values (?, ?, ?, ?, ?, ?, ?)",
        "insert into Buildings (Type, Cost, Maintenance, Description) values (?, ?, ?, ?)",
        "insert into Yields (Building, Yield, Amount) values (?, ?, ?)",
    };
    // Which values are numbers: the rest are text.
    const char* const kinds[] = {"tirttti", "tiit", "ttr"};
    std::vector<char> buffer(workload.xml.size() + 1);
    for (auto _ : state) {
        // The same copy of the bytes as the load makes, so that only the work differs.
        std::memcpy(buffer.data(), workload.xml.data(), workload.xml.size() + 1);
        Database::Connection connection(nullptr, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        connection.ExecuteMultiple(kSchema);
        sqlite3* handle = connection.Handle();
        sqlite3_stmt* statements[3];
        for (int table = 0; table < 3; ++table)
            sqlite3_prepare_v2(handle, inserts[table], -1, &statements[table], nullptr);
        sqlite3_exec(handle, "begin", nullptr, nullptr, nullptr);
        for (const RawRow& row : workload.rows) {
            sqlite3_stmt* statement = statements[row.table];
            for (std::size_t index = 0; index < row.values.size(); ++index) {
                const std::string& value = row.values[index];
                const int parameter = static_cast<int>(index + 1);
                switch (kinds[row.table][index]) {
                    case 'i': sqlite3_bind_int(statement, parameter, std::atoi(value.c_str())); break;
                    case 'r': sqlite3_bind_double(statement, parameter, std::atof(value.c_str())); break;
                    default:
                        sqlite3_bind_text(statement, parameter, value.data(), static_cast<int>(value.size()), SQLITE_STATIC);
                }
            }
            sqlite3_step(statement);
            sqlite3_reset(statement);
        }
        sqlite3_exec(handle, "commit", nullptr, nullptr, nullptr);
        for (sqlite3_stmt* statement : statements)
            sqlite3_finalize(statement);
    }
    Report(state);
}
BENCHMARK(BM_RawInsert)->Unit(benchmark::kMillisecond)->MinTime(3.0);

}  // namespace

BENCHMARK_MAIN();
