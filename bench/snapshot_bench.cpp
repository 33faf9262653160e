// Snapshots and row counts, each against its baseline in the same run:
//  - saving a database of more than 50 MB to a snapshot file and loading it back into a fresh
//    in-memory connection, against copying a file of the same size (plainly, and with the fsync
//    that SQLite's save makes too), in MB/s, and against the same copies made with SQLite's backup
//    API alone (a file opened with SQLite's defaults, so with the same syncs);
//  - a cached Count against preparing and running "select count(*)" every time.
// The ratios of the pairs are printed after the table.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "ZrGameDatabase/BinaryIO.h"
#include "ZrGameDatabase/Connection.h"

namespace {

constexpr int kReadWriteCreate = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
// 52,000 rows of about a kilobyte: a snapshot a little above 50 MB.
constexpr int kSnapshotRows = 52000;
constexpr std::uintmax_t kMinimumSnapshotBytes = 50ull * 1000 * 1000;
// A typical rule table: the count is of a table of this many rows.
constexpr int kCountRows = 1000;

struct Workload {
    std::string folder;
    std::string snapshotPath;
    std::string copyPath;
    std::uintmax_t snapshotBytes = 0;
    Database::Connection* source = nullptr;   // the large database
    Database::Connection* counted = nullptr;  // the table that is counted
};

Workload g_workload;

bool Fill(Database::Connection& connection, int rows, int payloadBytes) {
    char sql[512];
    std::snprintf(sql, sizeof sql,
                  "create table Units (ID integer primary key, Type text not null unique, Description text);"
                  "with recursive n(i) as (select 1 union all select i + 1 from n where i < %d)"
                  "insert into Units select i, 'UNIT_NUMBER_' || i, hex(randomblob(%d)) from n;",
                  rows, payloadBytes);
    return connection.ExecuteMultiple(sql);
}

bool SetUp() {
    char pattern[] = "/tmp/zrdb-snapshot-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        return false;
    g_workload.folder = pattern;
    g_workload.snapshotPath = g_workload.folder + "/snapshot.db";
    g_workload.copyPath = g_workload.folder + "/copy.db";
    g_workload.source = new Database::Connection(nullptr, kReadWriteCreate);
    g_workload.counted = new Database::Connection(nullptr, kReadWriteCreate);
    if (!Fill(*g_workload.source, kSnapshotRows, 480) || !Fill(*g_workload.counted, kCountRows, 16))
        return false;
    if (!Database::BinaryIO(g_workload.snapshotPath.c_str()).Save(*g_workload.source))
        return false;
    g_workload.snapshotBytes = std::filesystem::file_size(g_workload.snapshotPath);
    return g_workload.snapshotBytes >= kMinimumSnapshotBytes;
}

void TearDown() {
    delete g_workload.source;
    delete g_workload.counted;
    std::error_code ignored;
    std::filesystem::remove_all(g_workload.folder, ignored);
}

// Copies the snapshot file to the copy path through a 1 MiB buffer, fsyncing at the end when
// asked. False on any failure.
bool CopyFile(bool sync) {
    const int in = open(g_workload.snapshotPath.c_str(), O_RDONLY);
    const int out = open(g_workload.copyPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    bool copied = in >= 0 && out >= 0;
    static std::vector<char> buffer(1 << 20);
    while (copied) {
        const ssize_t got = read(in, buffer.data(), buffer.size());
        if (got <= 0) {
            copied = got == 0;
            break;
        }
        copied = write(out, buffer.data(), static_cast<std::size_t>(got)) == got;
    }
    if (copied && sync)
        copied = fsync(out) == 0;
    if (in >= 0)
        close(in);
    if (out >= 0)
        close(out);
    return copied;
}

void BM_SaveSnapshot(benchmark::State& state) {
    Database::BinaryIO snapshot(g_workload.snapshotPath.c_str());
    for (auto _ : state) {
        if (!snapshot.Save(*g_workload.source))
            state.SkipWithError("save failed");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * g_workload.snapshotBytes));
}
BENCHMARK(BM_SaveSnapshot)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

void BM_LoadSnapshot(benchmark::State& state) {
    Database::BinaryIO snapshot(g_workload.snapshotPath.c_str());
    for (auto _ : state) {
        state.PauseTiming();
        auto* target = new Database::Connection(nullptr, kReadWriteCreate);
        state.ResumeTiming();
        if (!snapshot.Load(*target))
            state.SkipWithError("load failed");
        state.PauseTiming();
        delete target;
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * g_workload.snapshotBytes));
}
BENCHMARK(BM_LoadSnapshot)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

// Copies "main" of source over "main" of destination with the backup API in one step.
bool Backup(sqlite3* destination, sqlite3* source) {
    sqlite3_backup* backup = sqlite3_backup_init(destination, "main", source, "main");
    if (backup == nullptr)
        return false;
    const int stepResult = sqlite3_backup_step(backup, -1);
    return sqlite3_backup_finish(backup) == SQLITE_OK && stepResult == SQLITE_DONE;
}

