// LoadCommand.cpp: `zrdb load`, and the loading of data files that `zrdb run --load` shares.
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <memory>

#include "Commands.h"
#include "FileLogger.h"
#include "LoadReport.h"
#include "Terminal.h"
#include "ZrGameDatabase/BinaryIO.h"
#include "ZrGameDatabase/Connection.h"
#include "ZrGameDatabase/DataLoader.h"
#include "ZrGameDatabase/DatabaseResults.h"
#include "ZrGameDatabase/ProvenanceRecorder.h"
#include "ZrGameDatabase/XMLSerializer.h"
#include "Utf8System.h"

namespace Zrdb {
namespace {

// The loader's message without its "Database::XMLSerializer (FILE): " prefix: the file is named
// in front of the line already.
const char* WithoutPrefix(const char* message) {
    const char* separator = std::strstr(message, "): ");
    return std::strncmp(message, "Database::XMLSerializer (", 25) == 0 && separator != nullptr ? separator + 3
                                                                                              : message;
}

// Rows of every table of the main database, and the number of tables: the data's, not SQLite's
// own or the provenance record's.
void CountRows(Database::Connection& connection, long long& rows, int& tables) {
    rows = 0;
    tables = 0;
    Database::Results names;
    if (!connection.Execute(names, "select name from sqlite_master where type = 'table' and name not like 'sqlite!_%' escape '!'"
                                   " and name <> 'zrdb_provenance'"))
        return;
    while (names.Step()) {
        char sql[512];
        sqlite3_snprintf(sizeof sql, sql, "select count(*) from \"%w\"", names.GetText(0));
        Database::Results count;
        if (connection.Execute(count, sql) && count.Step()) {
            rows += count.GetInt64(0);
            ++tables;
        }
    }
}

bool Validate(Database::Connection& connection, LoadReport& report, FileLogger* logger) {
    const bool intact = connection.CheckIntegrity();
    // Each dangling value is printed once, by the report, at the line that wrote it.
    if (logger != nullptr)
        logger->EchoToStandardError(false);
    const bool referencesValid = connection.ValidateFKConstraints(true, &report);
    if (logger != nullptr)
        logger->EchoToStandardError(true);
    if (!intact)
        std::fprintf(stderr, "zrdb: the integrity check failed\n");
    if (!referencesValid)
        std::fprintf(stderr, "zrdb: invalid foreign-key references (listed above and in the log)\n");
    return intact && referencesValid;
}

// What zrdb shows of a load as the library's loader goes through the files: the progress line,
// the package of each file for the provenance record, and a line for each failure the observer
// did not hear of (strictness, a file with no memory left to say where it failed).
class LoadProgress : public Database::DataLoader::IListener {
public:
    LoadProgress(LoadReport& report, ProgressLine& progress, Database::ProvenanceRecorder* recorder)
        : m_report(report), m_progress(progress), m_recorder(recorder) {}

    void OnFileStarting(const char* file, const char* package, int index, int count) noexcept override {
        m_progress.Show("[" + std::to_string(index) + "/" + std::to_string(count) + "] " + file);
        m_report.BeginFile();
        if (m_recorder != nullptr)
            m_recorder->SetPackage(package);
    }

    void OnFileLoaded(const Database::DataLoader::FileResult& result) noexcept override {
        if (result.strictFailure) {
            m_report.Report(Database::Severity::Error, result.file, 0, "strict",
                            std::to_string(result.warnings) + " warning" + (result.warnings == 1 ? "" : "s")
                                + " with --strict: the file was rolled back");
        } else if (!result.loaded && m_report.FileErrors() == 0) {
            m_report.Report(Database::Severity::Error, result.file, result.errorLine, "load-failed",
                            WithoutPrefix(result.errorMessage));
        }
        m_report.EndFile(result.loaded);
    }

