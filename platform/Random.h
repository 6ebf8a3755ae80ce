// Random bytes from the kernel, and new UUIDs made of them.
#pragma once

#include <cstddef>

namespace vorn::platform {

// Fills the buffer from the kernel's random source (getrandom), waiting for
// it to be seeded. False with LastError() set when it cannot.
bool RandomBytes(void* buffer, size_t size);

// A new random UUID (version 4, RFC 4122 variant) as its 16 bytes.
bool CreateUuid(unsigned char out[16]);

} // namespace vorn::platform
