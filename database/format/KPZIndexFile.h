// The system's B-tree index files (".vrx"): a 427-byte header in page 0 and
// B-tree pages of (child, record number, key) entries, one tree of
// (key text, record number) entries per file, in the order of CompareKeys.
//
// Locks: the header range [0, 427) exclusively while the tree changes,
// shared while it is walked when the caller asks. The header's change counter
// grows with every change; walks compare it to notice that the tree changed
// under their saved position, and the page cache is kept only while the
// counter and the page count read under the lock are unchanged.
//
// Format code: it reaches files only through XBaseStore, so the SQL library
// compiles it too. Operations return 1 for success and 0 for failure with
// the message in ErrorText.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "database/format/KPZIndexKeys.h"
#include "database/format/XBaseStore.h"
#include "engine/foundation/LittleEndian.h"
#include "engine/foundation/String.h"

namespace vorn {

inline constexpr int32_t kIndexHeaderSize = 427;
inline constexpr int32_t kIndexExpressionSize = 400;
inline constexpr int32_t kIndexCreatedPageSize = 1024;
inline constexpr int32_t kIndexCreatedEntrySize = 108;
inline constexpr int32_t kIndexCreatedMaxEntries = 8;
inline constexpr int32_t kIndexVersion = 3;
// Behind the header, in bytes of page 0 that nothing else uses: how many
// times the tree was made anew in place (BeginRebuild). Equal keys come back
// in another order then, which a walk that stands again on its entry must
// know.
inline constexpr int32_t kIndexRemakesOffset = kIndexHeaderSize;
// Deeper than any tree the operations can build (every level above the
// leaves needs at least two children, and there are fewer than 2^32 pages):
// a longer path is a corrupt file.
inline constexpr int32_t kIndexMaxDepth = 64;

// One page in memory: its number, its sizes, its bytes and the cursor of a
// walk (the entry it stands at, or on an inner page the child it went into).
class KPZIndexPage {
public:
    KPZIndexPage() = default;
    KPZIndexPage(const KPZIndexPage&) = delete;
    KPZIndexPage& operator=(const KPZIndexPage&) = delete;

    // Sizes the buffer (bufferSize >= pageSize; a split's scratch page holds
    // one entry more) and zeroes it; the cursor goes to 0.
    void Reset(uint32_t pageNumber, int32_t entrySize, int32_t pageSize, int32_t bufferSize);

    uint32_t Number() const { return number; }
    void SetNumber(uint32_t n) {
        number = n;
        stamp = 0;
    }
    int32_t EntrySize() const { return entrySize; }
    int32_t PageSize() const { return pageSize; }
    // Writable bytes: the page no longer matches the file's state it was read at.
    uint8_t* Bytes() {
        stamp = 0;
        return buffer.get();
    }
    const uint8_t* Bytes() const { return buffer.get(); }
    // The state of the index file the bytes were read at (0: none, or
    // changed since): a read of the same page at the same state keeps them.
    uint64_t Stamp() const { return stamp; }
    void SetStamp(uint64_t value) { stamp = value; }
    // How many entries the buffer can hold, the last child number included.
    int32_t Capacity() const { return (bufferSize - 8) / entrySize; }

    int32_t Count() const { return static_cast<int32_t>(GetU32(buffer.get())); }
    void SetCount(int32_t n);
    // Child i is left of entry i; child Count() is the last.
    uint32_t Child(int32_t i) const { return GetU32(buffer.get() + 4 + i * entrySize); }
    void SetChild(int32_t i, uint32_t page);
    int32_t Record(int32_t i) const { return static_cast<int32_t>(GetU32(buffer.get() + 8 + i * entrySize)); }
    void SetRecord(int32_t i, int32_t record);
    // The key's bytes, up to its NUL or the end of its field.
    const char* Key(int32_t i) const { return reinterpret_cast<const char*>(buffer.get() + 12 + i * entrySize); }
    int32_t KeyLength(int32_t i) const;
    // Copies at most the key width - 1 bytes and a NUL.
    void SetKey(int32_t i, const char* key, int32_t length);
    // Puts (record, key) at position i with child as its right neighbour.
    void InsertEntryRight(int32_t i, int32_t record, const char* key, int32_t length, uint32_t child);
    // Removes entry i with the child to its right.
    void RemoveEntry(int32_t i);

    int32_t cursor = 0;

private:
    uint32_t number = 0;
    int32_t entrySize = 0;
    int32_t pageSize = 0;
    int32_t bufferSize = 0;
    uint64_t stamp = 0;
    std::unique_ptr<uint8_t[]> buffer;
};

// The walk position: the pages from the root (bottom) to the page of the
// current entry (top), each with its cursor. The pages are kept for reuse.
class KPZIndexPageStack {
public:
    KPZIndexPageStack() = default;
    KPZIndexPageStack(const KPZIndexPageStack&) = delete;
    KPZIndexPageStack& operator=(const KPZIndexPageStack&) = delete;

