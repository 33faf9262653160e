// XMLSerializer.cpp: the load driver: reading a file whole, parsing it in place, one transaction
// per file, the dispatch of the root's children and of a table's row operations, error texts and
// the package tag list.
#include "ZrGameDatabase/XMLSerializer.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/TextFormat.h"
#include "loader/XMLSerializerInternal.h"
#include "ZrGameDatabase/Connection.h"
#include "ZrGameDatabase/ResultsCache.h"
#include "platform/File.h"
#include "platform/Utf16.h"
#include "xml/XmlDocument.h"
#include "xml/XmlNode.h"

namespace Database {

using Loader::NameOf;
using Loader::Span;

namespace {

// Copies a UTF-8 text into a fixed field without cutting a character in half.
void CopyUtf8(char* field, std::size_t fieldSize, const char* text) {
    std::size_t length = text != nullptr ? std::strlen(text) : 0;
    if (length >= fieldSize) {
        length = fieldSize - 1;
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80)
            --length;
    }
    if (length > 0)
        std::memcpy(field, text, length);
    field[length] = '\0';
}

// Notes the offset of every line break of text (up to end) in breaks. The parse expands references
// in place and leaves the bytes it no longer needs where they were, line breaks among them, so
// lines cannot be counted in the parsed text; names and the top-level bytes stay where they were,
// so an offset into the parsed text is an offset into the original one.
void NoteLineBreaks(Memory::Vector<std::uint32_t>& breaks, const char* text, const char* end) {
    breaks.clear();
    for (const char* at = text; (at = static_cast<const char*>(std::memchr(at, '\n', end - at))) != nullptr; ++at)
        breaks.push_back(static_cast<std::uint32_t>(at - text));
}

// The 1-based line of the byte at offset, by the breaks NoteLineBreaks found.
int LineOf(const Memory::Vector<std::uint32_t>& breaks, std::size_t offset) {
    return 1 + static_cast<int>(std::lower_bound(breaks.begin(), breaks.end(), offset) - breaks.begin());
}

// Whether the connection's last call failed, as opposed to finishing or never running.
bool DatabaseReportsError(const Connection& connection) {
    const int code = connection.ErrorCode();
    return code != SQLITE_OK && code != SQLITE_DONE;
}

}  // namespace

// {==== Life cycle and settings

XMLSerializer::XMLSerializer(Connection& connection)
    : m_fileName{}, m_errorMessage{}, m_connection(&connection), m_fileBuffer(nullptr), m_fileCapacity(0),
      m_useTransactions(true), m_packageTags(nullptr), m_scratch(nullptr), m_failedElementName(nullptr),
      m_errorLine(0) {}

XMLSerializer::~XMLSerializer() {
    std::free(m_fileBuffer);
    delete m_packageTags;
    delete m_scratch;
}

void XMLSerializer::SetPackageTag(const char* tag) {
    if (m_packageTags == nullptr && (m_packageTags = new PackageTags) == nullptr)
        return;
    try {
        m_packageTags->tag.assign(tag != nullptr ? tag : "");
    } catch (const std::bad_alloc&) {
        m_packageTags->tag.clear();
    }
}

void XMLSerializer::AddTableToPackageTagList(const char* tableName) {
    if (tableName == nullptr)
        return;
    if (m_packageTags == nullptr && (m_packageTags = new PackageTags) == nullptr)
        return;
    try {
        m_packageTags->tables.emplace_back(tableName);
    } catch (const std::bad_alloc&) {
        // The table stays untagged; nothing else changes.
    }
}

void XMLSerializer::RemoveTableFromPackageTagList(const char* tableName) {
    if (tableName == nullptr || m_packageTags == nullptr)
        return;
    auto& tables = m_packageTags->tables;
    const auto found = std::find(tables.begin(), tables.end(), std::string_view(tableName));
    if (found != tables.end())
        tables.erase(found);
}

void XMLSerializer::ClearPackageTagList() {
    if (m_packageTags != nullptr)
        m_packageTags->tables.clear();
}

