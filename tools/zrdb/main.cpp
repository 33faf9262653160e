// zrdb: the command-line host of the library: load data files, check snapshots, run scripts,
// query databases, describe their data files in an XML Schema.
#include <lua.hpp>
#include <sqlite3.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Commands.h"
#include "Options.h"
#include "Utf8System.h"

#ifndef ZRDB_VERSION
#define ZRDB_VERSION "unknown"
#endif

namespace {

int Dispatch(const Zrdb::Options& options) {
    switch (options.command) {
        case Zrdb::Command::Load: return Zrdb::RunLoad(options);
        case Zrdb::Command::Check: return Zrdb::RunCheck(options);
        case Zrdb::Command::Run: return Zrdb::RunScript(options);
        case Zrdb::Command::Query: return Zrdb::RunQuery(options);
        case Zrdb::Command::Tables: return Zrdb::RunTables(options);
        case Zrdb::Command::Schema: return Zrdb::RunSchema(options);
        case Zrdb::Command::Why: return Zrdb::RunWhy(options);
        case Zrdb::Command::None: break;
    }
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    Zrdb::UseBinaryStandardStreams();
    std::vector<std::string> arguments = Zrdb::Utf8Arguments(argc, argv);
    std::vector<char*> utf8Argv;
    for (std::string& argument : arguments)
        utf8Argv.push_back(argument.data());
    utf8Argv.push_back(nullptr);
    Zrdb::Options options;
    std::string error;
    if (!Zrdb::ParseOptions(static_cast<int>(arguments.size()), utf8Argv.data(), options, error)) {
        std::fprintf(stderr, "zrdb: %s\n\n%s", error.c_str(), Zrdb::HelpText(options.command));
        return 2;
    }
    if (options.version) {
        std::printf("zrdb %s (ZrGameDatabase %s, SQLite %s, %s)\n", ZRDB_VERSION, ZRDB_VERSION, sqlite3_libversion(),
                    LUA_RELEASE);
        return 0;
    }
    if (options.help) {
        std::printf("%s", Zrdb::HelpText(options.command));
        return 0;
    }
    return Dispatch(options);
}
