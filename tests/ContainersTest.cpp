// The library's own containers and texts: the map against a reference map through inserts and
// erases that collide, the array's growth, and the two forms of the statement text with every
// way of quoting.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "base/Array.h"
#include "base/TextArena.h"
#include "base/StringMap.h"
#include "core/SqlText.h"

namespace Database::Testing {
namespace {

TEST(StringMap, AgreesWithAReferenceMapThroughInsertsAndErases) {
    // Few distinct keys and many operations: runs of colliding entries form, break and re-form,
    // which is where an erase that shifts entries back goes wrong.
    std::mt19937 random(7);
    Memory::StringMap<int> map;
    std::map<std::string, int> reference;
    for (int step = 0; step < 20000; ++step) {
        const std::string key = "k" + std::to_string(random() % 300);
        if (random() % 3 == 0) {
            map.Erase(key);
            reference.erase(key);
        } else {
            ASSERT_TRUE(map.Set(key, step));
            reference[key] = step;
        }
        if (step % 500 == 0) {
            ASSERT_EQ(map.Size(), reference.size());
            for (const auto& [name, value] : reference) {
                const int* found = map.Find(name);
                ASSERT_NE(found, nullptr) << name << " lost at step " << step;
                EXPECT_EQ(*found, value);
            }
        }
    }
    int visited = 0;
    map.ForEach([&](std::string_view name, int value) {
        ++visited;
        EXPECT_EQ(reference.at(std::string(name)), value);
    });
    EXPECT_EQ(visited, static_cast<int>(reference.size()));
    EXPECT_EQ(map.Find(std::string_view("k1\0x", 4)), nullptr);
}

TEST(Array, GrowsAndKeepsItsValues) {
    Memory::Array<int> values;
    for (int i = 0; i < 10000; ++i)
        ASSERT_TRUE(values.Push(i));
    values.Erase(0);
    ASSERT_EQ(values.Size(), 9999u);
    EXPECT_EQ(values[0], 1);
    EXPECT_EQ(values[9998], 9999);
    values.Clear();
    EXPECT_TRUE(values.Empty());
}

// Kept texts never move: every pointer handed out reads back its text after many more were kept,
// one of them larger than a block, and again after Clear refilled the blocks.
TEST(TextArena, KeptTextsStayWhereTheyAre) {
    TextArena arena;
    for (int round = 0; round < 2; ++round) {
        std::vector<std::pair<const char*, std::string>> kept;
        for (int i = 0; i < 40000; ++i) {
            const std::string text = i == 2000 ? std::string(300000, 'x') : "text " + std::to_string(i);
            const char* copy = arena.Keep(text);
            ASSERT_NE(copy, nullptr);
            kept.emplace_back(copy, text);
        }
        for (const auto& [copy, text] : kept)
            ASSERT_EQ(copy, text);
        EXPECT_STREQ(arena.Keep(""), "");
        arena.Clear();
    }
}

TEST(SqlText, TheBoundedFormRefusesWhatDoesNotFitAndStaysRefused) {
    char storage[8];
    SqlText text(storage);
    text.Append("1234567");
    EXPECT_TRUE(text.Ok());
    text.Append("8").Append("");
    EXPECT_EQ(text.GetState(), TextBuffer::State::TooLong);
    EXPECT_STREQ(text.Text(), "1234567");  // terminated, never overflowing
    text.Clear();
    text.Append("abc");
    EXPECT_TRUE(text.Ok());
    EXPECT_EQ(text.View(), "abc");
}

TEST(SqlText, NamesAndLiteralsReadBackAsWritten) {
    SqlText text;
    text.AppendName("Units").Append(' ').AppendName("Era.Name").Append(' ').AppendName("_x9");
    EXPECT_EQ(text.View(), "Units Era.Name _x9");
    text.Clear();
    text.AppendName("a`b c").Append(' ').AppendName("9lives").Append(' ').AppendName("");
    EXPECT_EQ(text.View(), "`a``b c` `9lives` ``");
    text.Clear();
    text.AppendLiteral("it's").Append(' ').AppendLiteral(nullptr).Append(' ').AppendQuoted("Co\"st", '"');
    EXPECT_EQ(text.View(), "'it''s' NULL \"Co\"\"st\"");
    text.Clear();
    text.AppendInteger(-9223372036854775807LL - 1);
    EXPECT_EQ(text.View(), "-9223372036854775808");
    const std::string big(100000, 'x');
    text.Append(big);
    EXPECT_TRUE(text.Ok());
    EXPECT_EQ(text.Length(), 20 + big.size());
}

TEST(SqlText, OnlyBlanksSemicolonsAndCommentsHoldNoStatement) {
    const auto holdsNone = [](const std::string& text) {
        return SqlText::HoldsNoStatement(text.data(), text.data() + text.size());
    };
    EXPECT_TRUE(holdsNone(" ; -- note\n /* more */ ;\t"));
    EXPECT_TRUE(holdsNone("/* unterminated"));
    EXPECT_FALSE(holdsNone("; drop table Units"));
    EXPECT_FALSE(holdsNone("- 1"));
}

}  // namespace
}  // namespace Database::Testing
