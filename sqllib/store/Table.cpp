// Record maintenance: inserts, updates and deletes of one table with every
// index kept in step and UNIQUE enforced.
#include <cstring>

#include "sqllib/store/Schema.h"

namespace vorn {

namespace {

const char kNotInIndex[] = "Record is not in index";

bool NotInIndex(Index* index) {
    return index->ErrorText().Equals(kNotInIndex);
}

// A page read or write failed: the tree may be half changed.
bool Damaged(Index* index) {
    const String& text = index->ErrorText();
    return text.Find("Error writing to '") == 0 || text.Find("Error reading from '") == 0;
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
    return index->ErrorText().Find("Error locking '") == 0 && FileReplaced(index->File().Store());
}

// The statement's own message when the index refused a key another request
// entered after the statement's check, else the file's.
String StepFailure(Index* index, const char* statement) {
    if (!index->File().RefusedDuplicate()) return index->ErrorText();
    return String(statement) + " record violates UNIQUE constraint on index '" + index->Name() + "'";
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
    if (indexesOpen || catalog) return 1;
    if (!schema->OpenIndexes(this)) {
        SetError(schema->ErrorText());
        return 0;
    }
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

// --- Insert ------------------------------------------------------------------------------------

int Table::Insert() {
    if (!EnsureIndexes()) return 0;
    // The index set is made current before the record is taken: a request
    // holding a record never waits for the catalog, which a pack holds while
    // it waits for every record.
    std::vector<Index*> late;
    if (!RefreshIndexes(&late)) return 0;
    late.clear();
    for (Index* index : order) {
        if (!(index->File().Flags() & kIndexUnique)) continue;
        const String& key = index->BuildKey();
        int32_t record = 0;
        int found = 0;
        if (!index->File().Find(key.Text(), key.Length(), 1, &record, &found, 1)) {
            SetError(index->ErrorText());
            return 0;
        }
        if (found && record > 0) {
            SetError(String("Inserted record violates UNIQUE constraint on index '") + index->Name() + "'");
            return 0;
        }
    }
    // The new record stays locked until its last key is in: a pack or an
    // ALTER, which copies every live record, waits for it instead of taking
    // a record whose insert may still fail.
    if (!data.AppendRecord(true)) {
        SetError(data.ErrorText());
        return 0;
    }
    int32_t record = data.CurrentRecord();
    uint32_t counter = 0;
    if (!catalog && (!schema->CatalogCounter(&counter) || counter != indexCounter)) {
        // The catalog changed meanwhile: the indexes are reopened with the
        // record given up, then it is taken again. A rebuild that copied it
        // in between made its keys from it.
        data.UnlockCurrentRecord();
        int refreshed = RefreshIndexes(&late);
        if (!data.LockCurrentRecord()) {
            if (FileReplaced(data.DataStore())) return 1;
            SetError(data.ErrorText());
            data.SetDeleted(1);
            return 0;
        }
        if (!refreshed) {
            // Without its keys the record may not stay.
            data.SetDeleted(1);
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
    if (done == order.size()) {
        data.UnlockCurrentRecord();
        return 1;
    }
    // Another request took the key, or the file failed: the record goes, and
    // with it the keys it already has.
    SetError(StepFailure(order[done], "Inserted"));
    bool damaged = Damaged(order[done]);
    // The failed step may have written its page before its header failed.
    for (size_t i = 0; i <= done; ++i) {
        const String& key = order[i]->BuildKey();
        order[i]->File().Delete(record, key.Text(), key.Length());
    }
    data.SetDeleted(1);
    data.UnlockCurrentRecord();
    if (damaged) Repair(order[done]);
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

void Table::Repair(Index* index) {
    String path(index->File().Name());
    if (!data.LockAll()) return;
    int ok = index->Create(path.Text(), path.Length(), kSQLOpenCreate);
    for (int32_t r = 1; ok && r <= data.RecordCount(); ++r) {
        if (!data.ReadRecord(r)) break;
        if (!data.Deleted()) ok = index->InsertKey();
    }
    data.UnlockAll();
}

// --- Update ------------------------------------------------------------------------------------

int Table::Update() {
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
        const String& newKey = index->BuildKey(false);
        if (SameStoredKey(oldKey, newKey, KeyLimit(index))) continue;
        if (index->File().Flags() & kIndexUnique) {
            int32_t found = 0;
            int equal = 0;
            if (!index->File().Find(newKey.Text(), newKey.Length(), 1, &found, &equal, 1)) {
                SetError(index->ErrorText());
                return 0;
            }
            bool taken = equal && found > 0 && found != record;
            // A key an earlier row of the statement moved to is not in the
            // index yet.
            for (IndexUpdate* q = updates.First(); q && !taken; q = updates.Next())
                if (q->index == index && q->record != record &&
                    SameStoredKey(q->newKey, newKey, KeyLimit(index)))
                    taken = true;
            if (taken) {
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
    if (!data.UpdateRecord()) {
        // The record may be written with only the header refresh failing.
        SetError(data.ErrorText());
        data.WriteRecordImage(record, image.data(), true);
        data.UnlockCurrentRecord();
        return 0;
    }
    data.UnlockCurrentRecord();
    std::vector<Index*> late;
    if (!RefreshIndexes(&late)) {
        // The indexes keep the old values: so does the record.
        return UndoRecord(record, &image);
    }
    if (!late.empty()) {
        // The indexes were reopened: the entries are made anew for them,
        // from the old values as the record held them.
        made.Clear();
        for (XBaseField* field = data.Fields().First(); field; field = data.Fields().Next())
            field->LoadPreviousFromRecord(image.data() + field->Offset());
        for (Index* index : order) {
            String oldKey(index->BuildKey(true));
            const String& newKey = index->BuildKey(false);
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
    int32_t group = nextGroup++;
    while (IndexUpdate* entry = made.Remove(kListHead)) {
        entry->group = group;
        entry->oldRecord = image;
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
    for (Index* index : order) {
        auto* entry = new IndexDelete();
        entry->key.Assign(index->BuildKey());
        entry->index = index;
        entry->record = record;
        entry->group = group;
        deletes.Insert(entry, kListTail);
    }
    return 1;
}

// --- Applying the queues --------------------------------------------------------------------------

int Table::ApplyDeletes() {
    int ok = 1;
    std::vector<IndexDelete*> group;
    List<IndexDelete> taken(true);
    while (IndexDelete* entry = deletes.Remove(kListHead))
        taken.Insert(entry, kListTail);
    IndexDelete* entry = taken.First();
    while (entry) {
        group.clear();
        int32_t id = entry->group;
        for (; entry && entry->group == id; entry = taken.Next())
            group.push_back(entry);
        size_t done = 0;
        for (; done < group.size(); ++done) {
            IndexDelete* d = group[done];
            // Gone already is what was wanted (an index filled after the mark).
            if (!d->index->File().Delete(d->record, d->key.Text(), d->key.Length()) &&
                !NotInIndex(d->index) && !Gone(d->index))
                break;
        }
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
        bool damaged = Damaged(group[done]->index);
        for (size_t i = 0; i <= done; ++i) {
            IndexDelete* d = group[i];
            if (d->index->Holds(d->key, d->record) == 0)
                d->index->File().Insert(d->record, d->key.Text(), d->key.Length());
        }
        if (held > 0) {
            data.WriteDeletedMark(record, false);
            data.UnlockRecord(record);
        }
        if (damaged) Repair(group[done]->index);
    }
    return ok;
}

void Table::RevertGroup(std::vector<IndexUpdate*>& group, size_t stop, bool held) {
    // Whatever the failed step left (a page may be written before its header
    // failed), each index ends with the old key.
    for (size_t i = 0; i <= stop; ++i) {
        IndexUpdate* u = group[i];
        u->index->File().Delete(u->record, u->newKey.Text(), u->newKey.Length());
        if (u->index->Holds(u->oldKey, u->record) == 0)
            u->index->File().Insert(u->record, u->oldKey.Text(), u->oldKey.Length());
    }
    IndexUpdate* failed = group[stop];
    if (!failed->oldRecord.empty()) data.WriteRecordImage(failed->record, failed->oldRecord.data(), held);
}

int Table::ApplyUpdates() {
    int ok = 1;
    std::vector<IndexUpdate*> group;
    List<IndexUpdate> taken(true);
    while (IndexUpdate* entry = updates.Remove(kListHead))
        taken.Insert(entry, kListTail);
    IndexUpdate* entry = taken.First();
    while (entry) {
        group.clear();
        int32_t id = entry->group;
        for (; entry && entry->group == id; entry = taken.Next())
            group.push_back(entry);
        size_t done = 0;

        for (; done < group.size(); ++done) {
            IndexUpdate* u = group[done];
            KPZIndexFile& file = u->index->File();
            bool removed = file.Delete(u->record, u->oldKey.Text(), u->oldKey.Length()) != 0;
            if (!removed && Gone(u->index)) continue;
            if (!removed && !NotInIndex(u->index)) break;
            if (!removed || u->late) {
                // The entry may already be the new one.
                int held = u->index->Holds(u->newKey, u->record);
                if (held == 1) continue;
                if (held < 0) break;
            }
            if (!file.Insert(u->record, u->newKey.Text(), u->newKey.Length()) && !Gone(u->index)) break;
        }
        if (done == group.size()) continue;
        // Undone with the record held, so that no rebuild copies it half
        // undone; one that copied the new record before made its indexes
        // from it, and the update stands.
        int32_t record = group[done]->record;
        int held = data.LockRecord(record);
        if (held < 0) continue;
        if (ok) SetError(StepFailure(group[done]->index, "Updated"));
        ok = 0;
        Index* failed = group[done]->index;
        bool damaged = Damaged(failed);
        RevertGroup(group, done, held > 0);
        if (held > 0) data.UnlockRecord(record);
        if (damaged) Repair(failed);
    }
    return ok;
}

int Table::ApplyPending() {
    int deleted = ApplyDeletes();
    int updated = ApplyUpdates();
    return deleted && updated;
}

} // namespace vorn
