// Hostile data files: absurd depth and width, names and values of megabytes, zero bytes, invalid
// UTF-8, names built to break the SQL they are spliced into, and files that are no XML at all.
// Whatever comes in, a load returns what it should, says why it failed and where, leaves the
// database exactly as it was (file transactions are on), and the connection goes on working.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/DatabaseDump.h"
#include "support/LoaderFixture.h"
#include "support/TemporaryDirectory.h"

namespace Database::Testing {
namespace {

// Levels in the depth cases.
constexpr int kMillion = 1000000;
// Attributes or children of one element in the width cases: past every limit they meet (SQLite's
// 2,000 columns, 250,000 variables and expression depth of 1,000, the loader's switch from a
// linear to a hashed name check, the log buffers), yet small enough to stay quick under valgrind,
// where a million took over a minute.
constexpr int kWide = 300000;
// "Several megabytes".
constexpr std::size_t kHuge = 3 * 1024 * 1024;
// The longest line any fixed log buffer can give (the insert context line has 4096 bytes).
constexpr std::size_t kLongestLogLine = 4095;

const char* const kBase =
    "<Table name=\"Units\"><Column name=\"ID\" primarykey=\"true\"/>"
    "<Column name=\"Type\" type=\"text\" unique=\"true\"/><Column name=\"Cost\"/>"
    "<Column name=\"Name\" type=\"text\"/></Table>\n"
    "<Table name=\"Y\"><Column name=\"a\"/></Table>\n"
    "<Table name=\"Probe\"><Column name=\"Value\"/></Table>\n"
    "<Units><Row Type=\"UNIT_A\" Cost=\"1\" Name=\"A\"/><Row Type=\"UNIT_B\" Cost=\"2\" Name=\"B\"/></Units>\n"
    "<Y><Row a=\"1\"/></Y>";

bool IsValidUtf8(const std::string& text) {
    for (std::size_t index = 0; index < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[index]);
        const std::size_t length =
            lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
        if (length == 0 || index + length > text.size())
            return false;
        for (std::size_t next = 1; next < length; ++next) {
            if ((static_cast<unsigned char>(text[index + next]) & 0xC0) != 0x80)
                return false;
        }
        index += length;
    }
    return true;
}

std::string Repeat(const std::string& piece, std::size_t times) {
    std::string out;
    out.reserve(piece.size() * times);
    for (std::size_t index = 0; index < times; ++index)
        out += piece;
    return out;
}

class HostileInput : public LoaderFixture {
protected:
    HostileInput() {
        const bool loaded = Load(File(kBase));
        EXPECT_TRUE(loaded) << serializer.ErrorMessage();
        before = Dump();
        log.clear();
    }

    std::string Dump() { return DumpDatabase(connection.Handle()); }

    // A failed load as it must be: an error text naming the file and holding message, the line
    // of the failing element (0 when there was none), no transaction left open, the database as
    // it was, every log line within its buffer, and a connection that still loads.
    void ExpectCleanFailure(bool loaded, const std::string& message, int line, const char* name = "test.xml") {
        EXPECT_FALSE(loaded);
        const std::string error = serializer.ErrorMessage();
        const std::string prefix = std::string("Database::XMLSerializer (") + name + "): ";
        EXPECT_EQ(error.rfind(prefix, 0), 0u) << error;
        EXPECT_GT(error.size(), prefix.size()) << error;
        EXPECT_LT(error.size(), 512u);
        EXPECT_NE(error.find(message), std::string::npos) << "error: " << error << "\nexpected to hold: " << message;
        EXPECT_EQ(serializer.ErrorLine(), line) << error;
        EXPECT_FALSE(InTransaction());
        ExpectLogLinesFit();
        EXPECT_TRUE(Dump() == before) << "the failed load changed the database";
        ExpectStillLoads();
    }

