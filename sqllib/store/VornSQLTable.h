// The SQL library's dBASE tables: the xBase format code over the host's file
// functions, with what the library adds: creating from a path or onto files
// already open with its own message for too many fields, the open mode of the
// caller, fields by name ignoring case or by position in descriptor order,
// and the locks a pack or a schema change holds on the whole file.
#pragma once

#include <cstdint>
#include <vector>

#include "database/format/XBaseTable.h"
#include "engine/foundation/HashTable.h"
#include "engine/foundation/List.h"
#include "engine/foundation/String.h"
#include "sqllib/store/VornSQLStore.h"

namespace vorn {

using VornSQLField = XBaseField;
using VornSQLMemoField = XBaseMemoField;

// The lock ranges of a table as a whole: the first 32 bytes (the catalog's
// pack lock) and every record byte, present or future.
inline constexpr int64_t kSQLHeaderLockLength = 32;
// Bytes past every record range a header (under 64 KiB) can start: a
// writing statement holds the statement byte shared from before its first
// row until it ends; a rebuild (ALTER, pack) holds the gate and then the
// statement byte exclusively. Statements pass the gate shared on their way
// in, so that one queued rebuild holds back new statements instead of
// waiting behind an endless stream of them. The probe byte is locked for
// write for an instant only, to learn whether the file was replaced.
inline constexpr int64_t kSQLGateByte = kSQLAllRecordsLength + 65536;
inline constexpr int64_t kSQLStatementByte = kSQLGateByte + 1;
inline constexpr int64_t kSQLProbeByte = kSQLGateByte + 2;
// Of the catalog: held for write while a table is created or dropped.
inline constexpr int64_t kSQLCreateByte = kSQLGateByte + 3;

class VornSQLTable : public XBaseTable {
  public:
    explicit VornSQLTable(VornSQLFiles* files);
    ~VornSQLTable() override;

    // Writes a new table (and its memo file when a field is a memo) under
    // temporary names beside path, gives the files their names and opens
    // them; a file already of the name is replaced, so the caller makes sure
    // there is none. On failure nothing it made is left.
    int Create(const char* path, int32_t length, List<XBaseField>& fields);
    // Writes a new, empty table onto open files, which the table takes over
    // on success (on failure they stay the caller's).
    int CreateOn(XBaseStore* data, const char* dataName, XBaseStore* memo, const char* memoName,
                 List<XBaseField>& fields);
    int Open(const char* path, int32_t length, int32_t mode);

    // Bytes [0, 32) of the data file: mode 2 exclusive, 1 shared.
    int LockHeader(int32_t mode);
    int UnlockHeader();
    // Every record byte and then the header, exclusively: no request appends
    // or rewrites a record until UnlockAll. Records first, as writers take
    // them: a writer holding its record may wait for the header, never the
    // reverse.
    int LockAll();
    void UnlockAll();
    // A statement's hold on the table (the gate, then the statement byte,
    // shared; the gate given back at once), until UnlockStatement.
    int LockStatement();
    void UnlockStatement();
    // A rebuild's: the gate and the statement byte exclusively. 1 held, 0
    // failure, -1 the file was replaced meanwhile (by another rebuild).
    int LockRebuild();
    void UnlockRebuild();
    // 1 when the open file is still the one of its name, -1 when it was
    // renamed over or removed, 0 when that could not be told.
    int Probe();
    // Holds record n's bytes for write, without making it current: 1 held,
    // 0 failure, -1 the file was renamed over or removed meanwhile (a
    // rebuild, which copied every record as it stood, or a drop).
    int LockRecord(int32_t n);
    void UnlockRecord(int32_t n);

    // The field of that name (any case), or null.
    XBaseField* Field(const char* name, int32_t length = -1) const;
    int32_t FieldCount() const { return static_cast<int32_t>(byPosition.size()); }
    XBaseField* FieldAt(int32_t i) const { return byPosition[static_cast<size_t>(i)]; }

    // Writes record n's bytes (record length) back as they were, under the
    // record lock (held: the caller's LockRecord holds it), after a change
    // that its indexes could not follow.
    int WriteRecordImage(int32_t n, const uint8_t* bytes, bool held = false);
    // Writes record n's deleted mark back, under the caller's LockRecord.
    int WriteDeletedMark(int32_t n, bool deleted);
    // Record n's bytes as the file holds them now, into out (record
    // length), without making it current.
    int ReadRecordBytes(int32_t n, std::vector<uint8_t>& out);

    VornSQLFiles* Files() const { return files; }

    // Reads the header again (the record count), under the header lock.
    int RefreshHeader();

  private:
    void IndexFields();
    // Where record n begins in the data file.
    int64_t RecordAt(int32_t n) const { return HeaderLength() + static_cast<int64_t>(n - 1) * RecordLength(); }

    VornSQLFiles* files;
    std::vector<XBaseField*> byPosition;
    HashTable<XBaseField> byName{false, true, 6, 16};
    int64_t lockedHeaderLength = 0;
    bool statementHeld = false;
    bool rebuildHeld = false;
};

} // namespace vorn
