#include "database/format/XBaseTable.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "engine/foundation/LittleEndian.h"
#include "engine/foundation/Messages.h"

namespace vorn {

namespace {

constexpr int32_t kHeaderSize = 32;
constexpr int32_t kDescriptorSize = 32;
constexpr uint8_t kVersionPlain = 0x03;
constexpr uint8_t kVersionMemo = 0x83;
constexpr uint8_t kEndOfFile = 0x1A;
constexpr uint8_t kDescriptorEnd = 0x0D;
constexpr int64_t kMaxRecordCount = INT64_C(0x7FFFFFFF);

// The UTC calendar date of a time (days-from-civil inverted).
void CivilDate(int64_t seconds, int32_t* year, int32_t* month, int32_t* day) {
    int64_t days = seconds / 86400;
    if (seconds % 86400 < 0) --days;
    int64_t z = days + 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    int64_t dayOfEra = z - era * 146097;
    int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    *day = static_cast<int32_t>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
    *month = static_cast<int32_t>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
    *year = static_cast<int32_t>(yearOfEra + era * 400 + (*month <= 2 ? 1 : 0));
}

bool SameNameNoCase(const char* a, const char* b) {
    for (;; ++a, ++b) {
        char x = *a >= 'a' && *a <= 'z' ? static_cast<char>(*a - 32) : *a;
        char y = *b >= 'a' && *b <= 'z' ? static_cast<char>(*b - 32) : *b;
        if (x != y) return false;
        if (!x) return true;
    }
}

// The other case of a derived memo name's ".dbt" / ".DBT".
String OtherCaseMemoName(const String& memo) {
    String other(memo);
    int32_t n = other.Length();
    if (n < 4) return other;
    char* p = other.Data() + n - 3;
    bool upper = p[0] == 'D';
    p[0] = upper ? 'd' : 'D';
    p[1] = upper ? 'b' : 'B';
    p[2] = upper ? 't' : 'T';
    return other;
}

} // namespace

int64_t XBaseStoreOpener::NowSeconds() { return static_cast<int64_t>(std::time(nullptr)); }

char XBaseTypeLetter(int32_t kind) {
    switch (kind) {
    case kXBaseCharacter: return 'C';
    case kXBaseNumeric: return 'N';
    case kXBaseDate: return 'D';
    case kXBaseLogical: return 'L';
    case kXBaseMemo: return 'M';
    default: return 0;
    }
}

// --- XBaseField ---------------------------------------------------------------------

XBaseField::XBaseField(XBaseTable* table, const char* name, int32_t kind, int32_t length, int32_t decimals)
    : XBaseField(table, name, -1, kind, length, decimals) {}

XBaseField::XBaseField(XBaseTable* table, const char* fieldName, int32_t nameLength, int32_t kind, int32_t length,
                       int32_t decimals)
    : kind(kind), length(length), decimals(decimals), table(table) {
    if (fieldName) {
        size_t n = nameLength < 0 ? strnlen(fieldName, 11) : strnlen(fieldName, nameLength < 11 ? nameLength : 11);
        std::memcpy(name, fieldName, n);
    }
    size_t size = static_cast<size_t>(length > 0 ? length : 0) + 1;
    value = new char[size]();
    saved = new char[size]();
}

XBaseField::~XBaseField() {
    delete[] value;
    delete[] saved;
}

void XBaseField::SetText(char* buffer, int32_t* bufferLength, const char* text, int32_t n) {
    if (n > 0) std::memcpy(buffer, text, static_cast<size_t>(n));
    buffer[n > 0 ? n : 0] = 0;
    *bufferLength = n > 0 ? n : 0;
}

int XBaseField::LoadFromRecord(const uint8_t* bytes) {
    const char* text = reinterpret_cast<const char*>(bytes);
    int32_t start = 0;
    int32_t end = length;
    switch (kind) {
    case kXBaseCharacter:
        while (end > 0 && text[end - 1] == ' ') --end;
        break;
    case kXBaseNumeric:
    case kXBaseMemo:
        while (start < end && text[start] == ' ') ++start;
        break;
    case kXBaseDate:
    case kXBaseLogical: break;
    default: return 1;
    }
    SetText(value, &valueLength, text + start, end - start);
    SetText(saved, &savedLength, text + start, end - start);
    return 1;
}

int XBaseField::LoadPreviousFromRecord(const uint8_t* bytes) {
    const char* text = reinterpret_cast<const char*>(bytes);
    int32_t start = 0;
    int32_t end = length;
    if (kind == kXBaseCharacter) {
        while (end > 0 && text[end - 1] == ' ') --end;
    } else if (kind == kXBaseNumeric || kind == kXBaseMemo) {
        while (start < end && text[start] == ' ') ++start;
    } else if (kind != kXBaseDate && kind != kXBaseLogical) {
        return 1;
    }
    SetText(saved, &savedLength, text + start, end - start);
    return 1;
}

int XBaseField::StoreToRecord(uint8_t* bytes) {
    if (kind < kXBaseCharacter || kind > kXBaseMemo) return 1;
    int32_t n = valueLength < length ? valueLength : length;
    if (kind == kXBaseNumeric || kind == kXBaseMemo) {
        std::memset(bytes, ' ', static_cast<size_t>(length - n));
        std::memcpy(bytes + (length - n), value, static_cast<size_t>(n));
    } else {
        std::memcpy(bytes, value, static_cast<size_t>(n));
        std::memset(bytes + n, ' ', static_cast<size_t>(length - n));
    }
    return 1;
}

int XBaseField::SetValue(const char* text, int32_t n) {
    if (!text) n = 0;
    if (n < 0) n = static_cast<int32_t>(std::strlen(text));
    if (n > length) {
        if (kind == kXBaseNumeric) {
            table->SetError(String("The value '") + String(text, n) + "' is too wide for the numeric field '" +
                            name + "' (width " + length + ")");
            return 0;
        }
        n = length;
    }
    SetText(value, &valueLength, text, n);
    return 1;
}

const char* XBaseField::Name() const { return name; }
int32_t XBaseField::Kind() const { return kind; }
int32_t XBaseField::Length() const { return length; }
int32_t XBaseField::Decimals() const { return decimals; }
const char* XBaseField::Value() { return value; }
int32_t XBaseField::ValueLength() { return valueLength; }

void XBaseField::SwapPrevious() {
    char* text = value;
    value = saved;
    saved = text;
    int32_t n = valueLength;
    valueLength = savedLength;
    savedLength = n;
}

void XBaseField::SavePrevious() { SetText(saved, &savedLength, value, valueLength); }

// --- XBaseTable: opening and creating ----------------------------------------------------

XBaseTable::XBaseTable(XBaseStoreOpener* opener) : opener(opener) {}

XBaseTable::~XBaseTable() {
    Close();
    fields.Clear();
}

void XBaseTable::SetError(const String& text) {
    if (!text.IsEmpty()) error.Assign(text);
}

int XBaseTable::ReadFailure(XBaseStore* store, const String& file, int32_t got) {
    String message = String(kErrorReadingFrom) + file + "': ";
    if (got < 0)
        message = message + store->ErrorText();
    else
        message = message + kFileEndsEarly;
    SetError(message);
    return 0;
}

int XBaseTable::WriteFailure(XBaseStore* store, const String& file) {
    SetError(String(kErrorWritingTo) + file + "': " + store->ErrorText());
    return 0;
}

int XBaseTable::Corrupt(const String& file, const char* detail) {
    SetError(String(kErrorReadingFrom) + file + "': File is corrupt (" + detail + ")");
    return 0;
}

int XBaseTable::LockFailure(XBaseStore* store, const String& file, const char* purpose) {
    SetError(String(kErrorLocking) + file + "' for " + purpose + ": " + store->ErrorText());
    return 0;
}

String XBaseTable::MemoFileName(const char* path) {
    if (!path || !*path) return String("");
    const char* dot = std::strrchr(path, '.');
    if (dot && std::strchr(dot, '/')) dot = nullptr;
    if (!dot) return String(path) + ".dbt";
    bool letters = false;
    bool lower = false;
    for (const char* p = dot + 1; *p; ++p) {
        if (*p >= 'a' && *p <= 'z') lower = true;
        if ((*p >= 'A' && *p <= 'Z') || (*p >= 'a' && *p <= 'z')) letters = true;
    }
    return String(path, static_cast<int32_t>(dot - path)) + (letters && !lower ? ".DBT" : ".dbt");
}

XBaseField* XBaseTable::FindField(const char* fieldName) {
    for (XBaseField* field = fields.First(); field; field = fields.Next())
        if (SameNameNoCase(field->Name(), fieldName)) return field;
    return nullptr;
}

int XBaseTable::Open(int32_t location, const char* path, int32_t mode) {
    Close();
    name.Assign(path);
    memoName = MemoFileName(path);
    tableStore = opener->Open(location, path, mode);
    if (!tableStore) {
        SetError(String(kErrorOpening) + name + "': " + opener->ErrorText());
        return 0;
    }
    int ok = ReadHeader() && ReadFieldDescriptors();
    if (ok) {
        int64_t fileLength = tableStore->Length();
        if (fileLength < 0)
            ok = ReadFailure(tableStore, name, -1);
        else if (headerLength > fileLength)
            ok = Corrupt(name, "the header length is larger than the file");
        else if (headerLength + static_cast<int64_t>(recordCount) * recordLength > fileLength)
            ok = Corrupt(name, "the record count is larger than the file");
        knownLength = fileLength;
    }
    if (ok && version == kVersionMemo) {
        memoStore = opener->Open(location, memoName.Text(), mode);
        if (!memoStore) {
            String reason(opener->ErrorText());
            String other = OtherCaseMemoName(memoName);
            memoStore = opener->Open(location, other.Text(), mode);
            if (memoStore)
                memoName = other;
            else
                ok = 0, SetError(String(kErrorOpening) + memoName + "': " + reason);
        }
        if (ok) {
            XBaseRangeLock lock(memoStore, 0, kMemoBlockSize);
            if (!lock.Take(false))
                ok = LockFailure(memoStore, memoName, "read");
            else
                ok = ReadMemoHeader();
        }
    }
    if (!ok) {
        delete tableStore;
        delete memoStore;
        tableStore = memoStore = nullptr;
        shapeKnown = false;
        return 0;
    }
    shapeKnown = true;
    currentRecord = 0;
    return 1;
}

void XBaseTable::Close() {
    heldRecordLength = 0;
    rebuildLockedHeader = 0;
    recordsHeld = false;
    delete tableStore;
    delete memoStore;
    tableStore = nullptr;
    memoStore = nullptr;
    name.Assign("", 0);
    memoName.Assign("", 0);
    shapeKnown = false;
}

int XBaseTable::TakeFiles(XBaseTable& other) {
    bool same = other.tableStore && other.headerLength == headerLength && other.recordLength == recordLength &&
                other.fields.Count() == fields.Count();
    XBaseField* theirs = other.fields.First();
    for (XBaseField* ours = fields.First(); same && ours && theirs; ours = fields.Next()) {
        same = ours->Kind() == theirs->Kind() && ours->Length() == theirs->Length() &&
               ours->Offset() == theirs->Offset() && SameNameNoCase(ours->Name(), theirs->Name());
        theirs = other.fields.Next();
    }
    if (!same) {
        SetError(String(kErrorOpening) + name + "': " + kXBaseFileReplaced);
        return 0;
    }
    UnlockCurrentRecord();
    UnlockForRebuild();
    ReleaseRecords();
    XBaseStore* data = tableStore;
    XBaseStore* memo = memoStore;
    tableStore = other.tableStore;
    memoStore = other.memoStore;
    other.tableStore = data;
    other.memoStore = memo;
    memoName = other.memoName;
    version = other.version;
    year = other.year;
    month = other.month;
    day = other.day;
    recordCount = other.recordCount;
    nextMemoBlock = other.nextMemoBlock;
    knownLength = other.knownLength;
    currentRecord = 0;
    return 1;
}

int XBaseTable::CreateFiles(int32_t location, const char* path, const char* memoPath, List<XBaseField>& specs) {
    String table(path);
    String memo = memoPath && *memoPath ? String(memoPath) : MemoFileName(path);
    bool hasMemo = false;
    for (XBaseField* spec = specs.First(); spec; spec = specs.Next())
        if (spec->Kind() == kXBaseMemo) hasMemo = true;
    // Checked before the files are touched: creating truncates.
    if (!CheckFields(table, specs)) return 0;

    XBaseStore* tableFile = opener->Open(location, path, kXBaseOpenCreate);
    if (!tableFile) {
        SetError(String(kErrorCreating) + table + "': " + opener->ErrorText());
        return 0;
    }
    XBaseStore* memoFile = nullptr;
    if (hasMemo) {
        memoFile = opener->Open(location, memo.Text(), kXBaseOpenCreate);
        if (!memoFile) {
            SetError(String(kErrorCreating) + memo + "': " + opener->ErrorText());
            delete tableFile;
            return 0;
        }
    }
    if (!Create(tableFile, table.Text(), memoFile, memo.Text(), specs)) {
        delete tableFile;
        delete memoFile;
        return 0;
    }
    return 1;
}

int XBaseTable::Create(XBaseStore* tableFile, const char* tableName, XBaseStore* memoFile, const char* memoFileName,
                       List<XBaseField>& specs) {
    String shown = tableName && *tableName ? String(tableName) : name;
    if (!CheckFields(shown, specs)) return 0;
    int32_t count = specs.Count();
    int64_t length = 1;
    for (XBaseField* spec = specs.First(); spec; spec = specs.Next()) length += spec->Length();

    // The new fields are built before the old ones go: the list given may be
    // this table's own.
    List<XBaseField> built(false);
    bool hasMemo = false;
    for (XBaseField* spec = specs.First(); spec; spec = specs.Next()) {
        if (spec->Kind() == kXBaseMemo) {
            hasMemo = true;
            built.Insert(new XBaseMemoField(this, spec->Name(), spec->Length(), spec->Decimals()), kListTail);
        } else {
            built.Insert(new XBaseField(this, spec->Name(), spec->Kind(), spec->Length(), spec->Decimals()),
                         kListTail);
        }
    }
    String previousName = name;
    String previousMemoName = memoName;
    Close();
    name = tableName && *tableName ? String(tableName) : previousName;
    memoName = memoFileName && *memoFileName ? String(memoFileName) : previousMemoName;
    version = hasMemo ? kVersionMemo : kVersionPlain;
    nextMemoBlock = 1;
    headerLength = kDescriptorSize * count + 33;
    recordLength = static_cast<int32_t>(length);
    recordCount = 0;
    currentRecord = 0;
    deleted = 0;
    fields.Clear();
    for (XBaseField* field = built.First(); field; field = built.Next()) fields.Insert(field, kListTail);
    LayOutFields();
    if (!tableFile) {
        SetError(String(kInternalErrorOpening) + name + "'");
        return 0;
    }
    tableStore = tableFile;
    static const uint8_t endMark = kEndOfFile;
    int ok = WriteHeader() && WriteFieldDescriptors();
    if (ok && tableStore->WriteAt(headerLength, &endMark, 1) != 1) ok = WriteFailure(tableStore, name);
    if (ok && version == kVersionMemo) {
        if (!memoFile) {
            SetError(String("Internal errorl opening '") + memoName + "'");
            ok = 0;
        } else {
            memoStore = memoFile;
            ok = WriteMemoHeader();
            if (ok && memoStore->WriteAt(kMemoBlockSize, &endMark, 1) != 1) ok = WriteFailure(memoStore, memoName);
        }
    }
    if (!ok) {
        // The caller deletes the files.
        tableStore = nullptr;
        memoStore = nullptr;
        return 0;
    }
    shapeKnown = true;
    knownLength = headerLength + 1;
    return 1;
}

int XBaseTable::CheckFields(const String& shown, List<XBaseField>& specs) {
    if (specs.Count() > kXBaseMaxFields) {
        SetError(String(kErrorCreating) + shown + "': too many fields (maximum 2046)");
        return 0;
    }
    int64_t length = 1;
    for (XBaseField* spec = specs.First(); spec; spec = specs.Next()) {
        // Lengths and decimal counts are single bytes of the descriptor.
        if (spec->Length() < 0 || spec->Length() > 255 || spec->Decimals() < 0 || spec->Decimals() > 255 ||
            !XBaseTypeLetter(spec->Kind())) {
            SetError(String(kErrorCreating) + shown + "': the field " + spec->Name() +
                     " has an invalid type, length or decimal count");
            return 0;
        }
        length += spec->Length();
    }
    // The record length is a 16-bit header field.
    if (length > kXBaseMaxRecordLength) {
        SetError(String(kErrorCreating) + shown + "': the record is longer than 65535 bytes");
        return 0;
    }
    return 1;
}

int XBaseTable::LayOutFields() {
    int64_t at = 1;
    for (XBaseField* field = fields.First(); field; field = fields.Next()) {
        field->SetOffset(static_cast<int32_t>(at));
        at += field->Length() > 0 ? field->Length() : 0;
        if (at > recordLength) return Corrupt(name, "a field ends past the record");
    }
    if (recordLength < 1) return Corrupt(name, "the record length is 0");
    if (recordCapacity < recordLength + 1) {
        record.reset(new uint8_t[static_cast<size_t>(recordLength) + 1]());
        recordCapacity = recordLength + 1;
    }
    return 1;
}

// --- Header and descriptors ---------------------------------------------------------------

int XBaseTable::ReadHeader() {
    uint8_t header[kHeaderSize];
    int32_t got = tableStore->ReadAt(0, header, kHeaderSize);
    if (got != kHeaderSize) return ReadFailure(tableStore, name, got);
    if (header[0] != kVersionPlain && header[0] != kVersionMemo) {
        char shownVersion[8];
        std::snprintf(shownVersion, sizeof shownVersion, "0x%02X", header[0]);
        SetError(String("'") + name + "': Unsupported xBase file version (" + shownVersion + ")");
        return 0;
    }
    uint32_t count = GetU32(header + 4);
    int32_t newHeaderLength = GetU16(header + 8);
    int32_t newRecordLength = GetU16(header + 10);
    if (count > kMaxRecordCount) return Corrupt(name, "the record count is out of range");
    if (newHeaderLength < 33) return Corrupt(name, "the header length is out of range");
    if (shapeKnown) {
        // The fields were laid out for the header read at open.
        if (newHeaderLength != headerLength || newRecordLength != recordLength)
            return Corrupt(name, "the header length or record length changed");
        // A memo field makes the table a memo table whatever its byte says.
        if (version != kVersionMemo) version = header[0];
    } else {
        version = header[0];
    }
    year = header[1];
    month = header[2];
    day = header[3];
    recordCount = static_cast<int32_t>(count);
    headerLength = newHeaderLength;
    recordLength = newRecordLength;
    return 1;
}

int XBaseTable::WriteHeader() {
    int32_t y, m, d;
    CivilDate(opener->NowSeconds(), &y, &m, &d);
    y -= 1900;
    year = y < 0 ? 0 : y > 255 ? 255 : y;
    month = m;
    day = d;
    uint8_t header[kHeaderSize] = {};
    header[0] = static_cast<uint8_t>(version);
    header[1] = static_cast<uint8_t>(year);
    header[2] = static_cast<uint8_t>(month);
    header[3] = static_cast<uint8_t>(day);
    PutU32(header + 4, static_cast<uint32_t>(recordCount));
    PutU16(header + 8, static_cast<uint16_t>(headerLength));
    PutU16(header + 10, static_cast<uint16_t>(recordLength));
    if (tableStore->WriteAt(0, header, kHeaderSize) != kHeaderSize) return WriteFailure(tableStore, name);
    return 1;
}

int XBaseTable::ReadFieldDescriptors() {
    if (headerLength < 33) return Corrupt(name, "the header length is out of range");
    fields.Clear();
    int32_t size = headerLength - kHeaderSize;
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[static_cast<size_t>(size)]);
    int32_t got = tableStore->ReadAt(kHeaderSize, bytes.get(), size);
    if (got != size) return ReadFailure(tableStore, name, got);
    int32_t count = (headerLength - 33) / kDescriptorSize;
    for (int32_t i = 0; i < count; ++i) {
        const uint8_t* d = bytes.get() + i * kDescriptorSize;
        const char* fieldName = reinterpret_cast<const char*>(d);
        int32_t nameLength = static_cast<int32_t>(strnlen(fieldName, 11));
        char letter = static_cast<char>(d[11]);
        int32_t kind;
        switch (letter) {
        case 'C': kind = kXBaseCharacter; break;
        case 'N': kind = kXBaseNumeric; break;
        case 'D': kind = kXBaseDate; break;
        case 'L': kind = kXBaseLogical; break;
        case 'M': kind = kXBaseMemo; break;
        default:
            SetError(String("'") + name + "' contains an unsupported field (" + String(fieldName, nameLength) +
                     ") of type '" + letter + "'");
            return 0;
        }
        if (kind == kXBaseMemo) {
            version = kVersionMemo;
            fields.Insert(new XBaseMemoField(this, fieldName, nameLength, d[16], d[17]), kListTail);
        } else {
            fields.Insert(new XBaseField(this, fieldName, nameLength, kind, d[16], d[17]), kListTail);
        }
    }
    return LayOutFields();
}

