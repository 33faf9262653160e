// Commands.h: the commands of zrdb. Each returns the exit status: 0 success, 1 some work failed.
#pragma once

#include <string>
#include <vector>

#include "Options.h"

namespace Database {
class Connection;
}

namespace Zrdb {

class FileLogger;

int RunLoad(const Options& options);
int RunCheck(const Options& options);
int RunScript(const Options& options);
int RunQuery(const Options& options);
int RunTables(const Options& options);
int RunSchema(const Options& options);
int RunWhy(const Options& options);

// What a load of data files did.
struct LoadSummary {
    int loaded = 0;
    int failed = 0;
    int warnings = 0;
    bool fromCache = false;  // read from the snapshot cache of --cache
    double seconds = 0;
};

// Loads every data file named by paths (files, or folders of *.xml below them in name order) into
// connection, with the options' package tags and transactions; each failure is printed as
// FILE:LINE: message on stderr. Stops at the first failure with failFast.
LoadSummary LoadDataFiles(Database::Connection& connection, const Options& options,
                          const std::vector<std::string>& paths);

// "12 files loaded, 1 failed; 3456 rows in 9 tables; 0.42 s"
std::string DescribeLoad(Database::Connection& connection, const LoadSummary& summary);

// Opens path (or an in-memory database for an empty path) with a logger writing to the options'
// log file, and returns that logger (the connection owns it); null, with the reason on stderr,
// when the database does not open.
FileLogger* OpenDatabase(Database::Connection& connection, const Options& options, const std::string& path,
                         bool readOnly);

// Whether path is an existing file; when it is not, says so on stderr ("zrdb: PATH: no such
// file"). Opening a missing database would create it, or fail in SQLite's words.
bool FileExists(const std::string& path);

}  // namespace Zrdb
