// The "xbase3" database: create, open and close, the field specification of
// VrCREATE, index management and the operations this driver refuses.
#include "database/xbase3/XBaseDatabase.h"

#include <cstdlib>
#include <cstring>

#include "database/xbase3/XBaseDatabaseView.h"
#include "engine/foundation/Messages.h"
#include "engine/vm/VornVM.h"

namespace vorn {

namespace {

inline bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}
inline bool IsWhite(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}
inline char Upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// The first n letters of text equal the keyword, without regard to case.
bool StartsWithNoCase(const char* text, int32_t length, const char* keyword) {
    int32_t n = static_cast<int32_t>(std::strlen(keyword));
    if (length < n) return false;
    for (int32_t i = 0; i < n; ++i)
        if (Upper(text[i]) != keyword[i]) return false;
    return true;
}

bool EqualsNoCase(const char* text, int32_t length, const char* keyword) {
    return static_cast<int32_t>(std::strlen(keyword)) == length && StartsWithNoCase(text, length, keyword);
}

// The decimal reading of C: leading white space, a sign, then digits up to
// the first other character; no digits give 0.
int64_t DecimalValue(const char* text, int32_t length) {
    int32_t i = 0;
    while (i < length && IsWhite(text[i]))
        ++i;
    bool negative = false;
    if (i < length && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    int64_t value = 0;
    for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i)
        if (value < 1000000000) value = value * 10 + (text[i] - '0');
    return negative ? -value : value;
}

constexpr char kDanglingField[] = "Dangling comma in field\tspecification";
constexpr char kBadWidth[] = "Field widths in the field specification must be positive numbers";

struct SizeText {
    bool present = false;
    const char* text = nullptr;
    int32_t length = 0;
};

// The size of a CHAR or NUMBER declaration: between the last "(" before the
// first ")" and that ")". Sets unexpected when anything but blanks follows.
SizeText ReadSize(const char* rest, int32_t length, bool* unexpected) {
    SizeText size;
    int32_t open = -1;
    int32_t close = -1;
    for (int32_t i = 0; i < length; ++i) {
        if (rest[i] == '(') open = i;
        if (rest[i] == ')') {
            close = i;
            break;
        }
    }
    if (close < 0) return size;
    for (int32_t i = close + 1; i < length; ++i)
        if (!IsBlank(rest[i])) *unexpected = true;
    if (open < 0) {
        // ")" alone: a size of 0, which the width check refuses.
        size.present = true;
        size.text = "0";
        size.length = 1;
        return size;
    }
    const char* text = rest + open + 1;
    int32_t n = close - open - 1;
    while (n > 0 && IsWhite(*text))
        ++text, --n;
    while (n > 0 && IsWhite(text[n - 1]))
        --n;
    if (n == 0) return size;
    size.present = true;
    size.text = text;
    size.length = n > 19 ? 19 : n;
    return size;
}

} // namespace

// ---- The field specification ----------------------------------------------------------

