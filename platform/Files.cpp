#include "platform/Files.h"

#include "platform/Errors.h"
#include "platform/Process.h"
#include "platform/Time.h"

#include <algorithm>
#include <chrono>
#include <unordered_map>
#include <unordered_set>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/vfs.h>
#include <pthread.h>
#include <csetjmp>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace vorn::platform {

namespace {

// Files held open by counting handles of this process, by (device, inode).
// Opening, closing, renaming, deleting and copying over a file all happen
// under its mutex, so a rename can never slip between another thread's
// open() and the moment that open is recorded.
struct OpenFileTable {
    std::mutex mutex;
    std::map<std::pair<uint64_t, uint64_t>, int> counts;

    bool Holds(uint64_t device, uint64_t inode) const { return counts.count({device, inode}) != 0; }
    void Add(uint64_t device, uint64_t inode) { ++counts[{device, inode}]; }
    void Remove(uint64_t device, uint64_t inode) {
        auto it = counts.find({device, inode});
        if (it != counts.end() && --it->second <= 0) counts.erase(it);
    }
};

OpenFileTable& Table() {
    // Never destroyed: handles in static objects may close after exit() began.
    static OpenFileTable* table = new OpenFileTable;
    return *table;
}

std::atomic<bool> gForceNoReplaceFallback{false};

bool Fail(int error) {
    SetLastError(error);
    return false;
}

bool FailErrno() { return Fail(errno); }

std::nullptr_t FailNull(int error) {
    SetLastError(error);
    return nullptr;
}

int AccessFlags(int mode) {
    const bool read = (mode & kOpenRead) != 0;
    const bool write = (mode & kOpenWrite) != 0;
    if (read && write) return O_RDWR;
    return write ? O_WRONLY : O_RDONLY;
}

int OpenRetrying(const char* path, int flags, mode_t mode) {
    int fd;
    do {
        fd = open(path, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Opens without blocking (a FIFO must not stall every other open of the
// process while the table is locked), then makes the descriptor blocking.
// A regular file ignores the flag, so it keeps it and saves the two calls.
// The file's status goes to st when given.
int OpenDescriptor(const char* path, int flags, struct stat* st = nullptr) {
    const int fd = OpenRetrying(path, flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    if (fd < 0) return -1;
    struct stat own{};
    if (!st) st = &own;
    int status = 0;
    if (fstat(fd, st) != 0 ||
        (!S_ISREG(st->st_mode) &&
         ((status = fcntl(fd, F_GETFL)) < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) < 0))) {
        const int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

void Fill(const struct stat& st, FileInfo& out) {
    out = FileInfo{};
    out.size = static_cast<int64_t>(st.st_size);
    out.modifiedSeconds = static_cast<int64_t>(st.st_mtim.tv_sec);
    out.modifiedNanoseconds = static_cast<int32_t>(st.st_mtim.tv_nsec);
    out.changedSeconds = static_cast<int64_t>(st.st_ctim.tv_sec);
    out.changedNanoseconds = static_cast<int32_t>(st.st_ctim.tv_nsec);
    out.mode = static_cast<uint32_t>(st.st_mode);
    out.isDirectory = S_ISDIR(st.st_mode);
    out.isRegular = S_ISREG(st.st_mode);
    out.device = static_cast<uint64_t>(st.st_dev);
    out.inode = static_cast<uint64_t>(st.st_ino);
    out.owner = static_cast<uint32_t>(st.st_uid);
    out.group = static_cast<uint32_t>(st.st_gid);
}

// Now as file times: the kernel's clock, or the installed wall clock.
void NowTimes(timespec times[2]) {
    if (WallClockOverridden()) {
        const TimeValue now = Now();
        times[0] = timespec{static_cast<time_t>(now.seconds), static_cast<long>(now.microseconds) * 1000L};
    } else {
        times[0] = timespec{0, UTIME_NOW};
    }
    times[1] = times[0];
}

int WithAppend(int mode) { return (mode & kOpenAppendWrites) ? O_APPEND : 0; }

bool ValidRange(int64_t offset, int64_t length) {
    return offset >= 0 && length >= 0 && length <= INT64_MAX - offset;
}

bool Overlap(int64_t aOffset, int64_t aLength, int64_t bOffset, int64_t bLength) {
    return aLength > 0 && bLength > 0 && aOffset < bOffset + bLength && bOffset < aOffset + aLength;
}

bool SetRange(int fd, short type, int64_t offset, int64_t length, bool wait) {
    struct flock request{};
    request.l_type = type;
    request.l_whence = SEEK_SET;
    request.l_start = static_cast<off_t>(offset);
    request.l_len = static_cast<off_t>(length); // never 0 here: 0 would mean "to the end of the file"
    request.l_pid = 0;
    while (fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &request) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

bool WriteAll(int fd, const char* data, size_t count) {
    while (count > 0) {
        const ssize_t n = write(fd, data, count);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

// Copies the bytes of one open file into another, from the start of each.
bool CopyBytes(int from, int to) {
    static constexpr size_t kChunk = 64 * 1024;
    std::string buffer(kChunk, '\0');
    for (;;) {
        const ssize_t n = read(from, buffer.data(), kChunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return true;
        if (!WriteAll(to, buffer.data(), static_cast<size_t>(n))) return false;
    }
}

// A name beside target that nothing uses yet, created empty.
bool MakeSiblingName(const char* target, std::string& name) {
    for (unsigned counter = 0; counter < 1000; ++counter) {
        char suffix[96];
        snprintf(suffix, sizeof suffix, ".vornmove.%lld.%lld.%u", static_cast<long long>(ProcessId()),
                 static_cast<long long>(ThreadId()), counter);
        name = std::string(target) + suffix;
        const int fd = OpenRetrying(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600);
        if (fd >= 0) {
            close(fd);
            return true;
        }
        if (errno != EEXIST) return FailErrno();
    }
    return Fail(EEXIST);
}

// Whether the name itself (not what a symbolic link points to) is a file open
// in this process; false when the name does not exist. Table lock held.
bool NameIsOpen(OpenFileTable& table, const char* path) {
    struct stat st{};
    return lstat(path, &st) == 0 && table.Holds(st.st_dev, st.st_ino);
}

} // namespace

// ---------------------------------------------------------------- FileHandle

FileHandle::~FileHandle() { Close(); }

bool FileHandle::Fail(int error) {
    error_ = error;
    SetLastError(error);
    return false;
}

int64_t FileHandle::FailCount(int error) {
    Fail(error);
    return -1;
}

bool FileHandle::OpenWithFlags(const char* path, int flags, bool registerOpen) {
    if (fd_ >= 0) return Fail(EBUSY);
    if (path == nullptr) return Fail(EINVAL);
    OpenFileTable& table = Table();
    std::lock_guard<std::mutex> guard(table.mutex);
    struct stat st{};
    const int fd = OpenDescriptor(path, flags, &st);
    if (fd < 0) return Fail(errno);
    if (S_ISDIR(st.st_mode)) {
        close(fd);
        return Fail(EISDIR);
    }
    fd_ = fd;
    device_ = st.st_dev;
    inode_ = st.st_ino;
    registered_ = registerOpen;
    if (registered_) table.Add(device_, inode_);
    return true;
}

bool FileHandle::Open(const char* path, int mode) {
    int flags = AccessFlags(mode) | WithAppend(mode);
    if (mode & kOpenExclusive) {
        flags |= O_CREAT | O_EXCL;
    } else if (mode & kOpenTruncate) {
        flags |= O_CREAT | O_TRUNC;
    } else if (mode & (kOpenCreate | kOpenAppend)) {
        flags |= O_CREAT;
    }
    if (!OpenWithFlags(path, flags, (mode & kOpenShareDelete) == 0)) return false;
    if ((mode & kOpenAppend) && SeekToEnd() < 0) {
        const int error = error_;
        Close();
        return Fail(error);
    }
    return true;
}

bool FileHandle::Reopen(const char* path, int mode, int64_t position) {
    if (position < 0) return Fail(EINVAL);
    const int flags = AccessFlags(mode) | WithAppend(mode);
    if (!OpenWithFlags(path, flags, (mode & kOpenShareDelete) == 0)) return false;
    if (position != 0 && Seek(position) != position) {
        const int error = error_ != 0 ? error_ : EIO;
        Close();
        return Fail(error);
    }
    return true;
}

bool FileHandle::Close() {
    if (fd_ < 0) return true;
    held_.clear(); // closing the descriptor releases every lock it holds
    OpenFileTable& table = Table();
    int result;
    int error;
    {
        std::lock_guard<std::mutex> guard(table.mutex);
        if (registered_) table.Remove(device_, inode_);
        result = close(fd_);
        error = errno;
    }
    fd_ = -1;
    registered_ = false;
    // The descriptor is gone even when close() reports an error.
    if (result != 0 && error != EINTR) return Fail(error);
    return true;
}

int64_t FileHandle::Read(void* buffer, int64_t count) {
    if (fd_ < 0) return FailCount(EBADF);
    if (count < 0 || (buffer == nullptr && count > 0)) return FailCount(EINVAL);
    char* out = static_cast<char*>(buffer);
    int64_t total = 0;
    while (total < count) {
        const size_t want = static_cast<size_t>(std::min<int64_t>(count - total, INT64_C(1) << 30));
        const ssize_t n = read(fd_, out + total, want);
        if (n < 0) {
            if (errno == EINTR) continue;
            Fail(errno);
            return total > 0 ? total : -1;
        }
        if (n == 0) break;
        total += n;
    }
    return total;
}

int64_t FileHandle::Write(const void* buffer, int64_t count) {
    if (fd_ < 0) return FailCount(EBADF);
    if (count < 0 || (buffer == nullptr && count > 0)) return FailCount(EINVAL);
    const char* in = static_cast<const char*>(buffer);
    int64_t total = 0;
    while (total < count) {
        const size_t want = static_cast<size_t>(std::min<int64_t>(count - total, INT64_C(1) << 30));
        const ssize_t n = write(fd_, in + total, want);
        if (n < 0) {
            if (errno == EINTR) continue;
            Fail(errno);
            return total > 0 ? total : -1;
        }
        if (n == 0) {
            Fail(EIO);
            return total > 0 ? total : -1;
        }
        total += n;
    }
    return total;
}

int64_t FileHandle::ReadAt(int64_t offset, void* buffer, int64_t count) {
    if (fd_ < 0) return FailCount(EBADF);
    if (offset < 0 || count < 0 || (buffer == nullptr && count > 0)) return FailCount(EINVAL);
    char* out = static_cast<char*>(buffer);
    int64_t total = 0;
    while (total < count) {
        const size_t want = static_cast<size_t>(std::min<int64_t>(count - total, INT64_C(1) << 30));
        const ssize_t n = pread(fd_, out + total, want, static_cast<off_t>(offset + total));
        if (n < 0) {
            if (errno == EINTR) continue;
            Fail(errno);
            return total > 0 ? total : -1;
        }
        if (n == 0) break;
        total += n;
    }
    return total;
}

int64_t FileHandle::WriteAt(int64_t offset, const void* buffer, int64_t count) {
    if (fd_ < 0) return FailCount(EBADF);
    if (offset < 0 || count < 0 || (buffer == nullptr && count > 0)) return FailCount(EINVAL);
    const char* in = static_cast<const char*>(buffer);
    int64_t total = 0;
    while (total < count) {
        const size_t want = static_cast<size_t>(std::min<int64_t>(count - total, INT64_C(1) << 30));
        const ssize_t n = pwrite(fd_, in + total, want, static_cast<off_t>(offset + total));
        if (n < 0) {
            if (errno == EINTR) continue;
            Fail(errno);
            return total > 0 ? total : -1;
        }
        if (n == 0) {
            Fail(EIO);
            return total > 0 ? total : -1;
        }
        total += n;
    }
    return total;
}

int64_t FileHandle::Seek(int64_t offset) {
    if (fd_ < 0) return FailCount(EBADF);
    if (offset < 0) return FailCount(EINVAL);
    const off_t at = lseek(fd_, static_cast<off_t>(offset), SEEK_SET);
    if (at < 0) return FailCount(errno);
    return static_cast<int64_t>(at);
}

int64_t FileHandle::SeekToEnd() {
    if (fd_ < 0) return FailCount(EBADF);
    const off_t at = lseek(fd_, 0, SEEK_END);
    if (at < 0) return FailCount(errno);
    return static_cast<int64_t>(at);
}

int64_t FileHandle::Tell() {
    if (fd_ < 0) return FailCount(EBADF);
    const off_t at = lseek(fd_, 0, SEEK_CUR);
    if (at < 0) return FailCount(errno);
    return static_cast<int64_t>(at);
}

int64_t FileHandle::Length() {
    FileInfo info;
    return Stat(info) ? info.size : -1;
}

bool FileHandle::Stat(FileInfo& out) {
    if (fd_ < 0) return Fail(EBADF);
    struct stat st{};
    if (fstat(fd_, &st) != 0) return Fail(errno);
    Fill(st, out);
    return true;
}

bool FileHandle::TouchTimes() {
    if (fd_ < 0) return Fail(EBADF);
    timespec times[2];
    NowTimes(times);
    return futimens(fd_, times) == 0 ? true : Fail(errno);
}

bool FileHandle::TakeLock(int64_t offset, int64_t length, bool exclusive, bool wait) {
    if (fd_ < 0) return Fail(EBADF);
    if (!ValidRange(offset, length)) return Fail(EINVAL);
    for (const Range& range : held_) {
        if ((exclusive || range.exclusive) && Overlap(offset, length, range.offset, range.length)) {
            return Fail(EDEADLK);
        }
    }
    // A new range never overlaps one of ours of the other kind (checked
    // above), so the kernel never converts a range we already hold.
    if (length > 0 && !SetRange(fd_, exclusive ? F_WRLCK : F_RDLCK, offset, length, wait)) {
        const int error = errno;
        return Fail(!wait && (error == EACCES || error == EAGAIN) ? EAGAIN : error);
    }
    held_.push_back(Range{offset, length, exclusive});
    return true;
}

bool FileHandle::TryLock(int64_t offset, int64_t length, bool exclusive) {
    return TakeLock(offset, length, exclusive, false);
}

bool FileHandle::Lock(int64_t offset, int64_t length, bool exclusive) {
    return TakeLock(offset, length, exclusive, true);
}

bool FileHandle::Unlock(int64_t offset, int64_t length) {
    if (!ValidRange(offset, length)) return Fail(EINVAL);
    auto it = std::find_if(held_.begin(), held_.end(),
                           [&](const Range& r) { return r.offset == offset && r.length == length; });
    if (it == held_.end()) return Fail(ENOLCK);
    const Range removed = *it;
    const size_t index = static_cast<size_t>(it - held_.begin());
    held_.erase(it);
    if (removed.length == 0 || fd_ < 0) return true;
    // A range the system keeps locked stays on the list.
    auto release = [&](int64_t from, int64_t to) {
        if (SetRange(fd_, F_UNLCK, from, to - from, false)) return true;
        const int error = errno;
        held_.insert(held_.begin() + static_cast<std::ptrdiff_t>(index), removed);
        return Fail(error);
    };
    const int64_t end = removed.offset + removed.length;
    // Mostly nothing else overlaps it: no lists to make.
    if (std::none_of(held_.begin(), held_.end(), [&](const Range& range) {
            return Overlap(removed.offset, removed.length, range.offset, range.length);
        }))
        return release(removed.offset, end);

    // Only the bytes no other held range covers are given back. Whatever
    // still overlaps the removed range is shared (an exclusive range overlaps
    // nothing of ours), so those bytes keep the read lock they already have.
    std::vector<std::pair<int64_t, int64_t>> covered;
    for (const Range& range : held_) {
        if (Overlap(removed.offset, removed.length, range.offset, range.length)) {
            covered.emplace_back(range.offset, range.offset + range.length);
        }
    }
    std::sort(covered.begin(), covered.end());
    int64_t cursor = removed.offset;
    std::vector<std::pair<int64_t, int64_t>> gaps;
    for (const auto& [from, to] : covered) {
        const int64_t start = std::max(from, removed.offset);
        if (start > cursor) gaps.emplace_back(cursor, start);
        cursor = std::max(cursor, std::min(to, end));
    }
    if (cursor < end) gaps.emplace_back(cursor, end);
    for (const auto& [from, to] : gaps)
        if (!release(from, to)) return false;
    return true;
}

// ------------------------------------------------------------------- Mapping

Mapping::~Mapping() { Unmap(); }

void Mapping::Unmap() {
    if (base_ != nullptr) munmap(base_, baseLength_);
    base_ = nullptr;
    baseLength_ = 0;
    data_ = nullptr;
    length_ = 0;
}

const void* Mapping::Map(FileHandle& file, int64_t offset, int64_t length) {
    Unmap();
    if (!file.IsOpen()) return FailNull(EBADF);
    if (offset < 0 || length <= 0) return FailNull(EINVAL);
    const int64_t size = file.Length();
    if (size < 0) return nullptr;
    if (offset > size || length > size - offset) return FailNull(EINVAL);
    const long page = sysconf(_SC_PAGESIZE);
    const int64_t pageSize = page > 0 ? static_cast<int64_t>(page) : 4096;
    const int64_t aligned = offset - offset % pageSize;
    const int64_t lead = offset - aligned;
    const size_t total = static_cast<size_t>(length + lead);
    void* base = mmap(nullptr, total, PROT_READ, MAP_SHARED, file.Descriptor(), static_cast<off_t>(aligned));
    if (base == MAP_FAILED) return FailNull(errno);
    base_ = base;
    baseLength_ = total;
    data_ = static_cast<const char*>(base) + lead;
    length_ = length;
    return data_;
}

bool SharesOnePageCache(FileHandle& file) {
    struct statfs info {};
    if (!file.IsOpen() || fstatfs(file.Descriptor(), &info) != 0) return false;
    switch (static_cast<uint64_t>(info.f_type)) {
    case 0xEF53:     // ext2, ext3, ext4
    case 0x58465342: // xfs
    case 0x9123683E: // btrfs
    case 0x01021994: // tmpfs
    case 0xF2F52010: // f2fs
        return true;
    default:
        return false;
    }
}

namespace {

// The copy under way on this thread: a bus error inside it ends the copy
// instead of the process.
thread_local sigjmp_buf* copyUnderWay = nullptr;
struct sigaction busErrorBefore {};

void OnBusError(int signal, siginfo_t* info, void* context) {
    if (copyUnderWay != nullptr) siglongjmp(*copyUnderWay, 1);
    // Not a copy of ours: whatever was set before deals with it.
    if (busErrorBefore.sa_flags & SA_SIGINFO) {
        if (busErrorBefore.sa_sigaction != nullptr) busErrorBefore.sa_sigaction(signal, info, context);
        return;
    }
    if (busErrorBefore.sa_handler != SIG_DFL && busErrorBefore.sa_handler != SIG_IGN) {
        busErrorBefore.sa_handler(signal);
        return;
    }
    // The faulting access runs again and ends the process as it would have.
    std::signal(SIGBUS, SIG_DFL);
}

void CatchBusErrors() {
    struct sigaction action {};
    action.sa_sigaction = OnBusError;
    // The jump out of the handler restores no mask: the signal stays
    // unblocked while it runs.
    action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, &busErrorBefore);
}

} // namespace

bool CopyFromMapping(void* to, const void* from, size_t count) {
    static std::once_flag caught;
    std::call_once(caught, CatchBusErrors);
    sigjmp_buf jump;
    if (sigsetjmp(jump, 0) != 0) {
        copyUnderWay = nullptr;
        // A handler put in front of ours may have blocked the signal for its
        // run; left so, the next one on this thread or its new threads would
        // end the process.
        sigset_t busError;
        sigemptyset(&busError);
        sigaddset(&busError, SIGBUS);
        pthread_sigmask(SIG_UNBLOCK, &busError, nullptr);
        return false;
    }
    copyUnderWay = &jump;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    std::memcpy(to, from, count);
    // The copy must be done before the guard goes.
    std::atomic_signal_fence(std::memory_order_seq_cst);
    copyUnderWay = nullptr;
    return true;
}

// ----------------------------------------------------------- DirectoryReader

DirectoryReader::~DirectoryReader() { Close(); }

bool DirectoryReader::Open(const char* path) {
    Close();
    failed_ = false;
    if (path == nullptr) return Fail(EINVAL);
    DIR* dir = opendir(path);
    if (dir == nullptr) {
        failed_ = true;
        return FailErrno();
    }
    dir_ = dir;
    return true;
}

const char* DirectoryReader::Next() {
    if (dir_ == nullptr) return nullptr;
    errno = 0;
    const dirent* entry = readdir(static_cast<DIR*>(dir_));
    if (entry == nullptr) {
        if (errno != 0) {
            failed_ = true;
            FailErrno();
        }
        return nullptr;
    }
    return entry->d_name;
}

void DirectoryReader::Close() {
    if (dir_ != nullptr) closedir(static_cast<DIR*>(dir_));
    dir_ = nullptr;
}

// ------------------------------------------------------------- path queries

bool StatPath(const char* path, FileInfo& out) {
    if (path == nullptr) return Fail(EINVAL);
    struct stat st{};
    if (stat(path, &st) != 0) return FailErrno();
    Fill(st, out);
    return true;
}

namespace {

struct SharedStat {
    FileInfo info;
    int error = 0;
    std::chrono::steady_clock::time_point taken;
    uint64_t generation = 0;
};

// The folders watched for changes; a generation that moves on with every
// change noticed.
struct StatShare {
    std::mutex mutex;
    int notify = -2; // -2: not started; -1: watching is not available
    std::atomic<uint64_t> generation{1};
    std::unordered_set<std::string> watched;
};

constexpr size_t kMostWatched = 1024;
constexpr size_t kMostShared = 4096;
constexpr uint32_t kWatchedChanges = IN_ATTRIB | IN_CREATE | IN_DELETE | IN_DELETE_SELF | IN_MODIFY |
                                     IN_MOVE_SELF | IN_MOVED_FROM | IN_MOVED_TO;

StatShare& TheStatShare() {
    static StatShare* share = new StatShare; // lives as long as the process
    return *share;
}

// Paths are looked up as they are given, without a string made of them.
struct PathHash {
    using is_transparent = void;
    size_t operator()(std::string_view path) const { return std::hash<std::string_view>{}(path); }
};

// Each thread keeps the results it took (no lock to read them); a result
// counts while its generation is the current one.
thread_local std::unordered_map<std::string, SharedStat, PathHash, std::equal_to<>> tResults;
thread_local int tBatch = 0;

// Starts watching when not yet tried; false when it cannot be had. Under
// the share's lock.
bool Watching(StatShare& share) {
    if (share.notify == -2) {
        share.notify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (share.notify < 0) share.notify = -1;
    }
    return share.notify >= 0;
}

// Reads the change notices that arrived; any of them moves the generation
// on. A watch the kernel dropped (its folder went) is set again on the next
// question. Under the share's lock, so that a caller that finds nothing to
// read knows every notice before it was counted.
void TakeNotices(StatShare& share) {
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        ssize_t n = read(share.notify, buffer, sizeof buffer);
        if (n <= 0) return;
        share.generation.fetch_add(1, std::memory_order_acq_rel);
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
            inotify_event event;
            std::memcpy(&event, buffer + at, sizeof event);
            if (event.mask & (IN_IGNORED | IN_Q_OVERFLOW)) share.watched.clear();
            at += static_cast<ssize_t>(sizeof event + event.len);
        }
    }
}

void Refresh(StatShare& share) {
    std::lock_guard<std::mutex> lock(share.mutex);
    if (Watching(share)) TakeNotices(share);
}

std::atomic<bool> gStatSharing{true};

} // namespace

void SetStatSharing(bool on) {
    gStatSharing.store(on, std::memory_order_relaxed);
}

void BeginSharedStatBatch() {
    if (gStatSharing.load(std::memory_order_relaxed)) Refresh(TheStatShare());
    ++tBatch;
}

void EndSharedStatBatch() {
    if (tBatch > 0) --tBatch;
}

bool StatPathShared(const char* path, FileInfo& out) {
    if (path == nullptr || path[0] != '/' || !gStatSharing.load(std::memory_order_relaxed))
        return StatPath(path, out);
    StatShare& share = TheStatShare();
    if (tBatch == 0) Refresh(share);
    std::string_view asked(path);
    auto now = std::chrono::steady_clock::now();
    uint64_t generation = share.generation.load(std::memory_order_acquire);
    auto found = tResults.find(asked);
    if (found != tResults.end() && found->second.generation == generation &&
        now - found->second.taken < std::chrono::milliseconds(kStatShareMilliseconds)) {
        if (found->second.error != 0) return Fail(found->second.error);
        out = found->second.info;
        return true;
    }
    std::string key(asked);
    {
        // Watched before the question is asked, so no change after it goes unseen.
        std::lock_guard<std::mutex> lock(share.mutex);
        if (!Watching(share)) return StatPath(path, out);
        std::string folder = key.substr(0, std::max<size_t>(key.rfind('/'), 1));
        if (!share.watched.count(folder)) {
            if (share.watched.size() >= kMostWatched ||
                inotify_add_watch(share.notify, folder.c_str(), kWatchedChanges) < 0)
                return StatPath(path, out);
            share.watched.insert(folder);
        }
        generation = share.generation.load(std::memory_order_acquire);
    }
    SharedStat result;
    result.taken = now;
    result.generation = generation; // a change noticed meanwhile makes it stale
    bool ok = StatPath(path, result.info);
    result.error = ok ? 0 : LastError();
    if (tResults.size() >= kMostShared) tResults.clear();
    tResults[key] = result;
    if (!ok) return Fail(result.error);
    out = result.info;
    return true;
}

bool PathExists(const char* path, bool& exists) {
    exists = false;
    if (path == nullptr) return Fail(EINVAL);
    struct stat st{};
    if (stat(path, &st) == 0) {
        exists = true;
        return true;
    }
    if (IsNotFound(errno)) return true;
    return FailErrno();
}

bool PathSize(const char* path, int64_t& size) {
    FileInfo info;
    if (!StatPath(path, info)) return false;
    size = info.size;
    return true;
}

bool PathModifiedTime(const char* path, int64_t& seconds) {
    FileInfo info;
    if (!StatPath(path, info)) return false;
    seconds = info.modifiedSeconds;
    return true;
}

bool PathIsDirectory(const char* path, bool& isDirectory) {
    FileInfo info;
    if (!StatPath(path, info)) return false;
    isDirectory = info.isDirectory;
    return true;
}

bool PathMode(const char* path, int& mode) {
    FileInfo info;
    if (!StatPath(path, info)) return false;
    mode = static_cast<int>(info.mode & 07777);
    return true;
}

// -------------------------------------------------------------- path changes

bool TouchPath(const char* path) {
    if (path == nullptr) return Fail(EINVAL);
    timespec times[2];
    NowTimes(times);
    if (utimensat(AT_FDCWD, path, times, 0) == 0) return true;
    if (errno != ENOENT) return FailErrno();
    const int fd = OpenDescriptor(path, O_WRONLY | O_CREAT);
    if (fd < 0) return FailErrno();
    const bool stamped = futimens(fd, times) == 0;
    const int error = errno;
    close(fd);
    return stamped ? true : Fail(error);
}

bool SetModifiedTime(const char* path, int64_t seconds, int32_t nanoseconds) {
    if (path == nullptr || nanoseconds < 0 || nanoseconds > 999999999) return Fail(EINVAL);
    const timespec times[2] = {timespec{0, UTIME_OMIT}, timespec{static_cast<time_t>(seconds), nanoseconds}};
    return utimensat(AT_FDCWD, path, times, 0) == 0 ? true : FailErrno();
}

bool ChangeMode(const char* path, int mode) {
    if (path == nullptr) return Fail(EINVAL);
    return chmod(path, static_cast<mode_t>(mode & 07777)) == 0 ? true : FailErrno();
}

bool MakeDirectory(const char* path) {
    if (path == nullptr) return Fail(EINVAL);
    return mkdir(path, 0777) == 0 ? true : FailErrno();
}

bool RemoveDirectory(const char* path) {
    if (path == nullptr) return Fail(EINVAL);
    return rmdir(path) == 0 ? true : FailErrno();
}

bool MakeSymbolicLink(const char* target, const char* linkPath) {
    if (target == nullptr || linkPath == nullptr) return Fail(EINVAL);
    return symlink(target, linkPath) == 0 ? true : FailErrno();
}

bool DeleteFile(const char* path) {
    if (path == nullptr) return Fail(EINVAL);
    OpenFileTable& table = Table();
    std::lock_guard<std::mutex> guard(table.mutex);
    if (NameIsOpen(table, path)) return Fail(EACCES);
    return unlink(path) == 0 ? true : FailErrno();
}

bool CopyFile(const char* from, const char* to) {
    if (from == nullptr || to == nullptr) return Fail(EINVAL);
    struct stat sourceStat{};
    const int source = OpenDescriptor(from, O_RDONLY, &sourceStat);
    if (source < 0) return FailErrno();
    if (S_ISDIR(sourceStat.st_mode)) {
        close(source);
        return Fail(EISDIR);
    }

    // The target is emptied only after it is known to be neither the source
    // nor a file open here, and it is recorded as open while it is written.
    OpenFileTable& table = Table();
    int target;
    struct stat targetStat{};
    {
        std::lock_guard<std::mutex> guard(table.mutex);
        target = OpenDescriptor(to, O_WRONLY | O_CREAT, &targetStat);
        int error = 0;
        if (target < 0) {
            error = errno;
        } else if (targetStat.st_dev == sourceStat.st_dev && targetStat.st_ino == sourceStat.st_ino) {
            error = EINVAL;
        } else if (table.Holds(targetStat.st_dev, targetStat.st_ino)) {
            error = EACCES;
        } else if (ftruncate(target, 0) != 0) {
            error = errno;
        }
        if (error != 0) {
            if (target >= 0) close(target);
            close(source);
            return Fail(error);
        }
        table.Add(targetStat.st_dev, targetStat.st_ino);
    }

    bool copied = CopyBytes(source, target);
    int error = copied ? 0 : errno;
    if (copied) {
        // Permission bits and times follow the source; a target owned by
        // someone else may refuse them, which does not undo the copy.
        (void)fchmod(target, sourceStat.st_mode & 07777);
        const timespec times[2] = {sourceStat.st_atim, sourceStat.st_mtim};
        (void)futimens(target, times);
    }
    {
        std::lock_guard<std::mutex> guard(table.mutex);
        table.Remove(targetStat.st_dev, targetStat.st_ino);
        if (close(target) != 0 && copied && errno != EINTR) {
            copied = false;
            error = errno;
        }
    }
    close(source);
    return copied ? true : Fail(error);
}

bool RenameFile(const char* from, const char* to) {
    if (from == nullptr || to == nullptr) return Fail(EINVAL);
    OpenFileTable& table = Table();
    {
        std::lock_guard<std::mutex> guard(table.mutex);
        if (NameIsOpen(table, from) || NameIsOpen(table, to)) return Fail(EACCES);
        if (rename(from, to) == 0) return true;
        if (errno != EXDEV) return FailErrno();
    }

    // Another file system: copy beside the target, so the target is still
    // replaced in one step, then remove the source.
    struct stat sourceStat{};
    if (lstat(from, &sourceStat) != 0) return FailErrno();
    if (!S_ISREG(sourceStat.st_mode)) return Fail(EXDEV);
    std::string sibling;
    if (!MakeSiblingName(to, sibling)) return false;
    if (!CopyFile(from, sibling.c_str())) {
        const int error = LastError();
        unlink(sibling.c_str());
        return Fail(error);
    }
    std::lock_guard<std::mutex> guard(table.mutex);
    int error = 0;
    if (NameIsOpen(table, from) || NameIsOpen(table, to)) {
        error = EACCES;
    } else if (rename(sibling.c_str(), to) != 0) {
        error = errno;
    }
    if (error != 0) {
        unlink(sibling.c_str());
        return Fail(error);
    }
    return unlink(from) == 0 ? true : FailErrno();
}

bool RenameFileNoReplace(const char* from, const char* to) {
    if (from == nullptr || to == nullptr) return Fail(EINVAL);
    OpenFileTable& table = Table();
    std::lock_guard<std::mutex> guard(table.mutex);
    if (NameIsOpen(table, from)) return Fail(EACCES);
    if (!gForceNoReplaceFallback.load()) {
        if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
        if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return FailErrno();
    }
    // Without the flag: link() refuses an existing name just as atomically.
    if (link(from, to) != 0) return FailErrno();
    if (unlink(from) != 0) {
        const int error = errno;
        unlink(to);
        return Fail(error);
    }
    return true;
}

namespace {

// Whether a handle other than the caller's own holds the name open. Table
// lock held.
bool NameIsOpenToOthers(OpenFileTable& table, const char* path, const FileHandle* const* own,
                        size_t ownCount) {
    struct stat st{};
    if (lstat(path, &st) != 0) return false;
    auto it = table.counts.find({st.st_dev, st.st_ino});
    if (it == table.counts.end()) return false;
    int others = it->second;
    for (size_t i = 0; i < ownCount; ++i)
        if (own[i] && own[i]->Counts(st.st_dev, st.st_ino)) --others;
    return others > 0;
}

} // namespace

bool ExchangeFiles(const char* a, const char* b, const FileHandle* const* own, size_t ownCount) {
    if (a == nullptr || b == nullptr) return Fail(EINVAL);
    OpenFileTable& table = Table();
    std::lock_guard<std::mutex> guard(table.mutex);
    if (NameIsOpenToOthers(table, a, own, ownCount) || NameIsOpenToOthers(table, b, own, ownCount))
        return Fail(EACCES);
    if (renameat2(AT_FDCWD, a, AT_FDCWD, b, RENAME_EXCHANGE) == 0) return true;
    if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) return ExchangeByRenames(a, b);
    return FailErrno();
}

bool ExchangeByRenames(const char* a, const char* b) {
    if (a == nullptr || b == nullptr) return Fail(EINVAL);
    struct stat st{};
    if (lstat(a, &st) != 0 || lstat(b, &st) != 0) return FailErrno();
    const std::string aside = std::string(a) + ".~x" + std::to_string(getpid());
    if (rename(a, aside.c_str()) != 0) return FailErrno();
    if (rename(b, a) != 0) {
        const int error = errno;
        rename(aside.c_str(), a);
        return Fail(error);
    }
    if (rename(aside.c_str(), b) != 0) {
        const int error = errno;
        if (rename(a, b) == 0) rename(aside.c_str(), a);
        return Fail(error);
    }
    return true;
}

bool AppendRecord(const char* path, const void* bytes, size_t count) {
    if (path == nullptr || path[0] == '\0' || (bytes == nullptr && count > 0)) return Fail(EINVAL);
    const int fd = OpenRetrying(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) return FailErrno();
    ssize_t written;
    do {
        written = write(fd, bytes, count);
    } while (written < 0 && errno == EINTR);
    const int error = written < 0 ? errno : ENOSPC;
    close(fd);
    if (written == static_cast<ssize_t>(count)) return true;
    return Fail(error);
}

bool RenameFileHeld(const char* from, const char* to, int fromHeld, int toHeld) {
    if (from == nullptr || to == nullptr) return Fail(EINVAL);
    OpenFileTable& table = Table();
    std::lock_guard<std::mutex> guard(table.mutex);
    auto others = [&](const char* path, int held) {
        struct stat st{};
        if (lstat(path, &st) != 0) return false;
        auto it = table.counts.find({st.st_dev, st.st_ino});
        return it != table.counts.end() && it->second > held;
    };
    if (others(from, fromHeld) || others(to, toHeld)) return Fail(EACCES);
    return rename(from, to) == 0 ? true : FailErrno();
}

bool IsOpenInProcess(const char* path) {
    if (path == nullptr) return false;
    OpenFileTable& table = Table();
    std::lock_guard<std::mutex> guard(table.mutex);
    struct stat st{};
    return stat(path, &st) == 0 && table.Holds(st.st_dev, st.st_ino);
}

namespace test_hooks {
void ForceNoReplaceFallback(bool force) { gForceNoReplaceFallback.store(force); }
} // namespace test_hooks

} // namespace vorn::platform
