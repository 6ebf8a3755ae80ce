// The interpreter's internal form of a segment: every instruction reachable
// by reading the segment from its start, decoded once when the segment is
// first run (immediates unpacked, jump targets and pool texts resolved,
// common pairs of words fused), and dispatched with computed goto.
//
// The byte form stays what everything else sees: a word that does not decode
// becomes an internal word that raises the same fatal error when it is
// reached, and a jump to an offset that is not the start of a decoded
// instruction runs from the bytes as before.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "engine/program/InstructionSet.h"
#include "engine/program/Segment.h"

namespace vorn {

class Dictionary;
class VornVM;

// The interpreter's kinds that are no word of the instruction table:
// X(kind, label), kDecoded<kind> run by the code op_<label> in RunDecoded.
// The fused runs make the first op of a run (its other words keep their own
// ops, for jumps that land there); the rest mark where a segment's bytes do
// not decode, or a word with no fast path.
// clang-format off
#define VORN_DECODED_KINDS(X)                                                                          \
    X(Handler,     handler)          /* the word's handler: no fast path, or a pushc not resolved */   \
    X(End,         end)              /* the segment ends here */                                       \
    X(Truncated,   truncated)        /* the word's immediates run past the end */                      \
    X(Illegal,     illegal)          /* a word not in the table */                                     \
    X(CmpgiJump,   cmpgi_jump)       /* cmpgi and the conditional jump after it */                     \
    X(CatPopg,     cat_pop)          /* cat and the popg after it */                                   \
    X(CatPopl,     cat_pop)          /* cat and the popl after it */                                   \
    X(ElemStore,   elem_store)       /* elem and the store after it */                                 \
    X(ElemrAdd,    elemr_add)        /* elemr and the add after it */                                  \
    X(ElemrPop,    elemr_pop)        /* elemr and the popg/popl after it */                            \
    /* Runs of words whose pushes go straight to their consumer, */                                    \
    /* the operands in x, y, z and w (see DecodedOperand): */                                          \
    X(Arith,       arith_run)        /* push x, push y, add/sub/mul (arith) */                         \
    X(ArithStore,  arith_run)        /* the same, then popg/popl into z */                             \
    X(ArithReturn, arith_return)     /* push x, push y, add/sub/mul, ret */                            \
    X(IncCmpJump,  inc_cmp_jump)     /* incg a, b; cmpgi a, c; and the jump after them */              \
    X(Append,      append_run)       /* push x, push y, cat, pop into x (the same variable) */         \
    X(ElemStoreX,  elem_store_run)   /* push x (array), push y (index), elem, store */                 \
    X(ElemrAddX,   elemr_add_run)    /* push x (array), push y (index), elemr, add */                  \
    X(CallRun,     call_run)         /* push x (and push y), call: arguments bound from x, y */        \
    X(ElemStoreV,  elem_store_value) /* push x (value), y (array), z (index), elem, store */           \
    X(ElemrAddV,   elemr_add_value)  /* push x, y (array), z (index), elemr, add (and a pop into w) */
// clang-format on

// Every kind: those above, then one per word of the instruction table,
// kDecoded<handler> (kDecodedAdd, kDecodedJmpEq), run by the word's fast path.
enum DecodedKind : uint16_t {
#define VORN_DECODED_KIND(kind, label) kDecoded##kind,
#define VORN_DECODED_WORD_KIND(word, mnemonic, a, b, handler, fast) kDecoded##handler,
    VORN_DECODED_KINDS(VORN_DECODED_KIND)
    VORN_INSTRUCTIONS(VORN_DECODED_WORD_KIND)
#undef VORN_DECODED_KIND
#undef VORN_DECODED_WORD_KIND
    kDecodedKindCount
};

// Jump targets that are no decoded index.
inline constexpr int32_t kDecodedJumpOutside = -1;   // "Jump outside of the segment"
inline constexpr int32_t kDecodedJumpUnindexed = -2; // inside, but not at a decoded instruction

// Which registers an instruction loads, as the byte form loads them.
inline constexpr uint8_t kLoadsA = kImmediateA;
inline constexpr uint8_t kLoadsADouble = kImmediateADouble;
inline constexpr uint8_t kLoadsB = kImmediateB;
inline constexpr uint8_t kLoadsBDouble = kImmediateBDouble;

// An operand of a fused run: what a push word of the run pushes, or where a
// pop word stores.
struct DecodedOperand {
    enum : uint8_t { kNone, kLocal, kGlobal, kInteger, kDouble, kText };
    uint8_t kind = kNone;
    int32_t index = 0; // a variable's entry; an integer
    double number = 0.0;
    const char* text = nullptr;
    int32_t length = 0;
};

struct DecodedOp {
    uint16_t kind;
    uint16_t word;
    uint8_t loads; // kLoads* bits
    int32_t pc;    // offset of the word
    int32_t next;  // offset after its immediates
    int32_t a = 0;
    int32_t b = 0;
    double aDouble = 0.0;
    double bDouble = 0.0;
    // Jumps: the index of the target, or kDecodedJump*; targetPc its offset.
    int32_t target = kDecodedJumpOutside;
    int32_t targetPc = 0;
    // pushc: the pool text, resolved once.
    const char* text = nullptr;
    int32_t textLength = 0;
    void (*handler)(VornVM&) = nullptr;
    // Fused runs: the operands the run's pushes would push, where the store
    // goes, the word of the run's operation and its length in words.
    DecodedOperand x;
    DecodedOperand y;
    DecodedOperand z;
    DecodedOperand w;
    uint16_t operation = 0;
    uint8_t span = 1;
    // Conditional jumps: bit 0, 1, 2 set when a comparison result below,
    // equal to or above 0 takes the jump.
    uint8_t when = 0;
    // A jump's decoded target (null when it has none).
    const DecodedOp* jumpTo = nullptr;
    // The interpreter's code for the kind, filled in by the interpreter.
    const void* label = nullptr;
    // A call (or a run ending in one): the function's slot, the call word,
    // and the op after it, where the function returns to.
    int32_t callee = -1;
    const DecodedOp* callWord = nullptr;
    const DecodedOp* back = nullptr;
    // Keeps the size a power of two: the loop steps over a run's ops with a
    // shift.
    uint8_t unused[8] = {};
};
static_assert((sizeof(DecodedOp) & (sizeof(DecodedOp) - 1)) == 0, "an op's size is a power of two");

class DecodedSegment : public SegmentAttachment {
  public:
    // Decodes code[0 .. length): the pool resolves pushc texts.
    DecodedSegment(const uint8_t* code, int32_t length, uint32_t writes, Dictionary* pool);

