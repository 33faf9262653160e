// Utf8System.h: the few system calls zrdb makes itself, with paths and arguments in UTF-8 on every
// platform, as the library takes them. On Windows the C runtime's narrow calls (fopen, main's
// argv, std::filesystem paths made from std::string) use the system's code page instead, so a
// path with é or ü would name another file or none.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace Zrdb {

// The program's arguments in UTF-8, argv[0] first. On Windows they are taken from the UTF-16
// command line, since argv lost what the code page cannot spell; elsewhere they are argv.
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// Makes stdout and stderr write bytes as they are: the Windows C runtime would turn every "\n"
// into "\r\n", so zrdb's output (and its CSV) would differ from one platform to another.
void UseBinaryStandardStreams();

// std::fopen with a UTF-8 path.
std::FILE* OpenFile(const std::string& path, const char* mode);

// A filesystem path of a UTF-8 path.
std::filesystem::path PathOf(const std::string& path);

}  // namespace Zrdb