int XBaseTable::WriteFieldDescriptors() {
    int32_t size = headerLength - kHeaderSize;
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[static_cast<size_t>(size)]());
    int32_t i = 0;
    for (XBaseField* field = fields.First(); field; field = fields.Next(), ++i) {
        uint8_t* d = bytes.get() + i * kDescriptorSize;
        std::memcpy(d, field->Name(), strnlen(field->Name(), 10));
        d[11] = static_cast<uint8_t>(XBaseTypeLetter(field->Kind()));
        d[16] = static_cast<uint8_t>(field->Length());
        d[17] = static_cast<uint8_t>(field->Decimals());
    }
    bytes[static_cast<size_t>(size) - 1] = kDescriptorEnd;
    if (tableStore->WriteAt(kHeaderSize, bytes.get(), size) != size) return WriteFailure(tableStore, name);
    return 1;
}

// --- Records -------------------------------------------------------------------------------

int XBaseTable::FileReaches(int64_t end) {
    if (end <= knownLength) return 1;
    int64_t length = tableStore->Length();
    if (length < 0) return ReadFailure(tableStore, name, -1);
    knownLength = length;
    return end <= knownLength ? 1 : Corrupt(name, "the record count is larger than the file");
}

int XBaseTable::ReadRecord(int32_t n) { return LoadRecord(n, false); }

