// What the SQL compiler needs of a database's catalog: tables by name, their
// columns in descriptor order, their indexes with key columns, the name limits
// of the catalog and its log. The catalog of an open SQL database implements it.
//
// Tables, columns and indexes handed out here must stay valid, unchanged,
// until the next statement is compiled: instructions point at their names.
#pragma once

#include "engine/foundation/String.h"

#include <cstdint>

namespace vorn {

struct SQLCatalogColumn {
    const char* name = nullptr; // NUL-terminated
    int32_t nameLength = 0;
    int32_t type = 0; // kSqlType* of SqlColumnDefinition.h
    int32_t width = 0;
    int32_t decimals = 0;
};

// Index flag bits, as the index file stores them.
inline constexpr int32_t kSqlIndexUnique = 1;
inline constexpr int32_t kSqlIndexDescending = 2;

class SQLCatalogIndex {
  public:
    virtual ~SQLCatalogIndex() = default;
    virtual const char* IndexName() const = 0; // NUL-terminated
    virtual int32_t IndexNameLength() const = 0;
    virtual int32_t IndexFlags() const = 0;
    virtual int32_t KeyColumnCount() const = 0;
    // Column number (descriptor order) of key column i, in key order.
    virtual int32_t KeyColumn(int32_t i) const = 0;
};

class SQLCatalogTable {
  public:
    virtual ~SQLCatalogTable() = default;
    virtual int32_t ColumnCount() const = 0;
    virtual SQLCatalogColumn Column(int32_t i) const = 0;
    // Column number of that name (letter case ignored), or -1.
    virtual int32_t FindColumn(const char* name, int32_t length) const = 0;
    // The table's indexes in catalog order.
    virtual int32_t IndexCount() const = 0;
    virtual const SQLCatalogIndex* IndexAt(int32_t i) const = 0;
};

class SQLCatalog {
  public:
    virtual ~SQLCatalog() = default;
    // The table of that name (letter case ignored), or null with CatalogError()
    // set ("Unknown table '" + name + "'" or a storage error).
    virtual SQLCatalogTable* FindTable(const char* name, int32_t length) = 0;
    virtual const String& CatalogError() const = 0;
    // Widths of the catalog's TABLE and INDEX columns (64 when it lacks one).
    virtual int32_t TableNameLimit() const = 0;
    virtual int32_t IndexNameLimit() const = 0;
    // Writes the text to the database's SQL log when one is open.
    virtual void LogText(const char* text, int32_t length) = 0;
};

} // namespace vorn
