// The interpreter's internal form of a segment: every instruction reachable
// by reading the segment from its start, decoded once when the segment is
// first run (immediates unpacked, jump targets and pool texts resolved,
// common runs of words fused), and dispatched with computed goto.
//
// The byte form stays what everything else sees: a word that does not decode
// becomes an internal word that raises the same fatal error when it is
// reached, and a jump to an offset that is not the start of a decoded
// instruction runs from the bytes as before.
//
// Each instruction is a 32-byte DecodedOp; what only some need (a pushed
// text, a double, the operands of a fused run) is a record after the ops,
// which the op reaches by its distance in bytes. Ops, records and the index
// of instruction starts are one block.
#pragma once

#include <cstdint>
#include <mutex>

#include "engine/program/InstructionSet.h"
#include "engine/program/Segment.h"

namespace vorn {

class Dictionary;

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
    X(CatPopg,     cat_popg)         /* cat and the popg after it */                                   \
    X(CatPopl,     cat_popl)         /* cat and the popl after it */                                   \
    X(ElemStore,   elem_store)       /* elem and the store after it */                                 \
    X(ElemrAdd,    elemr_add)        /* elemr and the add after it */                                  \
    X(ElemrPop,    elemr_pop)        /* elemr and the popg/popl after it */                            \
    /* Runs of words whose pushes go straight to their consumer, */                                    \
    /* the operands in the run's record (DecodedRun): */                                               \
    X(Arith,       arith_run)        /* push x, push y, add/sub/mul (arith) */                         \
    X(ArithStore,  arith_store)      /* the same, then popg/popl into z */                             \
    X(ArithReturn, arith_return)     /* push x, push y, add/sub/mul, ret */                            \
    X(ArithReturnLocals, arith_return_locals) /* the same of two locals */                             \
    X(IncCmpJump,  inc_cmp_jump)     /* incg a, b; cmpgi a, c; and the jump after them */              \
    X(IncCmpJumpLt, inc_cmp_jump_lt) /* the same with jmp_lt */                                        \
    X(IncCmpJumpLe, inc_cmp_jump_le) /* the same with jmp_le */                                        \
    X(Append,      append_run)       /* push x, push y, cat, pop into x (the same variable) */         \
    X(ElemStoreX,  elem_store_run)   /* push x (array), push y (index), elem, store */                 \
    X(ElemrAddX,   elemr_add_run)    /* push x (array), push y (index), elemr, add */                  \
    X(CallRun1,    call_run1)        /* push x, call: the argument bound from x */                     \
    X(CallRun2,    call_run2)        /* push x, push y, call: the arguments bound from x, y */         \
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

// The global entries a fast path may name: a word naming one beyond runs
// its handler.
inline constexpr int32_t kDecodedGlobalLimit = 1 << 16;

// Which registers an instruction loads, as the byte form loads them.
inline constexpr uint8_t kLoadsA = kImmediateA;
inline constexpr uint8_t kLoadsADouble = kImmediateADouble;
inline constexpr uint8_t kLoadsB = kImmediateB;
inline constexpr uint8_t kLoadsBDouble = kImmediateBDouble;

static_assert(kInstructionCount < 256, "an op names its row of the instruction table in a byte");

struct DecodedOp {
    // The interpreter's code for the kind, filled in by the interpreter.
    const void* label;
    union {
        // Jumps: the target op, or null where the target is none (outside
        // the segment, or inside an instruction: the displacement tells
        // which). Taken with one load: the op after a jump waits for it.
        const DecodedOp* target;
        // Every other op: the word's B immediate (a call, which has none,
        // and a run ending in one: the function's slot), and for pushed
        // texts, doubles and fused runs the record's distance in bytes
        // (Record).
        struct {
            union {
                int32_t b;
                int32_t callee;
            };
            int32_t extra;
        } rest;
    };
    // The word's offset; the op after it starts where its immediates end
    // (Next), as every op but the segment's last one has one after it.
    int32_t pc;
    // The word's A immediate, when an integer.
    int32_t a;
    uint16_t kind;
    uint16_t word;
    // Fused runs: the words the run takes.
    uint8_t span;
    // Conditional jumps: bit 0, 1, 2 set when a comparison result below,
    // equal to or above 0 takes the jump.
    uint8_t when;
    uint8_t loads; // kLoads* bits
    // The word's row of the instruction table (InstructionAt).
    uint8_t row;

