// The few facts about processes and threads that lock owners are made of.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn::platform {

int64_t ProcessId();
int64_t ThreadId(); // the kernel's id of the calling thread (gettid), unique system-wide while it runs

// Whether a process of this id exists on this machine. A process we may not
// signal still exists; ids of 0 and below name process groups, not
// processes, and are reported as not alive.
bool ProcessAlive(int64_t pid);

// The machine's host name, NUL-terminated and cut to fit the buffer.
// False with LastError() set when the system cannot tell or size is 0.
bool HostName(char* buffer, size_t size);

} // namespace vorn::platform