int XBaseTable::ReadRecordLocked(int32_t n) { return LoadRecord(n, true); }

int XBaseTable::LoadRecord(int32_t n, bool locked) {
    if (!tableStore) {
        SetError(String("'") + name + kIsNotOpen);
        return 0;
    }
    if (n < 1) {
        SetError(String(kInvalidRecordNumber));
        return 0;
    }
    // Another request may have appended since the header was read.
    if (n > recordCount && !RefreshCount()) return 0;
    if (n > recordCount) {
        SetError(String(kInvalidRecordNumber));
        return 0;
    }
    int64_t at = headerLength + static_cast<int64_t>(n - 1) * recordLength;
    bool covered = recordsHeld || rebuildLockedHeader > 0 || (heldRecordLength > 0 && heldRecordAt == at);
    XBaseRangeLock lock(tableStore, at, recordLength);
    if (locked && !covered && !lock.Take(false)) return LockFailure(tableStore, name, "read");
    int32_t got = tableStore->ReadViewed(at, record.get(), recordLength);
    // A view shows bytes cut off the file since as zeros. A record starts with
    // its deletion mark and seldom ends in a zero: one that does is read again.
    if (got == recordLength && ((record[0] != ' ' && record[0] != '*') || record[recordLength - 1] == 0))
        got = tableStore->ReadAt(at, record.get(), recordLength);
    if (got != recordLength) return ReadFailure(tableStore, name, got);
    lock.Release();
    deleted = record[0] == '*' ? 1 : 0;
    for (XBaseField* field = fields.First(); field; field = fields.Next())
        field->LoadFromRecord(record.get() + field->Offset());
    currentRecord = n;
    return 1;
}

