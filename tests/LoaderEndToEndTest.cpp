// A whole ruleset loaded file by file, base game then mod, and checked row by row.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

#include "ZrGameDatabase/ResultsCache.h"
#include "support/LoaderFixture.h"

namespace Database::Testing {
namespace {

class LoaderEndToEnd : public LoaderFixture {
protected:
    std::string Rows(const char* query) { return Scalar(("select group_concat(r, ' | ') from (" + std::string(query) + ")").c_str()); }
    bool LoadFile(const char* name, ResultsCache& cache) {
        const std::string path = std::string(ZRDB_TEST_DATA_DIR) + "/ruleset/" + name;
        const bool loaded = serializer.Load(path.c_str(), cache);
        EXPECT_TRUE(loaded) << serializer.ErrorMessage() << " at line " << serializer.ErrorLine();
        return loaded;
    }
};

TEST_F(LoaderEndToEnd, BaseGameThenModGiveExactlyTheExpectedRows) {
    ResultsCache cache(connection);
    ASSERT_TRUE(LoadFile("01_schema.xml", cache));
    ASSERT_TRUE(LoadFile("02_rows.xml", cache));
    serializer.SetPackageTag("MOD_BALANCE");
    serializer.AddTableToPackageTagList("Units");
    ASSERT_TRUE(LoadFile("03_mod.xml", cache));
    ASSERT_TRUE(connection.Execute("pragma foreign_keys = on"));

    EXPECT_EQ(Rows("select ID || ' ' || Type || ' ' || Ordinal as r from Eras order by ID"),
              "1 ERA_ANCIENT 0 | 2 ERA_CLASSICAL 1 | 3 ERA_MEDIEVAL 2");
    EXPECT_EQ(Rows("select Type || ': ' || Description as r from UnitClasses order by Type"),
              "CLASS_MELEE: Fights up close & personal | CLASS_NAVAL: Sails <the> seas | CLASS_RANGED: Shoots from afar");
    EXPECT_EQ(Rows("select Type || ' ' || ifnull(Class, '-') || ' ' || ifnull(Era, '-') || ' ' || Cost || ' '"
                   " || Strength || ' ' || Naval || ' ' || Moves || ' ' || ifnull(PackageID, '-') as r"
                   " from Units order by Type"),
              "UNIT_ARCHER CLASS_RANGED ERA_ANCIENT 55 6.0 0 2 - | "
              "UNIT_GALLEY CLASS_NAVAL ERA_ANCIENT 10 1.0 1 2 - | "
              "UNIT_KNIGHT CLASS_MELEE ERA_MEDIEVAL 120 1.0 0 4 MOD_BALANCE | "
              "UNIT_WARRIOR CLASS_MELEE ERA_ANCIENT 45 8.0 0 2 -");
    EXPECT_EQ(Rows("select Unit || '>' || UpgradeTo as r from UnitUpgrades order by rowid"), "UNIT_WARRIOR>UNIT_KNIGHT");
    EXPECT_EQ(Scalar("select typeof(Strength) || typeof(Cost) || typeof(Naval) from Units where Type = 'UNIT_ARCHER'"),
              "realintegerinteger");
    EXPECT_EQ(Schema("IX_UnitsEra"), "CREATE INDEX 'IX_UnitsEra' on Units (Era, Cost DESC)");
    EXPECT_EQ(Scalar("select count(*) from pragma_foreign_key_check"), "0");
    EXPECT_FALSE(InTransaction());
}

}  // namespace
}  // namespace Database::Testing
