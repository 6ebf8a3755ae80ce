// Files, byte-range locks, mappings and path operations with the behaviour the
// file layer was designed around:
//
// - A file that is open through a FileHandle of this process cannot be
//   renamed, replaced, deleted or copied over: those calls fail with EACCES
//   (IsAccessDenied) until every such handle is closed, so retry loops apply
//   and no holder is left writing into a file that lost its name. Handles
//   opened with kOpenShareDelete do not count.
// - Byte-range locks belong to one FileHandle and exclude every other handle,
//   of this process or another; an unlock must name a range exactly as it was
//   locked. Locks are advisory: they stop other lockers, not reads or writes.
// - Directories cannot be opened as files.
//
// Failures return false, -1 or null and leave the error number in
// LastError() (Errors.h); a FileHandle also keeps its own last error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vorn::platform {

// Open mode bits.
constexpr int kOpenRead = 0x01;
constexpr int kOpenWrite = 0x02;
constexpr int kOpenCreate = 0x04;    // create when missing
constexpr int kOpenTruncate = 0x08;  // create when missing, empty it when present
constexpr int kOpenAppend = 0x10;    // create when missing, start at the end (later seeks are honoured)
constexpr int kOpenExclusive = 0x20; // create; fail with EEXIST when present
constexpr int kOpenUnpooled = 0x40;  // the file layer's own bit; ignored here
constexpr int kOpenAppendWrites = 0x80; // every write goes to the current end (O_APPEND), also after Reopen
// The handle does not stand in the way of renaming or deleting the file (for
// readers of lock files, which their owner deletes at any time).
constexpr int kOpenShareDelete = 0x100;

// What stat() tells about a path or handle.
struct FileInfo {
    int64_t size = 0;
    int64_t modifiedSeconds = 0; // since 1970, UTC
    int32_t modifiedNanoseconds = 0;
    // The inode's change time: moves on with every write and every time
    // set, and no program can set it back.
    int64_t changedSeconds = 0;
    int32_t changedNanoseconds = 0;
    uint32_t mode = 0; // type and permission bits (st_mode)
    bool isDirectory = false;
    bool isRegular = false;
    uint64_t device = 0;
    uint64_t inode = 0;
    uint32_t owner = 0;
    uint32_t group = 0;
};

class FileHandle {
public:
    FileHandle() = default;
    ~FileHandle(); // closes
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    // Opens with the mode bits above. The exclusive bit wins over truncate,
    // truncate over create/append. New files get 0666 less the umask. Fails
    // with EBUSY when this handle is already open, EISDIR for a directory.
    bool Open(const char* path, int mode);
    // Opens again after Close, as the handle pool does: only the access bits
    // and kOpenAppendWrites of mode count (never creating or truncating),
    // then the position is restored. Fails when the file has gone.
    bool Reopen(const char* path, int mode, int64_t position);
    // Closes the descriptor, releasing every lock the handle holds. A mapping
    // made from the handle stays valid. Closing a closed handle succeeds.
    bool Close();
    bool IsOpen() const { return fd_ >= 0; }
    int Descriptor() const { return fd_; }
    int Error() const { return error_; } // last error of this handle, 0 if none

    // Reads up to count bytes (fewer only at the end of the file); 0 at the end.
    // After an error past the first byte the bytes read so far are returned.
    int64_t Read(void* buffer, int64_t count);
    // Writes all count bytes; a failure part way returns the bytes written
    // (so a short count means failure), a failure before any byte -1.
    int64_t Write(const void* buffer, int64_t count);
    // Read and Write at an offset from the start, leaving the position alone
    // (one system call where Seek and Read take two).
    int64_t ReadAt(int64_t offset, void* buffer, int64_t count);
    int64_t WriteAt(int64_t offset, const void* buffer, int64_t count);
    int64_t Seek(int64_t offset); // from the start; the new position
    int64_t SeekToEnd();          // the new position, i.e. the length
    int64_t Tell();
    int64_t Length(); // leaves the position alone
    bool Stat(FileInfo& out);
    // Access and modification time to now (the wall clock's, see Time.h).
    bool TouchTimes();

