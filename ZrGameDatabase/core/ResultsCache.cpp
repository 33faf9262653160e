// ResultsCache.cpp: named prepared statements, so that a statement run once per data row is
// compiled once per distinct SQL text.
#include "ZrGameDatabase/ResultsCache.h"

#include <new>
#include <string_view>

#include "base/Memory.h"
#include "ZrGameDatabase/Connection.h"
#include "ZrGameDatabase/DatabaseResults.h"

namespace Database {

struct ResultsCacheEntries : Memory::Allocated {
    Memory::StringMap<Results*> byName;  // never holds a null pointer
};

namespace {

void Destroy(Results* results) {
    results->Reset();
    delete results;
}

}  // namespace

ResultsCache::ResultsCache(Database::Connection& connection) : m_connection(connection), m_entries(nullptr) {}

ResultsCache::~ResultsCache() {
    Clear();
    delete m_entries;
}

Results* ResultsCache::Get(const std::string& name) {
    return Get(name.data(), name.size());
}

Results* ResultsCache::Prepare(const std::string& name, const char* sql, int length) {
    return Prepare(name.data(), name.size(), sql, length);
}

Results* ResultsCache::Get(const char* name, std::size_t nameLength) {
    if (m_entries == nullptr)
        return nullptr;
    const auto found = m_entries->byName.find(std::string_view(name, nameLength));
    if (found == m_entries->byName.end())
        return nullptr;
    found->second->Reset();
    return found->second;
}

Results* ResultsCache::Prepare(const char* name, std::size_t nameLength, const char* sql, int length) {
    if (m_entries == nullptr && (m_entries = new ResultsCacheEntries) == nullptr)
        return nullptr;
    Results* results = new Results;
    if (results == nullptr)
        return nullptr;
    if (!m_connection.Execute(*results, sql, length)) {
        delete results;
        return nullptr;
    }
    try {
        auto [entry, inserted] = m_entries->byName.try_emplace(Memory::String(name, nameLength), results);
        if (!inserted) {
            Destroy(entry->second);
            entry->second = results;
        }
    } catch (const std::bad_alloc&) {
        delete results;
        return nullptr;
    }
    return results;
}

void ResultsCache::Clear(const std::string& name) {
    if (m_entries == nullptr)
        return;
    const auto found = m_entries->byName.find(std::string_view(name));
    if (found == m_entries->byName.end())
        return;
    Destroy(found->second);
    m_entries->byName.erase(found);
}

void ResultsCache::Clear() {
    if (m_entries == nullptr)
        return;
    for (auto& entry : m_entries->byName)
        delete entry.second;
    m_entries->byName.clear();
}

const char* ResultsCache::ErrorMessage() const {
    return m_connection.ErrorMessage();
}

}  // namespace Database
