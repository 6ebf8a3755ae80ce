// The B-tree operations of an index file: insert with page splits, delete
// with borrowing and merging, find, and the walks in key order.
//
// A change reads the pages of its path into path[depth], root at depth 0;
// a page that is already on the path is a cycle in a corrupt file. Results of
// the recursive operations: insert 0 an entry comes up, 1 failure, 2 done;
// delete 0 done, 1 the page became underfull, 2 not found, 3 failure.
#include <cstring>

#include "database/format/KPZIndexFile.h"
#include "database/format/KPZPageCache.h"
#include "engine/foundation/LittleEndian.h"
#include "engine/foundation/Messages.h"

namespace vorn {

namespace {

constexpr int kInsertUp = 0;
constexpr int kInsertFailed = 1;
constexpr int kInsertDone = 2;

constexpr int kDeleteDone = 0;
constexpr int kDeleteUnderfull = 1;
constexpr int kDeleteNotFound = 2;
constexpr int kDeleteFailed = 3;

constexpr uint32_t kMaxPageCount = 0xFFFFFFFFu;

// Pages other than the root hold at least this many entries.
int32_t KPZIndexMinEntries(int32_t maxEntries) { return maxEntries / 2 - 1; }

} // namespace

int32_t KPZIndexFile::CutKey(const char* key, int32_t length) const {
    if (!key) return 0;
    int32_t n = length < 0 ? static_cast<int32_t>(std::strlen(key)) : static_cast<int32_t>(strnlen(key, length));
    int32_t max = KeyWidth() - 1;
    return n < max ? n : max;
}

// --- Locks and the header ------------------------------------------------------------------

int KPZIndexFile::BeginChange(bool mayBeDamaged) {
    if (!store) {
        SetError(String(kInternalErrorOpening) + name + "'");
        return 0;
    }
    ++pageState;
    // The rebuild holds the lock, and its file is marked until it ends.
    if (rebuilding) return 1;
    // A held shared lock goes first: a handle's ranges may not overlap.
    ReleaseHold();
    if (!store->Lock(true, 0, kIndexHeaderSize)) {
        SetError(String(kErrorLocking) + name + kForWrite + store->ErrorText());
        return 0;
    }
    pagesWritten = false;
    announced = false;
    announcedSeveral = false;
    if (!ReadHeader() || (!mayBeDamaged && !CheckComplete())) {
        store->Unlock(0, kIndexHeaderSize);
        return 0;
    }
    return 1;
}

int KPZIndexFile::CheckComplete() {
    damaged = (Flags() & kIndexChanging) != 0;
    if (!damaged) return 1;
    SetError(String(kErrorReadingFrom) + name + "': " + kIndexInterrupted);
    return 0;
}

int KPZIndexFile::AnnounceChange(bool several) {
    if (announced) return 1;
    announced = true;
    announcedSeveral = several;
    SetChangeCounter(ChangeCounter() + 1);
    if (several) SetFlags(Flags() | kIndexChanging);
    return WriteHeader();
}

int KPZIndexFile::Touch(bool keepLocked) {
    if (!BeginChange(true)) return 0;
    return EndChange(1, keepLocked);
}

int KPZIndexFile::EndChange(int ok, bool keepLocked) {
    ++pageState;
    if (rebuilding) {
        cache->Clear();
        return ok;
    }
    // The counter moved when the change was announced; a change that wrote
    // nothing (a touch) moves it now.
    if (ok && !announced) {
        SetChangeCounter(ChangeCounter() + 1);
        ok = WriteHeader();
    } else if (ok && announcedSeveral) {
        SetFlags(Flags() & ~kIndexChanging);
        ok = WriteHeader();
    } else if (!ok && announced) {
        // Pages may be half written: the file stays marked until rebuilt.
        SetFlags(Flags() | kIndexChanging);
        WriteHeader();
    }
    if (ok)
        cache->Retag(ChangeCounter(), PageCount());
    else
        cache->Clear();
    if (!ok || !keepLocked) store->Unlock(0, kIndexHeaderSize);
    return ok;
}

int KPZIndexFile::BeginRebuild() {
    if (!BeginChange(true)) return 0;
    // Marked before the tree goes, as any change of several pages is.
    if (!AnnounceChange(true)) return EndChange(0);
    if (PageSize() >= kIndexRemakesOffset + 4) {
        uint8_t bytes[4];
        PutU32(bytes, ++remakes);
        if (store->WriteAt(kIndexRemakesOffset, bytes, 4) != 4) return EndChange(WriteFailure());
    }
    SetPageCount(2);
    SetRootPage(1);
    cache->Clear();
    KPZIndexPage& root = *path[0];
    root.Reset(1, EntrySize(), PageSize(), PageSize());
    if (!WritePage(root) || !WriteHeader()) return EndChange(0);
    stack.Clear();
    rebuilding = true;
    return 1;
}

int KPZIndexFile::EndRebuild(int ok) {
    rebuilding = false;
    if (ok) SetFlags(Flags() & ~kIndexChanging);
    SetChangeCounter(ChangeCounter() + 1);
    ok = WriteHeader() && ok;
    ++pageState;
    cache->Clear();
    store->Unlock(0, kIndexHeaderSize);
    if (ok) damaged = false;
    return ok;
}

int KPZIndexFile::HoldShared() {
    if (held) return 1;
    if (!BeginWalk(1)) return 0;
    held = true;
    return 1;
}

void KPZIndexFile::ReleaseHold() {
    if (!held) return;
    held = false;
    if (store) store->Unlock(0, kIndexHeaderSize);
}

int KPZIndexFile::BeginWalk(int lock) {
    if (!store) {
        SetError(String(kInternalErrorOpening) + name + "'");
        return 0;
    }
    // Nobody changes the tree while the hold lasts: the header in memory is current.
    if (held) return 1;
    if (lock && !store->Lock(false, 0, kIndexHeaderSize)) {
        SetError(String(kErrorLocking) + name + kForRead + store->ErrorText());
        return 0;
    }
    // Without the lock a writer may be in the middle of its change.
    if (!ReadHeader() || (lock && !CheckComplete())) {
        if (lock) store->Unlock(0, kIndexHeaderSize);
        stack.Clear();
        return 0;
    }
    return 1;
}

void KPZIndexFile::EndWalk(int lock) {
    if (lock && !held) store->Unlock(0, kIndexHeaderSize);
    stackCounter = ChangeCounter();
}

// --- Insert ------------------------------------------------------------------------------------

int KPZIndexFile::Insert(int32_t record, const char* key, int32_t keyLength) {
    refusedDuplicate = false;
    if (!BeginChange()) return 0;
    int32_t n = CutKey(key, keyLength);
    cutKey.Assign(key, n);
    SearchKey search(cutKey.Text(), n);
    uint32_t oldRoot = RootPage();
    int result = InsertInPage(0, oldRoot, record, search);
    int ok = result != kInsertFailed;
    if (result == kInsertUp) {
        // The root split: a new root holds the entry that came up.
        if (PageCount() >= kMaxPageCount) {
            SetError(String(kErrorWritingTo) + name + "': the index file is full");
            return EndChange(0);
        }
        uint32_t newRoot = PageCount();
        KPZIndexPage& root = *path[0];
        root.Reset(newRoot, EntrySize(), PageSize(), PageSize());
        root.SetChild(0, oldRoot);
        root.InsertEntryRight(0, upRecord, upKey.Text(), upKey.Length(), upChild);
        SetPageCount(newRoot + 1);
        SetRootPage(newRoot);
        ok = WritePage(root);
    }
    return EndChange(ok);
}

int KPZIndexFile::LoadPathPage(int32_t depth, uint32_t pageNumber) {
    if (depth >= kIndexMaxDepth) return Corrupt(kIndexTooDeep);
    for (int32_t d = 0; d < depth; ++d)
        if (path[d]->Number() == pageNumber) return Corrupt(nullptr);
    return ReadPage(*path[depth], pageNumber);
}

int KPZIndexFile::InsertInPage(int32_t depth, uint32_t pageNumber, int32_t record, const SearchKey& key) {
    if (pageNumber == 0) {
        upChild = 0;
        upRecord = record;
        upKey.Assign(key.text, key.length);
        return kInsertUp;
    }
    if (!LoadPathPage(depth, pageNumber)) return kInsertFailed;
    KPZIndexPage& page = *path[depth];
    uint32_t flags = Flags();
    int32_t count = page.Count();
    int32_t i = 0;
    int c = 1;
    for (; i < count; ++i) {
        c = CompareKeys(key, page.Key(i), page.KeyLength(i), 1, flags);
        if (c <= 0) break;
    }
    if (i < count && c == 0 && (flags & kIndexUnique)) {
        refusedDuplicate = true;
        SetError(String("Index '") + name + "' was created with the UNIQUE flag and the key '" +
                 String(key.text, key.length) + "' already exists in the index file");
        return kInsertFailed;
    }
    int result = InsertInPage(depth + 1, page.Child(i), record, key);
    if (result != kInsertUp) return result;
    if (count < MaxEntries()) {
        page.InsertEntryRight(i, upRecord, upKey.Text(), upKey.Length(), upChild);
        // A leaf with room is the change's one page.
        if (!AnnounceChange(false)) return kInsertFailed;
        return WritePage(page) ? kInsertDone : kInsertFailed;
    }
    // A full page splits; the new page's number is taken at once.
    if (PageCount() >= kMaxPageCount) {
        SetError(String(kErrorWritingTo) + name + "': the index file is full");
        return kInsertFailed;
    }
    if (!AnnounceChange(true)) return kInsertFailed;
    uint32_t newPage = PageCount();
    SetPageCount(newPage + 1);
    if (!WriteHeader()) return kInsertFailed;
    std::memcpy(scratch.Bytes(), page.Bytes(), static_cast<size_t>(8 + count * EntrySize()));
    scratch.InsertEntryRight(i, upRecord, upKey.Text(), upKey.Length(), upChild);
    int32_t total = count + 1;
    KPZIndexPage& right = sibling[0];
    right.Reset(newPage, EntrySize(), PageSize(), PageSize());
    Spread(page, total - 1 - total / 2, right);
    if (!WritePage(page) || !WritePage(right)) return kInsertFailed;
    upChild = newPage;
    return kInsertUp;
}

// --- Moving entries between pages --------------------------------------------------------------

void KPZIndexFile::Combine(KPZIndexPage& left, KPZIndexPage& parent, int32_t k, KPZIndexPage& right) {
    const size_t e = static_cast<size_t>(EntrySize());
    const size_t nLeft = static_cast<size_t>(left.Count());
    const size_t nRight = static_cast<size_t>(right.Count());
    uint8_t* s = scratch.Bytes();
    std::memcpy(s + 4, left.Bytes() + 4, nLeft * e + 4);
    std::memcpy(s + 8 + nLeft * e, parent.Bytes() + 8 + static_cast<size_t>(k) * e, e - 4);
    std::memcpy(s + 4 + (nLeft + 1) * e, right.Bytes() + 4, nRight * e + 4);
    scratch.SetCount(static_cast<int32_t>(nLeft + nRight + 1));
}

void KPZIndexFile::Spread(KPZIndexPage& left, int32_t a, KPZIndexPage& right) {
    const size_t e = static_cast<size_t>(EntrySize());
    const int32_t total = scratch.Count();
    const uint8_t* s = scratch.Bytes();
    std::memcpy(left.Bytes() + 4, s + 4, static_cast<size_t>(a) * e + 4);
    left.SetCount(a);
    upRecord = scratch.Record(a);
    upKey.Assign(scratch.Key(a), scratch.KeyLength(a));
    std::memcpy(right.Bytes() + 4, s + 4 + static_cast<size_t>(a + 1) * e,
                static_cast<size_t>(total - a - 1) * e + 4);
    right.SetCount(total - a - 1);
}

// --- Delete ------------------------------------------------------------------------------------

int KPZIndexFile::Delete(int32_t record, const char* key, int32_t keyLength) {
    if (!BeginChange()) return 0;
    int32_t n = CutKey(key, keyLength);
    cutKey.Assign(key, n);
    SearchKey search(cutKey.Text(), n);
    int result = DeleteInPage(0, RootPage(), record, search);
    if (result == kDeleteNotFound) SetError(String(kRecordNotInIndex));
    // An underfull root is allowed.
    int ok = result == kDeleteDone || (result == kDeleteUnderfull && WritePage(*path[0]));
    return EndChange(ok);
}

int KPZIndexFile::DeleteInPage(int32_t depth, uint32_t pageNumber, int32_t record, const SearchKey& key) {
    if (!LoadPathPage(depth, pageNumber)) return kDeleteFailed;
    KPZIndexPage& page = *path[depth];
    uint32_t flags = Flags();
    int32_t count = page.Count();
    int32_t cursor = 0;
    // Equal keys may lie in every subtree from the first equal entry on, so
    // the scan goes on through the page after a subtree did not hold it.
    for (;;) {
        while (cursor < count) {
            int c = CompareKeys(key, page.Key(cursor), page.KeyLength(cursor), 1, flags);
            if (c > 0) {
                ++cursor;
                continue;
            }
            if (c == 0 && page.Record(cursor) == record) return RemoveFound(depth, cursor);
            break;
        }
        uint32_t child = page.Child(cursor);
        if (child != 0) {
            int result = DeleteInPage(depth + 1, child, record, key);
            if (result == kDeleteUnderfull) return Rebalance(depth, cursor);
            if (result != kDeleteNotFound) return result;
        }
        if (++cursor > count) return kDeleteNotFound;
    }
}

int KPZIndexFile::RemoveFound(int32_t depth, int32_t j) {
    KPZIndexPage& page = *path[depth];
    if (page.Child(0) == 0) {
        page.RemoveEntry(j);
        if (depth > 0 && page.Count() < KPZIndexMinEntries(MaxEntries())) return kDeleteUnderfull;
        // A leaf that stays full enough is the change's one page.
        if (!AnnounceChange(false)) return kDeleteFailed;
        return WritePage(page) ? kDeleteDone : kDeleteFailed;
    }
    // An inner entry is replaced by its successor, the first entry of the
    // subtree right of it.
    uint32_t right = page.Child(j + 1);
    if (right == 0) {
        Corrupt("an inner page lacks a child");
        return kDeleteFailed;
    }
    int result = Successor(depth + 1, right, depth, j);
    if (result == kDeleteUnderfull) return Rebalance(depth, j + 1);
    return result;
}

int KPZIndexFile::Successor(int32_t depth, uint32_t pageNumber, int32_t targetDepth, int32_t targetIndex) {
    if (!LoadPathPage(depth, pageNumber)) return kDeleteFailed;
    KPZIndexPage& page = *path[depth];
    uint32_t first = page.Child(0);
    if (first != 0) {
        int result = Successor(depth + 1, first, targetDepth, targetIndex);
        if (result == kDeleteUnderfull) return Rebalance(depth, 0);
        return result;
    }
    if (page.Count() == 0) {
        Corrupt("an empty page stands where an entry should be");
        return kDeleteFailed;
    }
    KPZIndexPage& target = *path[targetDepth];
    target.SetRecord(targetIndex, page.Record(0));
    target.SetKey(targetIndex, page.Key(0), page.KeyLength(0));
    if (!WritePage(target)) return kDeleteFailed;
    page.RemoveEntry(0);
    if (page.Count() < KPZIndexMinEntries(MaxEntries())) return kDeleteUnderfull;
    return WritePage(page) ? kDeleteDone : kDeleteFailed;
}

int KPZIndexFile::LoadSibling(KPZIndexPage& page, uint32_t pageNumber, int32_t depth) {
    for (int32_t d = 0; d <= depth + 1; ++d)
        if (path[d]->Number() == pageNumber) return Corrupt(nullptr);
    return ReadPage(page, pageNumber);
}

int KPZIndexFile::Rebalance(int32_t depth, int32_t j) {
    KPZIndexPage& parent = *path[depth];
    KPZIndexPage& child = *path[depth + 1];
    int32_t count = parent.Count();
    if (j > count || parent.Child(j) != child.Number()) {
        j = -1;
        for (int32_t i = 0; i <= count; ++i)
            if (parent.Child(i) == child.Number()) {
                j = i;
                break;
            }
        if (j < 0) {
            Corrupt(nullptr);
            return kDeleteFailed;
        }
    }
    KPZIndexPage* left = nullptr;
    KPZIndexPage* right = nullptr;
    if (j > 0) {
        if (!LoadSibling(sibling[0], parent.Child(j - 1), depth)) return kDeleteFailed;
        left = &sibling[0];
    }
    if (j < count) {
        if (!LoadSibling(sibling[1], parent.Child(j + 1), depth)) return kDeleteFailed;
        right = &sibling[1];
    }
    int32_t min = KPZIndexMinEntries(MaxEntries());
    if ((left && left->Count() > min) || (right && right->Count() > min)) {
        // Borrow through the parent: the page that gives keeps half of the
        // two pages' entries, the separator moves down and another up.
        bool fromLeft = left && left->Count() > min;
        KPZIndexPage& l = fromLeft ? *left : child;
        KPZIndexPage& r = fromLeft ? child : *right;
        int32_t k = fromLeft ? j - 1 : j;
        int32_t total = l.Count() + r.Count();
        Combine(l, parent, k, r);
        Spread(l, fromLeft ? total / 2 : total - total / 2, r);
        parent.SetRecord(k, upRecord);
        parent.SetKey(k, upKey.Text(), upKey.Length());
        return WritePage(l) && WritePage(r) && WritePage(parent) ? kDeleteDone : kDeleteFailed;
    }
    if (!left && !right) {
        Corrupt("an inner page has no entries");
        return kDeleteFailed;
    }
    // Merge into the left page of the pair; the right one is left unused.
    KPZIndexPage& l = left ? *left : child;
    KPZIndexPage& r = left ? child : *right;
    int32_t k = left ? j - 1 : j;
    int32_t total = l.Count() + r.Count() + 1;
    if (total > (PageSize() - 8) / EntrySize()) {
        Corrupt("the number of entries is larger than the maximum entries possible");
        return kDeleteFailed;
    }
    Combine(l, parent, k, r);
    std::memcpy(l.Bytes() + 4, scratch.Bytes() + 4, static_cast<size_t>(total * EntrySize() + 4));
    l.SetCount(total);
    r.SetCount(0);
    parent.RemoveEntry(k);
    if (!WritePage(l) || !WritePage(r)) return kDeleteFailed;
    if (parent.Count() < min) {
        if (depth > 0) return kDeleteUnderfull;
        if (parent.Count() == 0) SetRootPage(l.Number());
    }
    return WritePage(parent) ? kDeleteDone : kDeleteFailed;
}

// --- Find and the walks ------------------------------------------------------------------------

int32_t KPZIndexFile::StandingEntry(String& key) {
    KPZIndexPage* top = stack.Top();
    if (!top || top->cursor < 0 || top->cursor >= top->Count()) return 0;
    key.Assign(top->Key(top->cursor), top->KeyLength(top->cursor));
    return top->Record(top->cursor);
}

int32_t KPZIndexFile::Current(const char** outKey) {
    KPZIndexPage* top = stack.Top();
    if (!top || top->cursor < 0 || top->cursor >= top->Count()) return 0;
    if (outKey) {
        currentKey.Assign(top->Key(top->cursor), top->KeyLength(top->cursor));
        *outKey = currentKey.Text();
    }
    return top->Record(top->cursor);
}

int KPZIndexFile::FindInternal(const SearchKey& key, int exact, int32_t* outRecord, int* outFound) {
    stack.Clear();
    *outRecord = 0;
    *outFound = 0;
    if (!PushPage(RootPage())) return 0;
    uint32_t flags = Flags();
    int32_t resultDepth = -1;
    int32_t resultIndex = 0;
    // A text search key, or any key of a text index, orders by bytes alone.
    // The key holds no zero byte and is shorter than the key field, so one
    // memcmp against the entry's bytes, and the byte behind them when they
    // match, orders it as CompareKeys does.
    const bool bytesOnly = (!exact || (flags & kIndexString) || !key.numeric) && key.length < KeyWidth() &&
                           std::memchr(key.text, 0, static_cast<size_t>(key.length)) == nullptr;
    const size_t keyLength = static_cast<size_t>(key.length);
    const int order = (flags & kIndexDescending) ? -1 : 1;
    auto compare = [&](const KPZIndexPage& page, int32_t i) {
        if (!bytesOnly) return CompareKeys(key, page.Key(i), page.KeyLength(i), exact, flags);
        const char* entry = page.Key(i);
        int c = keyLength > 0 ? std::memcmp(key.text, entry, keyLength) : 0;
        if (c != 0) return c < 0 ? -order : order;
        return exact && entry[keyLength] != 0 ? -order : 0;
    };
    for (;;) {
        KPZIndexPage& page = *stack.Top();
        int32_t depth = stack.Count() - 1;
        int32_t count = page.Count();
        int32_t cursor = 0;
        bool done = false;
        while (cursor < count) {
            int c = compare(page, cursor);
            if (c > 0) {
                if (!*outFound) {
                    *outRecord = page.Record(cursor);
                    resultDepth = depth;
                    resultIndex = cursor;
                }
                ++cursor;
                continue;
            }
            if (c == 0) {
                // Further down, left of it, may stand an earlier equal entry.
                *outFound = 1;
                *outRecord = page.Record(cursor);
                resultDepth = depth;
                resultIndex = cursor;
                done = exact && (flags & kIndexUnique);
            }
            break;
        }
        page.cursor = cursor;
        if (done) break;
        uint32_t child = page.Child(cursor);
        if (child == 0) break;
        if (!PushPage(child)) return 0;
    }
    if (resultDepth >= 0) {
        stack.Truncate(resultDepth + 1);
        stack.Top()->cursor = resultIndex;
    } else {
        // Before the first entry: the next step gives it.
        stack.Top()->cursor = -1;
    }
    return 1;
}

int KPZIndexFile::Find(const char* key, int32_t keyLength, int exact, int32_t* outRecord, int* outFound,
                       int lock) {
    *outRecord = 0;
    *outFound = 0;
    stack.Clear();
    if (!BeginWalk(lock)) return 0;
    int32_t n = CutKey(key, keyLength);
    cutKey.Assign(key, n);
    int ok = FindInternal(SearchKey(cutKey.Text(), n), exact, outRecord, outFound);
    if (!ok) stack.Clear();
    EndWalk(lock);
    return ok;
}

int KPZIndexFile::StepNext() {
    KPZIndexPage* top = stack.Top();
    if (!top) return 1;
    ++top->cursor;
    if (top->cursor >= 0 && top->cursor <= top->Count()) {
        uint32_t child = top->Child(top->cursor);
        while (child != 0) {
            if (!PushPage(child)) return 0;
            top = stack.Top();
            child = top->Child(0);
        }
    }
    // Up past pages whose entries are used up.
    while (top && top->cursor >= top->Count()) {
        stack.Pop();
        top = stack.Top();
    }
    return 1;
}

int KPZIndexFile::StepPrevious() {
    KPZIndexPage* top = stack.Top();
    if (!top) return 1;
    uint32_t child = top->cursor >= 0 && top->cursor <= top->Count() ? top->Child(top->cursor) : 0;
    if (child != 0) {
        while (child != 0) {
            if (!PushPage(child)) return 0;
            top = stack.Top();
            top->cursor = top->Count();
            child = top->Child(top->cursor);
        }
        top->cursor = top->Count() - 1;
    } else {
        --top->cursor;
    }
    while (top && top->cursor < 0) {
        stack.Pop();
        top = stack.Top();
        if (top) --top->cursor;
    }
    return 1;
}

int KPZIndexFile::First(int32_t* outRecord, int lock) {
    *outRecord = 0;
    stack.Clear();
    if (!BeginWalk(lock)) return 0;
    int ok = PushPage(RootPage());
    if (ok) {
        stack.Top()->cursor = -1;
        ok = StepNext();
    }
    if (ok)
        *outRecord = Current(nullptr);
    else
        stack.Clear();
    EndWalk(lock);
    return ok;
}

int KPZIndexFile::Last(int32_t* outRecord, int lock) {
    *outRecord = 0;
    stack.Clear();
    if (!BeginWalk(lock)) return 0;
    int ok = PushPage(RootPage());
    if (ok) {
        stack.Top()->cursor = stack.Top()->Count();
        ok = StepPrevious();
    }
    if (ok)
        *outRecord = Current(nullptr);
    else
        stack.Clear();
    EndWalk(lock);
    return ok;
}

KPZIndexFile::Place KPZIndexFile::RepositionInternal(const SearchKey& key, int32_t record) {
    int32_t found = 0;
    int equal = 0;
    if (!FindInternal(key, 1, &found, &equal)) return Place::Failed;
    if (!equal) return Place::NoneEqual;
    uint32_t flags = Flags();
    for (;;) {
        if (Current(nullptr) == record) return Place::Found;
        if (!StepNext()) return Place::Failed;
        KPZIndexPage* top = stack.Top();
        if (!top) return Place::PastEqual;
        // The entries of one key stand together: past them it is not there.
        if (CompareKeys(key, top->Key(top->cursor), top->KeyLength(top->cursor), 1, flags) != 0)
            return Place::PastEqual;
    }
}

int KPZIndexFile::Reposition(const char* key, int32_t keyLength, int32_t record, int lock) {
    stack.Clear();
    if (!BeginWalk(lock)) return 0;
    int32_t n = CutKey(key, keyLength);
    cutKey.Assign(key, n);
    Place place = RepositionInternal(SearchKey(cutKey.Text(), n), record);
    if (place == Place::Failed) stack.Clear();
    EndWalk(lock);
    if (place == Place::Found) return 1;
    if (place != Place::Failed) SetError(String(kRecordNotInIndex));
    return 0;
}

int KPZIndexFile::Next(int32_t* outRecord, const char** outKey, int lock) {
    *outRecord = 0;
    if (outKey) *outKey = nullptr;
    if (!BeginWalk(lock)) return 0;
    int ok = 1;
    KPZIndexPage* top = stack.Top();
    if (top && ChangeCounter() != stackCounter) {
        // The tree changed since the walk stood on its entry: find that
        // entry again, or go on after its key when it is gone.
        bool step = true;
        if (top->cursor >= 0 && top->cursor < top->Count()) {
            int32_t record = top->Record(top->cursor);
            cutKey.Assign(top->Key(top->cursor), top->KeyLength(top->cursor));
            Place place = RepositionInternal(SearchKey(cutKey.Text(), cutKey.Length()), record);
            ok = place != Place::Failed;
            step = place != Place::PastEqual;
        } else if (top->cursor < 0) {
            // Before the first entry: the first one now.
            stack.Clear();
            ok = PushPage(RootPage());
            if (ok) stack.Top()->cursor = -1;
        } else {
            stack.Clear();
        }
        if (ok && step) ok = StepNext();
    } else {
        ok = StepNext();
    }
    if (ok)
        *outRecord = Current(outKey);
    else
        stack.Clear();
    EndWalk(lock);
    return ok;
}

int KPZIndexFile::Previous(int32_t* outRecord, const char** outKey, int lock) {
    *outRecord = 0;
    if (outKey) *outKey = nullptr;
    if (!BeginWalk(lock)) return 0;
    int ok = 1;
    KPZIndexPage* top = stack.Top();
    if (top && ChangeCounter() != stackCounter) {
        bool step = true;
        if (top->cursor >= 0 && top->cursor < top->Count()) {
            int32_t record = top->Record(top->cursor);
            cutKey.Assign(top->Key(top->cursor), top->KeyLength(top->cursor));
            SearchKey key(cutKey.Text(), cutKey.Length());
            Place place = RepositionInternal(key, record);
            ok = place != Place::Failed;
            if (place == Place::PastEqual) {
                // Gone: back to the first entry of its key, then one before.
                int32_t found = 0;
                int equal = 0;
                ok = FindInternal(key, 1, &found, &equal);
                step = equal != 0;
            } else if (place == Place::NoneEqual) {
                step = false; // the walk stands on the entry before the key
            }
        } else if (top->cursor >= top->Count()) {
            // After the last entry: the last one now.
            stack.Clear();
            ok = PushPage(RootPage());
            if (ok) stack.Top()->cursor = stack.Top()->Count();
        } else {
            stack.Clear();
        }
        if (ok && step) ok = StepPrevious();
    } else {
        ok = StepPrevious();
    }
    if (ok)
        *outRecord = Current(outKey);
    else
        stack.Clear();
    EndWalk(lock);
    return ok;
}

} // namespace vorn
