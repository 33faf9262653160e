// SchemaCommand.cpp: `zrdb schema`: an XML Schema of the data files that fill the tables of a
// database, so that an editor completes and checks a mod's files against the real table and
// column names.
//
// The schema accepts what the data-file reference says the loader takes: any text in any column
// (SQLite keeps a text it cannot convert), any value of a flag, and any other attribute of a
// `Column` or of the root element, which are ignored. With --typed-values the values of integer,
// real and boolean columns must have their column's form. It checks what the loader refuses, and
// what it passes over without a word where that can only be a slip: the element structure, table
// and column names, required attributes, stray text, and unknown children of `Update` and `Index`.
//
// XML names are case-sensitive where SQLite's are not: the schema spells every table and column
// as the database does.
#include <cstdio>
#include <string>
#include <vector>

#include "Commands.h"
#include "ZrGameDatabase/Connection.h"
#include "ZrGameDatabase/DatabaseResults.h"
#include "Utf8System.h"

namespace Zrdb {
namespace {

struct SchemaColumn {
    std::string name;
    std::string declaredType;
    std::string defaultValue;  // as SQL text: 40, 'abc'
    std::string reference;     // Eras(Type), or Eras for its primary key; empty: none
    bool hasDefault = false;
    bool notNull = false;
    bool primaryKey = false;
};

struct SchemaTable {
    std::string name;
    std::vector<SchemaColumn> columns;
    bool rowid = true;  // `rowid` may be named as a column
};

// {==== XML text

// The code point starting at text[index], moving index past it; -1 for bytes that are no UTF-8.
long NextCodePoint(const std::string& text, std::size_t& index) {
    const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
    const unsigned char lead = byte(index++);
    if (lead < 0x80)
        return lead;
    const int extra = lead >= 0xF0 && lead < 0xF5 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC2 && lead < 0xE0 ? 1 : -1;
    if (extra < 0 || index + extra > text.size())
        return -1;
    long point = lead & (0x3F >> extra);
    for (int count = 0; count < extra; ++count) {
        if ((byte(index) & 0xC0) != 0x80)
            return -1;
        point = (point << 6) | (byte(index++) & 0x3F);
    }
    const long least[] = {0, 0x80, 0x800, 0x10000};
    if (point < least[extra] || point > 0x10FFFF || (point >= 0xD800 && point < 0xE000))
        return -1;
    return point;
}

// Letters beyond ASCII that every XML and XML Schema processor takes in a name: those of Latin-1
// and Latin Extended-A, on which the editions of XML agree. Further scripts are rare in rule data
// and left out rather than risk a schema that some validator refuses to read.
bool IsNameLetter(long point) {
    return (point >= 'A' && point <= 'Z') || (point >= 'a' && point <= 'z') || point == '_'
           || (point >= 0xC0 && point <= 0xD6) || (point >= 0xD8 && point <= 0xF6) || (point >= 0xF8 && point <= 0x131)
           || (point >= 0x134 && point <= 0x13E) || (point >= 0x141 && point <= 0x148)
           || (point >= 0x14A && point <= 0x17E);
}

// Whether name can be an element or attribute name without a namespace prefix (an NCName).
bool IsXmlName(const std::string& name) {
    std::size_t index = 0;
    for (bool first = true; index < name.size(); first = false) {
        const long point = NextCodePoint(name, index);
        const bool follower = (point >= '0' && point <= '9') || point == '-' || point == '.' || point == 0xB7;
        if (!IsNameLetter(point) && (first || !follower))
            return false;
    }
    return !name.empty();
}

// text as XML character data or attribute value. What XML cannot hold (bytes that are no UTF-8,
// control characters) becomes '?': it only ever stands in documentation.
std::string Escaped(const std::string& text) {
    std::string out;
    for (std::size_t index = 0; index < text.size();) {
        const std::size_t start = index;
        const long point = NextCodePoint(text, index);
        if (point == '&')
            out += "&amp;";
        else if (point == '<')
            out += "&lt;";
        else if (point == '>')
            out += "&gt;";
        else if (point == '"')
            out += "&quot;";
        else if (point < 0 || (point < 0x20 && point != '\t' && point != '\n') || point == 0xFFFE || point == 0xFFFF)
            out += '?';
        else
            out.append(text, start, index - start);
    }
    return out;
}

// }====

// {==== The schema's text

// The grammar that does not depend on the database: the definitions of tables, columns and
// indexes, and the value types. TableName, which lists the database's tables, is written apart.
constexpr char kDefinitions[] = R"(  <xs:complexType name="TableDefinition">
    <xs:sequence>
      <xs:element name="Column" type="ColumnDefinition" maxOccurs="unbounded"/>
    </xs:sequence>
    <xs:attribute name="name" type="xs:string" use="required"/>
  </xs:complexType>
  <xs:complexType name="AlterTableDefinition">
    <xs:sequence>
      <xs:element name="AddColumn" type="ColumnDefinition" maxOccurs="unbounded"/>
    </xs:sequence>
    <xs:attribute name="name" type="TableName" use="required"/>
  </xs:complexType>
  <xs:complexType name="ColumnDefinition">
    <xs:attribute name="name" type="xs:string" use="required"/>
    <xs:attribute name="type" type="DeclaredType"/>
    <xs:attribute name="primarykey" type="Flag"/>
    <xs:attribute name="autoincrement" type="Flag"/>
    <xs:attribute name="notnull" type="Flag"/>
    <xs:attribute name="unique" type="Flag"/>
    <xs:attribute name="default" type="xs:string"/>
    <xs:attribute name="reference" type="xs:string"/>
    <xs:anyAttribute processContents="skip"/>
  </xs:complexType>
  <xs:complexType name="IndexDefinition">
    <xs:sequence>
      <xs:element name="Column" type="IndexColumn" maxOccurs="unbounded"/>
    </xs:sequence>
    <xs:attribute name="name" type="xs:string" use="required"/>
    <xs:attribute name="table" type="TableName" use="required"/>
  </xs:complexType>
  <xs:complexType name="IndexColumn">
    <xs:attribute name="name" type="xs:string" use="required"/>
    <xs:attribute name="sort" type="SortOrder"/>
  </xs:complexType>
  <xs:complexType name="DeleteMissingReferencesDefinition">
    <xs:attribute name="table" type="TableName" use="required"/>
    <xs:attribute name="column" type="xs:string" use="required"/>
  </xs:complexType>
  <!-- Each union offers its words to complete and takes any other text, as the loader does. -->
  <xs:simpleType name="Flag">
    <xs:union memberTypes="BooleanWord xs:string"/>
  </xs:simpleType>
  <xs:simpleType name="DeclaredType">
    <xs:union memberTypes="DeclaredTypeWord xs:string"/>
  </xs:simpleType>
  <xs:simpleType name="DeclaredTypeWord">
    <xs:restriction base="xs:string">
      <xs:enumeration value="integer"/>
      <xs:enumeration value="text"/>
      <xs:enumeration value="real"/>
      <xs:enumeration value="boolean"/>
    </xs:restriction>
  </xs:simpleType>
  <xs:simpleType name="SortOrder">
    <xs:union memberTypes="SortWord xs:string"/>
  </xs:simpleType>
  <xs:simpleType name="SortWord">
    <xs:restriction base="xs:string">
      <xs:enumeration value="ASC"/>
      <xs:enumeration value="DESC"/>
      <xs:enumeration value="COLLATE NOCASE"/>
    </xs:restriction>
  </xs:simpleType>
  <xs:simpleType name="BooleanWord">
    <xs:restriction base="xs:string">
      <xs:enumeration value="true"/>
      <xs:enumeration value="false"/>
    </xs:restriction>
  </xs:simpleType>
  <xs:simpleType name="TextValue">
    <xs:restriction base="xs:string"/>
  </xs:simpleType>
)";

// Values of integer, real and boolean columns as the loader stores them: any text.
constexpr char kLooseValues[] = R"(  <xs:simpleType name="IntegerValue">
    <xs:restriction base="xs:string"/>
  </xs:simpleType>
  <xs:simpleType name="RealValue">
    <xs:restriction base="xs:string"/>
  </xs:simpleType>
  <xs:simpleType name="BooleanValue">
    <xs:union memberTypes="BooleanWord xs:string"/>
  </xs:simpleType>
)";

