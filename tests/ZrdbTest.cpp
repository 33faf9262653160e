// zrdb as its users run it: every command's happy path and failures, exit statuses, what reaches
// stdout, stderr and the log file, progress and summary.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <filesystem>
#include <string>
#include <vector>

#include "support/Process.h"
#include "support/TemporaryDirectory.h"

namespace Database::Testing {
namespace {

const std::string kRuleset = std::string(ZRDB_TEST_DATA_DIR) + "/ruleset";

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class Zrdb : public ::testing::Test {
protected:
    ProcessResult Run(const std::vector<std::string>& arguments, bool onTerminal = false) {
        return RunProgram(ZRDB_PROGRAM, arguments, folder.Path(), onTerminal);
    }
    std::string Log() {
        std::ifstream in(folder.File("Database.log"));
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    // Loads the test ruleset into a snapshot called name.
    void MakeSnapshot(const std::string& name) {
        const ProcessResult load = Run({"load", kRuleset, "-o", name, "--quiet"});
        ASSERT_EQ(load.exitStatus, 0) << load.err;
    }

    TemporaryDirectory folder;
};

TEST_F(Zrdb, LoadReportsASummaryAndNoProgressOffTheTerminal) {
    const ProcessResult load = Run({"load", kRuleset, "-o", "rules.db", "--package", "MOD", "--tag-table", "Units",
                                    "--validate"});
    EXPECT_EQ(load.exitStatus, 0) << load.err;
    EXPECT_TRUE(Contains(load.out, "3 files loaded, 0 failed; 11 rows in 4 tables;")) << load.out;
    EXPECT_TRUE(Contains(load.out, "snapshot saved to rules.db"));
    EXPECT_FALSE(Contains(load.out, "\r"));
    EXPECT_EQ(load.err, "");
    EXPECT_TRUE(Contains(Log(), "[message] Passed Validation."));
}

TEST_F(Zrdb, ProgressShowsOnATerminal) {
    const ProcessResult load = Run({"load", kRuleset}, true);
    EXPECT_EQ(load.exitStatus, 0) << load.out;
    EXPECT_TRUE(Contains(load.out, "\r[1/3] ")) << load.out;
    EXPECT_TRUE(Contains(load.out, "\r[3/3] "));
    EXPECT_TRUE(Contains(load.out, "3 files loaded"));
    const ProcessResult quiet = Run({"load", kRuleset, "--quiet"}, true);
    EXPECT_EQ(quiet.out, "");
}

TEST_F(Zrdb, AFailingFileIsReportedWithItsLineAndTheOthersLoad) {
    folder.Write("a.xml", "<Data><Table name=\"Units\"><Column name=\"Type\" type=\"text\" unique=\"true\"/></Table></Data>");
    folder.Write("b.xml", "<Data>\n<Units>\n  <Row Type=\"X\"/>\n  <Row Type=\"X\"/>\n</Units>\n</Data>");
    folder.Write("c.xml", "<Data><Units><Row Type=\"Y\"/></Units></Data>");
    const ProcessResult load = Run({"load", "a.xml", "b.xml", "c.xml", "missing.xml", "-o", "out.db"});
    EXPECT_EQ(load.exitStatus, 1);
    EXPECT_TRUE(Contains(load.err, "b.xml:4: UNIQUE constraint failed: Units.Type\n")) << load.err;
    EXPECT_TRUE(Contains(load.err, "missing.xml: Cannot load file into memory.\n")) << load.err;
    EXPECT_TRUE(Contains(load.out, "2 files loaded, 2 failed; 1 rows in 1 tables;")) << load.out;
    EXPECT_TRUE(Contains(Log(), "[error] UNIQUE constraint failed: Units.Type"));
    EXPECT_TRUE(Contains(Log(), "[message] In XMLSerializer while updating table Units from file b.xml."));
    const ProcessResult rows = Run({"query", "out.db", "select Type from Units"});
    EXPECT_EQ(rows.out, "Type\n----\nY\n(1 row)\n");

    const ProcessResult fast = Run({"load", "a.xml", "b.xml", "c.xml", "--fail-fast", "--log", "other.log"});
    EXPECT_EQ(fast.exitStatus, 1);
    EXPECT_TRUE(Contains(fast.out, "1 file loaded, 1 failed;")) << fast.out;
}

TEST_F(Zrdb, CheckPassesASnapshotAndFailsACorruptOne) {
    MakeSnapshot("rules.db");
    const ProcessResult check = Run({"check", "rules.db"});
    EXPECT_EQ(check.exitStatus, 0) << check.err;
    EXPECT_TRUE(Contains(check.out, "integrity:    ok\nforeign keys: ok\n"));
    EXPECT_TRUE(Contains(check.out, "-- SQLite Memory Statistics --"));

    folder.Write("corrupt.db", std::string(4096, '\x5a'));
    const ProcessResult corrupt = Run({"check", "corrupt.db"});
    EXPECT_EQ(corrupt.exitStatus, 1);
    EXPECT_TRUE(Contains(corrupt.err, "file is not a database")) << corrupt.err;
    EXPECT_EQ(Run({"check", "nothing.db"}).exitStatus, 1);
}

TEST_F(Zrdb, RunGivesTheScriptTheDatabaseAndItsArguments) {
    MakeSnapshot("rules.db");
    folder.Write("report.lua", "print(#DB.Units, DB.Units.UNIT_KNIGHT.Cost, arg[0], arg[1], arg[2])\n"
                               "CollectDatabaseMemoryUsage()\n"
                               "print(DatabaseMemoryUsage().NumRegions > 0)\n");
    const ProcessResult run = Run({"run", "--db", "rules.db", "report.lua", "first", "--second"});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, "4\t120\treport.lua\tfirst\t--second\ntrue\n");

    const ProcessResult loaded = Run({"run", "--load", kRuleset + "/01_schema.xml", "--load", kRuleset + "/02_rows.xml",
                                      "report.lua"});
    EXPECT_EQ(loaded.exitStatus, 1);  // no UNIT_KNIGHT before the mod: indexing nil fails
    EXPECT_TRUE(Contains(loaded.err, "2 files loaded, 0 failed;")) << loaded.err;

    const ProcessResult misspelt = Run({"run", "--db", "rulse.db", "report.lua"});
    EXPECT_EQ(misspelt.exitStatus, 1);
    EXPECT_TRUE(Contains(misspelt.err, "zrdb: rulse.db: no such file")) << misspelt.err;
    EXPECT_FALSE(std::filesystem::exists(folder.Path() + "/rulse.db"));
}

TEST_F(Zrdb, AScriptErrorPrintsItsTraceback) {
    MakeSnapshot("rules.db");
    folder.Write("broken.lua", "local function look()\n  return DB.Units.UNIT_WARRIOR.Cost.Nothing\nend\nlook()\n");
    const ProcessResult run = Run({"run", "--db", "rules.db", "broken.lua"});
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_TRUE(Contains(run.err, "zrdb: script error: broken.lua:2: attempt to index")) << run.err;
    EXPECT_TRUE(Contains(run.err, "stack traceback:"));
    EXPECT_TRUE(Contains(run.err, "broken.lua:4: in main chunk"));

    folder.Write("read_only.lua", "DB.Units.UNIT_WARRIOR.Nothing = 1\n");
    const ProcessResult readOnly = Run({"run", "--db", "rules.db", "read_only.lua"});
    EXPECT_EQ(readOnly.exitStatus, 1);
    EXPECT_TRUE(Contains(readOnly.err, "[C]: in function 'Lua::")) << readOnly.err;
    EXPECT_EQ(Run({"run", "--db", "rules.db", "absent.lua"}).exitStatus, 1);
}

TEST_F(Zrdb, QueryAndTablesPrintAlignedTables) {
    MakeSnapshot("rules.db");
    const ProcessResult query = Run({"query", "rules.db",
                                     "select Type, Cost, PackageID from Units where Cost > 50 order by Cost"});
    EXPECT_EQ(query.exitStatus, 0) << query.err;
    EXPECT_EQ(query.out, "Type         Cost  PackageID\n"
                         "-----------  ----  ---------\n"
                         "UNIT_ARCHER  55    NULL\n"
                         "UNIT_KNIGHT  120   NULL\n"
                         "(2 rows)\n");
    const ProcessResult tables = Run({"tables", "rules.db"});
    EXPECT_EQ(tables.exitStatus, 0);
    EXPECT_EQ(tables.out, "table         rows\n"
                          "------------  ----\n"
                          "Eras             3\n"
                          "UnitClasses      3\n"
                          "UnitUpgrades     1\n"
                          "Units            4\n");
    const ProcessResult bad = Run({"query", "rules.db", "select x from nowhere"});
    EXPECT_EQ(bad.exitStatus, 1);
    EXPECT_TRUE(Contains(bad.err, "no such table: nowhere"));
}

TEST_F(Zrdb, UsageErrorsExitWithTwo) {
    EXPECT_EQ(Run({}).exitStatus, 2);
    EXPECT_EQ(Run({"unpack"}).exitStatus, 2);
    EXPECT_EQ(Run({"load"}).exitStatus, 2);
    EXPECT_EQ(Run({"load", "x.xml", "--bogus"}).exitStatus, 2);
    EXPECT_EQ(Run({"load", "x.xml", "-o"}).exitStatus, 2);
    EXPECT_EQ(Run({"query", "rules.db"}).exitStatus, 2);
    const ProcessResult unknown = Run({"tables", "a.db", "b.db"});
    EXPECT_EQ(unknown.exitStatus, 2);
    EXPECT_TRUE(Contains(unknown.err, "zrdb: unexpected operand 'b.db'"));
    EXPECT_TRUE(Contains(unknown.err, "Usage: zrdb tables FILE"));
}

TEST_F(Zrdb, HelpAndVersion) {
    const ProcessResult help = Run({"--help"});
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_TRUE(Contains(help.out, "zrdb load [options] PATH..."));
    const ProcessResult loadHelp = Run({"load", "--help"});
    EXPECT_TRUE(Contains(loadHelp.out, "--tag-table NAME"));
    const ProcessResult version = Run({"--version"});
    EXPECT_EQ(version.exitStatus, 0);
    EXPECT_TRUE(Contains(version.out, "SQLite 3.")) << version.out;
    // "--" ends the options: what follows is a path even if it looks like an option.
    folder.Write("-odd.xml", "<Data/>");
    EXPECT_EQ(Run({"load", "--quiet", "--", "-odd.xml"}).exitStatus, 0);
}

}  // namespace
}  // namespace Database::Testing
