// dBASE III tables (".dbf") with their fields and memo files (".dbt").
//
// A table is a 32-byte header, 32-byte field descriptors ending in 0x0D,
// then fixed-length records (a deleted mark and the fields' bytes) and a
// final 0x1A. Memo texts live in 512-byte blocks of the memo file; a memo
// field's record bytes hold the number of the text's first block.
//
// Requests that share a table coordinate through byte-range locks only: the
// header range [0, header length) while the record count is read and
// rewritten, one record's bytes while it is rewritten, the memo header block
// [0, 512) while a memo text is appended. A memo lock may be taken inside a
// table lock, never the reverse. Record locks come before the header's: a
// request holding a record may wait for the header, one holding the header
// never waits for a record (an append takes its new record first), so that
// writers and rebuilds, which take every record and then the header, agree.
//
// Format code: it reaches files only through XBaseStore, so the SQL library
// compiles it too. Every operation returns 1 for success and 0 for failure
// with the message in ErrorText.
#pragma once

#include <cstdint>
#include <memory>

#include "database/format/XBaseStore.h"
#include "engine/foundation/List.h"
#include "engine/foundation/String.h"

namespace vorn {

class XBaseTable;

// Field kinds.
inline constexpr int32_t kXBaseCharacter = 0;
inline constexpr int32_t kXBaseNumeric = 1;
inline constexpr int32_t kXBaseDate = 2;
inline constexpr int32_t kXBaseLogical = 3;
inline constexpr int32_t kXBaseMemo = 4;

inline constexpr int32_t kXBaseMaxFields = 2046;
inline constexpr int32_t kXBaseMaxRecordLength = 65535;
inline constexpr int32_t kMemoBlockSize = 512;

// The type letter of a kind ('C', 'N', 'D', 'L', 'M'), 0 for another kind.
char XBaseTypeLetter(int32_t kind);

// One field of a table: its descriptor and its current and saved values, each
// a NUL-terminated text of at most the field's length.
class XBaseField {
public:
    // The name is cut to 11 bytes (10 are written to a descriptor). A length
    // outside 0-255 is kept for Create to refuse; the buffers never go below
    // one byte.
    XBaseField(XBaseTable* table, const char* name, int32_t kind, int32_t length, int32_t decimals);
    XBaseField(XBaseTable* table, const char* name, int32_t nameLength, int32_t kind, int32_t length,
               int32_t decimals);
    virtual ~XBaseField();
    XBaseField(const XBaseField&) = delete;
    XBaseField& operator=(const XBaseField&) = delete;

    // Takes the field's bytes of a record into the value and the saved value.
    virtual int LoadFromRecord(const uint8_t* bytes);
    // Takes them into the saved value only (the record as another request
    // may have rewritten it).
    virtual int LoadPreviousFromRecord(const uint8_t* bytes);
    // Writes exactly Length() bytes of the value into a record.
    virtual int StoreToRecord(uint8_t* bytes);
    // Character, date and logical texts are cut to the field's length; a
    // numeric text that does not fit is refused (cutting it would store
    // another number).
    virtual int SetValue(const char* text, int32_t length);
    virtual const char* Name() const;
    virtual int32_t Kind() const;
    virtual int32_t Length() const;
    virtual int32_t Decimals() const;
    // The value's text; a memo field's text is read on first use (null when
    // that read fails, with the table's error text saying why).
    virtual const char* Value();
    virtual int32_t ValueLength();
    virtual void SwapPrevious();
    virtual void SavePrevious();

    XBaseTable* Table() const { return table; }
    // Where the field's bytes start in a record (after the deleted mark).
    int32_t Offset() const { return offset; }
    void SetOffset(int32_t at) { offset = at; }
    const char* SavedValue() const { return saved; }

protected:
    void SetText(char* buffer, int32_t* bufferLength, const char* text, int32_t length);

    char name[12] = {};
    int32_t kind;
    int32_t length;
    int32_t decimals;
    int32_t offset = 1;
    char* value;
    int32_t valueLength = 0;
    char* saved;
    int32_t savedLength = 0;
    XBaseTable* table;
};

// A memo field: the record holds a block number, the text lives in the memo
// file. Texts are never rewritten in place; every store of a changed text
// appends a new copy.
class XBaseMemoField : public XBaseField {
public:
    XBaseMemoField(XBaseTable* table, const char* name, int32_t length, int32_t decimals);
    XBaseMemoField(XBaseTable* table, const char* name, int32_t nameLength, int32_t length, int32_t decimals);
    ~XBaseMemoField() override;