int ParseFieldSpecification(const char* text, int32_t length, List<XBaseField>& fields, String& error) {
    if (!text) length = 0;
    if (length < 0) length = static_cast<int32_t>(std::strlen(text));
    int32_t start = 0;
    for (;;) {
        int32_t end = start;
        while (end < length && text[end] != ',')
            ++end;
        const char* field = text + start;
        int32_t n = end - start;
        int32_t i = 0;
        while (i < n && IsBlank(field[i]))
            ++i;
        if (i == n) {
            error.Assign(kDanglingField);
            return 0;
        }
        const char* message = nullptr;
        int32_t nameStart = i;
        while (i < n && !IsBlank(field[i]))
            ++i;
        int32_t nameLength = i - nameStart;
        if (nameLength > 10) message = "Field name is longer than the XBase limit of 10 characters";
        char name[11] = {};
        for (int32_t k = 0; k < nameLength && k < 10; ++k)
            name[k] = Upper(field[nameStart + k]);
        while (i < n && IsBlank(field[i]))
            ++i;
        const char* type = field + i;
        int32_t typeLength = n - i;
        for (XBaseField* other = fields.First(); other; other = fields.Next())
            if (std::strcmp(other->Name(), name) == 0)
                message = "Field name is used more than once in the field specification";

        int32_t kind = -1;
        int64_t width = 0;
        int64_t decimals = 0;
        int32_t keyword = 0;
        if (typeLength == 0) {
            message = "Empty field type in field specification";
        } else if (StartsWithNoCase(type, typeLength, "CHAR")) {
            kind = kXBaseCharacter, keyword = 4;
        } else if (StartsWithNoCase(type, typeLength, "NUMBER")) {
            kind = kXBaseNumeric, keyword = 6;
        } else if (StartsWithNoCase(type, typeLength, "DATE")) {
            kind = kXBaseDate, width = 8;
        } else if (StartsWithNoCase(type, typeLength, "BOOL")) {
            kind = kXBaseLogical, width = 1;
        } else if (StartsWithNoCase(type, typeLength, "MEMO")) {
            kind = kXBaseMemo, width = 10;
        } else {
            message = "Unknown\tfield type in field specification";
        }
        if (keyword > 0) {
            bool unexpected = false;
            SizeText size = ReadSize(type + keyword, typeLength - keyword, &unexpected);
            if (unexpected) message = "Unexpected character following field declaration";
            if (kind == kXBaseCharacter) {
                if (!size.present) {
                    message = "Error in field specification: CHAR datatypes require a length";
                } else {
                    width = DecimalValue(size.text, size.length);
                    if (width > 254)
                        message = "CHAR fields may\tonly be\t254 characters long, field is too long";
                    if (width < 1) message = kBadWidth;
                }
            } else if (!size.present) {
                width = 19;
            } else {
                const void* point = std::memchr(size.text, '.', static_cast<size_t>(size.length));
                if (point) {
                    int32_t whole = static_cast<int32_t>(static_cast<const char*>(point) - size.text);
                    int64_t digits = DecimalValue(size.text, whole);
                    decimals = DecimalValue(size.text + whole + 1, size.length - whole - 1);
                    width = decimals != 0 ? digits + 1 + decimals : digits;
                    if (digits < 0 || decimals < 0) width = 0;
                } else {
                    width = DecimalValue(size.text, size.length);
                }
                if (width > 19) message = "NUMERIC\tfields may only\tbe 19 digits, field is too many digits";
                if (width < 1) message = kBadWidth;
            }
        }
        if (message) {
            error.Assign(message);
            return 0;
        }
        fields.Insert(
            new XBaseField(nullptr, name, kind, static_cast<int32_t>(width), static_cast<int32_t>(decimals)),
            kListTail);
        if (end >= length) break;
        start = end + 1;
    }
    if (fields.Count() == 0) {
        error.Assign("Field specification does not define any\tfields");
        return 0;
    }
    return 1;
}

int ParseIndexFlags(const char* text, int32_t length, uint32_t* flags, String& error) {
    *flags = 0;
    if (!text) length = 0;
    if (length < 0) length = static_cast<int32_t>(std::strlen(text));
    if (length == 0) return 1;
    int32_t start = 0;
    for (;;) {
        int32_t end = start;
        while (end < length && text[end] != ',')
            ++end;
        int32_t i = start;
        while (i < end && IsBlank(text[i]))
            ++i;
        if (i == end) {
            error.Assign(kDanglingField);
            return 0;
        }
        // Trailing blanks stay part of the word, which then matches nothing.
        const char* word = text + i;
        int32_t n = end - i;
        if (EqualsNoCase(word, n, "ASCENDING"))
            *flags &= ~kIndexDescending;
        else if (EqualsNoCase(word, n, "DESCENDING"))
            *flags |= kIndexDescending;
        else if (EqualsNoCase(word, n, "UNIQUE"))
            *flags |= kIndexUnique;
        else if (EqualsNoCase(word, n, "NOUNIQUE"))
            *flags &= ~kIndexUnique;
        else if (EqualsNoCase(word, n, "STRING"))
            *flags |= kIndexString;
        else if (EqualsNoCase(word, n, "RANGE"))
            *flags |= kIndexRange;
        if (end >= length) break;
        start = end + 1;
    }
    return 1;
}

// ---- The database -----------------------------------------------------------------------

XBaseDatabase::XBaseDatabase(VornApplication* app, VornVM* vm, const DatabaseText& name)
    : Database(app, vm, name.text, name.length, name.size, name.adopt), opener(app),
      table(new XBaseTable(&opener)), fileName("") {}

XBaseDatabase::~XBaseDatabase() {
    // The views first: their variables let go of the table's fields.
    while (DatabaseView* each = views.First())
        RemoveView(each);
    view = nullptr;
    delete table;
    table = nullptr;
    indexes.Clear();
}

int XBaseDatabase::Fail(const String& message) {
    SetErrorText(message);
    return 0;
}

int XBaseDatabase::Fail(const char* message) {
    return Fail(String(message));
}

