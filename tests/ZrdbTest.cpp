// zrdb as its users run it: every command's happy path and failures, exit statuses, what reaches
// stdout, stderr and the log file, progress and summary.
#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdlib>
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

TEST_F(Zrdb, LoadWithACacheReadsItsSnapshotWhileTheOptionsStayTheSame) {
    const ProcessResult first = Run({"load", kRuleset, "--cache", "cache", "-o", "first.db"});
    EXPECT_EQ(first.exitStatus, 0) << first.err;
    EXPECT_FALSE(Contains(first.out, "snapshot cache"));
    const ProcessResult second = Run({"load", kRuleset, "--cache", "cache", "-o", "second.db"});
    EXPECT_EQ(second.exitStatus, 0) << second.err;
    EXPECT_TRUE(Contains(second.out, "read from the snapshot cache cache")) << second.out;
    EXPECT_TRUE(Contains(second.out, "3 files loaded, 0 failed; 11 rows in 4 tables;")) << second.out;
    const ProcessResult provenance = Run({"load", kRuleset, "--cache", "cache", "--provenance", "-o", "third.db"});
    EXPECT_FALSE(Contains(provenance.out, "snapshot cache")) << "a load that records provenance is another result";
    const ProcessResult why = Run({"why", "third.db", "Units", "UNIT_WARRIOR"});
    EXPECT_EQ(why.exitStatus, 0) << why.err;
}

