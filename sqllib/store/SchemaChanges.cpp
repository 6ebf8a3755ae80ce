// Schema changes and pack: CREATE and DROP of tables and indexes, ALTER
// TABLE, and the rebuild under temporary names that ALTER and pack share.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "engine/foundation/Messages.h"
#include "sqllib/front/SqlMessages.h"
#include "sqllib/store/Schema.h"

namespace vorn {

namespace {

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}
char Upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
}

bool SameNoCase(const char* a, int32_t aLength, const char* b, int32_t bLength) {
    if (aLength != bLength) return false;
    for (int32_t i = 0; i < aLength; ++i)
        if (Upper(a[i]) != Upper(b[i])) return false;
    return true;
}

String Uppered(const char* text, int32_t length) {
    String out(text, length);
    for (int32_t i = 0; i < out.Length(); ++i)
        out.Data()[i] = Upper(out.Data()[i]);
    return out;
}

// A column named twice among the old fields and the new columns.
const ColumnDefinition* Duplicate(VornSQLTable* old, const ColumnDefinitionList& columns) {
    std::vector<const ColumnDefinition*> seen;
    for (int32_t i = 0; i < columns.Count(); ++i) {
        const ColumnDefinition* c = columns.At(i);
        if (old && old->Field(c->name, c->nameLength)) return c;
        for (const ColumnDefinition* d : seen)
            if (SameNoCase(c->name, c->nameLength, d->name, d->nameLength)) return c;
        seen.push_back(c);
    }
    return nullptr;
}

void AddColumns(List<XBaseField>& fields, const ColumnDefinitionList& columns) {
    for (int32_t i = 0; i < columns.Count(); ++i) {
        const ColumnDefinition* c = columns.At(i);
        String name = Uppered(c->name, c->nameLength);
        fields.Insert(new XBaseField(nullptr, name.Text(), name.Length(), c->type, c->width, c->decimals),
                      kListTail);
    }
}

} // namespace

// --- File names -------------------------------------------------------------------------------

int Schema::PlaceFile(const char* name, int32_t length, const char* extension, String& out) {
    out.Assign(name, length);
    out.Append(extension);
    for (int32_t i = 0; i < out.Length(); ++i) {
        char& c = out.Data()[i];
        c = Lower(c);
        if (subdirChar && c == Lower(subdirChar)) c = '/';
    }
    if (!subdirChar) return 1;
    // Each directory the name goes through is made when it is not one yet.
    for (int32_t i = 0; i < out.Length(); ++i) {
        if (out.Text()[i] != '/') continue;
        String directoryPath = directory + String(out.Text(), i);
        if (files.IsDirectory(directoryPath.Text(), directoryPath.Length())) continue;
        if (!files.MakeDirectory(directoryPath.Text(), directoryPath.Length()))
            return Fail(String("Unable to create directory or subdirectory for ") + directoryPath + ":" +
                        files.ErrorText());
    }
    return 1;
}

int Schema::DeleteFile(const char* filePath) {
    if (files.Exists(filePath) && !files.Delete(filePath))
        return Fail(String("DROP TABLE failed to delete file '") + filePath + "': " + files.ErrorText());
    // The directories the name made, from the innermost out, as long as they
    // are empty; never the schema's own directory.
    String rest(filePath);
    int32_t floor =
        rest.Length() >= directory.Length() &&
                std::strncmp(rest.Text(), directory.Text(), static_cast<size_t>(directory.Length())) == 0
            ? directory.Length()
            : 0;
    for (int32_t i = rest.Length() - 1; i > floor; --i) {
        if (rest.Text()[i] != '/') continue;
        if (!files.RemoveDirectory(rest.Text(), i)) break;
    }
    return 1;
}

// --- CREATE TABLE, CREATE INDEX ---------------------------------------------------------------

int Schema::LockCreate() {
    XBaseStore* store = catalog ? catalog->Data().DataStore() : nullptr;
    if (!store) return Fail(String("Schema database is not open"));
    if (store->Lock(true, kSQLCreateByte, 1)) return 1;
    return Fail(String(kErrorLocking) + path + kForWrite + store->ErrorText());
}

