// XMLSerializerImpl.h: the state of one XMLSerializer and the handlers of its elements, split over
// the loader's units: the driver (XMLSerializer.cpp), table definitions (XMLSerializerTables.cpp),
// rows (XMLSerializerRows.cpp), and updates, deletes and purges (XMLSerializerUpdates.cpp).
//
// Handlers return false when the element failed, with the error text set. The library throws
// nothing: a step that runs out of memory says so through ReportOutOfMemory and fails the element
// like any other failure, so the file's transaction rolls back the same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "ZrGameDatabase/XMLSerializer.h"
#include "base/Memory.h"
#include "loader/LoadDiagnostics.h"
#include "loader/XMLSerializerInternal.h"
#include "xml/XmlDocument.h"

namespace Database {

class Connection;
class ResultsCache;
class XmlNode;

// The whole contents of the last file read from disk, and a terminating zero. Grows to the largest
// file and is kept for the next.
class FileBuffer {
public:
    FileBuffer() noexcept = default;
    ~FileBuffer();
    FileBuffer(const FileBuffer&) = delete;
    FileBuffer& operator=(const FileBuffer&) = delete;

    // Room for size bytes; false, the buffer as it was, when none could be had.
    bool Reserve(std::uint32_t size) noexcept;
    char* Data() const noexcept { return m_data; }

private:
    char* m_data = nullptr;
    std::uint32_t m_capacity = 0;
};

// A transaction of the loader: one per file, and one for each reference purge. Rolled back unless
// committed, so that every way out of a failed load leaves the database as it was before it.
class TransactionGuard {
public:
    TransactionGuard(Connection& connection, bool enabled);
    ~TransactionGuard() { Rollback(); }
    TransactionGuard(const TransactionGuard&) = delete;
    TransactionGuard& operator=(const TransactionGuard&) = delete;

    bool FailedToBegin() const { return m_failedToBegin; }
    // Releases the savepoint, committing when it is the outermost. A release refused by the
    // database (a lock it could not get, say) is a failure, rolled back.
    bool Commit();
    // Rolls the whole transaction back, unless it was rolled back already (a second rollback would
    // only log that there is nothing to roll back).
    void Rollback();

private:
    Connection& m_connection;
    bool m_open;
    bool m_failedToBegin;
};

// The rows an Update, Delete or purge is about to touch, for the observer.
struct MatchedRows {
    struct Row {
        long long rowid;
        std::size_t tableAt;  // offsets in texts; -1 for a null key
        std::size_t keyAt;
    };
    void Clear() noexcept;

    Memory::Array<Row> rows;
    SqlText texts;  // terminated table names and keys
};

// Made with the serializer, on the C heap like the connection it belongs to, so that a module
// allocator that has run dry leaves the serializer able to report the failure of each load.
struct XMLSerializer::Impl {
    using InsertMode = Loader::InsertMode;
    enum class DefinitionCheck { Run, Refused, Failed };

    explicit Impl(Connection& connection) noexcept : connection(&connection) {}
    // Null when the C heap is exhausted; the serializer then tries again on its next call.
    static void* operator new(std::size_t size) noexcept { return std::malloc(size); }
    static void operator delete(void* block) noexcept { std::free(block); }
    // The document, made on the first load that needs it; null when no memory was left for it.
    XmlDocument* Document() noexcept;

    // Driver.
    bool LoadFileFromDisk(const char* utf8Path, const WideChar* widePath, ResultsCache& cache);
    bool ReadFileIntoBuffer(const char* utf8Path, const WideChar* widePath, std::uint32_t& size);
    bool LoadBuffer(char* buffer, unsigned int size, ResultsCache& cache, bool wholeFile = false);
    bool LoadText(char* buffer, unsigned int size, ResultsCache& cache, bool wholeFile);
    bool ParseBuffer(char* buffer, const char* zero, bool zeroInsideFile, int zeroLine);
    bool LoadElements(ResultsCache& cache);
    bool DispatchTopLevel(const XmlNode& element, ResultsCache& cache);
    bool UpdateTable(const XmlNode& element, ResultsCache& cache);
    bool UpdateRow(const XmlNode& child, ResultsCache& cache, Loader::Span table);
    void SetFileName(const char* utf8Path);
    void SetFileName(const WideChar* widePath);

    // Error texts.
    void SetErrorMessage(const char* message);
    void SetErrorMessageAndLog(const char* message);
    // Always false, for the handler to return.
    bool ReportOutOfMemory();
    void ReplaceErrorWithDatabaseMessage();
    void NoteFailedElement(const XmlNode& element);
    void ComputeErrorLine(const char* buffer);

