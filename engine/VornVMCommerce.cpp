// VrCOMMERCE: the handlers of the commerce block. The transaction itself is
// the Commerce feature of the host's commerce library support.
#include "engine/VornApplication.h"
#include "engine/VornVM.h"
#include "host/CommerceLibrary.h"

namespace vorn {

namespace {

constexpr char kInvalidInstruction[] = "Invalid instruction";

} // namespace

void VornVM::OpCommerce() {
    StackText names;
    stack->PopText(names);
    StackText request;
    stack->PopText(request);
    StackText method;
    stack->PopText(method);
    if (aborted) return;
    // Library entries may run script code, which reuses the registers.
    const int32_t pastBlock = immA;

    CommerceLibraryManager* manager =
        commerceLibraries ? commerceLibraries : (application ? application->GetCommerceLibraryManager() : nullptr);
    auto* commerce = new Commerce(application, this, manager, systemScope);
    commerce->SetMethod(method.text, method.length);
    commerce->SetRequest(request.text, request.length);
    BuildVariableList(commerce->Fields(), names.text, names.length);
    if (aborted) {
        // A field name the scopes refuse: nothing was started.
        delete commerce;
        return;
    }

    if (!commerce->Start()) {
        TagError(kTagCommerce, commerce->error);
        JumpBy(pastBlock);
        delete commerce;
        return;
    }
    ClearTagError(kTagCommerce);
    if (commerce->Pass() == kCommercePassFinished) {
        if (commerce->LoopFailed()) TagError(kTagCommerce, commerce->error);
        JumpBy(pastBlock);
        delete commerce;
        return;
    }
    PushFeature(commerce);
}

void VornVM::OpCommerceLoop() {
    const int32_t toBody = immA;
    auto* commerce = static_cast<Commerce*>(FindFeature(kFeatureCommerce));
    // A library entry of this very transaction is running: the script it
    // called back must not end the transaction under it.
    if (!commerce || commerce->Busy()) {
        FatalError(kInvalidInstruction);
        return;
    }
    if (commerce->Pass() == kCommercePassFinished) {
        if (commerce->LoopFailed()) TagError(kTagCommerce, commerce->error);
        RemoveFeature(commerce);
        return;
    }
    JumpBy(toBody);
}

void VornVM::OpCommerceStop() {
    const int32_t pastBlock = immA;
    auto* commerce = static_cast<Commerce*>(FindFeature(kFeatureCommerce));
    if (!commerce || commerce->Busy()) {
        FatalError(kInvalidInstruction);
        return;
    }
    RemoveFeature(commerce);
    JumpBy(pastBlock);
}

} // namespace vorn
