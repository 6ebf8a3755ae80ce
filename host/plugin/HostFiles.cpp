// Files and directories of both families, through the file manager of the
// program's application.
#include <cstring>

#include "engine/app/VornApplication.h"
#include "engine/files/File.h"
#include "engine/foundation/Messages.h"
#include "engine/values/Variable.h"
#include "engine/values/VariableList.h"
#include "engine/vm/VornVM.h"
#include "host/plugin/HostInterface.h"
#include "host/plugin/VornHost.h"

using namespace vorn;
using namespace vorn::hostapi;

namespace {

// A path argument resolved to the file manager's location and path.
struct Located {
    FileManager* files = nullptr;
    int32_t kind = LocationData;
    String path;
};

// A path with a NUL inside would reach the file system cut short.
bool HasNul(const String& path) {
    return std::memchr(path.Text(), 0, static_cast<size_t>(path.Length())) != nullptr;
}

bool Locate(VornVM* program, int32_t location, const char* path, int32_t length, Located* out) {
    out->files = FilesOf(program);
    return out->files && LocatePath(program, out->files, location, path, length, &out->kind, &out->path) &&
           !HasNul(out->path);
}

bool LocateOlder(VornVM* program, int32_t location, const char* path, Located* out) {
    out->files = FilesOf(program);
    if (!out->files || !path) return false;
    out->kind = OlderLocation(location);
    out->path.Assign(path);
    return true;
}

int32_t Outcome(bool ok) {
    return ok ? 0 : -1;
}

int32_t Exists(const Located& at) {
    bool exists = false;
    return at.files->Exists(at.kind, at.path.Text(), &exists) && exists ? 1 : 0;
}

int32_t IsDirectory(const Located& at) {
    bool directory = false;
    return at.files->IsDirectory(at.kind, at.path.Text(), &directory) && directory ? 1 : 0;
}

int64_t Size(const Located& at) {
    int64_t size = 0;
    return at.files->Size64(at.kind, at.path.Text(), &size) ? size : -1;
}

int32_t Mode(const Located& at) {
    int32_t mode = 0;
    return at.files->Mode(at.kind, at.path.Text(), &mode) ? mode : -1;
}

int32_t ReadFile(File* file, void* buffer, int32_t length) {
    if (!file || length < 0 || (!buffer && length != 0)) return -1;
    return file->Read(buffer, length);
}

int32_t WriteFile(File* file, const void* data, int32_t length) {
    if (!file || length < 0 || (!data && length != 0)) return -1;
    return file->Write(data, length);
}

int32_t LockRegion(File* file, int32_t mode, int64_t offset, int64_t length) {
    if (!file) return -1;
    if (!file->Lock(mode == 2 ? LockExclusive : LockShared, offset, length)) return -1;
    // A write lock granted once the file was renamed over (a pack or an
    // ALTER replaced it while this caller waited) would let the write go
    // into the old file, lost.
    if (mode == 2 && file->Replaced()) {
        file->Unlock(offset, length);
        file->SetError(kFileRemovedOrReplaced);
        return -1;
    }
    return 0;
}

const String* ErrorOf(VornVM* program, File* file) {
    if (file) return &file->ErrorText();
    FileManager* files = FilesOf(program);
    return files ? &files->ErrorText() : nullptr;
}

int32_t NoLongerSupported(VornVM* program, const char* message) {
    if (FileManager* files = FilesOf(program)) files->SetError(message);
    return 0;
}

} // namespace