void Schema::UnlockCreate() {
    if (XBaseStore* store = catalog ? catalog->Data().DataStore() : nullptr) store->Unlock(kSQLCreateByte, 1);
}

int Schema::CreateTable(const char* name, int32_t length, const ColumnDefinitionList& columns) {
    if (length < 0) length = static_cast<int32_t>(std::strlen(name));
    // One at a time, and not beside a drop: the row is looked for under the
    // lock, so that two requests creating the table at once never take each
    // other's data file for one in the way.
    if (!LockCreate()) return 0;
    int ok = CreateTableLocked(name, length, columns);
    UnlockCreate();
    return ok;
}

int Schema::CreateTableLocked(const char* name, int32_t length, const ColumnDefinitionList& columns) {
    String tableName(name, length);
    int32_t reuse = 0;
    if (FindTableRow(name, length, &reuse)) return Fail(String("Table '") + tableName + kSqlAlreadyExists);
    if (const ColumnDefinition* twice = Duplicate(nullptr, columns))
        return Fail(String("A field named '") + twice->name + "' already exists in table '" + tableName +
                    "'");
    List<XBaseField> fields(true);
    AddColumns(fields, columns);
    String fileValue;
    if (!PlaceFile(name, length, ".dbf", fileValue)) return 0;
    String full(ResolvePath(fileValue.Text(), fileValue.Length()));
    String exists =
        String("Table '") + tableName + "' cannot be created because datafile '" + full + kSqlAlreadyExists;
    if (files.Exists(full.Text(), full.Length())) return Fail(exists);
    auto* table = new Table(this, name, length);
    // No other request makes or removes the file while the create lock is
    // held (a VrCREATE that replaces the catalog takes it too), so the file
    // given its name is the one looked for above.
    if (!table->Data().Create(full.Text(), full.Length(), fields)) {
        String reason(table->Data().ErrorText());
        delete table;
        return Fail(reason);
    }
    uint32_t counter = 0;
    Row row;
    row.type.Assign("T");
    row.table.Assign(tableName);
    row.index.Assign("");
    row.file.Assign(fileValue);
    row.columns.Assign("");
    row.flags.Assign("");
    if (!CatalogCounter(&counter) || !WriteRow(row, reuse)) {
        String memo = XBaseTable::MemoFileName(full.Text());
        delete table;
        files.Delete(full.Text(), full.Length());
        files.Delete(memo.Text(), memo.Length());
        return 0;
    }
    table->SetIndexesOpen(counter);
    EvictTable(name, length);
    tables.Insert(table);
    return 1;
}

