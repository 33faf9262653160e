// The snapshot cache against the snapshot it reads. About 53 MB of data files (six files, 228,000
// rows) are loaded once through the cache, which keeps their snapshot; then
//   - the snapshot is loaded plainly into a fresh connection                 (BM_SnapshotLoad)
//   - the same files are loaded through the cache, which finds the snapshot  (BM_CacheHit)
//   - only the key is checked: each file's stamp against the index           (BM_KeyCheck)
// The goals: a hit at most 1.2 x a snapshot load, and the key check under 5% of it.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "ZrGameDatabase/BinaryIO.h"
#include "ZrGameDatabase/Connection.h"
#include "ZrGameDatabase/DataLoader.h"
#include "loader/SnapshotCache.h"

namespace {

constexpr int kReadWriteCreate = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
constexpr int kFiles = 6;
constexpr int kRowsPerFile = 38000;

struct Workload {
    std::string folder;
    std::string data;
    std::string cache;
    std::string snapshot;
    std::vector<std::string> files;
    std::uintmax_t dataBytes = 0;
};

Workload g_workload;

bool WriteDataFile(const std::string& path, int file) {
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr)
        return false;
    std::fputs("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<GameData>\n", out);
    if (file == 0)
        std::fputs("  <Table name=\"Units\"><Column name=\"ID\" type=\"integer\" primarykey=\"true\" autoincrement=\"true\"/>"
                   "<Column name=\"Type\" type=\"text\" notnull=\"true\" unique=\"true\"/><Column name=\"Name\" type=\"text\"/>"
                   "<Column name=\"Cost\" type=\"integer\"/><Column name=\"Strength\" type=\"real\"/>"
                   "<Column name=\"Era\" type=\"text\"/><Column name=\"Description\" type=\"text\"/>"
                   "<Column name=\"Naval\" type=\"boolean\"/></Table>\n",
                   out);
    std::fputs("  <Units>\n", out);
    for (int row = 0; row < kRowsPerFile; ++row) {
        const int i = file * kRowsPerFile + row;
        std::fprintf(out,
                     "    <Row Type=\"UNIT_%07d\" Cost=\"%d\" Strength=\"%d.5\" Era=\"ERA_%d\">\n"
                     "      <Name>Unit number %d</Name>\n"
                     "      <Description>Fights &amp; marches; strength &lt; %d in the open field</Description>\n"
                     "      <Naval>%s</Naval>\n    </Row>\n",
                     i, 10 + i % 400, i % 90, i % 8, i, i % 90, i % 7 == 0 ? "true" : "false");
    }
    std::fputs("  </Units>\n</GameData>\n", out);
    return std::fclose(out) == 0;
}

Database::DataLoader::Summary LoadThroughCache(Database::Connection& connection) {
    Database::DataLoader loader(connection);
    loader.AddPath(g_workload.data.c_str(), nullptr);
    loader.SetSnapshotCache(g_workload.cache.c_str(), "bench");
    return loader.Load(nullptr);
}

bool SetUp() {
    char pattern[] = "/tmp/zrdb-cache-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        return false;
    g_workload.folder = pattern;
    g_workload.data = g_workload.folder + "/data";
    g_workload.cache = g_workload.folder + "/cache";
    std::filesystem::create_directory(g_workload.data);
    for (int file = 0; file < kFiles; ++file) {
        g_workload.files.push_back(g_workload.data + "/" + std::to_string(file) + ".xml");
        if (!WriteDataFile(g_workload.files.back(), file))
            return false;
        g_workload.dataBytes += std::filesystem::file_size(g_workload.files.back());
    }
    // Stamps of files written this very moment are not trusted; the files are dated back as
    // files a host loads mostly are.
    for (const std::string& file : g_workload.files)
        std::filesystem::last_write_time(file, std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));
    Database::Connection connection(nullptr, kReadWriteCreate);
    const Database::DataLoader::Summary made = LoadThroughCache(connection);
    if (made.failed != 0 || made.fromCache)
        return false;
    for (const auto& entry : std::filesystem::directory_iterator(g_workload.cache)) {
        if (entry.path().filename() != "index.db")
            g_workload.snapshot = entry.path().string();
    }
    return !g_workload.snapshot.empty();
}

void BM_SnapshotLoad(benchmark::State& state) {
    for (auto _ : state) {
        Database::Connection connection(nullptr, kReadWriteCreate);
        Database::BinaryIO snapshot(g_workload.snapshot.c_str());
        if (!snapshot.Load(connection))
            state.SkipWithError("the snapshot did not load");
    }
}
BENCHMARK(BM_SnapshotLoad)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_CacheHit(benchmark::State& state) {
    for (auto _ : state) {
        Database::Connection connection(nullptr, kReadWriteCreate);
        if (!LoadThroughCache(connection).fromCache)
            state.SkipWithError("the cache missed");
    }
}
BENCHMARK(BM_CacheHit)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_KeyCheck(benchmark::State& state) {
    Database::Connection host(nullptr, kReadWriteCreate);
    for (auto _ : state) {
        Database::Loader::SnapshotCache cache(host, g_workload.cache.c_str());
        for (const std::string& file : g_workload.files) {
            Database::Digest digest;
            if (!cache.DigestOf(file.c_str(), digest))
                state.SkipWithError("a file could not be stamped");
        }
    }
}
BENCHMARK(BM_KeyCheck)->Unit(benchmark::kMillisecond)->MinTime(2.0);

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (!run.error_occurred && run.run_type == Run::RT_Iteration)
                m_seconds[run.benchmark_name().substr(0, run.benchmark_name().find('/'))] =
                    run.real_accumulated_time / static_cast<double>(run.iterations);
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void PrintSummary() const {
        std::printf("\n%.1f MB of data files, snapshot of %.1f MB:\n", static_cast<double>(g_workload.dataBytes) / 1e6,
                    static_cast<double>(std::filesystem::file_size(g_workload.snapshot)) / 1e6);
        PrintRatio("cache hit / snapshot load", "BM_CacheHit", "BM_SnapshotLoad");
        PrintRatio("key check / snapshot load", "BM_KeyCheck", "BM_SnapshotLoad");
    }

private:
    void PrintRatio(const char* label, const char* numerator, const char* denominator) const {
        const auto top = m_seconds.find(numerator);
        const auto bottom = m_seconds.find(denominator);
        if (top != m_seconds.end() && bottom != m_seconds.end() && bottom->second > 0)
            std::printf("  time %-28s %8.3f\n", label, top->second / bottom->second);
    }

    std::map<std::string, double> m_seconds;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    const bool ready = SetUp();
    if (ready) {
        RatioReporter reporter;
        benchmark::RunSpecifiedBenchmarks(&reporter);
        reporter.PrintSummary();
    } else {
        std::fprintf(stderr, "cache_bench: the data files could not be written and loaded through the cache\n");
    }
    std::error_code ignored;
    std::filesystem::remove_all(g_workload.folder, ignored);
    benchmark::Shutdown();
    return ready ? 0 : 1;
}
