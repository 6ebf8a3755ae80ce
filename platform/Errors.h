// The last failure of a platform call on this thread, kept the way the engine
// asks for it: an error number taken at the moment of the failure (later calls
// such as close() or free() may change errno before anyone reads it), or the
// loader's own text when a module operation failed.
#pragma once

#include <cstddef>

namespace vorn::platform {

// Error number of the last failed platform call on this thread (an errno
// value), 0 when none failed yet. Success never clears it.
int LastError();

// Records an error number as this thread's last failure (and drops a module
// text recorded earlier). Platform calls use it; callers may too.
void SetLastError(int error);

// Records a module loader failure: the text is what the loader said; the
// error number becomes ELIBACC when the loader gave no number.
void SetLastModuleError(const char* text);

// Text of this thread's last failure: the loader's text after a module
// failure, otherwise the system's message for LastError(). The text lives in
// thread-local storage and stays valid until the next call on this thread.
const char* LastErrorText();

// The system's message for an error number, written NUL-terminated into the
// buffer (cut to fit). Returns the buffer, or "" for a null buffer or size 0.
const char* ErrorText(int error, char* buffer, size_t size);

// Kinds of failure the engine's retry loops and lock waits test for.
bool IsAccessDenied(int error);  // EACCES: refused, e.g. the file is open through another handle
bool IsLockConflict(int error);  // a byte range is held by another handle
bool IsAlreadyExists(int error); // exclusive create or no-replace rename met a file
bool IsNotFound(int error);      // the path or one of its directories is missing

} // namespace vorn::platform
