// The catalog of an open SQL database as the SQL compiler sees it: tables by
// name with their columns and indexes, taken from the Schema's table cache,
// reloaded when the catalog changed since they were cached. What one
// statement was compiled against stays until the next Reset.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sqllib/front/SqlCatalog.h"
#include "sqllib/store/Schema.h"

namespace vorn {

class SchemaCatalog : public SQLCatalog {
  public:
    explicit SchemaCatalog(Schema* schema) : schema(schema) {}

    // Forgets the objects handed out for the previous statement.
    void Reset();
    // The catalog's counter as this statement's compilation read it: its
    // cursors open their tables at it (no change made after the statement
    // began needs to show). False when none was read.
    bool StatementCounter(uint32_t* out) const {
        if (counted) *out = counter;
        return counted;
    }

    SQLCatalogTable* FindTable(const char* name, int32_t length) override;
    const String& CatalogError() const override { return error; }
    int32_t TableNameLimit() const override;
    int32_t IndexNameLimit() const override;
    void LogText(const char* text, int32_t length) override { schema->LogText(text, length); }

  private:
    struct CatalogIndex : SQLCatalogIndex {
        std::string name;
        int32_t flags = 0;
        std::vector<int32_t> keys;
        const char* IndexName() const override { return name.c_str(); }
        int32_t IndexNameLength() const override { return static_cast<int32_t>(name.size()); }
        int32_t IndexFlags() const override { return flags; }
        int32_t KeyColumnCount() const override { return static_cast<int32_t>(keys.size()); }
        int32_t KeyColumn(int32_t i) const override { return keys[static_cast<size_t>(i)]; }
    };
    struct CatalogTable : SQLCatalogTable {
        std::string name;
        std::vector<std::string> names;
        std::vector<SQLCatalogColumn> columns;
        std::vector<std::unique_ptr<CatalogIndex>> indexes;
        int32_t ColumnCount() const override { return static_cast<int32_t>(columns.size()); }
        SQLCatalogColumn Column(int32_t i) const override { return columns[static_cast<size_t>(i)]; }
        int32_t FindColumn(const char* name, int32_t length) const override;
        int32_t IndexCount() const override { return static_cast<int32_t>(indexes.size()); }
        const SQLCatalogIndex* IndexAt(int32_t i) const override { return indexes[static_cast<size_t>(i)].get(); }
    };
    int32_t FieldWidth(const char* field) const;

    Schema* schema;
    String error;
    std::vector<std::unique_ptr<CatalogTable>> handedOut;
    uint32_t counter = 0;
    bool counted = false;
};

} // namespace vorn
