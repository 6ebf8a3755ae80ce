#include "engine/vm/VornVMFrame.h"

#include <typeinfo>

#include "engine/values/VariableHash.h"
#include "engine/vm/HostFeatureSource.h"
#include "engine/vm/VornVMStack.h"

namespace vorn {

VornVM_Frame::~VornVM_Frame() {
    if (ownsStack) delete stack;
    if (ownsScope) delete scope;
}

int32_t VornVM_Frame::AtSegmentEnd() {
    return kFrameEndsRun;
}

void VornVM_Frame::SetScope(VariableHash* newScope, bool owns) {
    if (ownsScope && scope != newScope) delete scope;
    scope = newScope;
    ownsScope = owns;
}

void VornVM_Frame::SetStack(VornVM_Stack* newStack, bool owns) {
    if (ownsStack && stack != newStack) delete stack;
    stack = newStack;
    ownsStack = owns;
}

int32_t VornVM_FunctionFrame::AtSegmentEnd() {
    return kFrameEndsFunction;
}

VornVM_FilterFrame::~VornVM_FilterFrame() {
    if (import) import->filterFrame = nullptr;
}

int32_t VornVM_FilterFrame::AtSegmentEnd() {
    return kFrameEndsFilter;
}

VornVM_FrameSpares::~VornVM_FrameSpares() {
    while (count > 0) delete frames[--count];
}

void VornVM_FrameSpares::Recycle(VornVM_FunctionFrame* frame) {
    if (!frame) return;
    // A call resets exactly the fields of these three types; anything else
    // (a subclass, a borrowed or foreign stack or scope) is not reused.
    bool reusable = count < kCapacity && typeid(*frame) == typeid(VornVM_FunctionFrame) && frame->ownsStack &&
                    frame->ownsScope && frame->stack && frame->scope &&
                    typeid(*frame->stack) == typeid(VornVM_Stack) &&
                    frame->stack->Capacity() == kVornVMStackCapacity &&
                    typeid(*frame->scope) == typeid(VariableHash);
    if (!reusable) {
        delete frame;
        return;
    }
    frame->stack->Clear();
    frame->scope->ReleaseAllKeeping();
    frame->previous = nullptr;
    frame->function = nullptr;
    frames[count++] = frame;
}

} // namespace vorn
