#include "engine/files/File.h"

#include "engine/app/VornApplication.h"
#include "platform/Errors.h"

namespace vorn {

// --- File ---------------------------------------------------------------------------

File::File(FileManager* owner, const char* path) : owner(owner), path(path) {}

File::~File() {
    if (owner) owner->Forget(this);
}

void File::SetError(const String& text) {
    if (!text.IsNull()) error.Assign(text);
}

void File::SetError(const char* text) {
    if (text) error.Assign(text);
}

const String& File::ErrorText() const { return error; }

int32_t File::ReadAt(int64_t offset, void* buffer, int32_t count) {
    if (Seek(offset) != offset) return -1;
    return Read(buffer, count);
}

int32_t File::WriteAt(int64_t offset, const void* buffer, int32_t count) {
    if (Seek(offset) != offset) return -1;
    return Write(buffer, count);
}

// --- FileManager --------------------------------------------------------------------

FileManager::FileManager(VornApplication* owner) : owner(owner) {}

// The lists own nothing: files outlive neither their opener nor this manager,
// and whoever still holds one deletes it.
FileManager::~FileManager() {
    for (File* file = active.First(); file; file = active.Next()) file->owner = nullptr;
    for (File* file = inactive.First(); file; file = inactive.Next()) file->owner = nullptr;
}

bool FileManager::Size64(int32_t kind, const char* path, int64_t* outSize) {
    uint32_t size = 0;
    if (!Size(kind, path, &size)) return false;
    if (outSize) *outSize = size;
    return true;
}

bool FileManager::Exchange(int32_t, const char*, const char*, File* const*, int32_t) {
    SetError("Exchanging files is not supported here");
    return false;
}

const String& FileManager::ErrorText() const { return error; }

void FileManager::SetError(const String& text) {
    if (!text.IsNull()) error.Assign(text);
}

void FileManager::SetError(const char* text) {
    if (text) error.Assign(text);
}

const char* FileManager::SystemErrorText() {
    const char* text = owner ? owner->LastSystemErrorText() : nullptr;
    return text ? text : platform::LastErrorText();
}

bool FileManager::IsActive(File* file) { return file && active.Find(file) != nullptr; }

bool FileManager::IsInactive(File* file) { return file && inactive.Find(file) != nullptr; }

int32_t FileManager::ActivateFiles(int32_t count) {
    if (maxOpen == 0) return 1;
    if (count > maxOpen) {
        String message("Simultaneous request for ");
        message.AppendInteger(count);
        message.Append(" file handles exceeds the maximum number of simultaneous file handles.");
        SetError(message);
        return 0;
    }
    int64_t excess = static_cast<int64_t>(count) + active.Count() - maxOpen;
    if (excess <= 0) return 1;

    // Closing a handle drops its byte-range locks (another request could then
    // write what this one has locked) and its mapping, so such files stay
    // open. Count first, so a request that cannot be met changes nothing.
    int64_t closable = 0;
    for (File* file = active.First(); file; file = active.Next())
        if (!file->Pinned()) ++closable;
    if (closable < excess) {
        String message("Simultaneous request for ");
        message.AppendInteger(count);
        message.Append(" file handles cannot be met: every other open file holds a lock or a mapping.");
        SetError(message);
        return 0;
    }

    while (excess > 0) {
        File* file = active.Last();
        while (file && file->Pinned()) file = active.Previous();
        if (!file) break;
        active.Remove(kListCurrent);
        inactive.Insert(file, kListHead);
        file->Deactivate();
        --excess;
    }
    return 1;
}

bool FileManager::Activate(File* file) {
    if (!file) {
        SetError("Activation request for invalid or non-active file");
        return false;
    }
    if (active.Find(file)) {
        active.Remove(kListCurrent);
        active.Insert(file, kListHead);
        return true;
    }
    if (!ActivateFiles(1)) return false;
    if (!inactive.Find(file)) {
        SetError("Activation request for invalid or non-active file");
        return false;
    }
    String reason;
    if (!file->Activate(reason)) {
        SetError(reason);
        return false;
    }
    if (inactive.Find(file)) inactive.Remove(kListCurrent);
    active.Insert(file, kListHead);
    return true;
}

bool FileManager::Deactivate(File* file) {
    if (!file || !active.Find(file)) return false;
    if (file->Pinned()) return false;
    active.Remove(kListCurrent);
    inactive.Insert(file, kListTail);
    return file->Deactivate();
}

File* FileManager::Register(File* file) {
    if (file) active.Insert(file, kListHead);
    return file;
}

void FileManager::Forget(File* file) {
    if (!file) return;
    if (active.Find(file)) active.Remove(kListCurrent);
    if (inactive.Find(file)) inactive.Remove(kListCurrent);
}

void FileManager::SetMaxOpen(int32_t count) { maxOpen = count < 0 ? 0 : count; }

void FileManager::SetSecondLimit(int32_t value) { secondLimit = value; }

} // namespace vorn