    // Whether this form was made from that code.
    bool Matches(const uint8_t* c, int32_t n, uint32_t w) const {
        return c == code && n == length && w == writes;
    }
    // The decoded instruction at an offset, or null.
    const DecodedOp* At(int32_t pc) const {
        if (pc < 0 || pc > length) return nullptr;
        int32_t i = indexAt[static_cast<size_t>(pc)];
        return i < 0 ? nullptr : &ops[static_cast<size_t>(i)];
    }
    const DecodedOp* Ops() const { return ops.data(); }
    // Gives every op the interpreter's code for its kind, once.
    // A shared program's form serves the runs of several threads at once.
    void Thread(const void* const* labels) {
        std::call_once(threaded, [&] {
            for (DecodedOp& op : ops) op.label = labels[op.kind];
        });
    }
    int32_t Count() const { return static_cast<int32_t>(ops.size()); }

    // The form of a segment's present code, made and attached on first use.
    static DecodedSegment* Of(Segment* segment, const uint8_t* code, int32_t length, Dictionary* pool);

  private:
    // Makes ops[i] the first word of a fused run when the words from it form
    // one; the words after it keep their own ops for jumps that land there.
    bool FuseRun(size_t i);

    const uint8_t* code;
    int32_t length;
    uint32_t writes;
    std::vector<DecodedOp> ops;
    std::vector<int32_t> indexAt; // length + 1 entries, -1 where no instruction starts
    std::once_flag threaded;
};

} // namespace vorn
