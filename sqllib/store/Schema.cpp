// The catalog: creating and opening it, finding rows, loading tables and
// their indexes, file names and the log; and the Index objects.
#include "sqllib/store/Schema.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/foundation/LittleEndian.h"
#include "engine/foundation/Messages.h"
#include "sqllib/front/SqlMessages.h"

namespace vorn {

namespace {

constexpr int32_t kLogBuffer = 2048;
// Where an index file's header keeps its change counter.
constexpr int64_t kIndexCounterOffset = 5;

char Upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
}

bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}

} // namespace

// --- Index -------------------------------------------------------------------------------------

Index::Index(Table* table, const char* indexName, int32_t length, uint32_t flags)
    : table(table), name(indexName, length), file(table->Data().Files()), flags(flags) {}

Index::~Index() = default;

void Index::SetColumns(const char* text, int32_t length) {
    if (!text) return;
    if (length < 0) length = static_cast<int32_t>(std::strlen(text));
    int32_t start = 0;
    for (int32_t i = 0; i <= length; ++i) {
        if (i < length && text[i] != ':') continue;
        if (XBaseField* field = table->Data().Field(text + start, i - start)) columns.push_back(field);
        start = i + 1;
    }
}

String Index::KeyText() const {
    String text("toupper( ");
    for (size_t i = 0; i < columns.size(); ++i) {
        if (i > 0) text.Append(" $ ':' $ ");
        text.Append("d.");
        text.Append(columns[i]->Name());
    }
    text.Append(" )");
    return text;
}

int Index::Create(const char* path, int32_t length, int32_t mode) {
    String where(path, length);
    XBaseStore* store = table->Data().Files()->Open(where.Text(), where.Length(), mode);
    if (!store) {
        file.SetError(String(kErrorCreating) + where + "': " + table->Data().Files()->ErrorText());
        return 0;
    }
    if (!CreateOn(store, where.Text(), where.Length())) {
        delete store;
        return 0;
    }
    return 1;
}

int Index::CreateOn(XBaseStore* store, const char* path, int32_t length) {
    String where(path, length);
    return file.Create(store, where.Text(), KeyText().Text(), flags);
}

int Index::Open(const char* path, int32_t length) {
    String where(path, length);
    return file.Open(kSQLLocationData, where.Text(), kSQLOpenReadWrite);
}

XBaseField* Index::Shape(size_t column) {
    if (shapes.size() < columns.size()) shapes.resize(columns.size());
    if (!shapes[column]) {
        XBaseField* field = columns[column];
        int32_t kind = field->Kind() == kXBaseMemo ? kXBaseCharacter : field->Kind();
        shapes[column].reset(new XBaseField(nullptr, field->Name(), kind, field->Length(), field->Decimals()));
    }
    return shapes[column].get();
}

void Index::AppendPart(size_t column, const char* text) {
    if (column > 0) key.AppendChar(':');
    if (!text) text = "";
    int32_t n = static_cast<int32_t>(std::strlen(text));
    XBaseField* field = columns[column];
    if (field->Kind() == kXBaseNumeric)
        for (int32_t pad = field->Length() - n; pad > 0; --pad)
            key.AppendChar('0');
    key.Append(text, n);
}

const String& Index::BuildKey(bool previous) {
    key.Assign("", 0);
    for (size_t i = 0; i < columns.size(); ++i) {
        XBaseField* field = columns[i];
        const char* text = previous ? field->SavedValue() : field->Value();
        if (!text) text = "";
        // Through the bytes a record would hold: an insert's key is the one
        // its update and delete find again.
        int32_t width = field->Length();
        if (field->Kind() != kXBaseMemo && width > 0 && static_cast<int32_t>(std::strlen(text)) <= width) {
            XBaseField* shape = Shape(i);
            bytes.resize(static_cast<size_t>(width) + 1);
            if (shape->SetValue(text, -1) && shape->StoreToRecord(bytes.data()) &&
                shape->LoadFromRecord(bytes.data()))
                text = shape->Value();
        }
        AppendPart(i, text);
    }
    key.ToUpper();
    return key;
}

