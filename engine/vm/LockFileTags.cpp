// VrLOCKFILE: the block's body runs while the host holds a lock file named
// after the tag's path.
#include <cstdlib>

#include "engine/app/VornApplication.h"
#include "engine/vm/HostFeatureSource.h"
#include "engine/vm/TagGroups.h"
#include "engine/vm/VornVM.h"

namespace vorn {

void OpLockfile(VornVM& vm) {
    int32_t length = 0;
    char* path = vm.CurrentStack()->PopCString(&length, nullptr);
    if (vm.Aborted()) {
        std::free(path);
        return;
    }
    VornApplication* application = vm.Application();
    HostFeatureSource* host = application ? application->GetHostFeatures() : nullptr;
    if (!host) {
        std::free(path);
        vm.NotSupported("lockfile");
        return;
    }
    vm.ClearTagError(kTagLockfile);
    LockfileFeature* lock = host->NewLockfile(application, &vm, path ? path : "", path ? length : 0);
    std::free(path);
    if (!lock->Lock()) {
        vm.TagError(kTagLockfile, lock->error);
        if (vm.Aborted()) {
            delete lock;
            return;
        }
        // The body runs on and its end still comes: the failed lock stays on
        // the stack, holding nothing, so that end cannot release an outer
        // block's lock.
    }
    vm.PushFeature(lock);
}

void OpLockfileEnd(VornVM& vm) {
    Feature* lock = vm.FindFeature(kFeatureLockfile);
    if (!lock) {
        vm.FatalError(kErrorNoOpenFeature);
        return;
    }
    vm.RemoveFeature(lock);
}

} // namespace vorn
