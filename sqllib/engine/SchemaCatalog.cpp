#include "sqllib/engine/SchemaCatalog.h"

#include <strings.h>

namespace vorn {

void SchemaCatalog::Reset() {
    handedOut.clear();
    counted = false;
}

int32_t SchemaCatalog::CatalogTable::FindColumn(const char* name, int32_t length) const {
    for (size_t i = 0; i < names.size(); ++i)
        if (static_cast<int32_t>(names[i].size()) == length &&
            strncasecmp(names[i].data(), name, static_cast<size_t>(length)) == 0)
            return static_cast<int32_t>(i);
    return -1;
}

int32_t SchemaCatalog::FieldWidth(const char* field) const {
    Table* catalog = schema->Catalog();
    XBaseField* column = catalog ? catalog->Data().Field(field) : nullptr;
    return column ? column->Length() : 64;
}

int32_t SchemaCatalog::TableNameLimit() const { return FieldWidth("TABLE"); }
int32_t SchemaCatalog::IndexNameLimit() const { return FieldWidth("INDEX"); }

SQLCatalogTable* SchemaCatalog::FindTable(const char* name, int32_t length) {
    // Another request's schema change moves the counter: cached tables may
    // then describe files that are gone.
    uint32_t now = 0;
    if (!counted && schema->Catalog() && schema->CatalogCounter(&now)) {
        schema->CheckCache(now);
        counter = now;
        counted = true;
    }
    Table* table = schema->GetTable(name, length);
    if (!table) {
        error.Assign(schema->ErrorText());
        return nullptr;
    }
    if (!table->IndexesOpen() && !schema->OpenIndexes(table)) {
        error.Assign(schema->ErrorText());
        schema->EvictTable(name, length);
        return nullptr;
    }
    // Opened after a change moved the counter (a rebuild moves it before its
    // files are in place): the statement's cursors open at the later one, so
    // that none takes a table kept from before the change.
    if (counted && table->IndexCounter() != counter) counter = table->IndexCounter();
    auto made = std::make_unique<CatalogTable>();
    made->name.assign(table->Name().Text(), static_cast<size_t>(table->Name().Length()));
    VornSQLTable& data = table->Data();
    made->names.reserve(static_cast<size_t>(data.FieldCount()));
    for (int32_t i = 0; i < data.FieldCount(); ++i) made->names.emplace_back(data.FieldAt(i)->Name());
    for (int32_t i = 0; i < data.FieldCount(); ++i) {
        XBaseField* field = data.FieldAt(i);
        SQLCatalogColumn column;
        column.name = made->names[static_cast<size_t>(i)].c_str();
        column.nameLength = static_cast<int32_t>(made->names[static_cast<size_t>(i)].size());
        column.type = field->Kind();
        column.width = field->Length();
        column.decimals = field->Decimals();
        made->columns.push_back(column);
    }
    for (int32_t i = 0; i < table->IndexCount(); ++i) {
        Index* index = table->IndexAt(i);
        auto entry = std::make_unique<CatalogIndex>();
        entry->name.assign(index->Name().Text(), static_cast<size_t>(index->Name().Length()));
        entry->flags = static_cast<int32_t>(index->Flags());
        for (int32_t k = 0; k < index->ColumnCount(); ++k)
            for (int32_t f = 0; f < data.FieldCount(); ++f)
                if (data.FieldAt(f) == index->Column(k)) entry->keys.push_back(f);
        made->indexes.push_back(std::move(entry));
    }
    handedOut.push_back(std::move(made));
    return handedOut.back().get();
}

} // namespace vorn
