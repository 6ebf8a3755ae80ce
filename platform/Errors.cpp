#include "platform/Errors.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vorn::platform {

namespace {

struct Failure {
    int error = 0;
    bool hasModuleText = false;
    char moduleText[1024] = {};
    char text[1024] = {};
};

thread_local Failure tFailure;

// strerror_r comes in two shapes: the XSI one returns an int and fills the
// buffer, the GNU one returns a pointer that may or may not be the buffer.
[[maybe_unused]] const char* PickText(int result, char* buffer) { return result == 0 ? buffer : nullptr; }
[[maybe_unused]] const char* PickText(const char* result, char*) { return result; }

} // namespace

int LastError() { return tFailure.error; }

void SetLastError(int error) {
    tFailure.error = error;
    tFailure.hasModuleText = false;
}

void SetLastModuleError(const char* text) {
    tFailure.error = ELIBACC;
    tFailure.hasModuleText = true;
    snprintf(tFailure.moduleText, sizeof tFailure.moduleText, "%s", text != nullptr ? text : "");
}

const char* ErrorText(int error, char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) return "";
    buffer[0] = '\0';
    const char* text = PickText(strerror_r(error, buffer, size), buffer);
    if (text == nullptr) {
        snprintf(buffer, size, "Unknown error %d", error);
    } else if (text != buffer) {
        snprintf(buffer, size, "%s", text);
    }
    return buffer;
}

const char* LastErrorText() {
    if (tFailure.hasModuleText) return tFailure.moduleText;
    return ErrorText(tFailure.error, tFailure.text, sizeof tFailure.text);
}

bool IsAccessDenied(int error) { return error == EACCES; }
bool IsLockConflict(int error) { return error == EAGAIN || error == EWOULDBLOCK; }
bool IsAlreadyExists(int error) { return error == EEXIST; }
bool IsNotFound(int error) { return error == ENOENT || error == ENOTDIR; }

} // namespace vorn::platform