bool XMLSerializer::IsPackageTagged(const char* table, std::uint32_t tableLength) const {
    if (m_packageTags == nullptr)
        return false;
    const std::string_view name(table, tableLength);
    for (const Memory::String& tagged : m_packageTags->tables) {
        if (std::string_view(tagged.data(), tagged.size()) == name)
            return true;
    }
    return false;
}

// }====

// {==== Error texts

void XMLSerializer::SetErrorMessage(const char* message) {
    FormatText(m_errorMessage, sizeof m_errorMessage, "Database::XMLSerializer (%s): %s", m_fileName,
                  message != nullptr ? message : "No Error");
}

void XMLSerializer::SetErrorMessageAndLog(const char* message) {
    SetErrorMessage(message);
    m_connection->LogError(m_errorMessage);
}

void XMLSerializer::ReplaceErrorWithDatabaseMessage() {
    if (DatabaseReportsError(*m_connection))
        SetErrorMessage(m_connection->ErrorMessage());
}

void XMLSerializer::NoteFailedElement(const XmlNode& element) {
    m_failedElementName = NameOf(element).text;
}

void XMLSerializer::ComputeErrorLine(const char* buffer) {
    if (m_failedElementName == nullptr || buffer == nullptr || m_failedElementName < buffer || m_scratch == nullptr) {
        m_errorLine = 0;
        return;
    }
    m_errorLine = LineOf(m_scratch->lineBreaks, static_cast<std::size_t>(m_failedElementName - buffer));
}

// }====

// {==== Entry points

bool XMLSerializer::Load(const WideChar* path) {
    ResultsCache cache(*m_connection);
    return Load(path, cache);
}

bool XMLSerializer::Load(const WideChar* path, ResultsCache& cache) {
    SetFileName(path);
    return LoadFileFromDisk(nullptr, path, cache);
}

bool XMLSerializer::Load(const char* utf8Path) {
    ResultsCache cache(*m_connection);
    return Load(utf8Path, cache);
}

bool XMLSerializer::Load(const char* utf8Path, ResultsCache& cache) {
    SetFileName(utf8Path);
    return LoadFileFromDisk(utf8Path, nullptr, cache);
}

bool XMLSerializer::LoadFromMemory(const WideChar* path, char* buffer, unsigned int size) {
    ResultsCache cache(*m_connection);
    return LoadFromMemory(path, buffer, size, cache);
}

bool XMLSerializer::LoadFromMemory(const WideChar* path, char* buffer, unsigned int size, ResultsCache& cache) {
    SetFileName(path);
    return LoadBuffer(buffer, size, cache);
}

bool XMLSerializer::LoadFromMemory(const char* utf8Path, char* buffer, unsigned int size) {
    ResultsCache cache(*m_connection);
    return LoadFromMemory(utf8Path, buffer, size, cache);
}

bool XMLSerializer::LoadFromMemory(const char* utf8Path, char* buffer, unsigned int size, ResultsCache& cache) {
    SetFileName(utf8Path);
    return LoadBuffer(buffer, size, cache);
}

void XMLSerializer::SetFileName(const char* utf8Path) {
    CopyUtf8(m_fileName, sizeof m_fileName, utf8Path);
}

void XMLSerializer::SetFileName(const WideChar* widePath) {
    if (widePath == nullptr)
        m_fileName[0] = '\0';
    else
        Platform::Utf16ToUtf8(widePath, m_fileName, sizeof m_fileName);
}

// }====

// {==== Reading a file

bool XMLSerializer::LoadFileFromDisk(const char* utf8Path, const WideChar* widePath, ResultsCache& cache) {
    m_errorLine = 0;
    std::uint32_t size = 0;
    if (!ReadFileIntoBuffer(utf8Path, widePath, size)) {
        SetErrorMessageAndLog("Cannot load file into memory.");
        return false;
    }
    return LoadBuffer(m_fileBuffer, size + 1, cache, true);
}

