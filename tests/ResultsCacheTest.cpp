// ResultsCache: identity of what it hands out, rewinding on Get, replacement and failure of
// Prepare, case-sensitive names, clearing.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

#include "ZrGameDatabase/DatabaseResults.h"
#include "ZrGameDatabase/ResultsCache.h"
#include "support/ConnectionFixture.h"

namespace Database::Testing {
namespace {

class ResultsCacheFixture : public ConnectionFixture {
protected:
    ResultsCacheFixture() { Run("create table t (a);"); }
    ResultsCache cache{connection};
};

TEST_F(ResultsCacheFixture, GetReturnsWhatPrepareFiledRewoundAndUnbound) {
    EXPECT_EQ(&cache.Connection(), &connection);
    Results* insert = cache.Prepare("insert", "insert into t values (?)");
    ASSERT_NE(insert, nullptr);
    EXPECT_EQ(cache.Get("insert"), insert);
    ASSERT_TRUE(insert->Bind(1, 7));
    ASSERT_TRUE(insert->Execute());
    ASSERT_EQ(cache.Get("insert"), insert);
    ASSERT_TRUE(insert->Execute());  // rewound, and the cleared parameter inserts NULL
    EXPECT_EQ(Scalar("select group_concat(ifnull(a, 'NULL')) from t"), "7,NULL");
    EXPECT_EQ(cache.Get("never prepared"), nullptr);
    EXPECT_TRUE(log.empty());
}

TEST_F(ResultsCacheFixture, PrepareAgainReplacesTheEntry) {
    Results* first = cache.Prepare("q", "select 1");
    Results* second = cache.Prepare("q", "select 2");
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_EQ(cache.Get("q"), second);
    ASSERT_TRUE(second->Step());
    EXPECT_EQ(second->GetInt(0), 2);
    // The first statement was finalized with its Results: only the second is left.
    sqlite3_stmt* only = sqlite3_next_stmt(connection.Handle(), nullptr);
    ASSERT_NE(only, nullptr);
    EXPECT_STREQ(sqlite3_sql(only), "select 2");
    EXPECT_EQ(sqlite3_next_stmt(connection.Handle(), only), nullptr);
}

TEST_F(ResultsCacheFixture, AFailedPrepareKeepsTheEarlierEntry) {
    Results* good = cache.Prepare("q", "select a from t");
    EXPECT_EQ(cache.Prepare("q", "select a from missing"), nullptr);
    EXPECT_STREQ(cache.ErrorMessage(), "no such table: missing");
    EXPECT_EQ(cache.Get("q"), good);
    EXPECT_EQ(log, (std::vector<LogLine>{{"no such table: missing", 2}, {"In Query - select a from missing", 0}}));
    EXPECT_EQ(cache.Prepare("empty", "  "), nullptr);
    EXPECT_EQ(cache.Get("empty"), nullptr);
}

TEST_F(ResultsCacheFixture, NamesAreCaseSensitive) {
    Results* lower = cache.Prepare("q", "select 1");
    Results* upper = cache.Prepare("Q", "select 2");
    EXPECT_NE(lower, upper);
    EXPECT_EQ(cache.Get("q"), lower);
    EXPECT_EQ(cache.Get("Q"), upper);
}

TEST_F(ResultsCacheFixture, ClearingDestroysEntries) {
    cache.Prepare("a", "select 1");
    cache.Prepare("b", "select 2");
    cache.Clear("a");
    cache.Clear("not there");
    EXPECT_EQ(cache.Get("a"), nullptr);
    EXPECT_NE(cache.Get("b"), nullptr);
    cache.Clear();
    EXPECT_EQ(cache.Get("b"), nullptr);
    EXPECT_EQ(sqlite3_next_stmt(connection.Handle(), nullptr), nullptr);
}

}  // namespace
}  // namespace Database::Testing
