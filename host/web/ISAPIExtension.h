// The extension's process-wide state behind its three entry points: the
// first version call starts the request pool and loads OpenSSL, the request
// entry queues, the stop drains and releases everything.
#pragma once

#include <cstdint>

#include "platform/ISAPI.h"

namespace vorn {

inline constexpr uint32_t kExtensionVersion = 0x00010002;

// Fills the version record; starts the pool once per process. False only when
// the pool cannot be started.
bool ExtensionGetVersion(platform::ISAPIVersionInfo* info);
// kISAPIStatusPending, or kISAPIStatusError when the pool is not running.
uint32_t ExtensionHttpProc(platform::ISAPIControlBlock* controlBlock);
// Stops the pool (waiting for running requests) and unloads OpenSSL. False
// when a request is still running after the wait: the extension must then
// stay loaded.
bool ExtensionTerminate(uint32_t flags);

} // namespace vorn
