// The table rebuild that ALTER TABLE and pack share, and pack itself.
//
// The new files are written under temporary names beside the old ones while
// the old table's header, every record byte and its index headers are held
// exclusively, from reading the record count until the new files are in
// place: no request writes in between, and one whose lock is granted
// afterwards finds its file replaced and fails instead of writing into it.
//
// Lock order, which every request of a database keeps (it waits only for a
// lock later in it than each lock it holds): the catalog's create byte, a
// catalog record, the catalog's header (its first 32 bytes are the pack
// lock, which a pack holds throughout), the catalog's probe byte (held by a
// VrCREATE that replaces the catalog while it renames, taken for an instant
// by an open), tables' gate and statement bytes in
// the order of their names (a writing statement holds the statement bytes
// of its tables shared, a rebuild its table's for write, from before it
// reads the record count until its files are in place), a table's records
// (its own, or all for a rebuild), the table's header, its index headers,
// and last the catalog's index headers.
// So a writer holding its record never waits for the catalog: it brings its
// indexes up to date before it takes the record, and gives the record up
// while it reopens them. A reading statement holds index headers shared in
// the order of their catalog keys, which is the order a rebuild takes them
// in, and holds none while it waits for anything else.
#include <cstring>
#include <memory>
#include <vector>

#include "engine/foundation/Messages.h"
#include "sqllib/front/SqlMessages.h"
#include "sqllib/store/Schema.h"

namespace vorn {

namespace {

// The new files of a rebuild while they are made.
struct Temporaries {
    explicit Temporaries(VornSQLFiles& files) : files(files) {}
    ~Temporaries() {
        for (String* name = names.First(); name; name = names.Next())
            if (!keep) files.Delete(name->Text(), name->Length());
    }
    void Add(const String& name) { names.Insert(new String(name), kListTail); }