const String& Index::KeyOfRecord(const uint8_t* record) {
    key.Assign("", 0);
    for (size_t i = 0; i < columns.size(); ++i) {
        XBaseField* shape = Shape(i);
        shape->LoadFromRecord(record + columns[i]->Offset());
        AppendPart(i, shape->Value());
    }
    key.ToUpper();
    return key;
}

bool Index::KeyedByBytes() const {
    for (XBaseField* field : columns)
        if (field->Kind() == kXBaseMemo) return false;
    return true;
}

int Index::InsertKey() {
    const String& k = BuildKey(false);
    return file.Insert(table->Data().CurrentRecord(), k.Text(), k.Length());
}

const String& Index::LockOrder() {
    if (lockOrder.IsEmpty()) {
        lockOrder = String("I:") + table->Name() + ":" + name;
        lockOrder.ToUpper();
    }
    return lockOrder;
}

int Index::Holds(const String& k, int32_t record) {
    if (file.Reposition(k.Text(), k.Length(), record, 1)) return 1;
    return file.ErrorText().Equals(kRecordNotInIndex) ? 0 : -1;
}

// --- Schema: paths and objects -------------------------------------------------------------------

Schema::Schema(VornProgram* program) : program(program), files(program) {}

Schema::~Schema() {
    DropIdleTables();
    Reset();
    CloseLog();
}

void Schema::Reset() {
    EmptyCache();
    delete catalog; // deletes the catalog indexes with it
    catalog = nullptr;
    schema1 = schema2 = nullptr;
    fieldType = fieldTable = fieldIndex = fieldFile = fieldColumns = fieldFlags = nullptr;
    path.Assign("", 0);
    index1Path.Assign("", 0);
    index2Path.Assign("", 0);
}

void Schema::DerivePaths(const char* text, int32_t length) {
    path.Assign(text, length);
    const char* p = path.Text();
    int32_t n = path.Length();
    int32_t slash = -1;
    for (int32_t i = 0; i < n; ++i)
        if (IsSeparator(p[i])) slash = i;
    directory.Assign(p, slash + 1);
    int32_t dot = -1;
    for (int32_t i = slash + 1; i < n; ++i)
        if (p[i] == '.') dot = i;
    int32_t base = dot < 0 ? n : dot;
    index1Path = String(p, base) + ".vrx";
    index2Path = String(p, base) + "i.vrx";
}

void Schema::BuildCatalog() {
    delete catalog;
    catalog = new Table(this, "Schema", -1);
    catalog->SetCatalog();
    schema1 = new Index(catalog, "Schema_1", -1, kSQLIndexUnique);
    schema2 = new Index(catalog, "Schema_2", -1, 0);
    catalog->AddIndex(schema1);
    catalog->AddIndex(schema2);
    catalog->SetIndexesOpen(0);
}

const String& Schema::ResolvePath(const char* value, int32_t length) {
    scratch.Assign(directory);
    scratch.Append(value ? value : "", value ? length : 0);
    return scratch;
}

