// LoadReport.h: what `zrdb load` tells its user about the files it loads: one line per problem,
// in the FILE:LINE form editors and CI read, or one JSON object per line for programs; and, for
// --validate, which file wrote a row that refers to nothing.
#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "Options.h"
#include "ZrGameDatabase/Connection.h"
#include "ZrGameDatabase/LoadObserver.h"

namespace Zrdb {

class ProgressLine;

class LoadReport : public Database::ILoadObserver, public Database::IReferenceListener {
public:
    LoadReport(OutputFormat format, ProgressLine& progress) : m_format(format), m_progress(progress) {}

    void OnDiagnostic(const Database::Diagnostic& diagnostic) noexcept override;
    bool WantsRowChanges() const noexcept override { return m_trackRows; }
    void OnRowChange(const Database::RowChange& change) noexcept override;
    void OnFileDone(const char* file, bool committed) noexcept override;
    void OnDanglingReference(const Database::DanglingReference& reference) noexcept override;

    // One problem that zrdb itself finds (a folder without data files, a file that --strict
    // refuses), printed as the loader's are.
    void Report(Database::Severity severity, const std::string& file, int line, const char* code,
                const std::string& message);
    // A file's load begins, and ends: kept false when it failed or --strict rolled it back, and
    // the rows it wrote are then forgotten.
    void BeginFile();
    void EndFile(bool kept);
    // Errors reported for the file being loaded; a failed file with none gets its error text.
    int FileErrors() const { return m_fileErrors; }
    // Every warning and error reported so far.
    int Warnings() const { return m_warnings; }
    int Errors() const { return m_errors; }
    // Remembers which file and line wrote each row, for --validate; off by default, since it costs
    // an entry per row of the load.
    void TrackRows(bool track) { m_trackRows = track; }
    // With a provenance record on connection, a dangling reference also names who deleted the row
    // it referred to.
    void UseProvenance(Database::Connection* connection) { m_provenance = connection; }
    // The final summary object of the JSON form.
    void PrintSummary(int loaded, int failed, long long rows, int tables, double seconds, bool fromCache);

private:
    struct Origin {
        std::string file;
        int line;
    };
    using RowKey = std::pair<std::string, long long>;  // table in lower case, rowid

    void Print(Database::Severity severity, const char* file, int line, const char* code, const char* message,
               const char* table);

    std::string DeletedBy(const Database::DanglingReference& reference);

    OutputFormat m_format;
    Database::Connection* m_provenance = nullptr;
    bool m_trackRows = false;
    ProgressLine& m_progress;
    std::vector<std::pair<RowKey, Origin>> m_fileRows;  // rows of the file being loaded
    std::map<RowKey, Origin> m_rows;                    // rows of the files that loaded
    int m_fileErrors = 0;
    int m_warnings = 0;
    int m_errors = 0;
};

// A text as a JSON string, quotes included.
std::string JsonString(const char* text);

}  // namespace Zrdb