int XBaseTable::RefreshCount() {
    if (!tableStore) {
        SetError(String("'") + name + kIsNotOpen);
        return 0;
    }
    // Under a rebuild's own header lock the header is this table's already
    // (a lock taken again through the same handle would change it).
    XBaseRangeLock lock(tableStore, 0, headerLength);
    if (rebuildLockedHeader == 0 && !lock.Take(false)) return LockFailure(tableStore, name, "read");
    return ReadHeader();
}

int XBaseTable::HoldRecords() {
    if (!tableStore) {
        SetError(String("'") + name + kIsNotOpen);
        return 0;
    }
    if (recordsHeld) return 1;
    int64_t length = recordsRangeLength > 0 ? recordsRangeLength : INT64_MAX - headerLength;
    if (!tableStore->Lock(false, headerLength, length)) return LockFailure(tableStore, name, "read");
    recordsHeld = true;
    recordsHeldFrom = headerLength;
    recordsHeldLength = length;
    return 1;
}

void XBaseTable::ReleaseRecords() {
    if (recordsHeld && tableStore) tableStore->Unlock(recordsHeldFrom, recordsHeldLength);
    recordsHeld = false;
}

int XBaseTable::BuildRecord(uint8_t* bytes) {
    for (XBaseField* field = fields.First(); field; field = fields.Next())
        if (!field->StoreToRecord(bytes + field->Offset())) return 0;
    return 1;
}

