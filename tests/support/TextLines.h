// TextLines.h: a program's output as its lines, so that tests compare them one by one.
#pragma once

#include <sstream>
#include <string>
#include <vector>

namespace Database::Testing {

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

}  // namespace Database::Testing