// With --typed-values: the forms that SQLite stores as a number in such a column (spaces around
// them included), true and false in any letter case (the loader makes them 1 and 0), and the
// values the loader binds as NULL: empty, or beginning with NULL.
constexpr char kTypedValues[] = R"(  <xs:simpleType name="IntegerValue">
    <xs:restriction base="xs:token">
      <xs:pattern value="([+\-]?[0-9]+|[Tt][Rr][Uu][Ee]|[Ff][Aa][Ll][Ss][Ee]|NULL.*)?"/>
    </xs:restriction>
  </xs:simpleType>
  <xs:simpleType name="RealValue">
    <xs:restriction base="xs:token">
      <xs:pattern value="([+\-]?([0-9]+(\.[0-9]*)?|\.[0-9]+)([eE][+\-]?[0-9]+)?|[Tt][Rr][Uu][Ee]|[Ff][Aa][Ll][Ss][Ee]|NULL.*)?"/>
    </xs:restriction>
  </xs:simpleType>
  <xs:simpleType name="BooleanValue">
    <xs:union memberTypes="BooleanWord BooleanForm"/>
  </xs:simpleType>
  <xs:simpleType name="BooleanForm">
    <xs:restriction base="xs:token">
      <xs:pattern value="([Tt][Rr][Uu][Ee]|[Ff][Aa][Ll][Ss][Ee]|0|1|NULL.*)?"/>
    </xs:restriction>
  </xs:simpleType>
)";