int XBaseTable::AppendRecord(bool keepLocked, bool asDeleted) {
    if (!tableStore) {
        SetError(String("'") + name + kIsNotOpen);
        return 0;
    }
    if (keepLocked) UnlockCurrentRecord();
    for (;;) {
        // A kept record is read-locked (writers and rebuilds lock records for
        // write, so each waits), and taken before the header, as rebuilds and
        // rewrites take theirs: nobody holds the header waiting for a record.
        // The end as last read is claimed; the header then tells whether it
        // still is the end.
        int64_t claimed = headerLength + static_cast<int64_t>(recordCount) * recordLength;
        if (keepLocked && !tableStore->Lock(false, claimed, recordLength))
            return LockFailure(tableStore, name, "write");
        XBaseRangeLock lock(tableStore, 0, headerLength);
        int64_t at = claimed;
        int ok = lock.Take(true) ? 1 : LockFailure(tableStore, name, "write");
        if (ok) ok = ReadHeader();
        if (ok && recordCount >= kMaxRecordCount) ok = Corrupt(name, "the record count is out of range");
        if (ok) at = headerLength + static_cast<int64_t>(recordCount) * recordLength;
        // Never past the end: a hole would make the records before it garbage.
        if (ok) ok = FileReaches(at);
        if (keepLocked && (!ok || at != claimed)) {
            tableStore->Unlock(claimed, recordLength);
            if (!ok) return 0;
            // Others appended meanwhile: the real end, if it is free at once
            // (a store that cannot tell says it is not), else all again.
            int got = tableStore->TryLock(false, at, recordLength);
            if (got < 0) return LockFailure(tableStore, name, "write");
            if (got == 0) continue;
        }
        if (!ok) return 0;
        if (keepLocked) {
            heldRecordAt = at;
            heldRecordLength = recordLength;
        }
        if (!WriteNewRecord(at, asDeleted)) {
            UnlockCurrentRecord();
            return 0;
        }
        return 1;
    }
}

