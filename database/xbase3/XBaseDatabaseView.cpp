// The view of an "xbase3" database: moves, searches, the filter, record
// changes with every open index kept in step, and the structure reports.
#include "database/xbase3/XBaseDatabaseView.h"

#include <cstdio>
#include <cstring>

#include "database/format/XBaseTable.h"
#include "database/xbase3/XBaseDatabase.h"
#include "engine/foundation/Messages.h"
#include "engine/program/Segment.h"
#include "engine/values/Aggregate.h"
#include "engine/vm/ExpressionCompiler.h"
#include "engine/vm/VornVM.h"

namespace vorn {

namespace {

// How often one move opens the files again before it gives up: each time
// another pack or reindex replaced them meanwhile.
constexpr int32_t kFollows = 4;
// How often a find is made again when the record found does not hold its key.
constexpr int kFindTries = 3;

// The read lock of the table's header that a follow keeps until the move
// has read the new index, given back on every way out. Armed only by a
// follow, so that a move that meets no rebuild pays nothing.
class FollowHold {
  public:
    explicit FollowHold(XBaseDatabase* owner) : owner(owner) {}
    ~FollowHold() { Release(); }
    FollowHold(const FollowHold&) = delete;
    FollowHold& operator=(const FollowHold&) = delete;
    void Arm() { armed = true; }
    void Release() {
        if (armed) owner->ReleaseHeaderHold();
        armed = false;
    }

