#include "FileLogger.h"
#include "Utf8System.h"

#include <chrono>
#include <ctime>

namespace Zrdb {
namespace {

const char* SeverityName(int severity) {
    switch (severity) {
        case Database::IDatabaseLogger::Error: return "error";
        case Database::IDatabaseLogger::Warning: return "warning";
        default: return "message";
    }
}

// "2026-12-08 16:40:01.123", local time.
void FormatNow(char* buffer, std::size_t size) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const long milliseconds =
        static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm local{};
#if defined(_WIN32)
    localtime_s(&local, &seconds);  // the same, with the arguments the other way round
#else
    localtime_r(&seconds, &local);
#endif
    const std::size_t length = std::strftime(buffer, size, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(buffer + length, size - length, ".%03ld", milliseconds);
}

}  // namespace

FileLogger::FileLogger(const std::string& path) : m_file(OpenFile(path, "ab")), m_echo(true), m_errors(0) {
    if (m_file == nullptr)
        std::fprintf(stderr, "zrdb: cannot write the log file %s; logging to stderr only\n", path.c_str());
}

FileLogger::~FileLogger() {
    if (m_file != nullptr)
        std::fclose(m_file);
}

void FileLogger::Log(const char* text, int severity) {
    if (text == nullptr)
        text = "(no text)";
    if (severity == Error)
        ++m_errors;
    if (m_file != nullptr) {
        char time[32];
        FormatNow(time, sizeof time);
        std::fprintf(m_file, "%s [%s] %s\n", time, SeverityName(severity), text);
        std::fflush(m_file);
    }
    if ((m_echo && severity != Message) || (m_file == nullptr && severity != Message))
        std::fprintf(stderr, "%s: %s\n", SeverityName(severity), text);
}

}  // namespace Zrdb