    // The lines the library composes stay in their buffers; SQLite's own texts are passed on whole.
    void ExpectLogLinesFit() {
        for (const LogLine& line : log) {
            const std::string& text = line.text;
            const bool composed = text.rfind("Database::XMLSerializer (", 0) == 0 || text.rfind("In ", 0) == 0
                                  || text.rfind("While executing", 0) == 0 || text.rfind("no such column: ", 0) == 0;
            if (!composed)
                continue;
            EXPECT_LE(text.size(), kLongestLogLine) << text.substr(0, 200);
            if (text.rfind("In XMLSerializer while inserting", 0) != 0) {
                EXPECT_LT(text.size(), 512u) << text.substr(0, 200);
            }
        }
    }

    // A small file still loads on the connection; its row is then taken out again.
    void ExpectStillLoads() {
        EXPECT_TRUE(Load(File("<Probe><Row Value=\"1\"/></Probe>"), "probe.xml")) << serializer.ErrorMessage();
        EXPECT_EQ(Scalar("select count(*) from Probe"), "1");
        Run("delete from Probe");
        log.clear();
    }

    // Loads contents from a real file, the way a host reads data files.
    bool LoadFile(const std::string& contents, const char* name = "test.xml") {
        const std::string path = folder.Write(name, contents);
        return serializer.Load(path.c_str());
    }

    std::string FilePrefix(const char* name) const { return folder.File(name); }

