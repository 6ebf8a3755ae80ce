// Compiled scripts kept in memory as read from disk, for as long as the file
// stays the same (device, inode, size, modification and change times: the
// process's shared stat result, platform::StatPathShared), so that a request
// reads its script without opening it. Kept with the bytes is the program
// loaded from them, which every request of that script shares (each copies
// what its run may change).
#pragma once

#include <cstdint>
#include <memory>

namespace vorn {

class File;
class PosixFileManager;
struct LoadedProgram;

// A File of the script at the location-relative path: an in-memory copy when
// the file is unchanged since it was last read, else the file read afresh
// (and kept when it is small enough). Null with the file manager's message,
// exactly as its own Open would fail. With program, a kept script's loaded
// program is given there (loaded on first use; null when the file is not
// kept or does not load).
File* OpenScript(PosixFileManager* files, int32_t kind, const char* path,
                 std::shared_ptr<const LoadedProgram>* program = nullptr);

// Forgets every kept script.
void ClearScriptCache();

} // namespace vorn
