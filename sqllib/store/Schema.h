// An SQL database's catalog and its tables.
//
// A database is a directory of dBASE tables described by one catalog table,
// "Schema", whose rows name every table ("T") and index ("I") with its file
// relative to the catalog's directory. Two index files find rows: "Schema_1"
// (unique; TYPE, TABLE, INDEX) and "Schema_2" (INDEX). The Schema opens or
// creates the catalog, loads and caches tables, opens their indexes, makes
// the schema changes and packs; Table keeps its indexes in step with every
// record it inserts, updates or deletes.
//
// Index entries of updates and deletes are queued and applied when the
// statement ends (ApplyPending), failures included. Catalog rows are the
// exception: their entries change at once, and deleted catalog rows keep
// theirs, so that a later CREATE of the same key reuses them. A record
// change whose entries cannot follow is undone under the record's lock.
// The order of the writes leaves every live record's unique keys entered
// at every step: a new record is written deleted and made live once its
// keys are in, an update enters its new unique keys before it rewrites the
// record.
//
// Requests that share a database coordinate through byte-range locks only
// (their order: SchemaRebuild.cpp). A request whose indexes predate a
// catalog change (another request created or dropped an index, or a rebuild
// replaced files) notices it by the change counter of "Schema_1", read after
// each record write, and reopens them before changing entries.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "database/format/KPZIndexFile.h"
#include "engine/foundation/HashTable.h"
#include "engine/foundation/List.h"
#include "engine/foundation/String.h"
#include "sqllib/front/SqlColumnDefinition.h"
#include "sqllib/store/VornSQLStore.h"
#include "sqllib/store/VornSQLTable.h"

namespace vorn {

class Schema;
class Table;

// Catalog index flags and the bits CREATE INDEX sets.
inline constexpr uint32_t kSQLIndexUnique = kIndexUnique;
inline constexpr uint32_t kSQLIndexDescending = kIndexDescending;
inline constexpr uint32_t kSQLIndexString = kIndexString;

// One column of CREATE INDEX.
struct IndexColumn {
    IndexColumn() = default;
    IndexColumn(const char* name, int32_t length, int ascending) : name(name, length), ascending(ascending) {}
    String name;
    int ascending = 1;
};

class Index {
  public:
    Index(Table* table, const char* name, int32_t length, uint32_t flags);
    virtual ~Index();
    Index(const Index&) = delete;
    Index& operator=(const Index&) = delete;

    const String& Name() const { return name; }
    uint32_t Flags() const { return flags; }
    Table* Owner() const { return table; }
    KPZIndexFile& File() { return file; }

    // Appends the table's fields named in text, separated by ':' (names it
    // does not have are skipped).
    void SetColumns(const char* text, int32_t length = -1);
    void AddColumn(XBaseField* field) { columns.push_back(field); }
    int32_t ColumnCount() const { return static_cast<int32_t>(columns.size()); }
    XBaseField* Column(int32_t i) const { return columns[static_cast<size_t>(i)]; }
    // The key expression stored in the file's header (never evaluated here).
    String KeyText() const;

    int Create(const char* path, int32_t length, int32_t mode = kSQLOpenCreate);
    int CreateOn(XBaseStore* store, const char* path, int32_t length);
    int Open(const char* path, int32_t length = -1);

    // The key of the table's current values, or of the values the record had
    // when read (previous): each column's text as the record stores it and a
    // read gives it back (a character value cut to the width loses its
    // trailing blanks), a numeric one left-padded with '0' to its width,
    // joined by ':' and upper-cased.
    const String& BuildKey(bool previous = false);
    // The same key of a record's bytes (record length, from its mark).
    const String& KeyOfRecord(const uint8_t* record);
    // Whether KeyOfRecord gives the key entered for a record (not so for a
    // memo column, whose entry holds the text).
    bool KeyedByBytes() const;
    // Inserts the current record's key with its number.
    int InsertKey();
    // Whether the entry (key, record) is in the index (0 no, 1 yes, -1 the
    // search failed).
    int Holds(const String& key, int32_t record);

    const String& ErrorText() const { return file.ErrorText(); }

    // The index's key in "Schema_1" ("I:TABLE:INDEX", upper case): a rebuild
    // locks a table's index headers in its order, so a reader that holds
    // several takes them in it too.
    const String& LockOrder();

  protected:
    // A field of the column's kind and width, for values to go through the
    // record's bytes.
    XBaseField* Shape(size_t column);
    void AppendPart(size_t column, const char* text);

