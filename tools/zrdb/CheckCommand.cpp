// CheckCommand.cpp: `zrdb check`: integrity, foreign keys and the memory report of a snapshot.
#include <cstdio>

#include "Commands.h"
#include "ZrGameDatabase/Connection.h"

namespace Zrdb {

int RunCheck(const Options& options) {
    const std::string& path = options.operands[0];
    // Opening read-only never creates the file, but a missing file deserves its own words.
    if (!FileExists(path))
        return 1;
    Database::Connection connection;
    if (!OpenDatabase(connection, options, path, true))
        return 1;
    const bool intact = connection.CheckIntegrity();
    std::printf("integrity:    %s\n", intact ? "ok" : "FAILED");
    if (!intact) {
        // A file that is no database fails here already; its foreign keys cannot be read.
        std::fprintf(stderr, "zrdb: %s failed the integrity check: %s\n", path.c_str(),
                     connection.ErrorCode() != 0 && connection.ErrorCode() != 101 ? connection.ErrorMessage()
                                                                                  : "see the log");
        return 1;
    }
    const bool referencesValid = connection.ValidateFKConstraints(true);
    std::printf("foreign keys: %s\n", referencesValid ? "ok" : "FAILED (invalid references listed on stderr)");
    // The report is logged all the same: --quiet only keeps it off stdout.
    const char* report = connection.CalculateMemoryStats();
    if (options.quiet)
        return referencesValid ? 0 : 1;
    std::printf("%s\n", report);
    // The report's overflow figures look like faults to a first reader; they are not.
    std::printf("Static Buffer Overflows: bytes that the fixed page-cache and scratch buffers could not\n"
                "hold (now, and the highest so far); the private heap served them instead, so figures\n"
                "above zero are no error.\n");
    return referencesValid ? 0 : 1;
}

}  // namespace Zrdb