    // Byte-range locks over [offset, offset + length). Offsets past the end
    // of the file are fine. exclusive=false takes a shared lock; shared locks
    // of any handles may overlap.
    //   TryLock fails at once with EAGAIN (IsLockConflict) when another handle
    //   holds a conflicting range; Lock waits until it is granted.
    //   A range that conflicts with one held by this same handle (an exclusive
    //   range overlapping anything this handle holds, or a shared one
    //   overlapping an exclusive one) could never be granted: EDEADLK at once.
    //   A length of 0 locks no byte: it always succeeds, conflicts with
    //   nothing and is released by an unlock of the same offset and length 0.
    //   Negative values, or an end past INT64_MAX, fail with EINVAL.
    //   An exclusive lock needs a handle opened for writing, a shared one a
    //   handle opened for reading (EBADF otherwise).
    bool TryLock(int64_t offset, int64_t length, bool exclusive);
    bool Lock(int64_t offset, int64_t length, bool exclusive);
    // Releases a range locked through this handle with exactly this offset and
    // length (one of them when locked several times); ENOLCK otherwise. Bytes
    // still covered by another held shared range stay locked.
    bool Unlock(int64_t offset, int64_t length);
    bool HoldsLocks() const { return !held_.empty(); }
    // Whether this handle is open on that file and counts against renames.
    bool Counts(uint64_t device, uint64_t inode) const {
        return fd_ >= 0 && registered_ && device_ == device && inode_ == inode;
    }
    size_t HeldLockCount() const { return held_.size(); }

private:
    struct Range {
        int64_t offset;
        int64_t length;
        bool exclusive;
    };
    bool OpenWithFlags(const char* path, int flags, bool registerOpen);
    bool Fail(int error);
    int64_t FailCount(int error);
    bool TakeLock(int64_t offset, int64_t length, bool exclusive, bool wait);

    int fd_ = -1;
    int error_ = 0;
    bool registered_ = false;
    uint64_t device_ = 0;
    uint64_t inode_ = 0;
    std::vector<Range> held_;
};

// A read-only view of part of a file. The view outlives the handle it was
// made from; it is released by Unmap, a new Map or destruction.
class Mapping {
public:
    Mapping() = default;
    ~Mapping();
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;

    // Maps length bytes from offset. Any offset works (the view is aligned to
    // a page internally). Fails with EINVAL for a length of 0 or less, a
    // negative offset or a range that reaches past the end of the file
    // (touching such bytes would kill the process).
    const void* Map(FileHandle& file, int64_t offset, int64_t length);
    void Unmap();
    const void* Data() const { return data_; }
    int64_t Length() const { return length_; }
    bool IsMapped() const { return data_ != nullptr; }

private:
    void* base_ = nullptr;
    size_t baseLength_ = 0;
    const void* data_ = nullptr;
    int64_t length_ = 0;
};

// Whether every handle of the open file reads through one page cache that no
// other machine writes behind (a local disk or memory file system), so that a
// shared mapping shows what a read would return at that moment. False on
// network file systems, where only a read after a lock sees other hosts'
// writes.
bool SharesOnePageCache(FileHandle& file);

// Copies count bytes out of a shared mapping. False, with the copy unusable,
// when part of the bytes no longer lies inside the file (another process cut
// it short): touching them would otherwise kill the process.
bool CopyFromMapping(void* to, const void* from, size_t count);

// Reads the names in a directory, "." and ".." included, in the order the
// file system keeps them.
class DirectoryReader {
public:
    DirectoryReader() = default;
    ~DirectoryReader();
    DirectoryReader(const DirectoryReader&) = delete;
    DirectoryReader& operator=(const DirectoryReader&) = delete;

    bool Open(const char* path);
    // The next name, valid until the next call; null at the end or on a
    // failure (then Failed() is true and LastError() tells why).
    const char* Next();
    bool Failed() const { return failed_; }
    void Close();

private:
    void* dir_ = nullptr;
    bool failed_ = false;
};