int Schema::CreateIndex(const char* tableName, int32_t tableLength, const char* indexName,
                        int32_t indexLength, int unique, const std::vector<IndexColumn>& columns) {
    if (tableLength < 0) tableLength = static_cast<int32_t>(std::strlen(tableName));
    if (indexLength < 0) indexLength = static_cast<int32_t>(std::strlen(indexName));
    String index(indexName, indexLength);
    Table* table = GetTable(tableName, tableLength);
    if (!table) return 0;
    // Every row of the name: a live one refuses, a deleted one of this table
    // is reused.
    String key = Uppered(indexName, indexLength);
    KPZIndexFile& byName = schema2->File();
    int32_t record = 0;
    int found = 0;
    int32_t reuse = 0;
    if (!byName.Find(key.Text(), key.Length(), 1, &record, &found, 1)) return Fail(byName.ErrorText());
    while (found && record > 0) {
        if (!catalog->Data().ReadRecord(record)) return Fail(catalog->Data().ErrorText());
        if (!catalog->Data().Deleted()) return Fail(String("Index '") + index + kSqlAlreadyExists);
        const char* rowTable = fieldTable->Value();
        if (SameNoCase(rowTable, static_cast<int32_t>(std::strlen(rowTable)), table->Name().Text(),
                       table->Name().Length()))
            reuse = record;
        const char* next = nullptr;
        if (!byName.Next(&record, &next, 1)) return Fail(byName.ErrorText());
        if (record < 1 || !next || !key.Equals(next)) break;
    }
    uint32_t flags = unique ? kSQLIndexUnique : 0;
    if (!columns.empty() && !columns[0].ascending) flags |= kSQLIndexDescending;
    String joined;
    auto* made = new Index(table, indexName, indexLength, 0);
    for (size_t i = 0; i < columns.size(); ++i) {
        const IndexColumn& c = columns[i];
        if ((c.ascending != 0) != (columns[0].ascending != 0)) {
            delete made;
            return Fail(String("All columns in an VornSQL index must have the same ordering"));
        }
        XBaseField* field = table->Data().Field(c.name.Text(), c.name.Length());
        if (!field) {
            delete made;
            return Fail(String(kSqlUnknownColumn) + c.name + "'");
        }
        if (field->Kind() == kXBaseCharacter) flags |= kSQLIndexString;
        made->AddColumn(field);
        if (i > 0) joined.AppendChar(':');
        joined.Append(c.name.Text(), c.name.Length());
    }
    delete made;
    made = new Index(table, indexName, indexLength, flags);
    for (const IndexColumn& c : columns)
        made->AddColumn(table->Data().Field(c.name.Text(), c.name.Length()));
    String fileValue;
    if (!PlaceFile(indexName, indexLength, ".vrx", fileValue)) {
        delete made;
        return 0;
    }
    String full(ResolvePath(fileValue.Text(), fileValue.Length()));
    if (files.Exists(full.Text(), full.Length())) {
        delete made;
        return Fail(String("Index '") + index + kSqlAlreadyExists);
    }
    if (!made->Create(full.Text(), full.Length(), kSQLOpenCreateNew)) {
        String reason = String(kSqlErrorCreatingSchemaIndex) + made->ErrorText();
        delete made;
        return Fail(files.Exists(full.Text(), full.Length()) ? String("Index '") + index + kSqlAlreadyExists
                                                             : reason);
    }
    // The row goes in first: a request that writes the table from now on
    // sees it and keeps the new index in step itself; the fill below, under
    // the table's locks, takes every record written before.
    Row row;
    row.type.Assign("I");
    row.table.Assign(table->Name());
    row.index.Assign(index);
    row.file.Assign(fileValue);
    row.columns.Assign(joined);
    char number[24];
    std::snprintf(number, sizeof number, "%u", flags);
    row.flags.Assign(number);
    auto undo = [&](const String& message) {
        delete made;
        files.Delete(full.Text(), full.Length());
        return Fail(message);
    };
    if (!WriteRow(row, reuse)) return undo(error);
    int32_t row1 = catalog->Data().CurrentRecord();
    delete made;
    String owner(table->Name());
    // Filled under the table's rebuild lock, from the files as the last
    // rebuild left them: one that listed the new row has put its own copy of
    // the index in place, which the fill finds whole.
    int filled = UnderRebuildLock(owner, [&](Table& fresh) {
        Index index(&fresh, indexName, indexLength, flags);
        for (const IndexColumn& c : columns) {
            XBaseField* field = fresh.Data().Field(c.name.Text(), c.name.Length());
            if (!field) return Fail(String(kSqlUnknownColumn) + c.name + "'");
            index.AddColumn(field);
        }
        if (!index.Open(full.Text(), full.Length())) return Fail(index.ErrorText());
        return FillIndex(fresh, index);
    });
    if (filled > 0) return 1;
    // The row goes again (keeping its entries, for a later CREATE), then the file.
    String failure(error);
    if (catalog->Data().ReadRecord(row1)) catalog->Delete();
    DeleteIndexFile(owner, full);
    return Fail(failure);
}

