// The file layer every part of the engine goes through: File, one open file,
// and FileManager, the file system as a request may see it, with the pool
// that caps how many operating-system handles one request holds at once.
#pragma once

#include <cstdint>

#include "engine/foundation/List.h"
#include "engine/foundation/String.h"

namespace vorn {

class FileManager;
class VornApplication;

// Location kinds: every relative path names a file under one of these roots.
inline constexpr int32_t LocationData = 0;
inline constexpr int32_t LocationScript = 1;
inline constexpr int32_t LocationTemporary = 2; // the data directory when none is configured

// Open modes (a bit set).
inline constexpr int32_t OpenRead = 0x01;
inline constexpr int32_t OpenWrite = 0x02;
inline constexpr int32_t OpenCreate = 0x04;    // create when missing
inline constexpr int32_t OpenTruncate = 0x08;  // create or truncate
inline constexpr int32_t OpenAppend = 0x10;    // create when missing, positioned at the end
inline constexpr int32_t OpenExclusive = 0x20; // create, failing when the file exists
inline constexpr int32_t OpenUnpooled = 0x40;  // never closed by the handle pool
// Every write goes to the end of the file as it is then, also after the pool
// reopened the file: writers sharing a file never overwrite each other.
inline constexpr int32_t OpenAppendWrites = 0x80;

// Results of FileManager::LockFile.
inline constexpr int32_t LockFileTaken = 0;
inline constexpr int32_t LockFileTimedOut = 1;
inline constexpr int32_t LockFileFailed = 2;

// Modes of File::Lock.
inline constexpr int32_t LockShared = 0;
inline constexpr int32_t LockExclusive = 1;

// Which file a name led to: what a lock holder keeps, so that it touches and
// removes only the lock file it made, never one another holder made after it.
// The text tells files apart that reuse a deleted file's number.
struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    String text;
};

// One open file. Every operation that fails leaves a message in ErrorText and
// returns its failure value (false, null or -1). Files are owned by whoever
// opened them; deleting one takes it off its manager's lists.
class File {
public:
    // The path is copied.
    File(FileManager* owner, const char* path);
    virtual ~File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    virtual bool OwnerID(int64_t* outId) = 0;
    virtual bool GroupID(int64_t* outId) = 0;
    // Bytes read (0 at the end), -1 on failure.
    virtual int32_t Read(void* buffer, int32_t count) = 0;
    // Bytes written, -1 on failure.
    virtual int32_t Write(const void* buffer, int32_t count) = 0;
    // Read and Write at an offset from the start, in one step where the
    // platform allows. The position Read and Write use is left undefined.
    virtual int32_t ReadAt(int64_t offset, void* buffer, int32_t count);
    virtual int32_t WriteAt(int64_t offset, const void* buffer, int32_t count);
    // ReadAt for bytes read again and again (a header after every lock, records
    // by number): where every reader of the file shares one page cache, served
    // without a system call from a view of the file as long as it was when the
    // view was made. Bytes the view cannot show are read.
    virtual int32_t ReadViewed(int64_t offset, void* buffer, int32_t count) { return ReadAt(offset, buffer, count); }
    // Moves to an offset from the start; the new position or -1.
    virtual int64_t Seek(int64_t offset) = 0;
    virtual int64_t Tell() = 0;
    // Leaves the position where it was.
    virtual int64_t Length() = 0;
    virtual bool IsDirectory(bool* outFlag) = 0;
    // Byte-range lock of [offset, offset + length): mode LockExclusive (1),
    // any other value shared. Waits until granted, or until the run is timed
    // out or stopped.
    virtual bool Lock(int32_t mode, int64_t offset, int64_t length) = 0;
    // The same range at once or not at all: 1 granted, 0 another handle
    // holds part of it, -1 failure. A file that cannot tell waits as Lock.
    virtual int32_t TryLock(int32_t mode, int64_t offset, int64_t length) {
        return Lock(mode, offset, length) ? 1 : -1;
    }
    // Releases the memory mapping; the file stays open.
    virtual void Close() = 0;
    // Must name a range exactly as it was locked.
    virtual bool Unlock(int64_t offset, int64_t length) = 0;
    // A read-only view of length bytes at offset (length -1: up to the end of
    // the file), valid until the next Map, Close or the file's deletion.
    virtual const void* Map(int64_t offset, int64_t length) = 0;
    // Reopens the file after the pool closed it, at the position it had; on
    // failure the message goes into error.
    virtual bool Activate(String& error) = 0;
    // Closes the operating-system handle, remembering the position.
    virtual bool Deactivate() = 0;
    // A null-form text leaves the stored message unchanged.
    virtual void SetError(const String& text);
    virtual const String& ErrorText() const;