    bool TableExists(const std::string& name) {
        sqlite3_stmt* statement = nullptr;
        sqlite3_prepare_v2(connection.Handle(), "select count(*) from sqlite_master where type = 'table' and name = ?",
                           -1, &statement, nullptr);
        sqlite3_bind_text(statement, 1, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
        const bool exists = sqlite3_step(statement) == SQLITE_ROW && sqlite3_column_int(statement, 0) == 1;
        sqlite3_finalize(statement);
        return exists;
    }

    // The column names of table, joined by '|'.
    std::string ColumnsOf(const std::string& table) {
        sqlite3_stmt* statement = nullptr;
        sqlite3_prepare_v2(connection.Handle(), "select group_concat(name, '|') from pragma_table_info(?)", -1,
                           &statement, nullptr);
        sqlite3_bind_text(statement, 1, table.data(), static_cast<int>(table.size()), SQLITE_TRANSIENT);
        std::string columns;
        if (sqlite3_step(statement) == SQLITE_ROW && sqlite3_column_text(statement, 0) != nullptr)
            columns = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
        sqlite3_finalize(statement);
        return columns;
    }

    // Y and its row, which the injected statements below try to drop.
    void ExpectYIntact() {
        EXPECT_TRUE(TableExists("Y"));
        EXPECT_EQ(Scalar("select group_concat(a) from Y"), "1");
    }

    TemporaryDirectory folder;
    std::string before;
};

// {==== Depth

TEST_F(HostileInput, AMillionNestedLevelsAreReadWithoutRecursion) {
    const std::string open = Repeat("<a>", kMillion);
    const std::string close = Repeat("</a>", kMillion);
    ExpectCleanFailure(Load(File("<Units>" + open + close + "</Units>")), "'Row' or 'Delete' expected, got 'a'.", 2);

    // Never closed: the text ends a million levels down, after a row that must not stay.
    ExpectCleanFailure(Load(File("<Units>\n<Row Type=\"UNIT_C\"/>\n" + Repeat("<Deep>", kMillion))),
                       "'Row' or 'Delete' expected, got 'Deep'.", 4);

    // Under an element the loader does not read, any depth is harmless.
    ASSERT_TRUE(Load(File("<Units><Update><Set Cost=\"9\"/><Where Type=\"UNIT_A\"/><Notes>" + open + close
                          + "</Notes></Update></Units>")))
        << serializer.ErrorMessage();
    EXPECT_EQ(Scalar("select Cost from Units where Type = 'UNIT_A'"), "9");
}

// }====

// {==== Width

std::string ManyAttributes(const char* prefix, int count, const char* value) {
    std::string out;
    out.reserve(static_cast<std::size_t>(count) * 14);
    for (int index = 0; index < count; ++index)
        out += std::string(" ") + prefix + std::to_string(index) + "=\"" + value + "\"";
    return out;
}

TEST_F(HostileInput, HundredsOfThousandsOfColumnsInOneElementAreRefusedWhole) {
    ExpectCleanFailure(Load(File("<Units>\n<Row" + ManyAttributes("c", kWide, "1") + "/></Units>")),
                       "The row has 300000 columns, more than the 2000 a table can have.", 3);

    // The duplicate check stays exact past its switch to a hashed index.
    ExpectCleanFailure(Load(File("<Units>\n<Row" + ManyAttributes("c", kWide, "1") + " c17=\"again\"/></Units>")),
                       "Duplicate column names detected in <Row>. Name: c17, Value: again", 3);

    std::string columns;
    for (int index = 0; index < kWide; ++index)
        columns += "<Column name=\"c" + std::to_string(index) + "\"/>";
    ExpectCleanFailure(Load(File("<Table name=\"Wide\">" + columns + "</Table>")), "too many columns on Wide", 2);

    ExpectCleanFailure(Load(File("<Units>\n<Delete" + ManyAttributes("c", kWide, "1") + "/></Units>")),
                       "Expression tree is too large", 3);
    ExpectCleanFailure(Load(File("<Units>\n<Update><Set" + ManyAttributes("c", kWide, "1")
                                 + "/><Where Type=\"UNIT_A\"/></Update></Units>")),
                       "too many", 3);
}

// }====

// {==== Size

TEST_F(HostileInput, NamesAndValuesOfMegabytesAreStoredOrRefusedWithinEveryBuffer) {
    const std::string euros = Repeat("\xe2\x82\xac", kHuge / 3);  // a character of three bytes
    const std::string longName = std::string(kHuge, 'N');
    const std::string longColumn = std::string(kHuge, 'C');

    // Names of megabytes are names like any other.
    ASSERT_TRUE(Load(File("<Table name=\"" + longName + "\"><Column name=\"" + longColumn
                          + "\" type=\"text\"/></Table>\n<"
                          + longName + "><Row " + longColumn + "=\"" + euros + "\"/></" + longName + ">")))
        << serializer.ErrorMessage();
    EXPECT_TRUE(TableExists(longName));
    EXPECT_EQ(ColumnsOf(longName), longColumn);
    EXPECT_EQ(Scalar(("select length(" + longColumn + ") = " + std::to_string(kHuge / 3) + " from " + longName)
                         .c_str()),
              "1");
    before = Dump();

    // Every message about them is cut in its buffer, at a character.
    ExpectCleanFailure(Load(File("<" + longName + ">\n<Row Unknown=\"1\"/></" + longName + ">")), "table NNNN", 3);
    ExpectCleanFailure(Load(File("<Units>\n<Row Type=\"UNIT_C\"><" + euros + ">1</" + euros + "></Row></Units>")),
                       "table Units has no column named \xe2\x82\xac", 3);
    EXPECT_TRUE(IsValidUtf8(serializer.ErrorMessage()));
    for (const LogLine& line : log)
        EXPECT_TRUE(IsValidUtf8(line.text)) << line.text.substr(0, 100);
    log.clear();
    ExpectCleanFailure(Load(File("<Units>\n<Row Type=\"UNIT_C\" Name=\"x\"><Name>" + euros + "</Name></Row></Units>")),
                       "Duplicate column names detected in <Row>. Name: Name, Value: " + euros.substr(0, 30), 3);
    EXPECT_TRUE(IsValidUtf8(serializer.ErrorMessage()));
    const std::string update = File("<Units>\n<Update><Set Cost=\"3\"/><Where><" + euros + ">1</" + euros
                                    + "></Where></Update></Units>");
    const bool updated = Load(update);
    // The stored text points to the log, whose line names the column, cut at a character.
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0].text.rfind("no such column: \xe2\x82\xac", 0), 0u);
    EXPECT_TRUE(IsValidUtf8(log[0].text));
    ExpectCleanFailure(updated, "error executing the update statement", 3);

