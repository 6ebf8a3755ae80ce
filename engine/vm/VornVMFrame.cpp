#include "engine/vm/VornVMFrame.h"

#include <climits>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>

#include "engine/values/FunctionManager.h"
#include "engine/values/Variable.h"
#include "engine/values/VariableHash.h"
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
    const size_t room = static_cast<size_t>(list.Count() > 0 ? list.Count() : 1);
    // Both arrays or neither: the destructor does not run when this fails.
    std::unique_ptr<FunctionParameter*[]> inOrder(new FunctionParameter*[room]);
    bindings = new int32_t[room];
    parameters = inOrder.release();
    for (FunctionParameter* p = list.Last(); p && parameterCount < list.Count(); p = list.Previous())
        parameters[parameterCount++] = p;
    for (int32_t k = 0; k < parameterCount; ++k) {
        bool byReference = (parameters[k]->flags & kParameterByReference) != 0;
        // A slot that does not fit is no slot: binding it fails as before.
        int32_t slot = parameters[k]->slot >= 0 && parameters[k]->slot < (INT32_MAX >> 1) ? parameters[k]->slot : -1;
        bindings[k] = slot < 0 ? -2 : (slot << 1) | (byReference ? 1 : 0);
        if (byReference) byValueOnly = false;
    }
    // Without locals the slots are never prepared: a function of no
    // parameters binds nothing.
    plainBindings = parameterCount == 0;
}

VornVM_FunctionFrame::~VornVM_FunctionFrame() {
    Reset();
    delete builtScope;
    delete[] parameters;
    delete[] bindings;
    if (slots) std::free(reinterpret_cast<SlotHeader*>(slots) - 1);
}

int32_t VornVM_FunctionFrame::AtSegmentEnd() {
    return kFrameEndsFunction;
}

VornVM_FunctionFrame* VornVM_FunctionFrame::OwnerOf(const Scalar* slot, int32_t i) {
    return (reinterpret_cast<const SlotHeader*>(slot - i) - 1)->frame;
}

void VornVM_FunctionFrame::PrepareSlots(int32_t count) {
    if (count < 0) count = 0;
    if (count > slotRoom) {
        // Between calls every slot is absent: nothing to carry over.
        void* block = std::malloc(sizeof(SlotHeader) + sizeof(Scalar) * static_cast<size_t>(count));
        if (!block) throw std::bad_alloc();
        auto* header = static_cast<SlotHeader*>(block);
        header->frame = this;
        header->unused = 0;
        if (slots) std::free(reinterpret_cast<SlotHeader*>(slots) - 1);
        slots = reinterpret_cast<Scalar*>(header + 1);
        slotRoom = count;
    }
    for (int32_t i = 0; i < count; ++i) slots[i].type = Scalar::kAbsent;
    slotCount = count;
    slotsEnd = slots + count;
    usesSlots = true;
    // The fast call checks its bindings again.
    entryForm = nullptr;
    plainBindings = byValueOnly;
    for (int32_t k = 0; k < parameterCount; ++k)
        if (static_cast<uint32_t>(bindings[k] >> 1) >= static_cast<uint32_t>(count)) plainBindings = false;
    for (int32_t k = 0; k < 2; ++k)
        argumentSlots[k] = plainBindings && k < parameterCount ? &slots[bindings[k] >> 1] : nullptr;
}

const char* VornVM_FunctionFrame::SlotName(int32_t i, int32_t* length) const {
    const char* name = function ? function->Locals()->EntryName(i, length) : nullptr;
    if (!name) {
        *length = 0;
        return "";
    }
    return name;
}

Variable* VornVM_FunctionFrame::SlotVariable(int32_t i) {
    Scalar* slot = SlotAt(i);
    if (!slot) return nullptr;
    if (slot->type == Scalar::kVariable) return slot->variable;
    if (slot->type == Scalar::kAbsent) slot->type = Scalar::kEmpty;
    int32_t n = 0;
    const char* name = SlotName(i, &n);
    return slot->Box(name, n);
}

void VornVM_FunctionFrame::SetSlotReference(int32_t i, Variable* target) {
    Scalar* slot = SlotAt(i);
    if (!slot || !target) return;
    if (slot->type == Scalar::kVariable) {
        Variable* old = slot->variable;
        if (old == target || (old->IsAlias() && old->Target() == target)) return;
    }
    int32_t n = 0;
    const char* name = SlotName(i, &n);
    Variable* alias = new ReferenceVariable(name, n, target);
    // The old value goes after the alias holds its target: it may be it.
    slot->Clear();
    slot->variable = alias;
    slot->type = Scalar::kVariable;
}

VariableHash* VornVM_FunctionFrame::BuildScope() {
    if (!usesSlots) return scope;
    VariableHash* locals = function->Locals();
    if (builtScope)
        builtScope->CopyLayoutFrom(*locals);
    else
        builtScope = new VariableHash(*locals);
    for (int32_t i = 0; i < slotCount; ++i)
        if (slots[i].type != Scalar::kAbsent) builtScope->HoldVariable(i, SlotVariable(i));
    scope = builtScope;
    usesSlots = false;
    // Locals by name leave with the general return.
    returnForm = nullptr;
    return scope;
}

void VornVM_FunctionFrame::ClearSlotsFrom(Scalar* p) {
    for (Scalar* end = slots + slotCount; p < end; ++p) {
        if (p->type >= Scalar::kText) p->Clear();
        p->type = Scalar::kAbsent;
    }
}

void VornVM_FunctionFrame::ResetWindowAndScope() {
    if (window.Depth() > 0) window.Clear();
    if (scope) {
        builtScope->ReleaseAll();
        scope = nullptr;
    }
}

int32_t VornVM_FilterFrame::AtSegmentEnd() {
    return kFrameEndsFilter;
}

} // namespace vorn