void XBaseDatabase::MakeView() {
    view = new XBaseDatabaseView(application, program, this, name, table, &indexes, &opener);
    primaryView = view;
    AddView(view);
}

int XBaseDatabase::Open(const DatabaseText& file, const DatabaseText&, const DatabaseText&,
                        const DatabaseText&, const DatabaseText&) {
    delete table;
    file.TakeInto(fileName);
    table = new XBaseTable(&opener);
    if (!table->Open(kXBaseLocation, fileName.Text(), kXBaseOpenMode)) return Fail(table->ErrorText());
    MakeView();
    return 1;
}

int XBaseDatabase::Create(const DatabaseText& file, const DatabaseText&, const DatabaseText& fieldText) {
    List<XBaseField> fields(true);
    String message;
    if (!ParseFieldSpecification(fieldText.text, fieldText.length, fields, message)) return Fail(message);
    file.TakeInto(fileName);
    if (!table->CreateFiles(kXBaseLocation, fileName.Text(), "", fields)) return Fail(table->ErrorText());
    MakeView();
    return 1;
}

int XBaseDatabase::Close() {
    table->Close();
    return 1;
}

// ---- Indexes ------------------------------------------------------------------------------

void XBaseDatabase::DropIndex(const String& indexName) {
    if (indexes.Find(indexName.Text())) delete indexes.Remove(kListCurrent);
}

int XBaseDatabase::OpenIndexList(VornVM* vm, const char* text, int32_t length, bool* replaced) {
    *replaced = false;
    indexes.Clear();
    int32_t start = 0;
    for (;;) {
        int32_t end = start;
        while (end < length && text[end] != ',')
            ++end;
        int32_t from = start;
        int32_t to = end;
        while (from < to && IsBlank(text[from]))
            ++from;
        while (to > from && IsBlank(text[to - 1]))
            --to;
        if (from == to) return Fail("Dangling comma in index list");
        String entry(text + from, to - from);
        if (!indexes.Find(entry.Text())) {
            auto* index = new XBaseIndex(vm, application, this, &opener, entry.Text(), entry.Length());
            if (!index->Open(entry.Text())) {
                *replaced = index->File().Replaced();
                Fail(index->ErrorText());
                delete index;
                return 0;
            }
            indexes.Insert(index, kListTail);
        }
        if (end >= length) return 1;
        start = end + 1;
    }
}

int XBaseDatabase::SetIndexes(VornVM* vm, const DatabaseText& list) {
    indexes.Clear();
    const char* text = list.text ? list.text : "";
    int32_t length = list.text ? list.length : 0;
    int32_t i = 0;
    while (i < length && IsBlank(text[i]))
        ++i;
    if (i == length) return 1;
    bool replaced = false;
    bool moved = false;
    int ok = OpenIndexList(vm, text, length, &replaced);
    if (!ok && replaced && table->IsOpen()) {
        // A rebuild marked an index replaced between its open and its
        // header's read: opened again under the read lock of the table's
        // header, which a rebuild holds until it has marked its old files,
        // so that none comes in between.
        ok = HoldCurrentTable(&moved) && OpenIndexList(vm, text, length, &replaced);
        ReleaseHeaderHold();
    }
    // A table opened before another request's pack and indexes opened after
    // it would not belong together.
    XBaseStore* data = table->DataStore();
    if (ok && data && data->Replaced() && !OpenCurrentFiles(&moved)) ok = 0;
    if (view && !view->Go(-1)) {
        // A damaged index still opens, so that VrREINDEX can rebuild it; the
        // moves through it say what is wrong.
        XBaseIndex* primary = indexes.First();
        if (!ok || !primary || !primary->File().Damaged()) return Fail(view->ErrorText());
    }
    return ok;
}

int XBaseDatabase::HoldCurrentTable(bool* moved) {
    ReleaseHeaderHold();
    const String& path = table->Name();
    // Each try that meets a file replaced again waited for one more rebuild;
    // rebuilds one after the other may take that many.
    for (int32_t attempt = 0; attempt < 64 && !opener.Stopped(); ++attempt) {
        if (XBaseStore* store = table->DataStore()) {
            int64_t length = table->HeaderLength();
            if (!store->Lock(false, 0, length))
                return Fail(String(kErrorLocking) + path + kForRead + store->ErrorText());
            // A pack's rename may have come between the open and the lock.
            if (!store->Replaced()) {
                heldHeader = length;
                // Read at the open, perhaps while a writer appended.
                if (*moved && !table->ReadHeader()) {
                    DropHeaderHold();
                    return Fail(table->ErrorText());
                }
                return 1;
            }
            store->Unlock(0, length);
        }
        XBaseTable fresh(&opener);
        if (!fresh.Open(kXBaseLocation, path.Text(), kXBaseOpenMode)) return Fail(fresh.ErrorText());
        if (!table->TakeFiles(fresh)) return Fail(table->ErrorText());
        *moved = true;
    }
    return Fail(String(kErrorOpening) + path + "': " + kXBaseFileReplaced);
}

