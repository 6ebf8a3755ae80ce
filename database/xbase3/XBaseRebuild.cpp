// VrPACK and VrREINDEX. Both build complete new files under temporary names
// while the table is locked against every change (its header and all record
// bytes), then swap each new file with the old one by exchanging their names,
// so that until the last swap every old file can be put back: a failure
// leaves the old set of files whole, success the new one. The old files go
// once the database holds the new ones open.
#include <cstring>

#include "database/xbase3/XBaseDatabase.h"
#include "database/xbase3/XBaseDatabaseView.h"
#include "engine/app/VornApplication.h"
#include "engine/files/File.h"
#include "engine/foundation/Messages.h"

namespace vorn {

namespace {

constexpr int32_t kMaxOwnFiles = 64;

bool HasMemoField(XBaseTable* table) {
    for (XBaseField* field = table->Fields().First(); field; field = table->Fields().Next())
        if (field->Kind() == kXBaseMemo) return true;
    return false;
}

File* FileOf(XBaseStore* store) {
    auto* files = dynamic_cast<XBaseFileStore*>(store);
    return files ? files->GetFile() : nullptr;
}

} // namespace

// ---- Temporary files and swaps ---------------------------------------------------------------

XBaseStore* XBaseDatabase::MakeTemporary(const String& final, List<XBaseTemporaryFile>& temporaries) {
    FileManager* files = application ? application->GetFileManager() : nullptr;
    if (!files) {
        Fail(kNoFileManager);
        return nullptr;
    }
    String temporaryName;
    File* file = files->MakeTemporary(kXBaseLocation, final.Text(), temporaryName, kXBaseOpenMode);
    if (!file) {
        Fail(files->ErrorText());
        return nullptr;
    }
    temporaries.Insert(new XBaseTemporaryFile(final, temporaryName), kListTail);
    return new XBaseFileStore(file);
}

int32_t XBaseDatabase::OwnFiles(File** out, int32_t room) {
    int32_t n = 0;
    auto add = [&](XBaseStore* store) {
        if (File* file = FileOf(store))
            if (n < room) out[n++] = file;
    };
    add(table->DataStore());
    add(table->MemoStore());
    if (rebuilt) {
        add(rebuilt->DataStore());
        add(rebuilt->MemoStore());
    }
    for (XBaseIndex* index = indexes.First(); index; index = indexes.Next())
        add(index->File().Store());
    return n;
}

int XBaseDatabase::SwapInFiles(List<XBaseTemporaryFile>& temporaries) {
    FileManager* files = application->GetFileManager();
    File* own[kMaxOwnFiles];
    int32_t ownCount = OwnFiles(own, kMaxOwnFiles);
    for (XBaseTemporaryFile* each = temporaries.First(); each; each = temporaries.Next()) {
        bool exists = false;
        int ok = files->Exists(kXBaseLocation, each->finalName.Text(), &exists);
        if (ok && exists) {
            ok = files->Exchange(kXBaseLocation, each->temporaryName.Text(), each->finalName.Text(), own,
                                 ownCount);
            if (ok) each->state = XBaseTemporaryFile::Exchanged;
        } else if (ok) {
            ok = files->Rename(kXBaseLocation, each->temporaryName.Text(), kXBaseLocation,
                               each->finalName.Text());
            if (ok) each->state = XBaseTemporaryFile::Renamed;
        }
        if (!ok) {
            String message = files->ErrorText();
            int back = SwapBackFiles(temporaries);
            Fail(back ? message : message + "; " + ErrorText());
            return back ? 0 : -1;
        }
    }
    return 1;
}

int XBaseDatabase::SwapBackFiles(List<XBaseTemporaryFile>& temporaries) {
    FileManager* files = application->GetFileManager();
    File* own[kMaxOwnFiles];
    int32_t ownCount = OwnFiles(own, kMaxOwnFiles);
    int ok = 1;
    String stranded;
    for (XBaseTemporaryFile* each = temporaries.Last(); each; each = temporaries.Previous()) {
        int back = 1;
        if (each->state == XBaseTemporaryFile::Exchanged)
            back = files->Exchange(kXBaseLocation, each->temporaryName.Text(), each->finalName.Text(), own,
                                   ownCount);
        else if (each->state == XBaseTemporaryFile::Renamed)
            back = files->Rename(kXBaseLocation, each->finalName.Text(), kXBaseLocation,
                                 each->temporaryName.Text());
        if (back) {
            each->state = XBaseTemporaryFile::Made;
        } else {
            ok = 0;
            if (!stranded.IsEmpty()) stranded.Append(", ");
            stranded = stranded + "'" + each->finalName + "' (the old file is '" + each->temporaryName + "')";
        }
    }
    if (!ok) Fail(String("the new files could not all be put back: ") + stranded);
    return ok;
}

void XBaseDatabase::DeleteTemporaries(List<XBaseTemporaryFile>& temporaries) {
    FileManager* files = application ? application->GetFileManager() : nullptr;
    if (!files) return;
    for (XBaseTemporaryFile* each = temporaries.First(); each; each = temporaries.Next())
        files->Delete(kXBaseLocation, each->temporaryName.Text());
}

int XBaseDatabase::MakeTemporaryIndexes(XBaseIndexList& fresh, List<XBaseTemporaryFile>& temporaries) {
    for (XBaseIndex* index = indexes.First(); index; index = indexes.Next()) {
        XBaseStore* store = MakeTemporary(index->FileName(), temporaries);
        if (!store) return 0;
        auto* made =
            new XBaseIndex(program, application, this, &opener, index->Name().Text(), index->Name().Length());
        fresh.Insert(made, kListTail);
        const String& expression = index->Expression();
        // Named as the file it becomes: its messages (a UNIQUE refusal) speak
        // of that file, never of the temporary one.
        if (!made->CreateOnFile(store, index->FileName().Text(), expression.Text(),
                                index->Flags() & ~(kIndexReplaced | kIndexChanging))) {
            delete store;
            return Fail(made->ErrorText());
        }
        // A key that does not compile fails the rebuild before any record.
        if (!made->Compile()) return Fail(made->ErrorText());
    }
    return 1;
}

int XBaseDatabase::ReopenIndexes(XBaseIndexList& reopened) {
    for (XBaseIndex* index = indexes.First(); index; index = indexes.Next()) {
        auto* again =
            new XBaseIndex(program, application, this, &opener, index->Name().Text(), index->Name().Length());
        if (!again->Open(index->FileName().Text())) {
            Fail(again->ErrorText());
            delete again;
            return 0;
        }
        reopened.Insert(again, kListTail);
    }
    return 1;
}

// ---- Shared steps ----------------------------------------------------------------------------

int XBaseDatabase::AddKeys(XBaseIndexList& fresh, int32_t record, String& key,
                           const std::vector<uint8_t>* dead) {
    for (XBaseIndex* index = fresh.First(); index; index = fresh.Next()) {
        view->ResetVariables(1);
        if (!view->EvaluateKey(index, key)) return Fail(index->ErrorText());
        if (index->AddKey(record, key.Text(), key.Length())) continue;
        if (!dead || !index->File().RefusedDuplicate()) return Fail(index->ErrorText());
        // A deleted record (an add that failed or whose writer was killed)
        // gives its key up to a live one; two live ones fail the reindex.
        if ((*dead)[static_cast<size_t>(record - 1)]) continue;
        String refusal = index->ErrorText();
        int32_t holder = 0;
        int found = 0;
        if (!index->FindKey(key.Text(), key.Length(), 1, &holder, &found)) return Fail(index->ErrorText());
        if (!found || holder < 1 || holder >= record || !(*dead)[static_cast<size_t>(holder - 1)])
            return Fail(refusal);
        if (!index->RemoveKey(holder, key.Text(), key.Length()) || !index->AddKey(record, key.Text(), key.Length()))
            return Fail(index->ErrorText());
    }
    return 1;
}

int XBaseDatabase::Abandon(List<XBaseTemporaryFile>& temporaries, int swapped) {
    // After a failed swap back the temporary names may hold old files.
    if (swapped >= 0) DeleteTemporaries(temporaries);
    table->UnlockForRebuild();
    if (view) view->RebindVariables(table);
    return 0;
}

int XBaseDatabase::SwapAndReopen(List<XBaseTemporaryFile>& temporaries, XBaseTable** reopened,
                                 XBaseIndexList& again) {
    int swapped = SwapInFiles(temporaries);
    if (swapped <= 0) return swapped;
    int ok = 1;
    if (reopened) {
        *reopened = new XBaseTable(&opener);
        if (!(*reopened)->Open(kXBaseLocation, fileName.Text(), kXBaseOpenMode))
            ok = Fail((*reopened)->ErrorText());
    }
    if (ok) ok = ReopenIndexes(again);
    if (ok) return 1;
    // The new files do not open: the old ones go back in place.
    String message = ErrorText();
    if (reopened) {
        delete *reopened;
        *reopened = nullptr;
    }
    again.Clear();
    if (!SwapBackFiles(temporaries)) {
        Fail(message + "; " + ErrorText());
        return -1;
    }
    Fail(message);
    return 0;
}

void XBaseDatabase::Commit(XBaseTable* reopened, XBaseIndexList& again,
                          List<XBaseTemporaryFile>& temporaries) {
    // Other requests holding the old indexes read the mark at their next
    // walk and open the files again; marked while the table is still held,
    // so that they wait for this rebuild to end.
    for (XBaseIndex* index = indexes.First(); index; index = indexes.Next())
        index->File().MarkReplaced();
    if (reopened) {
        // Closing the old table gives up the rebuild's locks: a request that
        // waited for them finds its file replaced.
        delete table;
        table = reopened;
    } else {
        table->UnlockForRebuild();
    }
    indexes.Clear();
    while (XBaseIndex* index = again.Remove(kListHead))
        indexes.Insert(index, kListTail);
    DeleteTemporaries(temporaries);
    view->SetTable(table);
    view->RebindVariables(table);
}

// ---- Pack ----------------------------------------------------------------------------------

int XBaseDatabase::BuildPacked(List<XBaseTemporaryFile>& temporaries, XBaseIndexList& fresh,
                               XBaseTable** built) {
    XBaseStore* tableStore = MakeTemporary(table->Name(), temporaries);
    if (!tableStore) return 0;
    String tableTemporary = temporaries.Last()->temporaryName;
    XBaseStore* memoStore = nullptr;
    String memoTemporary;
    if (HasMemoField(table)) {
        memoStore = MakeTemporary(table->MemoName(), temporaries);
        if (!memoStore) {
            delete tableStore;
            return 0;
        }
        memoTemporary = temporaries.Last()->temporaryName;
    }
    *built = new XBaseTable(&opener);
    if (!(*built)->Create(tableStore, tableTemporary.Text(), memoStore, memoTemporary.Text(),
                          table->Fields())) {
        delete tableStore;
        delete memoStore;
        return Fail((*built)->ErrorText());
    }
    if (!MakeTemporaryIndexes(fresh, temporaries)) return 0;

    // Keys read the view's variables: over the new table's fields.
    view->RebindVariables(*built);
    String key;
    int32_t count = table->RecordCount();
    for (int32_t r = 1; r <= count; ++r) {
        if (!table->ReadRecord(r)) return Fail(table->ErrorText());
        if (table->Deleted()) continue;
        XBaseField* to = (*built)->Fields().First();
        for (XBaseField* from = table->Fields().First(); from && to; from = table->Fields().Next()) {
            const char* text = from->Value();
            // An unreadable memo would come out empty: the pack stops instead.
            if (!text) return Fail(table->ErrorText());
            if (!to->SetValue(text, from->ValueLength())) return Fail((*built)->ErrorText());
            to = (*built)->Fields().Next();
        }
        if (!(*built)->AppendRecord()) return Fail((*built)->ErrorText());
        if (!AddKeys(fresh, (*built)->CurrentRecord(), key)) return 0;
    }
    return 1;
}

int XBaseDatabase::Pack() {
    if (!view || !table->IsOpen()) return Fail(String("'") + fileName + kIsNotOpen);
    if (!table->LockForRebuild()) return Fail(table->ErrorText());
    List<XBaseTemporaryFile> temporaries(true);
    XBaseIndexList fresh;
    XBaseTable* built = nullptr;
    int ok = BuildPacked(temporaries, fresh, &built);
    view->RebindVariables(table);
    fresh.Clear();
    // The new table stays open and locked until every file is in place: a
    // request that opens it meanwhile waits instead of writing beside files
    // that are still the old ones.
    if (ok && !built->LockForRebuild()) ok = Fail(built->ErrorText());
    rebuilt = built;
    XBaseTable* reopened = nullptr;
    XBaseIndexList again;
    int swapped = ok ? SwapAndReopen(temporaries, &reopened, again) : 0;
    if (swapped <= 0) {
        rebuilt = nullptr;
        delete built;
        return Abandon(temporaries, swapped);
    }
    Commit(reopened, again, temporaries);
    rebuilt = nullptr;
    // The new table's locks go with it; the view's move reads under locks
    // of its own.
    delete built;
    if (!view->Go(-1)) return Fail(view->ErrorText());
    return 1;
}

// ---- Reindex -------------------------------------------------------------------------------

int XBaseDatabase::Reindex() {
    if (!view || !table->IsOpen()) return Fail(String("'") + fileName + kIsNotOpen);
    if (!table->LockForRebuild()) return Fail(table->ErrorText());
    List<XBaseTemporaryFile> temporaries(true);
    XBaseIndexList fresh;
    int ok = MakeTemporaryIndexes(fresh, temporaries);
    String key;
    int32_t count = table->RecordCount();
    std::vector<uint8_t> dead;
    dead.reserve(static_cast<size_t>(count));
    for (int32_t r = 1; ok && r <= count; ++r) {
        if (!table->ReadRecord(r)) {
            ok = Fail(table->ErrorText());
        } else {
            dead.push_back(table->Deleted() ? 1 : 0);
            ok = AddKeys(fresh, r, key, &dead);
        }
    }
    fresh.Clear();
    XBaseIndexList again;
    int swapped = ok ? SwapAndReopen(temporaries, nullptr, again) : 0;
    if (swapped <= 0) return Abandon(temporaries, swapped);
    Commit(nullptr, again, temporaries);
    if (!view->Go(-1)) return Fail(view->ErrorText());
    return 1;
}

} // namespace vorn
