// Updates, deletes and reference purges: the statements they build, their conditions, their
// refusals, and the purge across tables.
#include <gtest/gtest.h>

#include <string>

#include "support/LoaderFixture.h"

namespace Database::Testing {
namespace {

class LoaderChanges : public LoaderFixture {
protected:
    LoaderChanges() {
        Run("create table Units (Type text unique, Era text, Cost integer, Strength real);"
            "insert into Units values ('UNIT_A', 'ANCIENT', 10, 1.0), ('UNIT_B', 'ANCIENT', 20, 2.0),"
            "  ('UNIT_C', 'MEDIEVAL', 30, 3.0), ('Don''t', NULL, 40, 4.0);");
    }
    std::string Units() { return Scalar("select group_concat(Type || ':' || ifnull(Era, '-') || ':' || Cost, ' ') from Units"); }
};

using LoaderDelete = LoaderChanges;

TEST_F(LoaderDelete, ConditionsAreJoinedAndComparedAsWritten) {
    ASSERT_TRUE(Load(File("<Units><Delete Type=\"UNIT_A\"/><Delete Era=\"ANCIENT\"><Cost>20</Cost></Delete>"
                          "<Delete Type=\"Don't\"/></Units>")));
    EXPECT_EQ(Units(), "UNIT_C:MEDIEVAL:30");
}

TEST_F(LoaderDelete, NullConditionsMatchNothingAndNoConditionsMatchAll) {
    ASSERT_TRUE(Load(File("<Units><Delete Era=\"NULL\"/><Delete><Era/></Delete></Units>")));
    EXPECT_EQ(Scalar("select count(*) from Units"), "4");
    ASSERT_TRUE(Load(File("<Units><Delete/></Units>")));
    EXPECT_EQ(Scalar("select count(*) from Units"), "0");
}

// A change that finds no row succeeds, but says so in the log: a misspelt Type otherwise goes unseen.
TEST_F(LoaderChanges, MatchingNoRowIsAWarningNotAFailure) {
    ASSERT_TRUE(Load(File("<Units><Delete Type=\"UNIT_Z\"/><Delete Type=\"UNIT_A\"/>"
                          "<Update><Set Cost=\"1\"/><Where Type=\"UNIT_Y\"/></Update>"
                          "<Update><Set Cost=\"2\"/><Where Type=\"UNIT_B\"/></Update></Units>")));
    EXPECT_EQ(log, (std::vector<LogLine>{{"Delete in table Units from file test.xml matched no row.", 1},
                                         {"Update in table Units from file test.xml matched no row.", 1}}));
    EXPECT_EQ(Units(), "UNIT_B:ANCIENT:2 UNIT_C:MEDIEVAL:30 Don't:-:40");
}

TEST_F(LoaderDelete, RefusalsAndFailures) {
    EXPECT_FALSE(Load(File("<Units><Delete Type=\"A\"><Type>B</Type></Delete></Units>")));
    EXPECT_EQ(log.front(), (LogLine{Error("Duplicate column names detected in <Delete>. Name: Type, Value: B"), 2}));
    log.clear();
    EXPECT_FALSE(Load(File("<Units><Delete Typo=\"A\"/></Units>")));
    EXPECT_STREQ(serializer.ErrorMessage(), Error("no such column: Typo").c_str());
    EXPECT_EQ(log, (std::vector<LogLine>{
                       {"no such column: Typo", 2},
                       {"In Query - DELETE FROM Units WHERE Typo = ?;", 0},
                       {Error("There was an error executing the delete statement! See Database.log for details."), 2},
                       {"In XMLSerializer while updating table Units from file test.xml.", 0}}));
    EXPECT_EQ(Scalar("select count(*) from Units"), "4");
}

using LoaderUpdate = LoaderChanges;

TEST_F(LoaderUpdate, SetAndWhereFromAttributesAndChildren) {
    ASSERT_TRUE(Load(File("<Units><Update><Set Cost=\"99\"><Era>MODERN</Era></Set>"
                          "<Where Type=\"UNIT_A\"/></Update>"
                          "<Update><Set Era=\"Don't\"/><Where><Type>Don't</Type></Where></Update></Units>")));
    EXPECT_EQ(Units(), "UNIT_A:MODERN:99 UNIT_B:ANCIENT:20 UNIT_C:MEDIEVAL:30 Don't:Don't:40");
}

TEST_F(LoaderUpdate, WithoutWhereEveryRowChangesAndRealsKeepDoublePrecision) {
    ASSERT_TRUE(Load(File("<Units><Update><Set Strength=\"0.1\"/></Update></Units>")));
    EXPECT_EQ(Typed("select Strength as v from Units"), "0.1:real 0.1:real 0.1:real 0.1:real");
    ASSERT_TRUE(Load(File("<Units><Update><Set Strength=\"2.5\" Cost=\"3000000000\"/><Where Type=\"UNIT_B\"/></Update></Units>")));
    EXPECT_EQ(Scalar("select Strength || ' ' || Cost from Units where Type = 'UNIT_B'"), "2.5 3000000000");
}

TEST_F(LoaderUpdate, ShapeRefusals) {
    const auto refused = [&](const std::string& update, const std::string& message) {
        log.clear();
        EXPECT_FALSE(Load(File("<Units>" + update + "</Units>"))) << update;
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.front(), (LogLine{Error(message), 2})) << update;
    };
    refused("<Update><Where Type=\"A\"/></Update>", "<Update> element requires a child <Set> element.");
    refused("<Update><Set/></Update>", "<Set> Needs at least one attribute or child element.");
    refused("<Update><Set Cost=\"1\"/><Set Cost=\"2\"/></Update>", "Duplicate <Set> elements are not allowed.");
    refused("<Update><Set Cost=\"1\"/><Where/></Update>", "<Where> needs at least one attribute or child element.");
    refused("<Update><Set Cost=\"1\"/><Where Type=\"A\"/><Where Type=\"B\"/></Update>",
            "Duplicate <Where> elements are not allowed.");
    EXPECT_EQ(Scalar("select sum(Cost) from Units"), "100");
}

TEST_F(LoaderUpdate, AMisspeltConditionColumnFailsInsteadOfMatchingNothing) {
    EXPECT_FALSE(Load(File("<Units><Update><Set Cost=\"1\"/><Where Typo=\"UNIT_A\"/></Update></Units>")));
    EXPECT_STREQ(serializer.ErrorMessage(),
                 Error("There was an error executing the update statement! See Database.log for details.").c_str());
    EXPECT_EQ(log.front(), (LogLine{"no such column: Typo", 2}));
    EXPECT_EQ(Scalar("select sum(Cost) from Units"), "100");
    // Condition columns are matched as SQLite matches names: in any letter case, row ids included.
    ASSERT_TRUE(Load(File("<Units><Update><Set Cost=\"1\"/><Where type=\"UNIT_A\" rowid=\"1\"/></Update></Units>")));
    EXPECT_EQ(Scalar("select Cost from Units where Type = 'UNIT_A'"), "1");
}

TEST_F(LoaderUpdate, AMisspeltSetColumnFailsAtPrepare) {
    EXPECT_FALSE(Load(File("<Units><Update><Set Typo=\"1\"/></Update></Units>")));
    EXPECT_STREQ(serializer.ErrorMessage(), Error("no such column: Typo").c_str());
    // A column set twice is passed to the database as written; SQLite takes the last.
    ASSERT_TRUE(Load(File("<Units><Update><Set Cost=\"1\"><Cost>2</Cost></Set></Update></Units>")));
    EXPECT_EQ(Scalar("select group_concat(distinct Cost) from Units"), "2");
}

class LoaderPurge : public LoaderFixture {
protected:
    LoaderPurge() {
        Run("create table Units (Type text primary key);"
            "create table Costs (UnitType text, foreign key (UnitType) references Units(Type));"
            "create table Upgrades (FromUnit text references UNITS(TYPE), ToUnit text references Units(Type));"
            "create table Other (Type text references Elsewhere(Type));"
            "insert into Units values ('A'), ('B');"
            "insert into Costs values ('A'), ('GONE'), (NULL);"
            "insert into Upgrades values ('A', 'B'), ('GONE', 'A'), ('B', 'GONE');"
            "insert into Other values ('GONE');");
    }
};

TEST_F(LoaderPurge, RemovesDanglingRowsFromEveryReferencingTable) {
    ASSERT_TRUE(Load(File("<DeleteMissingReferences table=\"units\" column=\"type\"/>")));
    EXPECT_EQ(Scalar("select group_concat(ifnull(UnitType, 'NULL')) from Costs"), "A,NULL");
    EXPECT_EQ(Scalar("select group_concat(FromUnit || ToUnit) from Upgrades"), "AB");
    EXPECT_EQ(Scalar("select count(*) from Other"), "1");
    EXPECT_FALSE(InTransaction());
}

TEST_F(LoaderPurge, MissingAttributesAreStored) {
    EXPECT_FALSE(Load(File("<DeleteMissingReferences column=\"Type\"/>")));
    EXPECT_STREQ(serializer.ErrorMessage(), Error("'table' attribute expected.").c_str());
    EXPECT_FALSE(Load(File("<DeleteMissingReferences table=\"Units\"/>")));
    EXPECT_STREQ(serializer.ErrorMessage(), Error("'column' attribute expected.").c_str());
    EXPECT_TRUE(log.empty());
}

TEST_F(LoaderPurge, AFailingPurgeRollsBackItsOwnDeletions) {
    serializer.UseTransactions(false);
    // The column the key names does not exist in the referenced table: the purge of Broken fails
    // after Costs was purged, and takes that purge back.
    Run("create table Broken (Ref text references Units(Missing));");
    EXPECT_FALSE(Load(File("<DeleteMissingReferences table=\"Units\" column=\"Missing\"/>")));
    EXPECT_FALSE(InTransaction());
    EXPECT_EQ(Scalar("select count(*) from Costs"), "3");
    EXPECT_STREQ(serializer.ErrorMessage(), Error("no such column: Missing").c_str());
}

}  // namespace
}  // namespace Database::Testing
