// VrCALL: the handlers of the call block. The call itself (request, reply
// and the walk over it) is a feature that the request's network manager makes.
#include <cstdlib>
#include <memory>

#include "engine/app/VornApplication.h"
#include "engine/foundation/Hash.h"
#include "engine/values/VariableList.h"
#include "engine/vm/NetworkSource.h"
#include "engine/vm/VornVM.h"

namespace vorn {

namespace {

constexpr char kInvalidInstruction[] = "Invalid instruction";
constexpr char kNoNetwork[] = "Network connections are not available";

using MallocText = std::unique_ptr<char, decltype(&std::free)>;

bool IsUploadMethod(const char* text, int32_t length) {
    return (length == 3 && CompareTextNoCase(text, "PUT", 3) == 0) ||
           (length == 4 && CompareTextNoCase(text, "POST", 4) == 0);
}

} // namespace

void VornVM::OpHttp() {
    HttpBegin(5);
}

void VornVM::OpHttp8() {
    HttpBegin(8);
}

void VornVM::OpHttpn() {
    HttpBegin(immB);
}

void VornVM::HttpBegin(int32_t count) {
    // Read before the pops and the call can touch the registers.
    const int32_t pastBlock = immA;
    if (count != 5 && count != 8 && count != 9 && count != 10) {
        FatalError("Invalid number of parameters to HTTPN");
        return;
    }
    // Operands in push order: URL, METHOD, fields, FILES, content type,
    // certificate file, certificate type, headers, time-out, pass phrase.
    StackText passPhrase;
    StackText headers;
    StackText certificateType;
    MallocText certificateFile(nullptr, &std::free);
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
    MallocText files(stack->PopCString(&filesLength, &filesSize), &std::free);
    StackText fields;
    stack->PopText(fields);
    StackText method;
    stack->PopText(method);
    StackText url;
    stack->PopText(url);
    if (aborted) return;

    ClearTagError(kTagCall);
    if (filesLength > 0 && !IsUploadMethod(method.text, method.length)) {
        RuntimeError(kTagCall,
                     "VrCALL requires the METHOD attribute to be 'POST' or 'PUT' when the FILES attribute is "
                     "specified");
        JumpBy(pastBlock);
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
    operands.logTraffic = (traceFlags & LogCall) != 0 && TraceAccepts();

    NetworkSource* network = application ? application->GetNetworkManager() : nullptr;
    if (!network) {
        TagError(kTagCall, kNoNetwork);
        JumpBy(pastBlock);
        return;
    }
    HttpCall* call = network->NewCall(application, this, systemScope, operands);
    BuildVariableList(call->Fields(), fields.text, fields.length);
    if (aborted) {
        // A field name the scopes refuse: nothing was sent.
        delete call;
        return;
    }
    if (!call->Start(headers.text, headers.length)) {
        TagError(kTagCall, call->error);
        delete call;
        JumpBy(pastBlock);
        return;
    }
    int32_t first = call->Next();
    if (first == kCallEnd || first == kCallFailed) {
        if (first == kCallFailed) TagError(kTagCall, call->error);
        delete call;
        JumpBy(pastBlock);
        return;
    }
    PushFeature(call);
}

void VornVM::OpHttpLoop() {
    const int32_t toBody = immA;
    auto* call = static_cast<HttpCall*>(FindFeature(kFeatureCall));
    if (!call) {
        FatalError(kInvalidInstruction);
        return;
    }
    int32_t result = call->Next();
    if (result == kCallEnd || result == kCallFailed) {
        if (result == kCallFailed) TagError(kTagCall, call->error);
        RemoveFeature(call);
        return;
    }
    JumpBy(toBody);
}

void VornVM::OpHttpStop() {
    const int32_t pastBlock = immA;
    Feature* call = FindFeature(kFeatureCall);
    if (!call) {
        FatalError(kInvalidInstruction);
        return;
    }
    RemoveFeature(call);
    JumpBy(pastBlock);
}

} // namespace vorn
