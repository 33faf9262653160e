// Process.h: running a program of the project and collecting what it printed.
#pragma once

#include <string>
#include <vector>

namespace Database::Testing {

struct ProcessResult {
    int exitStatus = -1;  // the program's exit status; -1 when it did not exit normally
    std::string out;      // what it wrote to stdout
    std::string err;      // what it wrote to stderr
};

// Runs program with arguments in folder workingDirectory (empty: the current one) and waits for
// it. With onTerminal, its stdout and stderr are one pseudo-terminal and all output lands in out.
ProcessResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& workingDirectory, bool onTerminal = false);

}  // namespace Database::Testing