void BM_BackupApiSave(benchmark::State& state) {
    for (auto _ : state) {
        sqlite3* file = nullptr;
        sqlite3_open_v2(g_workload.copyPath.c_str(), &file, kReadWriteCreate, nullptr);
        if (!Backup(file, g_workload.source->Handle()))
            state.SkipWithError("backup failed");
        sqlite3_close(file);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * g_workload.snapshotBytes));
}
BENCHMARK(BM_BackupApiSave)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

void BM_BackupApiLoad(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        auto* target = new Database::Connection(nullptr, kReadWriteCreate);
        state.ResumeTiming();
        sqlite3* file = nullptr;
        sqlite3_open_v2(g_workload.snapshotPath.c_str(), &file, SQLITE_OPEN_READONLY, nullptr);
        if (!Backup(target->Handle(), file))
            state.SkipWithError("backup failed");
        sqlite3_close(file);
        state.PauseTiming();
        delete target;
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * g_workload.snapshotBytes));
}
BENCHMARK(BM_BackupApiLoad)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

void BM_CopyFile(benchmark::State& state) {
    for (auto _ : state) {
        if (!CopyFile(state.range(0) != 0))
            state.SkipWithError("copy failed");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * g_workload.snapshotBytes));
    state.SetLabel(state.range(0) != 0 ? "with fsync" : "no fsync");
}
BENCHMARK(BM_CopyFile)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

void BM_CountCached(benchmark::State& state) {
    Database::Connection& connection = *g_workload.counted;
    connection.ClearCountCache();
    for (auto _ : state)
        benchmark::DoNotOptimize(connection.Count("Units", true));
    if (connection.Count("Units", true) != kCountRows)
        state.SkipWithError("wrong count");
}
BENCHMARK(BM_CountCached);

void BM_CountBySql(benchmark::State& state) {
    sqlite3* handle = g_workload.counted->Handle();
    for (auto _ : state) {
        sqlite3_stmt* statement = nullptr;
        sqlite3_prepare_v2(handle, "select count(*) from Units", -1, &statement, nullptr);
        if (sqlite3_step(statement) != SQLITE_ROW)
            state.SkipWithError("count failed");
        benchmark::DoNotOptimize(sqlite3_column_int(statement, 0));
        sqlite3_finalize(statement);
    }
}
BENCHMARK(BM_CountBySql);

// Keeps each benchmark's time per iteration for the ratios printed after the table.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (!run.error_occurred && run.run_type == Run::RT_Iteration)
                m_seconds[run.benchmark_name()] = run.real_accumulated_time / static_cast<double>(run.iterations);
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void PrintSummary(std::uintmax_t bytes) const {
        const double megabytes = static_cast<double>(bytes) / 1e6;
        std::printf("\nSnapshot of %.1f MB:\n", megabytes);
        for (const char* name : {"BM_SaveSnapshot", "BM_LoadSnapshot", "BM_BackupApiSave", "BM_BackupApiLoad",
                                 "BM_CopyFile/0", "BM_CopyFile/1"}) {
            if (const double seconds = Seconds(name); seconds > 0)
                std::printf("  %-18s %8.1f MB/s\n", name, megabytes / seconds);
        }
        PrintRatio("save / copy", "BM_SaveSnapshot", "BM_CopyFile/0");
        PrintRatio("save / copy+fsync", "BM_SaveSnapshot", "BM_CopyFile/1");
        PrintRatio("load / copy", "BM_LoadSnapshot", "BM_CopyFile/0");
        PrintRatio("save / backup API", "BM_SaveSnapshot", "BM_BackupApiSave");
        PrintRatio("load / backup API", "BM_LoadSnapshot", "BM_BackupApiLoad");
        PrintRatio("select count(*) / cached Count", "BM_CountBySql", "BM_CountCached");
    }

private:
    double Seconds(const std::string& name) const {
        for (const auto& [key, seconds] : m_seconds) {
            if (key.rfind(name, 0) == 0 && (key.size() == name.size() || key[name.size()] == '/'))
                return seconds;
        }
        return 0;
    }

    void PrintRatio(const char* label, const char* numerator, const char* denominator) const {
        const double top = Seconds(numerator);
        const double bottom = Seconds(denominator);
        if (top > 0 && bottom > 0)
            std::printf("  time %-30s %8.2f\n", label, top / bottom);
    }

    std::map<std::string, double> m_seconds;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (!SetUp()) {
        std::fprintf(stderr, "snapshot_bench: could not build a snapshot of at least 50 MB\n");
        TearDown();
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintSummary(g_workload.snapshotBytes);
    TearDown();
    benchmark::Shutdown();
    return 0;
}