int Schema::Create(const char* text, int32_t length) {
    Reset();
    DerivePaths(text, length);
    String target(path), first(index1Path), second(index2Path);
    // A new catalog is made whole before its data file takes the name, so
    // that an open finds all of one catalog or none. The first creator
    // claims the first index file (created new, a byte of it held) and
    // puts the data file in place last; one that comes while the claim is
    // held waits, and then opens what was made.
    bool existed = files.Exists(target.Text(), target.Length());
    std::unique_ptr<XBaseStore> claim;
    if (!existed) {
        claim.reset(files.Open(first.Text(), first.Length(), kSQLOpenCreateNew));
        if (!claim) claim.reset(files.Open(first.Text(), first.Length(), kSQLOpenReadWrite));
        if (!claim) return Fail(String(kSqlErrorCreatingSchemaIndex) + files.ErrorText());
        // A claim replaced while it waited is the index of a database made
        // and then made again meanwhile: it is there to open.
        bool claimed = claim->Lock(true, kSQLGateByte, 1);
        if (!claimed && !FileReplaced(claim.get()))
            return Fail(String(kSqlErrorCreatingSchemaIndex) + claim->ErrorText());
        if (!claimed || files.Exists(target.Text(), target.Length())) {
            claim.reset();
            return Open(target.Text(), target.Length());
        }
    }
    BuildCatalog();
    List<XBaseField> fields(true);
    fields.Insert(new XBaseField(nullptr, "TYPE", kXBaseCharacter, 1, 0), kListTail);
    fields.Insert(new XBaseField(nullptr, "TABLE", kXBaseCharacter, 64, 0), kListTail);
    fields.Insert(new XBaseField(nullptr, "INDEX", kXBaseCharacter, 64, 0), kListTail);
    fields.Insert(new XBaseField(nullptr, "FILE", kXBaseCharacter, 254, 0), kListTail);
    fields.Insert(new XBaseField(nullptr, "COLUMNS", kXBaseCharacter, 254, 0), kListTail);
    fields.Insert(new XBaseField(nullptr, "INDEXFLAGS", kXBaseNumeric, 19, 0), kListTail);
    // The files under other names; on failure they go.
    std::vector<String> made;
    struct Cleanup {
        VornSQLFiles& files;
        std::vector<String>& names;
        ~Cleanup() {
            for (const String& name : names) files.Delete(name.Text(), name.Length());
        }
    } cleanup{files, made};
    String dataName;
    XBaseStore* store = files.MakeTemporary(target.Text(), kSQLOpenCreateNew, dataName);
    if (!store) return Fail(String(kSqlErrorCreatingSchemaDatabase) + files.ErrorText());
    made.push_back(dataName);
    if (!catalog->Data().CreateOn(store, dataName.Text(), nullptr, "", fields)) {
        delete store;
        return Fail(String(kSqlErrorCreatingSchemaDatabase) + catalog->Data().ErrorText());
    }
    if (!Verify()) return 0;
    // Claimed, the index files are written in place (over what a creator
    // that stopped left); replacing, beside the old ones.
    String firstName(first), secondName(second);
    for (Index* index : {schema1, schema2}) {
        String& name = index == schema1 ? firstName : secondName;
        XBaseStore* at = existed ? files.MakeTemporary(name.Text(), kSQLOpenCreateNew, name)
                                 : files.Open(name.Text(), name.Length(), kSQLOpenCreate);
        if (!at) return Fail(String(kSqlErrorCreatingSchemaIndex) + files.ErrorText());
        if (existed) made.push_back(name);
        if (!index->CreateOn(at, name.Text(), name.Length())) {
            delete at;
            return Fail(String(kSqlErrorCreatingSchemaIndex) + index->ErrorText());
        }
    }
    Reset();
    // The old catalog, if any, is replaced under its create lock and its
    // pack lock: no table is made or dropped in it meanwhile, its readers
    // keep reading the old files, its writers are refused for the replaced
    // file. One replaced meanwhile by another creator is that creator's new
    // catalog, which is opened instead. The new catalog's create lock is
    // held from before it takes its name until the old one's files are
    // gone, so that no table is made in it while one of them is in the way
    // (taken first: nobody else knows the file yet, so it never waits).
    std::unique_ptr<XBaseStore> old, fresh;
    std::vector<String> doomed;
    if (existed) {
        fresh.reset(files.Open(dataName.Text(), dataName.Length(), kSQLOpenReadWrite));
        if (!fresh || !fresh->Lock(true, kSQLCreateByte, 1))
            return Fail(String(kSqlErrorCreatingSchemaDatabase) +
                        (fresh ? fresh->ErrorText() : files.ErrorText()));
        old.reset(files.Open(target.Text(), target.Length(), kSQLOpenReadWrite));
        if (!old) return Fail(String(kSqlErrorOpeningSchemaDatabase) + files.ErrorText());
        if (!old->Lock(true, kSQLCreateByte, 1) || !old->Lock(true, 0, kSQLHeaderLockLength)) {
            if (FileReplaced(old.get())) {
                old.reset();
                return Open(target.Text(), target.Length());
            }
            return Fail(String(kSqlUnableToLockSchema) + old->ErrorText());
        }
        // A catalog no row was ever written to is what a new one would be:
        // another request has just made it.
        uint8_t count[4] = {1, 0, 0, 0};
        if (old->ReadAt(4, count, 4) == 4 && count[0] == 0 && count[1] == 0 && count[2] == 0 && count[3] == 0) {
            old.reset();
            return Open(target.Text(), target.Length());
        }
        // The old catalog's tables and indexes go with it: no row names them
        // any more, and they would stand in the way of new ones.
        if (!CatalogFiles(target, doomed)) return 0;
        // Opens wait for the probe byte until the last file is in place, so
        // that none takes the old data file with a new index.
        if (!old->Lock(true, kSQLProbeByte, 1))
            return Fail(String(kSqlUnableToLockSchema) + old->ErrorText());
        if (!files.Rename(firstName.Text(), first.Text()) || !files.Rename(secondName.Text(), second.Text()))
            return Fail(String(kSqlErrorCreatingSchemaIndex) + files.ErrorText());
    }
    if (!files.Rename(dataName.Text(), target.Text()))
        return Fail(String(kSqlErrorCreatingSchemaDatabase) + files.ErrorText());
    made.clear();
    old.reset();
    claim.reset();
    for (const String& file : doomed) DeleteFile(file.Text());
    fresh.reset();
    return Open(target.Text(), target.Length());
}

