// VrCAPTURE: the block's output goes into a variable. The host's capture
// feature owns the output that collects it.
#include "engine/app/VornApplication.h"
#include "engine/values/Variable.h"
#include "engine/vm/HostFeatureSource.h"
#include "engine/vm/VornVM.h"

namespace vorn {

void VornVM::OpCapture() {
    StackVariable target;
    stack->PopVariable(target);
    if (aborted || !target.variable) return;
    HostFeatureSource* host = application ? application->GetHostFeatures() : nullptr;
    if (!host) {
        target.Reset();
        NotSupported("capture");
        return;
    }
    ClearTagError(kTagCapture);
    CaptureFeature* capture = host->NewCapture(application, this, target.variable);
    target.Reset();
    capture->Begin();
    PushFeature(capture);
}

void VornVM::OpCaptureEnd() {
    auto* capture = static_cast<CaptureFeature*>(FindFeature(kFeatureCapture));
    // Ending a capture whose output is not the current one would bring back
    // an output that is no longer in use and free one that another still
    // writes into.
    if (!capture || !capture->IsCurrent()) {
        FatalError(kErrorNoOpenFeature);
        return;
    }
    const int32_t ended = capture->End();
    String failure(capture->error);
    RemoveFeature(capture);
    // After the output is restored: the message goes where the block's
    // surroundings write.
    if (!ended) TagError(kTagCapture, failure);
}

} // namespace vorn