std::string UpperCase(std::string text) {
    for (char& letter : text) {
        if (letter >= 'a' && letter <= 'z')
            letter = static_cast<char>(letter - 32);
    }
    return text;
}

// The value type of a column, after SQLite's rules for a declared type's affinity. A column of
// numeric affinity under another name (date, say) takes text, which SQLite keeps as it is.
const char* ValueType(const std::string& declaredType) {
    const std::string type = UpperCase(declaredType);
    const auto has = [&type](const char* part) { return type.find(part) != std::string::npos; };
    if (type == "BOOLEAN")
        return "BooleanValue";
    if (has("INT"))
        return "IntegerValue";
    if (has("CHAR") || has("CLOB") || has("TEXT") || has("BLOB") || type.empty())
        return "TextValue";
    if (has("REAL") || has("FLOA") || has("DOUB"))
        return "RealValue";
    return "TextValue";
}

// What an editor shows beside a column: "integer, not null, default 40, references Eras(Type)".
std::string ColumnNote(const SchemaColumn& column) {
    std::string note = column.declaredType.empty() ? "no declared type" : column.declaredType;
    if (column.primaryKey)
        note += ", primary key";
    if (column.notNull)
        note += ", not null";
    if (column.hasDefault)
        note += ", default " + column.defaultValue;
    if (!column.reference.empty())
        note += ", references " + column.reference;
    return Escaped(note);
}

// One element or attribute declaration with its note, on one line.
void AppendDeclaration(std::string& out, const char* indent, const char* kind, const std::string& name,
                       const char* type, const std::string& note, const char* extra) {
    out += indent;
    out += std::string("<") + kind + " name=\"" + name + "\" type=\"" + type + "\"" + extra + ">";
    out += "<xs:annotation><xs:documentation>" + note + "</xs:documentation></xs:annotation>";
    out += std::string("</") + kind + ">\n";
}

