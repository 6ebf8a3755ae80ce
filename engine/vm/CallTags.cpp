// VrCALL: the handlers of the call block. The call itself (request, reply
// and the walk over it) is a feature that the request's network manager makes.
#include "engine/app/VornApplication.h"
#include "engine/foundation/Hash.h"
#include "engine/foundation/MallocText.h"
#include "engine/values/VariableList.h"
#include "engine/vm/NetworkSource.h"
#include "engine/vm/TagGroups.h"
#include "engine/vm/VornVM.h"

namespace vorn {

namespace {

bool IsUploadMethod(const char* text, int32_t length) {
    return (length == 3 && CompareTextNoCase(text, "PUT", 3) == 0) ||
           (length == 4 && CompareTextNoCase(text, "POST", 4) == 0);
}

// The VrCALL begin words with their operand count (5, 8, 9 or 10).
void HttpBegin(VornVM& vm, int32_t count) {
    // Read before the pops and the call can touch the registers.
    const int32_t pastBlock = vm.ImmA();
    VornVM_Stack* stack = vm.CurrentStack();
    if (count != 5 && count != 8 && count != 9 && count != 10) {
        vm.FatalError("Invalid number of parameters to HTTPN");
        return;
    }
    // Operands in push order: URL, METHOD, fields, FILES, content type,
    // certificate file, certificate type, headers, time-out, pass phrase.
    StackText passPhrase;
    StackText headers;
    StackText certificateType;
    MallocText certificateFile;
    int32_t certificateFileLength = 0;
    int32_t timeout = 0;
    if (count == 10) stack->PopText(passPhrase);
    if (count >= 9) timeout = stack->PopInteger();
    if (count >= 8) {
        stack->PopText(headers);
        stack->PopText(certificateType);
        int32_t size = 0;
        certificateFile.reset(stack->PopCString(&certificateFileLength, &size));
    }
    StackText contentType;
    stack->PopText(contentType);
    int32_t filesLength = 0;
    int32_t filesSize = 0;
    MallocText files(stack->PopCString(&filesLength, &filesSize));
    StackText fields;
    stack->PopText(fields);
    StackText method;
    stack->PopText(method);
    StackText url;
    stack->PopText(url);
    if (vm.Aborted()) return;

    vm.ClearTagError(kTagCall);
    if (filesLength > 0 && !IsUploadMethod(method.text, method.length)) {
        vm.RuntimeError(
            kTagCall,
            "VrCALL requires the METHOD attribute to be 'POST' or 'PUT' when the FILES attribute is "
            "specified");
        vm.JumpBy(pastBlock);
        return;
    }

    CallOperands operands;
    operands.url = url.text;
    operands.urlLength = url.length;
    operands.method = method.text;
    operands.methodLength = method.length;
    operands.files = files ? files.get() : "";
    operands.filesLength = files ? filesLength : 0;
    operands.contentType = contentType.text;
    operands.contentTypeLength = contentType.length;
    if (count >= 8) {
        operands.certificateFile = certificateFile ? certificateFile.get() : "";
        operands.certificateFileLength = certificateFile ? certificateFileLength : 0;
        operands.certificateType = certificateType.text;
        operands.certificateTypeLength = certificateType.length;
    }
    if (count == 10) {
        operands.passPhrase = passPhrase.text;
        operands.passPhraseLength = passPhrase.length;
    }
    operands.timeout = timeout;
    operands.logTraffic = (vm.TraceFlags() & LogCall) != 0 && vm.TraceAccepts();

    VornApplication* application = vm.Application();
    NetworkSource* network = application ? application->GetNetworkManager() : nullptr;
    if (!network) {
        vm.TagError(kTagCall, kNoNetwork);
        vm.JumpBy(pastBlock);
        return;
    }
    HttpCall* call = network->NewCall(application, &vm, vm.SystemScope(), operands);
    vm.BuildVariableList(call->Fields(), fields.text, fields.length);
    if (vm.Aborted()) {
        // A field name the scopes refuse: nothing was sent.
        delete call;
        return;
    }
    if (!call->Start(headers.text, headers.length)) {
        vm.TagError(kTagCall, call->error);
        delete call;
        vm.JumpBy(pastBlock);
        return;
    }
    int32_t first = call->Next();
    if (first == kCallEnd || first == kCallFailed) {
        if (first == kCallFailed) vm.TagError(kTagCall, call->error);
        delete call;
        vm.JumpBy(pastBlock);
        return;
    }
    vm.PushFeature(call);
}

} // namespace

void OpHttp(VornVM& vm) {
    HttpBegin(vm, 5);
}

void OpHttp8(VornVM& vm) {
    HttpBegin(vm, 8);
}

void OpHttpn(VornVM& vm) {
    HttpBegin(vm, vm.ImmB());
}

void OpHttpLoop(VornVM& vm) {
    const int32_t toBody = vm.ImmA();
    auto* call = static_cast<HttpCall*>(vm.FindFeature(kFeatureCall));
    if (!call) {
        vm.FatalError(kErrorNoOpenFeature);
        return;
    }
    int32_t result = call->Next();
    if (result == kCallEnd || result == kCallFailed) {
        if (result == kCallFailed) vm.TagError(kTagCall, call->error);
        vm.RemoveFeature(call);
        return;
    }
    vm.JumpBy(toBody);
}

void OpHttpStop(VornVM& vm) {
    const int32_t pastBlock = vm.ImmA();
    Feature* call = vm.FindFeature(kFeatureCall);
    if (!call) {
        vm.FatalError(kErrorNoOpenFeature);
        return;
    }
    vm.RemoveFeature(call);
    vm.JumpBy(pastBlock);
}

} // namespace vorn