    // Table definitions.
    bool BuildTable(const XmlNode& element);
    bool AlterTable(const XmlNode& element);
    bool AddColumn(const XmlNode& column, Loader::Span table);
    bool CreateIndex(const XmlNode& element);
    bool RunDefinition(const SqlText& statement, const char* element, Loader::Span table);
    void StoreUnexpectedChild(const char* format, const XmlNode& child);
    void LogBuildContext(Loader::Span table);
    DefinitionCheck CheckDefinition(const char* statement, std::size_t length, const char* element);

    // Row operations.
    bool InsertRow(const XmlNode& element, ResultsCache& cache, Loader::Span table, InsertMode mode);
    bool ReadRowColumns(const XmlNode& element, Loader::Span table);
    void BuildRowHead(Loader::Span table, InsertMode mode, bool tagged);
    Results* CachedRowStatement(ResultsCache& cache);
    bool InsertEmptyRow(ResultsCache& cache, Loader::Span table, InsertMode mode);
    Results* RowStatement(ResultsCache& cache, const SqlText& name, const SqlText& statement);
    bool RunRow(Results& row, InsertMode mode);
    bool FitsColumnLimit(std::size_t columns);
    bool AddRowColumn(const char* element, Loader::Span name, Loader::Span value);
    void LogInsertFailure();
    bool DeleteRows(const XmlNode& element, Loader::Span table);
    bool UpdateRows(const XmlNode& element, Loader::Span table);
    bool AppendConditions(const XmlNode& where);
    bool RunChange(const char* failure, const char* what, Loader::Span table);
    bool WhereColumnsExist(Loader::Span table);
    bool DeleteMissingReferences(const XmlNode& element);
    bool TableExists(Loader::Span table);
    bool CollectRows(Loader::Span table);
    bool CollectPurgedRows(const char* table);

    // Reports to the observer (XMLSerializerChecks.cpp); called only while one is set.
    // at: where the value is written, for the line of a report.
    void CheckValue(Loader::Span table, Loader::Span column, Loader::Span written, Loader::ColumnKinds::Kind kind,
                    const char* at);
    void CheckName(Loader::Span table, Loader::Span column);
    void CheckRowColumns(const XmlNode& element, Loader::Span table);
    void CheckRowValues(const XmlNode& element, Loader::Span table);
    void CheckUpdateShape(const XmlNode& element, Loader::Span table);
    void ReportRowInserted(Loader::Span table, int line, InsertMode mode);
    // XMLSerializerChanges.cpp.
    bool CollectMatchedRows(const char* table, std::string_view condition, const Loader::Span* values,
                            std::size_t valueCount);
    void ReportMatchedRows(ChangeKind kind, int line);
    template <class NameAt>
    bool BuildColumnTexts(std::size_t count, NameAt nameAt, const Memory::Array<Loader::Span>& values);
    void ReportElementFailure();
    bool ReportWideText(const char* buffer, unsigned int size);

    char fileName[256] = {};      // UTF-8 name of the file being loaded, for messages
    char errorMessage[512] = {};  // the last error text
    Connection* connection;       // the database written to; not owned
    FileBuffer fileBuffer;        // file contents of the last Load
    bool useTransactions = true;  // one transaction per file
    Loader::PackageTags packageTags;
    Loader::LoaderScratch scratch;
    std::unique_ptr<XmlDocument> document;  // reused from file to file, with its node pool
    const char* failedElementName = nullptr;  // name of the element being handled, for ErrorLine
    int errorLine = 0;                        // line of the element whose handling failed, or 0
    bool outOfMemory = false;                 // the failure being reported is a lack of memory
    Loader::Span currentTable{"", 0};         // the table element being read, for reports
    char cause[512] = {};                     // the database's reason for the failure, when the loader knows it
    const char* readFailure = "";             // why the last file could not be read
    Loader::LoadDiagnostics diagnostics;      // the observer and what it was told of this load
    Loader::ColumnKinds columnKinds;          // declared kinds of the columns values go to
    Memory::Array<const char*> rowPointers;   // column names and values of a reported row
    SqlText rowTexts;                         // the texts they point at
    MatchedRows matched;                      // rows of the change being run
    // Rows the last Update or Delete changed, read before they are reported: an observer may write
    // to the connection when it hears of them, and the count would then be its own.
    int changedRows = 0;
    std::size_t whereStart = 0;               // where the condition starts in the change's statement
};

}  // namespace Database