// Reads the whole file into the serializer's buffer, which grows to the largest file and is kept.
// The buffer holds one byte more than the file, for the terminating zero; the read asks for the
// file's size only, so a file that grew since it was sized can never run past the buffer.
bool XMLSerializer::ReadFileIntoBuffer(const char* utf8Path, const WideChar* widePath, std::uint32_t& size) {
    Platform::ReadOnlyFile file;
    const bool opened = widePath != nullptr ? file.Open(widePath) : file.Open(utf8Path);
    std::uint64_t fileSize = 0;
    if (!opened || !file.Size(fileSize) || fileSize >= 0xFFFFFFFFull)
        return false;
    const std::uint32_t needed = static_cast<std::uint32_t>(fileSize) + 1;
    if (m_fileCapacity < needed) {
        char* grown = static_cast<char*>(std::realloc(m_fileBuffer, needed));
        if (grown == nullptr)
            return false;
        m_fileBuffer = grown;
        m_fileCapacity = needed;
    }
    std::size_t bytesRead = 0;
    if (!file.Read(m_fileBuffer, needed - 1, bytesRead))
        bytesRead = 0;
    m_fileBuffer[bytesRead] = '\0';
    size = static_cast<std::uint32_t>(bytesRead);
    return true;
}

// }====

// {==== Loading a buffer

// A buffer in memory ends at its first zero byte, wherever that is in its size. A file read whole
// ends at its last byte: a zero byte before it would have the rest of the file dropped without a
// word, so such a file is refused once it parsed (a file that cannot be parsed at all says so
// first, at the byte where it went wrong).
bool XMLSerializer::LoadBuffer(char* buffer, unsigned int size, ResultsCache& cache, bool wholeFile) {
    m_errorLine = 0;
    m_failedElementName = nullptr;
    if (&cache.Connection() != m_connection) {
        SetErrorMessageAndLog("ResultsCache uses different database connection than XMLSerializer.");
        return false;
    }
    // The parse stops at the first zero byte; a buffer without one inside its size would be read
    // past its end.
    const char* zero =
        buffer != nullptr && size != 0 ? static_cast<const char*>(std::memchr(buffer, '\0', size)) : nullptr;
    if (zero == nullptr) {
        SetErrorMessageAndLog("Cannot parse file.");
        return false;
    }
    const bool zeroInsideFile = wholeFile && zero != buffer + size - 1;
    // The parse writes over the text, so the line of the zero byte is counted before it.
    const int zeroLine =
        zeroInsideFile ? 1 + static_cast<int>(std::count(static_cast<const char*>(buffer), zero, '\n')) : 0;
    try {
        if (m_scratch == nullptr && (m_scratch = new Loader::LoaderScratch) == nullptr)
            throw std::bad_alloc();
        if (m_scratch->document == nullptr && (m_scratch->document = new XmlDocument) == nullptr)
            throw std::bad_alloc();
        XmlDocument& document = *m_scratch->document;
        NoteLineBreaks(m_scratch->lineBreaks, buffer, zero);
        if (!document.Parse(buffer)) {
            if (document.Status() == XmlStatus::TextOutsideRoot)
                m_errorLine = LineOf(m_scratch->lineBreaks, document.ErrorOffset());
            SetErrorMessageAndLog("Cannot parse file.");
            return false;
        }
        if (zeroInsideFile) {
            m_errorLine = zeroLine;
            SetErrorMessageAndLog("Cannot parse file.");
            return false;
        }
        if (LoadElements(document, cache))
            return true;
        ComputeErrorLine(buffer);
        return false;
    } catch (const std::bad_alloc&) {
        // Out of memory while building a statement: the transaction, if open, was rolled back by
        // LoadElements' guard.
        SetErrorMessageAndLog("Out of memory.");
        ComputeErrorLine(buffer);
        return false;
    }
}

namespace {

// The file's transaction: rolled back unless committed, so that every way out of a failed load,
// an out-of-memory exception included, leaves the database as it was before the file.
class FileTransaction {
public:
    FileTransaction(Connection& connection, bool enabled) : m_connection(connection), m_open(false) {
        if (enabled)
            m_open = connection.Execute("SAVEPOINT _;");
        m_failedToBegin = enabled && !m_open;
    }
    ~FileTransaction() { Rollback(); }
    FileTransaction(const FileTransaction&) = delete;
    FileTransaction& operator=(const FileTransaction&) = delete;

