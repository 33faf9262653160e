// XMLSerializer.cpp: the load driver: reading a file whole, parsing it in place, one transaction
// per file, the dispatch of the root's children and of a table's row operations, error texts and
// the package tag list.
#include "ZrGameDatabase/XMLSerializer.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "ZrGameDatabase/Connection.h"
#include "ZrGameDatabase/ResultsCache.h"
#include "base/TextFormat.h"
#include "loader/XMLSerializerImpl.h"
#include "platform/File.h"
#include "platform/Utf16.h"
#include "xml/XmlDocument.h"
#include "xml/XmlNode.h"
#include "xml/XmlNodeRange.h"

namespace Database {

using Loader::NameOf;
using Loader::Span;

namespace {

constexpr char kNoStateText[] = "Database::XMLSerializer: Out of memory.";

// Notes the offset of every line break of text (up to end) in breaks. The parse expands references
// in place and leaves the bytes it no longer needs where they were, line breaks among them, so
// lines cannot be counted in the parsed text; names and the top-level bytes stay where they were,
// so an offset into the parsed text is an offset into the original one.
bool NoteLineBreaks(Memory::Array<std::uint32_t>& breaks, const char* text, const char* end) {
    breaks.Clear();
    for (const char* at = text; (at = static_cast<const char*>(std::memchr(at, '\n', end - at))) != nullptr; ++at) {
        if (!breaks.Push(static_cast<std::uint32_t>(at - text)))
            return false;
    }
    return true;
}

// Whether the connection's last call failed, as opposed to finishing or never running.
bool DatabaseReportsError(const Connection& connection) {
    const int code = connection.ErrorCode();
    return code != SQLITE_OK && code != SQLITE_DONE;
}

}  // namespace

// {==== Life cycle and settings

XMLSerializer::XMLSerializer(Connection& connection)
    : m_connection(connection), m_useTransactions(true), m_impl(new Impl(connection)) {}

XMLSerializer::~XMLSerializer() = default;

XMLSerializer::Impl* XMLSerializer::Ready() {
    if (m_impl == nullptr)
        m_impl.reset(new Impl(m_connection));
    if (m_impl != nullptr)
        m_impl->useTransactions = m_useTransactions;
    return m_impl.get();
}

const char* XMLSerializer::ErrorMessage() const {
    return m_impl != nullptr ? m_impl->errorMessage : kNoStateText;
}

int XMLSerializer::ErrorLine() const {
    return m_impl != nullptr ? m_impl->errorLine : 0;
}

void XMLSerializer::UseTransactions(bool useTransactions) {
    m_useTransactions = useTransactions;
}

bool XMLSerializer::UseTransactions() const {
    return m_useTransactions;
}

void XMLSerializer::SetObserver(ILoadObserver* observer) {
    if (Impl* impl = Ready())
        impl->diagnostics.SetObserver(observer);
}

int XMLSerializer::WarningCount() const {
    return m_impl != nullptr ? m_impl->diagnostics.Warnings() : 0;
}

int XMLSerializer::ErrorCount() const {
    return m_impl != nullptr ? m_impl->diagnostics.Errors() : 0;
}

void XMLSerializer::SetPackageTag(const char* tag) {
    if (Impl* impl = Ready())
        impl->packageTags.SetTag(tag);
}

void XMLSerializer::AddTableToPackageTagList(const char* tableName) {
    if (Impl* impl = Ready())
        impl->packageTags.Add(tableName);
}

void XMLSerializer::RemoveTableFromPackageTagList(const char* tableName) {
    if (Impl* impl = Ready())
        impl->packageTags.Remove(tableName);
}

void XMLSerializer::ClearPackageTagList() {
    if (Impl* impl = Ready())
        impl->packageTags.Clear();
}

int XMLSerializer::PackageTagTableCount() const {
    return m_impl != nullptr ? static_cast<int>(m_impl->packageTags.TableCount()) : 0;
}

const char* XMLSerializer::PackageTagTable(int index) const {
    return m_impl != nullptr && index >= 0 ? m_impl->packageTags.Table(static_cast<std::size_t>(index)) : nullptr;
}

// }====

// {==== Entry points

bool XMLSerializer::Load(const WideChar* path) {
    ResultsCache cache(m_connection);
    return Load(path, cache);
}

bool XMLSerializer::Load(const WideChar* path, ResultsCache& cache) {
    Impl* impl = Ready();
    return impl != nullptr && impl->LoadFileFromDisk(nullptr, path, cache);
}

bool XMLSerializer::Load(const char* utf8Path) {
    ResultsCache cache(m_connection);
    return Load(utf8Path, cache);
}

bool XMLSerializer::Load(const char* utf8Path, ResultsCache& cache) {
    Impl* impl = Ready();
    return impl != nullptr && impl->LoadFileFromDisk(utf8Path, nullptr, cache);
}

bool XMLSerializer::LoadFromMemory(const WideChar* path, char* buffer, unsigned int size) {
    ResultsCache cache(m_connection);
    return LoadFromMemory(path, buffer, size, cache);
}

bool XMLSerializer::LoadFromMemory(const WideChar* path, char* buffer, unsigned int size, ResultsCache& cache) {
    Impl* impl = Ready();
    if (impl != nullptr)
        impl->SetFileName(path);
    return impl != nullptr && impl->LoadBuffer(buffer, size, cache);
}

bool XMLSerializer::LoadFromMemory(const char* utf8Path, char* buffer, unsigned int size) {
    ResultsCache cache(m_connection);
    return LoadFromMemory(utf8Path, buffer, size, cache);
}

bool XMLSerializer::LoadFromMemory(const char* utf8Path, char* buffer, unsigned int size, ResultsCache& cache) {
    Impl* impl = Ready();
    if (impl != nullptr)
        impl->SetFileName(utf8Path);
    return impl != nullptr && impl->LoadBuffer(buffer, size, cache);
}

void XMLSerializer::Impl::SetFileName(const char* utf8Path) {
    CopyUtf8(fileName, sizeof fileName, utf8Path);
}

void XMLSerializer::Impl::SetFileName(const WideChar* widePath) {
    if (widePath == nullptr)
        fileName[0] = '\0';
    else
        Platform::Utf16ToUtf8(widePath, fileName, sizeof fileName);
}

// }====

// {==== Error texts

void XMLSerializer::Impl::SetErrorMessage(const char* message) {
    FormatText(errorMessage, sizeof errorMessage, "Database::XMLSerializer (%s): %s", fileName,
               message != nullptr ? message : "No Error");
}

void XMLSerializer::Impl::SetErrorMessageAndLog(const char* message) {
    SetErrorMessage(message);
    connection->LogError(errorMessage);
}

bool XMLSerializer::Impl::ReportOutOfMemory() {
    outOfMemory = true;
    SetErrorMessageAndLog("Out of memory.");
    return false;
}

// A failure of the database is told in the database's words; a lack of memory is told as such,
// whatever the database's last call left behind.
void XMLSerializer::Impl::ReplaceErrorWithDatabaseMessage() {
    if (!outOfMemory && DatabaseReportsError(*connection))
        SetErrorMessage(connection->ErrorMessage());
}

void XMLSerializer::Impl::NoteFailedElement(const XmlNode& element) {
    failedElementName = NameOf(element).text;
}

void XMLSerializer::Impl::ComputeErrorLine(const char* buffer) {
    if (failedElementName == nullptr || buffer == nullptr || failedElementName < buffer) {
        errorLine = 0;
        return;
    }
    errorLine = Loader::LineAt(scratch.lineBreaks, static_cast<std::size_t>(failedElementName - buffer));
}

// }====

// {==== Reading a file

FileBuffer::~FileBuffer() {
    std::free(m_data);
}

bool FileBuffer::Reserve(std::uint32_t size) noexcept {
    if (m_capacity >= size)
        return true;
    char* grown = static_cast<char*>(std::realloc(m_data, size));
    if (grown == nullptr)
        return false;
    m_data = grown;
    m_capacity = size;
    return true;
}

XmlDocument* XMLSerializer::Impl::Document() noexcept {
    if (document == nullptr)
        document.reset(new XmlDocument);
    return document.get();
}

bool XMLSerializer::Impl::LoadFileFromDisk(const char* utf8Path, const WideChar* widePath, ResultsCache& cache) {
    if (widePath != nullptr)
        SetFileName(widePath);
    else
        SetFileName(utf8Path);
    errorLine = 0;
    std::uint32_t size = 0;
    if (!ReadFileIntoBuffer(utf8Path, widePath, size)) {
        SetErrorMessageAndLog("Cannot load file into memory.");
        diagnostics.Begin(fileName, nullptr, scratch.lineBreaks);
        diagnostics.Report(Severity::Error, 0, "file-unreadable", Span{"", 0}, "cannot read the file: %s", readFailure);
        diagnostics.FileDone(false);
        return false;
    }
    return LoadBuffer(fileBuffer.Data(), size + 1, cache, true);
}

// Reads the whole file into the file buffer, with one byte more for the terminating zero; the read
// asks for the file's size only, so a file that grew since it was sized can never run past the
// buffer.
bool XMLSerializer::Impl::ReadFileIntoBuffer(const char* utf8Path, const WideChar* widePath, std::uint32_t& size) {
    Platform::ReadOnlyFile file;
    const bool opened = widePath != nullptr ? file.Open(widePath) : file.Open(utf8Path);
    std::uint64_t fileSize = 0;
    readFailure = Platform::DescribeFileFailure(file.Failure());
    if (!opened || !file.Size(fileSize))
        return false;
    if (fileSize >= 0xFFFFFFFFull) {
        readFailure = "the file is larger than 4 GiB";
        return false;
    }
    const std::uint32_t needed = static_cast<std::uint32_t>(fileSize) + 1;
    if (!fileBuffer.Reserve(needed)) {
        readFailure = "no memory for its contents";
        return false;
    }
    std::size_t bytesRead = 0;
    if (!file.Read(fileBuffer.Data(), needed - 1, bytesRead))
        bytesRead = 0;
    fileBuffer.Data()[bytesRead] = '\0';
    size = static_cast<std::uint32_t>(bytesRead);
    return true;
}

// }====

// {==== Loading a buffer

// A buffer in memory ends at its first zero byte, wherever that is in its size. A file read whole
// ends at its last byte: a zero byte before it would have the rest of the file dropped without a
// word, so such a file is refused once it parsed (a file that cannot be parsed at all says so
// first, at the byte where it went wrong).
bool XMLSerializer::Impl::LoadBuffer(char* buffer, unsigned int size, ResultsCache& cache, bool wholeFile) {
    errorLine = 0;
    failedElementName = nullptr;
    outOfMemory = false;
    cause[0] = '\0';
    currentTable = Span{"", 0};
    diagnostics.Begin(fileName, buffer, scratch.lineBreaks);
    // The host may have changed a definition since the last load; the kinds are read afresh.
    columnKinds.Forget();
    scratch.lastRow.Forget();
    const bool loaded = LoadText(buffer, size, cache, wholeFile);
    diagnostics.FileDone(loaded);
    return loaded;
}

bool XMLSerializer::Impl::LoadText(char* buffer, unsigned int size, ResultsCache& cache, bool wholeFile) {
    if (&cache.Connection() != connection) {
        SetErrorMessageAndLog("ResultsCache uses different database connection than XMLSerializer.");
        return false;
    }
    // The parse stops at the first zero byte; a buffer without one inside its size would be read
    // past its end.
    const char* zero =
        buffer != nullptr && size != 0 ? static_cast<const char*>(std::memchr(buffer, '\0', size)) : nullptr;
    if (zero == nullptr) {
        SetErrorMessageAndLog("Cannot parse file.");
        diagnostics.Report(Severity::Error, 0, "file-not-xml", Span{"", 0}, "the text has no terminating zero byte within its size");
        return false;
    }
    if (ReportWideText(buffer, size)) {
        errorLine = 1;
        SetErrorMessageAndLog("Cannot parse file.");
        return false;
    }
    const bool zeroInsideFile = wholeFile && zero != buffer + size - 1;
    // The parse writes over the text, so the line of the zero byte is counted before it.
    const int zeroLine =
        zeroInsideFile ? 1 + static_cast<int>(std::count(static_cast<const char*>(buffer), zero, '\n')) : 0;
    if (!ParseBuffer(buffer, zero, zeroInsideFile, zeroLine))
        return false;
    if (LoadElements(cache))
        return true;
    ComputeErrorLine(buffer);
    ReportElementFailure();
    return false;
}

bool XMLSerializer::Impl::ParseBuffer(char* buffer, const char* zero, bool zeroInsideFile, int zeroLine) {
    XmlDocument* parsed = Document();
    if (parsed == nullptr || !NoteLineBreaks(scratch.lineBreaks, buffer, zero))
        return ReportOutOfMemory();
    Loader::RecoveryNotes notes(diagnostics);
    const bool read = parsed->Parse(buffer, diagnostics.Checking() ? &notes : nullptr);
    notes.Flush();
    if (!read) {
        if (parsed->Status() == XmlStatus::OutOfMemory)
            return ReportOutOfMemory();
        if (parsed->Status() == XmlStatus::TextOutsideRoot)
            errorLine = Loader::LineAt(scratch.lineBreaks, parsed->ErrorOffset());
        SetErrorMessageAndLog("Cannot parse file.");
        diagnostics.Report(Severity::Error, errorLine, "file-not-xml", Span{"", 0},
                           "text outside the root element: the file is not an XML data file");
        return false;
    }
    if (zeroInsideFile) {
        errorLine = zeroLine;
        SetErrorMessageAndLog("Cannot parse file.");
        diagnostics.Report(Severity::Error, errorLine, "zero-byte", Span{"", 0},
                           "the file holds a zero byte, and everything after it would be lost");
        return false;
    }
    XmlNode root;
    if (diagnostics.Active() && !parsed->FirstNode(root))
        diagnostics.Report(Severity::Warning, 0, "no-elements", Span{"", 0}, "the file holds no element; nothing was loaded");
    return true;
}

TransactionGuard::TransactionGuard(Connection& connection, bool enabled) : m_connection(connection), m_open(false) {
    if (enabled)
        m_open = connection.Execute("SAVEPOINT _;");
    m_failedToBegin = enabled && !m_open;
}

bool TransactionGuard::Commit() {
    if (!m_open)
        return true;
    if (!m_connection.Execute("RELEASE _;"))
        return false;
    m_open = false;
    return true;
}

void TransactionGuard::Rollback() {
    if (m_open && m_connection.Handle() != nullptr && sqlite3_get_autocommit(m_connection.Handle()) == 0)
        m_connection.RollbackTransaction();
    m_open = false;
}

bool XMLSerializer::Impl::LoadElements(ResultsCache& cache) {
    XmlNode root;
    const bool hasRoot = document->FirstNode(root);
    TransactionGuard transaction(*connection, useTransactions);
    if (transaction.FailedToBegin()) {
        SetErrorMessageAndLog(connection->ErrorMessage());
        return false;
    }
    if (hasRoot) {
        for (const XmlNode& element : Children(root)) {
            failedElementName = NameOf(element).text;
            currentTable = Span{"", 0};
            if (!DispatchTopLevel(element, cache)) {
                ReplaceErrorWithDatabaseMessage();
                transaction.Rollback();
                return false;
            }
        }
    }
    failedElementName = nullptr;
    if (!transaction.Commit()) {
        SetErrorMessage(connection->ErrorMessage());
        transaction.Rollback();
        return false;
    }
    return true;
}

bool XMLSerializer::Impl::DispatchTopLevel(const XmlNode& element, ResultsCache& cache) {
    if (element.NameEquals("Table", 5)) {
        columnKinds.Forget();
        return BuildTable(element);
    }
    if (element.NameEquals("AlterTable", 10)) {
        columnKinds.Forget();
        return AlterTable(element);
    }
    if (element.NameEquals("Index", 5))
        return CreateIndex(element);
    if (element.NameEquals("DeleteMissingReferences", 23))
        return DeleteMissingReferences(element);
    return UpdateTable(element, cache);
}

bool XMLSerializer::Impl::UpdateTable(const XmlNode& element, ResultsCache& cache) {
    const Span table = NameOf(element);
    currentTable = table;
    for (const XmlNode& child : Children(element)) {
        NoteFailedElement(child);
        if (!UpdateRow(child, cache, table)) {
            ReplaceErrorWithDatabaseMessage();
            char context[256];
            FormatText(context, sizeof context, "In XMLSerializer while updating table %.*s from file %s.",
                       static_cast<int>(table.length), table.text, fileName);
            connection->LogMessage(context);
            return false;
        }
    }
    return true;
}

// One child of a table element: a row to insert, update or delete.
bool XMLSerializer::Impl::UpdateRow(const XmlNode& child, ResultsCache& cache, Span table) {
    if (child.NameEquals("Row", 3))
        return InsertRow(child, cache, table, InsertMode::Plain);
    if (child.NameEquals("Delete", 6))
        return DeleteRows(child, table);
    if (child.NameEquals("Update", 6))
        return UpdateRows(child, table);
    if (child.NameEquals("Replace", 7))
        return InsertRow(child, cache, table, InsertMode::Replace);
    if (child.NameEquals("InsertOrIgnore", 14))
        return InsertRow(child, cache, table, InsertMode::Ignore);
    if (child.NameEquals("InsertOrAbort", 13))
        return InsertRow(child, cache, table, InsertMode::Abort);
    const Span name = NameOf(child);
    char message[256];
    FormatText(message, sizeof message, "'Row' or 'Delete' expected, got '%.*s'.", static_cast<int>(name.length),
               name.text);
    SetErrorMessageAndLog(message);
    return false;
}

// }====

}  // namespace Database