    // Values of megabytes are stored exactly, as attributes, as texts and through updates.
    ASSERT_TRUE(Load(File("<Units><Row Type=\"UNIT_C\" Name=\"" + euros + "\"/><Row Type=\"" + euros + "\"><Name>"
                          + euros + "</Name></Row>"
                          "<Update><Set Cost=\"" + euros + "\"/><Where Type=\"" + euros + "\"/></Update></Units>")))
        << serializer.ErrorMessage();
    EXPECT_EQ(Scalar("select count(*) from Units where Name = Type and Type = Cost and length(Cost) = 1048576"), "1");
    EXPECT_EQ(Scalar("select length(Name) from Units where Type = 'UNIT_C'"), "1048576");
    ExpectLogLinesFit();
}

TEST_F(HostileInput, ReferencePurgesReachTablesOfAnyName) {
    const std::string longName = "Refs" + std::string(600, 'R');
    ASSERT_TRUE(Load(File("<Table name=\"" + longName
                          + "\"><Column name=\"Unit\" type=\"text\" reference=\"Units(Type)\"/>"
                          "</Table><" + longName + "><Row Unit=\"UNIT_A\"/><Row Unit=\"UNIT_GONE\"/></" + longName + ">"
                          "<DeleteMissingReferences table=\"Units\" column=\"Type\"/>")))
        << serializer.ErrorMessage();
    EXPECT_EQ(Scalar(("select group_concat(Unit) from " + longName).c_str()), "UNIT_A");
}

// }====

TEST_F(HostileInput, SavepointNamesThatDoNotFitAreRefusedNotCut) {
    // "ROLLBACK TO " and the name fill the statement's 256 bytes but for its terminating zero.
    const std::string fits(243, 's');
    EXPECT_TRUE(connection.SetSavePoint(fits.c_str()));
    EXPECT_TRUE(connection.RollbackToSavePoint(fits.c_str()));
    Run(("release " + fits).c_str());
    const std::string euros = Repeat("\xe2\x82\xac", 100);
    EXPECT_FALSE(connection.SetSavePoint(euros.c_str()));
    EXPECT_FALSE(connection.RollbackToSavePoint((fits + "s").c_str()));
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].severity, 2);
    EXPECT_TRUE(IsValidUtf8(log[0].text)) << log[0].text;
    EXPECT_NE(log[0].text.find("does not fit"), std::string::npos) << log[0].text;
    EXPECT_FALSE(InTransaction());
}

// }====

// {==== Zero bytes and invalid UTF-8

TEST_F(HostileInput, AZeroByteInsideAFileIsRefused) {
    // Everything after the zero byte would be lost without a word.
    const std::string text =
        File("<Units>\n<Row Type=\"UNIT_C\"/>\n" + std::string(1, '\0') + "<Row Type=\"UNIT_D\"/></Units>");
    ExpectCleanFailure(LoadFile(text), "Cannot parse file.", 4, FilePrefix("test.xml").c_str());

    // A buffer in memory ends at its first zero byte by contract; what follows is no part of it.
    std::string buffer = File("<Units><Row Type=\"UNIT_C\"/></Units>");
    buffer += std::string(1, '\0') + "<Units><Row Type=\"UNIT_D\"/></Units>";
    std::vector<char> bytes(buffer.begin(), buffer.end());
    bytes.push_back('\0');
    EXPECT_TRUE(serializer.LoadFromMemory("test.xml", bytes.data(), static_cast<unsigned int>(bytes.size())));
    EXPECT_EQ(Scalar("select group_concat(Type) from Units where Type > 'UNIT_B'"), "UNIT_C");
    Run("delete from Units where Type = 'UNIT_C'");

    // A zero byte written as a reference: kept in a bound value, refused in the SQL text.
    ASSERT_TRUE(Load(File("<Units><Row Type=\"UNIT_&#0;Z\"/></Units>"))) << serializer.ErrorMessage();
    EXPECT_EQ(Scalar("select hex(Type) from Units where ID = 3"), "554E49545F005A");
    Run("delete from Units where ID = 3");
    ExpectCleanFailure(Load(File("<Table name=\"Z (a);&#0;\">\n<Column name=\"b\"/></Table>")), "zero byte", 2);
    ExpectCleanFailure(Load(File("<Table name=\"Z\">\n<Column name=\"b\" type=\"integer);&#0;\"/><Column name=\"c\"/>"
                                 "</Table>")),
                       "zero byte", 2);
    EXPECT_FALSE(TableExists("Z"));
}

