#include "platform/Random.h"

#include <sys/random.h>

#include <cerrno>

#include "platform/Errors.h"

namespace vorn::platform {

bool RandomBytes(void* buffer, size_t size) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        ssize_t n = getrandom(bytes, size, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            SetLastError(errno);
            return false;
        }
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace vorn::platform