  private:
    XBaseDatabase* owner;
    bool armed = false;
};

} // namespace

XBaseDatabaseView::XBaseDatabaseView(VornApplication* app, VornVM* vm, XBaseDatabase* owner,
                                     const String& viewName, XBaseTable* over, XBaseIndexList* list,
                                     XBaseStoreOpener* files)
    : DatabaseView(app, vm, owner, viewName), owner(owner), table(over), indexes(list), opener(files) {
    BindVariables();
}

XBaseDatabaseView::~XBaseDatabaseView() = default;

// ---- Variables ---------------------------------------------------------------------------

void XBaseDatabaseView::EnterVariables(XBaseTable* over, bool dateVariables) {
    bound.clear();
    totrec = new XBaseTotalRecordsVariable(over);
    recno = new XBaseRecordNumberVariable(over);
    deleted = new XBaseDeletedVariable(over);
    eof = new XBaseEOFVariable();
    for (XBaseVariable* pseudo : {static_cast<XBaseVariable*>(totrec), static_cast<XBaseVariable*>(recno),
                                  static_cast<XBaseVariable*>(deleted), static_cast<XBaseVariable*>(eof)}) {
        variables.Insert(pseudo);
        bound.push_back(pseudo);
    }
    for (XBaseField* field = over->Fields().First(); field; field = over->Fields().Next()) {
        XBaseVariable* variable = nullptr;
        switch (field->Kind()) {
        case kXBaseNumeric:
            variable = new XBaseNumberVariable(field->Name(), -1, field);
            break;
        case kXBaseLogical:
            variable = new XBaseBooleanVariable(field->Name(), -1, field);
            break;
        case kXBaseMemo:
            variable = new XBaseStringVariable(field->Name(), -1, field, -1);
            break;
        case kXBaseDate:
            if (dateVariables) {
                variable = new XBaseDateVariable(field->Name(), -1, field);
                break;
            }
            [[fallthrough]];
        case kXBaseCharacter:
            variable = new XBaseStringVariable(field->Name(), -1, field, field->Length());
            break;
        default:
            break;
        }
        if (!variable) continue;
        variables.Insert(variable);
        bound.push_back(variable);
    }
}

void XBaseDatabaseView::BindVariables() {
    table->ReadRecordLocked(1); // an empty table leaves the view on no record
    EnterVariables(table, false);
}

void XBaseDatabaseView::RebindVariables(XBaseTable* over) {
    variables.Clear();
    EnterVariables(over, true);
}

void XBaseDatabaseView::SetTable(XBaseTable* newTable) {
    table = newTable;
}

void XBaseDatabaseView::ResetVariables(int32_t all) {
    if (all) {
        for (XBaseVariable* variable : bound)
            variable->Invalidate();
        return;
    }
    if (totrec) totrec->Invalidate();
    if (recno) recno->Invalidate();
    if (deleted) deleted->Invalidate();
}

void XBaseDatabaseView::SetEOF(int flag) {
    if (eof) eof->SetEOF(flag);
}

int XBaseDatabaseView::StoreVariables() {
    for (XBaseVariable* variable : bound)
        if (!variable->StoreToField()) return TableFailed();
    return 1;
}

void XBaseDatabaseView::SaveVariables() {
    for (XBaseVariable* variable : bound)
        variable->SaveState();
}

void XBaseDatabaseView::RestoreVariables() {
    for (XBaseVariable* variable : bound)
        variable->RestoreState();
}

int XBaseDatabaseView::Close() {
    variables.Clear();
    bound.clear();
    totrec = nullptr;
    recno = nullptr;
    deleted = nullptr;
    eof = nullptr;
    table->Close();
    return 1;
}

// ---- Helpers ------------------------------------------------------------------------------

int XBaseDatabaseView::TableFailed() {
    SetErrorText(table->ErrorText());
    return 0;
}

int XBaseDatabaseView::IndexFailed(XBaseIndex* index) {
    SetErrorText(index->ErrorText());
    return 0;
}

int32_t XBaseDatabaseView::SnapshotIndexes() {
    order.clear();
    for (XBaseIndex* index = indexes->First(); index; index = indexes->Next())
        order.push_back(index);
    if (keys.size() < order.size()) keys.resize(order.size());
    if (oldKeys.size() < order.size()) oldKeys.resize(order.size());
    return static_cast<int32_t>(order.size());
}

int XBaseDatabaseView::EvaluateKey(XBaseIndex* index, String& key) {
    return index->Evaluate(program ? program->LocalScope() : nullptr, key);
}

int XBaseDatabaseView::FilterPasses(bool* passes) {
    *passes = false;
    auto* entry = reinterpret_cast<Segment*>(filterEntry);
    VariableHash* locals = program ? program->LocalScope() : nullptr;
    if (!filterProgram || !filterProgram->EvaluateBoolean(entry, nullptr, locals, passes)) {
        SetErrorText(String("Error evaluating the filter expression of '") + name + "'");
        return 0;
    }
    return 1;
}

int XBaseDatabaseView::InRange(int32_t r) {
    if (r < 1) return 0;
    if (r <= table->RecordCount()) return 1;
    // An index may name a record that another request appended after the
    // count was read.
    if (!table->RefreshCount()) {
        TableFailed();
        return -1;
    }
    return r <= table->RecordCount() ? 1 : 0;
}

int XBaseDatabaseView::Follow(XBaseIndex* index, int32_t* follows, bool* moved) {
    *moved = false;
    if (!index->File().Replaced() || ++*follows > kFollows) return IndexFailed(index);
    if (!owner->OpenCurrentFiles(moved, true)) {
        SetErrorText(owner->ErrorText());
        return 0;
    }
    return 1;
}

int XBaseDatabaseView::StandAgain(XBaseIndex* primary, int32_t record, bool moved, bool forward, bool* stepped,
                                  int32_t* r) {
    *stepped = false;
    if (!moved) {
        if (primary->SeekEntry(recordKey.Text(), recordKey.Length(), record)) return 1;
        // Replaced once more: the next move follows again.
        if (primary->File().Replaced()) return 1;
        if (!primary->ErrorText().Equals(kRecordNotInIndex)) return IndexFailed(primary);
    }
    int found = 0;
    int32_t before = 0;
    if (!primary->FindKey(recordKey.Text(), recordKey.Length(), 1, &before, &found))
        return primary->File().Replaced() ? 1 : IndexFailed(primary);
    // The key is gone: the index stands on the entry before it, which is a
    // backward step's record.
    if (!found && !forward) {
        *stepped = true;
        *r = before;
    }
    return 1;
}

int XBaseDatabaseView::Step(bool forward, int32_t* r) {
    XBaseIndex* primary = indexes->First();
    if (!primary) {
        *r = table->CurrentRecord() + (forward ? 1 : -1);
        if (*r < 1 || *r > table->RecordCount()) *r = 0;
        return 1;
    }
    // The entry the walk stands on, to stand on it again in files put in
    // place of these: by its key as the index holds it, not the record's
    // values, which another request may have rewritten since (the walk
    // would go on from the record's new key and miss what lies between).
    FollowHold hold(owner);
    for (int32_t follows = 0;;) {
        int32_t standing = primary->File().StandingEntry(recordKey);
        if (forward ? primary->NextKey(r, nullptr) : primary->PreviousKey(r)) break;
        int32_t at = standing > 0 ? standing : table->CurrentRecord();
        ResetVariables(1);
        bool keyed = standing > 0 || (at > 0 && EvaluateKey(primary, recordKey));
        bool moved = false;
        if (!Follow(primary, &follows, &moved)) return 0;
        hold.Arm();
        primary = indexes->First();
        if (!primary) {
            hold.Release();
            return Step(forward, r);
        }
        bool stepped = false;
        if (keyed && !StandAgain(primary, at, moved, forward, &stepped, r)) return 0;
        if (stepped) break;
    }
    // The header is read again through the same handle, which would give
    // the hold up anyway.
    hold.Release();
    int in = *r != 0 ? InRange(*r) : 0;
    if (in < 0) return 0;
    if (in == 0) *r = 0;
    return 1;
}

int XBaseDatabaseView::SeekCurrent(XBaseIndex* index) {
    if (!EvaluateKey(index, searchKey)) return IndexFailed(index);
    if (!index->SeekEntry(searchKey.Text(), searchKey.Length(), table->CurrentRecord()))
        return IndexFailed(index);
    return 1;
}

int XBaseDatabaseView::FindChecked(const char* key, int32_t length, int exact, int32_t* r, int* found) {
    FollowHold hold(owner);
    for (int32_t follows = 0, tries = 0;;) {
        XBaseIndex* primary = indexes->First();
        if (!primary) {
            SetErrorText(String("Database has no open indexes"));
            return 0;
        }
        if (!primary->FindKey(key, length, exact, r, found)) {
            bool moved = false;
            if (!Follow(primary, &follows, &moved)) return 0;
            hold.Arm();
            continue;
        }
        hold.Release();
        if (!*found || *r == 0) return 1;
        int in = InRange(*r);
        if (in < 0) return 0;
        if (in > 0) {
            if (!table->ReadRecordLocked(*r)) return TableFailed();
            ResetVariables(1);
            if (!EvaluateKey(primary, recordKey)) return IndexFailed(primary);
            KPZIndexFile& file = primary->File();
            if (CompareKeys(key, file.CutKey(key, length), recordKey.Text(),
                            file.CutKey(recordKey.Text(), recordKey.Length()), exact, primary->Flags()) == 0)
                return 1;
        }
        // The entry and the record disagree: the record was rewritten since
        // the index was read.
        if (++tries >= kFindTries) {
            *found = 0;
            *r = 0;
            return 1;
        }
    }
}

// ---- Moves -----------------------------------------------------------------------------------

int XBaseDatabaseView::Skip(int32_t count) {
    if (count != 0) {
        int32_t steps = count > 0 ? count : -count;
        for (int32_t i = 0; i < steps; ++i) {
            int32_t r = 0;
            if (!Step(count > 0, &r)) return 0;
            if (r == 0) {
                // The fields may already hold a record read on the way.
                if (i > 0) ResetVariables(1);
                SetEOF(1);
                return 1;
            }
            if (!table->ReadRecordLocked(r)) return TableFailed();
        }
    }
    SetEOF(0);
    ResetVariables(1);
    return 1;
}

int XBaseDatabaseView::SkipFiltered(int32_t count) {
    if (count == 0) return 1;
    int32_t wanted = count > 0 ? count : -count;
    for (int32_t passed = 0;;) {
        int32_t r = 0;
        if (!Step(count > 0, &r)) return 0;
        if (r == 0) {
            SetEOF(1);
            return 1;
        }
        if (!table->ReadRecordLocked(r)) return TableFailed();
        ResetVariables(1);
        bool passes = false;
        if (!FilterPasses(&passes)) return 0;
        if (passes && ++passed == wanted) {
            SetEOF(0);
            return 1;
        }
    }
}

int XBaseDatabaseView::Edge(bool first, int32_t* r) {
    FollowHold hold(owner);
    for (int32_t follows = 0;;) {
        XBaseIndex* primary = indexes->First();
        if (!primary) {
            *r = first ? 1 : table->RecordCount();
            return 1;
        }
        if (first ? primary->FirstKey(r) : primary->LastKey(r)) return 1;
        bool moved = false;
        if (!Follow(primary, &follows, &moved)) return 0;
        hold.Arm();
    }
}

int XBaseDatabaseView::Go(int32_t position) {
    int32_t r = position;
    if ((position == -1 || position == -2) && !Edge(position == -1, &r)) return 0;
    bool indexed = indexes->First() && position < 0;
    int in = indexed ? InRange(r) : (r >= 1 && r <= table->RecordCount() ? 1 : 0);
    if (in < 0) return 0;
    if (in == 0) {
        SetEOF(1);
        return 1;
    }
    if (!table->ReadRecordLocked(r)) return TableFailed();
    SetEOF(0);
    ResetVariables(1);
    return 1;
}

int XBaseDatabaseView::GoFiltered(int32_t position) {
    bool passes = false;
    if (position == -1 || position == -2) {
        bool up = position == -1;
        int32_t r = 0;
        if (!Edge(up, &r)) return 0;
        for (;;) {
            int in = indexes->First() ? InRange(r) : (r >= 1 && r <= table->RecordCount() ? 1 : 0);
            if (in < 0) return 0;
            if (in == 0) {
                SetEOF(1);
                return 1;
            }
            if (!table->ReadRecordLocked(r)) return TableFailed();
            ResetVariables(1);
            if (!FilterPasses(&passes)) return 0;
            if (passes) {
                SetEOF(0);
                return 1;
            }
            if (!Step(up, &r)) return 0;
        }
    }
    if (position < 1 || position > table->RecordCount()) {
        SetEOF(1);
        return 1;
    }
    if (!table->ReadRecordLocked(position)) return TableFailed();
    ResetVariables(1);
    if (!FilterPasses(&passes)) return 0;
    if (!passes) {
        SetEOF(1);
        return 1;
    }
    // A following skip goes on from this record in index order.
    XBaseIndex* primary = indexes->First();
    if (primary && !SeekCurrent(primary)) return 0;
    SetEOF(0);
    return 1;
}

int XBaseDatabaseView::Find(const DatabaseText& key, int32_t exact) {
    int32_t r = 0;
    int found = 0;
    if (!FindChecked(key.text ? key.text : "", key.text ? key.length : 0, exact, &r, &found)) return 0;
    if (found) {
        // FindChecked read the record.
        SetEOF(0);
        ResetVariables(1);
        return 1;
    }
    // A range index without the key stands on the nearest entry before it.
    XBaseIndex* primary = indexes->First();
    int in = primary && (primary->Flags() & kIndexRange) ? InRange(r) : 0;
    if (in < 0) return 0;
    if (in == 0) {
        SetEOF(1);
        return 1;
    }
    if (!table->ReadRecordLocked(r)) return TableFailed();
    SetEOF(1);
    ResetVariables(1);
    return 1;
}

int XBaseDatabaseView::FindFiltered(const DatabaseText& key, int32_t exact) {
    XBaseIndex* primary = indexes->First();
    if (!primary) {
        SetErrorText(String("Database has no open indexes"));
        return 0;
    }
    // Cut as the entries are, so that the walk knows the equal ones.
    const char* text = key.text ? key.text : "";
    searchKey.Assign(text, primary->File().CutKey(text, key.text ? key.length : 0));
    int32_t r = 0;
    int found = 0;
    if (!FindChecked(searchKey.Text(), searchKey.Length(), exact, &r, &found)) {
        SetEOF(1);
        return 0;
    }
    if (!found || r == 0) {
        SetEOF(1);
        return 1;
    }
    primary = indexes->First();
    const uint32_t flags = primary->Flags();
    for (;;) {
        // The first record FindChecked read already.
        ResetVariables(1);
        bool passes = false;
        if (!FilterPasses(&passes)) {
            SetEOF(1);
            return 0;
        }
        if (passes) {
            SetEOF(0);
            return 1;
        }
        const char* entry = nullptr;
        if (!primary->NextKey(&r, &entry)) {
            SetEOF(1);
            return IndexFailed(primary);
        }
        int in = r != 0 ? InRange(r) : 0;
        if (in <= 0) {
            SetEOF(1);
            return in < 0 ? 0 : 1;
        }
        if (!table->ReadRecordLocked(r)) {
            SetEOF(1);
            return TableFailed();
        }
        if (!entry || CompareKeys(searchKey.Text(), searchKey.Length(), entry,
                                  static_cast<int32_t>(std::strlen(entry)), exact, flags) != 0) {
            // Past the equal entries: the view stands on that record.
            ResetVariables(1);
            SetEOF(1);
            return 1;
        }
    }
}

// ---- The filter --------------------------------------------------------------------------

int XBaseDatabaseView::InstallFilter(VornVM* filterVM, intptr_t entry) {
    DatabaseView::AttachFilter(filterVM, entry);
    return entry ? GoFiltered(-1) : Go(-1);
}

void XBaseDatabaseView::AttachFilter(VornVM* filterVM, intptr_t entry) {
    InstallFilter(filterVM, entry);
}

int XBaseDatabaseView::SetFilter(VornVM* vm, const DatabaseText& expression) {
    const char* text = expression.text ? expression.text : "";
    int32_t length = expression.text ? expression.length : 0;
    if (ExpressionCompiler::IsAllWhitespace(text, length)) {
        InstallFilter(nullptr, 0);
        return 1;
    }
    String message;
    Segment* entry =
        vm ? vm->CompileDatabaseExpression(text, length, database->Name().Text(), &message) : nullptr;
    if (!entry) {
        SetErrorText(String(kFilterSyntax) + message);
        return 0;
    }
    // The move's own failure leaves its message; the filter stands.
    InstallFilter(vm, reinterpret_cast<intptr_t>(entry));
    return 1;
}

int XBaseDatabaseView::SyncIndex(XBaseIndex* index) {
    return SeekCurrent(index);
}

// ---- Record changes ------------------------------------------------------------------------

void XBaseDatabaseView::RemoveAddedKeys(int32_t count, int32_t record) {
    for (int32_t i = count - 1; i >= 0; --i)
        order[static_cast<size_t>(i)]->RemoveKey(record, keys[static_cast<size_t>(i)].Text(),
                                                 keys[static_cast<size_t>(i)].Length());
}

int XBaseDatabaseView::Add() {
    if (!StoreVariables()) return 0;
    int32_t count = SnapshotIndexes();
    // A key a unique index already holds refuses the record before anything
    // is written.
    for (int32_t i = 0; i < count; ++i) {
        XBaseIndex* index = order[static_cast<size_t>(i)];
        if (!(index->Flags() & kIndexUnique)) continue;
        String& key = keys[static_cast<size_t>(i)];
        if (!EvaluateKey(index, key)) return IndexFailed(index);
        int taken = index->HasOtherEntry(key.Text(), key.Length(), 0);
        if (taken != 0) return IndexFailed(index);
    }
    // The new record stays locked until its last key is in: a pack or a
    // reindex waits for it instead of copying a record whose add may still
    // fail. It is written marked deleted and made live only then, so that a
    // request killed on the way leaves a deleted record, whose key a
    // reindex gives up to a live record's.
    if (!table->AppendRecord(true, count > 0)) return TableFailed();
    int32_t record = table->CurrentRecord();
    int32_t added = 0;
    int ok = 1;
    for (; added < count; ++added) {
        XBaseIndex* index = order[static_cast<size_t>(added)];
        String& key = keys[static_cast<size_t>(added)];
        if (!EvaluateKey(index, key) || !index->AddKey(record, key.Text(), key.Length())) {
            // Another request took the key meanwhile, or the file failed: the
            // record goes as if it had never been added.
            ok = IndexFailed(index);
            break;
        }
    }
    if (ok && count > 0) ok = table->SetDeleted(0) && Go(record) ? 1 : TableFailed();
    if (!ok) {
        RemoveAddedKeys(added, record);
        if (table->CurrentRecord() == record) table->SetDeleted(1);
        table->UnlockCurrentRecord();
        return 0;
    }
    table->UnlockCurrentRecord();
    ResetVariables(0);
    return 1;
}

int XBaseDatabaseView::Update() {
    if (!StoreVariables()) return 0;
    int32_t count = SnapshotIndexes();
    int32_t record = table->CurrentRecord();
    if (count == 0) {
        int ok = table->UpdateRecord();
        ResetVariables(0);
        return ok ? 1 : TableFailed();
    }
    // The record stays locked from reading its old keys to its rewrite, so
    // that its entries always match what it holds.
    if (!table->LockCurrentRecord()) return TableFailed();
    int ok = table->ReloadPreviousValues();
    if (!ok) TableFailed();
    for (int32_t i = 0; ok && i < count; ++i) {
        XBaseIndex* index = order[static_cast<size_t>(i)];
        String& key = keys[static_cast<size_t>(i)];
        String& oldKey = oldKeys[static_cast<size_t>(i)];
        ok = EvaluateKey(index, key);
        table->SwapPreviousValues();
        SaveVariables();
        if (ok) ok = EvaluateKey(index, oldKey);
        table->SwapPreviousValues();
        RestoreVariables();
        if (!ok) {
            IndexFailed(index);
        } else if (key.Length() != oldKey.Length() ||
                   std::memcmp(key.Text(), oldKey.Text(), static_cast<size_t>(key.Length())) != 0) {
            if ((index->Flags() & kIndexUnique) &&
                index->HasOtherEntry(key.Text(), key.Length(), record) != 0)
                ok = IndexFailed(index);
        }
    }
    // The new entries go in first, then the record is rewritten, then the
    // old entries go: a request killed on the way leaves a record with an
    // extra entry, which a reindex drops, and meanwhile no other record can
    // take either key. A failure before the rewrite takes the new entries
    // out again.
    int32_t added = 0;
    for (; ok && added < count; ++added) {
        XBaseIndex* index = order[static_cast<size_t>(added)];
        const String& key = keys[static_cast<size_t>(added)];
        if (key == oldKeys[static_cast<size_t>(added)]) continue;
        if (!index->AddKey(record, key.Text(), key.Length())) {
            ok = IndexFailed(index);
            break;
        }
    }
    if (ok && !table->UpdateRecord()) ok = TableFailed();
    if (!ok) {
        for (int32_t i = added - 1; i >= 0; --i) {
            const String& key = keys[static_cast<size_t>(i)];
            if (key == oldKeys[static_cast<size_t>(i)]) continue;
            order[static_cast<size_t>(i)]->RemoveKey(record, key.Text(), key.Length());
        }
        table->UnlockCurrentRecord();
        ResetVariables(0);
        return 0;
    }
    // The record holds its new values now: an old entry that cannot be
    // taken out stays behind (a reindex drops it) and fails the update.
    for (int32_t i = 0; i < count; ++i) {
        XBaseIndex* index = order[static_cast<size_t>(i)];
        const String& key = keys[static_cast<size_t>(i)];
        const String& oldKey = oldKeys[static_cast<size_t>(i)];
        if (key == oldKey) continue;
        if (!index->RemoveKey(record, oldKey.Text(), oldKey.Length()) ||
            !index->SeekEntry(key.Text(), key.Length(), record))
            ok = ok ? IndexFailed(index) : 0;
    }
    table->UnlockCurrentRecord();
    ResetVariables(0);
    return ok;
}

int XBaseDatabaseView::Delete() {
    if (!table->SetDeleted(1)) return TableFailed();
    ResetVariables(0);
    return 1;
}

int XBaseDatabaseView::Undelete() {
    if (!table->SetDeleted(0)) return TableFailed();
    ResetVariables(0);
    return 1;
}

// ---- Structure reports -----------------------------------------------------------------------

int XBaseDatabaseView::RevealStructureToDatabase(const DatabaseText& fileName) {
    String path;
    fileName.TakeInto(path);
    XBaseTable report(opener);
    List<XBaseField> columns(true);
    columns.Insert(new XBaseField(nullptr, "FIELD_NAME", kXBaseCharacter, 10, 0), kListTail);
    columns.Insert(new XBaseField(nullptr, "FIELD_TYPE", kXBaseCharacter, 1, 0), kListTail);
    columns.Insert(new XBaseField(nullptr, "FIELD_LEN", kXBaseNumeric, 4, 0), kListTail);
    columns.Insert(new XBaseField(nullptr, "FIELD_DEC", kXBaseNumeric, 4, 0), kListTail);
    if (!report.CreateFiles(kXBaseLocation, path.Text(), "", columns)) {
        SetErrorText(report.ErrorText());
        return 0;
    }
    int ok = 1;
    List<XBaseField>& fields = table->Fields();
    for (XBaseField* field = fields.First(); ok && field; field = fields.Next()) {
        char letter[2] = {XBaseTypeLetter(field->Kind()), 0};
        char width[16];
        char decimals[16];
        std::snprintf(width, sizeof width, "%d", static_cast<int>(field->Length()));
        std::snprintf(decimals, sizeof decimals, "%d", static_cast<int>(field->Decimals()));
        const char* values[4] = {field->Name(), letter, width, decimals};
        int32_t column = 0;
        for (XBaseField* cell = report.Fields().First(); cell; cell = report.Fields().Next())
            cell->SetValue(values[column], -1), ++column;
        if (!report.AppendRecord()) {
            SetErrorText(report.ErrorText());
            ok = 0;
        }
    }
    report.Close();
    return ok;
}

int XBaseDatabaseView::RevealStructureToAggregate(Variable** target) {
    if (!target || !*target) return 1;
    int32_t i = 1;
    List<XBaseField>& fields = table->Fields();
    for (XBaseField* field = fields.First(); field; field = fields.Next(), ++i) {
        Variable* element = (*target)->Element(AggregateIndex::FromIndex(i), true);
        if (!element) continue;
        char letter[2] = {XBaseTypeLetter(field->Kind()), 0};
        char width[16];
        char decimals[16];
        std::snprintf(width, sizeof width, "%d", static_cast<int>(field->Length()));
        std::snprintf(decimals, sizeof decimals, "%d", static_cast<int>(field->Decimals()));
        const char* names[4] = {"FIELD_NAME", "FIELD_TYPE", "FIELD_LEN", "FIELD_DEC"};
        const char* values[4] = {field->Name(), letter, width, decimals};
        for (int k = 0; k < 4; ++k)
            if (Variable* member = element->Element(AggregateIndex::FromName(names[k], -1), true))
                member->SetValue(values[k], -1);
    }
    return 1;
}

} // namespace vorn