    int32_t Next() const { return this[1].pc; }
    int32_t B() const { return rest.b; }
    template <class T> const T* Record() const {
        return reinterpret_cast<const T*>(reinterpret_cast<const char*>(this) + rest.extra);
    }
};

static_assert(sizeof(DecodedOp) == 32, "an op takes half a cache line");

// A value a push word pushes (a pushc's text and a pushf's double are their
// op's record), or where a pop word stores, as a fused run reads it.
struct DecodedOperand {
    enum : uint8_t { kNone, kLocal, kGlobal, kInteger, kDouble, kText };
    union {
        int32_t entry; // kLocal, kGlobal
        int32_t integer;
        double number;
        const char* text;
    };
    int32_t length; // of a text
    uint8_t kind;
};

// The record of a fused run. A run that starts with pushf has its double as
// x, so that an op's record starts with its double immediates (A's, then
// B's: only a word that does not decode has two).
struct DecodedRun {
    DecodedOperand x;
    DecodedOperand y;
    DecodedOperand z;
    DecodedOperand w;
    // Arithmetic runs: the word of their add, sub or mul.
    uint16_t operation;
    // ElemrAddV: x is the variable w stores into.
    bool accumulates;
    // ArithReturnLocals: the higher entry of x and y, unsigned (a negative
    // one is beyond any frame's locals).
    uint32_t highestLocal;
};

class DecodedSegment : public SegmentAttachment {
  public:
    // Decodes code[0 .. length): the pool resolves pushc texts.
    DecodedSegment(const uint8_t* code, int32_t length, uint32_t writes, Dictionary* pool);
    ~DecodedSegment() override;

    // Whether this form was made from that code.
    bool Matches(const uint8_t* c, int32_t n, uint32_t w) const {
        return c == code && n == length && w == writes;
    }
    // The decoded instruction at an offset, or null.
    const DecodedOp* At(int32_t pc) const {
        if (pc < 0 || pc > length) return nullptr;
        const uint64_t bits = starts[pc >> 6];
        const uint64_t bit = uint64_t{1} << (pc & 63);
        if (!(bits & bit)) return nullptr;
        return &ops[ranks[pc >> 6] + CountBits(bits & (bit - 1))];
    }
    // The bits set in a word (without the popcount instruction, which the
    // build does not assume).
    static int32_t CountBits(uint64_t x) {
        x -= (x >> 1) & 0x5555555555555555u;
        x = (x & 0x3333333333333333u) + ((x >> 2) & 0x3333333333333333u);
        x = (x + (x >> 4)) & 0x0f0f0f0f0f0f0f0fu;
        return static_cast<int32_t>((x * 0x0101010101010101u) >> 56);
    }
    const DecodedOp* Ops() const { return ops; }
    // Gives every op the interpreter's code for its kind, once.
    // A shared program's form serves the runs of several threads at once.
    void Thread(const void* const* labels) {
        std::call_once(threaded, [&] {
            for (int32_t i = 0; i < count; ++i) ops[i].label = labels[ops[i].kind];
        });
    }
    int32_t Count() const { return count; }
    // One more than the highest global entry its fast paths name.
    int32_t Globals() const { return globals; }
    // The bytes the form takes.
    int64_t Bytes() const { return bytes; }

    // The form of a segment's present code, made and attached on first use.
    static DecodedSegment* Of(Segment* segment, const uint8_t* code, int32_t length, Dictionary* pool);

  private:
    class Builder;

    const uint8_t* code;
    int32_t length;
    uint32_t writes;
    // One block: the ops, their records, then the index of instruction
    // starts: a bit per byte offset (0 .. length), and for each 64 of them
    // the ops that start before.
    DecodedOp* ops = nullptr;
    int32_t count = 0;
    int32_t globals = 0;
    const uint64_t* starts = nullptr;
    const int32_t* ranks = nullptr;
    int64_t bytes = 0;
    std::once_flag threaded;
};

} // namespace vorn
