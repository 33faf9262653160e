// Options.h: the command line of zrdb: the command, its options and its operands.
#pragma once

#include <string>
#include <vector>

namespace Zrdb {

enum class Command { None, Load, Check, Run, Query, Tables, Schema, Why };

// How load reports: text lines, or one JSON object per line for programs that read the output.
enum class OutputFormat { Text, Json };

struct Options {
    using OutputFormat = Zrdb::OutputFormat;  // both spellings name the one type
    Command command = Command::None;
    std::vector<std::string> operands;   // paths, the snapshot, the script, the SQL
    std::vector<std::string> scriptArguments;  // run: what follows the script
    std::string output;                  // load -o: snapshot to save after loading; schema -o
    std::string database;                // --db: database file to work on
    std::string cache;                   // load --cache: folder of the snapshot cache
    std::string packageTag;              // --package given after the last path: it applies to every path
    std::vector<std::string> operandPackages;  // load: the --package in force for each operand ("" for none)
    std::vector<std::string> tagTables;  // --tag-table, repeatable
    std::vector<std::string> loadPaths;  // run --load, repeatable
    std::vector<std::string> rootElements;  // schema --root, repeatable
    std::string logPath = "Database.log";
    bool noTransactions = false;
    bool validate = false;
    bool failFast = false;
    bool strict = false;                 // load --strict: any warning fails its file
    bool provenance = false;             // load --provenance: record who wrote what in zrdb_provenance
    bool conflicts = false;              // load --conflicts: report values and rows packages fight over
    OutputFormat format = OutputFormat::Text;  // load --format
    bool csv = false;                    // query --csv
    bool typedValues = false;            // schema --typed-values
    bool quiet = false;
    bool help = false;
    bool version = false;
};

// Parses argv. False with a message in error when the command line is not one zrdb takes.
bool ParseOptions(int argc, char** argv, Options& options, std::string& error);

// The help text of the program (Command::None) or of one command.
const char* HelpText(Command command);

}  // namespace Zrdb
