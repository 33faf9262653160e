// LoadCommand.cpp: `zrdb load`, and the loading of data files that `zrdb run --load` shares.
#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include "Commands.h"
#include "FileLogger.h"
#include "LoadReport.h"
#include "Terminal.h"
#include "ZrGameDatabase/BinaryIO.h"
#include "ZrGameDatabase/Connection.h"
#include "ZrGameDatabase/DatabaseResults.h"
#include "ZrGameDatabase/ProvenanceRecorder.h"
#include "ZrGameDatabase/XMLSerializer.h"

namespace Zrdb {
namespace {

namespace fs = std::filesystem;

// Data files are *.xml in any letter case: a mod written on another system may well say .XML.
bool IsDataFile(const fs::path& path) {
    std::error_code ignored;
    std::string extension = path.extension().string();
    for (char& byte : extension)
        byte = static_cast<char>(std::tolower(static_cast<unsigned char>(byte)));
    return extension == ".xml" && fs::is_regular_file(path, ignored);
}

struct DataFiles {
    std::vector<std::string> files;
    std::vector<std::string> emptyFolders;  // folders given that hold no data file
};

// Files as given; a folder stands for the data files below it, sorted by path so that the load
// order is the same on every machine. A path that does not exist is kept, so that its load fails
// and is reported like any other failure.
DataFiles ExpandPaths(const std::vector<std::string>& paths) {
    DataFiles expanded;
    for (const std::string& path : paths) {
        std::error_code error;
        if (!fs::is_directory(path, error)) {
            expanded.files.push_back(path);
            continue;
        }
        std::vector<std::string> found;
        for (fs::recursive_directory_iterator entry(path, error), end; !error && entry != end; entry.increment(error)) {
            if (IsDataFile(entry->path()))
                found.push_back(entry->path().string());
        }
        if (found.empty())
            expanded.emptyFolders.push_back(path);
        std::sort(found.begin(), found.end());
        expanded.files.insert(expanded.files.end(), found.begin(), found.end());
    }
    return expanded;
}

// The loader's message without its "Database::XMLSerializer (FILE): " prefix: the file is named
// in front of the line already.
const char* WithoutPrefix(const char* message) {
    const char* separator = std::strstr(message, "): ");
    return std::strncmp(message, "Database::XMLSerializer (", 25) == 0 && separator != nullptr ? separator + 3
                                                                                              : message;
}

// A failed file whose failure the loader reported to no one (it ran out of memory before it could
// say where) still gets its line.
void ReportUnreportedFailure(LoadReport& report, const std::string& file, const Database::XMLSerializer& serializer) {
    if (report.FileErrors() == 0)
        report.Report(Database::Severity::Error, file, serializer.ErrorLine(), "load-failed",
                      WithoutPrefix(serializer.ErrorMessage()));
}

// --strict: a file that loaded with warnings is rolled back like a file that failed. The file runs
// inside a savepoint of zrdb's own around the loader's transaction.
class StrictFile {
public:
    StrictFile(Database::Connection& connection, bool strict) : m_connection(connection), m_open(false) {
        if (strict)
            m_open = connection.Execute("SAVEPOINT zrdb_strict;");
    }
    ~StrictFile() { End(true); }
    // Keeps the file (true) or rolls it back; nothing to do when the loader rolled it back whole.
    void End(bool keep) {
        if (!m_open)
            return;
        m_open = false;
        if (sqlite3_get_autocommit(m_connection.Handle()) != 0)
            return;
        if (!keep)
            m_connection.Execute("ROLLBACK TO zrdb_strict;");
        m_connection.Execute("RELEASE zrdb_strict;");
    }

private:
    Database::Connection& m_connection;
    bool m_open;
};

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

// Loads one file as the options ask; true when it loaded (and, with --strict, without warnings).
bool LoadFile(Database::Connection& connection, Database::XMLSerializer& serializer, const Options& options,
              const std::string& file, LoadReport& report) {
    report.BeginFile();
    StrictFile strict(connection, options.strict);
    bool loaded = serializer.Load(file.c_str());
    if (!loaded)
        ReportUnreportedFailure(report, file, serializer);
    if (loaded && options.strict && serializer.WarningCount() > 0) {
        strict.End(false);
        const int warnings = serializer.WarningCount();
        report.Report(Database::Severity::Error, file, 0, "strict",
                      std::to_string(warnings) + " warning" + (warnings == 1 ? "" : "s")
                          + " with --strict: the file was rolled back");
        loaded = false;
    }
    report.EndFile(loaded);
    return loaded;
}

// The package label of a path given without --package: its own folder's name ("mods/ModA/" gives
// ModA), the name of the folder holding it for a file.
std::string FolderLabel(const std::string& path) {
    std::error_code error;
    fs::path folder = fs::path(path).lexically_normal();
    if (!folder.has_filename())
        folder = folder.parent_path();
    if (!fs::is_directory(path, error))
        folder = folder.parent_path();
    const std::string name = folder.filename().string();
    return name == "." || name == ".." ? std::string() : name;
}

// Loads paths in order; packages[i] is the --package in force for paths[i] ("" for none).
LoadSummary LoadFiles(Database::Connection& connection, const Options& options, const std::vector<std::string>& paths,
                      const std::vector<std::string>& packages, LoadReport& report, ProgressLine& progress,
                      Database::ProvenanceRecorder* recorder) {
    const auto start = std::chrono::steady_clock::now();
    LoadSummary summary;
    Database::XMLSerializer serializer(connection);
    serializer.UseTransactions(!options.noTransactions);
    for (const std::string& table : options.tagTables)
        serializer.AddTableToPackageTagList(table.c_str());
    serializer.SetObserver(recorder != nullptr ? static_cast<Database::ILoadObserver*>(recorder) : &report);

    std::size_t total = 0;
    std::vector<DataFiles> expanded;
    for (const std::string& path : paths) {
        expanded.push_back(ExpandPaths({path}));
        total += expanded.back().files.size();
        for (const std::string& folder : expanded.back().emptyFolders) {
            report.Report(Database::Severity::Error, folder, 0, "no-data-files", "no data files (*.xml) in this folder");
            ++summary.failed;
        }
    }
    if (total == 0 && summary.failed == 0) {
        report.Report(Database::Severity::Error, "zrdb", 0, "no-data-files", "no data files in the paths given");
        summary.failed = 1;
    }
    std::size_t index = 0;
    for (std::size_t path = 0; path < paths.size() && !(options.failFast && summary.failed > 0); ++path) {
        const std::string& package = packages[path];
        serializer.SetPackageTag(package.c_str());
        if (recorder != nullptr)
            recorder->SetPackage((package.empty() ? FolderLabel(paths[path]) : package).c_str());
        for (const std::string& file : expanded[path].files) {
            progress.Show("[" + std::to_string(++index) + "/" + std::to_string(total) + "] " + file);
            if (LoadFile(connection, serializer, options, file, report)) {
                ++summary.loaded;
                continue;
            }
            ++summary.failed;
            if (options.failFast)
                break;
        }
    }
    progress.Clear();
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
    // The report prints each problem of a load once; the log file keeps the logger's full lines.
    logger->EchoToStandardError(false);
    std::unique_ptr<Database::ProvenanceRecorder> recorder;
    if (options.provenance) {
        recorder = std::make_unique<Database::ProvenanceRecorder>(connection);
        recorder->SetNext(&report);
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
        report.PrintSummary(summary.loaded, summary.failed, rows, tables, summary.seconds);
    } else if (!options.quiet) {
        std::printf("%s\n", DescribeLoad(connection, summary).c_str());
        // What did load is saved all the same; the line says so when some work failed.
        if (saved)
            std::printf("snapshot saved to %s%s\n", options.output.c_str(),
                        succeeded ? "" : " (some work failed: see above)");
    }
    return succeeded ? 0 : 1;
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
