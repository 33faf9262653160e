// LoadReport.cpp: printing the problems of a load, and remembering which file wrote which row.
#include "LoadReport.h"

#include <cctype>

#include "Terminal.h"
#include "ZrGameDatabase/DatabaseResults.h"

namespace Zrdb {
namespace {

std::string Lower(const char* text) {
    std::string lower(text != nullptr ? text : "");
    for (char& byte : lower)
        byte = static_cast<char>(std::tolower(static_cast<unsigned char>(byte)));
    return lower;
}

const char* SeverityName(Database::Severity severity) {
    return severity == Database::Severity::Error ? "error" : "warning";
}

}  // namespace

std::string JsonString(const char* text) {
    std::string json = "\"";
    for (const char* at = text != nullptr ? text : ""; *at != '\0'; ++at) {
        const unsigned char byte = static_cast<unsigned char>(*at);
        switch (byte) {
        case '"': json += "\\\""; break;
        case '\\': json += "\\\\"; break;
        case '\n': json += "\\n"; break;
        case '\r': json += "\\r"; break;
        case '\t': json += "\\t"; break;
        default:
            if (byte < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
                json += escaped;
            } else {
                json += static_cast<char>(byte);
            }
        }
    }
    return json + "\"";
}

void LoadReport::Print(Database::Severity severity, const char* file, int line, const char* code, const char* message,
                       const char* table) {
    m_progress.Clear();
    ++(severity == Database::Severity::Error ? m_errors : m_warnings);
    if (m_format == OutputFormat::Json) {
        std::printf("{\"file\":%s,\"line\":%d,\"severity\":\"%s\",\"code\":%s,\"message\":%s,\"table\":%s}\n",
                    JsonString(file).c_str(), line, SeverityName(severity), JsonString(code).c_str(),
                    JsonString(message).c_str(), table != nullptr ? JsonString(table).c_str() : "null");
        std::fflush(stdout);
        return;
    }
    const std::string where = line > 0 ? std::string(file) + ":" + std::to_string(line) : std::string(file);
    if (severity == Database::Severity::Error)
        std::fprintf(stderr, "%s: error: %s\n", where.c_str(), message);
    else
        std::fprintf(stderr, "%s: warning: %s [%s]\n", where.c_str(), message, code);
}

void LoadReport::OnDiagnostic(const Database::Diagnostic& diagnostic) noexcept {
    if (diagnostic.severity == Database::Severity::Error)
        ++m_fileErrors;
    Print(diagnostic.severity, diagnostic.file, diagnostic.line, diagnostic.code, diagnostic.message, diagnostic.table);
}

void LoadReport::Report(Database::Severity severity, const std::string& file, int line, const char* code,
                        const std::string& message) {
    if (severity == Database::Severity::Error)
        ++m_fileErrors;
    Print(severity, file.c_str(), line, code, message.c_str(), nullptr);
}

void LoadReport::OnRowChange(const Database::RowChange& change) noexcept {
    if (m_trackRows)
        m_fileRows.push_back({RowKey{Lower(change.table), change.rowid}, Origin{change.file, change.line}});
}

void LoadReport::OnFileDone(const char*, bool committed) noexcept {
    if (!committed)
        m_fileRows.clear();
}

void LoadReport::BeginFile() {
    m_fileRows.clear();
    m_fileErrors = 0;
}

void LoadReport::EndFile(bool kept) {
    if (kept) {
        for (auto& [key, origin] : m_fileRows)
            m_rows[key] = std::move(origin);
    }
    m_fileRows.clear();
}

// "; deleted by FILE:LINE (PACKAGE)" when the provenance record holds the delete of the row the
// value refers to by its key; "" otherwise.
std::string LoadReport::DeletedBy(const Database::DanglingReference& reference) {
    if (m_provenance == nullptr)
        return "";
    Database::Results deleted;
    if (!m_provenance->Execute(deleted, "select file, line, ifnull(package, '-') from zrdb_provenance where kind = "
                                        "'delete' and lower(table_name) = lower(?1) and row_key = ?2 "
                                        "order by id desc limit 1"))
        return "";
    deleted.Bind(1, reference.referencedTable, true);
    deleted.Bind(2, reference.value, true);
    if (!deleted.Step())
        return "";
    return std::string("; deleted by ") + deleted.GetText(0) + ":" + deleted.GetText(1) + " (" + deleted.GetText(2)
           + ")";
}

void LoadReport::OnDanglingReference(const Database::DanglingReference& reference) noexcept {
    const auto found = m_rows.find(RowKey{Lower(reference.table), reference.rowid});
    const std::string message = std::string(reference.table) + "." + reference.column + " - \"" + reference.value
                                + "\" does not exist in " + reference.referencedTable + DeletedBy(reference);
    if (found != m_rows.end())
        Print(Database::Severity::Error, found->second.file.c_str(), found->second.line, "dangling-reference",
              message.c_str(), reference.table);
    else
        Print(Database::Severity::Error, "zrdb", 0, "dangling-reference", message.c_str(), reference.table);
}

void LoadReport::PrintSummary(int loaded, int failed, long long rows, int tables, double seconds, bool fromCache) {
    std::printf("{\"summary\":true,\"loaded\":%d,\"failed\":%d,\"warnings\":%d,\"errors\":%d,\"rows\":%lld,"
                "\"tables\":%d,\"seconds\":%.3f,\"from_cache\":%s}\n",
                loaded, failed, m_warnings, m_errors, rows, tables, seconds, fromCache ? "true" : "false");
}

}  // namespace Zrdb
