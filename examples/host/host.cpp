// host.cpp: the smallest complete game host: open a database, log what it says, load the example
// ruleset and its mod, query it from C++, hand it to a Lua script, and save a snapshot.
//
//     example_host EXAMPLES_FOLDER SNAPSHOT_FILE
//
// Exit status 0 when every step worked, 1 when one failed, 2 on wrong arguments.
#include <lua.hpp>
#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <string>

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

// Reports each file that fails, with the loader's reason and line.
struct FailureReport : Database::DataLoader::IListener {
    void OnFileLoaded(const Database::DataLoader::FileResult& result) noexcept override {
        if (!result.loaded)
            std::fprintf(stderr, "line %d: %s\n", result.errorLine, result.errorMessage);
    }
    void OnEmptyFolder(const char* folder) noexcept override { std::fprintf(stderr, "no data files in %s\n", folder); }
};

// Loads the base game, then the mod with its rows in Units and Buildings tagged MOD_EXAMPLE. The
// loader takes the *.xml files of each folder in name order, with one cache of prepared row
// statements for them all. False at the first file that fails (that file is rolled back; the
// files before it stay loaded).
bool LoadRuleset(Database::Connection& connection, const std::string& examples) {
    // The library takes UTF-8 paths on every platform, Windows included; std::filesystem is told
    // so, since it would take a std::string for the system's code page there.
    const std::string data = examples + "/data";
    const std::string mod = examples + "/mod";
    std::error_code error;
    if (!std::filesystem::is_directory(std::u8string(data.begin(), data.end()), error)) {
        std::fprintf(stderr, "no data files in %s\n", examples.c_str());
        return false;
    }
    Database::DataLoader loader(connection);
    loader.Serializer().AddTableToPackageTagList("Units");
    loader.Serializer().AddTableToPackageTagList("Buildings");
    loader.SetFailFast(true);
    loader.AddPath(data.c_str(), nullptr);
    loader.AddPath(mod.c_str(), "MOD_EXAMPLE");
    FailureReport report;
    const Database::DataLoader::Summary summary = loader.Load(&report);
    if (summary.failed != 0)
        return false;
    std::printf("loaded %d files\n", summary.loaded);
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
