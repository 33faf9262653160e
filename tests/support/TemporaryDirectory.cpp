#include "support/TemporaryDirectory.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace Database::Testing {

TemporaryDirectory::TemporaryDirectory() : TemporaryDirectory(std::filesystem::temp_directory_path().string()) {}

TemporaryDirectory::TemporaryDirectory(const std::string& parent) {
    std::string pattern = (std::filesystem::path(parent) / "zrdb-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot create a temporary directory");
    m_path = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::string TemporaryDirectory::Write(const std::string& name, const std::string& contents) const {
    const std::string path = File(name);
    std::ofstream out(path, std::ios::binary);
    out << contents;
    return path;
}

}  // namespace Database::Testing
