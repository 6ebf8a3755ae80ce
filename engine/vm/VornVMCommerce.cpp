// VrCOMMERCE: the handlers of the commerce block. The transaction itself is
// a feature that the request's commerce libraries make.
#include <cstring>

#include "engine/app/VornApplication.h"
#include "engine/values/VariableList.h"
#include "engine/vm/CommerceSource.h"
#include "engine/vm/VornVM.h"

namespace vorn {

namespace {

constexpr char kInvalidInstruction[] = "Invalid instruction";

} // namespace

String CommerceMethodNotConfigured(const char* method, int32_t length) {
    String text("Commerce method '");
    text.Append(method ? method : "", method ? length : 0);
    text.Append("' is unsupported or not configured");
    return text;
}

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

    CommerceSource* source =
        commerceLibraries ? commerceLibraries : (application ? application->GetCommerceLibraryManager() : nullptr);
    if (!source) {
        // No libraries at all: the field names are still checked first.
        VariableList fields;
        BuildVariableList(&fields, names.text, names.length);
        if (aborted) return;
        // The method's name ends at its first NUL, as the library's copy does.
        const void* nul = method.text ? std::memchr(method.text, 0, static_cast<size_t>(method.length)) : nullptr;
        int32_t length = nul ? static_cast<int32_t>(static_cast<const char*>(nul) - method.text) : method.length;
        TagError(kTagCommerce, CommerceMethodNotConfigured(method.text, length));
        JumpBy(pastBlock);
        return;
    }
    CommerceTransaction* commerce = source->NewTransaction(application, this, systemScope);
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
    auto* commerce = static_cast<CommerceTransaction*>(FindFeature(kFeatureCommerce));
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
    auto* commerce = static_cast<CommerceTransaction*>(FindFeature(kFeatureCommerce));
    if (!commerce || commerce->Busy()) {
        FatalError(kInvalidInstruction);
        return;
    }
    RemoveFeature(commerce);
    JumpBy(pastBlock);
}

} // namespace vorn
