// The sample ruleset (examples/data), its mod (examples/mod) and the report script
// (examples/scripts/report.lua), checked the way a newcomer meets them: loaded as zrdb loads
// them, row by row against what their comments promise, and the report run over the result.
#include <gtest/gtest.h>
#include <lua.hpp>
#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "ZrGameDatabase/ResultsCache.h"
#include "ZrGameDatabase/ScriptingLua.h"
#include "support/LoaderFixture.h"

namespace Database::Testing {
namespace {

const std::string kExamples = std::string(ZRDB_SOURCE_DIR) + "/examples";

class ExampleRuleset : public LoaderFixture {
protected:
    // zrdb load examples/data [examples/mod] --package MOD_EXAMPLE --tag-table Units --tag-table
    // Buildings: the tag is set for every file, the base game's included.
    void LoadExamples(bool withMod) {
        serializer.SetPackageTag("MOD_EXAMPLE");
        serializer.AddTableToPackageTagList("Units");
        serializer.AddTableToPackageTagList("Buildings");
        ResultsCache cache(connection);
        std::vector<std::string> files = DataFiles("data");
        ASSERT_GE(files.size(), 6u);
        if (withMod) {
            const std::vector<std::string> mod = DataFiles("mod");
            ASSERT_FALSE(mod.empty());
            files.insert(files.end(), mod.begin(), mod.end());
        }
        for (const std::string& file : files)
            ASSERT_TRUE(serializer.Load(file.c_str(), cache)) << serializer.ErrorMessage() << " at line "
                                                               << serializer.ErrorLine();
    }

    static std::vector<std::string> DataFiles(const char* folder) {
        std::vector<std::string> files;
        for (const auto& entry : std::filesystem::directory_iterator(kExamples + "/" + folder)) {
            if (entry.path().extension() == ".xml")
                files.push_back(entry.path().string());
        }
        std::sort(files.begin(), files.end());
        return files;
    }

    // The rows of query's column r joined by " | ".
    std::string Rows(const std::string& query) {
        return Scalar(("select ifnull(group_concat(r, ' | '), '') from (" + query + ")").c_str());
    }

    std::vector<LogLine> Errors() const {
        std::vector<LogLine> errors;
        for (const LogLine& line : log) {
            if (line.severity >= IDatabaseLogger::Warning)
                errors.push_back(line);
        }
        return errors;
    }