extern "C" {

// ---- The newer family ----------------------------------------------------------------------

VORN_HOST_API int32_t vrFile_Resolve(VornProgram* program) {
    return NoLongerSupported(program, "vrFile_Resolve is no longer supported");
}

VORN_HOST_API VornFile* vrFile_Open(VornProgram* program, int32_t location, const char* path, int32_t length,
                                    int32_t mode) {
    Located at;
    if (!Locate(program, location, path, length, &at)) return nullptr;
    return at.files->Open(at.kind, at.path.Text(), mode);
}

VORN_HOST_API int32_t vrFile_Delete(VornProgram* program, int32_t location, const char* path,
                                    int32_t length) {
    Located at;
    return Locate(program, location, path, length, &at) ? Outcome(at.files->Delete(at.kind, at.path.Text()))
                                                        : -1;
}

VORN_HOST_API int32_t vrFile_Rename(VornProgram* program, int32_t location, const char* path, int32_t length,
                                    int32_t newLocation, const char* newPath, int32_t newLength) {
    Located from, to;
    if (!Locate(program, location, path, length, &from) ||
        !Locate(program, newLocation, newPath, newLength, &to))
        return -1;
    return Outcome(from.files->Rename(from.kind, from.path.Text(), to.kind, to.path.Text()));
}

VORN_HOST_API int32_t vrFile_Exists(VornProgram* program, int32_t location, const char* path,
                                    int32_t length) {
    Located at;
    return Locate(program, location, path, length, &at) ? Exists(at) : 0;
}

VORN_HOST_API int64_t vrFile_Size(VornProgram* program, int32_t location, const char* path, int32_t length) {
    Located at;
    return Locate(program, location, path, length, &at) ? Size(at) : -1;
}

VORN_HOST_API int64_t vrFile_Time(VornProgram* program, int32_t location, const char* path, int32_t length) {
    Located at;
    int64_t seconds = 0;
    if (!Locate(program, location, path, length, &at)) return -1;
    return at.files->Time(at.kind, at.path.Text(), &seconds) ? seconds : -1;
}

VORN_HOST_API int32_t vrFile_IsDirectory(VornProgram* program, int32_t location, const char* path,
                                         int32_t length) {
    Located at;
    return Locate(program, location, path, length, &at) ? IsDirectory(at) : 0;
}

VORN_HOST_API int32_t vrFile_MakeDirectory(VornProgram* program, int32_t location, const char* path,
                                           int32_t length) {
    Located at;
    return Locate(program, location, path, length, &at)
               ? Outcome(at.files->MakeDirectory(at.kind, at.path.Text()))
               : -1;
}

VORN_HOST_API int32_t vrFile_RemoveDirectory(VornProgram* program, int32_t location, const char* path,
                                             int32_t length) {
    Located at;
    return Locate(program, location, path, length, &at)
               ? Outcome(at.files->RemoveDirectory(at.kind, at.path.Text()))
               : -1;
}

VORN_HOST_API int32_t vrFile_Mode(VornProgram* program, int32_t location, const char* path, int32_t length) {
    Located at;
    return Locate(program, location, path, length, &at) ? Mode(at) : -1;
}

VORN_HOST_API int32_t vrFile_Change_Mode(VornProgram* program, int32_t location, const char* path,
                                         int32_t length, int32_t mode) {
    Located at;
    return Locate(program, location, path, length, &at)
               ? Outcome(at.files->ChangeMode(at.kind, at.path.Text(), mode))
               : -1;
}

VORN_HOST_API int32_t vrFile_Path_Separator(VornProgram* program) {
    FileManager* files = FilesOf(program);
    return files ? files->PathSeparator() : -1;
}

VORN_HOST_API int32_t vrFile_Copy(VornProgram* program, int32_t location, const char* path, int32_t length,
                                  int32_t targetLocation, const char* targetPath, int32_t targetLength) {
    Located from, to;
    if (!Locate(program, location, path, length, &from) ||
        !Locate(program, targetLocation, targetPath, targetLength, &to))
        return -1;
    return Outcome(from.files->Copy(from.kind, from.path.Text(), to.kind, to.path.Text()));
}

VORN_HOST_API int32_t vrFile_MakeSymbolicLink(VornProgram* program, int32_t location, const char* path,
                                              int32_t length, int32_t linkLocation, const char* linkPath,
                                              int32_t linkLength) {
    Located target, link;
    if (!Locate(program, location, path, length, &target) ||
        !Locate(program, linkLocation, linkPath, linkLength, &link))
        return -1;
    return Outcome(
        target.files->MakeSymbolicLink(target.kind, target.path.Text(), link.kind, link.path.Text()));
}

VORN_HOST_API int64_t vrFile_OwnerID(VornFile* file) {
    int64_t id = -1;
    return file && file->OwnerID(&id) ? id : -1;
}

VORN_HOST_API int64_t vrFile_GroupID(VornFile* file) {
    int64_t id = -1;
    return file && file->GroupID(&id) ? id : -1;
}

VORN_HOST_API int32_t vrFile_Read(VornFile* file, void* buffer, int32_t length) {
    return ReadFile(file, buffer, length);
}

VORN_HOST_API int32_t vrFile_Write(VornFile* file, const void* data, int32_t length) {
    return WriteFile(file, data, length);
}

VORN_HOST_API int64_t vrFile_Seek(VornFile* file, int64_t position) {
    return file ? file->Seek(position) : -1;
}

VORN_HOST_API int64_t vrFile_Tell(VornFile* file) {
    return file ? file->Tell() : -1;
}

VORN_HOST_API int64_t vrFile_Length(VornFile* file) {
    return file ? file->Length() : -1;
}

VORN_HOST_API int32_t vrFile_Lock(VornFile* file, int32_t mode, int64_t offset, int64_t length) {
    return LockRegion(file, mode, offset, length);
}

VORN_HOST_API int32_t vrFile_Release(VornFile* file, int64_t offset, int64_t length) {
    return file ? Outcome(file->Unlock(offset, length)) : -1;
}

VORN_HOST_API void vrFile_Close(VornFile* file) {
    delete file;
}

VORN_HOST_API int32_t vrFile_LockFile(VornProgram* program, int32_t location, const char* path,
                                      int32_t length) {
    Located at;
    if (!Locate(program, location, path, length, &at)) return -1;
    switch (at.files->LockFile(at.kind, at.path.Text())) {
    case 0:
        return 1;
    case 1:
        return 0;
    case 2:
        return -1;
    case 3:
        return -2;
    default:
        return -1;
    }
}

VORN_HOST_API VornFile* vrFile_MakeTemporary(VornProgram* program, int32_t location, const char* prefix,
                                             int32_t length, int32_t mode, char** outName,
                                             int32_t* outNameLength) {
    // Both out pointers or nothing: a file nobody learns the name of would stay behind.
    if (!outName || !outNameLength) return nullptr;
    *outName = nullptr;
    *outNameLength = 0;
    Located at;
    if (!Locate(program, location, prefix, length, &at)) return nullptr;
    String name;
    File* file = at.files->MakeTemporary(at.kind, at.path.Text(), name, mode);
    if (!file) return nullptr;
    char* copy = HeapCopy(name.Text(), name.Length(), outNameLength);
    if (!copy) {
        // Unreachable by name: it goes again.
        delete file;
        at.files->Delete(at.kind, name.Text());
        *outNameLength = 0;
        return nullptr;
    }
    *outName = copy;
    return file;
}

VORN_HOST_API int32_t vrDirectory_Listing(VornProgram* program, int32_t location, const char* path,
                                          int32_t length, VornVariableList* list) {
    FileManager* files = FilesOf(program);
    if (!files || !list || !TextArgument(path, length)) return -1;
    String directory(path, length);
    if (HasNul(directory)) return -1;
    List<String> entries(true);
    if (!files->ListDirectory(OlderLocation(location), directory.Text(), entries)) return -1;
    int32_t appended = 0;
    for (String* entry = entries.First(); entry; entry = entries.Next()) {
        if (entry->Equals(".") || entry->Equals("..")) continue;
        list->InsertItem(new Variable("", 0, entry->Text(), entry->Length()), kListTail, false);
        ++appended;
    }
    return appended;
}

VORN_HOST_API const char* vrFile_Error(VornProgram* program, VornFile* file, int32_t* outLength) {
    Put(outLength, 0);
    const String* text = ErrorOf(program, file);
    if (!text) return nullptr;
    Put(outLength, text->Length());
    return text->IsNull() ? nullptr : text->Text();
}

// ---- The older family ------------------------------------------------------------------------

VORN_HOST_API VornFile* vorn_file_open(VornProgram* program, int32_t location, const char* path,
                                       int32_t mode) {
    Located at;
    return LocateOlder(program, location, path, &at) ? at.files->Open(at.kind, at.path.Text(), mode)
                                                     : nullptr;
}

VORN_HOST_API void vorn_file_close(VornFile* file) {
    delete file;
}

VORN_HOST_API int32_t vorn_file_read(VornFile* file, void* buffer, int32_t length) {
    return ReadFile(file, buffer, length);
}

VORN_HOST_API int32_t vorn_file_write(VornFile* file, const void* data, int32_t length) {
    return WriteFile(file, data, length);
}

VORN_HOST_API int64_t vorn_file_seek(VornFile* file, int64_t position) {
    return file ? file->Seek(position) : -1;
}

VORN_HOST_API int64_t vorn_file_tell(VornFile* file) {
    return file ? file->Tell() : -1;
}

VORN_HOST_API int64_t vorn_file_length(VornFile* file) {
    return file ? file->Length() : -1;
}

VORN_HOST_API int32_t vorn_file_lock(VornFile* file, int32_t mode, int64_t offset, int64_t length) {
    return LockRegion(file, mode, offset, length);
}

VORN_HOST_API int32_t vorn_file_release(VornFile* file, int64_t offset, int64_t length) {
    return file ? Outcome(file->Unlock(offset, length)) : -1;
}

VORN_HOST_API const char* vorn_file_error(VornProgram* program, VornFile* file) {
    const String* text = ErrorOf(program, file);
    return text ? text->Text() : "";
}

VORN_HOST_API int32_t vorn_file_exists(VornProgram* program, int32_t location, const char* path) {
    Located at;
    return LocateOlder(program, location, path, &at) ? Exists(at) : 0;
}

VORN_HOST_API int32_t vorn_file_isdirectory(VornProgram* program, int32_t location, const char* path) {
    Located at;
    return LocateOlder(program, location, path, &at) ? IsDirectory(at) : 0;
}

VORN_HOST_API int64_t vorn_file_size(VornProgram* program, int32_t location, const char* path) {
    Located at;
    return LocateOlder(program, location, path, &at) ? Size(at) : -1;
}

VORN_HOST_API int32_t vorn_file_mode(VornProgram* program, int32_t location, const char* path) {
    Located at;
    return LocateOlder(program, location, path, &at) ? Mode(at) : -1;
}

VORN_HOST_API int32_t vorn_file_changemode(VornProgram* program, int32_t location, const char* path,
                                           int32_t mode) {
    Located at;
    return LocateOlder(program, location, path, &at)
               ? Outcome(at.files->ChangeMode(at.kind, at.path.Text(), mode))
               : -1;
}

VORN_HOST_API int32_t vorn_file_delete(VornProgram* program, int32_t location, const char* path) {
    Located at;
    return LocateOlder(program, location, path, &at) ? Outcome(at.files->Delete(at.kind, at.path.Text()))
                                                     : -1;
}

VORN_HOST_API int32_t vorn_file_rename(VornProgram* program, int32_t location, const char* path,
                                       int32_t newLocation, const char* newPath) {
    Located from, to;
    if (!LocateOlder(program, location, path, &from) || !LocateOlder(program, newLocation, newPath, &to))
        return -1;
    return Outcome(from.files->Rename(from.kind, from.path.Text(), to.kind, to.path.Text()));
}

VORN_HOST_API int32_t vorn_file_makedirectory(VornProgram* program, int32_t location, const char* path) {
    Located at;
    return LocateOlder(program, location, path, &at)
               ? Outcome(at.files->MakeDirectory(at.kind, at.path.Text()))
               : -1;
}

VORN_HOST_API int32_t vorn_file_removedirectory(VornProgram* program, int32_t location, const char* path) {
    Located at;
    return LocateOlder(program, location, path, &at)
               ? Outcome(at.files->RemoveDirectory(at.kind, at.path.Text()))
               : -1;
}

VORN_HOST_API int32_t vorn_file_pathseparator(VornProgram* program) {
    FileManager* files = FilesOf(program);
    return files ? files->PathSeparator() : -1;
}

VORN_HOST_API int32_t vorn_file_resolve(VornProgram* program) {
    return NoLongerSupported(program, "vorn_file_resolve is no longer supported");
}

} // extern "C"
