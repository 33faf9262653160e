// ResultsCache.cpp: named prepared statements, so that a statement run once per data row is
// compiled once per distinct SQL text.
#include "ZrGameDatabase/ResultsCache.h"

#include <cstring>
#include <string_view>

#include "ZrGameDatabase/Connection.h"
#include "ZrGameDatabase/DatabaseResults.h"
#include "base/Memory.h"
#include "base/StringMap.h"
#include "core/Command.h"
#include "core/ResultsCacheAccess.h"

namespace Database {

struct ResultsCacheEntries : Memory::Allocated {
    Memory::StringMap<Results*> byName;  // never holds a null pointer
};

namespace {

void Destroy(Results* results) {
    results->Reset();
    delete results;
}

std::string_view NameOf(const char* name) {
    return name != nullptr ? std::string_view(name) : std::string_view();
}

}  // namespace

ResultsCache::ResultsCache(Database::Connection& connection) : m_connection(connection), m_entries(nullptr) {}

ResultsCache::~ResultsCache() {
    Clear();
    delete m_entries;
}

Results* ResultsCache::Get(const char* name) {
    const std::string_view key = NameOf(name);
    return Get(key.data(), key.size());
}

Results* ResultsCache::Prepare(const char* name, const char* sql, int length) {
    const std::string_view key = NameOf(name);
    return Prepare(key.data(), key.size(), sql, length);
}

Results* ResultsCache::Get(const char* name, std::size_t nameLength) {
    if (m_entries == nullptr)
        return nullptr;
    Results** found = m_entries->byName.Find(std::string_view(name, nameLength));
    if (found == nullptr)
        return nullptr;
    (*found)->Reset();
    return *found;
}

Results* ResultsCache::Prepare(const char* name, std::size_t nameLength, const char* sql, int length) {
    Results* results = nullptr;
    (void)ResultsCacheAccess::Prepare(*this, name, nameLength, sql, length, results);
    return results;
}

Status ResultsCacheAccess::Prepare(ResultsCache& cache, const char* name, std::size_t nameLength, const char* sql,
                                   int length, Results*& results) {
    results = nullptr;
    if (cache.m_entries == nullptr && (cache.m_entries = new ResultsCacheEntries) == nullptr)
        return Status::OutOfMemory;
    Results* prepared = new Results;
    if (prepared == nullptr)
        return Status::OutOfMemory;
    const Status status = ResultsAccess::Prepare(cache.m_connection, *prepared, sql, length);
    if (status != Status::Ok) {
        delete prepared;
        return status;
    }
    Memory::StringMap<Results*>& byName = cache.m_entries->byName;
    const std::string_view key(name, nameLength);
    if (Results** earlier = byName.Find(key)) {
        Destroy(*earlier);
        *earlier = prepared;
    } else if (!byName.Set(key, prepared)) {
        delete prepared;
        return Status::OutOfMemory;
    }
    results = prepared;
    return Status::Ok;
}

void ResultsCache::Clear(const char* name) {
    if (m_entries == nullptr)
        return;
    const std::string_view key = NameOf(name);
    Results** found = m_entries->byName.Find(key);
    if (found == nullptr)
        return;
    Destroy(*found);
    m_entries->byName.Erase(key);
}

void ResultsCache::Clear() {
    if (m_entries == nullptr)
        return;
    m_entries->byName.ForEach([](std::string_view, Results*& results) { delete results; });
    m_entries->byName.Reset();
}

const char* ResultsCache::ErrorMessage() const {
    return m_connection.ErrorMessage();
}

}  // namespace Database
