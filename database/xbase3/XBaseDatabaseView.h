// The one view of an "xbase3" database: a cursor on the table's current
// record, ordered by the controlling index when one is open and by record
// number otherwise, with an optional filter, exposing the record as field
// variables and the pseudo-fields "totrec", "recno", "deleted" and "eof".
//
// The only end mark is "eof": a move that runs off either end or finds
// nothing sets it and leaves the table on the last record it read.
#pragma once

#include <cstdint>
#include <vector>

#include "database/xbase3/XBaseIndex.h"
#include "database/xbase3/XBaseVariable.h"
#include "engine/foundation/String.h"
#include "engine/vm/Database.h"

namespace vorn {

class XBaseDatabase;
class XBaseStoreOpener;
class XBaseTable;

class XBaseDatabaseView : public DatabaseView {
  public:
    // Works on the database's table and shares its index list; binds the
    // field variables on record 1.
    XBaseDatabaseView(VornApplication* application, VornVM* program, XBaseDatabase* database,
                      const String& name, XBaseTable* table, XBaseIndexList* indexes,
                      XBaseStoreOpener* opener);
    ~XBaseDatabaseView() override;

    int Close() override;
    int Skip(int32_t count) override;
    int SkipFiltered(int32_t count) override;
    int Go(int32_t position) override;
    int GoFiltered(int32_t position) override;
    int Find(const DatabaseText& key, int32_t exact) override;
    int FindFiltered(const DatabaseText& key, int32_t exact) override;
    int Add() override;
    int Delete() override;
    int Undelete() override;
    int Update() override;
    int SetFilter(VornVM* program, const DatabaseText& expression) override;
    int RevealStructureToDatabase(const DatabaseText& fileName) override;
    int RevealStructureToAggregate(Variable** target) override;
    // Installs the filter, then goes to the first record that passes (or to
    // the top when the filter was removed).
    void AttachFilter(VornVM* filterVM, intptr_t entry) override;
    void ResetVariables(int32_t all) override;

    virtual void SetTable(XBaseTable* newTable);
    // Puts the index's cursor on the current record.
    virtual int SyncIndex(XBaseIndex* index);

    // Fresh variables over a table (date fields as date variables), without
    // reading a record.
    void RebindVariables(XBaseTable* newTable);
    // The key of an index for the fields as they stand, in key (reused).
    int EvaluateKey(XBaseIndex* index, String& key);
    XBaseTable* Table() const { return table; }

  private:
    void BindVariables();
    // Enters the pseudo-fields and one variable per field; dates as dates
    // only when asked (after a rebuild).
    void EnterVariables(XBaseTable* over, bool dateVariables);
    void SetEOF(int flag);
    int TableFailed();
    int IndexFailed(XBaseIndex* index);
    // The filter's verdict on the current record; 0 when it could not run.
    int FilterPasses(bool* passes);
    int InstallFilter(VornVM* filterVM, intptr_t entry);
    // Whether r names a record: 1 within the count, which is read again when
    // an index names a record appended since; 0 not; -1 when the read
    // failed (the message set).
    int InRange(int32_t r);
    // The record number one step on, in the primary index's order or else
    // in record order; 0 past either end. 0 when the index fails.
    int Step(bool forward, int32_t* r);
    // The first (or last) record in the primary index's order, or in record
    // order without one, followed to files opened again.
    int Edge(bool first, int32_t* r);
    // Whether the record is where the primary index has it, moving the
    // index's cursor onto it.
    int SeekCurrent(XBaseIndex* index);
    // After an index refused a move: when its file was replaced by another
    // request's pack or reindex (and not too often yet), the database's
    // files are opened again (moved: the table too, so record numbers
    // changed) and the caller tries once more (1) under the read lock of the
    // table's header, which it gives back before it reads a record (a
    // FollowHold); else the index's failure is reported (0).
    int Follow(XBaseIndex* index, int32_t* follows, bool* moved);
    // In files opened again, puts the primary index where a step from the
    // record that stood at (key, record) goes on: on that entry when the
    // records kept their numbers, else on the first entry of the key. When
    // the key is gone a forward step goes on after it; a backward step has
    // its record already (*r, *stepped set).
    int StandAgain(XBaseIndex* primary, int32_t record, bool moved, bool forward, bool* stepped, int32_t* r);
    // The primary index's find, followed to files opened again; the record
    // found must hold the key (with exact 0: start with it), else the find
    // is made again and in the end counts as not found.
    int FindChecked(const char* key, int32_t length, int exact, int32_t* r, int* found);

    int StoreVariables();
    void SaveVariables();
    void RestoreVariables();
    // The indexes in list order into order (reused); their count.
    int32_t SnapshotIndexes();
    // Takes the keys added to the first count indexes out again.
    void RemoveAddedKeys(int32_t count, int32_t record);

    XBaseDatabase* owner;
    XBaseTable* table;
    XBaseIndexList* indexes;
    XBaseStoreOpener* opener;
    XBaseTotalRecordsVariable* totrec = nullptr;
    XBaseRecordNumberVariable* recno = nullptr;
    XBaseDeletedVariable* deleted = nullptr;
    XBaseEOFVariable* eof = nullptr;
    // Every variable of the scope in scope order: the pseudo-fields, then
    // the fields in field order. The scope holds them.
    std::vector<XBaseVariable*> bound;
    // Scratch reused by every change, so records cost no allocation.
    std::vector<XBaseIndex*> order;
    std::vector<String> keys;
    std::vector<String> oldKeys;
    String searchKey;
    String recordKey;
};

} // namespace vorn