int Schema::FillIndex(Table& table, Index& index) {
    VornSQLTable& data = table.Data();
    int ok = data.LockAll();
    String failure(ok ? "" : data.ErrorText().Text());
    for (int32_t r = 1; ok && r <= data.RecordCount(); ++r) {
        if (!data.ReadRecord(r)) {
            failure.Assign(data.ErrorText());
            ok = 0;
            break;
        }
        if (data.Deleted()) continue;
        const String& k = index.BuildKey();
        int held = index.Holds(k, r);
        if (held == 1) continue;
        if (held < 0 || !index.File().Insert(r, k.Text(), k.Length())) {
            failure.Assign(index.ErrorText());
            ok = 0;
        }
    }
    data.UnlockAll();
    return ok ? 1 : Fail(failure);
}

int Schema::UnderRebuildLock(const String& tableName, const std::function<int(Table&)>& work) {
    for (int attempt = 1;; ++attempt) {
        std::unique_ptr<Table> table(LoadTable(tableName.Text(), tableName.Length()));
        if (!table) return -1;
        int held = table->Data().LockRebuild();
        // Replaced by a rebuild while it was waited for: the new files.
        if (held < 0 && attempt < kRebuildTries) continue;
        if (held <= 0) return Fail(table->Data().ErrorText());
        int ok = work(*table);
        table->Data().UnlockRebuild();
        return ok;
    }
}

void Schema::DeleteIndexFile(const String& tableName, const String& full) {
    // A rebuild that listed the index before its row went puts its new file
    // in place before this lock is granted; one after it does not list it.
    String path(full);
    if (UnderRebuildLock(tableName, [&](Table&) { return DeleteFile(path.Text()); }) <= 0)
        DeleteFile(path.Text());
}

// --- ALTER TABLE ------------------------------------------------------------------------------

int32_t Schema::CopyFields(VornSQLTable& data, List<XBaseField>& out, const XBaseField* skip) {
    int32_t skipped = -1;
    for (int32_t i = 0; i < data.FieldCount(); ++i) {
        XBaseField* f = data.FieldAt(i);
        if (f == skip) {
            skipped = i;
            continue;
        }
        out.Insert(new XBaseField(nullptr, f->Name(), f->Kind(), f->Length(), f->Decimals()), kListTail);
    }
    return skipped;
}

int Schema::OnCurrentFiles(const char* name, int32_t length, const std::function<int(Table*)>& change) {
    String tableName(name, length);
    // A rebuild that replaced the table after it was opened here: again, on
    // the new files.
    for (int attempt = 0;; ++attempt) {
        EvictTable(name, length);
        Table* table = LoadTable(name, length);
        if (!table) return Fail(String("Table '") + tableName + kSqlDoesNotExist);
        int ok = change(table);
        delete table;
        if (ok >= 0 || attempt + 1 == kRebuildTries) return ok > 0 ? 1 : 0;
    }
}

int Schema::AlterTableAdd(const char* name, int32_t length, const ColumnDefinitionList& columns) {
    if (length < 0) length = static_cast<int32_t>(std::strlen(name));
    String tableName(name, length);
    return OnCurrentFiles(name, length, [&](Table* table) {
        if (const ColumnDefinition* twice = Duplicate(&table->Data(), columns))
            return Fail(String("A field named '") + twice->name + "' already exists in table '" + tableName + "'");
        List<XBaseField> fields(true);
        bool hasMemo = table->Data().Version() == 0x83;
        CopyFields(table->Data(), fields, nullptr);
        for (int32_t i = 0; i < columns.Count(); ++i)
            if (columns.At(i)->type == kXBaseMemo) hasMemo = true;
        AddColumns(fields, columns);
        return Rebuild(table, fields, hasMemo, -1);
    });
}

