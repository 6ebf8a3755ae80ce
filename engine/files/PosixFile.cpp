#include "engine/files/PosixFile.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "engine/app/VornApplication.h"
#include "engine/foundation/Config.h"
#include "engine/foundation/Messages.h"
#include "platform/Errors.h"
#include "platform/Process.h"
#include "platform/Time.h"

namespace vorn {

namespace {

constexpr int32_t kDefaultFileTimeout = 30; // seconds, when "filetimeout" gives none
constexpr int32_t kDefaultFileDelay = 100;  // milliseconds, without an application
constexpr int32_t kPlatformModeBits =
    OpenRead | OpenWrite | OpenCreate | OpenTruncate | OpenAppend | OpenExclusive | OpenAppendWrites;
constexpr int32_t kLockOwnerTextMax = 511;
constexpr char kNoFileName[] = "No file name was given";
constexpr int64_t kFirstLockPauseMicroseconds = 5;

inline bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// How long a retry loop may go on: until the run is timed out or stopped, or
// its global deadline passed, and without a global deadline for at most
// "filetimeout" seconds, so no loop outlives its request.
class WaitLimit {
public:
    explicit WaitLimit(VornApplication* app) : app(app) {
        int32_t seconds = 0;
        Config* config = app ? app->GetConfig() : nullptr;
        if (config) seconds = config->GetInteger(kConfigFileTimeout);
        if (seconds <= 0) seconds = kDefaultFileTimeout;
        end = platform::TickMilliseconds() + static_cast<int64_t>(seconds) * 1000;
        delay = app ? app->FileDelay() : kDefaultFileDelay;
        // A zero delay would spin on system calls; a millisecond costs nothing.
        if (delay < 1) delay = 1;
    }

    bool Over() const {
        if (app) {
            if (app->StopRequested()) return true;
            int64_t deadline = app->GlobalDeadline();
            // The watchdog marks a passed deadline only at its next tick.
            if (deadline != 0) return platform::NowSeconds() > deadline;
        }
        return platform::TickMilliseconds() >= end;
    }

    // Sleeps the file delay in short slices, ending early when the run stops.
    void Pause() const { PauseMicroseconds(delay * 1000); }

    // Sleeps up to the given time, never longer than the file delay, in
    // slices of at most 20 ms so that a stopped run ends its wait soon.
    void PauseMicroseconds(int64_t microseconds) const {
        int64_t left = microseconds < delay * 1000 ? microseconds : delay * 1000;
        while (left > 0) {
            if (app && app->StopRequested()) return;
            int64_t slice = left < 20000 ? left : 20000;
            platform::SleepMicroseconds(slice);
            left -= slice;
        }
    }

