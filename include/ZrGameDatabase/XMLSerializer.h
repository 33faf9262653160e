// XMLSerializer.h: Database::XMLSerializer, the loader of XML data files.
//
// A data file's root element holds, in any order, table definitions ("Table", "AlterTable",
// "Index"), reference purges ("DeleteMissingReferences") and table contents: an element named
// after a table whose children insert ("Row", "Replace", "InsertOrIgnore", "InsertOrAbort"),
// update ("Update") and delete ("Delete") rows. Each file is loaded inside one transaction by
// default: the first element that fails stops the file and rolls it back, so a broken file
// changes nothing. Rows inserted with child elements into the tables on the package tag list get
// the column PackageID with the current package tag.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ZrGameDatabase/Platform.h"

namespace Database {

class Connection;
class ResultsCache;
class XmlDocument;
class XmlNode;
struct PackageTags;
namespace Loader {
struct LoaderScratch;
}

class ZRDB_API XMLSerializer {
public:
    explicit XMLSerializer(Connection& connection);
    ~XMLSerializer();
    XMLSerializer(const XMLSerializer&) = delete;
    XMLSerializer& operator=(const XMLSerializer&) = delete;

    // Reads the file at path whole and loads it. With a cache, row statements are prepared into
    // it and stay there for later loads; without, a cache lives for this file only. False, with
    // ErrorMessage and ErrorLine saying why and where, when the file cannot be read or parsed or
    // an element fails.
    bool Load(const WideChar* path);
    bool Load(const WideChar* path, ResultsCache& cache);
    // The same for hosts that hold UTF-8 paths.
    bool Load(const char* utf8Path);
    bool Load(const char* utf8Path, ResultsCache& cache);

    // Loads a data file already in memory. buffer holds the text followed by a zero byte; size
    // counts its bytes including that zero. The buffer is parsed in place (changed) and must stay
    // valid for the call. path only names the file in messages.
    bool LoadFromMemory(const WideChar* path, char* buffer, unsigned int size);
    bool LoadFromMemory(const WideChar* path, char* buffer, unsigned int size, ResultsCache& cache);
    bool LoadFromMemory(const char* utf8Path, char* buffer, unsigned int size);
    bool LoadFromMemory(const char* utf8Path, char* buffer, unsigned int size, ResultsCache& cache);

    // "Database::XMLSerializer (FILE): MESSAGE" for the last failure; empty until one happens. A
    // successful load leaves it as it was.
    const char* ErrorMessage() const { return m_errorMessage; }
    // The 1-based line, in the file last loaded, of the element whose handling failed; 0 when the
    // last load succeeded or its failure had no element (an unreadable file, say).
    int ErrorLine() const { return m_errorLine; }

    void UseTransactions(bool useTransactions) { m_useTransactions = useTransactions; }
    bool UseTransactions() const { return m_useTransactions; }

    // The value rows of the tagged tables receive in PackageID; null empties it.
    void SetPackageTag(const char* tag);
    // Tables whose rows are tagged: kept in order, duplicates allowed; null names are ignored.
    void AddTableToPackageTagList(const char* tableName);
    // Removes the first entry equal to tableName (exact, case-sensitive), if any.
    void RemoveTableFromPackageTagList(const char* tableName);
    void ClearPackageTagList();

private:
    enum class ValueType { Null, Text, Integer, Real };
    enum class InsertMode { Plain, Abort, Ignore, Replace };

    // Driver.
    bool LoadFileFromDisk(const char* utf8Path, const WideChar* widePath, ResultsCache& cache);
    bool LoadBuffer(char* buffer, unsigned int size, ResultsCache& cache, bool wholeFile = false);
    bool LoadElements(XmlDocument& document, ResultsCache& cache);
    bool DispatchTopLevel(const XmlNode& element, ResultsCache& cache);
    bool UpdateTable(const XmlNode& element, ResultsCache& cache);
    bool ReadFileIntoBuffer(const char* utf8Path, const WideChar* widePath, std::uint32_t& size);
    void SetFileName(const char* utf8Path);
    void SetFileName(const WideChar* widePath);
    void SetErrorMessage(const char* message);
    void SetErrorMessageAndLog(const char* message);
    void ReplaceErrorWithDatabaseMessage();
    void NoteFailedElement(const XmlNode& element);
    void ComputeErrorLine(const char* buffer);
    static ValueType DetermineValueType(const char* text, std::uint32_t length);

    // Table definitions.
    bool BuildTable(const XmlNode& element);
    bool AlterTable(const XmlNode& element);
    bool CreateIndex(const XmlNode& element);
    void StoreUnexpectedChild(const char* format, const XmlNode& child);
    void LogBuildContext(const char* table);
    enum class DefinitionCheck { Run, Refused, Failed };
    DefinitionCheck CheckDefinition(const char* statement, std::size_t length, const char* element);

    // Row operations.
    bool InsertRow(const XmlNode& element, ResultsCache& cache, const char* table, std::uint32_t tableLength,
                   InsertMode mode);
    bool InsertEmptyRow(ResultsCache& cache, const char* table, std::uint32_t tableLength, InsertMode mode);
    bool FitsColumnLimit(std::size_t columns);
    bool AddRowColumn(const char* name, std::uint32_t nameLength, const char* value, std::uint32_t valueLength);
    void LogInsertFailure();
    bool DeleteRows(const XmlNode& element, const char* table, std::uint32_t tableLength);
    bool UpdateRows(const XmlNode& element, const char* table, std::uint32_t tableLength);
    bool WhereColumnsExist(const char* table, std::uint32_t tableLength);
    bool DeleteMissingReferences(const XmlNode& element);
    void AbandonPurge();
    bool IsPackageTagged(const char* table, std::uint32_t tableLength) const;

    char m_fileName[256];             // UTF-8 name of the file being loaded, for messages
    char m_errorMessage[512];         // the last error text
    Connection* m_connection;         // the database written to; not owned
    char* m_fileBuffer;               // file contents of the last Load; grows, reused
    std::uint32_t m_fileCapacity;     // bytes allocated in m_fileBuffer
    bool m_useTransactions;           // one transaction per file
    PackageTags* m_packageTags;       // the tag and the tagged tables; made on first use
    Loader::LoaderScratch* m_scratch;        // statement texts and value lists reused from row to row
    const char* m_failedElementName;  // name of the element being handled, for ErrorLine
    int m_errorLine;                  // line of the element whose handling failed, or 0
};

}  // namespace Database