// The columns of a table, as attributes and as child elements, each at most once and in any
// order: the content of Row, Replace, InsertOrIgnore, InsertOrAbort, Delete, Set and Where.
void AppendColumnsType(std::string& out, const SchemaTable& table) {
    out += "  <xs:complexType name=\"" + table.name + ".Columns\">\n    <xs:all>\n";
    for (const SchemaColumn& column : table.columns)
        AppendDeclaration(out, "      ", "xs:element", column.name, ValueType(column.declaredType), ColumnNote(column),
                          " minOccurs=\"0\"");
    if (table.rowid)
        AppendDeclaration(out, "      ", "xs:element", "rowid", "IntegerValue", "the row id", " minOccurs=\"0\"");
    out += "    </xs:all>\n";
    for (const SchemaColumn& column : table.columns)
        AppendDeclaration(out, "    ", "xs:attribute", column.name, ValueType(column.declaredType), ColumnNote(column),
                          "");
    if (table.rowid)
        AppendDeclaration(out, "    ", "xs:attribute", "rowid", "IntegerValue", "the row id", "");
    out += "  </xs:complexType>\n";
}

// The contents of a table's element: its row operations in any number and order.
void AppendTableTypes(std::string& out, const SchemaTable& table) {
    const std::string columns = table.name + ".Columns";
    out += "  <xs:complexType name=\"" + table.name + ".Contents\">\n"
           "    <xs:choice minOccurs=\"0\" maxOccurs=\"unbounded\">\n";
    for (const char* operation : {"Row", "Replace", "InsertOrIgnore", "InsertOrAbort", "Delete"})
        out += std::string("      <xs:element name=\"") + operation + "\" type=\"" + columns + "\"/>\n";
    out += "      <xs:element name=\"Update\" type=\"" + table.name + ".Update\"/>\n"
           "    </xs:choice>\n"
           "  </xs:complexType>\n"
           "  <xs:complexType name=\"" + table.name + ".Update\">\n"
           "    <xs:all>\n"
           "      <xs:element name=\"Set\" type=\"" + columns + "\"/>\n"
           "      <xs:element name=\"Where\" type=\"" + columns + "\" minOccurs=\"0\"/>\n"
           "    </xs:all>\n"
           "  </xs:complexType>\n";
    AppendColumnsType(out, table);
}

// The root's content: definitions and table elements in any number and order. Root attributes
// are not read by the loader, so any are allowed.
void AppendDataFileType(std::string& out, const std::vector<SchemaTable>& tables) {
    out += "  <xs:complexType name=\"DataFile\">\n"
           "    <xs:choice minOccurs=\"0\" maxOccurs=\"unbounded\">\n"
           "      <xs:element name=\"Table\" type=\"TableDefinition\"/>\n"
           "      <xs:element name=\"AlterTable\" type=\"AlterTableDefinition\"/>\n"
           "      <xs:element name=\"Index\" type=\"IndexDefinition\"/>\n"
           "      <xs:element name=\"DeleteMissingReferences\" type=\"DeleteMissingReferencesDefinition\"/>\n";
    for (const SchemaTable& table : tables)
        out += "      <xs:element name=\"" + table.name + "\" type=\"" + table.name + ".Contents\"/>\n";
    out += "    </xs:choice>\n"
           "    <xs:anyAttribute processContents=\"skip\"/>\n"
           "  </xs:complexType>\n";
}

// The names of the database's tables to complete (compared by the loader without letter case, so
// any other text is allowed too).
void AppendTableNameType(std::string& out, const std::vector<SchemaTable>& tables) {
    out += "  <xs:simpleType name=\"TableName\">\n";
    if (tables.empty()) {
        out += "    <xs:restriction base=\"xs:string\"/>\n  </xs:simpleType>\n";
        return;
    }
    out += "    <xs:union memberTypes=\"TableNameWord xs:string\"/>\n"
           "  </xs:simpleType>\n"
           "  <xs:simpleType name=\"TableNameWord\">\n"
           "    <xs:restriction base=\"xs:string\">\n";
    for (const SchemaTable& table : tables)
        out += "      <xs:enumeration value=\"" + table.name + "\"/>\n";
    out += "    </xs:restriction>\n  </xs:simpleType>\n";
}

