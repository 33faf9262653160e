// zrdb and mods that write the same rows: --package for the paths after it, the conflict report,
// and `why`, the history of a value.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "support/Process.h"
#include "support/TextLines.h"
#include "support/TemporaryDirectory.h"

namespace Database::Testing {
namespace {

class ZrdbProvenance : public ::testing::Test {
protected:
    ZrdbProvenance() {
        for (const char* mod : {"base", "modA", "modB"})
            std::filesystem::create_directory(folder.File(mod));
        folder.Write("base/1.xml",
                     "<GameData>\n<Table name=\"Units\"><Column name=\"Type\" type=\"text\" primarykey=\"true\"/>"
                     "<Column name=\"Cost\" type=\"integer\"/><Column name=\"PackageID\" type=\"text\"/></Table>\n"
                     "<Units>\n<Row Type=\"UNIT_A\" Cost=\"10\"/>\n<Row Type=\"UNIT_B\" Cost=\"20\"/>\n</Units>\n</GameData>\n");
        folder.Write("modA/1.xml", "<GameData>\n<Units>\n<Update><Set Cost=\"15\"/><Where Type=\"UNIT_A\"/></Update>\n"
                                   "<InsertOrIgnore><Type>UNIT_C</Type><Cost>30</Cost></InsertOrIgnore>\n</Units>\n</GameData>\n");
        folder.Write("modB/1.xml", "<GameData>\n<Units>\n<Update><Set Cost=\"17\"/><Where Type=\"UNIT_A\"/></Update>\n"
                                   "<InsertOrIgnore Type=\"UNIT_C\" Cost=\"31\"/>\n<Delete Type=\"UNIT_B\"/>\n"
                                   "<Replace><Type>UNIT_A</Type><Cost>18</Cost></Replace>\n</Units>\n</GameData>\n");
    }
    ProcessResult Run(const std::vector<std::string>& arguments) {
        return RunProgram(ZRDB_PROGRAM, arguments, folder.Path());
    }

    TemporaryDirectory folder;
};

TEST_F(ZrdbProvenance, ConflictsBetweenPackagesAreWarningsAtTheLaterWrite) {
    const ProcessResult load = Run({"load", "base", "--package", "MOD_A", "modA", "--package", "MOD_B", "modB",
                                    "--tag-table", "Units", "--conflicts", "--quiet", "-o", "out.db"});
    EXPECT_EQ(load.exitStatus, 0) << load.err;
    EXPECT_EQ(Lines(load.err),
              (std::vector<std::string>{
                  "modA/1.xml:3: warning: Units.UNIT_A.Cost: MOD_A sets '15' over '10' of base (base/1.xml:4) [conflict]",
                  "modB/1.xml:3: warning: Units.UNIT_A.Cost: MOD_B sets '17' over '15' of MOD_A (modA/1.xml:3) [conflict]",
                  "modB/1.xml:4: warning: Units.UNIT_C: MOD_B's row is left out: the row of MOD_A (modA/1.xml:4) stays "
                  "[conflict]",
                  "modB/1.xml:5: warning: Units.UNIT_B: MOD_B deletes the row of base (base/1.xml:5) [conflict]"}));
    // MOD_B's Replace of UNIT_A follows MOD_B's own update: a package does not conflict with itself.
    // The package of each path tags the rows it writes with child elements.
    EXPECT_EQ(Run({"query", "--csv", "out.db", "select Type, PackageID from Units order by Type"}).out,
              "Type,PackageID\r\nUNIT_A,MOD_B\r\nUNIT_C,MOD_A\r\n");
    EXPECT_EQ(Run({"load", "base", "modA", "--conflicts", "--strict", "--quiet"}).exitStatus, 1);
}

TEST_F(ZrdbProvenance, WhyPrintsTheHistoryOfAValueOldestFirst) {
    ASSERT_EQ(Run({"load", "base", "--package", "MOD_A", "modA", "--package", "MOD_B", "modB", "--provenance",
                   "--quiet", "-o", "out.db"}).exitStatus, 0);
    const ProcessResult cost = Run({"why", "out.db", "Units", "UNIT_A", "Cost"});
    EXPECT_EQ(cost.exitStatus, 0) << cost.err;
    EXPECT_EQ(cost.out, "base/1.xml:4: base insert Cost = 10\n"
                        "modA/1.xml:3: MOD_A update Cost = 15\n"
                        "modB/1.xml:3: MOD_B update Cost = 17\n"
                        "modB/1.xml:6: MOD_B replace Cost = 18\n");
    EXPECT_EQ(Run({"why", "out.db", "units", "UNIT_B"}).out, "base/1.xml:5: base insert Type = UNIT_B\n"
                                                           "base/1.xml:5: base insert Cost = 20\n"
                                                           "modB/1.xml:5: MOD_B delete\n");
    const ProcessResult unknown = Run({"why", "out.db", "Units", "UNIT_Z"});
    EXPECT_EQ(unknown.exitStatus, 1);
    EXPECT_EQ(unknown.err, "zrdb: no change of Units UNIT_Z is recorded\n");
}

TEST_F(ZrdbProvenance, ADanglingReferenceNamesTheLineThatWroteItAndWhoDeletedItsRow) {
    folder.Write("base/2.xml", "<GameData>\n<Table name=\"Eras\"><Column name=\"Type\" type=\"text\" primarykey=\"true\"/>"
                               "</Table>\n<Table name=\"Ships\"><Column name=\"Era\" reference=\"Eras(Type)\"/></Table>\n"
                               "<Eras><Row Type=\"ERA_B\"/></Eras>\n<Ships>\n<Row Era=\"ERA_B\"/>\n</Ships>\n</GameData>\n");
    folder.Write("modA/2.xml", "<GameData>\n<Eras>\n<Delete Type=\"ERA_B\"/>\n</Eras>\n</GameData>\n");
    const ProcessResult load = Run({"load", "base", "--package", "MOD_A", "modA", "--provenance", "--validate", "--quiet"});
    EXPECT_EQ(load.exitStatus, 1);
    EXPECT_EQ(Lines(load.err)[0],
              "base/2.xml:6: error: Ships.Era - \"ERA_B\" does not exist in Eras; deleted by modA/2.xml:3 (MOD_A)")
        << load.err;
}

}  // namespace
}  // namespace Database::Testing