    // The device and inode of the open file, or (ofPath) of the file its path
    // leads to now: a holder tells by them whether the file it has open was
    // replaced under its name. False when unknown (the base cannot tell).
    virtual bool Identify(bool ofPath, FileIdentity* out) {
        (void)ofPath;
        (void)out;
        return false;
    }

    // Whether closing the handle now would lose something the reopened file
    // could not get back (a byte-range lock or a mapping): the pool passes
    // such files by.
    virtual bool Pinned() const { return false; }

    // Whether the path the file was opened by now names another file, or
    // none: a writer whose lock was granted after the file was renamed over
    // or deleted would write where nobody reads.
    virtual bool Replaced() { return false; }

    void SetError(const char* text);
    const char* Path() const { return path.Text(); }
    FileManager* Manager() const { return owner; }

protected:
    friend class FileManager; // detaches its files when it goes first

    FileManager* owner;
    String path;
    String error;
};

// The file system of one request. Paths are either absolute paths of the host
// system (the *Path operations) or a location kind with a path relative to
// that location's root, which the manager resolves and refuses when it would
// leave the root. Failures leave a message in ErrorText (success does not
// clear it).
class FileManager {
public:
    explicit FileManager(VornApplication* owner);
    virtual ~FileManager();
    FileManager(const FileManager&) = delete;
    FileManager& operator=(const FileManager&) = delete;

    // A File, or null.
    virtual File* Open(int32_t kind, const char* path, int32_t mode) = 0;
    virtual File* OpenPath(const char* path, int32_t mode) = 0;
    // LockFileTaken, LockFileTimedOut or LockFileFailed. The lock is the file
    // of that very name; deleting the file releases it. taken (may be null)
    // receives the identity of the lock file made.
    virtual int32_t LockFile(int32_t kind, const char* path, FileIdentity* taken = nullptr) = 0;
    virtual int32_t LockFilePath(const char* path, FileIdentity* taken = nullptr) = 0;
    // The modification time of the file to now, when the name still leads to
    // that very file; never creates one. False (error set) otherwise.
    virtual bool TouchIdentified(int32_t kind, const char* path, const FileIdentity& identity) = 0;
    // Deletes the file when the name still leads to that very file. True when
    // the name no longer leads to it afterwards (deleted, gone or replaced),
    // false (error set) when it could not be deleted.
    virtual bool DeleteIdentified(int32_t kind, const char* path, const FileIdentity& identity) = 0;
    virtual bool Delete(int32_t kind, const char* path) = 0;
    virtual bool DeletePath(const char* path) = 0;
    // An existing target is overwritten.
    virtual bool Copy(int32_t fromKind, const char* from, int32_t toKind, const char* to) = 0;
    virtual bool CopyPath(const char* from, const char* to) = 0;
    // An existing target is replaced.
    virtual bool Rename(int32_t fromKind, const char* from, int32_t toKind, const char* to) = 0;
    virtual bool RenamePath(const char* from, const char* to) = 0;
    // Exchanges the names of two existing files of a location in one step.
    // own (ownCount entries, may be null) are files the caller holds open:
    // unlike other open handles they do not stand in the way. False when a
    // file is missing or the file system cannot exchange (the base never can).
    virtual bool Exchange(int32_t kind, const char* a, const char* b, File* const* own, int32_t ownCount);
    // Modification time to now; a missing file is created.
    virtual bool Touch(int32_t kind, const char* path) = 0;
    virtual bool TouchPath(const char* path) = 0;
    virtual bool Exists(int32_t kind, const char* path, bool* outExists) = 0;
    virtual bool ExistsPath(const char* path, bool* outExists) = 0;
    virtual bool Size(int32_t kind, const char* path, uint32_t* outSize) = 0;
    virtual bool SizePath(const char* path, uint32_t* outSize) = 0;
    // Size without the 4 GiB limit (the base widens Size).
    virtual bool Size64(int32_t kind, const char* path, int64_t* outSize);
    virtual bool IsDirectory(int32_t kind, const char* path, bool* outFlag) = 0;
    virtual bool IsDirectoryPath(const char* path, bool* outFlag) = 0;
    // Modification time in seconds since 1970.
    virtual bool Time(int32_t kind, const char* path, int64_t* outTime) = 0;
    virtual bool TimePath(const char* path, int64_t* outTime) = 0;
    virtual bool MakeDirectory(int32_t kind, const char* path) = 0;
    virtual bool MakeDirectoryPath(const char* path) = 0;
    virtual bool RemoveDirectory(int32_t kind, const char* path) = 0;
    virtual bool RemoveDirectoryPath(const char* path) = 0;
    virtual bool MakeSymbolicLink(int32_t kind, const char* path, int32_t linkKind, const char* link) = 0;
    virtual bool MakeSymbolicLinkPath(const char* path, const char* link) = 0;
    // Permission bits.
    virtual bool Mode(int32_t kind, const char* path, int32_t* outMode) = 0;
    virtual bool ModePath(const char* path, int32_t* outMode) = 0;
    virtual bool ChangeMode(int32_t kind, const char* path, int32_t mode) = 0;
    virtual bool ChangeModePath(const char* path, int32_t mode) = 0;
    // A new, uniquely named file in a directory of a location, named after the
    // prefix (which may not hold a separator); its location-relative name
    // goes to outName.
    virtual File* TemporaryName(int32_t kind, const char* directory, const char* prefix, String& outName,
                                int32_t mode) = 0;
    // A new file named after an absolute prefix; its absolute name to outName.
    virtual File* MakeTemporaryPath(const char* prefix, String& outName, int32_t mode) = 0;
    // A new file named after a location-relative prefix; the relative name
    // (prefix and suffix) to outName.
    virtual File* MakeTemporary(int32_t kind, const char* prefix, String& outName, int32_t mode) = 0;
    // Appends a new String per entry ("." and ".." included) at the tail of
    // the list, which should own its items.
    virtual bool ListDirectory(int32_t kind, const char* path, List<String>& outList) = 0;