void XBaseDatabase::DropHeaderHold() {
    if (XBaseStore* store = table->DataStore()) store->Unlock(0, heldHeader);
    heldHeader = 0;
}

int XBaseDatabase::OpenCurrentFiles(bool* moved, bool keepHold) {
    *moved = false;
    if (!HoldCurrentTable(moved)) return 0;
    XBaseIndexList again;
    for (XBaseIndex* index = indexes.First(); index; index = indexes.Next()) {
        auto* other = new XBaseIndex(index->Program(), application, this, &opener, index->Name().Text(),
                                     index->Name().Length());
        again.Insert(other, kListTail);
        if (!other->Open(index->FileName().Text())) {
            ReleaseHeaderHold();
            return Fail(other->ErrorText());
        }
    }
    indexes.Clear();
    while (XBaseIndex* index = again.Remove(kListHead))
        indexes.Insert(index, kListTail);
    if (!keepHold) ReleaseHeaderHold();
    return 1;
}

int XBaseDatabase::SetPrimaryIndexes(const DatabaseText& indexName) {
    String wanted;
    indexName.TakeInto(wanted);
    XBaseIndex* index = indexes.Find(wanted.Text());
    if (!index) return Fail("Database has no index with that name");
    indexes.Remove(kListCurrent);
    indexes.Insert(index, kListHead);
    if (view && !view->SyncIndex(index)) return Fail(view->ErrorText());
    return 1;
}

int XBaseDatabase::MakeIndex(VornVM* vm, const DatabaseText& file, const DatabaseText& expressionText,
                             const DatabaseText& flagsText) {
    uint32_t flags = 0;
    String message;
    if (!ParseIndexFlags(flagsText.text, flagsText.length, &flags, message)) return Fail(message);
    String indexFile;
    file.TakeInto(indexFile);
    String expression;
    expressionText.TakeInto(expression);
    // Creating truncates the file: an open index of that file would go on
    // under the new one, and every add would reach it twice.
    DropIndex(indexFile);
    auto* index = new XBaseIndex(vm, application, this, &opener, indexFile.Text(), indexFile.Length());
    if (!index->Create(indexFile.Text(), expression.Text(), flags) || !index->Compile()) {
        Fail(index->ErrorText());
        delete index;
        return 0;
    }
    String key;
    int32_t count = table->RecordCount();
    for (int32_t r = 1; r <= count; ++r) {
        int ok = table->ReadRecordLocked(r);
        if (!ok) {
            Fail(table->ErrorText());
        } else {
            if (view) view->ResetVariables(1);
            ok = (view ? view->EvaluateKey(index, key) : 0) && index->AddKey(r, key.Text(), key.Length());
            if (!ok) Fail(index->ErrorText());
        }
        if (!ok) {
            delete index;
            return 0;
        }
    }
    indexes.Insert(index, kListHead);
    if (view && !view->Go(-1)) return Fail(view->ErrorText());
    return 1;
}

// ---- What this driver does not do --------------------------------------------------------

int XBaseDatabase::OpenView(const DatabaseText&, const DatabaseText&, VariableList*, int32_t) {
    return Fail("VrOPENVIEW is not currently supported for databases of type 'xbase3'");
}

int XBaseDatabase::CloseView(const DatabaseText&) {
    return Fail("VrCLOSEVIEW is not currently supported for databases of type 'xbase3'");
}

int XBaseDatabase::RunQuery(const DatabaseText&, VariableList*, int32_t) {
    return Fail("VrQUERY is not currently supported for databases of type 'xbase3'");
}

int XBaseDatabase::Command(const DatabaseText&, const DatabaseText&) {
    return Fail("VrDBCOMMAND is not currently supported for databases of type 'xbase3'");
}

int XBaseDatabase::Commit() {
    return 1;
}
int XBaseDatabase::Rollback() {
    return 1;
}
int XBaseDatabase::Transact() {
    return 1;
}

} // namespace vorn
