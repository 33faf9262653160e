// The example C++ host of examples/host run as a program: its documented happy path (load, query,
// Lua, snapshot) must keep working as the library changes, and its failures must say so.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ZrGameDatabase/BinaryIO.h"
#include "ZrGameDatabase/Connection.h"
#include "support/ConnectionFixture.h"
#include "support/Process.h"
#include "support/TemporaryDirectory.h"

namespace Database::Testing {
namespace {

#if defined(ZRDB_EXAMPLE_HOST)

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

const std::string kExamples = std::string(ZRDB_SOURCE_DIR) + "/examples";

class ExampleHost : public ConnectionFixture {
protected:
    ProcessResult Run(const std::vector<std::string>& arguments) {
        return RunProgram(ZRDB_EXAMPLE_HOST, arguments, folder.Path());
    }

    TemporaryDirectory folder;
};

TEST_F(ExampleHost, LoadsQueriesRunsLuaAndSavesASnapshot) {
    const std::string snapshotPath = folder.File("rules.db");
    ProcessResult run = Run({kExamples, snapshotPath});
    ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
#if defined(_WIN32)
    // The example writes its lines in text mode, which ends each with CR LF on Windows.
    std::erase(run.out, '\r');
#endif
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out,
              "loaded 7 files\n"
              "units of ERA_BRONZE:\n"
              "  Horse Rider  strength 12, upkeep 1.50\n"
              "  Spearman     strength 12, upkeep 1.00\n"
              "  Reed Raider  strength  9, upkeep 0.75\n"
              "  Bowman       strength  6, upkeep 1.00\n"
              "  Marsh Archer strength  6, upkeep 1.00\n"
              "lua: 16 units, the first is Scout\n"
              "10 buildings\n"
              "snapshot saved to " + snapshotPath + "\n");

    // The snapshot is the whole modded database.
    BinaryIO snapshot(snapshotPath.c_str());
    ASSERT_TRUE(snapshot >> connection);
    EXPECT_EQ(Scalar("select count(*) || ' ' || count(PackageID) from Units"), "16 4");
    EXPECT_EQ(Scalar("select group_concat(Type) from Buildings where PackageID = 'MOD_EXAMPLE'"),
              "BUILDING_REED_WATCHTOWER");
}

TEST_F(ExampleHost, ReportsWrongArgumentsAndFilesThatDoNotLoad) {
    const ProcessResult usage = Run({kExamples});
    EXPECT_EQ(usage.exitStatus, 2);
    EXPECT_TRUE(Contains(usage.err, "usage: ")) << usage.err;

    const ProcessResult empty = Run({folder.File("nowhere"), folder.File("none.db")});
    EXPECT_EQ(empty.exitStatus, 1);
    EXPECT_TRUE(Contains(empty.err, "no data files in " + folder.File("nowhere"))) << empty.err;

    // A ruleset whose second file refers to a table nobody made: the load stops there, with the
    // line and the loader's reason, and no snapshot is written.
    std::filesystem::create_directories(folder.File("broken/data"));
    folder.Write("broken/data/01_ok.xml", "<Ruleset><Table name=\"Eras\"><Column name=\"Type\" type=\"text\"/>"
                                          "</Table></Ruleset>\n");
    folder.Write("broken/data/02_bad.xml", "<Ruleset>\n  <Eras><Row Type=\"ERA_ONE\"/></Eras>\n"
                                           "  <Units><Row Type=\"UNIT_ONE\"/></Units>\n</Ruleset>\n");
    const ProcessResult broken = Run({folder.File("broken"), folder.File("broken.db")});
    EXPECT_EQ(broken.exitStatus, 1);
    EXPECT_TRUE(Contains(broken.err, "line 3: Database::XMLSerializer (" + folder.File("broken/data/02_bad.xml")
                                         + "): no such table: Units"))
        << broken.err;
    EXPECT_FALSE(Contains(broken.out, "snapshot saved"));
    EXPECT_FALSE(std::filesystem::exists(folder.File("broken.db")));
}

#else

// Built without the path of example_host: tests/CMakeLists.txt must give ZRDB_EXAMPLE_HOST.
TEST(ExampleHost, IsBuiltWithThePathOfTheHostProgram) {
    ADD_FAILURE() << "ExampleHostTest needs ZRDB_EXAMPLE_HOST=\"$<TARGET_FILE:example_host>\" and the examples "
                     "subdirectory in the build";
}

#endif

}  // namespace
}  // namespace Database::Testing