int Schema::CatalogFiles(const String& at, std::vector<String>& out) {
    VornSQLTable previous(&files);
    if (!previous.Open(at.Text(), at.Length(), kSQLOpenReadWrite))
        return Fail(String(kSqlErrorOpeningSchemaDatabase) + previous.ErrorText());
    XBaseField* type = previous.Field("TYPE");
    XBaseField* file = previous.Field("FILE");
    // Records up to the count read at open: a later one would wait for the
    // header, which the caller holds.
    for (int32_t r = 1; type && file && r <= previous.RecordCount(); ++r) {
        if (!previous.ReadRecord(r)) return Fail(previous.ErrorText());
        if (previous.Deleted() || !file->Value() || !file->Value()[0]) continue;
        out.push_back(ResolvePath(file->Value(), file->ValueLength()));
        if (String(type->Value()).Equals("T")) out.push_back(XBaseTable::MemoFileName(out.back().Text()));
    }
    return 1;
}

int Schema::Open(const char* text, int32_t length) {
    for (int attempt = 0;; ++attempt) {
        Reset();
        DerivePaths(text, length);
        BuildCatalog();
        if (!files.Exists(path.Text(), path.Length())) {
            // Being made by another request (Create holds its claim on the
            // first index file until the data file is in place): opened once
            // it is.
            if (std::unique_ptr<XBaseStore> claim{
                    files.Open(index1Path.Text(), index1Path.Length(), kSQLOpenReadWrite)})
                if (claim->Lock(false, kSQLGateByte, 1)) claim->Unlock(kSQLGateByte, 1);
        }
        if (!catalog->Data().Open(path.Text(), path.Length(), kSQLOpenReadWrite))
            return Fail(String(kSqlErrorOpeningSchemaDatabase) + catalog->Data().ErrorText());
        if (!schema1->Open(index1Path.Text(), index1Path.Length()))
            return Fail(String("Error opening schema index: ") + schema1->ErrorText());
        if (!schema2->Open(index2Path.Text(), index2Path.Length()))
            return Fail(String("Error opening schema index: ") + schema2->ErrorText());
        if (!Verify()) return 0;
        // The index files are renamed before the data file when a catalog is
        // replaced, which holds the probe byte of the old data file
        // meanwhile: a data file still under its name past that byte came
        // with its own indexes.
        if (catalog->Data().Probe() >= 0) return 1;
        if (attempt == 3)
            return Fail(String(kSqlErrorOpeningSchemaDatabase) + catalog->Data().ErrorText());
    }
}

int Schema::Verify() {
    VornSQLTable& data = catalog->Data();
    fieldType = data.Field("TYPE");
    fieldTable = data.Field("TABLE");
    fieldIndex = data.Field("INDEX");
    fieldFile = data.Field("FILE");
    fieldColumns = data.Field("COLUMNS");
    fieldFlags = data.Field("INDEXFLAGS");
    if (!fieldType || !fieldTable || !fieldIndex || !fieldFile || !fieldColumns || !fieldFlags)
        return Fail(String("File '") + path + "' is not a valid VornSQL schema database");
    schema1->AddColumn(fieldType);
    schema1->AddColumn(fieldTable);
    schema1->AddColumn(fieldIndex);
    schema2->AddColumn(fieldIndex);
    return 1;
}