    int64_t DelayMicroseconds() const { return delay * 1000; }

private:
    VornApplication* app;
    int64_t end = 0;
    int64_t delay = kDefaultFileDelay;
};

// Deletes the resolved path with its owner.
struct Resolved {
    PosixFilePath* path = nullptr;
    Resolved() = default;
    Resolved(const Resolved&) = delete;
    Resolved& operator=(const Resolved&) = delete;
    ~Resolved() { delete path; }
    const char* Text() const { return path->Text(); }
};

String FormatInteger(int64_t value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%" PRId64, value);
    return String(buffer);
}

// Leading decimal digits as a number, saturating instead of overflowing.
int64_t ParseDecimal(const char* p, const char* end) {
    int64_t value = 0;
    for (; p < end && *p >= '0' && *p <= '9'; ++p) {
        int digit = *p - '0';
        if (value > (INT64_MAX - digit) / 10) return INT64_MAX;
        value = value * 10 + digit;
    }
    return value;
}

// The server name as part of a file name: separators and control bytes
// would put the temporary file somewhere else, or nowhere.
String FileNameSafe(const char* text) {
    String out("");
    for (const char* p = text; *p; ++p) {
        char c = *p;
        out.AppendChar(IsSeparator(c) || static_cast<unsigned char>(c) < 0x20 ? '_' : c);
    }
    return out;
}

// The owner of a lock file, read from its text "pid!tid:server".
struct LockOwner {
    int64_t pid = 0;
    bool hasThread = false;
    int64_t tid = 0;
    bool hasServer = false;
    const char* server = "";
};

LockOwner ParseOwner(const char* text) {
    LockOwner owner;
    const char* colon = std::strchr(text, ':');
    const char* end = colon ? colon : text + std::strlen(text);
    if (colon) {
        owner.hasServer = true;
        owner.server = colon + 1;
    }
    const char* bang = static_cast<const char*>(std::memchr(text, '!', static_cast<size_t>(end - text)));
    owner.pid = ParseDecimal(text, bang ? bang : end);
    if (bang) {
        owner.hasThread = true;
        owner.tid = ParseDecimal(bang + 1, end);
    }
    return owner;
}

// How long ago the lock file was last stamped, to the microsecond: whole
// seconds alone would make a lock look up to a second older than it is.
int64_t LockAgeMicroseconds(const platform::FileInfo& info) {
    constexpr int64_t kFar = int64_t{1} << 40; // seconds; stamps beyond it are as good as that far
    const platform::TimeValue now = platform::Now();
    if (info.modifiedSeconds < now.seconds - kFar) return kFar * 1000000;
    if (info.modifiedSeconds > now.seconds + kFar) return -kFar * 1000000;
    return (now.seconds - info.modifiedSeconds) * 1000000 + now.microseconds - info.modifiedNanoseconds / 1000;
}

// Deletes a lock file judged stale, unless it was replaced in the meantime
// (another waiter may have removed the stale one and taken the lock).
void DeleteIfUnchanged(const char* path, const platform::FileInfo& judged) {
    platform::FileInfo now;
    if (!platform::StatPath(path, now)) return;
    if (now.device != judged.device || now.inode != judged.inode) return;
    platform::DeleteFile(path);
}

// Removes the temporary files "<path>.<server>.<pid>.<tid>" that waiters of
// this server left when their process died while waiting (a responder
// killed under load): the same proof of death as for a holder, a process of
// this server that no longer runs. Names of other servers are never looked
// at, nor files whose owner text names another owner.
void RemoveDeadWaiters(const char* path, const char* server, const String& safeServer, int64_t ownPid) {
    const char* slash = std::strrchr(path, '/');
    String directory = !slash         ? String(".")
                       : slash == path ? String("/")
                                       : String(path, static_cast<int32_t>(slash - path));
    String prefix = String(slash ? slash + 1 : path) + "." + safeServer + ".";
    struct Dead {
        String file;
        int64_t pid;
    };
    std::vector<Dead> dead;
    {
        platform::DirectoryReader reader;
        if (!reader.Open(directory.Text())) return;
        while (const char* name = reader.Next()) {
            if (std::strncmp(name, prefix.Text(), static_cast<size_t>(prefix.Length())) != 0) continue;
            // The rest is "<pid>.<tid>", digits only.
            const char* pid = name + prefix.Length();
            const size_t pidDigits = std::strspn(pid, "0123456789");
            const char* tid = pid + pidDigits + 1;
            if (pidDigits == 0 || pid[pidDigits] != '.' || !*tid ||
                std::strspn(tid, "0123456789") != std::strlen(tid))
                continue;
            int64_t owner = ParseDecimal(pid, pid + pidDigits);
            if (owner == ownPid || platform::ProcessAlive(owner)) continue;
            dead.push_back({directory + (slash == path ? "" : "/") + name, owner});
        }
    }
    for (const Dead& d : dead) {
        platform::FileInfo info;
        platform::FileHandle handle;
        if (!handle.Open(d.file.Text(), platform::kOpenRead | platform::kOpenShareDelete) ||
            !handle.Stat(info))
            continue;
        char text[kLockOwnerTextMax + 1];
        int64_t n = handle.Read(text, kLockOwnerTextMax);
        handle.Close();
        if (n < 0) continue;
        text[n] = '\0';
        // Empty when the process died between making the file and writing it.
        LockOwner written = ParseOwner(text);
        if (n > 0 && (!written.hasServer || std::strcmp(written.server, server) != 0 || written.pid != d.pid))
            continue;
        DeleteIfUnchanged(d.file.Text(), info);
    }
}

// Opens the file at path (share-delete: its owner may remove it meanwhile)
// when it is the identified one: 1, 0 when the name leads elsewhere or
// nowhere, -1 on a failure.
int32_t OpenIdentified(const char* path, const FileIdentity& identity, platform::FileHandle& file) {
    platform::FileInfo info;
    if (!file.Open(path, platform::kOpenRead | platform::kOpenShareDelete))
        return platform::IsNotFound(platform::LastError()) ? 0 : -1;
    if (!file.Stat(info)) return -1;
    if (info.device != identity.device || info.inode != identity.inode || info.size != identity.text.Length())
        return 0;
    char text[kLockOwnerTextMax + 1];
    const int64_t n = file.Read(text, kLockOwnerTextMax);
    if (n < 0) return -1;
    return n == identity.text.Length() &&
           std::memcmp(text, identity.text.Text(), static_cast<size_t>(n)) == 0;
}

const char* RootName(int which) {
    switch (which) {
    case 0: return "script";
    case 1: return "data";
    default: return "temporary";
    }
}

} // namespace

// --- PosixFile ----------------------------------------------------------------------

PosixFile::PosixFile(FileManager* owner, const char* path, int32_t mode) : File(owner, path), mode(mode) {}

PosixFile::~PosixFile() {
    mapping.Unmap();
    handle.Close();
}

void PosixFile::SetSystemError() { SetError(owner ? owner->SystemErrorText() : platform::LastErrorText()); }

bool PosixFile::OpenHandle() {
    if (!handle.Open(path.Text(), mode & kPlatformModeBits)) return false;
    platform::FileInfo info;
    if (handle.Stat(info)) {
        openedDevice = info.device;
        openedInode = info.inode;
        identified = true;
    }
    // Without an appending mode the position is kept here: a seek costs no
    // system call, reads and writes go to it in one.
    position = mode & (OpenAppend | OpenAppendWrites) ? -1 : 0;
    return true;
}

bool PosixFile::EnsureActive() {
    if (handle.IsOpen()) return true;
    if (!owner) {
        SetError("The file's manager no longer exists");
        return false;
    }
    if (owner->Activate(this) && handle.IsOpen()) return true;
    SetError(owner->ErrorText());
    return false;
}

bool PosixFile::OwnerID(int64_t* outId) {
    if (!EnsureActive()) return false;
    platform::FileInfo info;
    if (!handle.Stat(info)) {
        SetSystemError();
        return false;
    }
    if (outId) *outId = info.owner;
    return true;
}

bool PosixFile::GroupID(int64_t* outId) {
    if (!EnsureActive()) return false;
    platform::FileInfo info;
    if (!handle.Stat(info)) {
        SetSystemError();
        return false;
    }
    if (outId) *outId = info.group;
    return true;
}

int32_t PosixFile::Read(void* buffer, int32_t count) {
    if (!EnsureActive()) return -1;
    int64_t n = position >= 0 ? handle.ReadAt(position, buffer, count) : handle.Read(buffer, count);
    if (n > 0 && position >= 0) position += n;
    if (n < 0) {
        SetSystemError();
        return -1;
    }
    return static_cast<int32_t>(n);
}

int32_t PosixFile::Write(const void* buffer, int32_t count) {
    if (!EnsureActive()) return -1;
    int64_t n = position >= 0 ? handle.WriteAt(position, buffer, count) : handle.Write(buffer, count);
    if (n > 0 && position >= 0) position += n;
    if (n < 0 || n != count) {
        SetSystemError();
        return -1;
    }
    return static_cast<int32_t>(n);
}

int32_t PosixFile::ReadAt(int64_t offset, void* buffer, int32_t count) {
    if (!EnsureActive()) return -1;
    int64_t n = handle.ReadAt(offset, buffer, count);
    if (n < 0) {
        SetSystemError();
        return -1;
    }
    return static_cast<int32_t>(n);
}

int32_t PosixFile::ReadViewed(int64_t offset, void* buffer, int32_t count) {
    if (!EnsureActive()) return -1;
    // Reads that come again and again earn a view, as long as the file is
    // then; a few reads would pay more for making and dropping one.
    if (readsToView > 0 && !Viewed(offset, count) && --readsToView == 0) {
        readsToView = kReadsBeforeView;
        int64_t length = platform::SharesOnePageCache(handle) ? handle.Length() : -1;
        if (length < 0) readsToView = -1;
        // An empty file fails quietly and is read.
        if (length > 0) view.Map(handle, 0, length);
    }
    if (Viewed(offset, count)) {
        if (platform::CopyFromMapping(buffer, static_cast<const char*>(view.Data()) + offset, static_cast<size_t>(count)))
            return count;
        // Cut short under the view: from now on the file system says what is there.
        view.Unmap();
        readsToView = -1;
    }
    return ReadAt(offset, buffer, count);
}

int32_t PosixFile::WriteAt(int64_t offset, const void* buffer, int32_t count) {
    if (!EnsureActive()) return -1;
    int64_t n = handle.WriteAt(offset, buffer, count);
    if (n < 0 || n != count) {
        SetSystemError();
        return -1;
    }
    return static_cast<int32_t>(n);
}

int64_t PosixFile::Seek(int64_t offset) {
    if (position >= 0 && offset >= 0) {
        position = offset;
        return offset;
    }
    if (!EnsureActive()) return -1;
    int64_t position = handle.Seek(offset);
    if (position < 0) SetSystemError();
    return position < 0 ? -1 : position;
}

int64_t PosixFile::Tell() {
    if (position >= 0) return position;
    if (!EnsureActive()) return -1;
    int64_t position = handle.Tell();
    if (position < 0) SetSystemError();
    return position < 0 ? -1 : position;
}

int64_t PosixFile::Length() {
    if (!EnsureActive()) return -1;
    int64_t length = handle.Length();
    if (length < 0) SetSystemError();
    return length < 0 ? -1 : length;
}

bool PosixFile::IsDirectory(bool* outFlag) {
    if (!EnsureActive()) return false;
    platform::FileInfo info;
    if (!handle.Stat(info)) {
        SetSystemError();
        return false;
    }
    if (outFlag) *outFlag = info.isDirectory;
    return true;
}

// Non-blocking attempts: a blocking wait could not be ended by a time-out,
// and two requests locking in opposite order would hold their workers for
// good. Record and header locks are held for microseconds, so the pauses
// start there and double up to the file delay: a lock is taken soon after
// its release without spinning on a long-held one.
bool PosixFile::Lock(int32_t lockMode, int64_t offset, int64_t length) {
    if (!EnsureActive()) return false;
    std::optional<WaitLimit> limit;
    int64_t pause = kFirstLockPauseMicroseconds;
    for (;;) {
        if (handle.TryLock(offset, length, lockMode == LockExclusive)) return true;
        if (!platform::IsLockConflict(handle.Error())) {
            SetSystemError();
            return false;
        }
        if (!limit) limit.emplace(owner ? owner->Application() : nullptr);
        if (limit->Over()) {
            SetError("Timed out waiting for lock");
            return false;
        }
        limit->PauseMicroseconds(pause);
        if (pause < limit->DelayMicroseconds()) pause *= 2;
    }
}

int32_t PosixFile::TryLock(int32_t lockMode, int64_t offset, int64_t length) {
    if (!EnsureActive()) return -1;
    if (handle.TryLock(offset, length, lockMode == LockExclusive)) return 1;
    if (platform::IsLockConflict(handle.Error())) return 0;
    SetSystemError();
    return -1;
}

void PosixFile::Close() { mapping.Unmap(); }

bool PosixFile::Unlock(int64_t offset, int64_t length) {
    if (!EnsureActive()) return false;
    if (handle.Unlock(offset, length)) return true;
    SetSystemError();
    return false;
}

const void* PosixFile::Map(int64_t offset, int64_t length) {
    if (!EnsureActive()) return nullptr;
    Close();
    if (length == -1) {
        // Up to the end of the file, wherever the view starts.
        int64_t fileLength = handle.Length();
        if (fileLength < 0) {
            SetSystemError();
            return nullptr;
        }
        length = offset >= 0 && offset <= fileLength ? fileLength - offset : 0;
    }
    const void* view = mapping.Map(handle, offset, length);
    if (!view) SetSystemError();
    return view;
}

bool PosixFile::Activate(String& reason) {
    if (handle.IsOpen()) return true;
    const int32_t reopenBits = OpenRead | OpenWrite | OpenAppendWrites;
    if (handle.Reopen(path.Text(), mode & reopenBits, savedPosition)) return true;
    reason.Assign(owner ? owner->SystemErrorText() : platform::LastErrorText());
    return false;
}

bool PosixFile::Deactivate() {
    if (!handle.IsOpen()) return true;
    int64_t at = position >= 0 ? position : handle.Tell();
    if (at >= 0) savedPosition = at;
    // Reopened by its path, the handle may lead to another file.
    view.Unmap();
    readsToView = kReadsBeforeView;
    if (handle.Close()) return true;
    SetSystemError();
    return false;
}

bool PosixFile::Pinned() const { return handle.HoldsLocks() || mapping.IsMapped(); }

bool PosixFile::Identify(platform::FileInfo& out) { return handle.IsOpen() && handle.Stat(out); }

bool PosixFile::Replaced() {
    if (!identified) return false;
    platform::FileInfo named;
    if (!platform::StatPath(path.Text(), named)) return platform::IsNotFound(platform::LastError());
    return named.device != openedDevice || named.inode != openedInode;
}

bool PosixFile::Identify(bool ofPath, FileIdentity* out) {
    platform::FileInfo info;
    if (ofPath) {
        if (!platform::StatPath(path.Text(), info)) {
            SetSystemError();
            return false;
        }
    } else if (!EnsureActive() || !handle.Stat(info)) {
        SetSystemError();
        return false;
    }
    if (out) {
        out->device = info.device;
        out->inode = info.inode;
    }
    return true;
}

// --- PosixFileManager: roots and paths ------------------------------------------------

PosixFileManager::PosixFileManager(VornApplication* owner) : FileManager(owner) {}

PosixFileManager::~PosixFileManager() {
    delete scriptDirectory;
    delete dataDirectory;
    delete temporaryDirectory;
}

void PosixFileManager::SetSystemError() { SetError(SystemErrorText()); }

bool PosixFileManager::IsReservedName(const char* name) {
    if (!name) return false;
    auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
    char head[3];
    for (int i = 0; i < 3; ++i) {
        if (!name[i]) return false;
        head[i] = upper(name[i]);
    }
    auto is = [&](const char* word) { return std::memcmp(head, word, 3) == 0; };
    const char* rest = name + 3;
    if (is("AUX") || is("CON") || is("NUL") || is("PRN")) return *rest == '\0' || *rest == '.';
    if (is("COM") || is("LPT")) return *rest >= '1' && *rest <= '9' && (rest[1] == '\0' || rest[1] == '.');
    return false;
}

bool PosixFileManager::CheckDirectory(RootKind which, const char* text) {
    PosixFilePath** field = which == ScriptRoot ? &scriptDirectory
                            : which == DataRoot ? &dataDirectory
                                                : &temporaryDirectory;
    delete *field;
    *field = nullptr;
    auto refuse = [&](const char* why) {
        String message("The configured ");
        message.Append(RootName(which));
        message.Append(" directory ");
        message.Append(why);
        SetError(message);
        return false;
    };

    if (!text || text[0] != '/') return refuse("is not an absolute path");
    auto* path = new PosixFilePath(text);
    if (IsReservedName(path->LastName().Text())) {
        delete path;
        return refuse("references a reserved Windows device name");
    }
    // Checked by every request: the process's shared stat result answers.
    platform::FileInfo info;
    if (!platform::StatPathShared(text, info) || !info.isDirectory) {
        delete path;
        return refuse("does not exist, or is not a directory");
    }
    path->Rebuild();
    *field = path;
    return true;
}

bool PosixFileManager::CheckScriptDirectory(const char* text) { return CheckDirectory(ScriptRoot, text); }
bool PosixFileManager::CheckDataDirectory(const char* text) { return CheckDirectory(DataRoot, text); }
bool PosixFileManager::CheckTemporaryDirectory(const char* text) { return CheckDirectory(TemporaryRoot, text); }

bool PosixFileManager::ResolvePath(int32_t kind, const char* relative, PosixFilePath** out) {
    if (out) *out = nullptr;
    PosixFilePath* base = nullptr;
    RootKind root = DataRoot;
    if (kind == LocationScript) {
        base = scriptDirectory;
        root = ScriptRoot;
        if (!base) {
            SetError("There is no configured script directory");
            return false;
        }
    } else if (kind == LocationData || kind == LocationTemporary) {
        if (kind == LocationTemporary && temporaryDirectory) {
            base = temporaryDirectory;
            root = TemporaryRoot;
        } else {
            base = dataDirectory;
        }
        if (!base) {
            SetError("There is no configured data directory");
            return false;
        }
    } else {
        SetError("The specified location is not valid");
        return false;
    }

    const char* rest = relative ? relative : "";
    while (IsSeparator(*rest)) ++rest;
    auto* path = new PosixFilePath(base->Text(), rest);
    const char* failure = nullptr;
    String outside;
    if (!base->IsPrefixOf(*path)) {
        outside.Assign("The specified path references a path outside the configured ");
        outside.Append(RootName(root));
        outside.Append(" directory");
        failure = outside.Text();
    } else {
        String last = path->LastName();
        if (std::strchr(last.Text(), ':'))
            failure = "The specified path references an NTFS alternate data stream";
        else if (IsReservedName(last.Text()))
            failure = "The specified path references a Windows reserved device name";
    }
    if (failure) {
        SetError(failure);
        delete path;
        return false;
    }
    path->Rebuild();
    if (out)
        *out = path;
    else
        delete path;
    return true;
}

// Deleting, renaming or removing a root, or naming a new file after it
// ("/data" + ".0"), would reach beyond the location.
bool PosixFileManager::ResolveInside(int32_t kind, const char* relative, PosixFilePath** out) {
    if (!ResolvePath(kind, relative, out)) return false;
    PosixFilePath* base = kind == LocationScript                              ? scriptDirectory
                          : kind == LocationTemporary && temporaryDirectory ? temporaryDirectory
                                                                            : dataDirectory;
    if ((*out)->SurvivorCount() > base->SurvivorCount()) return true;
    SetError("The specified path names the configured directory itself");
    delete *out;
    *out = nullptr;
    return false;
}

char* PosixFileManager::MakePath(const char* text, int32_t* outLength, int32_t* outSize) {
    const char* rest = text ? text : "";
    while (IsSeparator(*rest)) ++rest;
    PosixFilePath path(rest);
    return path.JoinedText(outLength, outSize);
}

// --- PosixFileManager: location operations ---------------------------------------------

File* PosixFileManager::Open(int32_t kind, const char* path, int32_t mode) {
    Resolved r;
    if (!ResolvePath(kind, path, &r.path)) return nullptr;
    return OpenPath(r.Text(), mode);
}

int32_t PosixFileManager::LockFile(int32_t kind, const char* path, FileIdentity* taken) {
    Resolved r;
    if (!ResolveInside(kind, path, &r.path)) return LockFileFailed;
    return LockFilePath(r.Text(), taken);
}

// Through a handle of its own, so the time goes on the very file checked.
bool PosixFileManager::TouchIdentified(int32_t kind, const char* path, const FileIdentity& identity) {
    Resolved r;
    if (!ResolveInside(kind, path, &r.path)) return false;
    platform::FileHandle file;
    const int32_t found = OpenIdentified(r.Text(), identity, file);
    if (found == 0) {
        SetError(kFileRemovedOrReplaced);
        return false;
    }
    if (found > 0 && file.TouchTimes()) return true;
    SetSystemError();
    return false;
}

bool PosixFileManager::DeleteIdentified(int32_t kind, const char* path, const FileIdentity& identity) {
    Resolved r;
    if (!ResolveInside(kind, path, &r.path)) return false;
    platform::FileHandle file;
    const int32_t found = OpenIdentified(r.Text(), identity, file);
    file.Close();
    if (found == 0) return true;
    if (found > 0 && (platform::DeleteFile(r.Text()) || platform::IsNotFound(platform::LastError())))
        return true;
    SetSystemError();
    return false;
}

bool PosixFileManager::Delete(int32_t kind, const char* path) {
    Resolved r;
    return ResolveInside(kind, path, &r.path) && DeletePath(r.Text());
}

bool PosixFileManager::Exchange(int32_t kind, const char* a, const char* b, File* const* own,
                                int32_t ownCount) {
    Resolved first, second;
    if (!ResolveInside(kind, a, &first.path) || !ResolveInside(kind, b, &second.path)) return false;
    constexpr int32_t kMaxOwn = 16;
    const platform::FileHandle* handles[kMaxOwn];
    size_t count = 0;
    for (int32_t i = 0; own && i < ownCount && count < kMaxOwn; ++i)
        if (auto* file = dynamic_cast<PosixFile*>(own[i])) handles[count++] = &file->Handle();
    // Another handle of this process on either file: wait for it to close, as
    // a rename does.
    std::optional<WaitLimit> limit;
    for (;;) {
        if (platform::ExchangeFiles(first.Text(), second.Text(), handles, count)) return true;
        if (!platform::IsAccessDenied(platform::LastError())) {
            SetSystemError();
            return false;
        }
        if (!limit) limit.emplace(owner);
        if (limit->Over()) {
            SetError(String("Timed out waiting to rename the file: ") + SystemErrorText());
            return false;
        }
        limit->Pause();
    }
}

bool PosixFileManager::Copy(int32_t fromKind, const char* from, int32_t toKind, const char* to) {
    Resolved source, target;
    if (!ResolvePath(fromKind, from, &source.path)) return false;
    if (!ResolveInside(toKind, to, &target.path)) return false;
    return CopyPath(source.Text(), target.Text());
}

bool PosixFileManager::Rename(int32_t fromKind, const char* from, int32_t toKind, const char* to) {
    Resolved source, target;
    if (!ResolveInside(fromKind, from, &source.path)) return false;
    if (!ResolveInside(toKind, to, &target.path)) return false;
    return RenamePath(source.Text(), target.Text());
}

bool PosixFileManager::Touch(int32_t kind, const char* path) {
    Resolved r;
    return ResolveInside(kind, path, &r.path) && TouchPath(r.Text());
}

bool PosixFileManager::Exists(int32_t kind, const char* path, bool* outExists) {
    Resolved r;
    return ResolvePath(kind, path, &r.path) && ExistsPath(r.Text(), outExists);
}

bool PosixFileManager::Size(int32_t kind, const char* path, uint32_t* outSize) {
    Resolved r;
    return ResolvePath(kind, path, &r.path) && SizePath(r.Text(), outSize);
}

bool PosixFileManager::Size64(int32_t kind, const char* path, int64_t* outSize) {
    Resolved r;
    if (!ResolvePath(kind, path, &r.path)) return false;
    int64_t size = 0;
    if (!platform::PathSize(r.Text(), size)) {
        SetSystemError();
        return false;
    }
    if (outSize) *outSize = size;
    return true;
}

bool PosixFileManager::IsDirectory(int32_t kind, const char* path, bool* outFlag) {
    Resolved r;
    return ResolvePath(kind, path, &r.path) && IsDirectoryPath(r.Text(), outFlag);
}

bool PosixFileManager::Time(int32_t kind, const char* path, int64_t* outTime) {
    Resolved r;
    return ResolvePath(kind, path, &r.path) && TimePath(r.Text(), outTime);
}

bool PosixFileManager::MakeDirectory(int32_t kind, const char* path) {
    Resolved r;
    return ResolveInside(kind, path, &r.path) && MakeDirectoryPath(r.Text());
}

bool PosixFileManager::RemoveDirectory(int32_t kind, const char* path) {
    Resolved r;
    return ResolveInside(kind, path, &r.path) && RemoveDirectoryPath(r.Text());
}

bool PosixFileManager::MakeSymbolicLink(int32_t kind, const char* path, int32_t linkKind, const char* link) {
    Resolved target, name;
    if (!ResolvePath(kind, path, &target.path)) return false;
    if (!ResolveInside(linkKind, link, &name.path)) return false;
    return MakeSymbolicLinkPath(target.Text(), name.Text());
}

bool PosixFileManager::Mode(int32_t kind, const char* path, int32_t* outMode) {
    Resolved r;
    return ResolvePath(kind, path, &r.path) && ModePath(r.Text(), outMode);
}

bool PosixFileManager::ChangeMode(int32_t kind, const char* path, int32_t mode) {
    Resolved r;
    return ResolveInside(kind, path, &r.path) && ChangeModePath(r.Text(), mode);
}

File* PosixFileManager::TemporaryName(int32_t kind, const char* directory, const char* prefix, String& outName,
                                      int32_t mode) {
    const char* name = prefix ? prefix : "";
    for (const char* p = name; *p; ++p) {
        if (IsSeparator(*p)) {
            SetError("Invalid temporary filename prefix");
            return nullptr;
        }
    }
    const char* dir = directory ? directory : "";
    size_t dirLength = std::strlen(dir);
    String relative("");
    if (dirLength == 0 || std::strcmp(dir, ".") == 0) {
        relative.Assign(name);
    } else {
        relative.Assign(dir);
        if (!IsSeparator(dir[dirLength - 1])) relative.AppendChar('/');
        relative.Append(name);
    }
    return MakeTemporary(kind, relative.Text(), outName, mode);
}

File* PosixFileManager::MakeTemporary(int32_t kind, const char* prefix, String& outName, int32_t mode) {
    Resolved r;
    if (!ResolveInside(kind, prefix, &r.path)) return nullptr;
    String absolute;
    File* file = MakeTemporaryPath(r.Text(), absolute, mode);
    if (!file) return nullptr;
    outName.Assign(prefix ? prefix : "");
    outName.Append(absolute.Text() + r.path->Length(), absolute.Length() - r.path->Length());
    return file;
}

bool PosixFileManager::ListDirectory(int32_t kind, const char* path, List<String>& outList) {
    Resolved r;
    if (!ResolvePath(kind, path, &r.path)) return false;
    platform::DirectoryReader reader;
    if (!reader.Open(r.Text())) {
        SetSystemError();
        return false;
    }
    while (const char* name = reader.Next()) outList.Insert(new String(name), kListTail);
    if (reader.Failed()) {
        SetSystemError();
        return false;
    }
    return true;
}

// --- PosixFileManager: absolute-path operations ------------------------------------------

File* PosixFileManager::OpenPath(const char* path, int32_t mode) {
    if (!path) {
        SetError(kNoFileName);
        return nullptr;
    }
    if (!ActivateFiles(1)) return nullptr;
    auto* file = new PosixFile(this, path, mode);
    if (!file->OpenHandle()) {
        SetSystemError();
        delete file;
        return nullptr;
    }
    if (mode & OpenUnpooled) return file;
    return Register(file);
}

File* PosixFileManager::MakeTemporaryPath(const char* prefix, String& outName, int32_t mode) {
    if (!prefix) {
        SetError(kNoFileName);
        return nullptr;
    }
    mode |= OpenCreate | OpenExclusive;
    if (!ActivateFiles(1)) return nullptr;
    char suffix[16];
    for (int32_t counter = 0; counter < 0x7fffffff; ++counter) {
        std::snprintf(suffix, sizeof suffix, ".%x", static_cast<unsigned>(counter));
        String name(prefix);
        name.Append(suffix);
        auto* file = new PosixFile(this, name.Text(), mode);
        if (file->OpenHandle()) {
            outName = name;
            if (mode & OpenUnpooled) return file;
            return Register(file);
        }
        bool exists = platform::IsAlreadyExists(platform::LastError());
        if (!exists) SetSystemError();
        delete file;
        if (!exists) return nullptr;
    }
    SetError("Unable to generate unique temporary filename");
    return nullptr;
}

bool PosixFileManager::DeletePath(const char* path) {
    if (platform::DeleteFile(path)) return true;
    SetSystemError();
    return false;
}

bool PosixFileManager::CopyPath(const char* from, const char* to) {
    if (platform::CopyFile(from, to)) return true;
    SetSystemError();
    return false;
}

// A refusal because the file is open through another handle of this process
// (which a rename here would leave writing into a nameless file) is retried
// until that handle closes; any other failure is final.
// How many of this manager's open files are the file at path (none when it
// does not exist).
int PosixFileManager::HeldHandles(const char* path) {
    platform::FileInfo named;
    if (!platform::StatPath(path, named)) return 0;
    int held = 0;
    for (File* file = active.First(); file; file = active.Next()) {
        auto* posix = dynamic_cast<PosixFile*>(file);
        platform::FileInfo info;
        if (posix && posix->IsOpen() && posix->Identify(info) && info.device == named.device &&
            info.inode == named.inode)
            ++held;
    }
    return held;
}

bool PosixFileManager::RenamePath(const char* from, const char* to) {
    if (platform::RenameFile(from, to)) return true;
    String reason(SystemErrorText());
    if (!platform::IsAccessDenied(platform::LastError()) ||
        (!platform::IsOpenInProcess(from) && !platform::IsOpenInProcess(to))) {
        SetError(reason);
        return false;
    }
    WaitLimit limit(owner);
    for (;;) {
        // Files that only this request holds may be replaced: it renames
        // over its own tables, whose later writes then find them replaced.
        if (platform::RenameFileHeld(from, to, HeldHandles(from), HeldHandles(to))) return true;
        if (!platform::IsAccessDenied(platform::LastError())) {
            SetSystemError();
            return false;
        }
        if (limit.Over()) {
            SetError("Timed out waiting to rename the file: " + reason);
            return false;
        }
        limit.Pause();
        if (platform::RenameFile(from, to)) return true;
        if (!platform::IsAccessDenied(platform::LastError())) {
            SetSystemError();
            return false;
        }
    }
}

bool PosixFileManager::TouchPath(const char* path) {
    if (platform::TouchPath(path)) return true;
    SetSystemError();
    return false;
}

bool PosixFileManager::ExistsPath(const char* path, bool* outExists) {
    bool exists = false;
    if (!platform::PathExists(path, exists)) {
        SetSystemError();
        return false;
    }
    if (outExists) *outExists = exists;
    return true;
}

bool PosixFileManager::SizePath(const char* path, uint32_t* outSize) {
    int64_t size = 0;
    if (!platform::PathSize(path, size)) {
        SetSystemError();
        return false;
    }
    if (size < 0 || size > static_cast<int64_t>(UINT32_MAX)) {
        SetError("The file is too large for its size to be reported");
        return false;
    }
    if (outSize) *outSize = static_cast<uint32_t>(size);
    return true;
}

bool PosixFileManager::IsDirectoryPath(const char* path, bool* outFlag) {
    bool isDirectory = false;
    if (!platform::PathIsDirectory(path, isDirectory)) {
        SetSystemError();
        return false;
    }
    if (outFlag) *outFlag = isDirectory;
    return true;
}

bool PosixFileManager::TimePath(const char* path, int64_t* outTime) {
    int64_t seconds = 0;
    if (!platform::PathModifiedTime(path, seconds)) {
        SetSystemError();
        return false;
    }
    if (outTime) *outTime = seconds;
    return true;
}

bool PosixFileManager::MakeDirectoryPath(const char* path) {
    if (platform::MakeDirectory(path)) return true;
    SetSystemError();
    return false;
}

bool PosixFileManager::RemoveDirectoryPath(const char* path) {
    if (platform::RemoveDirectory(path)) return true;
    SetSystemError();
    return false;
}

// Links are resolved by the system, not by ResolvePath: a link made by a
// script could lead any later path out of its root.
bool PosixFileManager::MakeSymbolicLinkPath(const char*, const char*) {
    SetError("PosixFileManager::MakeSymbolicLink is not implemented");
    return false;
}

bool PosixFileManager::ModePath(const char* path, int32_t* outMode) {
    int mode = 0;
    if (!platform::PathMode(path, mode)) {
        SetSystemError();
        return false;
    }
    if (outMode) *outMode = mode;
    return true;
}

bool PosixFileManager::ChangeModePath(const char* path, int32_t mode) {
    if (platform::ChangeMode(path, mode & 07777)) return true;
    SetSystemError();
    return false;
}

// --- PosixFileManager: lock files ----------------------------------------------------------

// The lock on a path is held by whoever managed to rename a private temporary
// file onto that name (the no-replace rename lets exactly one win); the file
// holds "pid!tid:server", so a waiter can recognise its own thread, a dead
// process of this server and a stale lock of another server.
int32_t PosixFileManager::LockFilePath(const char* path, FileIdentity* taken) {
    if (!path || !*path) {
        SetError(kNoFileName);
        return LockFileFailed;
    }
    if (!ActivateFiles(1)) return LockFileFailed;

    const int64_t pid = platform::ProcessId();
    const int64_t tid = platform::ThreadId();
    const char* server = owner ? owner->ServerName() : nullptr;
    if (!server) server = "";
    const String safeServer = FileNameSafe(server);
    String temporary(path);
    temporary.AppendChar('.');
    temporary.AppendString(safeServer);
    temporary.AppendChar('.');
    temporary.AppendString(FormatInteger(pid));
    temporary.AppendChar('.');
    temporary.AppendString(FormatInteger(tid));
    String ownerText = FormatInteger(pid) + "!" + FormatInteger(tid) + ":" + server;
    FileIdentity identity;

    {
        platform::FileHandle file;
        bool created = file.Open(temporary.Text(), platform::kOpenRead | platform::kOpenWrite | platform::kOpenExclusive);
        if (!created && platform::IsAlreadyExists(platform::LastError())) {
            // The name carries this process and thread, so a file left under
            // it (by a crash, or a clean-up that failed) is ours to remove.
            platform::DeleteFile(temporary.Text());
            created = file.Open(temporary.Text(), platform::kOpenRead | platform::kOpenWrite | platform::kOpenExclusive);
        }
        if (!created) {
            SetSystemError();
            return LockFileFailed;
        }
        platform::FileInfo made;
        if (file.Write(ownerText.Text(), ownerText.Length()) != ownerText.Length() || !file.Stat(made)) {
            SetSystemError();
            file.Close();
            platform::DeleteFile(temporary.Text());
            return LockFileFailed;
        }
        file.Close();
        // The rename keeps the file, so this is the lock file's identity.
        identity.device = made.device;
        identity.inode = made.inode;
        identity.text = ownerText;
    }

    WaitLimit limit(owner);
    for (bool first = true; !limit.Over(); first = false) {
        // Other servers judge the lock's age by its time: one taken after a
        // long wait must not look as old as the wait.
        if (!first) {
            const platform::TimeValue now = platform::Now();
            platform::SetModifiedTime(temporary.Text(), now.seconds, now.microseconds * 1000);
        }
        if (platform::RenameFileNoReplace(temporary.Text(), path)) {
            if (taken) *taken = identity;
            return LockFileTaken;
        }
        if (!platform::IsAlreadyExists(platform::LastError())) {
            SetSystemError();
            platform::DeleteFile(temporary.Text());
            return LockFileFailed;
        }
        // Someone holds the lock: a wait begins, and with it the clean-up of
        // what dead waiters left beside it.
        if (first) RemoveDeadWaiters(path, server, safeServer, pid);

        // Read the holder's text. Opened share-delete: the holder may release
        // the lock while we look.
        platform::FileHandle lock;
        if (!lock.Open(path, platform::kOpenRead | platform::kOpenShareDelete)) {
            if (!platform::IsNotFound(platform::LastError())) limit.Pause();
            continue; // gone already: try again at once
        }
        platform::FileInfo info;
        char text[kLockOwnerTextMax + 1];
        int64_t n = lock.Stat(info) ? lock.Read(text, kLockOwnerTextMax) : -1;
        lock.Close();
        if (n < 0) continue;
        text[n] = '\0';

        LockOwner holder = ParseOwner(text);
        bool pause = true;
        if (holder.pid != 0 && holder.hasServer && std::strcmp(holder.server, server) == 0) {
            if (holder.pid == pid && (!holder.hasThread || holder.tid == tid)) {
                platform::DeleteFile(temporary.Text());
                SetError("Possible deadlock detected");
                return LockFileFailed;
            }
            if (!platform::ProcessAlive(holder.pid)) {
                DeleteIfUnchanged(path, info);
                pause = false;
            }
        } else {
            int32_t expiration = owner ? owner->LockExpiration() : 0;
            if (expiration > 0 && LockAgeMicroseconds(info) >= int64_t{expiration} * 1000000) {
                DeleteIfUnchanged(path, info);
                pause = false;
            }
        }
        if (pause) limit.Pause();
    }
    platform::DeleteFile(temporary.Text());
    SetError("Timed out waiting for lock");
    return LockFileTimedOut;
}

} // namespace vorn
