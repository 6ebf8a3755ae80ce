#include "platform/Process.h"

#include "platform/Errors.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <pthread.h>
#include <unistd.h>

namespace vorn::platform {

int64_t ProcessId() { return static_cast<int64_t>(getpid()); }

namespace {

// A thread's id never changes while it runs, so it is asked for once; a
// forked child's only thread forgets the id it inherited.
thread_local int64_t tThreadId = 0;

void ForgetThreadId() { tThreadId = 0; }

} // namespace

int64_t ThreadId() {
    if (tThreadId == 0) {
        static const bool forgetsOnFork = pthread_atfork(nullptr, nullptr, &ForgetThreadId) == 0;
        (void)forgetsOnFork;
        tThreadId = static_cast<int64_t>(gettid());
    }
    return tThreadId;
}

bool ProcessAlive(int64_t pid) {
    // kill() with 0 or a negative id would address a whole process group.
    if (pid <= 0 || pid > INT_MAX) return false;
    if (kill(static_cast<pid_t>(pid), 0) == 0) return true;
    return errno == EPERM;
}

bool HostName(char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) {
        SetLastError(EINVAL);
        return false;
    }
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0) {
        SetLastError(errno);
        buffer[0] = '\0';
        return false;
    }
    const size_t length = strnlen(name, sizeof name - 1);
    const size_t copied = length < size ? length : size - 1;
    memcpy(buffer, name, copied);
    buffer[copied] = '\0';
    return true;
}

} // namespace vorn::platform