// --- Schema: rows ------------------------------------------------------------------------------

void Schema::ReadRow(Row& row) {
    row.type.Assign(fieldType->Value());
    row.table.Assign(fieldTable->Value());
    row.index.Assign(fieldIndex->Value());
    row.file.Assign(fieldFile->Value());
    row.columns.Assign(fieldColumns->Value());
    row.flags.Assign(fieldFlags->Value());
}

void Schema::SetRow(const Row& row) {
    fieldType->SetValue(row.type.Text(), row.type.Length());
    fieldTable->SetValue(row.table.Text(), row.table.Length());
    fieldIndex->SetValue(row.index.Text(), row.index.Length());
    fieldFile->SetValue(row.file.Text(), row.file.Length());
    fieldColumns->SetValue(row.columns.Text(), row.columns.Length());
    fieldFlags->SetValue(row.flags.Text(), row.flags.Length());
}

int Schema::WriteRow(const Row& row, int32_t reuse) {
    VornSQLTable& data = catalog->Data();
    if (reuse > 0) {
        // The row keeps its key; its values are written while it is still
        // deleted, so a live row never names a stale file.
        if (!data.ReadRecord(reuse)) return Fail(data.ErrorText());
        SetRow(row);
        if (!catalog->Update())
            return Fail(catalog->ErrorText().IsEmpty() ? data.ErrorText() : catalog->ErrorText());
        // Held through the mark and the header: a mark written before the
        // header failed goes back, so that a failed write leaves no live row.
        if (!data.LockCurrentRecord()) return Fail(data.ErrorText());
        int live = data.SetDeleted(0);
        if (!live) {
            SetError(data.ErrorText());
            data.WriteDeletedMark(reuse, true);
        }
        data.UnlockCurrentRecord();
        return live;
    }
    SetRow(row);
    if (!catalog->Insert()) return Fail(catalog->ErrorText());
    return 1;
}

int Schema::ReadCatalogRow(int32_t record) {
    // A row appended since the header was read: its count is read again
    // without the header's lock, which a pack holds while it waits for the
    // statements on a table, and a writing statement may be one of them.
    VornSQLTable& data = catalog->Data();
    if (record > data.RecordCount()) data.ReadHeader();
    return data.ReadRecord(record);
}

int Schema::FindTableRow(const char* name, int32_t length, int32_t* row) {
    if (row) *row = 0;
    String key = String("T:") + String(name, length) + ":";
    for (int32_t i = 0; i < key.Length(); ++i)
        key.Data()[i] = Upper(key.Data()[i]);
    int32_t record = 0;
    int found = 0;
    KPZIndexFile& index = schema1->File();
    if (!index.Find(key.Text(), key.Length(), 1, &record, &found, 1)) return Fail(index.ErrorText());
    if (!found || record < 1) return 0;
    if (!ReadCatalogRow(record)) return Fail(catalog->Data().ErrorText());
    if (row) *row = record;
    return catalog->Data().Deleted() ? 0 : 1;
}

int Schema::FindIndexRow(const char* name, int32_t length, int32_t* row) {
    if (row) *row = 0;
    String key(name, length);
    for (int32_t i = 0; i < key.Length(); ++i)
        key.Data()[i] = Upper(key.Data()[i]);
    KPZIndexFile& index = schema2->File();
    int32_t record = 0;
    int found = 0;
    if (!index.Find(key.Text(), key.Length(), 1, &record, &found, 1)) return Fail(index.ErrorText());
    // Every entry of the name: a deleted row must not hide a live one.
    while (found && record > 0) {
        if (!ReadCatalogRow(record)) return Fail(catalog->Data().ErrorText());
        if (row && *row == 0) *row = record;
        if (!catalog->Data().Deleted()) {
            if (row) *row = record;
            return 1;
        }
        const char* next = nullptr;
        if (!index.Next(&record, &next, 1)) return Fail(index.ErrorText());
        if (record < 1 || !next || !key.Equals(next)) break;
    }
    // The last row read stays current: re-read the first one found.
    if (row && *row > 0 && !ReadCatalogRow(*row)) return Fail(catalog->Data().ErrorText());
    return 0;
}