int XBaseTable::WriteNewRecord(int64_t at, bool asDeleted) {
    uint8_t* bytes = record.get();
    std::memset(bytes, ' ', static_cast<size_t>(recordLength));
    if (!BuildRecord(bytes)) return 0;
    if (asDeleted) bytes[0] = '*';
    bytes[recordLength] = kEndOfFile;
    if (tableStore->WriteAt(at, bytes, recordLength + 1) != recordLength + 1) return WriteFailure(tableStore, name);
    if (at + recordLength + 1 > knownLength) knownLength = at + recordLength + 1;
    deleted = asDeleted ? 1 : 0;
    ++recordCount;
    if (!WriteHeader()) {
        --recordCount;
        return 0;
    }
    currentRecord = recordCount;
    return 1;
}

int XBaseTable::UpdateRecord() {
    if (!tableStore) {
        SetError(String("'") + name + kIsNotOpen);
        return 0;
    }
    if (currentRecord < 1) {
        SetError(String(kInvalidRecordNumber));
        return 0;
    }
    int64_t at = headerLength + static_cast<int64_t>(currentRecord - 1) * recordLength;
    {
        // The same handle cannot take a range it already holds.
        bool held = heldRecordLength > 0 && heldRecordAt == at;
        XBaseRangeLock lock(tableStore, at, recordLength);
        if (!held && !lock.Take(true)) return LockFailure(tableStore, name, "write");
        uint8_t* bytes = record.get();
        bytes[0] = deleted ? '*' : ' ';
        if (!BuildRecord(bytes)) return 0;
        if (tableStore->WriteAt(at, bytes, recordLength) != recordLength) return WriteFailure(tableStore, name);
        SavePreviousValues();
    }
    XBaseRangeLock lock(tableStore, 0, headerLength);
    if (!lock.Take(true)) return LockFailure(tableStore, name, "write");
    return ReadHeader() && WriteHeader();
}

