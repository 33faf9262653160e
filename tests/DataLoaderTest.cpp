// DataLoaderTest.cpp: a data set given as files and folders, loaded in the same order on every
// machine, with its labels, tags, failures and strictness; and the folder listing beneath it.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "ZrGameDatabase/DataLoader.h"
#include "ZrGameDatabase/LoadObserver.h"
#include "base/AllocationFailures.h"
#include "platform/Directory.h"
#include "support/ConnectionFixture.h"
#include "support/TemporaryDirectory.h"

namespace Database::Testing {
namespace {

// Every event as a line, paths shown below the temporary folder.
struct Recorder : DataLoader::IListener {
    std::string root;
    std::vector<std::string> events;

    std::string Relative(const char* text) const {
        std::string relative = text;
        for (std::size_t at; (at = relative.find(root)) != std::string::npos;)
            relative.erase(at, root.size());
        return relative;
    }
    void OnFileStarting(const char* file, const char* package, int index, int count) noexcept override {
        events.push_back(std::to_string(index) + "/" + std::to_string(count) + " " + Relative(file) + " [" + package
                         + "]");
    }
    void OnFileLoaded(const DataLoader::FileResult& result) noexcept override {
        std::string line = Relative(result.file) + (result.loaded ? " loaded" : " failed");
        if (result.strictFailure)
            line += " strict";
        if (result.warnings > 0 || result.errors > 0)
            line += " w" + std::to_string(result.warnings) + " e" + std::to_string(result.errors);
        if (!result.loaded)
            line += " @" + std::to_string(result.errorLine) + " " + Relative(result.errorMessage);
        events.push_back(line);
    }
    void OnEmptyFolder(const char* folder) noexcept override { events.push_back("empty " + Relative(folder)); }
};

std::string Describe(const DataLoader::Summary& summary) {
    return "loaded " + std::to_string(summary.loaded) + ", failed " + std::to_string(summary.failed) + ", warnings "
           + std::to_string(summary.warnings) + ", errors " + std::to_string(summary.errors);
}

using Lines = std::vector<std::string>;

class DataLoaderTest : public ConnectionFixture {
protected:
    DataLoaderTest() {
        Run("create table Log (Seq integer primary key autoincrement, Name text, PackageID text);");
        recorder.root = directory.Path() + "/";
    }

    // A data file that logs name with a child-element row, which a tagged table tags.
    std::string Put(const std::string& name, const std::string& logged) {
        return PutText(name, "<GameData><Log><Row><Name>" + logged + "</Name></Row></Log></GameData>\n");
    }
    std::string PutText(const std::string& name, const std::string& text) {
        std::filesystem::create_directories(std::filesystem::path(directory.File(name)).parent_path());
        return directory.Write(name, text);
    }
    bool Add(const std::string& name, const char* package = nullptr) {
        return loader.AddPath(directory.File(name).c_str(), package);
    }
    // "Name:PackageID" of every row, in load order.
    std::string Logged() {
        return Scalar("select ifnull(group_concat(Name || ':' || ifnull(PackageID, '-'), ' '), '')"
                      " from (select * from Log order by Seq)");
    }