Table* Schema::LoadTable(const char* name, int32_t length) {
    if (length < 0) length = static_cast<int32_t>(std::strlen(name));
    if (!FindTableRow(name, length)) {
        SetError(String(kSqlUnknownTable) + String(name, length) + "'");
        return nullptr;
    }
    Row row;
    ReadRow(row);
    auto* table = new Table(this, row.table.Text(), row.table.Length());
    const String& file = ResolvePath(row.file.Text(), row.file.Length());
    if (!table->Data().Open(file.Text(), file.Length(), kSQLOpenReadWrite)) {
        SetError(table->Data().ErrorText());
        delete table;
        return nullptr;
    }
    return table;
}

Table* Schema::GetTable(const char* name, int32_t length) {
    if (length < 0) length = static_cast<int32_t>(std::strlen(name));
    if (Table* cached = tables.Find(name, length)) return cached;
    Table* table = LoadTable(name, length);
    if (table) tables.Insert(table);
    return table;
}

void Schema::EvictTable(const char* name, int32_t length) {
    delete tables.Remove(name, length);
}

Table* Schema::TakeIdleTable(const char* name, int32_t length, uint32_t counter) {
    if (idle.empty()) return nullptr;
    if (counter != idleCounter) {
        DropIdleTables();
        return nullptr;
    }
    for (size_t i = idle.size(); i-- > 0;) {
        Table* table = idle[i];
        if (!table->Name().EqualsNoCase(name, length)) continue;
        idle.erase(idle.begin() + static_cast<std::ptrdiff_t>(i));
        for (int32_t f = 0; f < table->Data().FieldCount(); ++f) table->Data().FieldAt(f)->SetValue("", 0);
        return table;
    }
    return nullptr;
}

void Schema::GiveIdleTable(Table* table, uint32_t openedAt) {
    if (!table) return;
    if (table->HasPending()) table->ApplyPending();
    table->DropRetiredIndexes();
    // Indexes reopened after a catalog change may be newer than the data.
    if (table->IndexesOpen() && table->IndexCounter() != openedAt) {
        delete table;
        return;
    }
    // Kept at the counter it was opened at: a table read before a catalog
    // change may describe files that are gone, and Take, comparing the
    // counter just read, drops it then.
    if (idle.size() >= 16 || (!idle.empty() && openedAt != idleCounter)) DropIdleTables();
    idleCounter = openedAt;
    idle.push_back(table);
}

void Schema::DropIdleTables() {
    for (Table* table : idle) delete table;
    idle.clear();
}

void Schema::CheckCache(uint32_t counter) {
    if (cacheCounted && counter == cacheCounter) return;
    EmptyCache();
    cacheCounter = counter;
    cacheCounted = true;
}

void Schema::EmptyCache() {
    for (int32_t i = 0; i < tables.Used(); ++i) {
        Table* table = tables.ItemAt(i);
        if (table) delete tables.Remove(table->Name().Text(), table->Name().Length());
    }
    tables.Clear();
}

int Schema::CatalogCounter(uint32_t* out) {
    KPZIndexFile& index = schema1->File();
    XBaseStore* store = index.Store();
    if (!store) return Fail(String(kInternalErrorOpening) + index.Name() + "'");
    // No lock: the counter is the last thing a catalog change writes, and a
    // read that meets the write half-way gives some of the new bytes, so
    // another value. The old value read after a record write means the
    // change was not done then, and CREATE INDEX fills only after it is.
    uint8_t bytes[4];
    if (store->ReadAt(kIndexCounterOffset, bytes, 4) != 4)
        return Fail(String(kErrorReadingFrom) + index.Name() + "': " + store->ErrorText());
    *out = GetU32(bytes);
    return 1;
}

