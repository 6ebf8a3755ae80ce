// Unpredictable bytes from the kernel, for identifiers that must not be
// guessed (session ids).
#pragma once

#include <cstddef>

namespace vorn::platform {

// Fills the buffer from the kernel's random source, waiting for it to be
// seeded. False with LastError() set when the kernel cannot give them.
bool RandomBytes(void* buffer, size_t size);

} // namespace vorn::platform
