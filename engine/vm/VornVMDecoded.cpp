#include "engine/vm/VornVMDecoded.h"

#include <cstring>
#include <new>
#include <vector>

#include "engine/foundation/LittleEndian.h"
#include "engine/program/Dictionary.h"
#include "engine/program/InstructionSet.h"

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

bool IsVariable(const DecodedOperand& o) {
    return o.kind == DecodedOperand::kLocal || o.kind == DecodedOperand::kGlobal;
}

bool SameVariable(const DecodedOperand& a, const DecodedOperand& b) {
    return IsVariable(a) && a.kind == b.kind && a.entry == b.entry;
}

DecodedOperand Operand(uint8_t kind, int32_t entry) {
    DecodedOperand o{};
    o.kind = kind;
    o.entry = entry;
    return o;
}

const char kDecodedAttachment = 0;

} // namespace

// The ops of a segment as they are decoded and fused, with their constants
// and records, before they are put into the form's block.
class DecodedSegment::Builder {
  public:
    Builder(const uint8_t* code, int32_t length, Dictionary* pool);

    std::vector<DecodedOp> ops;
    // Per op: what a push word pushes as a constant (a resolved text, a
    // double), and its double immediates.
    std::vector<DecodedOperand> constants;
    std::vector<double> bDoubles;
    // Per op: its run's index in runs, or -1; a jump's target op, or -1.
    std::vector<int32_t> runOf;
    std::vector<int32_t> targetOf;
    std::vector<DecodedRun> runs;
    std::vector<uint64_t> starts;
    std::vector<int32_t> ranks;
    int32_t globals = 0;

    // The op index at an offset, or -1.
    int32_t IndexAt(int64_t pc) const {
        if (pc < 0 || pc > length) return -1;
        const uint64_t bits = starts[static_cast<size_t>(pc >> 6)];
        const uint64_t bit = uint64_t{1} << (pc & 63);
        if (!(bits & bit)) return -1;
        return ranks[static_cast<size_t>(pc >> 6)] + CountBits(bits & (bit - 1));
    }

  private:
    void Decode(const uint8_t* code, Dictionary* pool);
    void NameGlobals(DecodedOp* op, const InstructionInfo& info);
    void Index();
    void Link();
    void Fuse();
    bool FuseRun(size_t i);
    bool FuseArrayRun(size_t i, const DecodedRun& run);
    bool FuseArithmeticRun(size_t i, const DecodedRun& pushed);
    bool PushOperand(size_t i, DecodedOperand* out) const;
    bool PopOperand(size_t i, DecodedOperand* out) const;
    bool IsWord(size_t i) const {
        return i < ops.size() && ops[i].kind != kDecodedEnd && ops[i].kind != kDecodedTruncated &&
               ops[i].kind != kDecodedIllegal;
    }
    uint16_t Word(size_t i) const { return i < ops.size() ? ops[i].word : 0; }
    void MakeRun(size_t i, uint16_t kind, uint8_t span, const DecodedRun& run);

    int32_t length;
};

DecodedSegment::Builder::Builder(const uint8_t* code, int32_t n, Dictionary* pool) : length(n > 0 ? n : 0) {
    Decode(code, pool);
    Index();
    Link();
    Fuse();
}

void DecodedSegment::Builder::Decode(const uint8_t* code, Dictionary* pool) {
    int32_t pc = 0;
    for (;;) {
        DecodedOp op{};
        DecodedOperand constant{};
        double bDouble = 0.0;
        op.pc = pc;
        op.span = 1;
        // Where the byte form stops: fewer than two bytes left.
        if (static_cast<int64_t>(pc) + 1 >= length) {
            op.kind = kDecodedEnd;
        } else {
            const uint8_t* p = code + pc;
            op.word = GetU16(p);
            const int32_t size = InstructionLength(op.word);
            if (size > length - pc) {
                op.kind = kDecodedTruncated;
            } else {
                op.loads = ReadImmediates(op.word, p + 2, &op.a, &constant.number, &op.rest.b, &bDouble);
                if (op.loads & kLoadsADouble) constant.kind = DecodedOperand::kDouble;
                op.kind = WordKind(op.word);
                if (const InstructionInfo* info = FindInstruction(op.word)) {
                    op.row = static_cast<uint8_t>(info - InstructionAt(0));
                    NameGlobals(&op, *info);
                }
                if (op.kind == kDecodedCall) op.rest.callee = op.a;
                if (op.kind == kDecodedPushc) {
                    // Pool texts never move, and an index once valid stays
                    // valid; an invalid one is looked up again when reached.
                    int32_t textLength = 0;
                    const char* text = pool ? pool->Get(op.a, &textLength) : nullptr;
                    if (text) {
                        constant.kind = DecodedOperand::kText;
                        constant.text = text;
                        constant.length = textLength;
                    } else {
                        op.kind = kDecodedHandler;
                    }
                }
                pc += size;
            }
        }
        ops.push_back(op);
        constants.push_back(constant);
        bDoubles.push_back(bDouble);
        if (op.kind == kDecodedEnd || op.kind == kDecodedTruncated) break;
    }
    runOf.assign(ops.size(), -1);
    targetOf.assign(ops.size(), -1);
}

