#include "database/xbase3/XBaseFileStore.h"

#include "engine/app/VornApplication.h"
#include "engine/files/File.h"
#include "engine/foundation/Messages.h"
#include "platform/Time.h"

namespace vorn {

XBaseFileStore::XBaseFileStore(File* file) : file(file) {
    FileIdentity identity;
    if (file->Identify(false, &identity)) {
        identified = true;
        device = identity.device;
        inode = identity.inode;
    }
}

XBaseFileStore::~XBaseFileStore() { delete file; }

int32_t XBaseFileStore::ReadAt(int64_t offset, void* buffer, int32_t count) {
    return file->ReadAt(offset, buffer, count);
}

int32_t XBaseFileStore::ReadViewed(int64_t offset, void* buffer, int32_t count) {
    return file->ReadViewed(offset, buffer, count);
}

int32_t XBaseFileStore::WriteAt(int64_t offset, const void* buffer, int32_t count) {
    return file->WriteAt(offset, buffer, count);
}

int64_t XBaseFileStore::Length() { return file->Length(); }

bool XBaseFileStore::Lock(bool exclusive, int64_t offset, int64_t length) {
    if (!file->Lock(exclusive ? LockExclusive : LockShared, offset, length)) return false;
    return StillInPlace(exclusive, offset, length);
}

int XBaseFileStore::TryLock(bool exclusive, int64_t offset, int64_t length) {
    int32_t got = file->TryLock(exclusive ? LockExclusive : LockShared, offset, length);
    if (got <= 0) return got;
    return StillInPlace(exclusive, offset, length) ? 1 : -1;
}

bool XBaseFileStore::StillInPlace(bool exclusive, int64_t offset, int64_t length) {
    if (!exclusive || !Replaced()) return true;
    file->Unlock(offset, length);
    file->SetError(kXBaseFileReplaced);
    return false;
}

bool XBaseFileStore::Replaced() {
    if (!identified) return false;
    // Only the path tells: a handle the pool reopened meanwhile may already
    // be on the new file.
    FileIdentity now;
    return !file->Identify(true, &now) || now.device != device || now.inode != inode;
}

bool XBaseFileStore::Unlock(int64_t offset, int64_t length) { return file->Unlock(offset, length); }

void XBaseFileStore::Deactivate() {
    FileManager* manager = file->Manager();
    if (manager)
        manager->Deactivate(file);
    else
        file->Deactivate();
}

const char* XBaseFileStore::ErrorText() { return file->ErrorText().Text(); }

XBaseStore* XBaseFileOpener::Open(int32_t location, const char* path, int32_t mode) {
    FileManager* manager = application->GetFileManager();
    if (!manager) return nullptr;
    File* file = manager->Open(location, path, mode);
    return file ? new XBaseFileStore(file) : nullptr;
}

const char* XBaseFileOpener::ErrorText() {
    FileManager* manager = application->GetFileManager();
    return manager ? manager->ErrorText().Text() : kNoFileManager;
}

int64_t XBaseFileOpener::NowSeconds() { return platform::NowSeconds(); }

bool XBaseFileOpener::Stopped() { return application && application->StopRequested(); }

} // namespace vorn
