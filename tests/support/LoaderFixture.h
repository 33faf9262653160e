// LoaderFixture.h: an in-memory connection, a serializer on it, and helpers to load data files
// given as text and to read back what they wrote.
#pragma once

#include <string>
#include <vector>

#include "ZrGameDatabase/XMLSerializer.h"
#include "support/ConnectionFixture.h"

namespace Database::Testing {

class LoaderFixture : public ConnectionFixture {
protected:
    // Loads xml as the file name; the text is copied into a buffer of its own with its zero.
    bool Load(const std::string& xml, const char* name = "test.xml") {
        buffer.assign(xml.begin(), xml.end());
        buffer.push_back('\0');
        return serializer.LoadFromMemory(name, buffer.data(), static_cast<unsigned int>(buffer.size()));
    }

    // A data file: the elements inside a root element.
    static std::string File(const std::string& elements) { return "<GameData>\n" + elements + "\n</GameData>\n"; }

    // The error text with its prefix for test.xml.
    static std::string Error(const std::string& message) { return "Database::XMLSerializer (test.xml): " + message; }

    // The schema text SQLite keeps for name.
    std::string Schema(const std::string& name) {
        return Scalar(("select sql from sqlite_master where name = '" + name + "'").c_str());
    }

    // "value:type" of each row of the query's first column, joined by blanks.
    std::string Typed(const std::string& query) {
        return Scalar(("select ifnull(group_concat(ifnull(v, 'NULL') || ':' || typeof(v), ' '), '') from (" + query
                       + ")").c_str());
    }

    bool InTransaction() { return sqlite3_get_autocommit(connection.Handle()) == 0; }

    std::vector<char> buffer;
    XMLSerializer serializer{connection};
};

}  // namespace Database::Testing
