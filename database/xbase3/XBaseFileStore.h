// The xBase format code's files served by the engine's file layer: a store is
// one File of the request's FileManager, whose lock waits end at the run's
// time-out.
#pragma once

#include "database/format/XBaseStore.h"

namespace vorn {

class File;
class FileManager;
class VornApplication;

class XBaseFileStore : public XBaseStore {
public:
    // Takes the file over and notes which file it is.
    explicit XBaseFileStore(File* file);
    ~XBaseFileStore() override;

    int32_t ReadAt(int64_t offset, void* buffer, int32_t count) override;
    int32_t ReadViewed(int64_t offset, void* buffer, int32_t count) override;
    int32_t WriteAt(int64_t offset, const void* buffer, int32_t count) override;
    int64_t Length() override;
    bool Lock(bool exclusive, int64_t offset, int64_t length) override;
    bool Unlock(int64_t offset, int64_t length) override;
    int TryLock(bool exclusive, int64_t offset, int64_t length) override;
    void Deactivate() override;
    const char* ErrorText() override;
    bool Replaced() override;

    File* GetFile() const { return file; }

private:
    // A granted exclusive range on a file since replaced is given back.
    bool StillInPlace(bool exclusive, int64_t offset, int64_t length);

    File* file;
    // The file as opened: a write lock granted on a file that another request
    // has since put a new file in place of (a pack, a reindex) is refused.
    bool identified = false;
    uint64_t device = 0;
    uint64_t inode = 0;
};

// Opens stores through the application's FileManager.
class XBaseFileOpener : public XBaseStoreOpener {
public:
    explicit XBaseFileOpener(VornApplication* application) : application(application) {}

    XBaseStore* Open(int32_t location, const char* path, int32_t mode) override;
    const char* ErrorText() override;
    int64_t NowSeconds() override;
    bool Stopped() override;

private:
    VornApplication* application;
};

} // namespace vorn
