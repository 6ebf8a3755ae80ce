// VrLOCKFILE: the block's body runs while the host holds a lock file named
// after the tag's path.
#include <cstdlib>

#include "engine/app/VornApplication.h"
#include "engine/vm/HostFeatureSource.h"
#include "engine/vm/VornVM.h"

namespace vorn {

void VornVM::OpLockfile() {
    int32_t length = 0;
    char* path = stack->PopCString(&length, nullptr);
    if (aborted) {
        std::free(path);
        return;
    }
    HostFeatureSource* host = application ? application->GetHostFeatures() : nullptr;
    if (!host) {
        std::free(path);
        NotSupported("lockfile");
        return;
    }
    ClearTagError(kTagLockfile);
    LockfileFeature* lock = host->NewLockfile(application, this, path ? path : "", path ? length : 0);
    std::free(path);
    if (!lock->Lock()) {
        TagError(kTagLockfile, lock->error);
        if (aborted) {
            delete lock;
            return;
        }
        // The body runs on and its end still comes: the failed lock stays on
        // the stack, holding nothing, so that end cannot release an outer
        // block's lock.
    }
    PushFeature(lock);
}

void VornVM::OpLockfileEnd() {
    Feature* lock = FindFeature(kFeatureLockfile);
    if (!lock) {
        FatalError(kErrorNoOpenFeature);
        return;
    }
    RemoveFeature(lock);
}

} // namespace vorn
