// DataLoader.cpp: turning the paths a host gives into an ordered list of data files, and loading
// them one by one with one serializer and one statement cache.
//
// The whole list is made before the first file loads: the listener is told "file 3 of 40", and a
// folder that holds no data file is reported up front, so that a host sees at once that a mod
// path was mistyped rather than after the rest has loaded.
#include "ZrGameDatabase/DataLoader.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string_view>

#include "ZrGameDatabase/Connection.h"
#include "ZrGameDatabase/DatabaseResults.h"
#include "ZrGameDatabase/ResultsCache.h"
#include "base/Array.h"
#include "base/ContentHash.h"
#include "base/TextBuffer.h"
#include "base/TextFormat.h"
#include "loader/SnapshotCache.h"
#include "platform/Directory.h"

namespace Database {

namespace {

constexpr std::size_t kNoText = static_cast<std::size_t>(-1);

// Both separators count everywhere: a host on Windows may write either, and a backslash in a
// folder name elsewhere is too rare to be worth a path that means different things per machine.
bool IsSeparator(char byte) {
    return byte == '/' || byte == '\\';
}

// A name with the extension .xml in any letter case (a mod written on another system may well
// say .XML); ".xml" alone is a hidden file without an extension, as file managers see it.
bool IsDataFileName(std::string_view name) {
    return name.size() > 4 && EqualsIgnoringCase(name.substr(name.size() - 4), ".xml");
}

// The label of a path given without a package: the name of the folder it stands for (a folder)
// or stands in (a file).
std::string_view FolderLabel(std::string_view path, bool isFolder) {
    std::size_t end = path.size();
    while (end > 0 && IsSeparator(path[end - 1]))
        --end;
    if (!isFolder) {
        while (end > 0 && !IsSeparator(path[end - 1]))
            --end;
        while (end > 0 && IsSeparator(path[end - 1]))
            --end;
    }
    std::size_t start = end;
    while (start > 0 && !IsSeparator(path[start - 1]))
        --start;
    const std::string_view name = path.substr(start, end - start);
    return name == "." || name == ".." ? std::string_view() : name;
}

// The serializer's form of a message, "Database::DataLoader (FILE): TEXT", in message; the text
// alone when no memory was left to compose it.
const char* ComposeMessage(TextBuffer& message, const char* file, const char* text) {
    message.Clear();
    message.Append("Database::DataLoader (").Append(file).Append("): ").Append(text);
    return message.Ok() ? message.Text() : text;
}

void LogFolderFailure(const Connection& connection, const char* folder) {
    TextBuffer message;
    ComposeMessage(message, folder, "Cannot list the folder; the data files in it are not loaded.");
    connection.LogError(message.Ok() ? message.Text() : "Database::DataLoader: Cannot list a folder.");
}

// The savepoint a strict load runs in, around the serializer's own transaction, so that a file
// that committed with warnings can still be taken back.
class StrictSavepoint {
public:
    StrictSavepoint(Connection& connection, bool strict) : m_connection(connection), m_open(false) {
        if (strict)
            m_open = connection.Execute("SAVEPOINT zrdb_data_loader;");
    }
    ~StrictSavepoint() { End(true); }
    StrictSavepoint(const StrictSavepoint&) = delete;
    StrictSavepoint& operator=(const StrictSavepoint&) = delete;

    bool Open() const { return m_open; }
    // Keeps the file or takes it back. A file that failed was rolled back by the serializer with
    // the whole transaction, this savepoint included, and there is nothing left to end.
    void End(bool keep) {
        if (!m_open)
            return;
        m_open = false;
        if (m_connection.Handle() == nullptr || sqlite3_get_autocommit(m_connection.Handle()) != 0)
            return;
        if (!keep)
            m_connection.Execute("ROLLBACK TO zrdb_data_loader;");
        m_connection.Execute("RELEASE zrdb_data_loader;");
    }

private:
    Connection& m_connection;
    bool m_open;
};

}  // namespace

// The paths as added; their texts live in one buffer, each terminated, named by offset since the
// buffer moves when it grows.
struct DataLoader::Impl : Memory::Allocated {
    struct Path {
        std::size_t path;
        std::size_t package;  // kNoText for none
    };

