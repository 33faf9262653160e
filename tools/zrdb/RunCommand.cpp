// RunCommand.cpp: `zrdb run`: a Lua script against a database, with DB as its global.
//
// A script error is printed with a traceback in which the library's functions appear under the
// names the binding gave them ("Lua::lIndexDatabaseTable"), so that a script author sees which
// lookup or iteration failed.
#include <lua.hpp>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "Commands.h"
#include "ZrGameDatabase/Connection.h"
#include "ZrGameDatabase/ScriptingLua.h"
#include "Utf8System.h"

namespace Zrdb {
namespace {

// Appends text to a fixed buffer, cutting what does not fit. No allocation: the traceback is
// built where an out-of-memory error is the likeliest reason for being there.
void AppendText(char* buffer, std::size_t size, std::size_t& used, const char* text) {
    while (*text != '\0' && used + 1 < size)
        buffer[used++] = *text++;
    buffer[used] = '\0';
}

// Message handler of the script's protected call: the error, then one line per stack level.
int Traceback(lua_State* state) {
    static char text[16384];
    std::size_t used = 0;
    const char* message = lua_tostring(state, 1);
    AppendText(text, sizeof text, used, message != nullptr ? message : "(the error is not a text)");
    AppendText(text, sizeof text, used, "\nstack traceback:");
    lua_Debug frame;
    for (int level = 1; lua_getstack(state, level, &frame) != 0; ++level) {
        lua_getinfo(state, "Slnf", &frame);
        const char* closure = Database::Scripting::Lua::ClosureName(state, -1);
        lua_pop(state, 1);
        char line[512];
        if (*frame.what == 'C') {
            std::snprintf(line, sizeof line, "\n\t[C]: in function '%s'",
                          closure != nullptr ? closure : frame.name != nullptr ? frame.name : "?");
        } else if (*frame.what == 'm') {
            std::snprintf(line, sizeof line, "\n\t%s:%d: in main chunk", frame.short_src, frame.currentline);
        } else if (frame.name != nullptr) {
            std::snprintf(line, sizeof line, "\n\t%s:%d: in function '%s'", frame.short_src, frame.currentline,
                          frame.name);
        } else {
            std::snprintf(line, sizeof line, "\n\t%s:%d: in function <%s:%d>", frame.short_src, frame.currentline,
                          frame.short_src, frame.linedefined);
        }
        AppendText(text, sizeof text, used, line);
    }
    lua_pushstring(state, text);
    return 1;
}

void SetGlobals(lua_State* state, Database::Connection& connection, const Options& options) {
    Database::Scripting::Lua::PushDatabase(state, connection);
    lua_setglobal(state, "DB");
    lua_pushcfunction(state, Database::Scripting::Lua::lGetMemoryUsage);
    lua_setglobal(state, "DatabaseMemoryUsage");
    lua_pushcfunction(state, Database::Scripting::Lua::lCollectMemoryUsage);
    lua_setglobal(state, "CollectDatabaseMemoryUsage");
    lua_createtable(state, static_cast<int>(options.scriptArguments.size()), 1);
    lua_pushstring(state, options.operands[0].c_str());
    lua_rawseti(state, -2, 0);
    for (std::size_t index = 0; index < options.scriptArguments.size(); ++index) {
        lua_pushstring(state, options.scriptArguments[index].c_str());
        lua_rawseti(state, -2, static_cast<int>(index + 1));
    }
    lua_setglobal(state, "arg");
}

// The script as luaL_loadfile reads it, but opened through a UTF-8 path: luaL_loadfile uses the C
// runtime's fopen, which on Windows takes the path in the system's code page. A first line that
// starts with '#' (#!/usr/bin/env ...) is skipped, its line end kept so that line numbers stay
// right. Trivially destructible, as everything alive where Lua may raise an error must be.
struct ScriptReader {
    std::FILE* file;
    bool lineEndFirst;  // the skipped first line's end is still to be handed out
    char buffer[4096];
};

const char* ReadScript(lua_State*, void* data, std::size_t* size) {
    auto* reader = static_cast<ScriptReader*>(data);
    if (reader->lineEndFirst) {
        reader->lineEndFirst = false;
        *size = 1;
        return "\n";
    }
    *size = std::fread(reader->buffer, 1, sizeof reader->buffer, reader->file);
    return *size > 0 ? reader->buffer : nullptr;
}

// [-0, +1, m] Pushes the compiled script, or its error message and returns false.
bool LoadScript(lua_State* state, const char* path) {
    // The name first: pushing it may raise an out-of-memory error, which must not leave the file open.
    lua_pushfstring(state, "@%s", path);
    ScriptReader reader{OpenFile(path, "rb"), false, {}};
    if (reader.file == nullptr) {
        lua_pop(state, 1);
        lua_pushfstring(state, "cannot open %s", path);
        return false;
    }
    int first = std::getc(reader.file);
    if (first == '#') {
        while (first != EOF && first != '\n')
            first = std::getc(reader.file);
        reader.lineEndFirst = true;
    } else if (first != EOF) {
        std::ungetc(first, reader.file);
    }
    const int status = lua_load(state, ReadScript, &reader, lua_tostring(state, -1));
    std::fclose(reader.file);
    lua_remove(state, -2);  // the chunk name
    return status == 0;
}

// Everything the script needs is set up inside a protected call, so that an out-of-memory error
// while pushing the globals is reported like a script error instead of ending the program.
int SetUpAndRun(lua_State* state) {
    auto* connection = static_cast<Database::Connection*>(lua_touserdata(state, 1));
    auto* options = static_cast<const Options*>(lua_touserdata(state, 2));
    lua_settop(state, 0);
    luaL_openlibs(state);
    SetGlobals(state, *connection, *options);
    lua_pushcfunction(state, Traceback);
    if (!LoadScript(state, options->operands[0].c_str()))
        return lua_error(state);
    lua_call(state, 0, 0);
    return 0;
}

}  // namespace

int RunScript(const Options& options) {
    // Opening a misspelt --db would create an empty database and give the script no tables.
    if (!options.database.empty() && !FileExists(options.database))
        return 1;
    // Checked before any loading, and said plainly: Lua's own words for it come with a traceback
    // of the host's set-up, which tells a script author nothing. Existence only: a pipe
    // (`zrdb run <(...)`) is a script too.
    const std::string& script = options.operands[0];
    std::error_code error;
    if (!std::filesystem::exists(PathOf(script), error)) {
        std::fprintf(stderr, "zrdb: %s: no such file\n", script.c_str());
        return 1;
    }
    Database::Connection connection;
    if (!OpenDatabase(connection, options, options.database, false))
        return 1;
    if (!options.loadPaths.empty()) {
        const LoadSummary summary = LoadDataFiles(connection, options, options.loadPaths);
        if (!options.quiet)
            std::fprintf(stderr, "%s\n", DescribeLoad(connection, summary).c_str());
        if (summary.failed > 0)
            return 1;
    }
    lua_State* state = luaL_newstate();
    if (state == nullptr) {
        std::fprintf(stderr, "zrdb: cannot create a Lua state\n");
        return 1;
    }
    lua_pushcfunction(state, Traceback);
    lua_pushcfunction(state, SetUpAndRun);
    lua_pushlightuserdata(state, &connection);
    lua_pushlightuserdata(state, const_cast<Options*>(&options));
    const int status = lua_pcall(state, 2, 0, 1);
    if (status != 0) {
        const char* message = lua_tostring(state, -1);
        std::fprintf(stderr, "zrdb: script error: %s\n", message != nullptr ? message : "(no message)");
    }
    // The script's objects hold the connection's statements: they go before the connection.
    lua_close(state);
    return status == 0 ? 0 : 1;
}

}  // namespace Zrdb
