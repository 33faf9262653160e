// Options.cpp: parsing zrdb's command line. Options may stand anywhere after the command, "--"
// ends them, and for `run` everything after the script belongs to the script.
#include "Options.h"

#include <cstring>

namespace Zrdb {
namespace {

struct CommandName {
    const char* name;
    Command command;
};

constexpr CommandName kCommands[] = {
    {"load", Command::Load}, {"check", Command::Check}, {"run", Command::Run},
    {"query", Command::Query}, {"tables", Command::Tables}, {"schema", Command::Schema}, {"why", Command::Why},
};

const char* const kProgramHelp =
    "zrdb: load, check, query and script game rule data.\n"
    "\n"
    "Usage:\n"
    "  zrdb load [options] PATH...      load data files (files, or folders of *.xml in name order)\n"
    "  zrdb check FILE                  integrity, foreign keys and memory report of a snapshot\n"
    "  zrdb run [--db FILE | --load PATH...] SCRIPT.lua [ARGS...]\n"
    "                                   run a Lua script with the database as the global DB\n"
    "  zrdb query [--csv] FILE SQL      print the rows of each statement as a table (or CSV)\n"
    "  zrdb tables FILE                 list the tables of a database with their row counts\n"
    "  zrdb schema FILE [-o XSD]        XML Schema of the data files for the tables of a database\n"
    "  zrdb why FILE TABLE KEY [COLUMN] which file set a row or a value (after load --provenance)\n"
    "\n"
    "Common options:\n"
    "  --log FILE     log file (default Database.log)\n"
    "  --quiet        no progress line and no summary\n"
    "  --help         help of the program, or of a command (zrdb load --help)\n"
    "  --version      versions of zrdb, the library, SQLite and Lua\n"
    "\n"
    "Exit status: 0 success, 1 some work failed, 2 usage error.\n";

const char* const kLoadHelp =
    "Usage: zrdb load [options] PATH...\n"
    "\n"
    "Loads data files into a database, one transaction per file, in the order given; a folder\n"
    "stands for every *.xml file below it (any letter case), in name order. A file that fails\n"
    "changes nothing; the other files are loaded all the same. Each problem is one line on\n"
    "stderr: FILE:LINE: error: MESSAGE, or FILE:LINE: warning: MESSAGE [CODE] for what loads but\n"
    "perhaps not as its author meant (the codes are listed in the README).\n"
    "\n"
    "Options:\n"
    "  -o, --output FILE   save a snapshot of the database after loading\n"
    "  --db FILE           work on this database file instead of an in-memory one\n"
    "  --package TAG       the package of the paths after it: its label for --provenance and\n"
    "                      the tag rows of the tables named with --tag-table get (given after\n"
    "                      the last path: for the paths without one); without one, a path's\n"
    "                      package label is its folder's name and it gets no tag\n"
    "  --tag-table NAME    tag rows of this table (repeatable)\n"
    "  --no-transactions   load without one transaction per file\n"
    "  --validate          check integrity and foreign keys after loading\n"
    "  --fail-fast         stop at the first file that fails\n"
    "  --strict            any warning fails its file, which is rolled back, and the exit\n"
    "                      status is 1\n"
    "  --format text|json  text (the default), or json: one JSON object per line on stdout for\n"
    "                      each diagnostic and a final summary object\n"
    "  --provenance        record which file and package wrote each value, in the table\n"
    "                      zrdb_provenance (kept by -o; read it with zrdb why)\n"
    "  --conflicts         report every value or row two packages wrote, as warnings with\n"
    "                      both places [conflict]; implies --provenance; with --strict they fail\n"
    "  --cache DIR         keep a snapshot of each load that succeeded in DIR and, while the\n"
    "                      files and options stay the same, read it instead of the files (the\n"
    "                      warnings of the load that made it are counted, not shown again)\n"
    "  --log FILE, --quiet, --help\n";

const char* const kCheckHelp =
    "Usage: zrdb check FILE\n"
    "\n"
    "Checks a snapshot (or any database file): its integrity, every foreign-key reference, and\n"
    "prints SQLite's memory report. Invalid references are listed on stderr and in the log.\n"
    "With --quiet the memory report is only written to the log.\n"
    "Exit status 1 when a check fails or the file is no database.\n";

const char* const kRunHelp =
    "Usage: zrdb run [--db FILE | --load PATH...] SCRIPT.lua [ARGS...]\n"
    "\n"
    "Runs a Lua script against a database: a database file (--db), data files loaded first\n"
    "(--load, repeatable), or both. In the script, DB is the database object (DB.Units,\n"
    "DB.Units.UNIT_WARRIOR, DB.Units[1], #DB.Units, for row in DB.Units{Cost = 40} do ... end),\n"
    "DatabaseMemoryUsage() and CollectDatabaseMemoryUsage() report SQLite's memory, and arg\n"
    "holds the script's arguments (arg[0] is the script). An error prints its traceback.\n";

const char* const kQueryHelp =
    "Usage: zrdb query [--csv] FILE SQL\n"
    "\n"
    "Runs the SQL statements of SQL on a database file, read-only, one after the other, and\n"
    "prints the rows of each as an aligned table with the column names, then (N rows); a blank\n"
    "line separates the statements. The first statement that fails ends the run (exit status 1)\n"
    "after the rows read before it.\n"
    "\n"
    "A null is shown as NULL, a blob as (blob). A text that would read as one of those, or that\n"
    "begins with a quote, is shown as an SQL literal in single quotes, inner quotes doubled:\n"
    "the text NULL is shown as 'NULL'.\n"
    "\n"
    "Options:\n"
    "  --csv   comma-separated values (RFC 4180): a header line of the column names, then one\n"
    "          line per row, lines ending in CRLF; a field holding a comma, a quote, CR or LF is\n"
    "          quoted, inner quotes doubled. A null is an empty field, an empty text \"\", a blob\n"
    "          (blob). Statements are separated by an empty line; no row counts.\n"
    "  --log FILE, --help\n";

const char* const kSchemaHelp =
    "Usage: zrdb schema FILE [-o XSD] [--root NAME]... [--typed-values]\n"
    "\n"
    "Writes an XML Schema (XSD 1.0) of the data files that fill the tables of the database FILE:\n"
    "the definitions (Table, AlterTable, Index, DeleteMissingReferences) and one element per\n"
    "table, its rows, updates and deletes naming its real columns. An editor with XML Schema\n"
    "support then completes and checks a mod's files; so does xmllint --noout --schema XSD.\n"
    "A data file names the schema in its root element:\n"
    "  <GameData xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"\n"
    "            xsi:noNamespaceSchemaLocation=\"rules.xsd\">\n"
    "Names are spelt as in the database (XML names are case-sensitive). A mod that creates\n"
    "tables is checked against a database the mod has been loaded into.\n"
    "\n"
    "Options:\n"
    "  -o, --output XSD   write the schema to this file instead of stdout\n"
    "  --root NAME        also allow NAME as the root element (repeatable); Data, GameData,\n"
    "                     ModData and Ruleset are always allowed\n"
    "  --typed-values     values of integer, real and boolean columns must have their type's\n"
    "                     form (NULL, empty, true and false pass too); without it any text passes,\n"
    "                     as the loader stores any text\n"
    "  --log FILE, --quiet, --help\n";

const char* const kWhyHelp =
    "Usage: zrdb why FILE TABLE KEY [COLUMN]\n"
    "\n"
    "Prints the history of a row (or of one of its values) of a database loaded with\n"
    "zrdb load --provenance: each change, oldest first, with the FILE:LINE that made it, its\n"
    "package and the value written. KEY is the row's Type (or its first column's value).\n";

const char* const kTablesHelp =
    "Usage: zrdb tables FILE\n"
    "\n"
    "Lists the tables of a database file with their row counts.\n";

Command FindCommand(const char* name) {
    for (const CommandName& entry : kCommands) {
        if (std::strcmp(entry.name, name) == 0)
            return entry.command;
    }
    return Command::None;
}

// Reads the value of an option that takes one; false when none follows.
bool TakeValue(int& index, int argc, char** argv, std::string& value, std::string& error) {
    if (index + 1 >= argc) {
        error = std::string("option ") + argv[index] + " needs a value";
        return false;
    }
    value = argv[++index];
    return true;
}

// Options every command takes. Returns true when argument was one of them.
bool ParseCommonOption(const char* argument, int& index, int argc, char** argv, Options& options, std::string& error,
                       bool& failed) {
    if (std::strcmp(argument, "--log") == 0) {
        failed = !TakeValue(index, argc, argv, options.logPath, error);
    } else if (std::strcmp(argument, "--quiet") == 0) {
        options.quiet = true;
    } else if (std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0) {
        options.help = true;
    } else if (std::strcmp(argument, "--version") == 0) {
        options.version = true;
    } else {
        return false;
    }
    return true;
}

// --format of load: a value it does not know is a usage error, not a silent fall-back to text.
bool TakeFormat(int& index, int argc, char** argv, Options& options, std::string& error) {
    std::string value;
    if (!TakeValue(index, argc, argv, value, error))
        return false;
    if (value == "text" || value == "json") {
        options.format = value == "json" ? OutputFormat::Json : OutputFormat::Text;
        return true;
    }
    error = "unknown --format '" + value + "' (text or json)";
    return false;
}

// Options of the commands other than load and run. Returns true when argument was one of them.
bool ParseOtherCommandOption(const char* argument, int& index, int argc, char** argv, Options& options,
                             std::string& error, bool& failed) {
    std::string value;
    if (options.command == Command::Query && std::strcmp(argument, "--csv") == 0) {
        options.csv = true;
        return true;
    }
    if (options.command != Command::Schema)
        return false;
    if (std::strcmp(argument, "-o") == 0 || std::strcmp(argument, "--output") == 0)
        failed = !TakeValue(index, argc, argv, options.output, error);
    else if (std::strcmp(argument, "--root") == 0) {
        failed = !TakeValue(index, argc, argv, value, error);
        options.rootElements.push_back(value);
    } else if (std::strcmp(argument, "--typed-values") == 0)
        options.typedValues = true;
    else
        return false;
    return true;
}

// Options of one command. Returns true when argument was one of them.
bool ParseCommandOption(const char* argument, int& index, int argc, char** argv, Options& options, std::string& error,
                        bool& failed) {
    std::string value;
    if (options.command == Command::Load) {
        if (std::strcmp(argument, "-o") == 0 || std::strcmp(argument, "--output") == 0)
            failed = !TakeValue(index, argc, argv, options.output, error);
        else if (std::strcmp(argument, "--db") == 0)
            failed = !TakeValue(index, argc, argv, options.database, error);
        else if (std::strcmp(argument, "--package") == 0)
            failed = !TakeValue(index, argc, argv, options.packageTag, error);
        else if (std::strcmp(argument, "--cache") == 0)
            failed = !TakeValue(index, argc, argv, options.cache, error);
        else if (std::strcmp(argument, "--provenance") == 0)
            options.provenance = true;
        else if (std::strcmp(argument, "--conflicts") == 0)
            options.conflicts = options.provenance = true;
        else if (std::strcmp(argument, "--tag-table") == 0) {
            failed = !TakeValue(index, argc, argv, value, error);
            options.tagTables.push_back(value);
        } else if (std::strcmp(argument, "--no-transactions") == 0)
            options.noTransactions = true;
        else if (std::strcmp(argument, "--validate") == 0)
            options.validate = true;
        else if (std::strcmp(argument, "--fail-fast") == 0)
            options.failFast = true;
        else if (std::strcmp(argument, "--strict") == 0)
            options.strict = true;
        else if (std::strcmp(argument, "--format") == 0)
            failed = !TakeFormat(index, argc, argv, options, error);
        else
            return false;
        return true;
    }
    if (options.command == Command::Run) {
        if (std::strcmp(argument, "--db") == 0)
            failed = !TakeValue(index, argc, argv, options.database, error);
        else if (std::strcmp(argument, "--load") == 0) {
            failed = !TakeValue(index, argc, argv, value, error);
            options.loadPaths.push_back(value);
        } else
            return false;
        return true;
    }
    return ParseOtherCommandOption(argument, index, argc, argv, options, error, failed);
}

// How many operands each command wants: at least, and at most (-1: no limit).
void OperandCounts(Command command, int& least, int& most) {
    switch (command) {
        case Command::Load: least = 1; most = -1; return;
        case Command::Check: least = 1; most = 1; return;
        case Command::Run: least = 1; most = 1; return;
        case Command::Query: least = 2; most = 2; return;
        case Command::Tables: least = 1; most = 1; return;
        case Command::Schema: least = 1; most = 1; return;
        case Command::Why: least = 3; most = 4; return;
        case Command::None: break;
    }
    least = 0;
    most = 0;
}

bool CheckOperands(const Options& options, std::string& error) {
    int least = 0;
    int most = 0;
    OperandCounts(options.command, least, most);
    const int count = static_cast<int>(options.operands.size());
    if (count < least) {
        error = "missing operand";
        return false;
    }
    if (most >= 0 && count > most) {
        error = "unexpected operand '" + options.operands[most] + "'";
        return false;
    }
    return true;
}

}  // namespace

bool ParseOptions(int argc, char** argv, Options& options, std::string& error) {
    int index = 1;
    for (; index < argc && options.command == Command::None; ++index) {
        const char* argument = argv[index];
        bool failed = false;
        if (ParseCommonOption(argument, index, argc, argv, options, error, failed)) {
            if (failed)
                return false;
            continue;
        }
        options.command = FindCommand(argument);
        if (options.command == Command::None) {
            error = std::string("unknown command '") + argument + "'";
            return false;
        }
    }
    if (options.command == Command::None) {
        if (options.help || options.version)
            return true;
        error = "no command given";
        return false;
    }

    bool optionsEnded = false;
    for (; index < argc; ++index) {
        const char* argument = argv[index];
        const bool scriptSeen = options.command == Command::Run && !options.operands.empty();
        if (scriptSeen) {
            options.scriptArguments.push_back(argument);
            continue;
        }
        if (!optionsEnded && std::strcmp(argument, "--") == 0) {
            optionsEnded = true;
            continue;
        }
        if (!optionsEnded && argument[0] == '-' && argument[1] != '\0') {
            bool failed = false;
            if (ParseCommonOption(argument, index, argc, argv, options, error, failed)
                || ParseCommandOption(argument, index, argc, argv, options, error, failed)) {
                if (failed)
                    return false;
                continue;
            }
            error = std::string("unknown option '") + argument + "'";
            return false;
        }
        options.operands.push_back(argument);
        // A --package stands for the paths after it; one after the last path, for every path.
        options.operandPackages.push_back(options.packageTag);
    }
    if (options.command == Command::Load && !options.packageTag.empty()
        && (options.operandPackages.empty() || options.operandPackages.back() != options.packageTag)) {
        for (std::string& package : options.operandPackages) {
            if (package.empty())
                package = options.packageTag;
        }
    }
    return options.help || options.version || CheckOperands(options, error);
}

const char* HelpText(Command command) {
    switch (command) {
        case Command::Load: return kLoadHelp;
        case Command::Check: return kCheckHelp;
        case Command::Run: return kRunHelp;
        case Command::Query: return kQueryHelp;
        case Command::Tables: return kTablesHelp;
        case Command::Schema: return kSchemaHelp;
        case Command::Why: return kWhyHelp;
        case Command::None: break;
    }
    return kProgramHelp;
}

}  // namespace Zrdb
