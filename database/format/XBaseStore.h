// What the xBase format code (tables, memo files, index files) needs of a
// file: positional reads and writes, its length and byte-range locks. The
// engine serves it from its File objects; the SQL library serves the same
// code from the host's file functions. Nothing here or in the format code
// reaches past engine/foundation.
#pragma once

#include <cstdint>

namespace vorn {

// The open mode of a new file (the file layer's bits for read, write,
// create and truncate); other modes are the callers'.
inline constexpr int32_t kXBaseOpenCreate = 0x0F;

// The refusal of a file that a pack or a reindex put a new file in place of.
// No parentheses: tag errors reach scripts entity-encoded.
inline constexpr char kXBaseFileReplaced[] =
    "The file was replaced by a pack or a reindex since it was opened; open it again";

// One open file. Deleting it closes it.
class XBaseStore {
public:
    virtual ~XBaseStore() = default;
    // Bytes read at offset (fewer only at the end of the file), -1 on failure.
    virtual int32_t ReadAt(int64_t offset, void* buffer, int32_t count) = 0;
    // ReadAt of bytes read again and again (a header after every lock, a
    // record by number); a store may serve it without a system call where
    // that shows the same bytes.
    virtual int32_t ReadViewed(int64_t offset, void* buffer, int32_t count) { return ReadAt(offset, buffer, count); }
    // count on success, -1 (or a short count) on failure.
    virtual int32_t WriteAt(int64_t offset, const void* buffer, int32_t count) = 0;
    // The file's length in bytes, -1 on failure.
    virtual int64_t Length() = 0;
    // Waits until the range is granted or the run's time-out ends the wait.
    virtual bool Lock(bool exclusive, int64_t offset, int64_t length) = 0;
    virtual bool Unlock(int64_t offset, int64_t length) = 0;
    // The range at once or not at all: 1 granted, 0 another handle holds
    // part of it, -1 failure. A store that cannot tell without waiting says
    // it is held.
    virtual int TryLock(bool, int64_t, int64_t) { return 0; }
    // Gives up the operating-system handle; the next use reopens it.
    virtual void Deactivate() {}
    // While on, a store may keep what it read in blocks and serve later
    // reads from them (a statement's records); off, a write or a lock drops
    // them. Stores that keep nothing ignore it.
    virtual void KeepBlocks(bool) {}
    // The text of the last failure.
    virtual const char* ErrorText() = 0;
    // Whether the path the store was opened by now names another file, or
    // none. A store that cannot tell says no.
    virtual bool Replaced() { return false; }
};

// Opens stores by location and relative path, and tells the time.
class XBaseStoreOpener {
public:
    virtual ~XBaseStoreOpener() = default;
    // A new store, or null with the reason in ErrorText.
    virtual XBaseStore* Open(int32_t location, const char* path, int32_t mode) = 0;
    virtual const char* ErrorText() = 0;
    // Seconds since 1970 (UTC), for the date a table header carries.
    virtual int64_t NowSeconds();
    // Whether the request was stopped (timed out, ended): long steps give up.
    virtual bool Stopped() { return false; }
};

// Releases a locked range on every path out of a scope.
class XBaseRangeLock {
public:
    XBaseRangeLock(XBaseStore* store, int64_t offset, int64_t length) : store(store), offset(offset), length(length) {}
    ~XBaseRangeLock() {
        if (held) store->Unlock(offset, length);
    }
    XBaseRangeLock(const XBaseRangeLock&) = delete;
    XBaseRangeLock& operator=(const XBaseRangeLock&) = delete;

    bool Take(bool exclusive) { return held = store->Lock(exclusive, offset, length); }
    void Release() {
        if (held) store->Unlock(offset, length);
        held = false;
    }

private:
    XBaseStore* store;
    int64_t offset;
    int64_t length;
    bool held = false;
};

} // namespace vorn
