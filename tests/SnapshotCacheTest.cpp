// SnapshotCacheTest.cpp: the snapshot cache of the data loader: read instead of the files while
// nothing the result depends on changed, made again whenever something did, and never trusted
// when one of its files was damaged.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "ZrGameDatabase/Connection.h"
#include "ZrGameDatabase/DataLoader.h"
#include "ZrGameDatabase/DatabaseResults.h"
#include "support/TemporaryDirectory.h"

namespace Database::Testing {
namespace {

const char* const kSchemaFile =
    "<GameData><Table name=\"Units\"><Column name=\"Type\" type=\"text\" unique=\"true\"/>"
    "<Column name=\"Cost\" type=\"integer\"/><Column name=\"PackageID\" type=\"text\"/></Table></GameData>\n";

std::string RowsFile(const std::string& type, int cost) {
    return "<GameData><Units><Row><Type>" + type + "</Type><Cost>" + std::to_string(cost)
           + "</Cost></Row></Units></GameData>\n";
}

// Files stamped in the past, as files a load finds mostly are: their stamps are trusted.
void MakeOld(const std::string& path) {
    std::filesystem::last_write_time(path, std::filesystem::file_time_type::clock::now() - std::chrono::hours(24));
}

class SnapshotCacheTest : public ::testing::Test {
protected:
    SnapshotCacheTest() {
        Put("data/0schema.xml", kSchemaFile);
        Put("data/1units.xml", RowsFile("UNIT_A", 10));
    }

    std::string Put(const std::string& name, const std::string& text, bool old = true) {
        std::filesystem::create_directories(std::filesystem::path(directory.File(name)).parent_path());
        const std::string path = directory.Write(name, text);
        if (old)
            MakeOld(path);
        return path;
    }

    struct Outcome {
        DataLoader::Summary summary;
        std::string rows;
    };