int XBaseTable::SetDeleted(int flag) {
    if (!tableStore) {
        SetError(String("'") + name + kIsNotOpen);
        return 0;
    }
    if (currentRecord < 1) {
        SetError(String(kInvalidRecordNumber));
        return 0;
    }
    int64_t at = headerLength + static_cast<int64_t>(currentRecord - 1) * recordLength;
    {
        bool held = heldRecordLength > 0 && heldRecordAt == at;
        XBaseRangeLock lock(tableStore, at, recordLength);
        if (!held && !lock.Take(true)) return LockFailure(tableStore, name, "write");
        uint8_t mark = flag ? '*' : ' ';
        // A held record stays held through the header: rebuilds take the
        // records before the header, so none holds the header waiting for it.
        if (tableStore->WriteAt(at, &mark, 1) != 1) return WriteFailure(tableStore, name);
        record[0] = mark;
        deleted = flag ? 1 : 0;
    }
    XBaseRangeLock lock(tableStore, 0, headerLength);
    if (!lock.Take(true)) return LockFailure(tableStore, name, "write");
    return ReadHeader() && WriteHeader();
}

int XBaseTable::LockCurrentRecord() {
    if (!tableStore) {
        SetError(String("'") + name + kIsNotOpen);
        return 0;
    }
    if (currentRecord < 1) {
        SetError(String(kInvalidRecordNumber));
        return 0;
    }
    UnlockCurrentRecord();
    int64_t at = headerLength + static_cast<int64_t>(currentRecord - 1) * recordLength;
    if (!tableStore->Lock(true, at, recordLength)) return LockFailure(tableStore, name, "write");
    heldRecordAt = at;
    heldRecordLength = recordLength;
    return 1;
}

