// The system's native file layer: File and FileManager on the POSIX file
// system, through the platform layer.
#pragma once

#include <cstdint>

#include "engine/files/File.h"
#include "engine/files/PosixFilePath.h"
#include "platform/Files.h"

namespace vorn {

class PosixFileManager;

class PosixFile : public File {
public:
    // Not yet open: the manager opens the handle (OpenHandle) and registers it.
    PosixFile(FileManager* owner, const char* path, int32_t mode);
    ~PosixFile() override;

    bool OwnerID(int64_t* outId) override;
    bool GroupID(int64_t* outId) override;
    int32_t Read(void* buffer, int32_t count) override;
    int32_t Write(const void* buffer, int32_t count) override;
    int32_t ReadAt(int64_t offset, void* buffer, int32_t count) override;
    int32_t WriteAt(int64_t offset, const void* buffer, int32_t count) override;
    int32_t ReadViewed(int64_t offset, void* buffer, int32_t count) override;
    int64_t Seek(int64_t offset) override;
    int64_t Tell() override;
    int64_t Length() override;
    bool IsDirectory(bool* outFlag) override;
    bool Lock(int32_t mode, int64_t offset, int64_t length) override;
    int32_t TryLock(int32_t mode, int64_t offset, int64_t length) override;
    void Close() override;
    bool Unlock(int64_t offset, int64_t length) override;
    const void* Map(int64_t offset, int64_t length) override;
    bool Activate(String& error) override;
    bool Deactivate() override;
    bool Pinned() const override;
    bool Replaced() override;
    // The open file's device and inode (false when the pool closed it).
    bool Identify(platform::FileInfo& out);
    bool Identify(bool ofPath, FileIdentity* out) override;

    // Opens the stored path with the stored mode (create, truncate and
    // exclusive bits included); the platform's error is left for the caller.
    bool OpenHandle();
    bool IsOpen() const { return handle.IsOpen(); }
    // The handle, for the manager's operations that let a holder rename
    // through its own handles.
    const platform::FileHandle& Handle() const { return handle; }
    int32_t OpenMode() const { return mode; }

private:
    // Reopens the file through the manager when the pool closed it.
    bool EnsureActive();
    void SetSystemError();

    platform::FileHandle handle;
    platform::Mapping mapping;
    // The file for ReadViewed; it pins nothing, and goes with the handle.
    platform::Mapping view;
    bool Viewed(int64_t offset, int32_t count) const {
        return view.IsMapped() && count > 0 && offset >= 0 && offset <= view.Length() - count;
    }
    // Viewed reads the view cannot serve before one is made (again, for a
    // file that grew); -1: never, the file system is not local or the file
    // was cut short under a view.
    static constexpr int32_t kReadsBeforeView = 16;
    int32_t readsToView = kReadsBeforeView;
    int32_t mode;
    int64_t savedPosition = 0;
    // The position of Read and Write, -1 when the handle's own is used.
    int64_t position = -1;
    // The file the path named when it was opened.
    uint64_t openedDevice = 0;
    uint64_t openedInode = 0;
    bool identified = false;
};

class PosixFileManager : public FileManager {
public:
    explicit PosixFileManager(VornApplication* owner);
    ~PosixFileManager() override;

    File* Open(int32_t kind, const char* path, int32_t mode) override;
    File* OpenPath(const char* path, int32_t mode) override;
    int32_t LockFile(int32_t kind, const char* path, FileIdentity* taken = nullptr) override;
    int32_t LockFilePath(const char* path, FileIdentity* taken = nullptr) override;
    bool TouchIdentified(int32_t kind, const char* path, const FileIdentity& identity) override;
    bool DeleteIdentified(int32_t kind, const char* path, const FileIdentity& identity) override;
    bool Delete(int32_t kind, const char* path) override;
    bool DeletePath(const char* path) override;
    bool Copy(int32_t fromKind, const char* from, int32_t toKind, const char* to) override;
    bool CopyPath(const char* from, const char* to) override;
    bool Rename(int32_t fromKind, const char* from, int32_t toKind, const char* to) override;
    bool RenamePath(const char* from, const char* to) override;
    int HeldHandles(const char* path);
    bool Exchange(int32_t kind, const char* a, const char* b, File* const* own, int32_t ownCount) override;
    bool Touch(int32_t kind, const char* path) override;
    bool TouchPath(const char* path) override;
    bool Exists(int32_t kind, const char* path, bool* outExists) override;
    bool ExistsPath(const char* path, bool* outExists) override;
    bool Size(int32_t kind, const char* path, uint32_t* outSize) override;
    bool SizePath(const char* path, uint32_t* outSize) override;
    bool Size64(int32_t kind, const char* path, int64_t* outSize) override;
    bool IsDirectory(int32_t kind, const char* path, bool* outFlag) override;
    bool IsDirectoryPath(const char* path, bool* outFlag) override;
    bool Time(int32_t kind, const char* path, int64_t* outTime) override;
    bool TimePath(const char* path, int64_t* outTime) override;
    bool MakeDirectory(int32_t kind, const char* path) override;
    bool MakeDirectoryPath(const char* path) override;
    bool RemoveDirectory(int32_t kind, const char* path) override;
    bool RemoveDirectoryPath(const char* path) override;
    bool MakeSymbolicLink(int32_t kind, const char* path, int32_t linkKind, const char* link) override;
    bool MakeSymbolicLinkPath(const char* path, const char* link) override;
    bool Mode(int32_t kind, const char* path, int32_t* outMode) override;
    bool ModePath(const char* path, int32_t* outMode) override;
    bool ChangeMode(int32_t kind, const char* path, int32_t mode) override;
    bool ChangeModePath(const char* path, int32_t mode) override;
    File* TemporaryName(int32_t kind, const char* directory, const char* prefix, String& outName,
                        int32_t mode) override;
    File* MakeTemporaryPath(const char* prefix, String& outName, int32_t mode) override;
    File* MakeTemporary(int32_t kind, const char* prefix, String& outName, int32_t mode) override;
    bool ListDirectory(int32_t kind, const char* path, List<String>& outList) override;
    char PathSeparator() override { return '/'; }
    char* MakePath(const char* text, int32_t* outLength, int32_t* outSize) override;

    // The roots of the three locations: absolute paths of existing
    // directories. A refused root leaves its location unset.
    bool CheckScriptDirectory(const char* text);
    bool CheckDataDirectory(const char* text);
    bool CheckTemporaryDirectory(const char* text);
    // A location-relative path as an absolute one inside its root; the caller
    // deletes *out. Refuses paths that leave the root, name a stream (':') or
    // a reserved device name.
    bool ResolvePath(int32_t kind, const char* relative, PosixFilePath** out);
    // AUX, CON, NUL, PRN, COM1-9 and LPT1-9 (any case), alone or before a '.'.
    bool IsReservedName(const char* name);

    // The configured roots (null when unset).
    PosixFilePath* ScriptDirectory() const { return scriptDirectory; }
    PosixFilePath* DataDirectory() const { return dataDirectory; }
    PosixFilePath* TemporaryDirectory() const { return temporaryDirectory; }

private:
    enum RootKind { ScriptRoot, DataRoot, TemporaryRoot };
    bool CheckDirectory(RootKind which, const char* text);
    // As ResolvePath, and also refuses the root itself, for operations that
    // would change it or put a file beside it.
    bool ResolveInside(int32_t kind, const char* relative, PosixFilePath** out);
    void SetSystemError();

    PosixFilePath* scriptDirectory = nullptr;
    PosixFilePath* dataDirectory = nullptr;
    PosixFilePath* temporaryDirectory = nullptr;
};

} // namespace vorn
