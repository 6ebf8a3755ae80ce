// The three entry points the web server calls, exported by VornVMIIS with C
// linkage; nothing thrown inside crosses them.
#include <cstdint>

#include "host/web/ISAPIExtension.h"
#include "platform/ISAPI.h"

#define VORN_EXTENSION_EXPORT extern "C" __attribute__((visibility("default")))

VORN_EXTENSION_EXPORT bool GetExtensionVersion(vorn::platform::ISAPIVersionInfo* info) {
    return vorn::ExtensionGetVersion(info);
}

VORN_EXTENSION_EXPORT uint32_t HttpExtensionProc(vorn::platform::ISAPIControlBlock* controlBlock) {
    return vorn::ExtensionHttpProc(controlBlock);
}

VORN_EXTENSION_EXPORT bool TerminateExtension(uint32_t flags) {
    return vorn::ExtensionTerminate(flags);
}