    int LoadFromRecord(const uint8_t* bytes) override;
    // Reads the old text from the memo file at once: 0 when that fails.
    int LoadPreviousFromRecord(const uint8_t* bytes) override;
    int StoreToRecord(uint8_t* bytes) override;
    // Any length; a text holding 0x1A is refused (it would read back cut).
    int SetValue(const char* text, int32_t length) override;
    const char* Value() override;
    int32_t ValueLength() override;
    void SwapPrevious() override;
    void SavePrevious() override;

    // The block-number text as stored in the record.
    const char* BlockText() const { return value; }
    bool Changed() const { return changed; }

private:
    bool changed = false;
    bool hasText = false;
    bool hasSaved = false;
    String text;
    String savedText;
};

class XBaseTable {
public:
    // The opener is not owned and must outlive the table.
    explicit XBaseTable(XBaseStoreOpener* opener);
    virtual ~XBaseTable();
    XBaseTable(const XBaseTable&) = delete;
    XBaseTable& operator=(const XBaseTable&) = delete;

    // Creates the files (memoPath null or empty: derived from the path; the
    // memo file only when a field is a memo) and writes a new, empty table.
    // The fields of the list are copied.
    int CreateFiles(int32_t location, const char* path, const char* memoPath, List<XBaseField>& fields);
    // Writes a new, empty table onto open stores, which the table takes over
    // on success; on failure the caller still owns and deletes them.
    int Create(XBaseStore* tableStore, const char* tableName, XBaseStore* memoStore, const char* memoName,
               List<XBaseField>& fields);
    // Opens a table and its memo file, refusing files whose header, field
    // descriptors or record count do not fit together or the file.
    int Open(int32_t location, const char* path, int32_t mode);
    // Closes both files and empties the names; the fields stay.
    void Close();
    // Takes the open files of another table of the same shape (header and
    // record length, fields) in place of its own, keeping its fields; the
    // other table gets this one's files and closes them when it goes. 0 with
    // kXBaseFileReplaced when the shapes differ.
    int TakeFiles(XBaseTable& other);

    // Reads record n (from 1) into the fields and makes it current, without
    // a lock of its own: for callers whose locks keep writers of the record
    // away (a rebuild's, a record's lock).
    int ReadRecord(int32_t n);
    // The same, as one write left the record: under a read lock of its bytes
    // unless this table already holds them (its current record's lock, a
    // rebuild's locks, HoldRecords). A record read while another request
    // rewrites it could otherwise mix old and new bytes: the kernel copies
    // page by page, and nothing orders an unlocked read with a write.
    int ReadRecordLocked(int32_t n);
    // Reads the record count again, under the header's read lock (an old
    // file, replaced since, still reads as it stood).
    int RefreshCount();
    // Holds every record's bytes, present and future, for read, so that the
    // reads of a batch need no lock each: writers of any record wait until
    // ReleaseRecords. Taken before any index lock (writers take their record
    // before the index); nothing may be written through this table meanwhile.
    int HoldRecords();
    void ReleaseRecords();
    bool RecordsHeld() const { return recordsHeld; }
    // Writes the fields as a new record at the end and makes it current.
    // keepLocked: the new record stays read-locked, in LockCurrentRecord's
    // place, until UnlockCurrentRecord, so that a rebuild, which write-locks
    // every record, waits until its index entries are in. asDeleted: the
    // record is written marked deleted (a writer that makes it live only
    // once its keys are in leaves, when killed, a deleted record).
    int AppendRecord(bool keepLocked = false, bool asDeleted = false);
    // AppendRecord with the new record marked deleted.
    int AppendDeletedRecord(bool keepLocked) { return AppendRecord(keepLocked, true); }
    // Rewrites the current record from the fields (under the record lock,
    // taken here unless LockCurrentRecord holds it).
    int UpdateRecord();
    // Holds the current record's lock across several steps (an update keeps
    // its index entries and the record in step under it); Unlock gives it
    // back. One record at a time.
    int LockCurrentRecord();
    void UnlockCurrentRecord();
    // Reads the current record's bytes again into the fields' saved values.
    int ReloadPreviousValues();
    // Holds the header and every record byte, present and future, for a
    // rebuild: nobody appends, rewrites or marks records meanwhile. The
    // record count is read afresh under the locks.
    int LockForRebuild();
    void UnlockForRebuild();
    // Sets or clears the current record's deleted mark; a record held by
    // LockCurrentRecord or AppendRecord is marked under that lock, which
    // stays held until UnlockCurrentRecord.
    int SetDeleted(int flag);
    void SavePreviousValues();
    void SwapPreviousValues();
    void DeactivateFiles();

