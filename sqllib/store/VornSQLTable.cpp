#include "engine/foundation/Messages.h"
#include "sqllib/store/VornSQLTable.h"


namespace vorn {

VornSQLTable::VornSQLTable(VornSQLFiles* files) : XBaseTable(files), files(files) {
    // The gate, statement and probe bytes lie past the records.
    recordsRangeLength = kSQLAllRecordsLength;
}

VornSQLTable::~VornSQLTable() {
    byName.Clear();
}

void VornSQLTable::IndexFields() {
    byName.Clear();
    byPosition.clear();
    for (XBaseField* field = Fields().First(); field; field = Fields().Next()) {
        byPosition.push_back(field);
        byName.Insert(field);
    }
}

XBaseField* VornSQLTable::Field(const char* name, int32_t length) const {
    return name ? byName.Find(name, length) : nullptr;
}

int VornSQLTable::Create(const char* path, int32_t length, List<XBaseField>& specs) {
    String table(path, length);
    String memo = MemoFileName(table.Text());
    bool hasMemo = false;
    for (XBaseField* spec = specs.First(); spec; spec = specs.Next())
        if (spec->Kind() == kXBaseMemo) hasMemo = true;
    if (specs.Count() > kXBaseMaxFields) {
        SetError(String("Error creating table datafile: too many fields (maximum 2046)"));
        return 0;
    }
    // Written under other names and given its own once whole: whoever opens
    // the name meanwhile finds no file or all of it.
    String dataName, memoName;
    bool dataPlaced = false, memoPlaced = false;
    auto fail = [&](const String& message) {
        SetError(message);
        Close();
        if (!dataName.IsEmpty()) files->Delete((dataPlaced ? table : dataName).Text());
        if (!memoName.IsEmpty()) files->Delete((memoPlaced ? memo : memoName).Text());
        return 0;
    };
    auto failed = [&](const String& name) {
        return fail(String(kErrorCreating) + name + "': " + files->ErrorText());
    };
    XBaseStore* data = files->MakeTemporary(table.Text(), kSQLOpenCreateNew, dataName);
    if (!data) return failed(table);
    XBaseStore* memoFile = hasMemo ? files->MakeTemporary(memo.Text(), kSQLOpenCreateNew, memoName) : nullptr;
    if (hasMemo && !memoFile) {
        delete data;
        return failed(memo);
    }
    if (!CreateOn(data, dataName.Text(), memoFile, memoName.Text(), specs)) {
        delete data;
        delete memoFile;
        return fail(String(ErrorText()));
    }
    Close();
    if (hasMemo && !(memoPlaced = files->Rename(memoName.Text(), memo.Text()))) return failed(memo);
    if (!(dataPlaced = files->Rename(dataName.Text(), table.Text()))) return failed(table);
    return Open(table.Text(), table.Length(), kSQLOpenReadWrite) ? 1 : fail(String(ErrorText()));
}

int VornSQLTable::CreateOn(XBaseStore* data, const char* dataName, XBaseStore* memo, const char* memoName,
                           List<XBaseField>& specs) {
    // Refused before a byte is written.
    if (specs.Count() > kXBaseMaxFields) {
        SetError(String("Error creating table datafile: too many fields (maximum 2046)"));
        return 0;
    }
    int ok = XBaseTable::Create(data, dataName, memo, memoName, specs);
    IndexFields();
    return ok;
}

int VornSQLTable::Open(const char* path, int32_t length, int32_t mode) {
    String name(path, length);
    statementHeld = rebuildHeld = false;
    int ok = XBaseTable::Open(kSQLLocationData, name.Text(), mode);
    IndexFields();
    return ok;
}

int VornSQLTable::LockHeader(int32_t mode) {
    XBaseStore* store = DataStore();
    if (!store || !store->Lock(mode == 2, 0, kSQLHeaderLockLength)) {
        SetError(String(kErrorLocking) + Name() + (mode == 2 ? kForWrite : kForRead) +
                 (store ? store->ErrorText() : "the file is not open"));
        return 0;
    }
    return 1;
}

int VornSQLTable::UnlockHeader() {
    XBaseStore* store = DataStore();
    return store && store->Unlock(0, kSQLHeaderLockLength) ? 1 : 0;
}

int VornSQLTable::LockAll() {
    XBaseStore* store = DataStore();
    if (!store) {
        SetError(String("'") + Name() + kIsNotOpen);
        return 0;
    }
    // The header length is the file's own; the ranges are released as taken.
    lockedHeaderLength = HeaderLength();
    if (!store->Lock(true, lockedHeaderLength, kSQLAllRecordsLength)) {
        SetError(String(kErrorLocking) + Name() + kForWrite + store->ErrorText());
        lockedHeaderLength = 0;
        return 0;
    }
    if (!store->Lock(true, 0, lockedHeaderLength)) {
        SetError(String(kErrorLocking) + Name() + kForWrite + store->ErrorText());
        store->Unlock(lockedHeaderLength, kSQLAllRecordsLength);
        lockedHeaderLength = 0;
        return 0;
    }
    // Another request may have appended before the lock was granted.
    if (ReadHeader()) return 1;
    UnlockAll();
    return 0;
}

void VornSQLTable::UnlockAll() {
    XBaseStore* store = DataStore();
    if (!store || lockedHeaderLength == 0) return;
    store->Unlock(0, lockedHeaderLength);
    store->Unlock(lockedHeaderLength, kSQLAllRecordsLength);
    lockedHeaderLength = 0;
}

int VornSQLTable::LockStatement() {
    XBaseStore* store = DataStore();
    if (!store) {
        SetError(String("'") + Name() + kIsNotOpen);
        return 0;
    }
    if (statementHeld) return 1;
    if (!store->Lock(false, kSQLGateByte, 1)) {
        SetError(String(kErrorLocking) + Name() + kForRead + store->ErrorText());
        return 0;
    }
    bool held = store->Lock(false, kSQLStatementByte, 1);
    if (!held) SetError(String(kErrorLocking) + Name() + kForRead + store->ErrorText());
    store->Unlock(kSQLGateByte, 1);
    statementHeld = held;
    return held ? 1 : 0;
}

void VornSQLTable::UnlockStatement() {
    XBaseStore* store = DataStore();
    if (store && statementHeld) store->Unlock(kSQLStatementByte, 1);
    statementHeld = false;
}

int VornSQLTable::LockRebuild() {
    XBaseStore* store = DataStore();
    if (!store) {
        SetError(String("'") + Name() + kIsNotOpen);
        return 0;
    }
    auto refused = [&]() {
        SetError(String(kErrorLocking) + Name() + kForWrite + store->ErrorText());
        return FileReplaced(store) ? -1 : 0;
    };
    if (!store->Lock(true, kSQLGateByte, 1)) return refused();
    if (!store->Lock(true, kSQLStatementByte, 1)) {
        int result = refused();
        store->Unlock(kSQLGateByte, 1);
        return result;
    }
    rebuildHeld = true;
    return 1;
}

void VornSQLTable::UnlockRebuild() {
    XBaseStore* store = DataStore();
    if (store && rebuildHeld) {
        store->Unlock(kSQLStatementByte, 1);
        store->Unlock(kSQLGateByte, 1);
    }
    rebuildHeld = false;
}

int VornSQLTable::Probe() {
    XBaseStore* store = DataStore();
    if (!store) {
        SetError(String("'") + Name() + kIsNotOpen);
        return 0;
    }
    // The host refuses a write lock on a file no longer under its name.
    if (store->Lock(true, kSQLProbeByte, 1)) {
        store->Unlock(kSQLProbeByte, 1);
        return 1;
    }
    SetError(String(kErrorLocking) + Name() + kForWrite + store->ErrorText());
    return FileReplaced(store) ? -1 : 0;
}

int VornSQLTable::LockRecord(int32_t n) {
    XBaseStore* store = DataStore();
    if (!store) {
        SetError(String("'") + Name() + kIsNotOpen);
        return 0;
    }
    if (store->Lock(true, RecordAt(n), RecordLength())) return 1;
    SetError(String(kErrorLocking) + Name() + kForWrite + store->ErrorText());
    return FileReplaced(store) ? -1 : 0;
}

void VornSQLTable::UnlockRecord(int32_t n) {
    if (XBaseStore* store = DataStore())
        store->Unlock(RecordAt(n), RecordLength());
}

int VornSQLTable::WriteRecordImage(int32_t n, const uint8_t* bytes, bool held) {
    XBaseStore* store = DataStore();
    if (!store) {
        SetError(String("'") + Name() + kIsNotOpen);
        return 0;
    }
    int64_t at = RecordAt(n);
    XBaseRangeLock lock(store, at, RecordLength());
    if (!held && !lock.Take(true)) {
        SetError(String(kErrorLocking) + Name() + kForWrite + store->ErrorText());
        return 0;
    }
    if (store->WriteAt(at, bytes, RecordLength()) != RecordLength()) {
        SetError(String(kErrorWritingTo) + Name() + "': " + store->ErrorText());
        return 0;
    }
    return 1;
}

int VornSQLTable::WriteDeletedMark(int32_t n, bool deleted) {
    XBaseStore* store = DataStore();
    uint8_t mark = deleted ? '*' : ' ';
    if (!store || store->WriteAt(RecordAt(n), &mark, 1) != 1) {
        SetError(String(kErrorWritingTo) + Name() + "': " + (store ? store->ErrorText() : "not open"));
        return 0;
    }
    return 1;
}

int VornSQLTable::ReadRecordBytes(int32_t n, std::vector<uint8_t>& out) {
    XBaseStore* store = DataStore();
    if (!store || n < 1) {
        SetError(String(kInvalidRecordNumber));
        return 0;
    }
    out.resize(static_cast<size_t>(RecordLength()));
    int32_t got = store->ReadAt(RecordAt(n), out.data(), RecordLength());
    if (got == RecordLength()) return 1;
    SetError(String(kErrorReadingFrom) + Name() + "': " +
             (got < 0 ? store->ErrorText() : kFileEndsEarly));
    return 0;
}

int VornSQLTable::RefreshHeader() {
    XBaseStore* store = DataStore();
    if (!store) return 0;
    XBaseRangeLock lock(store, 0, HeaderLength());
    if (!lock.Take(false)) {
        SetError(String(kErrorLocking) + Name() + kForRead + store->ErrorText());
        return 0;
    }
    return ReadHeader();
}

} // namespace vorn
