#include "support/TemporaryDirectory.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>

namespace Database::Testing {

namespace {

// The test's paths are UTF-8; a std::filesystem::path made from a std::string would take them for
// the system's narrow code page, which on Windows is not UTF-8.
std::filesystem::path PathOf(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string Utf8Of(const std::filesystem::path& path) {
    const std::u8string utf8 = path.u8string();
    return std::string(utf8.begin(), utf8.end());
}

}  // namespace

TemporaryDirectory::TemporaryDirectory() : TemporaryDirectory(Utf8Of(std::filesystem::temp_directory_path())) {}

// mkdtemp is POSIX only: a random name is tried until create_directory makes a new folder, which
// it does atomically, so two tests running at once never share one. The clock is mixed into the
// seed since random_device may be deterministic on some Windows runtimes.
TemporaryDirectory::TemporaryDirectory(const std::string& parent) {
    std::random_device device;
    std::mt19937_64 names(device() ^ static_cast<std::uint64_t>(
                                         std::chrono::high_resolution_clock::now().time_since_epoch().count()));
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::filesystem::path candidate = PathOf(parent) / ("zrdb-test-" + std::to_string(names() % 1000000000000ull));
        std::error_code error;
        if (std::filesystem::create_directory(candidate, error)) {
            m_path = Utf8Of(candidate);
            return;
        }
        if (error)
            break;
    }
    throw std::runtime_error("cannot create a temporary directory");
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(PathOf(m_path), ignored);
}

std::string TemporaryDirectory::Write(const std::string& name, const std::string& contents) const {
    const std::string path = File(name);
    std::ofstream out(PathOf(path), std::ios::binary);
    out << contents;
    return path;
}

}  // namespace Database::Testing