// The global entries a word names: within the limit, counted for the
// form; beyond it, the word runs its handler.
void DecodedSegment::Builder::NameGlobals(DecodedOp* op, const InstructionInfo& info) {
    const bool a = info.a == OperandKind::Global;
    const bool b = info.b == OperandKind::Global;
    if (!a && !b) return;
    if ((a && (op->a < 0 || op->a >= kDecodedGlobalLimit)) ||
        (b && (op->rest.b < 0 || op->rest.b >= kDecodedGlobalLimit))) {
        op->kind = kDecodedHandler;
        return;
    }
    if (op->kind == kDecodedHandler) return;
    if (a && op->a >= globals) globals = op->a + 1;
    if (b && op->rest.b >= globals) globals = op->rest.b + 1;
}

void DecodedSegment::Builder::Index() {
    starts.assign(static_cast<size_t>(length) / 64 + 1, 0);
    ranks.assign(starts.size(), 0);
    for (const DecodedOp& op : ops) starts[static_cast<size_t>(op.pc >> 6)] |= uint64_t{1} << (op.pc & 63);
    int32_t before = 0;
    for (size_t w = 0; w < starts.size(); ++w) {
        ranks[w] = before;
        before += CountBits(starts[w]);
    }
}

void DecodedSegment::Builder::Link() {
    for (size_t i = 0; i < ops.size(); ++i) {
        DecodedOp& op = ops[i];
        op.when = JumpWhen(op.kind);
        if (op.kind != kDecodedJmp && !IsConditionalJump(op.kind)) continue;
        targetOf[i] = IndexAt(static_cast<int64_t>(op.pc) + InstructionLength(op.word) + op.a);
    }
}