    Table* table;
    String name;
    KPZIndexFile file;
    std::vector<XBaseField*> columns;
    std::vector<std::unique_ptr<XBaseField>> shapes;
    std::vector<uint8_t> bytes;
    uint32_t flags;
    String key;
    String lockOrder;
};

// An index of a table being rebuilt, with its catalog FILE value.
class PackIndex : public Index {
  public:
    PackIndex(Table* table, const char* name, int32_t length, uint32_t flags, const char* fileValue)
        : Index(table, name, length, flags), fileValue(fileValue) {}
    const String& FileValue() const { return fileValue; }

  private:
    String fileValue;
};

// A queued index change of a statement: entries of one record share a group.
// A record whose change no index follows has one entry without an index, so
// that a failed statement puts it back as well.
struct IndexUpdate {
    String oldKey;
    String newKey;
    Index* index = nullptr;
    int32_t record = 0;
    int32_t group = 0;
    // The index came in after the record was written: its entry may already
    // be the new one.
    bool late = false;
    // The record's bytes before the update, to write back when its index
    // entries cannot follow.
    std::vector<uint8_t> oldRecord;
};

struct IndexDelete {
    String key;
    Index* index = nullptr;
    int32_t record = 0;
    int32_t group = 0;
};

class Table {
  public:
    Table(Schema* schema, const char* name, int32_t length);
    // Applies what is still queued.
    ~Table();
    Table(const Table&) = delete;
    Table& operator=(const Table&) = delete;

    const String& Name() const { return name; }
    VornSQLTable& Data() { return data; }
    Schema* Owner() const { return schema; }

    // The indexes, in the order they were opened.
    int32_t IndexCount() const { return static_cast<int32_t>(order.size()); }
    Index* IndexAt(int32_t i) const { return order[static_cast<size_t>(i)]; }
    Index* FindIndex(const char* indexName, int32_t length = -1) const {
        return indexes.Find(indexName, length);
    }
    void AddIndex(Index* index);
    // Drops the indexes from the table; the objects stay until
    // DropRetiredIndexes, for a walk that stands on one (the table's writes
    // reopen its indexes when the catalog changed).
    void ClearIndexes();
    void DropRetiredIndexes();
    bool IndexesOpen() const { return indexesOpen; }
    // The catalog counter the indexes were opened at.
    uint32_t IndexCounter() const { return indexCounter; }
    void SetIndexesOpen(uint32_t counter) {
        indexesOpen = true;
        indexCounter = counter;
    }

    // Appends the current field values as a new record with its index keys.
    int Insert();
    // Rewrites the current record from the field values; its index changes
    // are queued.
    int Update();
    // Marks the current record deleted; its index removals are queued.
    int Delete();
    // undoable: the statement fails when this does, and its undo
    // (RevertPending) puts back every row, so the rows of the other groups
    // stay queued; a row whose entries failed is put back at once.
    int ApplyDeletes(bool undoable = false);
    int ApplyUpdates(bool undoable = false);
    // Both queues, at the end of every statement.
    int ApplyPending();
    // A failed statement's queued rows as they were before it: updated ones
    // get their bytes and keys back, deleted ones come back live (a row
    // another request took a key of meanwhile keeps its change).
    void RevertPending();
    bool HasPending() const { return updates.Count() > 0 || deletes.Count() > 0; }
    int32_t PendingUpdates() const { return updates.Count(); }
    int32_t PendingDeletes() const { return deletes.Count(); }

    const String& ErrorText() const { return error; }
    void SetError(const String& text) {
        if (!text.IsEmpty()) error.Assign(text);
    }

    // Repairs the index when this request last found it marked damaged:
    // whether it is sound now.
    bool RepairFound(Index* index);

    // The catalog's own table: its index entries change at once and deleted
    // rows keep theirs.
    void SetCatalog() { catalog = true; }

  private:
    friend class Schema;