TEST_F(Zrdb, ProgressShowsOnATerminal) {
#if defined(_WIN32)
    GTEST_SKIP() << "needs a pseudo-terminal, which Windows cannot give a program";
#endif
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
    EXPECT_TRUE(Contains(load.err, "b.xml:4: error: UNIQUE constraint failed: Units.Type\n")) << load.err;
    EXPECT_TRUE(Contains(load.err, "missing.xml: error: cannot read the file: no such file\n")) << load.err;
    EXPECT_TRUE(Contains(load.out, "2 files loaded, 2 failed; 1 row in 1 table;")) << load.out;
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

TEST_F(Zrdb, QueryTellsNullFromTheTextNullAndRunsEveryStatement) {
    MakeSnapshot("rules.db");
    const ProcessResult query = Run({"query", "rules.db",
                                     "select NULL as n, 'NULL' as t, '''x' as q, 'plain' as p;"
                                     " select count(*) as units from Units; -- done"});
    EXPECT_EQ(query.exitStatus, 0) << query.err;
    EXPECT_EQ(query.out, "n     t       q      p\n"
                         "----  ------  -----  -----\n"
                         "NULL  'NULL'  '''x'  plain\n"
                         "(1 row)\n"
                         "\n"
                         "units\n"
                         "-----\n"
                         "4\n"
                         "(1 row)\n");
    // The first statement that fails ends the run, after what ran before it.
    const ProcessResult failing = Run({"query", "rules.db", "select 1 as one; select x from nowhere; select 3"});
    EXPECT_EQ(failing.exitStatus, 1);
    EXPECT_EQ(failing.out, "one\n---\n1\n(1 row)\n");
    EXPECT_TRUE(Contains(failing.err, "no such table: nowhere")) << failing.err;
    const ProcessResult empty = Run({"query", "rules.db", " ; -- nothing"});
    EXPECT_EQ(empty.exitStatus, 1);
    EXPECT_EQ(empty.err, "zrdb: the SQL holds no statement\n");
}

TEST_F(Zrdb, QueryWritesCsvWithRfc4180Quoting) {
    MakeSnapshot("rules.db");
    const ProcessResult csv = Run({"query", "--csv", "rules.db",
                                   "select 'a,b' as \"x,y\", 'say \"hi\"' as q, NULL as n, '' as e,"
                                   " 'l1' || char(10) || 'l2' as l, 5 as i;"
                                   " select Type from Eras order by ID limit 1"});
    EXPECT_EQ(csv.exitStatus, 0) << csv.err;
    EXPECT_EQ(csv.out, "\"x,y\",q,n,e,l,i\r\n"
                       "\"a,b\",\"say \"\"hi\"\"\",,\"\",\"l1\nl2\",5\r\n"
                       "\r\n"
                       "Type\r\n"
                       "ERA_ANCIENT\r\n");
}

TEST_F(Zrdb, CheckQuietLeavesTheMemoryReportToTheLog) {
    MakeSnapshot("rules.db");
    const ProcessResult check = Run({"check", "rules.db", "--quiet"});
    EXPECT_EQ(check.exitStatus, 0) << check.err;
    EXPECT_EQ(check.out, "integrity:    ok\nforeign keys: ok\n");
    EXPECT_TRUE(Contains(Log(), "-- SQLite Memory Statistics --"));
}

TEST_F(Zrdb, RunWithAMissingScriptSaysSoWithoutATraceback) {
    MakeSnapshot("rules.db");
    for (const auto& database : {std::vector<std::string>{}, std::vector<std::string>{"--db", "rules.db"}}) {
        std::vector<std::string> arguments{"run"};
        arguments.insert(arguments.end(), database.begin(), database.end());
        arguments.push_back("absent.lua");
        const ProcessResult run = Run(arguments);
        EXPECT_EQ(run.exitStatus, 1);
        EXPECT_EQ(run.err, "zrdb: absent.lua: no such file\n");
        EXPECT_EQ(run.out, "");
    }
}

TEST_F(Zrdb, LoadTakesStrictAndAFormatOfTextOrJson) {
    folder.Write("a.xml", "<Data/>");
    EXPECT_EQ(Run({"load", "--strict", "--format", "json", "--quiet", "a.xml"}).exitStatus, 0);
    EXPECT_EQ(Run({"load", "--format", "text", "--quiet", "a.xml"}).exitStatus, 0);
    const ProcessResult bad = Run({"load", "--format", "xml", "a.xml"});
    EXPECT_EQ(bad.exitStatus, 2);
    EXPECT_TRUE(Contains(bad.err, "zrdb: unknown --format 'xml' (text or json)")) << bad.err;
    EXPECT_TRUE(Contains(Run({"load", "--help"}).out, "--format text|json"));
}

// {==== zrdb schema, checked by a real XML Schema validator

#if !defined(_WIN32)
// The program called name on the PATH; empty when there is none.
std::string FindProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream folders(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');) {
        const std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return "";
}
#endif

class ZrdbSchema : public Zrdb {
protected:
    void SetUp() override {
#if defined(_WIN32)
        GTEST_SKIP() << "the validator, xmllint, is a program of the Linux machine";
#else
        xmllint = FindProgram("xmllint");
        if (xmllint.empty())
            GTEST_SKIP() << "xmllint is not installed (Debian package libxml2-utils, see scripts/install-deps.sh)";
#endif
    }
    // xmllint's exit status is 0 for a valid file, 3 for an invalid one, others for other trouble.
    ProcessResult Validate(const std::string& schema, const std::string& file) {
        return RunProgram(xmllint, {"--noout", "--schema", schema, file}, folder.Path());
    }

    std::string xmllint;
};

TEST_F(ZrdbSchema, TheSampleRulesetValidatesAndAMisspeltColumnDoesNot) {
    const std::string examples = std::string(ZRDB_SOURCE_DIR) + "/examples";
    // As the demo loads it.
    const ProcessResult load = Run({"load", examples + "/data", examples + "/mod", "--package", "MOD_EXAMPLE",
                                    "--tag-table", "Units", "--tag-table", "Buildings", "-o", "examples.db",
                                    "--quiet"});
    ASSERT_EQ(load.exitStatus, 0) << load.err;
    const ProcessResult schema = Run({"schema", "examples.db", "-o", "rules.xsd"});
    ASSERT_EQ(schema.exitStatus, 0) << schema.err;
    EXPECT_EQ(schema.out, "schema of 12 tables written to rules.xsd\n");
    ASSERT_EQ(Run({"schema", "examples.db", "--typed-values", "-o", "typed.xsd"}).exitStatus, 0);

    std::vector<std::filesystem::path> files;
    for (const char* part : {"/data", "/mod"}) {
        for (const auto& entry : std::filesystem::directory_iterator(examples + part))
            files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    ASSERT_EQ(files.size(), 7u);
    for (const auto& file : files) {
        for (const char* xsd : {"rules.xsd", "typed.xsd"}) {
            const ProcessResult valid = Validate(xsd, file.string());
            EXPECT_EQ(valid.exitStatus, 0) << file << " against " << xsd << ":\n" << valid.err;
        }
    }

    folder.Write("mod.xml", "<Ruleset>\n<Units>\n  <Row Type=\"UNIT_X\" Cots=\"40\"/>\n</Units>\n</Ruleset>\n");
    const ProcessResult misspelt = Validate("rules.xsd", "mod.xml");
    EXPECT_EQ(misspelt.exitStatus, 3);
    EXPECT_TRUE(Contains(misspelt.err, "mod.xml:3: element Row: Schemas validity error : Element 'Row', attribute "
                                       "'Cots': The attribute 'Cots' is not allowed."))
        << misspelt.err;
    folder.Write("mod.xml", "<Ruleset><Units><Row Type=\"UNIT_X\"><Cots>40</Cots></Row></Units></Ruleset>");
    EXPECT_EQ(Validate("rules.xsd", "mod.xml").exitStatus, 3);
    folder.Write("mod.xml", "<Ruleset><Unit><Row Type=\"UNIT_X\" Cost=\"40\"/></Unit></Ruleset>");
    EXPECT_EQ(Validate("rules.xsd", "mod.xml").exitStatus, 3);
}

// Values pass as the loader takes them unless --typed-values asks for their column's form; names
// that cannot be XML names are left out with a word; roots beyond the usual ones are added.
TEST_F(ZrdbSchema, ValuesNamesAndRoots) {
    folder.Write("a.xml", "<Data><Table name=\"T\"><Column name=\"ID\" type=\"integer\" primarykey=\"true\"/>"
                          "<Column name=\"Cost\" type=\"integer\"/><Column name=\"Ok\" type=\"boolean\"/>"
                          "<Column name=\"Odd Name\" type=\"text\"/></Table></Data>");
    ASSERT_EQ(Run({"load", "a.xml", "-o", "t.db", "--quiet"}).exitStatus, 0);
    const ProcessResult loose = Run({"schema", "t.db", "--root", "MyMod"});
    ASSERT_EQ(loose.exitStatus, 0);
    EXPECT_EQ(loose.err, "zrdb: column 'Odd Name' of table 'T' left out of the schema: its name is no XML name\n");
    folder.Write("loose.xsd", loose.out);
    ASSERT_EQ(Run({"schema", "t.db", "--typed-values", "--root", "MyMod", "-o", "typed.xsd", "--quiet"}).out, "");

    // What the validator says of rows in table T: "" when they are valid.
    const auto complaints = [&](const std::string& xsd, const std::string& rows) {
        folder.Write("m.xml", "<MyMod><T>" + rows + "</T></MyMod>");
        const ProcessResult result = Validate(xsd, "m.xml");
        return result.exitStatus == 0 ? std::string() : result.err;
    };
    const std::string forms = "<Row Cost=\"-3\" Ok=\"TRUE\"/><Row><Cost> 12 </Cost><Ok>0</Ok></Row>"
                              "<Update><Where rowid=\"1\"/><Set Cost=\"NULL\" Ok=\"\"/></Update><Delete/>";
    EXPECT_EQ(complaints("loose.xsd", forms), "");
    EXPECT_EQ(complaints("typed.xsd", forms), "");
    EXPECT_EQ(complaints("loose.xsd", "<Row Cost=\"4O\" Ok=\"yes\"/>"), "");
    EXPECT_TRUE(Contains(complaints("typed.xsd", "<Row Cost=\"4O\"/>"), "value '4O' is not accepted by the pattern"));
    EXPECT_TRUE(Contains(complaints("typed.xsd", "<Row Ok=\"yes\"/>"), "attribute 'Ok': 'yes' is not a valid value"));
    EXPECT_TRUE(Contains(complaints("loose.xsd", "<Update><Where Cost=\"1\"/></Update>"), "Expected is ( Set )"));

    EXPECT_EQ(Run({"schema", "missing.db"}).err, "zrdb: missing.db: no such file\n");
    EXPECT_EQ(Run({"schema", "t.db", "--root", "a b"}).exitStatus, 1);
    EXPECT_EQ(Run({"schema"}).exitStatus, 2);
    EXPECT_TRUE(Contains(Run({"--help"}).out, "zrdb schema FILE"));
    EXPECT_TRUE(Contains(Run({"schema", "--help"}).out, "--typed-values"));
}

// }====

}  // namespace
}  // namespace Database::Testing
