// LuaFixture.h: a real Lua state over the fixture's in-memory connection, for the scripting tests.
// The database object is the global DB and print is replaced by a recorder, so that tests see the
// warnings scripts are shown.
#pragma once

#include <gtest/gtest.h>
#include <lua.hpp>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "ZrGameDatabase/ScriptingLua.h"
#include "support/ConnectionFixture.h"

namespace Database::Testing {

class LuaFixture : public ConnectionFixture {
protected:
    LuaFixture() : state(luaL_newstate()) {
        luaL_openlibs(state);
        Scripting::Lua::PushDatabase(state, connection);
        lua_setglobal(state, "DB");
        lua_pushlightuserdata(state, &printed);
        lua_pushcclosure(state, RecordPrint, 1);
        lua_setglobal(state, "print");
    }
    // The Lua objects hold the connection's address: the state goes first.
    ~LuaFixture() override { lua_close(state); }

    // Runs script through luaL_dostring: "" when it ran, else the error message. Results are dropped.
    std::string Script(const std::string& script) {
        const int top = lua_gettop(state);
        std::string error;
        if (luaL_dostring(state, script.c_str()) != 0) {
            const char* message = lua_tostring(state, -1);
            error = message != nullptr ? message : "(error without a text)";
        }
        lua_settop(state, top);
        return error;
    }

    // tostring of what `return <expression>` gives, or "error: <message>".
    std::string Eval(const std::string& expression) {
        const int top = lua_gettop(state);
        std::string value;
        const std::string script = "return tostring(" + expression + ")";
        if (luaL_dostring(state, script.c_str()) != 0)
            value = std::string("error: ") + lua_tostring(state, -1);
        else
            value = lua_tostring(state, -1);
        lua_settop(state, top);
        return value;
    }

    // Pushes a new table object for the table called name and makes it the global called global.
    void PushDatabaseTableAsGlobal(const char* global, const char* name) {
        Scripting::Lua::PushDatabaseTable(state, connection, name);
        lua_setglobal(state, global);
    }

    // The number of statements prepared on the connection and not yet finalized.
    int LiveStatements() {
        int count = 0;
        for (sqlite3_stmt* statement = sqlite3_next_stmt(connection.Handle(), nullptr); statement != nullptr;
             statement = sqlite3_next_stmt(connection.Handle(), statement))
            ++count;
        return count;
    }

    // The rule table most tests read: ID is the ROWID, Type is unique, one Cost is NULL.
    void CreateUnits() {
        Run("create table Units (ID integer primary key, Type text, Cost integer, Name text);"
            "insert into Units values (0, 'UNIT_ZERO', 0, 'Zero'), (1, 'UNIT_A', 5, 'A'), (2, 'UNIT_B', 7, 'B'),"
            "  (3, 'UNIT_C', 5, NULL), (4, 'UNIT_D', NULL, 'D');");
    }

    lua_State* state;
    std::vector<std::string> printed;

private:
    static int RecordPrint(lua_State* state) {
        std::size_t length = 0;
        const char* text = lua_tolstring(state, 1, &length);
        static_cast<std::vector<std::string>*>(lua_touserdata(state, lua_upvalueindex(1)))
            ->emplace_back(text != nullptr ? std::string(text, length) : std::string("(not a string)"));
        return 0;
    }
};

// Checks that message is text raised with the script position of line in front of it.
inline void ExpectPositioned(const std::string& message, int line, const std::string& text) {
    const std::string tail = "\"]:" + std::to_string(line) + ": " + text;
    EXPECT_EQ(message.rfind("[string \"", 0), 0u) << message;
    EXPECT_TRUE(message.size() >= tail.size() && message.compare(message.size() - tail.size(), tail.size(), tail) == 0)
        << "message: " << message << "\nexpected to end with: " << tail;
}

}  // namespace Database::Testing
