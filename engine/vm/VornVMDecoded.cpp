#include "engine/vm/VornVMDecoded.h"

#include "engine/foundation/LittleEndian.h"
#include "engine/program/Dictionary.h"
#include "engine/program/InstructionSet.h"
#include "engine/vm/VornVM.h"

namespace vorn {

namespace {

// A legal word's kind, or kDecodedIllegal.
uint16_t WordKind(uint16_t word) {
    switch (word) {
#define VORN_WORD_KIND_CASE(w, mnemonic, a, b, handler, fast)                                                \
    case Op_##mnemonic:                                                                                      \
        return kDecoded##handler;
        VORN_INSTRUCTIONS(VORN_WORD_KIND_CASE)
#undef VORN_WORD_KIND_CASE
    default:
        return kDecodedIllegal;
    }
}

// When a conditional jump jumps: bit 0, 1, 2 for a comparison result below,
// equal to or above 0. 0 for any other kind.
uint8_t JumpWhen(uint16_t kind) {
    switch (kind) {
    case kDecodedJmpEq: return 2;
    case kDecodedJmpLt: return 1;
    case kDecodedJmpGt: return 4;
    case kDecodedJmpLe: return 3;
    case kDecodedJmpGe: return 6;
    case kDecodedJmpNe: return 5;
    default: return 0;
    }
}

bool IsConditionalJump(uint16_t kind) {
    return JumpWhen(kind) != 0;
}

const char kDecodedAttachment = 0;

} // namespace

DecodedSegment::DecodedSegment(const uint8_t* c, int32_t n, uint32_t w, Dictionary* pool)
    : code(c), length(n), writes(w), indexAt(static_cast<size_t>(n > 0 ? n : 0) + 1, -1) {
    attachmentKind = &kDecodedAttachment;
    int32_t pc = 0;
    for (;;) {
        DecodedOp op{};
        op.pc = pc;
        op.next = pc;
        // Where the byte form stops: fewer than two bytes left.
        if (static_cast<int64_t>(pc) + 1 >= length) {
            op.kind = kDecodedEnd;
            indexAt[static_cast<size_t>(pc)] = static_cast<int32_t>(ops.size());
            ops.push_back(op);
            break;
        }
        const uint8_t* p = code + pc;
        uint16_t word = GetU16(p);
        int32_t size = InstructionLength(word);
        op.word = word;
        indexAt[static_cast<size_t>(pc)] = static_cast<int32_t>(ops.size());
        if (size > length - pc) {
            op.kind = kDecodedTruncated;
            ops.push_back(op);
            break;
        }
        op.loads = ReadImmediates(word, p + 2, &op.a, &op.aDouble, &op.b, &op.bDouble);
        op.next = pc + size;
        op.handler = VornVM::HandlerOf(word);
        op.kind = WordKind(word);
        if (op.kind == kDecodedPushc) {
            // Pool texts never move, and an index once valid stays valid; an
            // invalid one is looked up again when reached.
            int32_t textLength = 0;
            op.text = pool ? pool->Get(op.a, &textLength) : nullptr;
            op.textLength = textLength;
            if (!op.text) op.kind = kDecodedHandler;
        }
        ops.push_back(op);
        pc = op.next;
    }

    // Jump targets, then the fused pairs (the second word keeps its own entry
    // for jumps that land on it).
    for (DecodedOp& op : ops) {
        op.when = JumpWhen(op.kind);
        if (op.kind == kDecodedJmp || IsConditionalJump(op.kind)) {
            int64_t target = static_cast<int64_t>(op.next) + op.a;
            if (target < 0 || target > length) {
                op.target = kDecodedJumpOutside;
            } else {
                op.targetPc = static_cast<int32_t>(target);
                int32_t i = indexAt[static_cast<size_t>(target)];
                op.target = i < 0 ? kDecodedJumpUnindexed : i;
            }
        }
    }
    // The ops no longer move.
    for (DecodedOp& op : ops) {
        if (op.target >= 0) op.jumpTo = &ops[static_cast<size_t>(op.target)];
    }
    for (size_t i = 0; i + 1 < ops.size(); ++i) {
        if (ops[i].kind == kDecodedCall) {
            ops[i].callee = ops[i].a;
            ops[i].callWord = &ops[i];
            ops[i].back = &ops[i + 1];
        }
    }
    for (size_t i = 0; i + 1 < ops.size(); ++i) {
        if (FuseRun(i)) continue;
        DecodedOp& op = ops[i];
        const DecodedOp& after = ops[i + 1];
        if (op.kind == kDecodedCmpgi && IsConditionalJump(after.kind))
            op.kind = kDecodedCmpgiJump;
        else if (op.word == Op_cat && after.kind == kDecodedPopg)
            op.kind = kDecodedCatPopg;
        else if (op.word == Op_cat && after.kind == kDecodedPopl)
            op.kind = kDecodedCatPopl;
        else if (op.word == Op_elem && after.word == Op_store)
            op.kind = kDecodedElemStore;
        else if (op.word == Op_elemr && after.kind == kDecodedAdd)
            op.kind = kDecodedElemrAdd;
        else if (op.word == Op_elemr && (after.kind == kDecodedPopg || after.kind == kDecodedPopl))
            op.kind = kDecodedElemrPop;
    }
}

namespace {

// The operand a push word pushes; false for any other word.
bool PushOperand(const DecodedOp& op, DecodedOperand* out) {
    switch (op.word) {
    case Op_pushl: out->kind = DecodedOperand::kLocal; out->index = op.a; return true;
    case Op_pushg: out->kind = DecodedOperand::kGlobal; out->index = op.a; return true;
    case Op_pushi: out->kind = DecodedOperand::kInteger; out->index = op.a; return true;
    case Op_pushf: out->kind = DecodedOperand::kDouble; out->number = op.aDouble; return true;
    case Op_pushc:
        // A text that did not resolve stays with its handler.
        if (op.kind != kDecodedPushc) return false;
        out->kind = DecodedOperand::kText;
        out->text = op.text;
        out->length = op.textLength;
        return true;
    default: return false;
    }
}

// The variable a pop word stores into; false for any other word.
bool PopOperand(const DecodedOp& op, DecodedOperand* out) {
    switch (op.word) {
    case Op_popl: out->kind = DecodedOperand::kLocal; out->index = op.a; return true;
    case Op_popg: out->kind = DecodedOperand::kGlobal; out->index = op.a; return true;
    default: return false;
    }
}

bool IsVariable(const DecodedOperand& o) {
    return o.kind == DecodedOperand::kLocal || o.kind == DecodedOperand::kGlobal;
}

bool SameVariable(const DecodedOperand& a, const DecodedOperand& b) {
    return IsVariable(a) && a.kind == b.kind && a.index == b.index;
}

} // namespace

bool DecodedSegment::FuseRun(size_t i) {
    DecodedOp& op = ops[i];
    // Every word of a run is an instruction of its own (a word that does
    // not decode ends the segment's form before the run could).
    auto word = [&](size_t k) -> uint16_t { return i + k < ops.size() ? ops[i + k].word : 0; };
    auto isWord = [&](size_t k) {
        return i + k < ops.size() && ops[i + k].kind != kDecodedEnd && ops[i + k].kind != kDecodedTruncated &&
               ops[i + k].kind != kDecodedIllegal;
    };
    if (op.word == Op_incg && isWord(1) && isWord(2) && word(1) == Op_cmpgi && ops[i + 1].a == op.a &&
        IsConditionalJump(ops[i + 2].kind)) {
        op.kind = kDecodedIncCmpJump;
        op.span = 2; // the jump is the next op
        return true;
    }
    DecodedOperand x, y, z;
    if (!isWord(1) || !PushOperand(op, &x)) return false;
    // push x (, push y), call: the call word ends the run, the op after it
    // is where the call returns.
    auto callRun = [&](uint8_t span) {
        op.kind = kDecodedCallRun;
        op.span = span;
        op.callee = ops[i + span - 1].a;
        op.callWord = &ops[i + span - 1];
        op.back = &ops[i + span];
        return true;
    };
    if (x.kind != DecodedOperand::kText && word(1) == Op_call && isWord(2)) {
        op.x = x;
        return callRun(2);
    }
    if (!isWord(2) || !PushOperand(ops[i + 1], &y)) return false;
    if (x.kind != DecodedOperand::kText && y.kind != DecodedOperand::kText && word(2) == Op_call && isWord(3)) {
        op.x = x;
        op.y = y;
        return callRun(3);
    }
    uint16_t third = word(2);
    DecodedOperand index;
    if (IsVariable(y) && isWord(3) && isWord(4) && PushOperand(ops[i + 2], &index) &&
        (index.kind == DecodedOperand::kInteger || IsVariable(index))) {
        // push v, push a, push i, elem, store: a[i] = v.
        if (word(3) == Op_elem && word(4) == Op_store) {
            op.x = x;
            op.y = y;
            op.z = index;
            op.kind = kDecodedElemStoreV;
            op.span = 5;
            return true;
        }
        // push x, push a, push i, elemr, add (, pop w): x + a[i].
        if (word(3) == Op_elemr && word(4) == Op_add && x.kind != DecodedOperand::kText) {
            op.x = x;
            op.y = y;
            op.z = index;
            op.span = 5;
            if (isWord(5) && PopOperand(ops[i + 5], &z)) {
                op.w = z;
                op.span = 6;
                // x = x + a[i]: one variable read and written.
                op.operation = SameVariable(x, z) ? 1 : 0;
            }
            op.kind = kDecodedElemrAddV;
            return true;
        }
    }
    if (third == Op_add || third == Op_sub || third == Op_mul) {
        op.x = x;
        op.y = y;
        op.operation = third;
        if (isWord(3) && PopOperand(ops[i + 3], &z)) {
            op.z = z;
            op.kind = kDecodedArithStore;
            op.span = 4;
        } else if (isWord(3) && word(3) == Op_ret) {
            // Without the fast return it is the plain run, the ret next.
            op.kind = kDecodedArithReturn;
            op.span = 3;
        } else {
            op.kind = kDecodedArith;
            op.span = 3;
        }
        return true;
    }
    if (third == Op_cat && isWord(3) && PopOperand(ops[i + 3], &z) && SameVariable(x, z)) {
        op.x = x;
        op.y = y;
        op.kind = kDecodedAppend;
        op.span = 4;
        return true;
    }
    if (IsVariable(x) && (y.kind == DecodedOperand::kInteger || IsVariable(y)) && isWord(3)) {
        if (third == Op_elem && word(3) == Op_store) {
            op.x = x;
            op.y = y;
            op.kind = kDecodedElemStoreX;
            op.span = 4;
            return true;
        }
        if (third == Op_elemr && word(3) == Op_add) {
            op.x = x;
            op.y = y;
            op.kind = kDecodedElemrAddX;
            op.span = 4;
            return true;
        }
    }
    return false;
}

DecodedSegment* DecodedSegment::Of(Segment* segment, const uint8_t* code, int32_t length, Dictionary* pool) {
    uint32_t writes = segment->Writes();
    for (SegmentAttachment* a = segment->Attachments(); a; a = a->nextAttachment) {
        if (a->attachmentKind != &kDecodedAttachment) continue;
        auto* decoded = static_cast<DecodedSegment*>(a);
        if (decoded->Matches(code, length, writes)) return decoded;
    }
    // A shared segment's form serves every run of its program: its texts come
    // from the shared pool, never from texts one run added.
    const Dictionary* shared = segment->SharedPool();
    auto* decoded = new DecodedSegment(code, length, writes, shared ? const_cast<Dictionary*>(shared) : pool);
    segment->Attach(decoded);
    return decoded;
}

} // namespace vorn
