// The lock file of a VrLOCKFILE block: the path with ".lck" appended, in the
// data directory, taken with the file manager's lock-file protocol when the
// block starts and removed when it ends (or when the run ends inside it).
// While held it is touched at every watchdog tick, so that no other server
// takes it for an abandoned one.
#pragma once

#include <cstdint>

#include "engine/files/File.h"
#include "engine/foundation/String.h"
#include "engine/vm/HostFeatureSource.h"

namespace vorn {

class Lockfile : public LockfileFeature {
  public:
    // path has no NUL bytes.
    Lockfile(VornVM* vm, VornApplication* application, const char* path, int32_t length);
    // Removes the lock file when held, retrying a failed delete every
    // "filedelay" milliseconds for up to "filetimeout" seconds, or until the
    // run times out; a lock file left behind expires for the next taker.
    ~Lockfile() override;

    // "Error creating lockfile '<name>': <reason>" on failure.
    int32_t Lock() override;
    // Touches the lock file while held, and only the file this lock made.
    void Tick() override;

    const String& Name() const { return name; }
    bool Locked() const { return locked; }

  private:
    bool Release(FileManager* files);

    String name;
    FileIdentity identity;
    bool locked = false;
};

} // namespace vorn
