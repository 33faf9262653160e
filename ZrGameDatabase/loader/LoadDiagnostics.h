// LoadDiagnostics.h: what one load tells its observer: problems, each with its line and code,
// and the rows it writes. Every report is asked for with Active() (rows with ReportingRows()) first,
// so that a load without an observer spends nothing here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "ZrGameDatabase/LoadObserver.h"
#include "base/Array.h"
#include "base/StringMap.h"
#include "base/TextFormat.h"
#include "core/SqlText.h"
#include "loader/XMLSerializerInternal.h"
#include "xml/XmlRecovery.h"

namespace Database {

class Connection;

namespace Loader {

// The 1-based line of the byte at offset, by the offsets of the text's line breaks.
int LineAt(const Memory::Array<std::uint32_t>& breaks, std::size_t offset);

class LoadDiagnostics {
public:
    void SetObserver(ILoadObserver* observer) noexcept { m_observer = observer; }
    ILoadObserver* Observer() const noexcept { return m_observer; }
    bool Active() const noexcept { return m_observer != nullptr; }
    // Whether the checks that only find problems to report are to run for this load: the observer
    // wants diagnostics. The file's result is reported whenever Active, rows written whenever
    // ReportingRows.
    bool Checking() const noexcept { return m_checking; }
    // Whether the rows written are to be reported for this load: the observer wants them.
    bool ReportingRows() const noexcept { return m_reportingRows; }

    // Starts the reports of one load of file, whose text starts at text and has its line breaks
    // at breaks (which must stay valid for the load).
    void Begin(const char* file, const char* text, const Memory::Array<std::uint32_t>& breaks) noexcept;
    // The line of a position in the text; 0 outside it.
    int LineOf(const char* position) const noexcept;
    int LineOfOffset(std::size_t offset) const noexcept;

    // printf into a bounded message; the file is the load's, table the one concerned (may be empty).
    void Report(Severity severity, int line, const char* code, Span table, const char* format, ...) noexcept
        ZRDB_PRINTF_FORMAT(6, 7);
    void RowWritten(const RowChange& change) noexcept;
    void FileDone(bool committed) noexcept;

    int Warnings() const noexcept { return m_warnings; }
    int Errors() const noexcept { return m_errors; }

private:
    ILoadObserver* m_observer = nullptr;
    const char* m_file = "";
    const char* m_text = nullptr;
    const Memory::Array<std::uint32_t>* m_breaks = nullptr;
    bool m_checking = false;
    bool m_reportingRows = false;
    mutable std::size_t m_breaksBefore = 0;  // line breaks before the position asked for last
    int m_warnings = 0;
    int m_errors = 0;
};

// The reader's recoveries, told to the observer as warnings at their lines.
// A start tag dropped because of one of its attributes is one problem, told once, with the
// attribute: the start tag's note waits for the attribute's that may follow it.
class RecoveryNotes final : public XmlRecoveryListener {
public:
    explicit RecoveryNotes(LoadDiagnostics& diagnostics) noexcept : m_diagnostics(diagnostics) {}
    ~RecoveryNotes() { Flush(); }
    RecoveryNotes(const RecoveryNotes&) = delete;
    RecoveryNotes& operator=(const RecoveryNotes&) = delete;

    void OnRecovery(const XmlRecovery& recovery) noexcept override;
    // Tells the start tag still waiting, if any.
    void Flush() noexcept;

private:
    void Tell(const XmlRecovery& recovery) noexcept;

    LoadDiagnostics& m_diagnostics;
    char m_droppedTag[128] = {};  // name of the start tag waiting for its attribute's note
    int m_droppedTagLine = 0;     // 0: none waiting
};

// How the loader's value rules treat a column: by its declared type, read once per table and
// load from the table's definition.
class ColumnKinds {
public:
    enum class Kind : std::uint8_t { Unknown, Text, Boolean, Other };
    // The kinds of a row's columns, in the row's order.
    struct Row {
        const Kind* kinds;        // valid until the next call
        bool namesAreUtf8;        // whether every column name is well-formed UTF-8
    };

    Kind Of(const Connection& connection, Span table, Span column) noexcept;
    // The kinds of the columns names of table, filed under head, the row statement's head that
    // names table and columns alike: a file's rows share a few column lists, so each list is looked
    // up once, not each value. False when no memory was left for them.
    bool OfRow(const Connection& connection, Span table, std::string_view head, const ColumnNameSet& names,
               Row& row) noexcept;
    // Definitions change with Table and AlterTable elements: what was read is read again.
    void Forget() noexcept;

private:
    struct RowEntry {
        std::uint32_t first;  // where the row's kinds start in m_rowKinds
        bool namesAreUtf8;
    };

    bool Read(const Connection& connection, Span table) noexcept;
    void Key(Span table, Span column) noexcept;
    void Remember(std::string_view head, RowEntry entry) noexcept;

    Memory::StringMap<Kind> m_kinds;  // "table\x1fcolumn", both in lower case
    SqlText m_key;
    Memory::StringMap<RowEntry> m_rows;  // by row statement head
    Memory::Array<Kind> m_rowKinds;
    SqlText m_lastHead;  // the head asked for last, and what it found
    RowEntry m_last{};
    bool m_hasLast = false;
};

// The first byte of text that is no part of a well-formed UTF-8 character, or -1.
long long InvalidUtf8At(std::string_view text) noexcept;

}  // namespace Loader
}  // namespace Database
