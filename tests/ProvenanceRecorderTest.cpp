// The provenance recorder: what committed files wrote, read back from zrdb_provenance; nothing of
// a rolled-back file; the conflicts between packages, each once; the events passed on.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "ZrGameDatabase/ProvenanceRecorder.h"
#include "support/LoaderFixture.h"

namespace Database::Testing {
namespace {

using Texts = std::vector<std::string>;
using Columns = std::vector<std::pair<const char*, const char*>>;

struct CountingObserver : ILoadObserver {
    int diagnostics = 0;
    int changes = 0;
    Texts files;
    void OnDiagnostic(const Diagnostic&) noexcept override { ++diagnostics; }
    void OnRowChange(const RowChange&) noexcept override { ++changes; }
    void OnFileDone(const char* file, bool committed) noexcept override {
        files.push_back(std::string(file) + (committed ? " committed" : " rolled back"));
    }
};

// "code table key column | file:line package value | file:line package value | later|earlier won"
struct ConflictList : ProvenanceRecorder::IConflictListener {
    Texts conflicts;
    static std::string Text(const char* text) { return text != nullptr ? text : "-"; }
    static std::string Side(const ProvenanceRecorder::Write& write) {
        return Text(write.file) + ":" + std::to_string(write.line) + " " + Text(write.package) + " "
               + Text(write.value);
    }
    void OnConflict(const ProvenanceRecorder::Conflict& conflict) noexcept override {
        conflicts.push_back(Text(conflict.code) + " " + Text(conflict.table) + " " + Text(conflict.key) + " "
                            + Text(conflict.column) + " | " + Side(conflict.earlier) + " | " + Side(conflict.later)
                            + (conflict.laterWon ? " | later won" : " | earlier won"));
    }
};

class ProvenanceRecorderTest : public LoaderFixture {
protected:
    // Hands the recorder one change from texts that are overwritten once the call returns, as the
    // loader's are.
    void Hear(const char* file, int line, const char* table, ChangeKind kind, long long rowid, const char* key,
              const Columns& columns = {}) {
        std::vector<std::string> texts{file, table, key != nullptr ? key : ""};
        std::vector<std::string> names, values;
        for (const auto& [name, value] : columns) {
            names.emplace_back(name);
            values.emplace_back(value != nullptr ? value : "");
        }
        std::vector<const char*> namePointers, valuePointers;
        for (std::size_t index = 0; index < columns.size(); ++index) {
            namePointers.push_back(names[index].c_str());
            valuePointers.push_back(columns[index].second != nullptr ? values[index].c_str() : nullptr);
        }
        recorder.OnRowChange(RowChange{texts[0].c_str(), line, texts[1].c_str(), kind, rowid,
                                       key != nullptr ? texts[2].c_str() : nullptr, static_cast<int>(columns.size()),
                                       namePointers.data(), valuePointers.data()});
        for (auto* list : {&texts, &names, &values})
            for (std::string& text : *list)
                text.assign(text.size(), '#');
    }

    // Every column of every change in the record, in order, as
    // "file:line package table kind row_id row_key column=value".
    Texts Recorded() {
        const std::string all = Scalar(
            "select group_concat(file || ':' || line || ' ' || ifnull(package, '-') || ' ' || table_name || ' ' || kind"
            " || ' ' || ifnull(row_id, '-') || ' ' || ifnull(row_key, '-') || ' ' || ifnull(c.key, '-') || '='"
            " || ifnull(c.value, 'NULL'), '\n') from (select p.*, c.key, c.value from zrdb_provenance as p"
            " left join json_each(p.columns) as c order by p.id, c.id) as c");
        Texts rows;
        for (std::size_t start = 0; start < all.size();) {
            const std::size_t end = std::min(all.find('\n', start), all.size());
            rows.push_back(all.substr(start, end - start));
            start = end + 1;
        }
        return rows;
    }

    Texts Conflicts() {
        ConflictList list;
        const int count = recorder.FindConflicts(list);
        EXPECT_EQ(count, static_cast<int>(list.conflicts.size()));
        return list.conflicts;
    }