TEST_F(HostileInput, InvalidUtf8IsStoredAsWrittenOrRefusedAsAName) {
    ASSERT_TRUE(Load(File("<Units><Row Type=\"UNIT_C\" Name=\"\xff\xfe\xc3(\xe2\x82\"/><Row Type=\"UNIT_D\">"
                          "<Name>\xc0\x80\xed\xa0\x80</Name></Row></Units>")))
        << serializer.ErrorMessage();
    EXPECT_EQ(Scalar("select group_concat(hex(Name), ' ') from Units where ID > 2"), "FFFEC328E282 C080EDA080");
    Run("delete from Units where ID > 2");

    ExpectCleanFailure(Load(File("<\xff\xfe>\n<Row a=\"1\"/></\xff\xfe>")), "no such table: \xff\xfe", 3);
    ExpectCleanFailure(Load(File("<Units>\n<Row><\xc3(>1</\xc3(></Row></Units>")), "has no column named \xc3(", 3);
    // The definitions' attributes are ASCII: any other byte makes the attribute count as absent.
    ExpectCleanFailure(Load(File("<Table name=\"T\xff\">\n<Column name=\"a\"/></Table>")),
                       "'name' is a required attribute of 'Table'.", 2);
    // A cut in the middle of invalid bytes still ends inside the buffer.
    ExpectCleanFailure(Load(File("<Units>\n<Row><" + Repeat("\xff\xe2", 400) + ">1</x></Row></Units>")),
                       "has no column named", 3);
}

// }====

// {==== Names built to break statements

TEST_F(HostileInput, TableAndColumnNamesAreStoredExactlyWhateverTheyHold) {
    const std::vector<std::string> tables = {"X\"; DROP TABLE Y; --", "X'; DROP TABLE Y; --", "X]; DROP TABLE Y; --",
                                             "X`; DROP TABLE Y; --",  "X (a); DROP TABLE Y; --", "X /* c */",
                                             "X -- c",                "X;"};
    for (const std::string& table : tables) {
        std::string escaped;
        for (const char byte : table)
            escaped += byte == '"' ? std::string("&quot;") : std::string(1, byte);
        ASSERT_TRUE(Load(File("<Table name=\"" + escaped + "\"><Column name=\"b\"/></Table>")))
            << table << ": " << serializer.ErrorMessage();
        EXPECT_TRUE(TableExists(table)) << table;
        EXPECT_EQ(ColumnsOf(table), "b") << table;
        ExpectYIntact();
    }
    const std::vector<std::pair<std::string, std::string>> columns = {
        {"b'); DROP TABLE Y; --", "b'); DROP TABLE Y; --"},
        {"x' integer, 'y", "x' integer, 'y"},
        {"c -- d", "c -- d"},
        {"&quot;q&quot;", "\"q\""}};
    for (const auto& [written, stored] : columns) {
        ASSERT_TRUE(Load(File("<Table name=\"C\"><Column name=\"" + written + "\" type=\"text\"/><Column name=\"z\"/>"
                              "</Table>")))
            << written << ": " << serializer.ErrorMessage();
        EXPECT_EQ(ColumnsOf("C"), stored + "|z");
        Run("drop table C");
        ExpectYIntact();
    }

    // Names that need no quoting keep their statements as they always were.
    EXPECT_EQ(Schema("Units"), "CREATE TABLE Units ('ID' integer primary key , 'Type' text unique , 'Cost' integer , "
                               "'Name' text )");
    // A reserved word is refused by the database, as it always was.
    before = Dump();
    ExpectCleanFailure(Load(File("<Table name=\"select\">\n<Column name=\"a\"/></Table>")), "syntax error", 2);
}

