// Compiled scripts kept in memory as read from disk, for as long as the file
// stays the same (device, inode, size, modification time: one stat per
// request), so that a request reads its script without opening it. What is
// kept are the file's bytes only; every request loads its own tables from
// them.
#pragma once

#include <cstdint>

namespace vorn {

class File;
class PosixFileManager;

// A File of the script at the location-relative path: an in-memory copy when
// the file is unchanged since it was last read, else the file read afresh
// (and kept when it is small enough). Null with the file manager's message,
// exactly as its own Open would fail.
File* OpenScript(PosixFileManager* files, int32_t kind, const char* path);

// Forgets every kept script.
void ClearScriptCache();

} // namespace vorn
