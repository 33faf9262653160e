// What `zrdb load` tells a modder: one line per problem at its FILE:LINE, --strict, the JSON form
// (read back with a parser of its own here), --validate naming the line that wrote a dangling
// value, and paths that hold no data file.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/Process.h"
#include "support/TextLines.h"
#include "support/TemporaryDirectory.h"

namespace Database::Testing {
namespace {

constexpr char kShips[] =
    "<GameData>\n"
    "  <Table name=\"Eras\"><Column name=\"Type\" type=\"text\" primarykey=\"true\"/></Table>\n"
    "  <Table name=\"Ships\">\n"
    "    <Column name=\"Type\" type=\"text\" primarykey=\"true\"/>\n"
    "    <Column name=\"Name\" type=\"text\"/>\n"
    "    <Column name=\"Era\" type=\"text\" reference=\"Eras(Type)\"/>\n"
    "  </Table>\n"
    "  <Eras><Row Type=\"ERA_A\"/></Eras>\n"
    "</GameData>\n";

// A flat JSON object of strings, numbers, booleans and null, as zrdb writes one per line; false
// when the line is no such object.
bool ParseObject(const std::string& line, std::map<std::string, std::string>& fields) {
    std::size_t at = 0;
    const auto skip = [&] { while (at < line.size() && line[at] == ' ') ++at; };
    const auto text = [&](std::string& out) {
        if (line[at] != '"')
            return false;
        for (++at; at < line.size() && line[at] != '"'; ++at) {
            if (line[at] == '\\' && ++at < line.size())
                out += line[at] == 'n' ? '\n' : line[at] == 't' ? '\t' : line[at];
            else
                out += line[at];
        }
        return at++ < line.size();
    };
    if (line.empty() || line[at++] != '{')
        return false;
    for (skip(); at < line.size() && line[at] != '}';) {
        std::string key;
        std::string value;
        if (!text(key) || line[at++] != ':')
            return false;
        if (line[at] == '"') {
            if (!text(value))
                return false;
        } else {
            while (at < line.size() && line[at] != ',' && line[at] != '}')
                value += line[at++];
        }
        fields[key] = value;
        if (line[at] == ',')
            ++at;
        skip();
    }
    return at + 1 == line.size();
}

class ZrdbDiagnostics : public ::testing::Test {
protected:
    ZrdbDiagnostics() { folder.Write("0_ships.xml", kShips); }
    ProcessResult Run(const std::vector<std::string>& arguments) {
        return RunProgram(ZRDB_PROGRAM, arguments, folder.Path());
    }
    std::string Count(const std::string& table) {
        return Run({"query", "out.db", "select count(*) from " + table}).out;
    }

