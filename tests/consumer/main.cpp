// Opens an in-memory database, loads a small data file from memory and counts its rows: enough to
// need the headers, the shared library and its dependencies, all from the installed package.
#include <cstdio>

#include "ZrGameDatabase/ZrGameDatabase.h"

int main() {
    const int readWriteCreate = 0x2 | 0x4;  // SQLite's open flags, not to need its header here
    Database::Connection connection(nullptr, readWriteCreate);
    char text[] =
        "<GameData>"
        "<Table name=\"Units\"><Column name=\"Type\" type=\"text\"/></Table>"
        "<Units><Row Type=\"UNIT_A\"/></Units>"
        "</GameData>";
    Database::XMLSerializer serializer(connection);
    if (!serializer.LoadFromMemory("Units.xml", text, sizeof text)) {
        std::fprintf(stderr, "load failed: %s\n", serializer.ErrorMessage());
        return 1;
    }
    const int rows = connection.Count("Units", false);
    if (rows != 1) {
        std::fprintf(stderr, "Units has %d rows, expected 1\n", rows);
        return 1;
    }
    std::printf("consumer: Units has 1 row\n");
    return 0;
}