    TemporaryDirectory directory;
    DataLoader loader{connection};
    Recorder recorder;
};

TEST_F(DataLoaderTest, FoldersLoadTheirDataFilesInByteOrderAndPathsInTheOrderGiven) {
    Put("base/a.XML", "aXML");
    Put("base/Z.xml", "Z");
    Put("base/a/x.xml", "ax");
    Put("base/a.b.xml", "ab");
    Put("base/a/deep/er/y.xml", "y");
    Put("outside.xml", "linked");
    PutText("base/notes.txt", "not data");
    PutText("base/data.xml.bak", "not data");
    PutText("base/.xml", "<GameData><Broken></GameData>");
    // A link to a file is its file; a link back to the folder would walk round for ever. Making
    // links takes a privilege on Windows: there a copy stands for the link to a file.
#if defined(_WIN32)
    Put("base/linked.xml", "linked");
#else
    ASSERT_EQ(::symlink("../outside.xml", directory.File("base/linked.xml").c_str()), 0);
    ASSERT_EQ(::symlink(".", directory.File("base/loop").c_str()), 0);
    ASSERT_EQ(::symlink("missing.xml", directory.File("base/dangling.xml").c_str()), 0);
#endif
    Put("first.xml", "first");

    ASSERT_TRUE(Add("base"));
    ASSERT_TRUE(Add("first.xml"));
    EXPECT_EQ(Describe(loader.Load(&recorder)), "loaded 7, failed 0, warnings 0, errors 0");

    const std::string top = std::filesystem::path(directory.Path()).filename().string();
    EXPECT_EQ(recorder.events, (Lines{"1/7 base/Z.xml [base]", "base/Z.xml loaded", "2/7 base/a.XML [base]",
                                      "base/a.XML loaded", "3/7 base/a.b.xml [base]", "base/a.b.xml loaded",
                                      "4/7 base/a/deep/er/y.xml [base]", "base/a/deep/er/y.xml loaded",
                                      "5/7 base/a/x.xml [base]", "base/a/x.xml loaded",
                                      "6/7 base/linked.xml [base]", "base/linked.xml loaded",
                                      "7/7 first.xml [" + top + "]", "first.xml loaded"}));
    EXPECT_EQ(Logged(), "Z:- aXML:- ab:- y:- ax:- linked:- first:-");
}

TEST_F(DataLoaderTest, LabelsComeFromPackagesOrFoldersAndTagsFromPackagesOnly) {
    loader.Serializer().AddTableToPackageTagList("Log");
    Put("mods/ModA/a.xml", "a");
    Put("mods/ModB/b.xml", "b");
    Put("mods/ModC/c.xml", "c");

    ASSERT_TRUE(Add("mods/ModA//"));
    ASSERT_TRUE(Add("mods/ModB", "MOD_B"));
    ASSERT_TRUE(Add("mods/ModC/c.xml"));
    EXPECT_EQ(Describe(loader.Load(&recorder)), "loaded 3, failed 0, warnings 0, errors 0");

    EXPECT_EQ(recorder.events, (Lines{"1/3 mods/ModA//a.xml [ModA]", "mods/ModA//a.xml loaded",
                                      "2/3 mods/ModB/b.xml [MOD_B]", "mods/ModB/b.xml loaded",
                                      "3/3 mods/ModC/c.xml [ModC]", "mods/ModC/c.xml loaded"}));
    // The tag of one path does not stay on for the next.
    EXPECT_EQ(Logged(), "a:- b:MOD_B c:-");
}

TEST_F(DataLoaderTest, FolderWithoutDataFilesIsReportedFirstAndCountsAsFailed) {
    PutText("empty/notes.txt", "not data");
    std::filesystem::create_directories(directory.File("empty/sub"));
    Put("base/one.xml", "one");

    ASSERT_TRUE(Add("base"));
    ASSERT_TRUE(Add("empty"));
    EXPECT_EQ(Describe(loader.Load(&recorder)), "loaded 1, failed 1, warnings 0, errors 0");
    EXPECT_EQ(recorder.events, (Lines{"empty empty", "1/1 base/one.xml [base]", "base/one.xml loaded"}));

    // Nothing to load at all fails too.
    DataLoader nothing(connection);
    EXPECT_EQ(Describe(nothing.Load(nullptr)), "loaded 0, failed 1, warnings 0, errors 0");
}

TEST_F(DataLoaderTest, MissingPathsFailAsFilesThatCannotBeRead) {
    ASSERT_TRUE(Add("nope.xml", "P"));
    ASSERT_TRUE(Add("gone/", "P"));
    EXPECT_EQ(Describe(loader.Load(&recorder)), "loaded 0, failed 2, warnings 0, errors 0");
    EXPECT_EQ(recorder.events,
              (Lines{"1/2 nope.xml [P]",
                     "nope.xml failed @0 Database::XMLSerializer (nope.xml): Cannot load file into memory.",
                     "2/2 gone/ [P]",
                     "gone/ failed @0 Database::XMLSerializer (gone/): Cannot load file into memory."}));
}

TEST_F(DataLoaderTest, FailFastStopsAtTheFirstFileThatFails) {
    Put("set/1.xml", "one");
    PutText("set/2.xml", "<GameData>\n<Missing><Row Name=\"x\"/></Missing>\n</GameData>\n");
    Put("set/3.xml", "three");
    ASSERT_TRUE(Add("set"));
    EXPECT_EQ(Describe(loader.Load(nullptr)), "loaded 2, failed 1, warnings 0, errors 0");
    EXPECT_EQ(Logged(), "one:- three:-");

    Run("delete from Log");
    loader.SetFailFast(true);
    EXPECT_EQ(Describe(loader.Load(&recorder)), "loaded 1, failed 1, warnings 0, errors 0");
    ASSERT_EQ(recorder.events.size(), 4u);
    EXPECT_EQ(recorder.events[3], "set/2.xml failed @2 Database::XMLSerializer (set/2.xml): no such table: Missing");
    EXPECT_EQ(Logged(), "one:-");
}

struct CountingObserver : ILoadObserver {};

TEST_F(DataLoaderTest, StrictTakesBackAFileThatLoadedWithWarnings) {
    CountingObserver observer;
    loader.Serializer().SetObserver(&observer);
    Put("set/1.xml", "one");
    PutText("set/2.xml", "<GameData><Log><Row Name=\"007\"/></Log></GameData>\n");  // stored as '7'
    PutText("set/3.xml", "<GameData><Missing><Row Name=\"x\"/></Missing></GameData>\n");
    Put("set/4.xml", "four");
    ASSERT_TRUE(Add("set"));
    EXPECT_EQ(Describe(loader.Load(nullptr)), "loaded 3, failed 1, warnings 1, errors 1");
    EXPECT_EQ(Logged(), "one:- 7:- four:-");

    Run("delete from Log");
    loader.SetStrict(true);
    EXPECT_EQ(Describe(loader.Load(&recorder)), "loaded 2, failed 2, warnings 1, errors 1");
    ASSERT_EQ(recorder.events.size(), 8u);
    EXPECT_EQ(recorder.events[3], "set/2.xml failed strict w1 e0 @0 Database::DataLoader (set/2.xml): The file loaded "
                                  "with warnings and was rolled back (strict loading).");
    EXPECT_EQ(Logged(), "one:- four:-");
    // Every savepoint was ended, the failed file's included, which the serializer had rolled back.
    EXPECT_NE(sqlite3_get_autocommit(connection.Handle()), 0);
    for (const LogLine& line : log)
        EXPECT_EQ(line.text.find("savepoint"), std::string::npos) << line.text;
}

// Memory that runs out anywhere on the way loses no file without a failure counted, and every
// file counted as loaded wrote its row.
TEST_F(DataLoaderTest, RunningOutOfMemoryAnywhereFailsCleanly) {
    namespace Failures = Memory::AllocationFailures;
    Put("set/1.xml", "one");
    Put("set/sub/2.xml", "two");
    Put("set/3.xml", "three");
    const std::string set = directory.File("set");
    for (std::uint64_t k = 1;; ++k) {
        Run("delete from Log");
        Failures::Arm(Failures::g_module, k);
        DataLoader::Summary summary{0, 1, 0, 0, false};
        {
            DataLoader starved(connection);
            if (starved.AddPath(set.c_str(), nullptr))
                summary = starved.Load(nullptr);
        }
        const bool reached = Failures::Reached(Failures::g_module);
        Failures::Disarm(Failures::g_module);
        EXPECT_EQ(Scalar("select count(*) from Log"), std::to_string(summary.loaded)) << "k = " << k;
        EXPECT_TRUE(summary.loaded == 3 || summary.failed >= 1) << "k = " << k << ": " << Describe(summary);
        if (!reached) {
            EXPECT_EQ(Describe(summary), "loaded 3, failed 0, warnings 0, errors 0");
            break;
        }
    }
}

TEST(DirectoryListing, GivesEntriesButDotsAndDoesNotFollowLinksToFolders) {
#if defined(_WIN32)
    GTEST_SKIP() << "making symbolic links takes a privilege on Windows";
#else
    TemporaryDirectory directory;
    directory.Write("file.xml", "x");
    std::filesystem::create_directories(directory.File("folder"));
    ASSERT_EQ(::symlink("file.xml", directory.File("to-file").c_str()), 0);
    ASSERT_EQ(::symlink("folder", directory.File("to-folder").c_str()), 0);
    ASSERT_EQ(::symlink("nowhere", directory.File("dangling").c_str()), 0);

    Platform::DirectoryListing listing;
    ASSERT_TRUE(listing.Open(directory.Path().c_str()));
    std::vector<std::string> entries;
    const char* name = nullptr;
    Platform::EntryKind kind;
    static const char* const kKinds[] = {"file", "folder", "other"};
    while (listing.Next(name, kind))
        entries.push_back(std::string(name) + " " + kKinds[static_cast<int>(kind)]);
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (Lines{"dangling other", "file.xml file", "folder folder", "to-file file", "to-folder other"}));

    EXPECT_FALSE(listing.Open(directory.File("file.xml").c_str()));
    EXPECT_FALSE(listing.Next(name, kind));
    EXPECT_TRUE(Platform::IsFolder(directory.File("to-folder").c_str()));
    EXPECT_FALSE(Platform::IsFolder(directory.File("file.xml").c_str()));
    EXPECT_FALSE(Platform::IsFolder(directory.File("nowhere").c_str()));
#endif
}

}  // namespace
}  // namespace Database::Testing
