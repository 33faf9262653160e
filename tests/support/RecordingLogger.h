// RecordingLogger.h: a logger for tests that keeps every line it receives, with its severity.
#pragma once

#include <string>
#include <vector>

#include "ZrGameDatabase/IDatabaseLogger.h"

namespace Database::Testing {

struct LogLine {
    std::string text;  // "(null)" when the logger was given a null text
    int severity;
    bool operator==(const LogLine& other) const = default;
};

// Records lines into a list the test keeps, so that the lines survive the logger: the connection
// owns and destroys its logger. Each destruction is counted in destroyedCount, when given.
class RecordingLogger : public IDatabaseLogger {
public:
    explicit RecordingLogger(std::vector<LogLine>& lines, int* destroyedCount = nullptr)
        : m_lines(lines), m_destroyedCount(destroyedCount) {}
    ~RecordingLogger() override;
    void Log(const char* text, int severity) override;

private:
    std::vector<LogLine>& m_lines;
    int* m_destroyedCount;
};

// Prints recorded lines in test failure messages.
void PrintTo(const LogLine& line, std::ostream* out);

}  // namespace Database::Testing
