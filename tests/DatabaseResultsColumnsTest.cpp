// Reading columns: names and positions, kinds, and the conversions of every getter.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

#include "ZrGameDatabase/DatabaseResults.h"
#include "support/ConnectionFixture.h"

namespace Database::Testing {
namespace {

class ResultsColumnFixture : public ConnectionFixture {
protected:
    // Prepares sql into results and steps onto its first row.
    void OnFirstRow(Results& results, const char* sql) {
        ASSERT_TRUE(connection.Execute(results, sql)) << sql;
        ASSERT_TRUE(results.Step()) << sql;
    }
};

using ResultsColumnPositions = ResultsColumnFixture;

TEST_F(ResultsColumnPositions, NamesAreExactAndTheLastOfEqualNamesWins) {
    Results results;
    OnFirstRow(results, "select 1 as ID, 'A' as Type, 2 as Dup, 3 as Dup");
    EXPECT_EQ(results.ColumnCount(), 4);
    EXPECT_STREQ(results.ColumnName(1), "Type");
    EXPECT_EQ(results.ColumnName(4), nullptr);
    EXPECT_EQ(results.ColumnPosition("Type"), 1);
    EXPECT_EQ(results.ColumnPosition("type"), -1);
    EXPECT_TRUE(results.HasColumn("ID"));
    EXPECT_FALSE(results.HasColumn("Missing"));
    EXPECT_EQ(results.ColumnPosition("Dup"), 3);
    EXPECT_EQ(results.GetInt("Dup"), 3);
}

TEST_F(ResultsColumnPositions, ANewStatementIsLookedUpAgainstItsOwnColumns) {
    Results results;
    OnFirstRow(results, "select 1 as First, 2 as Second");
    EXPECT_EQ(results.ColumnPosition("Second"), 1);
    OnFirstRow(results, "select 7 as Second, 8 as Third");
    EXPECT_EQ(results.ColumnPosition("Second"), 0);
    EXPECT_EQ(results.ColumnPosition("First"), -1);
    EXPECT_EQ(results.GetInt("Third"), 8);
}

TEST_F(ResultsColumnPositions, ACopyKeepsThePositionsOfItsSource) {
    Results source;
    OnFirstRow(source, "select 1 as A, 2 as B");
    ASSERT_EQ(source.ColumnPosition("B"), 1);
    Results copy(source);
    ASSERT_TRUE(copy.Step());
    EXPECT_EQ(copy.GetInt("B"), 2);
}

TEST_F(ResultsColumnPositions, UnknownNamesAndMissingStatementsGiveNeutralValues) {
    Results results;
    EXPECT_EQ(results.ColumnCount(), 0);
    EXPECT_EQ(results.ColumnName(0), nullptr);
    EXPECT_EQ(results.ColumnPosition("A"), -1);
    EXPECT_EQ(results.ColumnType(0), ColumnTypes::Null);
    EXPECT_STREQ(results.ColumnTypeName(0), "null");
    EXPECT_EQ(results.GetInt(0), 0);
    EXPECT_EQ(results.GetText(0), nullptr);
    EXPECT_EQ(results.GetText16(0), nullptr);
    EXPECT_FALSE(results.GetBool(0));

    OnFirstRow(results, "select 5 as A, 'x' as B");
    EXPECT_EQ(results.GetInt("Nope"), 0);
    EXPECT_EQ(results.GetText("Nope"), nullptr);
    EXPECT_EQ(results.GetDouble("Nope"), 0.0);
    EXPECT_FALSE(results.GetBool("Nope"));
    EXPECT_TRUE(log.empty());
}

using ResultsColumnKinds = ResultsColumnFixture;

TEST_F(ResultsColumnKinds, BooleanIsAnIntegerInAColumnDeclaredExactlyBoolean) {
    Run("create table flags (Lower boolean, Upper BOOLEAN, Plain integer);"
        "insert into flags values (1, 1, 1), (0, 0, 0), (NULL, 'text', 2.5);");
    Results results;
    OnFirstRow(results, "select Lower, Upper, Plain from flags");
    EXPECT_EQ(results.ColumnType(0), ColumnTypes::Boolean);
    EXPECT_STREQ(results.ColumnTypeName(0), "boolean");
    EXPECT_TRUE(results.GetBool(0));
    EXPECT_EQ(results.ColumnType(1), ColumnTypes::Integer);
    EXPECT_STREQ(results.ColumnTypeName(1), "integer");
    EXPECT_EQ(results.ColumnType(2), ColumnTypes::Integer);

    ASSERT_TRUE(results.Step());
    EXPECT_EQ(results.ColumnType(0), ColumnTypes::Boolean);
    EXPECT_FALSE(results.GetBool(0));

    ASSERT_TRUE(results.Step());
    EXPECT_EQ(results.ColumnType(0), ColumnTypes::Null);
    EXPECT_EQ(results.ColumnType(1), ColumnTypes::Text);
    EXPECT_EQ(results.ColumnType(2), ColumnTypes::Float);
    EXPECT_STREQ(results.ColumnTypeName(2), "float");
    EXPECT_STREQ(results.ColumnTypeName(1), "text");
}

TEST_F(ResultsColumnKinds, BlobsHaveNoTypeName) {
    Results results;
    OnFirstRow(results, "select x'00ff'");
    EXPECT_EQ(results.ColumnType(0), ColumnTypes::Blob);
    EXPECT_EQ(results.ColumnTypeName(0), nullptr);
    EXPECT_FALSE(results.GetBool(0));
}

using ResultsColumnValues = ResultsColumnFixture;

TEST_F(ResultsColumnValues, GetBoolReadsTextByItsFirstLetterGetValueByItsNumber) {
    Results results;
    OnFirstRow(results, "select 'True' as T, '1' as One, 'yes' as Yes, '' as Empty, 'false' as F, "
                        "1.0 as Real, 'tomato' as Tomato");
    bool value = true;
    EXPECT_TRUE(results.GetBool("T"));
    results.GetValue("T", value);
    EXPECT_FALSE(value);
    EXPECT_FALSE(results.GetBool("One"));
    results.GetValue("One", value);
    EXPECT_TRUE(value);
    EXPECT_FALSE(results.GetBool("Yes"));
    EXPECT_FALSE(results.GetBool("Empty"));
    EXPECT_FALSE(results.GetBool("F"));
    EXPECT_FALSE(results.GetBool("Real"));
    results.GetValue("Real", value);
    EXPECT_TRUE(value);
    EXPECT_TRUE(results.GetBool("Tomato"));
}

TEST_F(ResultsColumnValues, NumbersConvertAsSqliteConvertsThem) {
    Results results;
    OnFirstRow(results, "select 2.5 as R, 3000000000 as Big, '42abc' as T, NULL as N");
    EXPECT_EQ(results.GetInt("R"), 2);
    EXPECT_FLOAT_EQ(results.GetFloat("R"), 2.5f);
    EXPECT_DOUBLE_EQ(results.GetDouble("R"), 2.5);
    EXPECT_EQ(results.GetInt64("Big"), 3000000000LL);
    EXPECT_EQ(results.GetInt("T"), 42);
    EXPECT_EQ(results.GetInt("N"), 0);
    EXPECT_EQ(results.GetText("N"), nullptr);
    EXPECT_STREQ(results.GetText("R"), "2.5");

    int asInt = -1;
    long long asInt64 = -1;
    double asDouble = -1;
    float asFloat = -1;
    const char* asText = nullptr;
    results.GetValue(1, asInt64);
    results.GetValue("R", asInt);
    results.GetValue("R", asDouble);
    results.GetValue(0, asFloat);
    results.GetValue("T", asText);
    EXPECT_EQ(asInt64, 3000000000LL);
    EXPECT_EQ(asInt, 2);
    EXPECT_DOUBLE_EQ(asDouble, 2.5);
    EXPECT_FLOAT_EQ(asFloat, 2.5f);
    EXPECT_STREQ(asText, "42abc");
}

TEST_F(ResultsColumnValues, WideTextIsUtf16) {
    Results results;
    OnFirstRow(results, "select 'h\xc3\xa9' as Word");
    const WideChar* wide = results.GetText16("Word");
    ASSERT_NE(wide, nullptr);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(wide)), u"h\u00e9");
    const WideChar* viaValue = nullptr;
    results.GetValue(0, viaValue);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(viaValue)), u"h\u00e9");
}

TEST_F(ResultsColumnValues, OffARowValuesAreNeutral) {
    Results results;
    ASSERT_TRUE(connection.Execute(results, "select 5 as A"));
    EXPECT_EQ(results.ColumnCount(), 1);
    EXPECT_STREQ(results.ColumnName(0), "A");
    EXPECT_EQ(results.ColumnType(0), ColumnTypes::Null);
    EXPECT_EQ(results.GetInt("A"), 0);
    ASSERT_TRUE(results.Step());
    EXPECT_EQ(results.GetInt("A"), 5);
    EXPECT_FALSE(results.Step());
    EXPECT_EQ(results.GetInt("A"), 0);
}

}  // namespace
}  // namespace Database::Testing