    // Reopens the indexes when the catalog changed since they were opened;
    // the indexes that came in are marked late.
    int RefreshIndexes(std::vector<Index*>* late);
    // Whether no live record but self holds the key in the unique index: 1
    // free, 2 entered for self already, 0 taken, -1 failure. An entry of a record that is deleted or
    // holds another key (a writer stopped between its steps left it) goes.
    int KeyFree(Index* index, const String& key, int32_t self);
    // 1 when the record is live and holds the key in the index, 0 when not,
    // -1 when it could not be read.
    int Holder(Index* index, const String& key, int32_t record);
    int EnsureIndexes();
    int InsertRow();
    int UpdateRow();
    bool RepairFound();
    // Counts the repairs made, so that a change whose failure led to one is
    // tried once more.
    uint32_t repairs = 0;
    // Whether the change failed on an index found marked damaged, which is
    // sound now (repaired by the failed change or here).
    bool RepairedAfter(uint32_t before);
    bool IsLate(const std::vector<Index*>& late, Index* index) const;
    // After a change of the index failed part-way (a read or a write of its
    // pages), its tree may hold what neither the old nor the new state had:
    // it is made anew from the records, under the table's locks.
    void Repair(Index* index);
    // Repairs failed when its failure damaged it, and each of touched that
    // the undo found marked damaged.
    void RepairBroken(Index* failed, const std::vector<Index*>& touched);
    // Puts the old keys of one update group back up to its failed entry
    // stop, and writes the old record (held: under the caller's lock).
    void RevertGroup(std::vector<IndexUpdate*>& group, size_t stop, bool held);
    // Puts a changed record back as it was (image null: a deleted one live
    // again) after its index entries could not follow: 0 when it was put
    // back (or could not be), 1 when a rebuild copied the change meanwhile
    // and made the indexes from it, so that the change stands.
    int UndoRecord(int32_t record, const std::vector<uint8_t>* image);

    Schema* schema;
    String name;
    VornSQLTable data;
    HashTable<Index> indexes{true, true, 4, 8};
    std::vector<Index*> order;
    std::vector<Index*> retired;
    List<IndexUpdate> updates{true};
    List<IndexDelete> deletes{true};
    String error;
    bool catalog = false;
    bool indexesOpen = false;
    uint32_t indexCounter = 0;
    int32_t nextGroup = 0;
    String scratch;
    std::vector<uint8_t> bytes;
};

class Schema {
  public:
    explicit Schema(VornProgram* program);
    ~Schema();
    Schema(const Schema&) = delete;
    Schema& operator=(const Schema&) = delete;

    // --- The catalog --------------------------------------------------------------
    int Create(const char* path, int32_t length = -1);
    int Open(const char* path, int32_t length = -1);
    int Verify();
    void Reset();

    // Whether a live catalog row of the table (of the index) exists; the row
    // is then the catalog's current record. row (may be null) receives the
    // record of the row found, live or deleted, else 0.
    int FindTableRow(const char* name, int32_t length, int32_t* row = nullptr);
    int FindIndexRow(const char* name, int32_t length, int32_t* row = nullptr);
    Table* LoadTable(const char* name, int32_t length = -1);
    Table* GetTable(const char* name, int32_t length = -1);
    int OpenIndexes(Table* table);
    // Drops the table from the cache (its queued changes are applied).
    void EvictTable(const char* name, int32_t length = -1);
    // Tables statements read and wrote, kept open for the next statement
    // while the catalog does not change: Take gives one (with its fields
    // empty) or null, Give takes one back (its queued changes applied),
    // unless the catalog's change counter moved from the one it was opened at.
    // Take compares the counter the caller has just read.
    Table* TakeIdleTable(const char* name, int32_t length, uint32_t counter);
    void GiveIdleTable(Table* table, uint32_t openedAt);
    void DropIdleTables();
    void EmptyCache();
    // Empties the table cache when the catalog's counter (just read) moved
    // since the cache was last known current; shared by every statement of
    // the database, so a kept table serves them all.
    void CheckCache(uint32_t counter);
    // Schema directory + value; valid until the next call.
    const String& ResolvePath(const char* value, int32_t length = -1);
    // The change counter of "Schema_1".
    int CatalogCounter(uint32_t* out);

