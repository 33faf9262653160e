// FileLogger.h: zrdb's logger. Every line goes to the log file with a timestamp and its severity;
// errors and warnings also go to stderr, so that the person at the terminal sees what failed.
#pragma once

#include <cstdio>
#include <string>

#include "ZrGameDatabase/IDatabaseLogger.h"

namespace Zrdb {

class FileLogger : public Database::IDatabaseLogger {
public:
    // Appends to the file at path; when it cannot be opened, lines go to stderr only (and the
    // failure is said once there).
    explicit FileLogger(const std::string& path);
    ~FileLogger() override;

    void Log(const char* text, int severity) override;

    // Whether stderr receives errors and warnings (true by default).
    void EchoToStandardError(bool echo) { m_echo = echo; }
    // Number of error lines logged so far.
    int ErrorCount() const { return m_errors; }

private:
    std::FILE* m_file;
    bool m_echo;
    int m_errors;
};

}  // namespace Zrdb