    bool FailedToBegin() const { return m_failedToBegin; }
    // Releases the savepoint, committing the file when it is the outermost. A release refused by
    // the database (a lock it could not get, say) is a failed load, rolled back.
    bool Commit() {
        if (!m_open)
            return true;
        if (!m_connection.Execute("RELEASE _;"))
            return false;
        m_open = false;
        return true;
    }
    // A reference purge that failed has rolled the whole transaction back already; a second
    // rollback would only log that there is nothing to roll back.
    void Rollback() {
        if (m_open && m_connection.Handle() != nullptr && sqlite3_get_autocommit(m_connection.Handle()) == 0)
            m_connection.RollbackTransaction();
        m_open = false;
    }

private:
    Connection& m_connection;
    bool m_open;
    bool m_failedToBegin;
};

}  // namespace

bool XMLSerializer::LoadElements(XmlDocument& document, ResultsCache& cache) {
    XmlNode root;
    const bool hasRoot = document.FirstNode(root);
    FileTransaction transaction(*m_connection, m_useTransactions);
    if (transaction.FailedToBegin()) {
        SetErrorMessageAndLog(m_connection->ErrorMessage());
        return false;
    }
    XmlNode element;
    bool more = hasRoot && root.FirstChild(element);
    while (more) {
        m_failedElementName = NameOf(element).text;
        if (!DispatchTopLevel(element, cache)) {
            ReplaceErrorWithDatabaseMessage();
            transaction.Rollback();
            return false;
        }
        XmlNode next;
        more = element.NextSibling(next);
        element = next;
    }
    m_failedElementName = nullptr;
    if (!transaction.Commit()) {
        SetErrorMessage(m_connection->ErrorMessage());
        transaction.Rollback();
        return false;
    }
    return true;
}

bool XMLSerializer::DispatchTopLevel(const XmlNode& element, ResultsCache& cache) {
    if (element.NameEquals("Table", 5))
        return BuildTable(element);
    if (element.NameEquals("AlterTable", 10))
        return AlterTable(element);
    if (element.NameEquals("Index", 5))
        return CreateIndex(element);
    if (element.NameEquals("DeleteMissingReferences", 23))
        return DeleteMissingReferences(element);
    return UpdateTable(element, cache);
}

bool XMLSerializer::UpdateTable(const XmlNode& element, ResultsCache& cache) {
    const Span table = NameOf(element);
    XmlNode child;
    bool more = element.FirstChild(child);
    while (more) {
        NoteFailedElement(child);
        bool succeeded;
        if (child.NameEquals("Row", 3))
            succeeded = InsertRow(child, cache, table.text, table.length, InsertMode::Plain);
        else if (child.NameEquals("Delete", 6))
            succeeded = DeleteRows(child, table.text, table.length);
        else if (child.NameEquals("Update", 6))
            succeeded = UpdateRows(child, table.text, table.length);
        else if (child.NameEquals("Replace", 7))
            succeeded = InsertRow(child, cache, table.text, table.length, InsertMode::Replace);
        else if (child.NameEquals("InsertOrIgnore", 14))
            succeeded = InsertRow(child, cache, table.text, table.length, InsertMode::Ignore);
        else if (child.NameEquals("InsertOrAbort", 13))
            succeeded = InsertRow(child, cache, table.text, table.length, InsertMode::Abort);
        else {
            const Span name = NameOf(child);
            char message[256];
            FormatText(message, sizeof message, "'Row' or 'Delete' expected, got '%.*s'.",
                          static_cast<int>(name.length), name.text);
            SetErrorMessageAndLog(message);
            succeeded = false;
        }
        if (!succeeded) {
            ReplaceErrorWithDatabaseMessage();
            char context[256];
            FormatText(context, sizeof context, "In XMLSerializer while updating table %.*s from file %s.",
                          static_cast<int>(table.length), table.text, m_fileName);
            m_connection->LogMessage(context);
            return false;
        }
        XmlNode next;
        more = child.NextSibling(next);
        child = next;
    }
    return true;
}

// }====

}  // namespace Database
