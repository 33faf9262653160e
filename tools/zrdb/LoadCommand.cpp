// LoadCommand.cpp: `zrdb load`, and the loading of data files that `zrdb run --load` shares.
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "Commands.h"
#include "FileLogger.h"
#include "Terminal.h"
#include "ZrGameDatabase/BinaryIO.h"
#include "ZrGameDatabase/Connection.h"
#include "ZrGameDatabase/DatabaseResults.h"
#include "ZrGameDatabase/XMLSerializer.h"

namespace Zrdb {
namespace {

namespace fs = std::filesystem;

bool IsDataFile(const fs::path& path) {
    std::error_code ignored;
    return path.extension() == ".xml" && fs::is_regular_file(path, ignored);
}

// Files as given; a folder stands for the *.xml files below it, sorted by path so that the load
// order is the same on every machine. A path that does not exist is kept, so that its load fails
// and is reported like any other failure.
std::vector<std::string> ExpandPaths(const std::vector<std::string>& paths) {
    std::vector<std::string> files;
    for (const std::string& path : paths) {
        std::error_code error;
        if (!fs::is_directory(path, error)) {
            files.push_back(path);
            continue;
        }
        std::vector<std::string> found;
        for (fs::recursive_directory_iterator entry(path, error), end; !error && entry != end; entry.increment(error)) {
            if (IsDataFile(entry->path()))
                found.push_back(entry->path().string());
        }
        std::sort(found.begin(), found.end());
        files.insert(files.end(), found.begin(), found.end());
    }
    return files;
}

// The loader's message without its "Database::XMLSerializer (FILE): " prefix: the file is named
// in front of the line already.
const char* WithoutPrefix(const char* message) {
    const char* separator = std::strstr(message, "): ");
    return std::strncmp(message, "Database::XMLSerializer (", 25) == 0 && separator != nullptr ? separator + 3
                                                                                              : message;
}

void ReportFailure(const std::string& file, const Database::XMLSerializer& serializer) {
    if (serializer.ErrorLine() > 0)
        std::fprintf(stderr, "%s:%d: %s\n", file.c_str(), serializer.ErrorLine(), WithoutPrefix(serializer.ErrorMessage()));
    else
        std::fprintf(stderr, "%s: %s\n", file.c_str(), WithoutPrefix(serializer.ErrorMessage()));
}

// Rows of every table of the main database, and the number of tables.
void CountRows(Database::Connection& connection, long long& rows, int& tables) {
    rows = 0;
    tables = 0;
    Database::Results names;
    if (!connection.Execute(names, "select name from sqlite_master where type = 'table' and name not like 'sqlite!_%' escape '!'"))
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

bool Validate(Database::Connection& connection) {
    const bool intact = connection.CheckIntegrity();
    const bool referencesValid = connection.ValidateFKConstraints(true);
    if (!intact)
        std::fprintf(stderr, "zrdb: the integrity check failed\n");
    if (!referencesValid)
        std::fprintf(stderr, "zrdb: invalid foreign-key references (listed above and in the log)\n");
    return intact && referencesValid;
}

}  // namespace

LoadSummary LoadDataFiles(Database::Connection& connection, const Options& options,
                          const std::vector<std::string>& paths) {
    const auto start = std::chrono::steady_clock::now();
    LoadSummary summary;
    Database::XMLSerializer serializer(connection);
    serializer.UseTransactions(!options.noTransactions);
    serializer.SetPackageTag(options.packageTag.c_str());
    for (const std::string& table : options.tagTables)
        serializer.AddTableToPackageTagList(table.c_str());

    const std::vector<std::string> files = ExpandPaths(paths);
    ProgressLine progress(options.quiet);
    for (std::size_t index = 0; index < files.size(); ++index) {
        progress.Show("[" + std::to_string(index + 1) + "/" + std::to_string(files.size()) + "] " + files[index]);
        if (serializer.Load(files[index].c_str())) {
            ++summary.loaded;
            continue;
        }
        ++summary.failed;
        progress.Clear();
        ReportFailure(files[index], serializer);
        if (options.failFast)
            break;
    }
    progress.Clear();
    summary.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return summary;
}

std::string DescribeLoad(Database::Connection& connection, const LoadSummary& summary) {
    long long rows = 0;
    int tables = 0;
    CountRows(connection, rows, tables);
    char text[256];
    std::snprintf(text, sizeof text, "%d file%s loaded, %d failed; %lld rows in %d tables; %.2f s", summary.loaded,
                  summary.loaded == 1 ? "" : "s", summary.failed, rows, tables, summary.seconds);
    return text;
}

int RunLoad(const Options& options) {
    Database::Connection connection;
    if (!OpenDatabase(connection, options, options.database, false))
        return 1;
    const LoadSummary summary = LoadDataFiles(connection, options, options.operands);
    bool succeeded = summary.failed == 0;
    if (options.validate && !Validate(connection))
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
    if (!options.quiet) {
        std::printf("%s\n", DescribeLoad(connection, summary).c_str());
        // What did load is saved all the same; the line says so when some work failed.
        if (saved)
            std::printf("snapshot saved to %s%s\n", options.output.c_str(),
                        succeeded ? "" : " (some work failed: see above)");
    }
    return succeeded ? 0 : 1;
}

bool OpenDatabase(Database::Connection& connection, const Options& options, const std::string& path, bool readOnly) {
    auto* logger = new FileLogger(options.logPath);
    connection.SetLogger(logger);
    const int flags = readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    // The log has the reason; the terminal gets it from the logger's echo on stderr.
    if (!connection.Open(path.empty() ? nullptr : path.c_str(), flags)) {
        std::fprintf(stderr, "zrdb: cannot open the database %s\n", path.c_str());
        return false;
    }
    return true;
}

}  // namespace Zrdb