    // A page slot on top for the caller to fill; null when the stack is at
    // its depth limit.
    KPZIndexPage* Push();
    void Pop() {
        if (count > 0) --count;
    }
    KPZIndexPage* Top() { return count > 0 ? pages[count - 1].get() : nullptr; }
    // Page i from the bottom (the root is 0).
    KPZIndexPage* At(int32_t i) { return pages[i].get(); }
    int32_t Count() const { return count; }
    void Clear() { count = 0; }
    // Drops the pages above the first n.
    void Truncate(int32_t n) {
        if (n < count) count = n;
    }
    bool Holds(uint32_t pageNumber) const;

private:
    std::unique_ptr<KPZIndexPage> pages[kIndexMaxDepth];
    int32_t count = 0;
};

class KPZPageCache;

class KPZIndexFile {
public:
    // The opener is not owned and must outlive the index.
    explicit KPZIndexFile(XBaseStoreOpener* opener);
    virtual ~KPZIndexFile();
    KPZIndexFile(const KPZIndexFile&) = delete;
    KPZIndexFile& operator=(const KPZIndexFile&) = delete;

    // --- The file --------------------------------------------------------------
    int CreateFile(int32_t location, const char* fileName, const char* expression, uint32_t flags);
    // Writes a new, empty index onto an open store, which the index takes
    // over on success. An expression longer than 399 bytes is refused.
    int Create(XBaseStore* file, const char* fileName, const char* expression, uint32_t flags);
    // Opens an index, refusing a header whose sizes, counts or root page do
    // not fit together.
    int Open(int32_t location, const char* fileName, int32_t mode);
    void Close();
    void DeactivateFile();
    bool IsOpen() const { return store != nullptr; }
    // The open file (null when closed), for callers that lock it as a whole.
    XBaseStore* Store() const { return store; }
    // The length of a key as the index stores and compares it: cut to the key
    // width - 1 and to its first NUL.
    int32_t CutKey(const char* key, int32_t length) const;

    uint32_t Flags() const;
    // The key expression, up to its NUL or the end of its field.
    const String& Expression();
    uint32_t ChangeCounter() const;
    // Moves the change counter with no entry changed, so that every holder
    // that checks it reloads (files it describes were replaced). keepLocked:
    // on success the header stays write-locked, so that nobody walks the
    // index until the caller unlocks [0, kIndexHeaderSize) of Store().
    int Touch(bool keepLocked = false);
    // Marks the file as replaced (kIndexReplaced), for its last holders: one
    // byte, written without the lock, which a request whose file was
    // replaced is refused. Nobody changes the tree meanwhile: the rebuild
    // holds every record of the table.
    int MarkReplaced();
    // Whether the last header read found the mark; the walk or change failed
    // with kXBaseFileReplaced.
    bool Replaced() const { return replaced; }
    // Whether the last walk or change found the file left half changed.
    bool Damaged() const { return damaged; }
    // The entry the walk stands on: its key (as stored) into key, and its
    // record; 0, key untouched, when it stands on none.
    int32_t StandingEntry(String& key);
    // Makes the tree anew in place: BeginRebuild takes the header lock for
    // write, marks the file damaged and empties the tree; the Inserts that
    // follow go under that one lock, so that no walk sees the tree half
    // made, and EndRebuild(ok) clears the mark (kept on failure, so that a
    // rebuild stopped half-way is refused until done again) and unlocks.
    int BeginRebuild();
    int EndRebuild(int ok);
    // As the last header read found it.
    uint32_t Remakes() const { return remakes; }
    uint32_t PageCount() const;
    uint32_t RootPage() const;
    int32_t MaxEntries() const;
    int32_t PageSize() const;
    int32_t EntrySize() const;
    int32_t Version() const;
    int32_t KeyWidth() const { return EntrySize() - 8; }
    void SetChangeCounter(uint32_t value);
    void SetPageCount(uint32_t value);
    void SetRootPage(uint32_t value);
    void SetFlags(uint32_t value);

    int ReadHeader();
    int WriteHeader();
    // Reads page n into the page object (numbered n), checking n against the
    // page count and the entry count against the page.
    int ReadPage(KPZIndexPage& page, uint32_t n);
    // Reads page n onto the walk stack; a page already on it is a cycle.
    int PushPage(uint32_t n);
    int WritePage(KPZIndexPage& page);

    // --- The tree ----------------------------------------------------------------
    int Insert(int32_t record, const char* key, int32_t keyLength);
    // Whether the last Insert was refused because a UNIQUE index holds the
    // key already (a caller with messages of its own tells it apart).
    bool RefusedDuplicate() const { return refusedDuplicate; }
    int Delete(int32_t record, const char* key, int32_t keyLength);
    // The leftmost entry equal to the key (with exact 0: starting with it),
    // found 1; else the entry ordered just before it, found 0 (record 0 when
    // there is none).
    int Find(const char* key, int32_t keyLength, int exact, int32_t* outRecord, int* outFound, int lock);
    // Record 0 when the index is empty.
    int First(int32_t* outRecord, int lock);
    int Last(int32_t* outRecord, int lock);
    // Record 0 past either end. The key (when asked) stays valid until the
    // next operation.
    int Next(int32_t* outRecord, const char** outKey, int lock);
    int Previous(int32_t* outRecord, const char** outKey, int lock);
    // 1 when the entry (key, record) is found and made current, else 0.
    int Reposition(const char* key, int32_t keyLength, int32_t record, int lock);

