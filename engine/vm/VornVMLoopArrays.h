// The interpreter loop's element stores and reads on compact arrays (see
// VornVMLoop.h): elem then store, elemr then add or a pop, and the fused
// runs that push the array and the index (and the value) themselves.
#pragma once

#include "engine/vm/VornVMLoop.h"

namespace vorn {

// What a store of entry e into array keeps in the compact form; false where
// the store goes the handler's way (not a plain value, or the array itself).
[[gnu::always_inline]] inline bool EntryDenseValue(const VornVMStackEntry& e, const Variable* array,
                                                   DenseValue* value) {
    switch (e.type) {
    case kStackInteger:
        value->type = DenseValue::kInteger;
        value->integer = e.value.integer;
        return true;
    case kStackDouble:
        value->type = DenseValue::kDouble;
        value->number = e.value.number;
        return true;
    case kStackString:
        value->type = DenseValue::kText;
        value->text = const_cast<char*>(e.value.text);
        value->length = e.length;
        return true;
    case kStackSlot: {
        const Scalar* from = e.value.slot;
        if (DenseValue::Of(*from, value)) return true;
        return from->type == Scalar::kVariable && from->variable != array &&
               from->variable->PlainDenseValue(value);
    }
    default: return e.value.variable != array && e.value.variable->PlainDenseValue(value);
    }
}

// The element at index (at least 1) of a compact array as a number: a
// missing one reads as the null value, 0; false for a text (or an array not
// compact).
[[gnu::always_inline]] inline bool DecodedLoop::ReadElement(Variable* array, int32_t index,
                                                            double* out) const {
    return array->PlainDenseNumber(index, out);
}

// The store of value as element index of array; false where the compact
// form cannot take it. An integer that takes no memory is stored in place;
// anything else is reported at the store word op + storeAt (where the words
// one by one would run out of memory).
[[gnu::always_inline]] inline bool DecodedLoop::StoreElement(Variable* array, int32_t index,
                                                             const DenseValue& value, int32_t storeAt) {
    if (value.type == DenseValue::kInteger && array->PlainDenseStoreInPlace(index, value.integer)) [[likely]]
        return true;
    At(storeAt);
    // A scalar given its first element becomes an array.
    if (index == 1) Globals().Forget();
    return array->PlainDenseStore(index, value);
}

// An element into a value slot, else a plain scalar variable, as a pop
// copies the element variable.
[[gnu::always_inline]] inline void PutElement(const DenseValue& element, Scalar* slot, Variable* target) {
    switch (element.type) {
    case DenseValue::kInteger:
        if (slot)
            slot->SetInteger(element.integer);
        else
            target->PlainSetInteger(element.integer);
        break;
    case DenseValue::kDouble:
        if (slot)
            slot->SetDouble(element.number);
        else
            target->PlainSetDouble(element.number);
        break;
    default:
        if (slot)
            slot->SetText(element.text, element.length);
        else
            target->Variable::SetValue(element.text, element.length);
        break;
    }
}

// elem then store: the value below the array and the index goes straight
// into a compact array.
[[gnu::always_inline]] inline Flow DecodedLoop::ElemStore() {
    if (!Holds(3)) return Flow::kGeneric;
    VornVMStackEntry& ei = Top();
    VornVMStackEntry& ea = Top(1);
    VornVMStackEntry& ev = Top(2);
    int32_t index;
    if (!EntryInteger(ei, &index) || index < 1 || ea.type != kStackVariable) return Flow::kGeneric;
    Variable* array = ea.value.variable;
    DenseValue value;
    if (!EntryDenseValue(ev, array, &value) || !StoreElement(array, index, value, 1)) return Flow::kGeneric;
    s->depth -= 3;
    DropNumberEntry(ei);
    if (ea.flags & kStackOwned) array->PlainRelease();
    const int32_t copied = value.length;
    ReleaseEntry(ev);
    return Advance(op + 2, copied);
}

// elemr then add: a compact array's element read in place.
[[gnu::always_inline]] inline bool DecodedLoop::ElemrAdd() {
    if (!Holds(3)) return false;
    VornVMStackEntry& ei = Top();
    VornVMStackEntry& ea = Top(1);
    VornVMStackEntry& ex = Top(2);
    int32_t index;
    double x, y;
    if (!EntryInteger(ei, &index) || index < 1 || ea.type != kStackVariable ||
        !ReadElement(ea.value.variable, index, &y) || !EntryDouble(ex, &x))
        return false;
    s->depth -= 2;
    DropNumberEntry(ei);
    if (ea.flags & kStackOwned) ea.value.variable->PlainRelease();
    DropNumberEntry(ex);
    SetDoubleEntry(ex, x + y);
    op += 2;
    return true;
}

// elemr then popg/popl: a compact array's element copied straight into a
// plain variable or a value slot, as the pop copies the element variable
// elemr would have made (the array keeps its compact form).
[[gnu::always_inline]] inline Flow DecodedLoop::ElemrPop() {
    if (!Holds(2)) return Flow::kGeneric;
    VornVMStackEntry& ei = Top();
    VornVMStackEntry& ea = Top(1);
    int32_t index;
    if (!EntryInteger(ei, &index) || index < 1) return Flow::kGeneric;
    Variable* array;
    if (ea.type == kStackVariable)
        array = ea.value.variable;
    else if (ea.type == kStackSlot && ea.value.slot->type == Scalar::kVariable)
        array = ea.value.slot->variable;
    else
        return Flow::kGeneric;
    DenseValue element;
    // A missing element is the null variable's value: the handlers' way.
    if (!array->PlainDenseRead(index, &element) || element.type == DenseValue::kMissing)
        return Flow::kGeneric;
    const DecodedOp* pop = op + 1;
    Scalar* slot = nullptr;
    Variable* target = nullptr;
    bool plain = false;
    if (pop->kind == kDecodedPopg) {
        // A known plain scalar, else made now if need be, as popg makes it.
        target = Globals().Plain(pop->a);
        plain = target != nullptr;
        if (!target) target = Globals().Entry(pop->a);
        if (!target && Globals().scope) target = Globals().scope->Index(pop->a, true);
    } else if (Scalar* local = locals.At(pop->a)) {
        if (local->type == Scalar::kVariable)
            target = local->variable;
        else
            slot = local;
    } else if (!vm.frame->usesSlots) {
        target = ScopeLocal(vm.frame, pop->a);
    }
    // An alias, an aggregate or a variable of another class takes the value
    // its own way. A plain scalar is never the array, so the element's text
    // stays where it is while it is copied.
    if (!slot && (!target || (!plain && !target->IsPlainScalar()))) return Flow::kGeneric;
    At(0);
    PutElement(element, slot, target);
    s->depth -= 2;
    DropNumberEntry(ei);
    if (ea.type == kStackVariable && (ea.flags & kStackOwned)) array->PlainRelease();
    return Advance(op + 2, element.length);
}

// push a, push i, elem, store: the value below goes into a compact array.
[[gnu::always_inline]] inline Flow DecodedLoop::ElemStoreRun() {
    const DecodedRun* run = op->Record<DecodedRun>();
    if (!Holds(1) || !HasRoom(2)) return Flow::kGeneric;
    Scalar* slot;
    Variable* array = OperandVariable(run->x, &slot);
    int32_t index;
    if (!array || !OperandInteger(run->y, &index) || index < 1) return Flow::kGeneric;
    VornVMStackEntry& ev = Top();
    DenseValue value;
    if (!EntryDenseValue(ev, array, &value) || !StoreElement(array, index, value, 3)) return Flow::kGeneric;
    --s->depth;
    const int32_t copied = value.length;
    ReleaseEntry(ev);
    return Advance(op + op->span, copied);
}

// push a, push i, elemr, add: a compact array's element added in place.
[[gnu::always_inline]] inline bool DecodedLoop::ElemrAddRun() {
    const DecodedRun* run = op->Record<DecodedRun>();
    if (!Holds(1) || !HasRoom(2)) return false;
    Scalar* slot;
    Variable* array = OperandVariable(run->x, &slot);
    int32_t index;
    double x, y;
    if (!array || !OperandInteger(run->y, &index) || index < 1 || !ReadElement(array, index, &y))
        return false;
    VornVMStackEntry& ex = Top();
    if (!EntryDouble(ex, &x)) return false;
    DropNumberEntry(ex);
    SetDoubleEntry(ex, x + y);
    op += op->span;
    return true;
}

// The value a fused store's push operand leaves in the compact form.
[[gnu::always_inline]] inline bool DecodedLoop::ValueOperand(const DecodedOperand& o, const Variable* array,
                                                             DenseValue* value) {
    Variable* v;
    switch (o.kind) {
    case DecodedOperand::kGlobal:
        // Only a plain scalar is a compact element.
        v = Globals().Plain(o.entry);
        break;
    case DecodedOperand::kLocal: {
        Scalar* from;
        v = OperandVariable(o, &from);
        if (from) return DenseValue::Of(*from, value);
        if (!v || !v->IsPlainScalar()) return false;
        break;
    }
    case DecodedOperand::kInteger:
        value->type = DenseValue::kInteger;
        value->integer = o.integer;
        return true;
    case DecodedOperand::kDouble:
        value->type = DenseValue::kDouble;
        value->number = o.number;
        return true;
    default:
        value->type = DenseValue::kText;
        value->text = const_cast<char*>(o.text);
        value->length = o.length;
        return true;
    }
    // a[i] = a: the store reads the array it made of a.
    if (!v || v == array) return false;
    if (v->PlainAssignedIntegerOf(&value->integer)) {
        value->type = DenseValue::kInteger;
        return true;
    }
    return v->PlainDenseValue(value);
}

// push v, push a, push i, elem, store: v goes into a compact array.
[[gnu::always_inline]] inline Flow DecodedLoop::ElemStoreValue() {
    const DecodedRun* run = op->Record<DecodedRun>();
    if (!HasRoom(3)) return Flow::kGeneric;
    Scalar* slot;
    Variable* array = OperandVariable(run->y, &slot);
    int32_t index;
    if (!array || !OperandInteger(run->z, &index) || index < 1) return Flow::kGeneric;
    DenseValue value;
    if (!ValueOperand(run->x, array, &value) || !StoreElement(array, index, value, 4)) return Flow::kGeneric;
    return Advance(op + op->span, value.length);
}

// push x, push a, push i, elemr, add (, pop w): x plus a compact array's
// element.
[[gnu::always_inline]] inline Flow DecodedLoop::ElemrAddValue() {
    const DecodedRun* run = op->Record<DecodedRun>();
    if (!HasRoom(3)) return Flow::kGeneric;
    NumberStore store;
    if (op->span == 6 && !NumberTarget(run->w, &store)) return Flow::kGeneric;
    Scalar* slot;
    Variable* array = OperandVariable(run->y, &slot);
    int32_t index;
    double x, y;
    if (!array || !OperandInteger(run->z, &index) || index < 1 || !ReadElement(array, index, &y))
        return Flow::kGeneric;
    if (store.variable && run->accumulates) {
        // x is the variable stored into, found and found plain already.
        x = store.variable->PlainDouble();
    } else if (!OperandNumber(run->x, &x)) {
        return Flow::kGeneric;
    }
    if (!store.Put(x + y)) SetDoubleEntry(Push(), x + y);
    op += op->span;
    return Flow::kGo;
}

} // namespace vorn