    // One unit's life: BASE makes it, mod A changes its cost, mod B replaces it and A deletes it.
    void LoadTheUnitsHistory(const char* base, const char* modA, const char* modB) {
        recorder.SetPackage(base);
        Hear("base.xml", 3, "Units", ChangeKind::Insert, 1, "WARRIOR", {{"Type", "WARRIOR"}, {"Cost", "10"}});
        recorder.OnFileDone("base.xml", true);
        recorder.SetPackage(modA);
        Hear("a.xml", 5, "units", ChangeKind::Update, 1, "WARRIOR", {{"Cost", "12"}});
        recorder.OnFileDone("a.xml", true);
        recorder.SetPackage(modB);
        Hear("b.xml", 7, "Units", ChangeKind::Replace, 2, "WARRIOR", {{"Type", "WARRIOR"}, {"Cost", nullptr}});
        recorder.OnFileDone("b.xml", true);
        recorder.SetPackage(modA);
        Hear("a2.xml", 9, "UNITS", ChangeKind::Delete, 2, "WARRIOR");
        recorder.OnFileDone("a2.xml", true);
    }

    ProvenanceRecorder recorder{connection};
};

TEST_F(ProvenanceRecorderTest, RecordsEveryColumnOfEachCommittedChangeInOrder) {
    LoadTheUnitsHistory("BASE", "A", "B");
    recorder.SetPackage(nullptr);
    Hear("c.xml", 2, "Eras", ChangeKind::Insert, 4, nullptr);
    Hear("c.xml", 3, "Main.ZRDB_Provenance", ChangeKind::Insert, 9, "x", {{"file", "x"}});
    Hear("c.xml", 4, "Units", ChangeKind::Ignored, 0, "WARRIOR", {{"Type", "WARRIOR"}});
    recorder.OnFileDone("c.xml", true);
    EXPECT_EQ(Recorded(), (Texts{"base.xml:3 BASE Units insert 1 WARRIOR Type=WARRIOR",
                                 "base.xml:3 BASE Units insert 1 WARRIOR Cost=10",
                                 "a.xml:5 A units update 1 WARRIOR Cost=12",
                                 "b.xml:7 B Units replace 2 WARRIOR Type=WARRIOR",
                                 "b.xml:7 B Units replace 2 WARRIOR Cost=NULL",
                                 "a2.xml:9 A UNITS delete 2 WARRIOR -=NULL",
                                 "c.xml:2 - Eras insert 4 - -=NULL",
                                 "c.xml:4 - Units ignored - WARRIOR Type=WARRIOR"}));
    EXPECT_TRUE(log.empty());
}

// Each change is one row; its columns come back from json_each exactly, whatever bytes they hold.
TEST_F(ProvenanceRecorderTest, PacksTheColumnsOfAChangeIntoOneRowThatGivesBackAnyText) {
    const std::string awkward = "a\"b\\c\":\"d,e}{\n\t\x01\x1f\x7f caf\xc3\xa9 null";
    Hear("x.xml", 2, "Units", ChangeKind::Insert, 1, "K", {{"Quoted\"Name", awkward.c_str()}, {"Empty", ""},
                                                            {"Nothing", nullptr}, {"cost", "1"}, {"Cost", "2"}});
    recorder.OnFileDone("x.xml", true);
    EXPECT_EQ(Scalar("select count(*) from zrdb_provenance"), "1");
    EXPECT_EQ(Scalar("select group_concat(key || '=' || ifnull(type || ':' || value, 'NULL'), '|')"
                     " from (select c.* from zrdb_provenance, json_each(columns) as c order by c.id)"),
              "Quoted\"Name=text:" + awkward + "|Empty=text:|Nothing=NULL|cost=text:1|Cost=text:2");
}

TEST_F(ProvenanceRecorderTest, ARolledBackFileLeavesNoRows) {
    recorder.SetPackage("BASE");
    Hear("broken.xml", 2, "Units", ChangeKind::Insert, 1, "WARRIOR", {{"Cost", "10"}});
    recorder.OnFileDone("broken.xml", false);
    EXPECT_EQ(Scalar("select count(*) from sqlite_master where name = 'zrdb_provenance'"), "0");
    Hear("good.xml", 2, "Units", ChangeKind::Insert, 1, "SCOUT", {{"Cost", "5"}});
    recorder.OnFileDone("good.xml", true);
    EXPECT_EQ(Recorded(), (Texts{"good.xml:2 BASE Units insert 1 SCOUT Cost=5"}));
}

TEST_F(ProvenanceRecorderTest, FindsEachKindOfConflictOnceWithBothWrites) {
    ConflictList none;
    EXPECT_EQ(recorder.FindConflicts(none), -1);
    log.clear();
    LoadTheUnitsHistory("BASE", "A", "B");
    recorder.SetPackage("BASE");
    Hear("base2.xml", 2, "Units", ChangeKind::Insert, 3, "SCOUT", {{"Type", "SCOUT"}});
    recorder.OnFileDone("base2.xml", true);
    recorder.SetPackage("B");
    Hear("b2.xml", 4, "units", ChangeKind::Ignored, 0, "SCOUT", {{"Type", "SCOUT"}, {"Cost", "3"}});
    recorder.OnFileDone("b2.xml", true);
    EXPECT_EQ(Conflicts(), (Texts{"update-conflict units WARRIOR Cost | base.xml:3 BASE 10 | a.xml:5 A 12 | later won",
                                  "replace-conflict Units WARRIOR - | a.xml:5 A - | b.xml:7 B - | later won",
                                  "delete-conflict UNITS WARRIOR - | b.xml:7 B - | a2.xml:9 A - | later won",
                                  "ignored-insert units SCOUT - | base2.xml:2 BASE - | b2.xml:4 B - | earlier won"}));
    EXPECT_TRUE(log.empty());
}

TEST_F(ProvenanceRecorderTest, NoConflictWithinOnePackageWithoutOneOrAcrossAFreshRow) {
    LoadTheUnitsHistory("BASE", "BASE", "BASE");
    LoadTheUnitsHistory("", nullptr, "");
    EXPECT_EQ(Conflicts(), Texts{});
    // The replace leaves Cost to its default: C's update overrides nothing of A's.
    recorder.SetPackage("BASE");
    Hear("base.xml", 2, "Units", ChangeKind::Insert, 5, "ARCHER", {{"Cost", "8"}});
    recorder.OnFileDone("base.xml", true);
    recorder.SetPackage("A");
    Hear("a.xml", 3, "Units", ChangeKind::Replace, 6, "ARCHER", {{"Type", "ARCHER"}});
    recorder.OnFileDone("a.xml", true);
    recorder.SetPackage("C");
    Hear("c.xml", 4, "Units", ChangeKind::Update, 6, "ARCHER", {{"Cost", "9"}});
    recorder.OnFileDone("c.xml", true);
    EXPECT_EQ(Conflicts(), (Texts{"replace-conflict Units ARCHER - | base.xml:2 BASE - | a.xml:3 A - | later won"}));
}

TEST_F(ProvenanceRecorderTest, PassesEveryEventOnAndSurvivesAFailedWrite) {
    CountingObserver next;
    EXPECT_FALSE(recorder.WantsDiagnostics());  // alone, it would drop them
    recorder.SetNext(&next);
    EXPECT_TRUE(recorder.WantsDiagnostics());
    recorder.OnDiagnostic(Diagnostic{Severity::Warning, "a.xml", 1, "value-retyped", "m", nullptr});
    Hear("a.xml", 2, "Units", ChangeKind::Insert, 1, "WARRIOR", {{"Cost", "1"}});
    recorder.OnFileDone("a.xml", false);
    EXPECT_EQ(next.diagnostics, 1);
    EXPECT_EQ(next.changes, 1);
    EXPECT_EQ(next.files, (Texts{"a.xml rolled back"}));

    // A write that fails half-way inside the host's transaction takes its file's rows back, and
    // only those: the host's transaction and the earlier records stay.
    Run("create table zrdb_provenance (id integer primary key, file text, line integer, package text, table_name text,"
        " kind text, row_id integer, row_key text, columns text);"
        "create trigger refuse before insert on zrdb_provenance when new.line = 99"
        " begin select raise(abort, 'no'); end;"
        "BEGIN;");
    Hear("b.xml", 2, "Units", ChangeKind::Insert, 1, "WARRIOR", {{"Cost", "1"}});
    recorder.OnFileDone("b.xml", true);
    Hear("c.xml", 3, "Units", ChangeKind::Update, 1, "WARRIOR", {{"Cost", "2"}});
    Hear("c.xml", 99, "Units", ChangeKind::Update, 1, "WARRIOR", {{"Cost", "3"}});
    recorder.OnFileDone("c.xml", true);
    EXPECT_TRUE(InTransaction());
    EXPECT_EQ(log, (std::vector<LogLine>{{"no", IDatabaseLogger::Error},
                                         {"ProvenanceRecorder: the provenance of c.xml was not recorded.",
                                          IDatabaseLogger::Error}}));
    Hear("d.xml", 4, "Units", ChangeKind::Delete, 1, "WARRIOR");
    recorder.OnFileDone("d.xml", true);
    Run("COMMIT;");
    EXPECT_EQ(Recorded(),
              (Texts{"b.xml:2 - Units insert 1 WARRIOR Cost=1", "d.xml:4 - Units delete 1 WARRIOR -=NULL"}));
    EXPECT_EQ(next.files, (Texts{"a.xml rolled back", "b.xml committed", "c.xml committed", "d.xml committed"}));
}

// Changes go in by batches that bind the file and package once; a file whose package changed
// half-way keeps each change's own.
TEST_F(ProvenanceRecorderTest, ManyChangesOfAFileKeepTheirOrderLinesAndPackages) {
    for (int line = 1; line <= 100; ++line) {
        recorder.SetPackage(line <= 45 ? "A" : "B");
        Hear("many.xml", line, "Units", ChangeKind::Insert, line, ("U" + std::to_string(line)).c_str());
    }
    recorder.OnFileDone("many.xml", true);
    EXPECT_EQ(Scalar("select count(*) || ' ' || sum(line = id) || ' ' || sum(row_key = 'U' || line)"
                     " || ' ' || sum(package = iif(line <= 45, 'A', 'B')) from zrdb_provenance"),
              "100 100 100 100");
}

// The loader's own events: a file's changes are recorded after its commit, with their lines.
TEST_F(ProvenanceRecorderTest, RecordsWhatTheLoaderWrites) {
    Run("create table Units (Type text primary key, Cost integer);");
    serializer.SetObserver(&recorder);
    recorder.SetPackage("BASE");
    ASSERT_TRUE(Load(File("<Units>\n<Row Type=\"WARRIOR\" Cost=\"10\"/>\n</Units>"), "base.xml"));
    recorder.SetPackage("A");
    ASSERT_TRUE(Load(File("<Units>\n<Update><Where Type=\"WARRIOR\"/><Set Cost=\"12\"/></Update>\n"
                          "<InsertOrIgnore Type=\"WARRIOR\" Cost=\"1\"/>\n</Units>"),
                     "a.xml"));
    ASSERT_FALSE(Load(File("<Units>\n<Row Type=\"SCOUT\"/>\n<Row Type=\"WARRIOR\"/>\n</Units>"), "broken.xml"));
    EXPECT_EQ(Conflicts(), (Texts{"update-conflict Units WARRIOR Cost | base.xml:3 BASE 10 | a.xml:3 A 12 | later won",
                                  "ignored-insert Units WARRIOR - | base.xml:3 BASE - | a.xml:4 A - | earlier won"}));
    EXPECT_EQ(Scalar("select count(*) from zrdb_provenance where file = 'broken.xml'"), "0");
}

struct MessageList : ILoadObserver {
    Texts messages;
    void OnDiagnostic(const Diagnostic& diagnostic) noexcept override { messages.emplace_back(diagnostic.message); }
};

// A file's changes are written batch by batch while it loads: a file that fails after a few
// batches leaves none of them, with transactions and without, and the loader's own counts stay
// its own.
TEST_F(ProvenanceRecorderTest, AFileWrittenBatchByBatchLeavesNothingWhenItFails) {
    Run("create table Units (Type text primary key, Cost integer);");
    MessageList next;
    recorder.SetNext(&next);
    serializer.SetObserver(&recorder);
    std::string rows;
    for (int unit = 0; unit < 100; ++unit)
        rows += "<Row Type=\"U" + std::to_string(unit) + "\" Cost=\"1\"/>\n";
    ASSERT_TRUE(Load(File("<Units>\n" + rows + "<Update><Set Cost=\"2\"/></Update>\n</Units>"), "good.xml"));
    EXPECT_EQ(next.messages, (Texts{"<Update> without <Where> changed every row of Units (100 rows)"}));
    for (const bool transactions : {true, false}) {
        serializer.UseTransactions(transactions);
        ASSERT_FALSE(Load(File("<Units>\n<Delete/>\n" + rows + "<Row Type=\"U1\"/>\n</Units>"), "broken.xml"));
        EXPECT_EQ(Scalar("select count(*) || ' ' || sum(file = 'good.xml') from zrdb_provenance"), "200 200");
    }
}

}  // namespace
}  // namespace Database::Testing