// Path queries. They follow symbolic links and never open the file.
bool StatPath(const char* path, FileInfo& out);
// StatPath with the result shared by every caller of the process: a result
// is taken again once anything in the path's folder changed (the kernel
// tells at once of changes made on this machine), and at the latest
// kStatShareMilliseconds after it was taken (changes the kernel does not
// report: other machines' on a shared file system, moved parent folders).
// An absolute path only; others are asked every time.
inline constexpr int64_t kStatShareMilliseconds = 1000;
bool StatPathShared(const char* path, FileInfo& out);
// Whether StatPathShared shares its answers (it does unless told otherwise).
// A process that runs one program and ends gains nothing from watching
// folders, whose first watch can cost more than the run: it asks the file
// system each time instead.
void SetStatSharing(bool on);
// Between these two calls the calling thread's StatPathShared reads the
// change notices no more: those that arrived before the begin count, later
// ones from the next begin (or the end) on. For a burst of questions that
// belong together, such as the checks that open a web request.
void BeginSharedStatBatch();
void EndSharedStatBatch();
// exists=false with success when the path or a directory on it is missing.
bool PathExists(const char* path, bool& exists);
bool PathSize(const char* path, int64_t& size);
bool PathModifiedTime(const char* path, int64_t& seconds);
bool PathIsDirectory(const char* path, bool& isDirectory);
bool PathMode(const char* path, int& mode); // permission bits, 07777

// Path changes.
bool TouchPath(const char* path); // modification time to now; creates a missing file
bool SetModifiedTime(const char* path, int64_t seconds, int32_t nanoseconds = 0);
bool ChangeMode(const char* path, int mode); // permission bits, 07777
bool MakeDirectory(const char* path);
bool RemoveDirectory(const char* path);
bool MakeSymbolicLink(const char* target, const char* linkPath);
// Removes a file; EACCES while it is open through a handle of this process.
bool DeleteFile(const char* path);
// Copies a file's bytes, permission bits and times; an existing target is
// overwritten in place. EACCES when the target is open through a handle of
// this process, EINVAL when both name the same file, EISDIR for directories.
bool CopyFile(const char* from, const char* to);
// Renames, atomically replacing an existing target. Across file systems the
// bytes are copied beside the target, renamed over it and the source is
// removed. EACCES while the source or the target is open in this process.
bool RenameFile(const char* from, const char* to);
// Renames only when no file of the new name exists (EEXIST otherwise); the
// check and the rename are one step, so of several racing callers exactly one
// wins. EACCES while the source is open in this process.
bool RenameFileNoReplace(const char* from, const char* to);
// RenameFile for a caller that itself holds fromHeld handles open on the file
// at from and toHeld on the file at to: the rename goes ahead when this
// process holds no others on either (in one step with the check).
bool RenameFileHeld(const char* from, const char* to, int fromHeld, int toHeld);

// Exchanges the names of two existing files in one step, so that each name
// leads to the other's file. Open handles of this process stand in the way
// (EACCES) as for RenameFile, except the caller's own, listed in own: a
// holder may swap files under the handles it keeps. ENOENT when either is
// missing. Where the file system cannot exchange in one step (network file
// systems), ExchangeByRenames does it instead.
bool ExchangeFiles(const char* a, const char* b, const FileHandle* const* own, size_t ownCount);

// The exchange in three renames through a name of this process beside a: each
// name always leads to a whole file, but a alone is missing for a moment. A
// failed step puts back what the earlier ones moved.
bool ExchangeByRenames(const char* a, const char* b);

// Appends one record to a file with a single write on a descriptor opened
// for appending (the file is created with 0666 less the umask when missing),
// so records of concurrent writers of any process land whole, one after the
// other. A short write (a full disk) fails with ENOSPC.
bool AppendRecord(const char* path, const void* bytes, size_t count);

// Whether a handle of this process that counts against renames and deletes
// holds the file at path open.
bool IsOpenInProcess(const char* path);

namespace test_hooks {
// Makes RenameFileNoReplace take its link-and-unlink path, as on file systems
// without the atomic no-replace rename.
void ForceNoReplaceFallback(bool force);
} // namespace test_hooks

} // namespace vorn::platform
