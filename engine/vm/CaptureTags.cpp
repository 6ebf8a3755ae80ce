// VrCAPTURE: the block's output goes into a variable. The host's capture
// feature owns the output that collects it.
#include "engine/app/VornApplication.h"
#include "engine/values/Variable.h"
#include "engine/vm/HostFeatureSource.h"
#include "engine/vm/TagGroups.h"
#include "engine/vm/VornVM.h"

namespace vorn {

void OpCapture(VornVM& vm) {
    StackVariable target;
    vm.CurrentStack()->PopVariable(target);
    if (vm.Aborted() || !target.variable) return;
    VornApplication* application = vm.Application();
    HostFeatureSource* host = application ? application->GetHostFeatures() : nullptr;
    if (!host) {
        target.Reset();
        vm.NotSupported("capture");
        return;
    }
    vm.ClearTagError(kTagCapture);
    CaptureFeature* capture = host->NewCapture(application, &vm, target.variable);
    target.Reset();
    capture->Begin();
    vm.PushFeature(capture);
}

void OpCaptureEnd(VornVM& vm) {
    auto* capture = static_cast<CaptureFeature*>(vm.FindFeature(kFeatureCapture));
    // Ending a capture whose output is not the current one would bring back
    // an output that is no longer in use and free one that another still
    // writes into.
    if (!capture || !capture->IsCurrent()) {
        vm.FatalError(kErrorNoOpenFeature);
        return;
    }
    const int32_t ended = capture->End();
    String failure(capture->error);
    vm.RemoveFeature(capture);
    // After the output is restored: the message goes where the block's
    // surroundings write.
    if (!ended) vm.TagError(kTagCapture, failure);
}

} // namespace vorn
