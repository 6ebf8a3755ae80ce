#include "server/RequestBody.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace vorn::server {

namespace {

constexpr size_t kScratch = 64 * 1024;

// An unnamed file in the temporary folder: nothing is left behind by a crash.
int MakeFile() {
    const char* folder = std::getenv("TMPDIR");
    if (!folder || !*folder) folder = "/tmp";
    int fd = open(folder, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != ENOENT)) return fd;
    std::string path = std::string(folder) + "/vornfcgi-body-XXXXXX";
    fd = mkostemp(path.data(), O_CLOEXEC);
    if (fd >= 0) unlink(path.c_str());
    return fd;
}

} // namespace

void RequestBody::Clear() {
    if (file >= 0) close(file);
    file = -1;
    if (memory.capacity() > 64 * 1024) std::string().swap(memory);
    std::string().swap(scratch);
    memory.clear();
    size = position = 0;
}

char* RequestBody::Space(size_t wanted, size_t* room) {
    if (size < kMemory) {
        size_t grow = std::min(wanted, kMemory - size);
        if (memory.size() < size + grow) memory.resize(size + grow);
        *room = grow;
        return memory.data() + size;
    }
    if (scratch.size() < kScratch) scratch.resize(kScratch);
    *room = std::min(wanted, kScratch);
    return scratch.data();
}

bool RequestBody::Commit(size_t length) {
    if (length == 0) return true;
    if (size < kMemory) {
        size += length;
        return true;
    }
    if (file < 0 && (file = MakeFile()) < 0) return false;
    for (size_t at = 0; at < length;) {
        ssize_t n = pwrite(file, scratch.data() + at, length - at, static_cast<off_t>(size - kMemory + at));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        at += static_cast<size_t>(n);
    }
    size += length;
    return true;
}

ssize_t RequestBody::Read(char* to, size_t length) {
    length = std::min(length, size - position);
    if (length == 0) return 0;
    if (position < kMemory) {
        size_t n = std::min(length, kMemory - position);
        std::memcpy(to, memory.data() + position, n);
        position += n;
        return static_cast<ssize_t>(n);
    }
    for (;;) {
        ssize_t n = pread(file, to, length, static_cast<off_t>(position - kMemory));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        position += static_cast<size_t>(n);
        return n;
    }
}

} // namespace vorn::server