std::string SchemaText(const std::vector<SchemaTable>& tables, const std::vector<std::string>& roots,
                       const std::string& database, bool typed) {
    std::string out =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
        "<!--\n"
        "  Written by zrdb schema. A data file refers to it from its root element:\n"
        "  <GameData xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"\n"
        "            xsi:noNamespaceSchemaLocation=\"rules.xsd\">\n"
        "-->\n"
        "<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\">\n"
        "  <xs:annotation><xs:documentation>Data files for the tables of "
        + Escaped(database) + (typed ? ", values checked against their column's type" : "")
        + ".</xs:documentation></xs:annotation>\n";
    for (const std::string& root : roots)
        out += "  <xs:element name=\"" + root + "\" type=\"DataFile\"/>\n";
    AppendDataFileType(out, tables);
    out += kDefinitions;
    out += typed ? kTypedValues : kLooseValues;
    AppendTableNameType(out, tables);
    for (const SchemaTable& table : tables)
        AppendTableTypes(out, table);
    out += "</xs:schema>\n";
    return out;
}

// }====

// Root elements declared whatever the command line says: the names the sample ruleset, the tests
// and most mods use. The loader takes any name; --root adds more.
constexpr const char* kDefaultRoots[] = {"Data", "GameData", "ModData", "Ruleset"};

// Top-level keywords: a table of such a name cannot be filled from a data file.
constexpr const char* kKeywords[] = {"Table", "AlterTable", "Index", "DeleteMissingReferences"};

bool IsKeyword(const std::string& name) {
    for (const char* keyword : kKeywords) {
        if (name == keyword)
            return true;
    }
    return false;
}

// ASCII letters compared without case, as SQLite compares names.
bool SameName(const std::string& left, const char* right) {
    std::size_t index = 0;
    for (; index < left.size() && right[index] != '\0'; ++index) {
        const char a = left[index] >= 'A' && left[index] <= 'Z' ? static_cast<char>(left[index] + 32) : left[index];
        const char b = right[index] >= 'A' && right[index] <= 'Z' ? static_cast<char>(right[index] + 32) : right[index];
        if (a != b)
            return false;
    }
    return index == left.size() && right[index] == '\0';
}

// {==== Reading the database

std::string TextOf(Database::Results& results, int column) {
    const char* text = results.GetText(column);
    return text != nullptr ? text : "";
}

// Columns as pragma_table_info gives them (generated columns, which no row can set, are not
// among them), with their foreign keys.
bool ReadColumns(Database::Connection& connection, SchemaTable& table) {
    Database::Results columns;
    if (!connection.Execute(columns, "select name, type, \"notnull\", dflt_value, pk from pragma_table_info(?)")
        || !columns.Bind(1, table.name.c_str(), true))
        return false;
    while (columns.Step()) {
        SchemaColumn column;
        column.name = TextOf(columns, 0);
        column.declaredType = TextOf(columns, 1);
        column.notNull = columns.GetInt(2) != 0;
        column.hasDefault = columns.ColumnType(3) != Database::ColumnTypes::Null;
        column.defaultValue = TextOf(columns, 3);
        column.primaryKey = columns.GetInt(4) != 0;
        table.columns.push_back(column);
    }
    Database::Results keys;
    if (!connection.Execute(keys, "select \"from\", \"table\", \"to\" from pragma_foreign_key_list(?)")
        || !keys.Bind(1, table.name.c_str(), true))
        return false;
    while (keys.Step()) {
        const std::string from = TextOf(keys, 0);
        const std::string target = TextOf(keys, 1) + (keys.ColumnType(2) == Database::ColumnTypes::Null
                                                           ? std::string()
                                                           : "(" + TextOf(keys, 2) + ")");
        for (SchemaColumn& column : table.columns) {
            if (SameName(column.name, from.c_str()))
                column.reference = target;
        }
    }
    return true;
}