    void OnEmptyFolder(const char* folder) noexcept override {
        m_report.Report(Database::Severity::Error, folder, 0, "no-data-files", "no data files (*.xml) in this folder");
    }

private:
    LoadReport& m_report;
    ProgressLine& m_progress;
    Database::ProvenanceRecorder* m_recorder;
};

// Loads paths in order through the library's loader; packages[i] is the --package in force for
// paths[i] ("" for none: the path is labelled with its folder's name and gets no tag).
LoadSummary LoadFiles(Database::Connection& connection, const Options& options, const std::vector<std::string>& paths,
                      const std::vector<std::string>& packages, LoadReport& report, ProgressLine& progress,
                      Database::ProvenanceRecorder* recorder) {
    const auto start = std::chrono::steady_clock::now();
    Database::DataLoader loader(connection);
    Database::XMLSerializer& serializer = loader.Serializer();
    serializer.UseTransactions(!options.noTransactions);
    for (const std::string& table : options.tagTables)
        serializer.AddTableToPackageTagList(table.c_str());
    serializer.SetObserver(recorder != nullptr ? static_cast<Database::ILoadObserver*>(recorder) : &report);
    loader.SetFailFast(options.failFast);
    loader.SetStrict(options.strict);
    for (std::size_t path = 0; path < paths.size(); ++path)
        loader.AddPath(paths[path].c_str(), packages[path].empty() ? nullptr : packages[path].c_str());
    // The recorder's table is part of the result: a snapshot made with it is not one made without.
    if (!options.cache.empty())
        loader.SetSnapshotCache(options.cache.c_str(), recorder != nullptr ? "zrdb provenance" : "zrdb");

    LoadProgress listener(report, progress, recorder);
    const Database::DataLoader::Summary loaded = loader.Load(&listener);
    progress.Clear();
    LoadSummary summary;
    summary.loaded = loaded.loaded;
    summary.failed = loaded.failed;
    summary.warnings = loaded.warnings;
    summary.fromCache = loaded.fromCache;
    summary.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return summary;
}

// --conflicts: each value or row two packages wrote, at the later write, naming the earlier one.
class ConflictPrinter : public Database::ProvenanceRecorder::IConflictListener {
public:
    explicit ConflictPrinter(LoadReport& report) : m_report(report) {}
    void OnConflict(const Database::ProvenanceRecorder::Conflict& conflict) noexcept override;

private:
    LoadReport& m_report;
};

std::string ValueText(const char* value) {
    return value != nullptr ? std::string("'") + value + "'" : std::string("NULL");
}

void ConflictPrinter::OnConflict(const Database::ProvenanceRecorder::Conflict& conflict) noexcept {
    const std::string code = conflict.code;
    const std::string earlier = std::string(conflict.earlier.package) + " (" + conflict.earlier.file + ":"
                                + std::to_string(conflict.earlier.line) + ")";
    const std::string later = conflict.later.package;
    std::string row = std::string(conflict.table) + "." + conflict.key;
    std::string message;
    if (code == "update-conflict")
        message = row + "." + conflict.column + ": " + later + " sets " + ValueText(conflict.later.value)
                  + " over " + ValueText(conflict.earlier.value) + " of " + earlier;
    else if (code == "replace-conflict")
        message = row + ": " + later + " replaces the row of " + earlier;
    else if (code == "delete-conflict")
        message = row + ": " + later + " deletes the row of " + earlier;
    else
        message = row + ": " + later + "'s row is left out: the row of " + earlier + " stays";
    m_report.Report(Database::Severity::Warning, conflict.later.file, conflict.later.line, "conflict", message);
}

}  // namespace

LoadSummary LoadDataFiles(Database::Connection& connection, const Options& options,
                          const std::vector<std::string>& paths) {
    ProgressLine progress(options.quiet);
    LoadReport report(OutputFormat::Text, progress);
    return LoadFiles(connection, options, paths, std::vector<std::string>(paths.size()), report, progress, nullptr);
}

std::string DescribeLoad(Database::Connection& connection, const LoadSummary& summary) {
    long long rows = 0;
    int tables = 0;
    CountRows(connection, rows, tables);
    char text[256];
    std::snprintf(text, sizeof text, "%d file%s loaded, %d failed; %lld row%s in %d table%s; %.2f s", summary.loaded,
                  summary.loaded == 1 ? "" : "s", summary.failed, rows, rows == 1 ? "" : "s", tables,
                  tables == 1 ? "" : "s", summary.seconds);
    return text;
}

int RunLoad(const Options& options) {
    Database::Connection connection;
    FileLogger* logger = OpenDatabase(connection, options, options.database, false);
    if (logger == nullptr)
        return 1;
    const bool json = options.format == OutputFormat::Json;
    ProgressLine progress(options.quiet || json);
    LoadReport report(options.format, progress);
    report.TrackRows(options.validate);
    // The report prints each problem of a load once; the log file keeps the logger's full lines.
    logger->EchoToStandardError(false);
    std::unique_ptr<Database::ProvenanceRecorder> recorder;
    if (options.provenance) {
        recorder = std::make_unique<Database::ProvenanceRecorder>(connection);
        recorder->SetNext(&report);
        report.UseProvenance(&connection);
    }
    const LoadSummary summary =
        LoadFiles(connection, options, options.operands, options.operandPackages, report, progress, recorder.get());
    bool succeeded = summary.failed == 0;
    if (options.conflicts) {
        ConflictPrinter printer(report);
        // Conflicts cannot be rolled back file by file; with --strict they fail the run.
        if (recorder->FindConflicts(printer) > 0 && options.strict)
            succeeded = false;
    }
    logger->EchoToStandardError(true);
    if (options.validate && !Validate(connection, report, logger))
        succeeded = false;
    bool saved = false;
    if (!options.output.empty()) {
        Database::BinaryIO snapshot(options.output.c_str());
        saved = snapshot.Save(connection);
        if (!saved) {
            std::fprintf(stderr, "zrdb: cannot save the snapshot %s\n", options.output.c_str());
            succeeded = false;
        }
    }
    if (json) {
        long long rows = 0;
        int tables = 0;
        CountRows(connection, rows, tables);
        report.PrintSummary(summary.loaded, summary.failed, rows, tables, summary.seconds, summary.fromCache);
    } else if (!options.quiet) {
        if (summary.fromCache)
            std::printf("read from the snapshot cache %s: the files did not change (%d warning%s when they were "
                        "loaded, not shown again)\n",
                        options.cache.c_str(), summary.warnings, summary.warnings == 1 ? "" : "s");
        std::printf("%s\n", DescribeLoad(connection, summary).c_str());
        // What did load is saved all the same; the line says so when some work failed.
        if (saved)
            std::printf("snapshot saved to %s%s\n", options.output.c_str(),
                        succeeded ? "" : " (some work failed: see above)");
    }
    return succeeded ? 0 : 1;
}

bool FileExists(const std::string& path) {
    std::error_code error;
    if (std::filesystem::is_regular_file(PathOf(path), error))
        return true;
    std::fprintf(stderr, "zrdb: %s: no such file\n", path.c_str());
    return false;
}

FileLogger* OpenDatabase(Database::Connection& connection, const Options& options, const std::string& path,
                         bool readOnly) {
    auto* logger = new FileLogger(options.logPath);
    connection.SetLogger(logger);
    const int flags = readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    // The log has the reason; the terminal gets it from the logger's echo on stderr.
    if (!connection.Open(path.empty() ? nullptr : path.c_str(), flags)) {
        std::fprintf(stderr, "zrdb: cannot open the database %s\n", path.c_str());
        return nullptr;
    }
    return logger;
}

}  // namespace Zrdb