void DecodedSegment::Builder::Fuse() {
    // The fused pairs' second word keeps its own op for jumps that land on it.
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

// The operand push word i pushes; false for any other word.
bool DecodedSegment::Builder::PushOperand(size_t i, DecodedOperand* out) const {
    const DecodedOp& op = ops[i];
    switch (op.word) {
    case Op_pushl: *out = Operand(DecodedOperand::kLocal, op.a); return true;
    case Op_pushg:
        if (op.kind != kDecodedPushg) return false;
        *out = Operand(DecodedOperand::kGlobal, op.a);
        return true;
    case Op_pushi:
        *out = Operand(DecodedOperand::kInteger, 0);
        out->integer = op.a;
        return true;
    case Op_pushf: *out = constants[i]; return true;
    case Op_pushc:
        // A text that did not resolve stays with its handler.
        if (op.kind != kDecodedPushc) return false;
        *out = constants[i];
        return true;
    default: return false;
    }
}

// The variable pop word i stores into; false for any other word.
bool DecodedSegment::Builder::PopOperand(size_t i, DecodedOperand* out) const {
    switch (ops[i].word) {
    case Op_popl: *out = Operand(DecodedOperand::kLocal, ops[i].a); return true;
    case Op_popg:
        if (ops[i].kind != kDecodedPopg) return false;
        *out = Operand(DecodedOperand::kGlobal, ops[i].a);
        return true;
    default: return false;
    }
}

void DecodedSegment::Builder::MakeRun(size_t i, uint16_t kind, uint8_t span, const DecodedRun& run) {
    ops[i].kind = kind;
    ops[i].span = span;
    runOf[i] = static_cast<int32_t>(runs.size());
    runs.push_back(run);
}

// Makes ops[i] the first word of a fused run when the words from it form
// one; the words after it keep their own ops for jumps that land there.
// Every word of a run is an instruction of its own (a word that does not
// decode ends the segment's form before the run could).
bool DecodedSegment::Builder::FuseRun(size_t i) {
    DecodedOp& op = ops[i];
    if (op.kind == kDecodedIncg && IsWord(i + 1) && IsWord(i + 2) && Word(i + 1) == Op_cmpgi &&
        ops[i + 1].a == op.a && IsConditionalJump(ops[i + 2].kind)) {
        const uint16_t jump = ops[i + 2].kind;
        op.kind = jump == kDecodedJmpLt ? kDecodedIncCmpJumpLt
                                        : (jump == kDecodedJmpLe ? kDecodedIncCmpJumpLe : kDecodedIncCmpJump);
        op.span = 2; // the jump is the next op
        return true;
    }
    DecodedRun run{};
    if (!IsWord(i + 1) || !PushOperand(i, &run.x)) return false;
    // push x (, push y), call: the call word ends the run, the op after it
    // is where the call returns.
    if (run.x.kind != DecodedOperand::kText && Word(i + 1) == Op_call && IsWord(i + 2)) {
        MakeRun(i, kDecodedCallRun1, 2, run);
        op.rest.callee = ops[i + 1].a;
        return true;
    }
    if (!IsWord(i + 2) || !PushOperand(i + 1, &run.y)) return false;
    if (run.x.kind != DecodedOperand::kText && run.y.kind != DecodedOperand::kText &&
        Word(i + 2) == Op_call && IsWord(i + 3)) {
        MakeRun(i, kDecodedCallRun2, 3, run);
        op.rest.callee = ops[i + 2].a;
        return true;
    }
    if (FuseArrayRun(i, run) || FuseArithmeticRun(i, run)) return true;
    const uint16_t third = Word(i + 2);
    DecodedOperand z;
    if (third == Op_cat && IsWord(i + 3) && PopOperand(i + 3, &z) && SameVariable(run.x, z)) {
        MakeRun(i, kDecodedAppend, 4, run);
        return true;
    }
    if (IsVariable(run.x) && (run.y.kind == DecodedOperand::kInteger || IsVariable(run.y)) && IsWord(i + 3)) {
        if (third == Op_elem && Word(i + 3) == Op_store) {
            MakeRun(i, kDecodedElemStoreX, 4, run);
            return true;
        }
        if (third == Op_elemr && Word(i + 3) == Op_add) {
            MakeRun(i, kDecodedElemrAddX, 4, run);
            return true;
        }
    }
    return false;
}

// push x, push y, add/sub/mul, and a pop into z, a ret or neither.
bool DecodedSegment::Builder::FuseArithmeticRun(size_t i, const DecodedRun& pushed) {
    const uint16_t word = Word(i + 2);
    if (word != Op_add && word != Op_sub && word != Op_mul) return false;
    DecodedRun run = pushed;
    run.operation = word;
    if (IsWord(i + 3) && PopOperand(i + 3, &run.z)) {
        MakeRun(i, kDecodedArithStore, 4, run);
    } else if (IsWord(i + 3) && Word(i + 3) == Op_ret) {
        // Without the fast return it is the plain run, the ret next.
        const bool locals = run.x.kind == DecodedOperand::kLocal && run.y.kind == DecodedOperand::kLocal;
        if (locals) {
            const auto x = static_cast<uint32_t>(run.x.entry), y = static_cast<uint32_t>(run.y.entry);
            run.highestLocal = x > y ? x : y;
        }
        MakeRun(i, locals ? kDecodedArithReturnLocals : kDecodedArithReturn, 3, run);
    } else {
        MakeRun(i, kDecodedArith, 3, run);
    }
    return true;
}

// The runs of three pushes: push v, push a, push i, elem, store (a[i] = v)
// and push x, push a, push i, elemr, add (, pop w) (x + a[i]).
bool DecodedSegment::Builder::FuseArrayRun(size_t i, const DecodedRun& pushed) {
    DecodedRun run = pushed;
    if (!IsVariable(run.y) || !IsWord(i + 3) || !IsWord(i + 4) || !PushOperand(i + 2, &run.z) ||
        (run.z.kind != DecodedOperand::kInteger && !IsVariable(run.z)))
        return false;
    if (Word(i + 3) == Op_elem && Word(i + 4) == Op_store) {
        MakeRun(i, kDecodedElemStoreV, 5, run);
        return true;
    }
    if (Word(i + 3) != Op_elemr || Word(i + 4) != Op_add || run.x.kind == DecodedOperand::kText) return false;
    uint8_t span = 5;
    if (IsWord(i + 5) && PopOperand(i + 5, &run.w)) {
        span = 6;
        // x = x + a[i]: one variable read and written.
        run.accumulates = SameVariable(run.x, run.w);
    }
    MakeRun(i, kDecodedElemrAddV, span, run);
    return true;
}

DecodedSegment::DecodedSegment(const uint8_t* c, int32_t n, uint32_t w, Dictionary* pool)
    : code(c), length(n), writes(w) {
    attachmentKind = &kDecodedAttachment;
    Builder built(c, n, pool);
    count = static_cast<int32_t>(built.ops.size());
    globals = built.globals;
    // Each op's record: its run's, else its constant's (with a double B
    // immediate after it, which only a word that does not decode has).
    std::vector<int64_t> recordAt(built.ops.size(), -1);
    const size_t opBytes = built.ops.size() * sizeof(DecodedOp);
    size_t recordBytes = 0;
    for (size_t i = 0; i < built.ops.size(); ++i) {
        const DecodedOp& op = built.ops[i];
        size_t size = 0;
        if (built.runOf[i] >= 0)
            size = sizeof(DecodedRun);
        else if (op.loads & kLoadsBDouble)
            size = 2 * sizeof(DecodedOperand);
        else if (built.constants[i].kind != DecodedOperand::kNone)
            size = sizeof(DecodedOperand);
        if (!size) continue;
        recordAt[i] = static_cast<int64_t>(opBytes + recordBytes);
        recordBytes += (size + 7) & ~size_t{7};
    }
    const size_t startBytes = built.starts.size() * sizeof(uint64_t);
    const size_t total = opBytes + recordBytes + startBytes + built.ranks.size() * sizeof(int32_t);
    if (opBytes + recordBytes > static_cast<size_t>(INT32_MAX)) throw std::bad_alloc();
    auto* block = static_cast<char*>(::operator new(total));
    bytes = static_cast<int64_t>(total);
    ops = reinterpret_cast<DecodedOp*>(block);
    std::memcpy(block, built.ops.data(), opBytes);
    for (size_t i = 0; i < built.ops.size(); ++i)
        if (built.ops[i].kind == kDecodedJmp || IsConditionalJump(built.ops[i].kind))
            ops[i].target = built.targetOf[i] >= 0 ? &ops[built.targetOf[i]] : nullptr;
    for (size_t i = 0; i < built.ops.size(); ++i) {
        if (recordAt[i] < 0) continue;
        char* at = block + recordAt[i];
        ops[i].rest.extra = static_cast<int32_t>(recordAt[i] - static_cast<int64_t>(i * sizeof(DecodedOp)));
        if (built.runOf[i] >= 0) {
            std::memcpy(at, &built.runs[static_cast<size_t>(built.runOf[i])], sizeof(DecodedRun));
            continue;
        }
        DecodedOperand numbers[2] = {built.constants[i], {}};
        numbers[1].kind = DecodedOperand::kDouble;
        numbers[1].number = built.bDoubles[i];
        std::memcpy(at, numbers, (ops[i].loads & kLoadsBDouble) ? sizeof numbers : sizeof numbers[0]);
    }
    char* index = block + opBytes + recordBytes;
    std::memcpy(index, built.starts.data(), startBytes);
    std::memcpy(index + startBytes, built.ranks.data(), built.ranks.size() * sizeof(int32_t));
    starts = reinterpret_cast<const uint64_t*>(index);
    ranks = reinterpret_cast<const int32_t*>(index + startBytes);
}

DecodedSegment::~DecodedSegment() {
    ::operator delete(ops);
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
