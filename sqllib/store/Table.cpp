// Record maintenance: inserts, updates and deletes of one table with every
// index kept in step and UNIQUE enforced.
#include <algorithm>
#include <cstring>
#include <memory>

#include "engine/foundation/Messages.h"
#include "sqllib/store/Schema.h"

namespace vorn {

namespace {


bool NotInIndex(Index* index) {
    return index->ErrorText().Equals(kRecordNotInIndex);
}

// A page read or write failed: the tree may be half changed.
bool Damaged(Index* index) {
    const String& text = index->ErrorText();
    return text.Find(kErrorWritingTo) == 0 || text.Find(kErrorReadingFrom) == 0;
}

// Keys as the index file stores them: cut to the key width less one.
bool SameStoredKey(const String& a, const String& b, int32_t width) {
    int32_t n = a.Length() < width ? a.Length() : width;
    int32_t m = b.Length() < width ? b.Length() : width;
    return n == m && std::memcmp(a.Text(), b.Text(), static_cast<size_t>(n)) == 0;
}

int32_t KeyLimit(Index* index) {
    return index->File().KeyWidth() - 1;
}

// The step's lock was refused because the index's file was renamed over or
// removed since it was opened (a drop, a rebuild): a request that makes the
// file anew takes every live record under the table's locks, so the entry
// is moot.
bool Gone(Index* index) {
    return index->ErrorText().Find(kErrorLocking) == 0 && FileReplaced(index->File().Store());
}

// The statement's own message when the index refused a key another request
// entered after the statement's check, else the file's.
String StepFailure(Index* index, const char* statement) {
    if (!index->File().RefusedDuplicate()) return index->ErrorText();
    return String(statement) + " record violates UNIQUE constraint on index '" + index->Name() + "'";
}

// Every entry taken out of a queue, a record's group at a time, in the
// order they were queued; deleted with the object unless put back.
template <class T>
class Groups {
  public:
    explicit Groups(List<T>& queue) : queue(queue) {
        while (T* entry = queue.Remove(kListHead)) {
            if (groups.empty() || groups.back().back()->group != entry->group) groups.emplace_back();
            groups.back().push_back(entry);
        }
    }
    ~Groups() {
        for (std::vector<T*>& group : groups)
            for (T* entry : group) delete entry;
    }
    Groups(const Groups&) = delete;
    Groups& operator=(const Groups&) = delete;
    size_t Count() const { return groups.size(); }
    std::vector<T*>& operator[](size_t i) { return groups[i]; }
    // Back on the queue, for a failed statement's undo.
    void PutBack(size_t i) {
        for (T* entry : groups[i]) queue.Insert(entry, kListTail);
        groups[i].clear();
    }