int Schema::AlterTableDrop(const char* name, int32_t length, const char* column, int32_t columnLength) {
    if (length < 0) length = static_cast<int32_t>(std::strlen(name));
    if (columnLength < 0) columnLength = static_cast<int32_t>(std::strlen(column));
    String tableName(name, length);
    String columnName(column, columnLength);
    return OnCurrentFiles(name, length, [&](Table* table) {
        if (!OpenIndexes(table)) return Fail(String("Unable to open indexes for table '") + tableName + "'");
        XBaseField* dropped = table->Data().Field(column, columnLength);
        if (!dropped)
            return Fail(String("A field named '") + columnName + "' does not exist in table '" + tableName + "'");
        for (int32_t i = 0; i < table->IndexCount(); ++i) {
            Index* index = table->IndexAt(i);
            for (int32_t c = 0; c < index->ColumnCount(); ++c)
                if (index->Column(c) == dropped)
                    return Fail(String(kSqlColumnNamed) + columnName + kSqlUsedOnIndex + index->Name() + "'");
        }
        List<XBaseField> fields(true);
        int32_t position = CopyFields(table->Data(), fields, dropped);
        bool hasMemo = false;
        for (XBaseField* f = fields.First(); f; f = fields.Next())
            if (f->Kind() == kXBaseMemo) hasMemo = true;
        table->ClearIndexes();
        return Rebuild(table, fields, hasMemo, position);
    });
}

// --- DROP -------------------------------------------------------------------------------------

int Schema::DropIndex(const char* name, int32_t length) {
    if (length < 0) length = static_cast<int32_t>(std::strlen(name));
    if (!FindIndexRow(name, length))
        return Fail(String("Index name '") + String(name, length) + kSqlDoesNotExist);
    Row row;
    ReadRow(row);
    EvictTable(row.table.Text(), row.table.Length());
    String full(ResolvePath(row.file.Text(), row.file.Length()));
    // The row goes even when the file cannot.
    if (!FindIndexRow(name, length))
        return Fail(String("Index name '") + String(name, length) + kSqlDoesNotExist);
    if (!catalog->Delete()) return Fail(catalog->ErrorText());
    DeleteIndexFile(row.table, full);
    return 1;
}

int Schema::DropTable(const char* name, int32_t length) {
    if (length < 0) length = static_cast<int32_t>(std::strlen(name));
    if (!LockCreate()) return 0;
    int ok = DropTableLocked(name, length);
    UnlockCreate();
    return ok;
}

int Schema::DropTableLocked(const char* name, int32_t length) {
    String tableName(name, length);
    EvictTable(name, length);
    List<String> doomed(true);
    // Its index rows first.
    String prefix = Uppered((String("I:") + tableName + ":").Text(), -1);
    KPZIndexFile& byKey = schema1->File();
    int32_t record = 0;
    int found = 0;
    if (!byKey.Find(prefix.Text(), prefix.Length(), 0, &record, &found, 1)) return Fail(byKey.ErrorText());
    std::vector<int32_t> rows;
    while (found && record > 0) {
        rows.push_back(record);
        const char* next = nullptr;
        if (!byKey.Next(&record, &next, 1)) return Fail(byKey.ErrorText());
        if (record < 1 || !next ||
            std::strncmp(next, prefix.Text(), static_cast<size_t>(prefix.Length())) != 0)
            break;
    }
    for (size_t i = 0; i < rows.size(); ++i) {
        if (!catalog->Data().ReadRecord(rows[i])) {
            return Fail(i == 0 ? String("Schema database is corrupt") : catalog->Data().ErrorText());
        }
        if (catalog->Data().Deleted()) continue;
        Row row;
        ReadRow(row);
        doomed.Insert(new String(ResolvePath(row.file.Text(), row.file.Length())), kListTail);
        if (!catalog->Delete()) return Fail(catalog->ErrorText());
    }
    if (!FindTableRow(name, length)) return Fail(String("Table '") + tableName + kSqlDoesNotExist);
    Row row;
    ReadRow(row);
    String full(ResolvePath(row.file.Text(), row.file.Length()));
    doomed.Insert(new String(full), kListTail);
    doomed.Insert(new String(XBaseTable::MemoFileName(full.Text())), kListTail);
    if (!catalog->Delete()) return Fail(catalog->ErrorText());
    for (String* file = doomed.First(); file; file = doomed.Next())
        if (!DeleteFile(file->Text())) return 0;
    return 1;
}

} // namespace vorn