    // Every foreign key of every table refers to an existing row.
    void ExpectReferencesSatisfied() {
        EXPECT_EQ(Rows("select \"table\" || ' row ' || rowid || ' -> ' || parent as r"
                       " from pragma_foreign_key_check"),
                  "");
        EXPECT_TRUE(connection.ValidateFKConstraints(true));
    }
};

TEST_F(ExampleRuleset, BaseGameLoadsCleanlyWithItsValueRulesAndNoTags) {
    LoadExamples(false);
    EXPECT_EQ(Errors(), std::vector<LogLine>{});
    EXPECT_FALSE(InTransaction());
    ExpectReferencesSatisfied();

    EXPECT_EQ(Rows("select name as r from sqlite_master where type = 'table' and name not like 'sqlite%'"
                   " order by name"),
              "Buildings | Eras | Promotions | Resources | Technologies | TechnologyPrerequisites | Terrains | "
              "UnitClassPromotions | UnitClasses | UnitStartingPromotions | UnitUpgrades | Units");
    EXPECT_EQ(Scalar("select count(*) from Units") + " " + Scalar("select count(*) from Buildings") + " "
                  + Scalar("select count(*) from Technologies") + " "
                  + Scalar("select count(*) from TechnologyPrerequisites"),
              "14 9 15 18");
    // Base rows are attribute rows: never tagged, whichever tag the host loads them with.
    EXPECT_EQ(Scalar("select count(*) from Units where PackageID is not null")
                  + Scalar("select count(*) from Buildings where PackageID is not null"),
              "00");
    // Every rule table is reached by Type and by ID; ID is the row id.
    EXPECT_EQ(Rows("select m.name as r from sqlite_master m where m.type = 'table' and m.name not like 'sqlite%'"
                   " and exists (select 1 from pragma_table_info(m.name) where name = 'Type')"
                   " and not exists (select 1 from pragma_table_info(m.name) where name = 'ID' and pk = 1"
                   " and lower(type) = 'integer')"),
              "");
    EXPECT_EQ(Rows("select name as r from sqlite_master where type = 'index' and name like 'IX_%' order by name"),
              "IX_BuildingsRequiredTech | IX_ResourcesTerrain | IX_TechnologiesTree | "
              "IX_TechnologyPrerequisitesTechnology | IX_UnitStartingPromotionsUnit | IX_UnitsClass | IX_UnitsEra");

    // NULL overriding a default, booleans as 1 and 0, reals, and the entities of the texts.
    EXPECT_EQ(Typed("select MovementCost as v from Terrains where Type = 'TERRAIN_MOUNTAINS'"), "NULL:null");
    EXPECT_EQ(Typed("select Impassable as v from Terrains where Type in ('TERRAIN_MOUNTAINS', 'TERRAIN_HILLS')"
                    " order by ID"),
              "0:integer 1:integer");
    EXPECT_EQ(Typed("select Upkeep as v from Units where Type in ('UNIT_SCOUT', 'UNIT_CLUBMAN') order by ID"),
              "0.5:real 1.0:real");
    EXPECT_EQ(Typed("select Maintenance as v from Buildings where Type = 'BUILDING_GREAT_BEACON'"), "0.0:real");
    EXPECT_EQ(Scalar("select Description from Units where Type = 'UNIT_CATAPULT'"),
              "Hurls stones <and worse> over the walls.");
    EXPECT_EQ(Scalar("select Quote from Technologies where Type = 'TECH_GUNPOWDER'"),
              "\"Saltpetre, charcoal & sulphur: mind the proportions.\"");
    EXPECT_EQ(Scalar("select Description from Resources where Type = 'RESOURCE_PEARLS'"),
              "Divers say the best lie <deeper than a man can hold his breath>.");
}

TEST_F(ExampleRuleset, ModChangesExactlyWhatItsCommentsSay) {
    LoadExamples(true);
    EXPECT_EQ(Errors(), std::vector<LogLine>{});
    EXPECT_FALSE(InTransaction());
    ExpectReferencesSatisfied();

    // AlterTable, every insert mode, the updates and the delete, unit by unit.
    EXPECT_EQ(Rows("select Type || ' ' || Cost || ' ' || Strength || ' ' || Moves || ' ' || Upkeep || ' ' || Stealthy"
                   " || ' ' || ifnull(PackageID, '-') as r from Units order by Type"),
              "UNIT_BIREME 85 10 5 1.0 0 - | "          // Update on two conditions: the Iron Age ship
              "UNIT_BOMBARD 160 8 1 3.0 0 - | "
              "UNIT_BOWMAN 55 6 2 1.0 0 - | "
              "UNIT_CARAVEL 130 15 5 1.5 0 - | "
              "UNIT_CATAPULT 110 6 1 2.5 0 - | "        // Update of Cost and Upkeep
              "UNIT_CLUBMAN 35 7 2 1.0 0 - | "          // the conflicting InsertOrAbort was skipped
              "UNIT_HORSE_RIDER 65 12 4 1.5 0 - | "
              "UNIT_MARSH_ARCHER 60 6 2 1.0 1 MOD_EXAMPLE | "  // InsertOrAbort without conflict
              "UNIT_MUSKETEER 150 24 2 2.5 0 - | "
              "UNIT_RAFT 30 3 3 0.5 0 - | "             // naval, but not of the Iron Age
              "UNIT_REED_RAIDER 50 9 3 0.75 1 MOD_EXAMPLE | "   // Row
              "UNIT_SCOUT 25 4 3 0.5 1 - | "            // InsertOrIgnore left it; Update made it stealthy
              "UNIT_SKIRMISHER 80 8 3 1.0 0 MOD_EXAMPLE | "     // InsertOrIgnore of a new Type
              "UNIT_SLINGER 35 4 2 1.0 0 - | "
              "UNIT_SPEARMAN 50 12 2 1.0 0 MOD_EXAMPLE | "      // Replace
              "UNIT_SWORDSMAN 90 16 2 1.0 0 -");
    // Replace removed the old Spearman (ID 5) and inserted a new row in its place.
    EXPECT_EQ(Scalar("select count(*) || ' ' || min(ID) from Units where Type = 'UNIT_SPEARMAN'"), "1 16");
    EXPECT_EQ(Scalar("select count(*) from Units where ID = 5"), "0");
    EXPECT_EQ(Scalar("select dflt_value from pragma_table_info('Units') where name = 'Stealthy'"), "0");

    // The War Chariot is gone, and so are the rows that named it; the others stay.
    EXPECT_EQ(Scalar("select count(*) from Units where Type = 'UNIT_CHARIOT'"), "0");
    EXPECT_EQ(Rows("select Unit || '>' || UpgradesTo as r from UnitUpgrades order by rowid"),
              "UNIT_CLUBMAN>UNIT_SPEARMAN | UNIT_SPEARMAN>UNIT_SWORDSMAN | UNIT_SWORDSMAN>UNIT_MUSKETEER | "
              "UNIT_SLINGER>UNIT_BOWMAN | UNIT_CATAPULT>UNIT_BOMBARD | UNIT_RAFT>UNIT_BIREME | "
              "UNIT_BIREME>UNIT_CARAVEL | UNIT_REED_RAIDER>UNIT_SWORDSMAN");
    EXPECT_EQ(Rows("select Unit || ':' || Promotion as r from UnitStartingPromotions order by rowid"),
              "UNIT_SCOUT:PROMOTION_WOODSMAN | UNIT_MUSKETEER:PROMOTION_DRILL | UNIT_CARAVEL:PROMOTION_NAVIGATOR | "
              "UNIT_REED_RAIDER:PROMOTION_AMBUSH");

    EXPECT_EQ(Rows("select Type || ' ' || Cost || ' ' || ifnull(PackageID, '-') as r from Buildings"
                   " where Type in ('BUILDING_GRANARY', 'BUILDING_REED_WATCHTOWER', 'BUILDING_SHRINE') order by Type"),
              "BUILDING_GRANARY 50 - | BUILDING_REED_WATCHTOWER 45 MOD_EXAMPLE | BUILDING_SHRINE 40 -");
    EXPECT_EQ(Scalar("select count(*) || ' ' || sum(PackageID is null) from Buildings"), "10 9");
    EXPECT_EQ(Scalar("select Name || ' ' || StrengthModifier from Promotions where Type = 'PROMOTION_AMBUSH'"),
              "Ambush 0.3");
}

// report.lua run over the loaded database as zrdb runs it: DB and arg set, print collected.
class ExampleReport : public ExampleRuleset {
protected:
    ~ExampleReport() override {
        if (m_state != nullptr)
            lua_close(m_state);
    }

