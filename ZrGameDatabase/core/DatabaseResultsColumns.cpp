// DatabaseResultsColumns.cpp: reading the columns of a Results' current row: names, positions,
// kinds, and values converted to the caller's type.
//
// Conversions between storage classes are SQLite's own. The library adds one kind, Boolean: an
// integer in a column declared exactly "boolean", so that scripts see true and false where the
// data files wrote them.
#include <sqlite3.h>

#include <cstring>
#include <string_view>

#include "core/ColumnPositions.h"
#include "ZrGameDatabase/DatabaseResults.h"

namespace Database {

// {==== Names, positions and kinds

int Results::ColumnCount() const {
    return HasStatement() ? sqlite3_column_count(Statement()) : 0;
}

const char* Results::ColumnName(int index) {
    return HasStatement() ? sqlite3_column_name(Statement(), index) : nullptr;
}

void Results::HashColumnPositions() {
    if (m_columnPositions == nullptr) {
        m_columnPositions.reset(new ColumnPositions);
        if (m_columnPositions == nullptr)
            return;
    }
    Memory::StringMap<int>& byName = m_columnPositions->byName;
    byName.Reset();
    const int count = ColumnCount();
    for (int index = 0; index < count; ++index) {
        const char* name = ColumnName(index);
        if (name != nullptr && !byName.Set(name, index)) {
            // Out of memory: lookups fall back to asking SQLite for each name.
            byName.Reset();
            return;
        }
    }
}

int Results::ColumnPosition(const char* name) {
    if (!HasStatement() || name == nullptr)
        return -1;
    if (m_columnPositions == nullptr || m_columnPositions->byName.Empty())
        HashColumnPositions();
    if (m_columnPositions != nullptr && !m_columnPositions->byName.Empty()) {
        const int* found = m_columnPositions->byName.Find(name);
        return found != nullptr ? *found : -1;
    }
    // No map could be built (no memory, or no columns): the last column of that name wins.
    for (int index = ColumnCount() - 1; index >= 0; --index) {
        const char* columnName = ColumnName(index);
        if (columnName != nullptr && std::strcmp(columnName, name) == 0)
            return index;
    }
    return -1;
}

bool Results::HasColumn(const char* name) {
    return ColumnPosition(name) != -1;
}

ColumnTypes Results::ColumnType(int index) {
    if (!HasStatement())
        return ColumnTypes::Null;
    const int type = sqlite3_column_type(Statement(), index);
    if (type == SQLITE_INTEGER) {
        const char* declared = sqlite3_column_decltype(Statement(), index);
        if (declared != nullptr && std::strcmp(declared, "boolean") == 0)
            return ColumnTypes::Boolean;
    }
    return static_cast<ColumnTypes>(type);
}

const char* Results::ColumnTypeName(int index) {
    switch (ColumnType(index)) {
        case ColumnTypes::Integer: return "integer";
        case ColumnTypes::Float: return "float";
        case ColumnTypes::Text: return "text";
        case ColumnTypes::Boolean: return "boolean";
        case ColumnTypes::Blob: return nullptr;
        case ColumnTypes::Null: break;
    }
    return "null";
}

// }====

// {==== Values

int Results::GetInt(int index) {
    return HasStatement() ? sqlite3_column_int(Statement(), index) : 0;
}

long long Results::GetInt64(int index) {
    return HasStatement() ? sqlite3_column_int64(Statement(), index) : 0;
}

double Results::GetDouble(int index) {
    return HasStatement() ? sqlite3_column_double(Statement(), index) : 0.0;
}

float Results::GetFloat(int index) {
    return static_cast<float>(GetDouble(index));
}

const char* Results::GetText(int index) {
    return HasStatement() ? reinterpret_cast<const char*>(sqlite3_column_text(Statement(), index)) : nullptr;
}

const WideChar* Results::GetText16(int index) {
    return HasStatement() ? static_cast<const WideChar*>(sqlite3_column_text16(Statement(), index)) : nullptr;
}

bool Results::GetBool(int index) {
    switch (ColumnType(index)) {
        case ColumnTypes::Integer:
        case ColumnTypes::Boolean:
            return sqlite3_column_int(Statement(), index) != 0;
        case ColumnTypes::Text: {
            const unsigned char* text = sqlite3_column_text(Statement(), index);
            return text != nullptr && (text[0] == 't' || text[0] == 'T');
        }
        default:
            return false;
    }
}

int Results::GetInt(const char* name) { return GetInt(ColumnPosition(name)); }
long long Results::GetInt64(const char* name) { return GetInt64(ColumnPosition(name)); }
double Results::GetDouble(const char* name) { return GetDouble(ColumnPosition(name)); }
float Results::GetFloat(const char* name) { return GetFloat(ColumnPosition(name)); }
const char* Results::GetText(const char* name) { return GetText(ColumnPosition(name)); }
const WideChar* Results::GetText16(const char* name) { return GetText16(ColumnPosition(name)); }
bool Results::GetBool(const char* name) { return GetBool(ColumnPosition(name)); }

void Results::GetValue(int index, int& value) { value = GetInt(index); }
void Results::GetValue(int index, float& value) { value = GetFloat(index); }
void Results::GetValue(int index, double& value) { value = GetDouble(index); }
void Results::GetValue(int index, long long& value) { value = GetInt64(index); }
void Results::GetValue(int index, const char*& value) { value = GetText(index); }
void Results::GetValue(int index, const WideChar*& value) { value = GetText16(index); }
void Results::GetValue(int index, bool& value) { value = GetInt(index) != 0; }

void Results::GetValue(const char* name, int& value) { GetValue(ColumnPosition(name), value); }
void Results::GetValue(const char* name, float& value) { GetValue(ColumnPosition(name), value); }
void Results::GetValue(const char* name, double& value) { GetValue(ColumnPosition(name), value); }
void Results::GetValue(const char* name, long long& value) { GetValue(ColumnPosition(name), value); }
void Results::GetValue(const char* name, const char*& value) { GetValue(ColumnPosition(name), value); }
void Results::GetValue(const char* name, const WideChar*& value) { GetValue(ColumnPosition(name), value); }
void Results::GetValue(const char* name, bool& value) { GetValue(ColumnPosition(name), value); }

// }====

}  // namespace Database
