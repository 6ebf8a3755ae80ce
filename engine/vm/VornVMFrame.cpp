#include "engine/vm/VornVMFrame.h"

#include <cstddef>

#include "engine/values/FunctionManager.h"
#include "engine/values/Variable.h"
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

VornVM_FunctionFrame::VornVM_FunctionFrame(VornVM* vm, Function* called)
    : function(called), window(vm, VornVM_Stack::Window{}) {
    stack = &window;
    usesSlots = true;
    List<FunctionParameter>& list = called->Parameters();
    parameters = new FunctionParameter*[static_cast<size_t>(list.Count() > 0 ? list.Count() : 1)];
    for (FunctionParameter* p = list.Last(); p && parameterCount < list.Count(); p = list.Previous())
        parameters[parameterCount++] = p;
}

VornVM_FunctionFrame::~VornVM_FunctionFrame() {
    Reset();
    for (int32_t i = 0; i < slotCount; ++i)
        if (kept[i]) kept[i]->Release();
    delete builtScope;
    delete[] parameters;
    delete[] slots;
    delete[] kept;
}

int32_t VornVM_FunctionFrame::AtSegmentEnd() {
    return kFrameEndsFunction;
}

void VornVM_FunctionFrame::PrepareSlots(int32_t count) {
    if (count < 0) count = 0;
    if (count > slotRoom) {
        auto** grownSlots = new Variable*[static_cast<size_t>(count)]();
        auto** grownKept = new Variable*[static_cast<size_t>(count)]();
        for (int32_t i = 0; i < slotCount; ++i) grownKept[i] = kept[i];
        delete[] slots;
        delete[] kept;
        slots = grownSlots;
        kept = grownKept;
        slotRoom = count;
    }
    // Kept variables past the count carry the names of another layout.
    for (int32_t i = count; i < slotCount; ++i) {
        if (kept[i]) kept[i]->Release();
        kept[i] = nullptr;
    }
    slotCount = count;
    usesSlots = true;
}

Variable* VornVM_FunctionFrame::MakeSlot(int32_t i) {
    int32_t n = 0;
    const char* name = function ? function->Locals()->EntryName(i, &n) : nullptr;
    slots[i] = name ? new Variable(name, n) : new Variable();
    return slots[i];
}

void VornVM_FunctionFrame::SetSlotReference(int32_t i, Variable* target) {
    if (static_cast<uint32_t>(i) >= static_cast<uint32_t>(slotCount) || !target) return;
    Variable* old = slots[i];
    if (old == target || (old && old->IsAlias() && old->Target() == target)) return;
    int32_t n = 0;
    const char* name = function ? function->Locals()->EntryName(i, &n) : nullptr;
    slots[i] = new ReferenceVariable(name ? name : "", name ? n : 0, target);
    if (old) old->Release();
}

VariableHash* VornVM_FunctionFrame::BuildScope() {
    if (!usesSlots) return scope;
    VariableHash* locals = function->Locals();
    if (builtScope)
        builtScope->CopyLayoutFrom(*locals);
    else
        builtScope = new VariableHash(*locals);
    for (int32_t i = 0; i < slotCount; ++i)
        if (slots[i]) builtScope->HoldVariable(i, slots[i]);
    scope = builtScope;
    usesSlots = false;
    return scope;
}

void VornVM_FunctionFrame::Reset() {
    // The stack first, as its entries may hold the locals.
    if (window.Depth() > 0) window.Clear();
    if (scope) {
        builtScope->ReleaseAll();
        scope = nullptr;
    }
    for (int32_t i = 0; i < slotCount; ++i) {
        Variable* v = slots[i];
        if (!v) continue;
        slots[i] = nullptr;
        if (!kept[i] && v->Refresh())
            kept[i] = v;
        else
            v->Release();
    }
    previous = nullptr;
    usesSlots = true;
}

VornVM_FilterFrame::~VornVM_FilterFrame() {
    if (import) import->filterFrame = nullptr;
}

int32_t VornVM_FilterFrame::AtSegmentEnd() {
    return kFrameEndsFilter;
}

} // namespace vorn