    // One load of data (and of mod, when asked) into a fresh in-memory database.
    Outcome Load(bool withMod = false, const char* hostKey = "test", bool tagUnits = false) {
        Connection connection(nullptr, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        DataLoader loader(connection);
        if (tagUnits)
            loader.Serializer().AddTableToPackageTagList("Units");
        loader.AddPath(directory.File("data").c_str(), nullptr);
        if (withMod)
            loader.AddPath(directory.File("mod").c_str(), "MOD");
        EXPECT_TRUE(loader.SetSnapshotCache(directory.File("cache").c_str(), hostKey));
        Outcome outcome{loader.Load(nullptr), ""};
        Results rows;
        if (connection.Execute(rows, "select group_concat(Type || '=' || Cost || ':' || ifnull(PackageID, '-'), ' ')"
                                     " from (select * from Units order by Type)")
            && rows.Step() && rows.GetText(0) != nullptr)
            outcome.rows = rows.GetText(0);
        return outcome;
    }

    std::string SnapshotFile() {
        for (const auto& entry : std::filesystem::directory_iterator(directory.File("cache"))) {
            if (entry.path().filename() != "index.db")
                return entry.path().string();
        }
        return "";
    }

    TemporaryDirectory directory;
};

TEST_F(SnapshotCacheTest, ASecondLoadOfTheSameFilesReadsTheSnapshot) {
    const Outcome first = Load();
    EXPECT_FALSE(first.summary.fromCache);
    EXPECT_EQ(first.rows, "UNIT_A=10:-");
    const Outcome second = Load();
    EXPECT_TRUE(second.summary.fromCache);
    EXPECT_EQ(second.summary.loaded, 2);
    EXPECT_EQ(second.summary.failed, 0);
    EXPECT_EQ(second.rows, "UNIT_A=10:-");
}

TEST_F(SnapshotCacheTest, AnyChangeOfFilesOrOptionsMisses) {
    Load();
    // The same size, another content; the write moves the file's time on.
    Put("data/1units.xml", RowsFile("UNIT_B", 10), false);
    Outcome changed = Load();
    EXPECT_FALSE(changed.summary.fromCache);
    EXPECT_EQ(changed.rows, "UNIT_B=10:-");
    EXPECT_TRUE(Load().summary.fromCache);

    const std::string added = Put("data/2more.xml", RowsFile("UNIT_C", 5));
    EXPECT_EQ(Load().rows, "UNIT_B=10:- UNIT_C=5:-");
    std::filesystem::remove(added);
    Outcome removed = Load();
    EXPECT_TRUE(removed.summary.fromCache) << "the snapshot of the first file set is still there";
    EXPECT_EQ(removed.rows, "UNIT_B=10:-");

    Put("mod/units.xml", RowsFile("UNIT_M", 1));
    EXPECT_FALSE(Load(true).summary.fromCache);
    const Outcome tagged = Load(true, "test", true);
    EXPECT_FALSE(tagged.summary.fromCache);
    EXPECT_EQ(tagged.rows, "UNIT_B=10:- UNIT_M=1:MOD");
    EXPECT_FALSE(Load(true, "another host setting", true).summary.fromCache);
    EXPECT_TRUE(Load(true, "test", true).summary.fromCache);
}

// A file rewritten in the moment its stamp was taken, with its size and time as they were, is
// read again rather than taken for the file that was hashed.
TEST_F(SnapshotCacheTest, AStampTakenAsTheFileWasWrittenIsNotTrusted) {
    const std::string path = Put("data/1units.xml", RowsFile("UNIT_A", 10), false);
    const auto before = std::filesystem::last_write_time(path);
    Load();
    Put("data/1units.xml", RowsFile("UNIT_Z", 10), false);
    std::filesystem::last_write_time(path, before);
    const Outcome second = Load();
    EXPECT_FALSE(second.summary.fromCache);
    EXPECT_EQ(second.rows, "UNIT_Z=10:-");
}

TEST_F(SnapshotCacheTest, DamagedCacheFilesAreMadeAgainNeverLoaded) {
    Load();
    const std::string snapshot = SnapshotFile();
    ASSERT_FALSE(snapshot.empty());
    std::filesystem::resize_file(snapshot, std::filesystem::file_size(snapshot) / 2);
    Outcome truncated = Load();
    EXPECT_FALSE(truncated.summary.fromCache);
    EXPECT_EQ(truncated.rows, "UNIT_A=10:-");

    // One byte changed deep in the file: the size is right, the content is not.
    {
        std::fstream file(snapshot, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(-100, std::ios::end);
        file.put('\x7f');
    }
    EXPECT_FALSE(Load().summary.fromCache);
    EXPECT_TRUE(Load().summary.fromCache);

    // Bytes added after the end: the kept bytes are all there and intact, the file is not.
    {
        std::ofstream file(SnapshotFile(), std::ios::app | std::ios::binary);
        file << "more";
    }
    EXPECT_FALSE(Load().summary.fromCache);
    EXPECT_TRUE(Load().summary.fromCache);

    directory.Write("cache/index.db", "this is no database at all, and never was one");
    Outcome fresh = Load();
    EXPECT_FALSE(fresh.summary.fromCache);
    EXPECT_EQ(fresh.rows, "UNIT_A=10:-");
    EXPECT_TRUE(Load().summary.fromCache);
}

TEST_F(SnapshotCacheTest, OnlyAWholeLoadIntoAnEmptyDatabaseIsKeptOrRead) {
    Put("data/2broken.xml", "<GameData><Units><Row><Nope>1</Nope></Row></Units></GameData>\n");
    EXPECT_EQ(Load().summary.failed, 1);
    EXPECT_FALSE(Load().summary.fromCache) << "a load with a failure is not kept";
    std::filesystem::remove(directory.File("data/2broken.xml"));
    Load();

    Connection connection(nullptr, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    ASSERT_TRUE(connection.Execute("create table Host (A integer);"));
    DataLoader loader(connection);
    loader.AddPath(directory.File("data").c_str(), nullptr);
    loader.SetSnapshotCache(directory.File("cache").c_str(), "test");
    const DataLoader::Summary summary = loader.Load(nullptr);
    EXPECT_FALSE(summary.fromCache) << "the host's table would be lost under the snapshot";
    Results host;
    EXPECT_TRUE(connection.Execute(host, "select count(*) from Host") && host.Step());
}

}  // namespace
}  // namespace Database::Testing