    TextBuffer texts;
    Memory::Array<Path> paths;
    std::unique_ptr<Loader::SnapshotCache> snapshots;  // null: no cache
    TextBuffer hostKey;
};

// The files of one load, in load order, with copies of every text they need: a listener that
// adds paths while the load runs changes the next load, not this one.
struct DataLoader::Plan {
    struct File {
        std::size_t path;
        std::size_t label;
        std::size_t tag;  // kNoText for none
    };

    const char* Text(std::size_t offset) const { return offset != kNoText ? texts.Text() + offset : nullptr; }
    std::size_t Keep(std::string_view text) {
        const std::size_t offset = texts.Length();
        texts.Append(text).Append('\0');
        return offset;
    }
    bool Build(const Impl& impl, const Connection& connection, IListener* listener);
    bool AddFolderPath(std::string_view path, std::string_view label, std::size_t tag, const Connection& connection,
                       IListener* listener);
    bool AddFolder(std::size_t root, std::size_t label, std::size_t tag, const Connection& connection,
                   bool& rootListed);
    enum class Listed { Yes, No, OutOfMemory };
    Listed ListFolder(std::size_t folder, std::size_t label, std::size_t tag, Memory::Array<std::size_t>& pending);

    TextBuffer texts;
    TextBuffer scratch;  // a path being composed, kept apart from texts, which it is copied into
    Memory::Array<File> files;
    int failed = 0;  // folders empty or not listed
};

bool DataLoader::Plan::Build(const Impl& impl, const Connection& connection, IListener* listener) {
    for (const Impl::Path& entry : impl.paths) {
        const char* path = impl.texts.Text() + entry.path;
        const bool isFolder = Platform::IsFolder(path);
        const std::string_view label =
            entry.package != kNoText ? impl.texts.Text() + entry.package : FolderLabel(path, isFolder);
        const std::size_t tag = entry.package != kNoText ? Keep(impl.texts.Text() + entry.package) : kNoText;
        if (isFolder) {
            if (!AddFolderPath(path, label, tag, connection, listener))
                return false;
            continue;
        }
        // Not a folder: a file, or a path that fails to load as one and is reported as such.
        const File file{Keep(path), Keep(label), tag};
        if (!texts.Ok() || !files.Push(file))
            return false;
    }
    return texts.Ok();
}

// A folder given: its data files, sorted, and a report when there is none.
bool DataLoader::Plan::AddFolderPath(std::string_view path, std::string_view label, std::size_t tag,
                                     const Connection& connection, IListener* listener) {
    const std::size_t first = files.Size();
    const std::size_t root = Keep(path);
    const std::size_t labelOffset = Keep(label);
    if (!texts.Ok())
        return false;
    bool rootListed = false;
    if (!AddFolder(root, labelOffset, tag, connection, rootListed))
        return false;
    // A folder that could not be listed at all was logged and counted already.
    if (rootListed && files.Size() == first) {
        if (listener != nullptr)
            listener->OnEmptyFolder(Text(root));
        ++failed;
    }
    // Byte for byte, so that the order is the same whatever the system's listing order or locale.
    const char* base = texts.Text();
    std::sort(files.begin() + first, files.end(), [base](const File& left, const File& right) {
        return std::strcmp(base + left.path, base + right.path) < 0;
    });
    return true;
}

// Every folder below root, listed from a worklist rather than by recursion, so that one listing
// is open at a time however deep the tree goes. False when no memory is left.
bool DataLoader::Plan::AddFolder(std::size_t root, std::size_t label, std::size_t tag, const Connection& connection,
                                 bool& rootListed) {
    Memory::Array<std::size_t> pending;
    if (!pending.Push(root))
        return false;
    while (!pending.Empty()) {
        const std::size_t folder = pending[pending.Size() - 1];
        pending.Erase(pending.Size() - 1);
        const Listed listed = ListFolder(folder, label, tag, pending);
        if (listed == Listed::OutOfMemory)
            return false;
        if (listed == Listed::No) {
            LogFolderFailure(connection, Text(folder));
            ++failed;
        } else if (folder == root) {
            rootListed = true;
        }
    }
    return true;
}

// The entries of one folder: data files into the plan, folders onto the worklist.
DataLoader::Plan::Listed DataLoader::Plan::ListFolder(std::size_t folder, std::size_t label, std::size_t tag,
                                                      Memory::Array<std::size_t>& pending) {
    Platform::DirectoryListing listing;
    if (!listing.Open(Text(folder)))
        return Listed::No;
    const std::size_t folderLength = std::strlen(Text(folder));
    const char* name = nullptr;
    Platform::EntryKind kind = Platform::EntryKind::Other;
    while (listing.Next(name, kind)) {
        const bool isData = kind == Platform::EntryKind::File && IsDataFileName(name);
        if (!isData && kind != Platform::EntryKind::Folder)
            continue;
        // Text(folder) is looked up again each time: keeping a path may move the texts.
        scratch.Clear();
        scratch.Append(std::string_view(Text(folder), folderLength));
        if (folderLength == 0 || !IsSeparator(Text(folder)[folderLength - 1]))
            scratch.Append('/');
        scratch.Append(name);
        if (!scratch.Ok())
            return Listed::OutOfMemory;
        const std::size_t path = Keep(scratch.View());
        if (!texts.Ok() || (isData ? !files.Push(File{path, label, tag}) : !pending.Push(path)))
            return Listed::OutOfMemory;
    }
    return Listed::Yes;
}

DataLoader::DataLoader(Connection& connection)
    : m_connection(connection), m_serializer(connection), m_failFast(false), m_strict(false), m_impl(new Impl) {}

DataLoader::~DataLoader() = default;

DataLoader::Impl* DataLoader::Ready() {
    if (m_impl == nullptr)
        m_impl.reset(new Impl);
    return m_impl.get();
}

XMLSerializer& DataLoader::Serializer() {
    return m_serializer;
}

bool DataLoader::AddPath(const char* path, const char* package) {
    Impl* impl = Ready();
    if (impl == nullptr || path == nullptr)
        return false;
    const std::size_t length = impl->texts.Length();
    const Impl::Path entry{length, package != nullptr ? length + std::strlen(path) + 1 : kNoText};
    impl->texts.Append(path).Append('\0');
    if (package != nullptr)
        impl->texts.Append(package).Append('\0');
    if (!impl->texts.Ok() || !impl->paths.Push(entry)) {
        // Cut back to where the buffer stood, which also clears the failure: the paths added
        // before stay usable.
        impl->texts.Truncate(length);
        return false;
    }
    return true;
}

void DataLoader::SetFailFast(bool failFast) {
    m_failFast = failFast;
}

void DataLoader::SetStrict(bool strict) {
    m_strict = strict;
}

bool DataLoader::SetSnapshotCache(const char* folder, const char* hostKey) {
    Impl* impl = Ready();
    if (impl == nullptr)
        return false;
    impl->snapshots.reset();
    impl->hostKey.Clear();
    if (folder == nullptr || folder[0] == '\0')
        return true;
    impl->hostKey.Append(hostKey);
    impl->snapshots.reset(new Loader::SnapshotCache(m_connection, folder));
    return impl->snapshots != nullptr && impl->hostKey.Ok();
}

// Everything the loaded database depends on, in an order that is fixed.
bool DataLoader::CacheKey(const Plan& plan, Digest& key) {
    ContentHash hash;
    hash.AddText("zrdb snapshot cache 1");
    hash.AddText(ZRDB_LIBRARY_VERSION);
    hash.AddText(sqlite3_libversion());
    hash.AddText(m_impl->hostKey.View());
    hash.AddNumber((m_serializer.UseTransactions() ? 1 : 0) | (m_strict ? 2 : 0) | (m_failFast ? 4 : 0));
    const int tables = m_serializer.PackageTagTableCount();
    hash.AddNumber(static_cast<std::uint64_t>(tables));
    for (int index = 0; index < tables; ++index)
        hash.AddText(m_serializer.PackageTagTable(index));
    hash.AddNumber(plan.files.Size());
    for (const Plan::File& file : plan.files) {
        Digest content;
        if (!m_impl->snapshots->DigestOf(plan.Text(file.path), content))
            return false;
        hash.AddText(plan.Text(file.path));
        hash.AddText(plan.Text(file.label));
        hash.AddNumber(file.tag != kNoText ? 1 : 0);
        hash.AddText(file.tag != kNoText ? plan.Text(file.tag) : "");
        hash.AddNumber(content.high);
        hash.AddNumber(content.low);
    }
    key = hash.Finish();
    return true;
}

bool DataLoader::StartsEmpty() const {
    Results objects;
    return m_connection.Execute(objects, "select 1 from sqlite_master limit 1") && !objects.Step();
}

// One file: loaded, in a savepoint when strict, and reported. True when it counts as loaded.
bool DataLoader::LoadFile(const Plan& plan, int index, ResultsCache& cache, IListener* listener, Summary& summary) {
    const Plan::File& planned = plan.files[static_cast<std::size_t>(index)];
    const char* file = plan.Text(planned.path);
    const int count = static_cast<int>(plan.files.Size());
    FileResult result{file, plan.Text(planned.label), index + 1, count, false, false, 0, 0, 0, ""};
    // The tag first, so that a listener may still change it for this file.
    m_serializer.SetPackageTag(plan.Text(planned.tag));
    if (listener != nullptr)
        listener->OnFileStarting(file, result.package, result.index, count);

    TextBuffer message;
    StrictSavepoint savepoint(m_connection, m_strict);
    if (m_strict && !savepoint.Open()) {
        // Without the savepoint a file with warnings could not be taken back: it is not loaded.
        result.errorMessage = ComposeMessage(message, file, "Cannot open a savepoint for strict loading.");
    } else {
        result.loaded = m_serializer.Load(file, cache);
        result.warnings = m_serializer.WarningCount();
        result.errors = m_serializer.ErrorCount();
        if (!result.loaded) {
            result.errorLine = m_serializer.ErrorLine();
            result.errorMessage = m_serializer.ErrorMessage();
        } else if (m_strict && result.warnings > 0) {
            savepoint.End(false);
            result.loaded = false;
            result.strictFailure = true;
            result.errorMessage =
                ComposeMessage(message, file, "The file loaded with warnings and was rolled back (strict loading).");
        }
    }
    savepoint.End(true);

    if (result.loaded)
        ++summary.loaded;
    else
        ++summary.failed;
    summary.warnings += result.warnings;
    summary.errors += result.errors;
    if (listener != nullptr)
        listener->OnFileLoaded(result);
    return result.loaded;
}

DataLoader::Summary DataLoader::Load(IListener* listener) {
    Summary summary{0, 0, 0, 0, false};
    const Impl* impl = Ready();
    Plan plan;
    if (impl == nullptr || !plan.Build(*impl, m_connection, listener)) {
        m_connection.LogError("Database::DataLoader: Out of memory while listing the data files; none was loaded.");
        summary.failed = 1;
        return summary;
    }
    summary.failed = plan.failed;
    const int count = static_cast<int>(plan.files.Size());
    Digest key;
    const bool cached =
        impl->snapshots != nullptr && count > 0 && summary.failed == 0 && StartsEmpty() && CacheKey(plan, key);
    if (cached && impl->snapshots->Load(key, m_connection, summary.loaded, summary.warnings)) {
        summary.fromCache = true;
        return summary;
    }
    {
        ResultsCache cache(m_connection);
        for (int index = 0; index < count; ++index) {
            if (!LoadFile(plan, index, cache, listener, summary) && m_failFast)
                break;
        }
    }
    // Nothing to load is a failure too: a host that loads no rules has most likely mistyped.
    if (count == 0 && summary.failed == 0)
        summary.failed = 1;
    // Only a whole load is kept: a snapshot of a partial one would hide its failures next time.
    if (cached && summary.failed == 0)
        impl->snapshots->Store(key, m_connection, summary.loaded, summary.warnings);
    return summary;
}

}  // namespace Database