  private:
    List<T>& queue;
    std::vector<std::vector<T*>> groups;
};

template <class T, class F>
void EachGroup(List<T>& queue, F f) {
    Groups<T> groups(queue);
    for (size_t i = 0; i < groups.Count(); ++i) f(groups[i]);
}

} // namespace

Table::Table(Schema* schema, const char* tableName, int32_t length)
    : schema(schema), name(tableName, length), data(&schema->Files()) {}

Table::~Table() {
    // Queued changes are never dropped, even when the table goes first.
    if (HasPending()) ApplyPending();
    ClearIndexes();
    DropRetiredIndexes();
}

void Table::AddIndex(Index* index) {
    indexes.Insert(index);
    order.push_back(index);
}

void Table::ClearIndexes() {
    // A walk of the statement may stand on one: they go when it has ended.
    for (Index* index : order)
        retired.push_back(indexes.Remove(index->Name().Text(), index->Name().Length()));
    indexes.Clear();
    order.clear();
    indexesOpen = false;
}

void Table::DropRetiredIndexes() {
    for (Index* index : retired)
        delete index;
    retired.clear();
}

int Table::EnsureIndexes() {
    if (catalog) return 1;
    if (!indexesOpen && !schema->OpenIndexes(this)) {
        SetError(schema->ErrorText());
        return 0;
    }
    // An index this request last found marked damaged (a change that failed
    // part-way, here or in a killed writer) is made anew before the next
    // change, should the repair after that failure not have got through.
    RepairFound();
    return 1;
}

bool Table::IsLate(const std::vector<Index*>& late, Index* index) const {
    for (Index* i : late)
        if (i == index) return true;
    return false;
}

int Table::RefreshIndexes(std::vector<Index*>* late) {
    if (catalog) return 1;
    uint32_t counter = 0;
    if (!schema->CatalogCounter(&counter)) {
        SetError(schema->ErrorText());
        return 0;
    }
    if (counter == indexCounter) return 1;
    // Queued entries point at the indexes about to go: apply them first.
    if (HasPending() && !ApplyPending()) return 0;
    if (!schema->OpenIndexes(this)) {
        SetError(schema->ErrorText());
        return 0;
    }
    // Every index may have been filled meanwhile by the request that made it.
    for (Index* index : order)
        late->push_back(index);
    return 1;
}

// --- Keys a stopped writer left ------------------------------------------------------------

int Table::Holder(Index* index, const String& key, int32_t record) {
    if (!data.ReadRecordBytes(record, bytes)) {
        SetError(data.ErrorText());
        return -1;
    }
    if (bytes[0] == '*') return 0;
    if (!index->KeyedByBytes()) return 1;
    return SameStoredKey(index->KeyOfRecord(bytes.data()), key, KeyLimit(index)) ? 1 : 0;
}

int Table::KeyFree(Index* index, const String& key, int32_t self) {
    KPZIndexFile& file = index->File();
    for (int round = 0; round < 4; ++round) {
        int32_t found = 0;
        int equal = 0;
        if (!file.Find(key.Text(), key.Length(), 1, &found, &equal, 1)) {
            SetError(index->ErrorText());
            return -1;
        }
        if (!equal || found < 1) return 1;
        if (found == self) return 2;
        // Deleted catalog rows keep their keys for a later CREATE.
        if (catalog) return 0;
        int live = Holder(index, key, found);
        if (live != 0) return live > 0 ? 0 : -1;
        // Deleted or holding another key as read without a lock: a writer
        // between its steps holds the record, so it is looked at again held,
        // and an entry that is still nobody's goes.
        int held = data.LockRecord(found);
        if (held <= 0) {
            SetError(data.ErrorText());
            return -1;
        }
        live = Holder(index, key, found);
        int removed = live == 0 ? file.Delete(found, key.Text(), key.Length()) : 1;
        data.UnlockRecord(found);
        if (live != 0) return live > 0 ? 0 : -1;
        if (!removed && !NotInIndex(index)) {
            SetError(index->ErrorText());
            return -1;
        }
    }
    return 0;
}

// --- Insert ------------------------------------------------------------------------------------

bool Table::RepairFound(Index* index) {
    if (!index || !index->File().Damaged()) return false;
    Repair(index);
    return !index->File().Damaged();
}

bool Table::RepairFound() {
    bool repaired = false;
    for (Index* index : order) repaired |= RepairFound(index);
    return repaired;
}

// A change that finds an index left half changed (by a killed writer, or a
// failure whose repair did not get through) has it made anew from the
// records and is tried once more.
bool Table::RepairedAfter(uint32_t before) {
    if (ErrorText().Find(kIndexInterrupted) < 0) return false;
    return RepairFound() || repairs != before;
}

int Table::Insert() {
    uint32_t before = repairs;
    int ok = InsertRow();
    if (!ok && RepairedAfter(before)) ok = InsertRow();
    return ok;
}

int Table::Update() {
    uint32_t before = repairs;
    int ok = UpdateRow();
    if (!ok && RepairedAfter(before)) ok = UpdateRow();
    return ok;
}

int Table::InsertRow() {
    if (!EnsureIndexes()) return 0;
    // The index set is made current before the record is taken: a request
    // holding a record never waits for the catalog, which a pack holds while
    // it waits for every record.
    std::vector<Index*> late;
    if (!RefreshIndexes(&late)) return 0;
    late.clear();
    for (Index* index : order) {
        if (!(index->File().Flags() & kIndexUnique)) continue;
        String key(index->BuildKey());
        int free = KeyFree(index, key, 0);
        if (free == 0)
            SetError(String("Inserted record violates UNIQUE constraint on index '") + index->Name() + "'");
        if (free <= 0) return 0;
    }
    // Written deleted and kept locked until its last key is in, then made
    // live: a writer stopped at any step leaves a deleted record, perhaps
    // with some of its keys, which the UNIQUE checks take for no record and
    // a pack drops. A pack or an ALTER, which copies every live record,
    // waits for it meanwhile.
    if (!data.AppendDeletedRecord(true)) {
        SetError(data.ErrorText());
        return 0;
    }
    int32_t record = data.CurrentRecord();
    uint32_t counter = 0;
    if (!catalog && (!schema->CatalogCounter(&counter) || counter != indexCounter)) {
        // The catalog changed meanwhile: the indexes are reopened with the
        // record given up (deleted, so that an index filled meanwhile leaves
        // it out), then it is taken again.
        data.UnlockCurrentRecord();
        int refreshed = RefreshIndexes(&late);
        if (!data.LockCurrentRecord()) {
            SetError(data.ErrorText());
            return 0;
        }
        if (!refreshed) {
            data.UnlockCurrentRecord();
            return 0;
        }
    }
    size_t done = 0;
    for (; done < order.size(); ++done) {
        Index* index = order[done];
        const String& key = index->BuildKey();
        if (IsLate(late, index)) {
            int held = index->Holds(key, record);
            if (held == 1) continue;
            if (held < 0) break;
        }
        if (!index->File().Insert(record, key.Text(), key.Length()) && !Gone(index)) break;
    }
    if (done == order.size() && data.SetDeleted(0)) {
        data.UnlockCurrentRecord();
        return 1;
    }
    // Another request took the key, or a file failed: the record stays
    // deleted, without the keys it already has.
    SetError(done < order.size() ? StepFailure(order[done], "Inserted") : data.ErrorText());
    Index* failed = done < order.size() ? order[done] : nullptr;
    bool damaged = failed && Damaged(failed);
    // Deleted first (making it live may have got as far as its mark); the
    // failed step may have written its page before its header failed.
    data.WriteDeletedMark(record, true);
    for (size_t i = 0; i < order.size() && i <= done; ++i) {
        const String& key = order[i]->BuildKey();
        order[i]->File().Delete(record, key.Text(), key.Length());
    }
    data.UnlockCurrentRecord();
    RepairBroken(damaged ? failed : nullptr, order);
    return 0;
}

int Table::UndoRecord(int32_t record, const std::vector<uint8_t>* image) {
    int held = data.LockRecord(record);
    if (held < 0) return 1;
    if (image)
        data.WriteRecordImage(record, image->data(), held > 0);
    else if (held > 0)
        data.WriteDeletedMark(record, false);
    if (held > 0) data.UnlockRecord(record);
    return 0;
}

void Table::RepairBroken(Index* failed, const std::vector<Index*>& touched) {
    if (failed && Damaged(failed)) Repair(failed);
    // An index the undo found marked damaged is rebuilt too: a change that
    // failed earlier, or a killed writer, left it so.
    for (Index* index : touched) RepairFound(index);
}

void Table::Repair(Index* index) {
    // Every record held: no writer changes the table meanwhile.
    if (!data.LockAll()) return;
    KPZIndexFile& file = index->File();
    // Keys from the records' bytes, so that the record in hand (a change
    // tried again after the repair) stays as it is.
    bool byBytes = index->KeyedByBytes();
    std::vector<uint8_t> bytes;
    // A read or write that failed once is tried again once; a rebuild that
    // fails leaves the file marked, for the next writer to rebuild.
    for (int attempt = 0; attempt < 2; ++attempt) {
        int ok = file.BeginRebuild();
        if (!ok) continue;
        for (int32_t r = 1; ok && r <= data.RecordCount(); ++r) {
            if (byBytes) {
                ok = data.ReadRecordBytes(r, bytes);
                if (!ok || bytes[0] == '*') continue;
                const String& key = index->KeyOfRecord(bytes.data());
                ok = file.Insert(r, key.Text(), key.Length());
            } else {
                ok = data.ReadRecord(r);
                if (ok && !data.Deleted()) ok = index->InsertKey();
            }
        }
        if (file.EndRebuild(ok)) {
            ++repairs;
            break;
        }
    }
    data.UnlockAll();
}

// --- Update ------------------------------------------------------------------------------------

int Table::UpdateRow() {
    if (!EnsureIndexes()) return 0;
    int32_t record = data.CurrentRecord();
    List<IndexUpdate> made(true);
    auto queue = [&](Index* index, const String& oldKey, const String& newKey, bool late) {
        auto* entry = new IndexUpdate();
        entry->oldKey.Assign(oldKey);
        entry->newKey.Assign(newKey);
        entry->index = index;
        entry->record = record;
        entry->late = late;
        made.Insert(entry, kListTail);
    };
    for (Index* index : order) {
        String oldKey(index->BuildKey(true));
        String newKey(index->BuildKey(false));
        if (SameStoredKey(oldKey, newKey, KeyLimit(index))) continue;
        if (index->File().Flags() & kIndexUnique) {
            // A key an earlier row of the statement moved to is entered
            // already (below).
            int free = KeyFree(index, newKey, record);
            if (free < 0) return 0;
            if (free == 0) {
                SetError(String("Updated record violates UNIQUE constraint on index '") + index->Name() +
                         "'");
                return 0;
            }
        }
        queue(index, oldKey, newKey, false);
    }
    std::vector<uint8_t> image(data.RecordBytes(), data.RecordBytes() + data.RecordLength());
    // Held from the write through the header: a failure puts the old bytes
    // back before a rebuild can copy the new ones.
    if (!data.LockCurrentRecord()) {
        SetError(data.ErrorText());
        return 0;
    }
    // The new unique keys go in before the record changes, under its lock: a
    // writer stopped before the write leaves an entry the UNIQUE checks take
    // for nobody's, one stopped after leaves the record with every unique
    // key it holds entered, so that no other record can take one.
    std::vector<IndexUpdate*> entered;
    auto withdraw = [&]() {
        for (IndexUpdate* u : entered) u->index->File().Delete(record, u->newKey.Text(), u->newKey.Length());
    };
    for (IndexUpdate* entry = made.First(); entry && !catalog; entry = made.Next()) {
        if (!(entry->index->File().Flags() & kIndexUnique)) continue;
        // Entered for the record already (a writer stopped after entering it).
        if (entry->index->Holds(entry->newKey, record) == 1) {
            entry->late = true;
            continue;
        }
        if (!entry->index->File().Insert(record, entry->newKey.Text(), entry->newKey.Length()) &&
            !Gone(entry->index)) {
            SetError(StepFailure(entry->index, "Updated"));
            entry->index->File().Delete(record, entry->newKey.Text(), entry->newKey.Length());
            withdraw();
            data.UnlockCurrentRecord();
            return 0;
        }
        // Applying the update then only removes the old key.
        entry->late = true;
        entered.push_back(entry);
    }
    if (!data.UpdateRecord()) {
        // The record may be written with only the header refresh failing.
        SetError(data.ErrorText());
        data.WriteRecordImage(record, image.data(), true);
        withdraw();
        data.UnlockCurrentRecord();
        return 0;
    }
    data.UnlockCurrentRecord();
    std::vector<Index*> late;
    if (!RefreshIndexes(&late)) {
        // The indexes keep the old values: so does the record.
        int stands = UndoRecord(record, &image);
        if (!stands) withdraw();
        return stands;
    }
    if (!late.empty()) {
        // The indexes were reopened: the entries are made anew for them,
        // from the old values as the record held them.
        made.Clear();
        for (XBaseField* field = data.Fields().First(); field; field = data.Fields().Next())
            field->LoadPreviousFromRecord(image.data() + field->Offset());
        for (Index* index : order) {
            String oldKey(index->BuildKey(true));
            String newKey(index->BuildKey(false));
            if (!SameStoredKey(oldKey, newKey, KeyLimit(index))) queue(index, oldKey, newKey, true);
        }
        data.SavePreviousValues();
    }
    if (catalog) {
        // Catalog rows change their entries at once.
        for (IndexUpdate* entry = made.First(); entry; entry = made.Next())
            entry->group = nextGroup;
        ++nextGroup;
        while (IndexUpdate* entry = made.Remove(kListHead)) {
            entry->oldRecord = image;
            updates.Insert(entry, kListTail);
        }
        return ApplyUpdates();
    }
    // A row no index follows is queued all the same (an entry without an
    // index), so that a failure later in the statement puts it back too.
    if (made.Count() == 0) {
        auto* entry = new IndexUpdate();
        entry->record = record;
        made.Insert(entry, kListTail);
    }
    int32_t group = nextGroup++;
    while (IndexUpdate* entry = made.Remove(kListHead)) {
        entry->group = group;
        if (made.Count() > 0)
            entry->oldRecord = image;
        else
            entry->oldRecord = std::move(image);
        updates.Insert(entry, kListTail);
    }
    return 1;
}

// --- Delete ------------------------------------------------------------------------------------

int Table::Delete() {
    if (!EnsureIndexes()) return 0;
    int32_t record = data.CurrentRecord();
    // Held through the mark and the header, as an update's record is.
    if (!data.LockCurrentRecord()) {
        SetError(data.ErrorText());
        return 0;
    }
    if (!data.SetDeleted(1)) {
        // The mark may be written with only the header refresh failing.
        SetError(data.ErrorText());
        data.WriteDeletedMark(record, false);
        data.UnlockCurrentRecord();
        return 0;
    }
    data.UnlockCurrentRecord();
    // A deleted catalog row keeps its entries, for a later CREATE to reuse.
    if (catalog) return 1;
    std::vector<Index*> late;
    if (!RefreshIndexes(&late)) return UndoRecord(record, nullptr);
    int32_t group = nextGroup++;
    // Without indexes the row is queued by an entry without one, to come
    // back if the statement fails.
    size_t entries = order.empty() ? 1 : order.size();
    for (size_t i = 0; i < entries; ++i) {
        Index* index = order.empty() ? nullptr : order[i];
        auto* entry = new IndexDelete();
        if (index) entry->key.Assign(index->BuildKey());
        entry->index = index;
        entry->record = record;
        entry->group = group;
        deletes.Insert(entry, kListTail);
    }
    return 1;
}

// --- Applying the queues --------------------------------------------------------------------------

int Table::ApplyDeletes(bool undoable) {
    int ok = 1;
    Groups<IndexDelete> groups(deletes);
    size_t failedGroup = groups.Count();
    for (size_t g = 0; g < groups.Count() && (ok || !undoable); ++g) {
        std::vector<IndexDelete*>& group = groups[g];
        // Gone already is what was wanted (an index filled after the mark).
        auto step = [&](IndexDelete* d) {
            return !d->index || d->index->File().Delete(d->record, d->key.Text(), d->key.Length()) ||
                   NotInIndex(d->index) || Gone(d->index);
        };
        size_t done = 0;
        for (; done < group.size(); ++done)
            if (!step(group[done]) && !(RepairFound(group[done]->index) && step(group[done]))) break;
        if (done == group.size()) continue;
        // The record comes back with the keys it had, so data and indexes
        // agree; the statement fails. Held meanwhile, so that no rebuild
        // copies it half restored; one that copied the mark before made its
        // indexes without the record, and the delete stands.
        int32_t record = group[done]->record;
        int held = data.LockRecord(record);
        if (held < 0) continue;
        if (ok) SetError(group[done]->index->ErrorText());
        ok = 0;
        failedGroup = g;
        Index* failed = Damaged(group[done]->index) ? group[done]->index : nullptr;
        bool back = held > 0;
        for (size_t i = 0; back && i <= done; ++i) {
            IndexDelete* d = group[i];
            int holds = d->index->Holds(d->key, d->record);
            if (holds < 0 || (holds == 0 && !d->index->File().Insert(d->record, d->key.Text(), d->key.Length())))
                back = false;
        }
        if (back) back = data.WriteDeletedMark(record, false) != 0;
        // The record could not come back (its lock failed, an index refused
        // a key, or another request took one meanwhile): the delete stands,
        // and no index keeps an entry of it.
        if (!back)
            for (IndexDelete* d : group) d->index->File().Delete(d->record, d->key.Text(), d->key.Length());
        if (held > 0) data.UnlockRecord(record);
        std::vector<Index*> touched;
        for (IndexDelete* d : group) touched.push_back(d->index);
        RepairBroken(failed, touched);
    }
    // The statement fails: its other rows come back with its undo.
    if (!ok && undoable)
        for (size_t g = 0; g < groups.Count(); ++g)
            if (g != failedGroup) groups.PutBack(g);
    return ok;
}

void Table::RevertGroup(std::vector<IndexUpdate*>& group, size_t stop, bool held) {
    // Whatever the failed step left (a page may be written before its header
    // failed), each index ends with the old key: entered before the record
    // gets it back, the new one taken out after, so that a writer stopped
    // in between leaves every key the record holds entered.
    for (size_t i = 0; i < group.size(); ++i) {
        IndexUpdate* u = group[i];
        if ((i <= stop || u->late) && u->index->Holds(u->oldKey, u->record) == 0)
            u->index->File().Insert(u->record, u->oldKey.Text(), u->oldKey.Length());
    }
    IndexUpdate* failed = group[stop];
    if (!failed->oldRecord.empty()) data.WriteRecordImage(failed->record, failed->oldRecord.data(), held);
    for (size_t i = 0; i < group.size(); ++i) {
        IndexUpdate* u = group[i];
        if (i <= stop || u->late) u->index->File().Delete(u->record, u->newKey.Text(), u->newKey.Length());
    }
}

int Table::ApplyUpdates(bool undoable) {
    int ok = 1;
    Groups<IndexUpdate> groups(updates);
    size_t failedGroup = groups.Count();
    for (size_t g = 0; g < groups.Count() && (ok || !undoable); ++g) {
        std::vector<IndexUpdate*>& group = groups[g];
        auto step = [&](IndexUpdate* u) {
            if (!u->index) return true;
            KPZIndexFile& file = u->index->File();
            bool removed = file.Delete(u->record, u->oldKey.Text(), u->oldKey.Length()) != 0;
            if (!removed && Gone(u->index)) return true;
            if (!removed && !NotInIndex(u->index)) return false;
            if (!removed || u->late) {
                // The entry may already be the new one.
                int held = u->index->Holds(u->newKey, u->record);
                if (held == 1) return true;
                if (held < 0) return false;
            }
            return file.Insert(u->record, u->newKey.Text(), u->newKey.Length()) || Gone(u->index);
        };
        size_t done = 0;
        for (; done < group.size(); ++done)
            if (!step(group[done]) && !(RepairFound(group[done]->index) && step(group[done]))) break;
        if (done == group.size()) continue;
        // Undone with the record held, so that no rebuild copies it half
        // undone; one that copied the new record before made its indexes
        // from it, and the update stands.
        int32_t record = group[done]->record;
        int held = data.LockRecord(record);
        if (held < 0) continue;
        if (ok) SetError(StepFailure(group[done]->index, "Updated"));
        ok = 0;
        failedGroup = g;
        Index* failed = group[done]->index;
        bool damaged = Damaged(failed);
        RevertGroup(group, done, held > 0);
        if (held > 0) data.UnlockRecord(record);
        std::vector<Index*> touched;
        for (IndexUpdate* u : group) touched.push_back(u->index);
        RepairBroken(damaged ? failed : nullptr, touched);
    }
    if (!ok && undoable)
        for (size_t g = 0; g < groups.Count(); ++g)
            if (g != failedGroup) groups.PutBack(g);
    return ok;
}

int Table::ApplyPending() {
    int deleted = ApplyDeletes();
    int updated = ApplyUpdates();
    return deleted && updated;
}

void Table::RevertPending() {
    std::vector<std::unique_ptr<IndexUpdate>> all;
    while (IndexUpdate* entry = updates.Remove(kListHead))
        all.emplace_back(entry);
    std::vector<std::unique_ptr<IndexUpdate>> keep;
    // The latest row first: a key an earlier row left is free again when
    // that row gets it back.
    for (size_t end = all.size(); end > 0;) {
        size_t begin = end - 1;
        while (begin > 0 && all[begin - 1]->group == all[end - 1]->group) --begin;
        int32_t record = all[begin]->record;
        int held = data.LockRecord(record);
        bool back = held > 0;
        // The old keys go in before the record gets them back, the new ones
        // out after: a writer stopped in between leaves every key the
        // record holds entered.
        for (size_t i = begin; back && i < end; ++i) {
            IndexUpdate* u = all[i].get();
            if (u->index && u->index->Holds(u->oldKey, record) == 0 &&
                !u->index->File().Insert(record, u->oldKey.Text(), u->oldKey.Length()) && !Gone(u->index))
                back = false;
        }
        if (back) back = data.WriteRecordImage(record, all[begin]->oldRecord.data(), true) != 0;
        for (size_t i = begin; back && i < end; ++i)
            if (all[i]->index)
                all[i]->index->File().Delete(record, all[i]->newKey.Text(), all[i]->newKey.Length());
        if (!back) {
            // Another request took an old key meanwhile: the row keeps its
            // change, with every key of it.
            for (size_t i = begin; i < end; ++i) {
                IndexUpdate* u = all[i].get();
                if (u->index && u->index->Holds(u->newKey, record) == 0)
                    u->index->File().Insert(record, u->newKey.Text(), u->newKey.Length());
                u->late = true;
                keep.push_back(std::move(all[i]));
            }
        }
        if (held > 0) data.UnlockRecord(record);
        end = begin;
    }
    for (auto& entry : keep)
        updates.Insert(entry.release(), kListTail);
    if (updates.Count() > 0) ApplyUpdates();
    // Deleted rows come back once every key of theirs is entered: an index
    // made anew meanwhile from the live records lacks them. One marked as
    // half changed is made anew from the live records by its next writer,
    // which waits for this record's lock, so the row comes back without it.
    List<IndexDelete> stay(true);
    EachGroup(deletes, [&](std::vector<IndexDelete*>& group) {
        int32_t record = group[0]->record;
        int held = data.LockRecord(record);
        bool back = held > 0;
        for (IndexDelete* d : group) {
            if (!back || !d->index) continue;
            int holds = d->index->Holds(d->key, record);
            if (holds == 0 && !d->index->File().Insert(record, d->key.Text(), d->key.Length())) holds = -1;
            if (holds < 0 && !d->index->File().Damaged()) back = false;
        }
        if (back && data.WriteDeletedMark(record, false)) {
            data.UnlockRecord(record);
            return;
        }
        if (held > 0) data.UnlockRecord(record);
        for (IndexDelete* d : group) {
            auto* again = new IndexDelete();
            again->key.Assign(d->key);
            again->index = d->index;
            again->record = d->record;
            again->group = d->group;
            stay.Insert(again, kListTail);
        }
    });
    while (IndexDelete* entry = stay.Remove(kListHead))
        deletes.Insert(entry, kListTail);
    if (deletes.Count() > 0) ApplyDeletes();
}

} // namespace vorn