    VornSQLFiles& files;
    List<String> names{true};
    bool keep = false;
};

// The old indexes, locked for the whole rebuild.
struct OldIndexes {
    ~OldIndexes() {
        for (size_t i = 0; i < locked; ++i)
            indexes[i]->File().Store()->Unlock(0, kIndexHeaderSize);
        for (PackIndex* index : indexes)
            delete index;
    }
    std::vector<PackIndex*> indexes;
    size_t locked = 0;
};

} // namespace

int Schema::Rebuild(Table* table, List<XBaseField>& newFields, bool hasMemo, int32_t droppedPosition) {
    VornSQLTable& old = table->Data();
    String tableName(table->Name());
    String dataPath(old.Name());
    String memoPath(old.MemoName().IsEmpty() ? XBaseTable::MemoFileName(dataPath.Text()) : old.MemoName());
    bool hadMemo = old.Version() == 0x83;

    // No statement is running on the table from here on, and none starts;
    // CREATE and DROP INDEX of the table wait too, so the indexes listed
    // now are those whose files are there, and stay so.
    int rebuilding = old.LockRebuild();
    if (rebuilding <= 0) {
        Fail(old.ErrorText());
        return rebuilding;
    }
    struct Unlock {
        VornSQLTable& table;
        ~Unlock() {
            table.UnlockAll();
            table.UnlockRebuild();
        }
    } unlock{old};
    OldIndexes olds;
    if (!IndexRows(table, olds.indexes)) return 0;
    XBaseField* dropped = droppedPosition >= 0 ? old.FieldAt(droppedPosition) : nullptr;
    for (PackIndex* index : olds.indexes) {
        if (index->FileValue().IsEmpty())
            return Fail(String("Unable to resolve filepath for index '") + index->Name() + "'");
        // An index made on the column since the ALTER looked.
        for (int32_t c = 0; dropped && c < index->ColumnCount(); ++c)
            if (index->Column(c) == dropped)
                return Fail(String(kSqlColumnNamed) + dropped->Name() + kSqlUsedOnIndex + index->Name() + "'");
        const String& file = ResolvePath(index->FileValue().Text(), index->FileValue().Length());
        if (!index->Open(file.Text(), file.Length())) return Fail(index->ErrorText());
    }
    if (!old.LockAll()) return Fail(old.ErrorText());
    for (PackIndex* index : olds.indexes) {
        if (!index->File().Store()->Lock(true, 0, kIndexHeaderSize))
            return Fail(String(kErrorLocking) + index->File().Name() + "' for write");
        ++olds.locked;
    }
    int32_t count = old.RecordCount();

    Temporaries made(files);
    Table fresh(this, tableName.Text(), tableName.Length());
    String dataTemporary;
    XBaseStore* dataStore = files.MakeTemporary(dataPath.Text(), kSQLOpenCreateNew, dataTemporary);
    if (!dataStore)
        return Fail(String("Failed to create data file for table '") + tableName + "': " + files.ErrorText());
    made.Add(dataTemporary);
    String memoTemporary;
    XBaseStore* memoStore = nullptr;
    if (hasMemo) {
        memoStore = files.MakeTemporary(memoPath.Text(), kSQLOpenCreateNew, memoTemporary);
        if (!memoStore) {
            delete dataStore;
            return Fail(String("Failed to create memo file for table '") + tableName +
                        "': " + files.ErrorText());
        }
        made.Add(memoTemporary);
    }
    if (!fresh.Data().CreateOn(dataStore, dataTemporary.Text(), memoStore, memoTemporary.Text(), newFields)) {
        delete dataStore;
        delete memoStore;
        return Fail(fresh.Data().ErrorText());
    }
    std::vector<String> indexTemporaries;
    for (PackIndex* index : olds.indexes) {
        const String& target = ResolvePath(index->FileValue().Text(), index->FileValue().Length());
        String name;
        XBaseStore* store = files.MakeTemporary(target.Text(), kSQLOpenCreateNew, name);
        if (!store) return Fail(String(kSqlErrorCreatingSchemaIndex) + files.ErrorText());
        made.Add(name);
        auto* rebuilt = new PackIndex(&fresh, index->Name().Text(), index->Name().Length(), index->Flags(),
                                      index->FileValue().Text());
        for (int32_t c = 0; c < index->ColumnCount(); ++c)
            if (XBaseField* field = fresh.Data().Field(index->Column(c)->Name())) rebuilt->AddColumn(field);
        fresh.AddIndex(rebuilt);
        if (!rebuilt->CreateOn(store, name.Text(), name.Length())) {
            delete store;
            return Fail(String(kSqlErrorCreatingSchemaIndex) + rebuilt->ErrorText());
        }
        indexTemporaries.push_back(name);
    }

    VornSQLTable& data = fresh.Data();
    for (int32_t r = 1; r <= count; ++r) {
        if (!old.ReadRecord(r)) return Fail(old.ErrorText());
        if (old.Deleted()) continue;
        int32_t to = 0;
        for (int32_t from = 0; from < old.FieldCount(); ++from) {
            if (from == droppedPosition) continue;
            if (to >= data.FieldCount()) break;
            XBaseField* source = old.FieldAt(from);
            const char* value = source->Value();
            if (!value) return Fail(old.ErrorText());
            if (!data.FieldAt(to)->SetValue(value, source->ValueLength())) return Fail(data.ErrorText());
            ++to;
        }
        for (; to < data.FieldCount(); ++to)
            data.FieldAt(to)->SetValue("", 0);
        if (!data.AppendRecord()) return Fail(data.ErrorText());
        for (int32_t i = 0; i < fresh.IndexCount(); ++i)
            if (!fresh.IndexAt(i)->InsertKey()) return Fail(fresh.IndexAt(i)->ErrorText());
    }
    data.Close();
    for (int32_t i = 0; i < fresh.IndexCount(); ++i)
        fresh.IndexAt(i)->File().Close();

    // Other requests keep tables and indexes while the catalog counter stands
    // still: it moves before the first rename, and the catalog's index stays
    // locked until the last, so that a request that reads the new counter
    // finds the new files (its catalog search waits for them), and no table
    // read before is taken again for a later statement.
    if (!schema1->File().Touch(true))
        return Fail(String("Error updating schema index: ") + schema1->File().ErrorText());
    struct Counted {
        XBaseStore* store;
        void Release() {
            if (store) store->Unlock(0, kIndexHeaderSize);
            store = nullptr;
        }
        ~Counted() { Release(); }
    } counted{schema1->File().Store()};

    // In place, data first. Until the first rename the old set is whole and
    // the temporaries go; after it the new set is, partly under the names
    // the message gives.
    if (!files.Rename(dataTemporary.Text(), dataPath.Text()))
        return Fail(String("Failed to rename datafile '") + dataPath + "' for table '" + tableName +
                    "': " + files.ErrorText());
    made.keep = true;
    String failure;
    List<String> left(true);
    if (hasMemo) {
        if (!files.Rename(memoTemporary.Text(), memoPath.Text())) {
            failure = String("Failed to rename memo file '") + memoPath + "' for table '" + tableName +
                      "': " + files.ErrorText();
            left.Insert(new String(memoTemporary), kListTail);
        }
    }
    for (size_t i = 0; i < olds.indexes.size(); ++i) {
        String target(
            ResolvePath(olds.indexes[i]->FileValue().Text(), olds.indexes[i]->FileValue().Length()));
        if (failure.IsEmpty() && files.Rename(indexTemporaries[i].Text(), target.Text())) continue;
        if (failure.IsEmpty())
            failure = String("Failed to rename index file '") + target + "' for table '" + tableName +
                      "': " + files.ErrorText();
        left.Insert(new String(indexTemporaries[i]), kListTail);
    }
    counted.Release();
    if (failure.IsEmpty()) {
        if (!hasMemo && hadMemo) {
            // The old memo file goes once nothing holds it.
            old.UnlockAll();
            old.Close();
            files.Delete(memoPath.Text(), memoPath.Length());
        }
        return 1;
    }
    failure.Append("; the rebuilt files not yet in place are kept as");
    for (String* name = left.First(); name; name = left.Next())
        failure = failure + " '" + *name + "'";
    return Fail(failure);
}

int Schema::Pack() {
    Log("Starting Packing\n");
    VornSQLTable& data = catalog->Data();
    if (!data.LockHeader(2)) return Fail(String("Unable to lock schema for pack:") + data.ErrorText());
    EmptyCache();
    int ok = data.ReadHeader();
    if (!ok) SetError(data.ErrorText());
    int32_t count = data.RecordCount();
    for (int32_t r = 1; ok && r <= count; ++r) {
        if (!data.ReadRecord(r)) break;
        if (data.Deleted() || !String(fieldType->Value()).Equals("T")) continue;
        String name(fieldTable->Value());
        Log("Packing %.*s...", name.Length(), name.Text());
        // Table by table: each is held against statements only while it is
        // rebuilt. One an ALTER replaced after it was opened here is opened
        // again.
        for (int attempt = 0; ok; ++attempt) {
            Table* table = LoadTable(name.Text(), name.Length());
            if (!table) {
                ok = Fail(String("Unable to open data file: ") + error);
                break;
            }
            List<XBaseField> fields(true);
            CopyFields(table->Data(), fields, nullptr);
            int rebuilt = Rebuild(table, fields, table->Data().Version() == 0x83, -1);
            delete table;
            if (rebuilt > 0) break;
            if (rebuilt == 0 || attempt + 1 == kRebuildTries) ok = Fail(String("Error packing table '") + name + "': " + error);
        }
        if (!ok) break;
        Log("done\n");
    }
    data.UnlockHeader();
    if (ok) Log("Packing done\n");
    return ok;
}

} // namespace vorn
