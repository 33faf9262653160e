// PlatformFileTest.cpp: reading data files whole through the platform layer, by UTF-8 and by
// UTF-16 path, and refusing what is not a regular file or a path that cannot be passed on intact.
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "platform/File.h"
#include "support/TemporaryDirectory.h"
#include "support/WideText.h"

namespace Database::Platform {
namespace {

using Testing::TemporaryDirectory;
using Testing::WideString;

WideString Widen(const std::string& ascii) {
    return WideString(ascii.begin(), ascii.end());
}

std::string RandomBytes(std::size_t count) {
    std::mt19937 random(3);
    std::string bytes(count, '\0');
    for (char& byte : bytes)
        byte = static_cast<char>(random());
    return bytes;
}

std::string ReadAll(ReadOnlyFile& file, std::size_t capacity) {
    std::string contents(capacity, '\0');
    std::size_t bytesRead = 0;
    EXPECT_TRUE(file.Read(contents.data(), capacity, bytesRead));
    contents.resize(bytesRead);
    return contents;
}

TEST(PlatformFile, ReadsAWholeFileAndStopsAtItsEnd) {
    TemporaryDirectory directory;
    const std::string contents = RandomBytes(300'000);  // NUL bytes included
    const std::string path = directory.Write("data.xml", contents);

    ReadOnlyFile file;
    ASSERT_TRUE(file.Open(path.c_str()));
    std::uint64_t size = 0;
    ASSERT_TRUE(file.Size(size));
    EXPECT_EQ(size, contents.size());
    // Asking for one byte more than the file holds, as the loader does, gets the file exactly.
    EXPECT_EQ(ReadAll(file, contents.size() + 1), contents);
    EXPECT_EQ(ReadAll(file, 10), "");

    // Reopening starts over; a short capacity reads a part, the next read goes on from there.
    ASSERT_TRUE(file.Open(path.c_str()));
    const std::string head = ReadAll(file, 1000);
    const std::string rest = ReadAll(file, contents.size());
    EXPECT_EQ(head + rest, contents);
    EXPECT_EQ(head.size(), 1000u);
}

TEST(PlatformFile, EmptyFileReadsAsNothing) {
    TemporaryDirectory directory;
    const std::string path = directory.Write("empty.xml", "");
    ReadOnlyFile file;
    ASSERT_TRUE(file.Open(path.c_str()));
    std::uint64_t size = 99;
    ASSERT_TRUE(file.Size(size));
    EXPECT_EQ(size, 0u);
    char buffer[1];
    std::size_t bytesRead = 5;
    EXPECT_TRUE(file.Read(buffer, sizeof buffer, bytesRead));
    EXPECT_EQ(bytesRead, 0u);
}

TEST(PlatformFile, RefusesWhatIsNotARegularFile) {
    TemporaryDirectory directory;
    ReadOnlyFile file;
    std::uint64_t size = 0;
    char buffer[16];
    std::size_t bytesRead = 7;

    EXPECT_FALSE(file.Open(directory.File("missing.xml").c_str()));
    EXPECT_FALSE(file.Size(size));
    EXPECT_FALSE(file.Read(buffer, sizeof buffer, bytesRead));
    EXPECT_EQ(bytesRead, 0u);

    EXPECT_FALSE(file.Open(directory.Path().c_str()));
    EXPECT_FALSE(file.Open(Widen(directory.Path()).c_str()));
    // A pipe is refused at once rather than waiting for a writer that never comes: a FIFO, or on
    // Windows a named pipe, the closest thing to one that a path can name.
#if defined(_WIN32)
    const std::string fifo = "\\\\.\\pipe\\zrdb-test-" + std::to_string(::GetCurrentProcessId());
    HANDLE pipe = ::CreateNamedPipeA(fifo.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE, 1, 0, 0, 0, nullptr);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(file.Open(fifo.c_str()));
    ::CloseHandle(pipe);
#else
    const std::string fifo = directory.File("pipe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(file.Open(fifo.c_str()));
#endif
    EXPECT_FALSE(file.Open(static_cast<const char*>(nullptr)));
    EXPECT_FALSE(file.Open(static_cast<const WideChar*>(nullptr)));

    // A failed open leaves no earlier file open behind it.
    const std::string path = directory.Write("data.xml", "<Data/>");
    ASSERT_TRUE(file.Open(path.c_str()));
    EXPECT_FALSE(file.Open(directory.File("missing.xml").c_str()));
    EXPECT_FALSE(file.Size(size));
}

TEST(PlatformFile, OpensUtf16PathsAndRefusesThoseThatCannotPassIntact) {
    TemporaryDirectory directory;
    // "données-€-😀.xml": two-, three- and four-byte characters, the last one a surrogate pair.
    const std::string path = directory.Write("donn\xC3\xA9" "es-\xE2\x82\xAC-\xF0\x9F\x98\x80.xml", "<Rules/>");
    const WideString widePath = Widen(directory.Path()) + ZRDB_WIDE("/donn\u00E9es-\u20AC-\U0001F600.xml");
    ReadOnlyFile file;
    ASSERT_TRUE(file.Open(widePath.c_str()));
    EXPECT_EQ(ReadAll(file, 100), "<Rules/>");

    // An unpaired surrogate has no UTF-8 form; it must not open the file whose name has U+FFFD
    // in its place.
    directory.Write("lone-\xEF\xBF\xBD", "wrong file");
    WideString lone = Widen(directory.File("lone-"));
    lone.push_back(static_cast<WideChar>(0xD800));
    EXPECT_FALSE(file.Open(lone.c_str()));
}

// A path of 4095 bytes is the longest the system takes; one byte more must be refused, not cut
// back to the 4095 bytes that name an existing file.
TEST(PlatformFile, RefusesAUtf16PathTooLongToConvertRatherThanCuttingIt) {
#if defined(_WIN32)
    GTEST_SKIP() << "paths past MAX_PATH need the \\\\?\\ form on Windows, which the file layer does not make";
#endif
    TemporaryDirectory directory;
    constexpr std::size_t kLongest = 4095;
    std::string path = directory.Path();
    while (kLongest - path.size() > 256) {
        path += "/" + std::string(200, 'd');
        ASSERT_TRUE(std::filesystem::create_directory(path));
    }
    path += "/" + std::string(kLongest - path.size() - 1, 'f');
    ASSERT_EQ(path.size(), kLongest);
    { std::ofstream(path, std::ios::binary) << "deep"; }

    ReadOnlyFile file;
    ASSERT_TRUE(file.Open(Widen(path).c_str()));
    EXPECT_EQ(ReadAll(file, 10), "deep");
    EXPECT_FALSE(file.Open((Widen(path) + ZRDB_WIDE("x")).c_str()));
    EXPECT_FALSE(file.Open((Widen(path) + ZRDB_WIDE("\u00E9")).c_str()));
}

}  // namespace
}  // namespace Database::Platform
