// TemporaryDirectory.h: a fresh folder for a test's files, removed with everything in it.
#pragma once

#include <string>

namespace Database::Testing {

class TemporaryDirectory {
public:
    TemporaryDirectory();
    // A folder inside parent instead of the system's temporary folder.
    explicit TemporaryDirectory(const std::string& parent);
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::string& Path() const { return m_path; }
    // The path of name inside the folder.
    std::string File(const std::string& name) const { return m_path + "/" + name; }
    // Writes contents to name inside the folder and returns its path.
    std::string Write(const std::string& name, const std::string& contents) const;

private:
    std::string m_path;
};

}  // namespace Database::Testing