int Schema::IndexRows(Table* table, std::vector<PackIndex*>& out) {
    String prefix = String("I:") + table->Name() + ":";
    for (int32_t i = 0; i < prefix.Length(); ++i)
        prefix.Data()[i] = Upper(prefix.Data()[i]);
    KPZIndexFile& index = schema1->File();
    int32_t record = 0;
    int found = 0;
    if (!index.Find(prefix.Text(), prefix.Length(), 0, &record, &found, 1)) return Fail(index.ErrorText());
    while (found && record > 0) {
        if (!ReadCatalogRow(record)) {
            for (PackIndex* made : out)
                delete made;
            out.clear();
            return Fail(catalog->Data().ErrorText());
        }
        if (!catalog->Data().Deleted()) {
            Row row;
            ReadRow(row);
            auto* made = new PackIndex(table, row.index.Text(), row.index.Length(),
                                       static_cast<uint32_t>(std::strtoul(row.flags.Text(), nullptr, 10)),
                                       row.file.Text());
            made->SetColumns(row.columns.Text(), row.columns.Length());
            out.push_back(made);
        }
        const char* next = nullptr;
        if (!index.Next(&record, &next, 1)) {
            for (PackIndex* made : out)
                delete made;
            out.clear();
            return Fail(index.ErrorText());
        }
        if (record < 1 || !next ||
            std::strncmp(next, prefix.Text(), static_cast<size_t>(prefix.Length())) != 0)
            break;
    }
    return 1;
}

int Schema::OpenIndexes(Table* table) {
    for (int attempt = 0;; ++attempt) {
        uint32_t counter = 0;
        // The counter first: a change after it is seen at the next check.
        if (!CatalogCounter(&counter)) return 0;
        std::vector<PackIndex*> rows;
        if (!IndexRows(table, rows)) return 0;
        table->ClearIndexes();
        int ok = 1;
        for (PackIndex* row : rows) {
            if (ok) {
                const String& file = ResolvePath(row->FileValue().Text(), row->FileValue().Length());
                if (!row->Open(file.Text(), file.Length())) {
                    SetError(row->ErrorText());
                    ok = 0;
                }
            }
            if (ok)
                table->AddIndex(row);
            else
                delete row;
        }
        if (!ok) {
            table->ClearIndexes();
            // DROP INDEX, or a CREATE INDEX undone, deletes its row before
            // its file: read the rows again.
            if (attempt < 3) continue;
            return 0;
        }
        // A rebuild moves the counter before it renames, so the same counter
        // after the files opened means they are all of one set of files.
        uint32_t after = 0;
        if (!CatalogCounter(&after)) return 0;
        if (after == counter || attempt == 3) {
            table->SetIndexesOpen(counter);
            return 1;
        }
    }
}

// --- The log ---------------------------------------------------------------------------------------

int Schema::OpenLog(const char* logPath, int32_t length) {
    CloseLog();
    log = vrFile_Open(program, kSQLLocationData, logPath, length, kSQLOpenLog);
    return log ? 1 : 0;
}

void Schema::CloseLog() {
    if (log) vrFile_Close(log);
    log = nullptr;
}

void Schema::Log(const char* format, ...) {
    if (!log) return;
    char buffer[kLogBuffer];
    va_list arguments;
    va_start(arguments, format);
    va_list again;
    va_copy(again, arguments);
    int n = std::vsnprintf(buffer, sizeof buffer, format, arguments);
    va_end(arguments);
    if (n >= 0 && n < kLogBuffer) {
        LogText(buffer, n);
    } else if (n >= kLogBuffer) {
        // A longer line is written whole, not cut.
        std::vector<char> large(static_cast<size_t>(n) + 1);
        std::vsnprintf(large.data(), large.size(), format, again);
        LogText(large.data(), n);
    }
    va_end(again);
}

void Schema::LogText(const char* text, int32_t length) {
    if (!log || !text) return;
    if (length < 0) length = static_cast<int32_t>(std::strlen(text));
    if (holdingLog)
        heldLog.Append(text, length);
    else
        vrFile_Write(log, text, length);
}

void Schema::HoldLog() {
    holdingLog = true;
    heldLog.Assign("", 0);
}

void Schema::WriteHeldLog() {
    holdingLog = false;
    if (log && heldLog.Length() > 0) vrFile_Write(log, heldLog.Text(), heldLog.Length());
    heldLog.Assign("", 0);
}

} // namespace vorn