// Whether rows of the table have a row id that data files may name as `rowid` (the loader takes
// it in a Where, SQLite in every statement): not for a WITHOUT ROWID table, nor where a real
// column is called so.
bool HasRowidPseudoColumn(Database::Connection& connection, const SchemaTable& table) {
    for (const SchemaColumn& column : table.columns) {
        if (SameName(column.name, "rowid"))
            return false;
    }
    Database::Results list;
    if (!connection.Execute(list, "select wr from pragma_table_list(?) where schema = 'main'")
        || !list.Bind(1, table.name.c_str(), true))
        return true;
    return !list.Step() || list.GetInt(0) == 0;
}

// Every table a data file can fill, in name order; names that cannot be XML names are left out
// with a word on stderr. SQLite's own tables are left out too.
bool ReadTables(Database::Connection& connection, std::vector<SchemaTable>& tables) {
    Database::Results names;
    if (!connection.Execute(names, "select name from sqlite_master where type = 'table'"
                                   " and name not like 'sqlite!_%' escape '!' order by name"))
        return false;
    while (names.Step()) {
        SchemaTable table;
        table.name = TextOf(names, 0);
        if (!IsXmlName(table.name)) {
            std::fprintf(stderr, "zrdb: table '%s' left out of the schema: its name is no XML name\n",
                         table.name.c_str());
            continue;
        }
        if (IsKeyword(table.name)) {
            std::fprintf(stderr, "zrdb: table '%s' left out of the schema: data files read <%s> as the keyword\n",
                         table.name.c_str(), table.name.c_str());
            continue;
        }
        if (!ReadColumns(connection, table))
            return false;
        std::vector<SchemaColumn> named;
        for (const SchemaColumn& column : table.columns) {
            if (IsXmlName(column.name))
                named.push_back(column);
            else
                std::fprintf(stderr,
                             "zrdb: column '%s' of table '%s' left out of the schema: its name is no XML name\n",
                             column.name.c_str(), table.name.c_str());
        }
        table.columns = named;
        table.rowid = HasRowidPseudoColumn(connection, table);
        tables.push_back(table);
    }
    return true;
}

// The default root names and those of --root, each once.
bool RootNames(const Options& options, std::vector<std::string>& roots) {
    roots.assign(std::begin(kDefaultRoots), std::end(kDefaultRoots));
    for (const std::string& root : options.rootElements) {
        if (!IsXmlName(root)) {
            std::fprintf(stderr, "zrdb: --root '%s' is no XML name\n", root.c_str());
            return false;
        }
        bool known = false;
        for (const std::string& name : roots)
            known = known || name == root;
        if (!known)
            roots.push_back(root);
    }
    return true;
}

// }====

bool WriteText(const std::string& text, const std::string& path) {
    std::FILE* out = path.empty() ? stdout : OpenFile(path, "wb");
    if (out == nullptr)
        return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
    const bool closed = path.empty() ? std::fflush(out) == 0 : std::fclose(out) == 0;
    return written && closed;
}

}  // namespace

int RunSchema(const Options& options) {
    const std::string& path = options.operands[0];
    // Opening read-only never creates the file, but a missing file deserves its own words.
    if (!FileExists(path))
        return 1;
    std::vector<std::string> roots;
    if (!RootNames(options, roots))
        return 1;
    Database::Connection connection;
    if (!OpenDatabase(connection, options, path, true))
        return 1;
    std::vector<SchemaTable> tables;
    if (!ReadTables(connection, tables)) {
        std::fprintf(stderr, "zrdb: cannot read the tables of %s\n", path.c_str());
        return 1;
    }
    const std::string schema = SchemaText(tables, roots, path, options.typedValues);
    if (!WriteText(schema, options.output)) {
        std::fprintf(stderr, "zrdb: cannot write the schema to %s\n",
                     options.output.empty() ? "stdout" : options.output.c_str());
        return 1;
    }
    if (!options.output.empty() && !options.quiet)
        std::printf("schema of %zu table%s written to %s\n", tables.size(), tables.size() == 1 ? "" : "s",
                    options.output.c_str());
    return 0;
}

}  // namespace Zrdb