    // The header and the field descriptors.
    int ReadHeader();
    int WriteHeader();
    int ReadFieldDescriptors();
    int WriteFieldDescriptors();

    // The memo file.
    int ReadMemoHeader();
    int WriteMemoHeader();
    // The block the text went to, or -1.
    int64_t AppendMemo(const char* text, int32_t length);
    // The text at a block, up to its first 0x1A or the end of the file.
    int ReadMemo(int64_t block, String& out);

    // The memo name of a table path: the extension replaced (or, without
    // one, followed) by ".dbt", or ".DBT" when the table's extension is all
    // upper case. An empty path gives an empty name.
    static String MemoFileName(const char* path);

    int32_t RecordCount() const { return recordCount; }
    int32_t CurrentRecord() const { return currentRecord; }
    int Deleted() const { return deleted; }
    int32_t HeaderLength() const { return headerLength; }
    int32_t RecordLength() const { return recordLength; }
    int32_t Version() const { return version; }
    int32_t Year() const { return year; }
    int32_t Month() const { return month; }
    int32_t Day() const { return day; }
    uint32_t NextMemoBlock() const { return nextMemoBlock; }
    List<XBaseField>& Fields() { return fields; }
    // The field of that name (without regard to case), or null.
    XBaseField* FindField(const char* name);
    const String& Name() const { return name; }
    const String& MemoName() const { return memoName; }
    const String& ErrorText() const { return error; }
    // An empty text leaves the message unchanged.
    void SetError(const String& text);
    bool IsOpen() const { return tableStore != nullptr; }
    // The open files (null when closed or without memo), for callers that
    // lock or replace them as a whole.
    XBaseStore* DataStore() const { return tableStore; }
    XBaseStore* MemoStore() const { return memoStore; }
    // The current record's bytes as last read or written (record length).
    const uint8_t* RecordBytes() const { return record.get(); }

private:
    friend class XBaseMemoField;

    int ReadFailure(XBaseStore* store, const String& file, int32_t got);
    int WriteFailure(XBaseStore* store, const String& file);
    int Corrupt(const String& file, const char* detail);
    int LockFailure(XBaseStore* store, const String& file, const char* purpose);
    // Refuses field lists the format cannot hold.
    int CheckFields(const String& shown, List<XBaseField>& specs);
    // Sizes the record buffer and the fields' offsets after the field list
    // changed; refuses fields that end past the record.
    int LayOutFields();
    // Reads record n into the fields; the count is read again (under the
    // header's read lock) when n is past it.
    int LoadRecord(int32_t n, bool locked);
    // Builds the current values into the record buffer; 0 when a memo
    // append failed.
    int BuildRecord(uint8_t* record);
    // Writes the current values as record count + 1 at offset at, with the
    // header's new count, under the caller's header lock.
    int WriteNewRecord(int64_t at, bool asDeleted);
    // Whether the file reaches at least to end (the length is asked again
    // only when a known length does not already show it); 0 with the
    // message when it does not.
    int FileReaches(int64_t end);

    XBaseStoreOpener* opener;
    XBaseStore* tableStore = nullptr;
    XBaseStore* memoStore = nullptr;
    String name;
    String memoName;
    String error;
    int32_t version = 0;
    int32_t year = 0;
    int32_t month = 0;
    int32_t day = 0;
    int32_t recordCount = 0;
    int32_t headerLength = 0;
    int32_t recordLength = 0;
    int32_t currentRecord = 0;
    int deleted = 0;
    List<XBaseField> fields{true};
    uint32_t nextMemoBlock = 0;
    // The range LockCurrentRecord or a kept append holds (length 0: none),
    // and the ranges of LockForRebuild.
    int64_t heldRecordAt = 0;
    int32_t heldRecordLength = 0;
    int32_t rebuildLockedHeader = 0;
    // HoldRecords' range starts at this header length (0: not held).
    int32_t recordsHeldFrom = 0;
    int64_t recordsHeldLength = 0;
    bool recordsHeld = false;

  protected:
    // How far past the header HoldRecords reaches (0: to the last offset); a
    // format with lock bytes of its own past the records stops before them.
    int64_t recordsRangeLength = 0;

  private:

    // The shape the open file was read with: later header reads must agree.
    bool shapeKnown = false;
    int64_t knownLength = 0;
    std::unique_ptr<uint8_t[]> record; // record length + 1 bytes
    int32_t recordCapacity = 0;
    std::unique_ptr<uint8_t[]> memoScratch;
    int32_t memoScratchCapacity = 0;
};

} // namespace vorn
