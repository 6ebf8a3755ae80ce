// Index files: header, pages, the page cache, create and open. The tree
// operations are in KPZIndexTree.cpp.
#include "database/format/KPZIndexFile.h"

#include <cstring>

#include "database/format/KPZPageCache.h"
#include "engine/foundation/LittleEndian.h"
#include "engine/foundation/Messages.h"

namespace vorn {

namespace {

constexpr int32_t kOffsetVersion = 4;
constexpr int32_t kOffsetCounter = 5;
constexpr int32_t kOffsetPageCount = 9;
constexpr int32_t kOffsetRoot = 13;
constexpr int32_t kOffsetMaxEntries = 17;
constexpr int32_t kOffsetPageSize = 19;
constexpr int32_t kOffsetEntrySize = 21;
constexpr int32_t kOffsetFlags = 23;
constexpr int32_t kOffsetExpression = 27;

} // namespace

// --- KPZIndexPage -----------------------------------------------------------------------

void KPZIndexPage::Reset(uint32_t pageNumber, int32_t newEntrySize, int32_t newPageSize, int32_t newBufferSize) {
    if (!buffer || bufferSize != newBufferSize) buffer.reset(new uint8_t[static_cast<size_t>(newBufferSize)]);
    std::memset(buffer.get(), 0, static_cast<size_t>(newBufferSize));
    number = pageNumber;
    entrySize = newEntrySize;
    pageSize = newPageSize;
    bufferSize = newBufferSize;
    cursor = 0;
    stamp = 0;
}

void KPZIndexPage::SetCount(int32_t n) {
    stamp = 0;
    PutU32(buffer.get(), static_cast<uint32_t>(n));
}

void KPZIndexPage::SetChild(int32_t i, uint32_t page) {
    stamp = 0;
    PutU32(buffer.get() + 4 + i * entrySize, page);
}

void KPZIndexPage::SetRecord(int32_t i, int32_t record) {
    stamp = 0;
    PutU32(buffer.get() + 8 + i * entrySize, static_cast<uint32_t>(record));
}

int32_t KPZIndexPage::KeyLength(int32_t i) const {
    return static_cast<int32_t>(strnlen(Key(i), static_cast<size_t>(entrySize - 8)));
}

void KPZIndexPage::SetKey(int32_t i, const char* key, int32_t length) {
    stamp = 0;
    int32_t width = entrySize - 8;
    if (length > width - 1) length = width - 1;
    uint8_t* at = buffer.get() + 12 + i * entrySize;
    if (length > 0) std::memcpy(at, key, static_cast<size_t>(length));
    at[length] = 0;
}

void KPZIndexPage::InsertEntryRight(int32_t i, int32_t record, const char* key, int32_t length, uint32_t child) {
    stamp = 0;
    int32_t n = Count();
    uint8_t* from = buffer.get() + 8 + i * entrySize; // right after child i
    std::memmove(from + entrySize, from, static_cast<size_t>((n - i) * entrySize));
    SetCount(n + 1);
    SetRecord(i, record);
    std::memset(buffer.get() + 12 + i * entrySize, 0, static_cast<size_t>(entrySize - 8));
    SetKey(i, key, length);
    SetChild(i + 1, child);
}

void KPZIndexPage::RemoveEntry(int32_t i) {
    stamp = 0;
    int32_t n = Count();
    uint8_t* to = buffer.get() + 8 + i * entrySize;
    std::memmove(to, to + entrySize, static_cast<size_t>((n - i - 1) * entrySize));
    SetCount(n - 1);
}

// --- KPZIndexPageStack ---------------------------------------------------------------------

KPZIndexPage* KPZIndexPageStack::Push() {
    if (count >= kIndexMaxDepth) return nullptr;
    if (!pages[count]) pages[count].reset(new KPZIndexPage());
    return pages[count++].get();
}

bool KPZIndexPageStack::Holds(uint32_t pageNumber) const {
    for (int32_t i = 0; i < count; ++i)
        if (pages[i]->Number() == pageNumber) return true;
    return false;
}

// --- KPZIndexFile: the file -----------------------------------------------------------------

KPZIndexFile::KPZIndexFile(XBaseStoreOpener* opener) : opener(opener), cache(new KPZPageCache()) {}

KPZIndexFile::~KPZIndexFile() { Close(); }

void KPZIndexFile::SetError(const String& text) {
    if (!text.IsEmpty()) error.Assign(text);
}

void KPZIndexFile::SetCacheLimit(int32_t pages) { cache->SetLimit(pages); }

int KPZIndexFile::ReadFailure(int32_t got) {
    String message = String(kErrorReadingFrom) + name + "': ";
    if (got < 0)
        message = message + store->ErrorText();
    else
        message = message + kFileEndsEarly;
    SetError(message);
    return 0;
}

int KPZIndexFile::WriteFailure() {
    SetError(String(kErrorWritingTo) + name + "': " + store->ErrorText());
    return 0;
}

int KPZIndexFile::Corrupt(const char* detail) {
    String message = String(kErrorReadingFrom) + name + "': File is corrupt";
    if (detail) message = message + " (" + detail + ")";
    SetError(message);
    return 0;
}

uint32_t KPZIndexFile::Flags() const { return GetU32(header + kOffsetFlags); }
uint32_t KPZIndexFile::ChangeCounter() const { return GetU32(header + kOffsetCounter); }
uint32_t KPZIndexFile::PageCount() const { return GetU32(header + kOffsetPageCount); }
uint32_t KPZIndexFile::RootPage() const { return GetU32(header + kOffsetRoot); }
int32_t KPZIndexFile::MaxEntries() const { return GetU16(header + kOffsetMaxEntries); }
int32_t KPZIndexFile::PageSize() const { return GetU16(header + kOffsetPageSize); }
int32_t KPZIndexFile::EntrySize() const { return GetU16(header + kOffsetEntrySize); }
int32_t KPZIndexFile::Version() const { return header[kOffsetVersion]; }
void KPZIndexFile::SetChangeCounter(uint32_t value) { PutU32(header + kOffsetCounter, value); }
void KPZIndexFile::SetPageCount(uint32_t value) { PutU32(header + kOffsetPageCount, value); }
void KPZIndexFile::SetRootPage(uint32_t value) { PutU32(header + kOffsetRoot, value); }
void KPZIndexFile::SetFlags(uint32_t value) { PutU32(header + kOffsetFlags, value); }

const String& KPZIndexFile::Expression() {
    const char* text = reinterpret_cast<const char*>(header + kOffsetExpression);
    expression.Assign(text, static_cast<int32_t>(strnlen(text, kIndexExpressionSize)));
    return expression;
}

int KPZIndexFile::CreateFile(int32_t location, const char* fileName, const char* keyExpression, uint32_t flags) {
    XBaseStore* file = opener->Open(location, fileName, kXBaseOpenCreate);
    if (!file) {
        SetError(String(kErrorCreating) + fileName + "': " + opener->ErrorText());
        return 0;
    }
    if (!Create(file, fileName, keyExpression, flags)) {
        delete file;
        return 0;
    }
    return 1;
}

int KPZIndexFile::Create(XBaseStore* file, const char* fileName, const char* keyExpression, uint32_t flags) {
    Close();
    name.Assign(fileName);
    size_t length = keyExpression ? std::strlen(keyExpression) : 0;
    // The field keeps a NUL after the text.
    if (length > kIndexExpressionSize - 1) {
        SetError(String(kErrorCreating) + name + "': the key expression is longer than 399 characters");
        return 0;
    }
    if (!file) {
        SetError(String(kInternalErrorOpening) + name + "'");
        return 0;
    }
    std::memset(header, 0, sizeof header);
    std::memcpy(header, "KPZI", 4);
    header[kOffsetVersion] = kIndexVersion;
    SetChangeCounter(0);
    SetPageCount(2);
    SetRootPage(1);
    PutU16(header + kOffsetMaxEntries, kIndexCreatedMaxEntries);
    PutU16(header + kOffsetPageSize, kIndexCreatedPageSize);
    PutU16(header + kOffsetEntrySize, kIndexCreatedEntrySize);
    SetFlags(flags);
    if (length > 0) std::memcpy(header + kOffsetExpression, keyExpression, length);
    store = file;
    ShapePages();
    cache->Check(0, 2, PageSize());
    KPZIndexPage& root = *path[0];
    root.Reset(1, EntrySize(), PageSize(), PageSize());
    // A new file is nobody's yet: no change to announce.
    announced = true;
    announcedSeveral = false;
    if (!WriteHeader() || !WritePage(root)) {
        store = nullptr; // the caller deletes it
        return 0;
    }
    stack.Clear();
    return 1;
}

int KPZIndexFile::Open(int32_t location, const char* fileName, int32_t mode) {
    Close();
    name.Assign(fileName);
    store = opener->Open(location, fileName, mode);
    if (!store) {
        SetError(String(kErrorOpening) + name + "': " + opener->ErrorText());
        return 0;
    }
    if (!ReadHeader()) {
        delete store;
        store = nullptr;
        return 0;
    }
    stack.Clear();
    return 1;
}

void KPZIndexFile::Close() {
    held = false;
    rebuilding = false;
    replaced = false;
    damaged = false;
    ++pageState;
    delete store;
    store = nullptr;
    stack.Clear();
    cache->Clear();
    shapePageSize = shapeEntrySize = 0;
}

void KPZIndexFile::DeactivateFile() {
    // Giving up the handle gives up its locks.
    held = false;
    if (store) store->Deactivate();
}

int KPZIndexFile::CheckHeader() {
    replaced = false;
    if (std::memcmp(header, "KPZI", 4) != 0) {
        SetError(String("'") + name + "' is either corrupt or is not a valid index file");
        return 0;
    }
    if (Version() >= 4) {
        SetError(String("'") + name + "' was created by a newer version of the software");
        return 0;
    }
    if (Flags() & kIndexReplaced) {
        replaced = true;
        SetError(String(kErrorReadingFrom) + name + "': " + kXBaseFileReplaced);
        return 0;
    }
    int32_t pageSize = PageSize();
    int32_t entrySize = EntrySize();
    if (pageSize < kIndexHeaderSize || entrySize < 9)
        return Corrupt("the page size or the entry size is out of range");
    int32_t maxEntries = MaxEntries();
    if (maxEntries < 2 || maxEntries > (pageSize - 8) / entrySize)
        return Corrupt("the maximum entries per page is out of range");
    if (RootPage() < 1 || RootPage() >= PageCount()) return Corrupt("the root page is out of range");
    if (pageSize != shapePageSize || entrySize != shapeEntrySize) {
        // Pages read for other sizes mean nothing now.
        stack.Clear();
        ShapePages();
    }
    cache->Check(ChangeCounter(), PageCount(), pageSize);
    if (ChangeCounter() != stateCounter || PageCount() != statePages || pageSize != statePageSize) {
        ++pageState;
        stateCounter = ChangeCounter();
        statePages = PageCount();
        statePageSize = pageSize;
    }
    return 1;
}

void KPZIndexFile::ShapePages() {
    shapePageSize = PageSize();
    shapeEntrySize = EntrySize();
    for (auto& page : path) {
        if (!page) page.reset(new KPZIndexPage());
        page->Reset(0, shapeEntrySize, shapePageSize, shapePageSize);
    }
    for (auto& page : sibling) page.Reset(0, shapeEntrySize, shapePageSize, shapePageSize);
    // Room for two pages' entries and a separator: a merge or a split.
    scratch.Reset(0, shapeEntrySize, shapePageSize, 2 * shapePageSize + shapeEntrySize);
}

int KPZIndexFile::ReadHeader() {
    int32_t got = store->ReadViewed(0, header, sizeof header);
    if (got < kIndexHeaderSize) return ReadFailure(got);
    if (!CheckHeader()) return 0;
    remakes = got == static_cast<int32_t>(sizeof header) && PageSize() >= kIndexRemakesOffset + 4
                  ? GetU32(header + kIndexRemakesOffset)
                  : 0;
    return 1;
}

int KPZIndexFile::MarkReplaced() {
    if (!store) {
        SetError(String(kInternalErrorOpening) + name + "'");
        return 0;
    }
    // The flags word is little-endian: its high byte holds the mark.
    header[kOffsetFlags + 3] |= static_cast<uint8_t>(kIndexReplaced >> 24);
    if (store->WriteAt(kOffsetFlags + 3, header + kOffsetFlags + 3, 1) != 1) return WriteFailure();
    ++pageState;
    cache->Clear();
    return 1;
}

int KPZIndexFile::WriteHeader() {
    if (store->WriteAt(0, header, kIndexHeaderSize) != kIndexHeaderSize) return WriteFailure();
    return 1;
}

int KPZIndexFile::ReadPage(KPZIndexPage& page, uint32_t n) {
    if (n < 1 || n >= PageCount()) {
        SetError(String("Error '") + name + "' is corrupt " +
                 (n < 1 ? "(the page number is 0)" : "(the page number is larger than the total pages )"));
        return 0;
    }
    int32_t pageSize = PageSize();
    if (page.PageSize() != pageSize || page.EntrySize() != EntrySize())
        page.Reset(n, EntrySize(), pageSize, pageSize);
    page.cursor = 0;
    // The same page at the same state: its bytes are those the cache holds.
    if (page.Number() == n && page.Stamp() == pageState) return 1;
    page.SetNumber(n);
    if (!cache->Get(n, page.Bytes())) {
        int32_t got = store->ReadAt(static_cast<int64_t>(n) * pageSize, page.Bytes(), pageSize);
        if (got != pageSize) return ReadFailure(got);
        uint32_t count = GetU32(page.Bytes());
        // The last child number must fit behind the entries.
        if (count > static_cast<uint32_t>((pageSize - 8) / EntrySize())) {
            SetError(String(kErrorReadingFrom) + name +
                     "': File is corrupt (the number of entries is larger than the maximum entries possible).");
            return 0;
        }
        cache->Put(n, page.Bytes());
    }
    page.SetStamp(pageState);
    return 1;
}

int KPZIndexFile::PushPage(uint32_t n) {
    if (stack.Holds(n)) return Corrupt(nullptr);
    KPZIndexPage* page = stack.Push();
    if (!page) return Corrupt(kIndexTooDeep);
    if (!ReadPage(*page, n)) {
        stack.Pop();
        return 0;
    }
    return 1;
}

int KPZIndexFile::WritePage(KPZIndexPage& page) {
    if (!AnnounceChange(true)) return 0;
    int32_t pageSize = PageSize();
    if (store->WriteAt(static_cast<int64_t>(page.Number()) * pageSize, page.Bytes(), pageSize) != pageSize)
        return WriteFailure();
    pagesWritten = true;
    ++pageState;
    cache->Put(page.Number(), page.Bytes());
    return 1;
}

} // namespace vorn