    virtual const String& ErrorText() const;
    // A null-form text leaves the stored message unchanged.
    virtual void SetError(const String& text);
    virtual char PathSeparator() = 0;
    // A new normalised, relative path text (malloc'ed; the caller frees it),
    // with its length and allocated size.
    virtual char* MakePath(const char* text, int32_t* outLength, int32_t* outSize) = 0;

    // --- The handle pool ------------------------------------------------------
    // 1 when count more handles may be opened (closing the files used longest
    // ago as needed), 0 when the request cannot be met; then nothing changes.
    virtual int32_t ActivateFiles(int32_t count);
    // Puts a newly opened file at the head of the active list.
    virtual File* Register(File* file);
    // Takes the file off whichever list holds it.
    virtual void Forget(File* file);
    // Closes an active file's handle; false (and nothing changed) when the
    // file is not active or holds a lock or a mapping.
    virtual bool Deactivate(File* file);
    // Makes the file active (reopening it when the pool closed it) and the
    // most recently used.
    virtual bool Activate(File* file);
    // 0 means no limit.
    virtual void SetMaxOpen(int32_t count);
    // Stored for callers; the file layer does not consult it.
    virtual void SetSecondLimit(int32_t value);

    void SetError(const char* text);
    VornApplication* Application() const { return owner; }
    int32_t MaxOpen() const { return maxOpen; }
    int32_t SecondLimit() const { return secondLimit; }
    int32_t ActiveCount() const { return active.Count(); }
    int32_t InactiveCount() const { return inactive.Count(); }
    bool IsActive(File* file);
    bool IsInactive(File* file);

    // The application's text of the last system error (the platform's when
    // the application has none).
    const char* SystemErrorText();

protected:
    VornApplication* owner;
    String error;
    int32_t maxOpen = 0;
    int32_t secondLimit = 0;
    List<File> active{false};   // head: opened or reopened last
    List<File> inactive{false}; // closed by the pool, to be reopened
};

} // namespace vorn
