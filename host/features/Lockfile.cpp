#include "host/features/Lockfile.h"

#include "engine/app/VornApplication.h"
#include "engine/foundation/Config.h"

namespace vorn {

Lockfile::Lockfile(VornVM* vm, VornApplication* app, const char* path, int32_t length)
    : LockfileFeature(app, vm), name(path ? path : "", path ? length : 0) {
    name.Append(".lck");
}

Lockfile::~Lockfile() {
    FileManager* files = application ? application->GetFileManager() : nullptr;
    if (!locked || !files || Release(files)) return;
    Config* config = application->GetConfig();
    const int32_t delay = application->FileDelay();
    const int32_t timeout = config ? config->GetInteger(kConfigFileTimeout) : 0;
    if (delay <= 0) return;
    const double attempts = 1000.0 / delay * (timeout > 0 ? timeout : 0);
    const int64_t retries = static_cast<int64_t>(attempts) + 1;
    for (int64_t i = 0; i < retries; ++i) {
        if (application->TimedOut()) return;
        if (Release(files)) return;
        application->WaitForStop(delay);
    }
}

bool Lockfile::Release(FileManager* files) {
    return files->DeleteIdentified(LocationData, name.Text(), identity);
}

int32_t Lockfile::Lock() {
    FileManager* files = application ? application->GetFileManager() : nullptr;
    if (files && files->LockFile(LocationData, name.Text(), &identity) == LockFileTaken) {
        locked = true;
        return 1;
    }
    String message = String("Error creating lockfile '") + name + "': ";
    if (files) message.AppendString(files->ErrorText());
    SetError(message);
    return 0;
}

void Lockfile::Tick() {
    FileManager* files = application ? application->GetFileManager() : nullptr;
    if (locked && files) files->TouchIdentified(LocationData, name.Text(), identity);
}

} // namespace vorn