    // How many pages the cache may hold (0: none).
    void SetCacheLimit(int32_t pages);

    // Holds the shared walk lock over a batch of walks: the header (and so
    // the page cache) is checked once under it, and the walks of the batch,
    // asking for the lock or not, neither lock nor read the header again.
    // The holder bounds the batch and calls ReleaseHold; a change through
    // this object ends the hold before it takes its own lock. 0 when
    // the lock is refused or the header unreadable, with the message.
    int HoldShared();
    void ReleaseHold();
    bool Held() const { return held; }

    const String& Name() const { return name; }
    const String& ErrorText() const { return error; }
    // An empty text leaves the message unchanged.
    void SetError(const String& text);
    KPZIndexPageStack& Stack() { return stack; }

private:
    // Where a repositioning walk ended.
    enum class Place { Found, PastEqual, NoneEqual, Failed };

    int ReadFailure(int32_t got);
    int WriteFailure();
    int Corrupt(const char* detail);
    int CheckHeader();
    // Sizes the page objects for the header's page and entry sizes.
    void ShapePages();
    // Takes the walk lock and reads the header; 0 when refused or unreadable.
    int BeginWalk(int lock);
    void EndWalk(int lock);
    // Takes the change lock and reads the header; refuses a header left
    // changing unless mayBeDamaged (a touch reads no page).
    int BeginChange(bool mayBeDamaged = false);
    // Refuses a header left changing (read under the lock: nobody else is
    // in a change).
    int CheckComplete();
    // Before the first page a change writes: the counter moves and the header
    // is written, so that pages cached elsewhere are never taken for the new
    // ones, even when the writer is killed; with several pages to come the
    // header is also marked changing until EndChange.
    int AnnounceChange(bool several);
    // Ends a change: on success the counter grows and the header is written;
    // a failure after pages were written still moves the counter, so that
    // walks and caches elsewhere notice. The change lock goes, unless kept
    // on success.
    int EndChange(int ok, bool keepLocked = false);
    int InsertInPage(int32_t depth, uint32_t pageNumber, int32_t record, const SearchKey& key);
    int DeleteInPage(int32_t depth, uint32_t pageNumber, int32_t record, const SearchKey& key);
    int RemoveFound(int32_t depth, int32_t j);
    int Successor(int32_t depth, uint32_t pageNumber, int32_t targetDepth, int32_t targetIndex);
    int Rebalance(int32_t depth, int32_t j);
    // Loads a page of a change's path, refusing one already on the path.
    int LoadPathPage(int32_t depth, uint32_t pageNumber);
    int LoadSibling(KPZIndexPage& page, uint32_t pageNumber, int32_t depth);
    // Puts the entries of left, the separator k of parent and right into
    // the scratch page, in order.
    void Combine(KPZIndexPage& left, KPZIndexPage& parent, int32_t k, KPZIndexPage& right);
    // Spreads the scratch page: its first a entries to left, entry a up
    // (into up*), the rest to right.
    void Spread(KPZIndexPage& left, int32_t a, KPZIndexPage& right);

    int FindInternal(const SearchKey& key, int exact, int32_t* outRecord, int* outFound);
    int StepNext();
    int StepPrevious();
    Place RepositionInternal(const SearchKey& key, int32_t record);
    // The current entry's record number (0 without one) and its key.
    int32_t Current(const char** outKey);

    XBaseStoreOpener* opener;
    XBaseStore* store = nullptr;
    // The header and, behind it, the count of remakes, read in one call.
    uint8_t header[kIndexHeaderSize + 4] = {};
    KPZIndexPageStack stack;
    String name;
    String error;
    bool refusedDuplicate = false;
    bool replaced = false;
    uint32_t remakes = 0;
    bool damaged = false;
    String expression;
    String currentKey;
    String cutKey;

    // The counter the walk stack was built or checked at.
    uint32_t stackCounter = 0;
    // The page and entry sizes the page objects are made for.
    int32_t shapePageSize = 0;
    int32_t shapeEntrySize = 0;
    std::unique_ptr<KPZIndexPage> path[kIndexMaxDepth];
    KPZIndexPage sibling[2];
    KPZIndexPage scratch;
    // The entry a split hands up.
    uint32_t upChild = 0;
    int32_t upRecord = 0;
    String upKey;
    bool pagesWritten = false;
    bool announced = false;
    bool announcedSeveral = false;
    bool rebuilding = false;
    bool held = false;
    // Moves whenever pages may differ from those read before: another
    // counter or page count under the lock, a change through this object.
    uint64_t pageState = 1;
    uint32_t stateCounter = 0;
    uint32_t statePages = 0;
    int32_t statePageSize = 0;
    std::unique_ptr<KPZPageCache> cache;
};

} // namespace vorn