void XBaseTable::UnlockCurrentRecord() {
    if (heldRecordLength > 0 && tableStore) tableStore->Unlock(heldRecordAt, heldRecordLength);
    heldRecordLength = 0;
}

int XBaseTable::ReloadPreviousValues() {
    if (!tableStore || currentRecord < 1) {
        SetError(String(kInvalidRecordNumber));
        return 0;
    }
    int64_t at = headerLength + static_cast<int64_t>(currentRecord - 1) * recordLength;
    int32_t got = tableStore->ReadAt(at, record.get(), recordLength);
    if (got != recordLength) return ReadFailure(tableStore, name, got);
    for (XBaseField* field = fields.First(); field; field = fields.Next())
        if (!field->LoadPreviousFromRecord(record.get() + field->Offset())) return 0;
    return 1;
}

int XBaseTable::LockForRebuild() {
    if (!tableStore) {
        SetError(String("'") + name + kIsNotOpen);
        return 0;
    }
    UnlockForRebuild();
    // Records before the header, as updates take them: a rewrite holding its
    // record waits for the header, never the reverse.
    if (!tableStore->Lock(true, headerLength, INT64_MAX - headerLength))
        return LockFailure(tableStore, name, "write");
    if (!tableStore->Lock(true, 0, headerLength)) {
        tableStore->Unlock(headerLength, INT64_MAX - headerLength);
        return LockFailure(tableStore, name, "write");
    }
    rebuildLockedHeader = headerLength;
    if (!ReadHeader()) {
        UnlockForRebuild();
        return 0;
    }
    return 1;
}

void XBaseTable::UnlockForRebuild() {
    if (rebuildLockedHeader > 0 && tableStore) {
        tableStore->Unlock(0, rebuildLockedHeader);
        tableStore->Unlock(rebuildLockedHeader, INT64_MAX - rebuildLockedHeader);
    }
    rebuildLockedHeader = 0;
}

void XBaseTable::SavePreviousValues() {
    for (XBaseField* field = fields.First(); field; field = fields.Next()) field->SavePrevious();
}

void XBaseTable::SwapPreviousValues() {
    for (XBaseField* field = fields.First(); field; field = fields.Next()) field->SwapPrevious();
}

void XBaseTable::DeactivateFiles() {
    if (tableStore) tableStore->Deactivate();
    if (memoStore) memoStore->Deactivate();
}

} // namespace vorn
