// Instruction handlers: stack shuffling, constants, variable access by index
// and by name, aggregates, references and database field variables.
#include "engine/values/Aggregate.h"
#include "engine/values/Variable.h"
#include "engine/values/VariableHash.h"
#include "engine/vm/VornVM.h"

namespace vorn {

namespace {

// Pushes a variable that a scope, a view or a sub-program holds as an entry
// with a reference of its own: refg, refl, spop or a closing view can take it
// out of its holder while the entry is still on some stack.
inline void PushHeld(VornVM_Stack* stack, Variable* v) {
    if (v) v->AddReference();
    stack->PushVariable(v, v != nullptr);
}

} // namespace

// ---- Stack and constants ---------------------------------------------------------

void VornVM::OpPop() {
    stack->Discard();
}

void VornVM::OpDup() {
    // The copy owns its own share (a copied text, one more reference), so it
    // stays valid whatever happens to the original after swap, swapn or ret.
    stack->Dup();
}

void VornVM::OpSwap() {
    stack->Swap(0, 1);
}

void VornVM::OpSwapn() {
    stack->Swap(immA, immB);
}

void VornVM::OpPushc() {
    int32_t length = 0;
    const char* text = PoolText(immA, &length);
    if (text) stack->PushString(text, length, length, false);
}

// ---- Variables by scope index ------------------------------------------------------

void VornVM::OpPushs() {
    PushHeld(stack, systemScope ? systemScope->Index(immA, true) : nullptr);
}

void VornVM::OpPushg() {
    PushHeld(stack, globalScope ? globalScope->Index(immA, true) : nullptr);
}

void VornVM::OpPushl() {
    if (frame && frame->usesSlots) {
        // The local stays a value: the entry reads it where it is.
        if (Scalar* slot = static_cast<VornVM_FunctionFrame*>(frame)->SlotAt(immA)) {
            stack->PushSlot(slot, immA);
            return;
        }
    }
    PushHeld(stack, LocalVariable(immA, true));
}

void VornVM::OpPops() {
    stack->PopInto(systemScope ? systemScope->Index(immA, true) : nullptr);
}

void VornVM::OpPopg() {
    stack->PopInto(globalScope ? globalScope->Index(immA, true) : nullptr);
}

void VornVM::OpPopl() {
    if (frame && frame->usesSlots)
        PopIntoLocal(static_cast<VornVM_FunctionFrame*>(frame), immA);
    else
        stack->PopInto(LocalVariable(immA, true));
}

// ---- Variables by name ---------------------------------------------------------------

void VornVM::OpPushn() {
    StackText name;
    stack->PopText(name);
    if (aborted) return;
    if (Variable* v = LookupVariableOrFail(name.text, name.length)) PushHeld(stack, v);
}

void VornVM::OpPushnc() {
    int32_t length = 0;
    const char* name = PoolText(immA, &length);
    if (!name) return;
    if (Variable* v = LookupVariableOrFail(name, length)) PushHeld(stack, v);
}

void VornVM::OpPopn() {
    StackText name;
    stack->PopText(name);
    if (aborted) {
        stack->Discard();
        return;
    }
    Variable* v = LookupVariableOrFail(name.text, name.length);
    if (v)
        stack->PopInto(v);
    else
        stack->Discard();
}

void VornVM::OpPopnc() {
    int32_t length = 0;
    const char* name = PoolText(immA, &length);
    Variable* v = name ? LookupVariableOrFail(name, length) : nullptr;
    if (v)
        stack->PopInto(v);
    else
        stack->Discard();
}

void VornVM::OpStore() {
    StackVariable target;
    if (!stack->PopVariable(target)) {
        // The failed pop has been reported; the value still goes.
        stack->Discard();
        return;
    }
    stack->PopInto(target.variable);
}

void VornVM::OpIsnull() {
    stack->PushInteger(stack->PopIsEmpty() ? 1 : 0);
}

void VornVM::OpSpush() {
    if (systemScope) systemScope->PushScope();
}

void VornVM::OpSpop() {
    if (!systemScope || !systemScope->PopScope()) FatalError("System variable stack underflow");
}

// ---- Aggregates ------------------------------------------------------------------------

namespace {

// Pushes an element found in an aggregate. The element gets a reference of
// its own (a temporary entry), so it stays valid when the aggregate it came
// from is released or changed while the entry is on the stack.
inline void PushElement(VornVM_Stack* stack, Variable* element) {
    element->AddReference();
    stack->PushVariable(element, true);
}

} // namespace

// elem and elemr: the index on top, the array variable below.
static void ElementOf(VornVM* vm, VornVM_Stack* stack, bool create) {
    int32_t index = stack->PopInteger();
    if (index < 1) {
        // The array variable stays on the stack in place of the result.
        vm->RuntimeError(kTagExpression, kArrayIndexMessage);
        return;
    }
    StackVariable array;
    if (!stack->PopVariable(array) || vm->Aborted()) return;
    Variable* element = array.variable->Element(AggregateIndex::FromIndex(index), create);
    if (element)
        PushElement(stack, element);
    else
        PushHeld(stack, vm->NullVariable());
}

// memb and membr: the member name on top, the structure variable below.
static void MemberOf(VornVM* vm, VornVM_Stack* stack, bool create) {
    StackText name;
    stack->PopText(name);
    StackVariable structure;
    if (!stack->PopVariable(structure) || vm->Aborted()) return;
    Variable* member = structure.variable->Element(AggregateIndex::FromName(name.text, name.length), create);
    if (member)
        PushElement(stack, member);
    else
        PushHeld(stack, vm->NullVariable());
}

void VornVM::OpElem() {
    ElementOf(this, stack, true);
}

void VornVM::OpElemr() {
    ElementOf(this, stack, false);
}

void VornVM::OpMemb() {
    MemberOf(this, stack, true);
}

void VornVM::OpMembr() {
    MemberOf(this, stack, false);
}

// ---- References ---------------------------------------------------------------------------

void VornVM::OpRefer() {
    StackVariable top;
    if (!stack->PopVariable(top)) {
        stack->Discard();
        return;
    }
    StackVariable below;
    stack->PopVariable(below);
    if (!aborted && top.variable && below.variable) top.variable->MakeReference(below.variable);
}

void VornVM::OpRefern() {
    StackText name;
    stack->PopText(name);
    StackVariable target;
    stack->PopVariable(target);
    if (!aborted && target.variable) {
        if (Variable* v = LookupVariableOrFail(name.text, name.length)) v->MakeReference(target.variable);
    }
}

void VornVM::OpRefnc() {
    StackVariable target;
    stack->PopVariable(target);
    int32_t length = 0;
    const char* name = PoolText(immA, &length);
    if (name && target.variable && !aborted) {
        if (Variable* v = LookupVariableOrFail(name, length)) v->MakeReference(target.variable);
    }
}

namespace {

// Entry i of scope becomes a reference to the popped variable; an index the
// scope does not hold is a fatal error.
void ReferInScope(VornVM* vm, VornVM_Stack* stack, VariableHash* scope, int32_t i) {
    StackVariable target;
    if (!stack->PopVariable(target)) return;
    if (!scope || i < 0 || i >= scope->EntryCount())
        vm->FatalError(kInvalidVariable);
    else
        scope->SetReference(i, target.variable);
}

} // namespace

void VornVM::OpRefg() {
    ReferInScope(this, stack, globalScope, immA);
}

void VornVM::OpRefl() {
    if (!frame || !frame->usesSlots) {
        ReferInScope(this, stack, LocalScope(), immA);
        return;
    }
    auto* f = static_cast<VornVM_FunctionFrame*>(frame);
    StackVariable target;
    if (!stack->PopVariable(target)) return;
    if (immA < 0 || immA >= f->slotCount)
        FatalError(kInvalidVariable);
    else
        f->SetSlotReference(immA, target.variable);
}

// ---- Database field variables ------------------------------------------------------------

void VornVM::OpPushd() {
    StackText field;
    stack->PopText(field);
    StackText alias;
    stack->PopText(alias);
    if (aborted) return;
    Variable* v = FindViewVariable(alias.text, alias.length, field.text, field.length);
    PushHeld(stack, v ? v : NullVariable());
}

void VornVM::OpPushdc() {
    int32_t aliasLength = 0, fieldLength = 0;
    const char* alias = PoolText(immA, &aliasLength);
    const char* field = alias ? PoolText(immB, &fieldLength) : nullptr;
    if (!field) return;
    Variable* v = FindViewVariable(alias, aliasLength, field, fieldLength);
    PushHeld(stack, v ? v : NullVariable());
}

void VornVM::OpPopd() {
    StackText field;
    stack->PopText(field);
    StackText alias;
    stack->PopText(alias);
    Variable* v = aborted ? nullptr : FindViewVariable(alias.text, alias.length, field.text, field.length);
    if (v)
        stack->PopInto(v);
    else
        stack->Discard();
}

void VornVM::OpPopdc() {
    int32_t aliasLength = 0, fieldLength = 0;
    const char* alias = PoolText(immA, &aliasLength);
    const char* field = alias ? PoolText(immB, &fieldLength) : nullptr;
    Variable* v = field ? FindViewVariable(alias, aliasLength, field, fieldLength) : nullptr;
    if (v)
        stack->PopInto(v);
    else
        stack->Discard();
}

} // namespace vorn