    TemporaryDirectory folder;
};

TEST_F(ZrdbDiagnostics, EachProblemIsOneLineAtItsFileAndLine) {
    folder.Write("1_mod.xml",
                 "<GameData>\n<Ships>\n<Row Type=\"SHIP_A\" Name=\"007\"/>\n"
                 "<Update Type=\"SHIP_A\"><Set Name=\"B\"/></Update>\n</Ships>\n</GameData>\n");
    folder.Write("2_broken.xml",
                 "<GameData>\n<Ships>\n<Update><Set Name=\"C\"/>\n<Where Typ=\"SHIP_A\"/></Update>\n</Ships>\n</GameData>\n");
    const ProcessResult load = Run({"load", folder.Path(), "--quiet"});
    EXPECT_EQ(load.exitStatus, 1);
    const std::string mod = folder.File("1_mod.xml");
    EXPECT_EQ(Lines(load.err),
              (std::vector<std::string>{
                  mod + ":3: warning: '007' in the text column Ships.Name is stored as '7' [value-retyped]",
                  mod + ":4: warning: the attribute Type of <Update> in Ships is ignored: conditions go in <Where>, "
                        "changes in <Set> [update-attribute-ignored]",
                  mod + ":4: warning: <Update> without <Where> changed every row of Ships (1 row) [update-without-where]",
                  folder.File("2_broken.xml") + ":3: error: no such column: Typ"}));
}

// What the reader recovers from is told too: the tree, and so the load, stays as it always was.
TEST_F(ZrdbDiagnostics, WhatTheReaderRecoversFromIsToldAtItsLine) {
    folder.Write("1_cut.xml", "<GameData>\n<Ships>\n<Row Type=\"A\" Name=5/>\n<Row Type=\"B\"><Name>M</Nmae></Row>\n"
                              "<Row Type=\"C\" Name=\"a < b & c &nbsp;\"/>\n");
    const ProcessResult load = Run({"load", "0_ships.xml", "1_cut.xml", "--quiet", "-o", "out.db"});
    EXPECT_EQ(load.exitStatus, 0) << load.err;
    EXPECT_EQ(Lines(load.err),
              (std::vector<std::string>{
                  "1_cut.xml:3: warning: the attribute Name of <Row> cannot be read (is its value in quotes?); the "
                  "element is left out [dropped-attribute]",
                  "1_cut.xml:4: warning: </Nmae> closes <Name>, opened at line 4 [mismatched-closing-tag]",
                  "1_cut.xml:5: warning: a '<' that starts nothing is kept in the value (write &lt;) [stray-less-than]",
                  "1_cut.xml:5: warning: a '&' that starts no reference is kept as it is (write &amp;) [stray-ampersand]",
                  "1_cut.xml:5: warning: the entity &nbsp; is unknown and kept as written [unknown-entity]",
                  "1_cut.xml:2: warning: <Ships> is never closed: the file ends first (was it cut off?) [unclosed-element]",
                  "1_cut.xml:1: warning: <GameData> is never closed: the file ends first (was it cut off?) "
                  "[unclosed-element]"}));
    EXPECT_NE(Count("Ships").find("2"), std::string::npos);
}

TEST_F(ZrdbDiagnostics, StrictFailsAFileWithWarningsAndRollsItBack) {
    folder.Write("1_mod.xml", "<GameData><Ships><Row Type=\"SHIP_A\" Name=\"007\"/></Ships></GameData>");
    const ProcessResult load = Run({"load", "0_ships.xml", "1_mod.xml", "--strict", "--quiet", "-o", "out.db"});
    EXPECT_EQ(load.exitStatus, 1);
    EXPECT_NE(load.err.find("1_mod.xml: error: 1 warning with --strict: the file was rolled back\n"), std::string::npos)
        << load.err;
    EXPECT_NE(Count("Ships").find("0"), std::string::npos);
    EXPECT_NE(Count("Eras").find("1"), std::string::npos);  // the file without warnings stays
}

TEST_F(ZrdbDiagnostics, TheJsonFormIsOneObjectPerLineAndASummary) {
    folder.Write("1_mod.xml", "<GameData>\n<Ships><Row Type=\"SHIP_A\" Name=\"True\"/></Ships>\n</GameData>");
    const ProcessResult load = Run({"load", "0_ships.xml", "1_mod.xml", "missing.xml", "--format", "json"});
    EXPECT_EQ(load.exitStatus, 1);
    const std::vector<std::string> lines = Lines(load.out);
    ASSERT_EQ(lines.size(), 3u) << load.out;
    std::map<std::string, std::string> retyped;
    std::map<std::string, std::string> missing;
    std::map<std::string, std::string> summary;
    ASSERT_TRUE(ParseObject(lines[0], retyped)) << lines[0];
    ASSERT_TRUE(ParseObject(lines[1], missing)) << lines[1];
    ASSERT_TRUE(ParseObject(lines[2], summary)) << lines[2];
    EXPECT_EQ(retyped, (std::map<std::string, std::string>{
                           {"file", "1_mod.xml"}, {"line", "2"}, {"severity", "warning"}, {"code", "value-retyped"},
                           {"message", "'True' in the text column Ships.Name is stored as '1'"}, {"table", "Ships"}}));
    EXPECT_EQ(missing["code"], "file-unreadable");
    EXPECT_EQ(missing["message"], "cannot read the file: no such file");
    EXPECT_EQ(missing["table"], "null");
    EXPECT_EQ(summary["summary"], "true");
    EXPECT_EQ(summary["loaded"], "2");
    EXPECT_EQ(summary["failed"], "1");
    EXPECT_EQ(summary["warnings"], "1");
    EXPECT_EQ(summary["errors"], "1");
    EXPECT_EQ(load.err, "");
}

TEST_F(ZrdbDiagnostics, ValidateNamesTheLineThatWroteADanglingValue) {
    folder.Write("1_mod.xml", "<GameData>\n<Ships>\n<Row Type=\"SHIP_A\" Era=\"ERA_A\"/>\n"
                              "<Row Type=\"SHIP_B\" Era=\"ERA_Z\"/>\n</Ships>\n</GameData>");
    const ProcessResult load = Run({"load", "0_ships.xml", "1_mod.xml", "--validate", "--quiet"});
    EXPECT_EQ(load.exitStatus, 1);
    EXPECT_EQ(Lines(load.err), (std::vector<std::string>{
                                   "1_mod.xml:4: error: Ships.Era - \"ERA_Z\" does not exist in Eras",
                                   "zrdb: invalid foreign-key references (listed above and in the log)"}));
}

TEST_F(ZrdbDiagnostics, PathsWithoutDataFilesFailAndDataFilesAreFoundInAnyCase) {
    std::filesystem::create_directory(folder.File("empty"));
    std::filesystem::create_directory(folder.File("mod"));
    folder.Write("mod/SHIPS.XML", "<GameData><Ships><Row Type=\"SHIP_A\"/></Ships></GameData>");
    const ProcessResult load = Run({"load", "0_ships.xml", "mod", "empty", "-o", "out.db"});
    EXPECT_EQ(load.exitStatus, 1);
    EXPECT_EQ(load.err, "empty: error: no data files (*.xml) in this folder\n");
    EXPECT_NE(load.out.find("2 files loaded, 1 failed; 2 rows in 2 tables;"), std::string::npos) << load.out;
}

}  // namespace
}  // namespace Database::Testing