TEST_F(HostileInput, RowOperationsUseTheirNamesExactly) {
    ASSERT_TRUE(Load(File("<Table name=\"Odd;--Name\"><Column name=\"v'q\"/><Column name=\"w&quot;\"/></Table>"
                          "<Odd;--Name><Row v'q=\"1\"/><Row><v'q>2</v'q><w\">x</w\"></Row>"
                          "<Update><Set v'q=\"3\"/><Where v'q=\"1\"/></Update><Delete v'q=\"2\"/></Odd;--Name>")))
        << serializer.ErrorMessage();
    EXPECT_EQ(Scalar("select group_concat(\"v'q\") from \"Odd;--Name\""), "3");
    before = Dump();

    // Each of these would have run a statement the file did not describe.
    ExpectCleanFailure(Load(File("<Units-->\n<Delete/></Units-->")), "no such table: Units--", 3);
    ExpectCleanFailure(Load(File("<Units;>\n<Delete/></Units;>")), "no such table: Units;", 3);
    ExpectCleanFailure(Load(File("<Units(Type)values('UNIT_X');-->\n<Row Cost=\"1\"/></x>")), "no such table", 3);
    ExpectCleanFailure(Load(File("<Units>\n<Delete><Type=Type-->x</Type=Type--></Delete></Units>")),
                       "no such column: Type=Type--", 3);
    ExpectCleanFailure(Load(File("<Units>\n<Update><Set><Cost\"=\"Cost>5</Cost\"=\"Cost></Set><Where Type=\"UNIT_A\"/>"
                                 "</Update></Units>")),
                       "no such column", 3);
    ExpectCleanFailure(Load(File("<Units>\n<Update><Set Cost=\"5\"/><Where><Type\"=\"Type>x</Type\"=\"Type></Where>"
                                 "</Update></Units>")),
                       "error executing the update statement", 3);
    ExpectCleanFailure(Load(File("<Units>\n<Row Type=\"UNIT_Q\"><Na'me>x</Na'me></Row></Units>")),
                       "table Units has no column named Na'me", 3);
    ExpectYIntact();
}

TEST_F(HostileInput, SqlInDefinitionsRunsAsOneStatementOrNotAtAll) {
    // The line is that of the element whose statement it is: the table, the added column, the index.
    const std::pair<const char*, int> refused[] = {
        {"<Table name=\"T\">\n<Column name=\"a\" type=\"integer); DROP TABLE Y; --\"/><Column name=\"b\"/></Table>", 2},
        {"<Table name=\"T\">\n<Column name=\"a\" type=\"text\" reference=\"Units(Type)); DROP TABLE Y; --\"/>"
         "</Table>",
         2},
        {"<AlterTable name=\"Units\">\n<AddColumn name=\"Extra\" type=\"integer; DROP TABLE Y\"/></AlterTable>", 3},
        {"<Index name=\"IX\" table=\"Units\">\n<Column name=\"Type); DROP TABLE Y; --\"/></Index>", 2},
        {"<Index name=\"IX\" table=\"Units\">\n<Column name=\"Type\" sort=\"DESC); DROP TABLE Y; --\"/></Index>", 2},
    };
    for (const auto& [file, line] : refused) {
        SCOPED_TRACE(file);
        ExpectCleanFailure(Load(File(file)), "more than one statement; nothing was run.", line);
        ExpectYIntact();
    }
    // Index names are quoted texts; a quote inside them is a quote of the name.
    ASSERT_TRUE(Load(File("<Index name=\"IX'; DROP TABLE Y; --\" table=\"Units\"><Column name=\"Cost\"/></Index>")))
        << serializer.ErrorMessage();
    EXPECT_EQ(Scalar("select tbl_name from sqlite_master where name = 'IX''; DROP TABLE Y; --'"), "Units");
    ExpectYIntact();
}