    // The report's lines, or the Lua error in place of them.
    std::string Run(const char* package) {
        m_state = luaL_newstate();
        luaL_openlibs(m_state);
        Scripting::Lua::PushDatabase(m_state, connection);
        lua_setglobal(m_state, "DB");
        lua_pushlightuserdata(m_state, &m_printed);
        lua_pushcclosure(m_state, RecordPrint, 1);
        lua_setglobal(m_state, "print");
        lua_createtable(m_state, 1, 1);
        lua_pushstring(m_state, "report.lua");
        lua_rawseti(m_state, -2, 0);
        lua_pushstring(m_state, package);
        lua_rawseti(m_state, -2, 1);
        lua_setglobal(m_state, "arg");
        if (luaL_dofile(m_state, (kExamples + "/scripts/report.lua").c_str()) != 0)
            return std::string("error: ") + lua_tostring(m_state, -1);
        return m_printed;
    }

    static bool Contains(const std::string& text, const std::string& part) {
        return text.find(part) != std::string::npos;
    }

private:
    static int RecordPrint(lua_State* state) {
        auto* printed = static_cast<std::string*>(lua_touserdata(state, lua_upvalueindex(1)));
        const char* text = lua_tostring(state, 1);
        *printed += text != nullptr ? text : "(not a string)";
        *printed += '\n';
        return 0;
    }

    lua_State* m_state = nullptr;
    std::string m_printed;
};

TEST_F(ExampleReport, ShowsTheModdedRulesetWithoutATypoWarning) {
    LoadExamples(true);
    const std::string report = Run("MOD_EXAMPLE");
    ASSERT_EQ(report.rfind("River Kingdoms ruleset\n", 0), 0u) << report;
    EXPECT_FALSE(Contains(report, "Cannot find key")) << report;
    EXPECT_FALSE(Contains(report, "missing")) << report;
    EXPECT_TRUE(Contains(report, "  Units                        16 rows\n")) << report;
    EXPECT_TRUE(Contains(report, "  DB.Units[1] == DB.Units.UNIT_SCOUT           true\n")) << report;
    EXPECT_TRUE(Contains(report, "    Reed Raider        Melee       50     9       -     3    0.75  Rafts\n"))
        << report;
    EXPECT_TRUE(Contains(report, "    3 Writing         Bronze Age      90       113  Farming\n")) << report;
    EXPECT_TRUE(Contains(report, "    5 Navigation      Age of Sail    260       520  Mathematics, Sailing\n"))
        << report;
    EXPECT_TRUE(Contains(report, "  Bronze Age   Spearman           strength 12, cost  50\n")) << report;
    EXPECT_TRUE(Contains(report, "  Units      ID 16  UNIT_SPEARMAN              Spearman          cost  50  "
                                 "Cheaper & sturdier in the Reed Raiders mod.\n"))
        << report;
    EXPECT_TRUE(Contains(report, "  Buildings  ID 10  BUILDING_REED_WATCHTOWER")) << report;
    EXPECT_TRUE(Contains(report, "  Stealthy units (a column added by a mod): Scout, Reed Raider, Marsh Archer\n"))
        << report;
    EXPECT_FALSE(Contains(report, "War Chariot")) << report;
}

TEST_F(ExampleReport, RunsOverTheBaseGameAloneAndForAnotherTag) {
    LoadExamples(false);
    const std::string report = Run("MOD_OTHER");
    EXPECT_FALSE(Contains(report, "Cannot find key")) << report;
    EXPECT_TRUE(Contains(report, "  Units                        14 rows\n")) << report;
    EXPECT_TRUE(Contains(report, "    War Chariot        Mounted     60    10       -     4    1.50  The Wheel\n"))
        << report;
    EXPECT_TRUE(Contains(report, "Rows tagged MOD_OTHER\n")) << report;
    EXPECT_TRUE(Contains(report, "  none: load a mod with --package MOD_OTHER")) << report;
    EXPECT_FALSE(Contains(report, "Stealthy units")) << report;
}

}  // namespace
}  // namespace Database::Testing
