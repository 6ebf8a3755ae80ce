// VrCOMMERCE: the handlers of the commerce block. The transaction itself is
// a feature that the request's commerce libraries make.
#include <cstring>

#include "engine/app/VornApplication.h"
#include "engine/foundation/Messages.h"
#include "engine/values/VariableList.h"
#include "engine/vm/CommerceSource.h"
#include "engine/vm/TagGroups.h"
#include "engine/vm/VornVM.h"

namespace vorn {

String CommerceMethodNotConfigured(const char* method, int32_t length) {
    String text("Commerce method '");
    text.Append(method ? method : "", method ? length : 0);
    text.Append(kNotConfigured);
    return text;
}

namespace {

// The innermost open transaction, or null after the fatal error. One whose
// library entry is running makes it none: the script that entry called back
// must not end the transaction under it.
CommerceTransaction* OpenTransaction(VornVM& vm) {
    auto* commerce = static_cast<CommerceTransaction*>(vm.FindFeature(kFeatureCommerce));
    if (commerce && !commerce->Busy()) return commerce;
    vm.FatalError(kErrorNoOpenFeature);
    return nullptr;
}

} // namespace

void OpCommerce(VornVM& vm) {
    VornVM_Stack* stack = vm.CurrentStack();
    StackText names;
    stack->PopText(names);
    StackText request;
    stack->PopText(request);
    StackText method;
    stack->PopText(method);
    if (vm.Aborted()) return;
    // Library entries may run script code, which reuses the registers.
    const int32_t pastBlock = vm.ImmA();

    VornApplication* application = vm.Application();
    CommerceSource* source = vm.CommerceLibraries()
                                 ? vm.CommerceLibraries()
                                 : (application ? application->GetCommerceLibraryManager() : nullptr);
    if (!source) {
        // No libraries at all: the field names are still checked first.
        VariableList fields;
        vm.BuildVariableList(&fields, names.text, names.length);
        if (vm.Aborted()) return;
        // The method's name ends at its first NUL, as the library's copy does.
        const void* nul =
            method.text ? std::memchr(method.text, 0, static_cast<size_t>(method.length)) : nullptr;
        int32_t length =
            nul ? static_cast<int32_t>(static_cast<const char*>(nul) - method.text) : method.length;
        vm.TagError(kTagCommerce, CommerceMethodNotConfigured(method.text, length));
        vm.JumpBy(pastBlock);
        return;
    }
    CommerceTransaction* commerce = source->NewTransaction(application, &vm, vm.SystemScope());
    commerce->SetMethod(method.text, method.length);
    commerce->SetRequest(request.text, request.length);
    vm.BuildVariableList(commerce->Fields(), names.text, names.length);
    if (vm.Aborted()) {
        // A field name the scopes refuse: nothing was started.
        delete commerce;
        return;
    }

    if (!commerce->Start()) {
        vm.TagError(kTagCommerce, commerce->error);
        vm.JumpBy(pastBlock);
        delete commerce;
        return;
    }
    vm.ClearTagError(kTagCommerce);
    if (commerce->Pass() == kCommercePassFinished) {
        if (commerce->LoopFailed()) vm.TagError(kTagCommerce, commerce->error);
        vm.JumpBy(pastBlock);
        delete commerce;
        return;
    }
    vm.PushFeature(commerce);
}

void OpCommerceLoop(VornVM& vm) {
    const int32_t toBody = vm.ImmA();
    CommerceTransaction* commerce = OpenTransaction(vm);
    if (!commerce) return;
    if (commerce->Pass() == kCommercePassFinished) {
        if (commerce->LoopFailed()) vm.TagError(kTagCommerce, commerce->error);
        vm.RemoveFeature(commerce);
        return;
    }
    vm.JumpBy(toBody);
}

void OpCommerceStop(VornVM& vm) {
    const int32_t pastBlock = vm.ImmA();
    CommerceTransaction* commerce = OpenTransaction(vm);
    if (!commerce) return;
    vm.RemoveFeature(commerce);
    vm.JumpBy(pastBlock);
}

} // namespace vorn