TEST_F(HostileInput, ReferencePurgesStayInsideTheirTables) {
    // Without quoting, the purge of "Ref;--x" ran as a delete of every row of a table named Ref.
    ASSERT_TRUE(Load(File("<Table name=\"Ref\"><Column name=\"u\" type=\"text\"/></Table>"
                          "<Ref><Row u=\"UNIT_GONE\"/></Ref>"
                          "<Table name=\"Ref;--x\"><Column name=\"u\" type=\"text\" reference=\"Units(Type)\"/></Table>"
                          "<Ref;--x><Row u=\"UNIT_A\"/><Row u=\"UNIT_GONE\"/></Ref;--x>"
                          "<DeleteMissingReferences table=\"Units\" column=\"Type\"/>")))
        << serializer.ErrorMessage();
    EXPECT_EQ(Scalar("select group_concat(u) from \"Ref;--x\""), "UNIT_A");
    EXPECT_EQ(Scalar("select group_concat(u) from Ref"), "UNIT_GONE");
    before = Dump();

    // A purge the database refuses rolls everything back itself; the file's own rollback then
    // finds nothing left to undo and says nothing about it.
    const bool purged = Load(File("<Table name=\"Bad\"><Column name=\"u\" reference=\"Units(Nope)\"/></Table>\n"
                                  "<DeleteMissingReferences table=\"Units\" column=\"Nope\"/>"));
    EXPECT_EQ(log, (std::vector<LogLine>{{"no such column: Nope", 2}}));
    ExpectCleanFailure(purged, "no such column: Nope", 3);
}

// }====

// {==== Files that are no data files

TEST_F(HostileInput, FilesThatAreNoXmlAreRefusedBeforeAnythingRuns) {
    static const char kPngHeader[] = "\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\x10\0\0\0\x10\x08\x06\0\0\0";
    const std::string png(kPngHeader, sizeof kPngHeader - 1);
    ExpectCleanFailure(LoadFile(png, "image.xml"), "Cannot parse file.", 1, FilePrefix("image.xml").c_str());
    ExpectCleanFailure(LoadFile("{\n  \"Units\": [{\"Type\": \"UNIT_C\"}]\n}\n", "data.xml"), "Cannot parse file.", 1,
                       FilePrefix("data.xml").c_str());
    static const char kUtf16[] = "\xff\xfe<\0G\0/\0>\0";
    const std::string utf16(kUtf16, sizeof kUtf16 - 1);
    ExpectCleanFailure(LoadFile(utf16, "wide.xml"), "Cannot parse file.", 1, FilePrefix("wide.xml").c_str());

    // Junk: whatever the reader makes of it, nothing reaches the database.
    std::uint32_t seed = 12345;
    for (int round = 0; round < 20; ++round) {
        std::string junk(4096, ' ');
        for (char& byte : junk) {
            seed = seed * 1103515245u + 12345u;
            byte = static_cast<char>((seed >> 16) & 0xff);
        }
        if (round % 2 == 1)
            junk[0] = '<';
        const bool loaded = LoadFile(junk, "junk.xml");
        if (!loaded) {
            EXPECT_NE(std::string(serializer.ErrorMessage()).find("junk.xml): "), std::string::npos);
        }
        EXPECT_FALSE(InTransaction());
        EXPECT_TRUE(Dump() == before) << "junk round " << round << " changed the database";
    }
    log.clear();
    ExpectStillLoads();
}

TEST_F(HostileInput, EmptyFilesLoadAndMissingOnesFail) {
    EXPECT_TRUE(LoadFile("", "empty.xml")) << serializer.ErrorMessage();
    EXPECT_TRUE(LoadFile(" \t\r\n\n  \n", "blank.xml")) << serializer.ErrorMessage();
    EXPECT_EQ(serializer.ErrorLine(), 0);
    EXPECT_TRUE(Dump() == before);
    EXPECT_TRUE(log.empty());

    ExpectCleanFailure(serializer.Load(folder.Path().c_str()), "Cannot load file into memory.", 0,
                       folder.Path().c_str());
    const std::string missing = folder.File("missing.xml");
    ExpectCleanFailure(serializer.Load(missing.c_str()), "Cannot load file into memory.", 0, missing.c_str());
}

// }====

}  // namespace
}  // namespace Database::Testing
