// host.cpp: the smallest complete game host: open a database, log what it says, load the example
// ruleset and its mod, query it from C++, hand it to a Lua script, and save a snapshot.
//
//     example_host EXAMPLES_FOLDER SNAPSHOT_FILE
//
// Exit status 0 when every step worked, 1 when one failed, 2 on wrong arguments.
#include <lua.hpp>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "ZrGameDatabase/ZrGameDatabase.h"

namespace {

// Receives every line the library logs; a game would keep them all, this shows the bad news only.
class StderrLogger : public Database::IDatabaseLogger {
public:
    void Log(const char* text, int severity) override {
        if (severity >= Warning)
            std::fprintf(stderr, "[%s] %s\n", severity == Error ? "error" : "warning", text ? text : "(null)");
    }
};

// The *.xml files of folder in name order: the order a ruleset's files are meant to load in.
std::vector<std::string> DataFiles(const std::filesystem::path& folder) {
    std::vector<std::string> files;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        if (entry.path().extension() == ".xml")
            files.push_back(entry.path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

// Loads the base game, then the mod with its rows in Units and Buildings tagged. One cache keeps
// the prepared row statements from file to file. False, with the loader's reason, at the first
// file that fails (that file is rolled back; the files before it stay loaded).
bool LoadRuleset(Database::Connection& connection, const std::filesystem::path& examples) {
    Database::XMLSerializer serializer(connection);
    Database::ResultsCache cache(connection);
    serializer.SetPackageTag("MOD_EXAMPLE");
    serializer.AddTableToPackageTagList("Units");
    serializer.AddTableToPackageTagList("Buildings");
    std::vector<std::string> files = DataFiles(examples / "data");
    const std::vector<std::string> mod = DataFiles(examples / "mod");
    files.insert(files.end(), mod.begin(), mod.end());
    for (const std::string& file : files) {
        if (!serializer.Load(file.c_str(), cache)) {
            std::fprintf(stderr, "line %d: %s\n", serializer.ErrorLine(), serializer.ErrorMessage());
            return false;
        }
    }
    if (files.empty()) {
        std::fprintf(stderr, "no data files in %s\n", examples.c_str());
        return false;
    }
    std::printf("loaded %zu files\n", files.size());
    return true;
}

// Prints the units of one era, strongest first, through a prepared statement with a parameter.
bool PrintUnitsOfEra(Database::Connection& connection, const char* era) {
    Database::Results units;
    const char* sql = "select Name, Strength, Upkeep from Units where Era = ? order by Strength desc, Name";
    if (!connection.Execute(units, sql))
        return false;
    units.Bind(1, era, true);
    std::printf("units of %s:\n", era);
    while (units.Step())
        std::printf("  %-12s strength %2d, upkeep %.2f\n", units.GetText("Name"), units.GetInt("Strength"),
                    units.GetDouble("Upkeep"));
    return true;
}

// Gives a Lua state the database as the global DB and runs one line against it.
bool RunLua(Database::Connection& connection) {
    lua_State* lua = luaL_newstate();
    if (lua == nullptr)
        return false;
    luaL_openlibs(lua);
    Database::Scripting::Lua::PushDatabase(lua, connection);
    lua_setglobal(lua, "DB");
    const char* script = "print('lua: ' .. #DB.Units .. ' units, the first is ' .. DB.Units[1].Name)";
    const bool ran = luaL_dostring(lua, script) == 0;
    if (!ran)
        std::fprintf(stderr, "lua: %s\n", lua_tostring(lua, -1));
    lua_close(lua);  // the Lua objects point at the connection: the state goes first
    return ran;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s EXAMPLES_FOLDER SNAPSHOT_FILE\n", argv[0]);
        return 2;
    }
    Database::Connection connection(nullptr, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);  // in memory
    connection.SetLogger(new StderrLogger);  // the connection owns and deletes it
    if (!LoadRuleset(connection, argv[1]) || !PrintUnitsOfEra(connection, "ERA_BRONZE") || !RunLua(connection))
        return 1;
    std::printf("%d buildings\n", connection.Count("Buildings", false));
    Database::BinaryIO snapshot(argv[2]);
    if (!(snapshot << connection))
        return 1;
    std::printf("snapshot saved to %s\n", argv[2]);
    return 0;
}
