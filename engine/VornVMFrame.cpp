#include "engine/VornVMFrame.h"

#include "engine/VariableHash.h"
#include "engine/VornVMStack.h"

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

int32_t VornVM_FilterFrame::AtSegmentEnd() {
    return kFrameEndsFilter;
}

} // namespace vorn