    // --- The log --------------------------------------------------------------------
    int OpenLog(const char* path, int32_t length = -1);
    void CloseLog();
    bool LogOpen() const { return log != nullptr; }
    // Formats into 2048 bytes, or more for a longer line, which is written
    // whole. User texts go in as arguments, never as the format.
    void Log(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void LogText(const char* text, int32_t length = -1);
    // Between these two what is logged is kept and then written in one
    // piece, so that requests sharing the log never split a block.
    void HoldLog();
    void WriteHeldLog();

    // --- Schema changes -------------------------------------------------------------
    int CreateTable(const char* name, int32_t length, const ColumnDefinitionList& columns);
    int CreateIndex(const char* table, int32_t tableLength, const char* index, int32_t indexLength,
                    int unique, const std::vector<IndexColumn>& columns);
    int AlterTableAdd(const char* table, int32_t length, const ColumnDefinitionList& columns);
    int AlterTableDrop(const char* table, int32_t length, const char* column, int32_t columnLength);
    int DropIndex(const char* name, int32_t length);
    int DropTable(const char* name, int32_t length);
    int DeleteFile(const char* path);
    // Rewrites the table's files with the new fields (values copied by
    // position, dropped skipped; -1 none) and fresh indexes, then puts them
    // in place of the old ones.
    int Rebuild(Table* table, List<XBaseField>& newFields, bool hasMemo, int32_t droppedPosition);
    int Pack();

    // --- Accessors --------------------------------------------------------------------
    VornProgram* Program() const { return program; }
    VornSQLFiles& Files() { return files; }
    Table* Catalog() const { return catalog; }
    Index* CatalogIndex1() const { return schema1; }
    Index* CatalogIndex2() const { return schema2; }
    const String& Directory() const { return directory; }
    const String& Path() const { return path; }
    const String& Index1Path() const { return index1Path; }
    const String& Index2Path() const { return index2Path; }
    char SubdirChar() const { return subdirChar; }
    void SetSubdirChar(char c) { subdirChar = c; }
    const String& ErrorText() const { return error; }
    void SetError(const String& text) {
        if (!text.IsEmpty()) error.Assign(text);
    }

  private:
    // The catalog row's field values.
    struct Row {
        String type, table, index, file, columns, flags;
    };

    void DerivePaths(const char* path, int32_t length);
    // The files the live rows of the catalog at that path name (tables with
    // their memo files, and indexes).
    int CatalogFiles(const String& at, std::vector<String>& out);
    void BuildCatalog();
    int Fail(const String& text) {
        SetError(text);
        return 0;
    }
    void ReadRow(Row& row);
    // Makes catalog record n current.
    int ReadCatalogRow(int32_t record);
    void SetRow(const Row& row);
    // Writes a catalog row: a new record, or the deleted record reused.
    int WriteRow(const Row& row, int32_t reuse);
    // The file name of a new table or index, lower-cased, with subdirectories
    // made for subdir_char; the catalog's FILE value in out.
    int PlaceFile(const char* name, int32_t length, const char* extension, String& out);
    // The catalog's create lock (kSQLCreateByte), around CREATE and DROP
    // TABLE.
    int LockCreate();
    void UnlockCreate();
    int CreateTableLocked(const char* name, int32_t length, const ColumnDefinitionList& columns);
    int DropTableLocked(const char* name, int32_t length);
    // The index rows of a table, live ones, as PackIndex objects not yet open.
    int IndexRows(Table* table, std::vector<PackIndex*>& out);
    // Times a schema change opens a table again after a rebuild replaced it
    // while the change waited for it. Each time another rebuild has ended, so
    // this bounds only a run of others' rebuilds that keep overtaking it
    // (byte-range locks are not granted in order); a few dozen are common.
    static constexpr int kRebuildTries = 256;
    // work on the table's current files under its rebuild lock (gate and
    // statement byte for write), which rebuilds, CREATE and DROP INDEX and
    // writing statements of the table wait for: its result, or 0 when the
    // lock was refused, -1 when the table is not there.
    int UnderRebuildLock(const String& tableName, const std::function<int(Table&)>& work);
    // change on the table as loaded now, again while a rebuild replaced it
    // meanwhile (change gives -1); 1 done, 0 failed with the error set.
    int OnCurrentFiles(const char* name, int32_t length, const std::function<int(Table*)>& change);
    // Copies of data's field definitions but skip, in order, onto out; skip's
    // position, or -1.
    static int32_t CopyFields(VornSQLTable& data, List<XBaseField>& out, const XBaseField* skip);
    // Enters every live record's key, under the lock of every record.
    int FillIndex(Table& table, Index& index);
    // Deletes the file of an index whose catalog row went.
    void DeleteIndexFile(const String& tableName, const String& full);

    VornProgram* program;
    VornSQLFiles files;
    Table* catalog = nullptr;
    Index* schema1 = nullptr;
    Index* schema2 = nullptr;
    XBaseField* fieldType = nullptr;
    XBaseField* fieldTable = nullptr;
    XBaseField* fieldIndex = nullptr;
    XBaseField* fieldFile = nullptr;
    XBaseField* fieldColumns = nullptr;
    XBaseField* fieldFlags = nullptr;
    String directory;
    String path;
    String index1Path;
    String index2Path;
    String error;
    String scratch;
    HashTable<Table> tables{true, true, 12, 512};
    std::vector<Table*> idle;
    uint32_t idleCounter = 0;
    uint32_t cacheCounter = 0;
    bool cacheCounted = false;
    VornFile* log = nullptr;
    String heldLog;
    bool holdingLog = false;
    char subdirChar = 0;
};

} // namespace vorn
