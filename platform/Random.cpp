#include "platform/Random.h"

#include "platform/Errors.h"

#include <cerrno>

#include <sys/random.h>

namespace vorn::platform {

bool RandomBytes(void* buffer, size_t size) {
    auto* out = static_cast<unsigned char*>(buffer);
    size_t done = 0;
    while (done < size) {
        ssize_t n = getrandom(out + done, size - done, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            SetLastError(n < 0 ? errno : EIO);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool CreateUuid(unsigned char out[16]) {
    if (!RandomBytes(out, 16)) return false;
    out[6] = static_cast<unsigned char>((out[6] & 0x0f) | 0x40);
    out[8] = static_cast<unsigned char>((out[8] & 0x3f) | 0x80);
    return true;
}

} // namespace vorn::platform
