#include "support/RecordingLogger.h"

#include <ostream>

namespace Database::Testing {

RecordingLogger::~RecordingLogger() {
    if (m_destroyedCount != nullptr)
        ++*m_destroyedCount;
}

void RecordingLogger::Log(const char* text, int severity) {
    m_lines.push_back(LogLine{text != nullptr ? text : "(null)", severity});
}

void PrintTo(const LogLine& line, std::ostream* out) {
    *out << "{" << line.severity << ", \"" << line.text << "\"}";
}

}  // namespace Database::Testing
