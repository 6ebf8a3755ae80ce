#include "engine/vm/VornVMDecoded.h"

#include "engine/foundation/LittleEndian.h"
#include "engine/program/Dictionary.h"
#include "engine/program/InstructionSet.h"
#include "engine/vm/VornVM.h"

namespace vorn {

namespace {

// Kinds of the words with a fast path; every other legal word runs its handler.
// clang-format off
uint16_t FastKind(uint16_t word) {
    switch (word) {
    case Op_noop: return kDecodedNoop;
    case Op_jmp: return kDecodedJmp;
    case Op_jmp_eq: return kDecodedJmpEq;
    case Op_jmp_lt: return kDecodedJmpLt;
    case Op_jmp_gt: return kDecodedJmpGt;
    case Op_jmp_le: return kDecodedJmpLe;
    case Op_jmp_ge: return kDecodedJmpGe;
    case Op_jmp_ne: return kDecodedJmpNe;
    case Op_exit: return kDecodedExit;
    case Op_pushi: return kDecodedPushi;
    case Op_pushf: return kDecodedPushf;
    case Op_pushc: return kDecodedPushc;
    case Op_pushg: return kDecodedPushg;
    case Op_pushl: return kDecodedPushl;
    case Op_popg: return kDecodedPopg;
    case Op_popl: return kDecodedPopl;
    case Op_pop: return kDecodedPop;
    case Op_add: return kDecodedAdd;
    case Op_sub: return kDecodedSub;
    case Op_mul: return kDecodedMul;
    case Op_incg: return kDecodedIncg;
    case Op_cmpgi: return kDecodedCmpgi;
    case Op_storegi: return kDecodedStoregi;
    case Op_call: return kDecodedCall;
    case Op_ret: return kDecodedRet;
    default: return kDecodedHandler;
    }
}
// clang-format on

bool IsConditionalJump(uint16_t kind) {
    return kind >= kDecodedJmpEq && kind <= kDecodedJmpNe;
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
        uint16_t word = static_cast<uint16_t>(p[0] | (p[1] << 8));
        int32_t size = InstructionLength(word);
        op.word = word;
        indexAt[static_cast<size_t>(pc)] = static_cast<int32_t>(ops.size());
        if (size > length - pc) {
            op.kind = kDecodedTruncated;
            ops.push_back(op);
            break;
        }
        const uint8_t* q = p + 2;
        switch (word >> 14) {
        case 1:
            op.a = static_cast<int32_t>(GetU32(q));
            op.loads |= kLoadsA;
            q += 4;
            break;
        case 2:
            op.aDouble = GetDouble(q);
            op.loads |= kLoadsADouble;
            q += 8;
            break;
        default:
            break;
        }
        switch ((word >> 12) & 3) {
        case 1:
            op.b = static_cast<int32_t>(GetU32(q));
            op.loads |= kLoadsB;
            break;
        case 2:
            op.bDouble = GetDouble(q);
            op.loads |= kLoadsBDouble;
            break;
        default:
            break;
        }
        op.next = pc + size;
        op.handler = VornVM::HandlerOf(word);
        op.kind = op.handler ? FastKind(word) : static_cast<uint16_t>(kDecodedIllegal);
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
    for (size_t i = 0; i + 1 < ops.size(); ++i) {
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
    }
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
