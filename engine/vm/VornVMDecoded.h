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

#include "engine/program/Segment.h"

namespace vorn {

class Dictionary;
class VornVM;

// Internal words. Those without a fast path of their own run the byte form's
// handler (kDecodedHandler).
enum DecodedKind : uint16_t {
    kDecodedHandler,
    kDecodedEnd,       // the segment ends here
    kDecodedTruncated, // the word's immediates run past the end
    kDecodedIllegal,
    kDecodedNoop,
    kDecodedJmp,
    kDecodedJmpEq,
    kDecodedJmpLt,
    kDecodedJmpGt,
    kDecodedJmpLe,
    kDecodedJmpGe,
    kDecodedJmpNe,
    kDecodedExit,
    kDecodedPushi,
    kDecodedPushf,
    kDecodedPushc,
    kDecodedPushg,
    kDecodedPushl,
    kDecodedPopg,
    kDecodedPopl,
    kDecodedPop,
    kDecodedAdd,
    kDecodedSub,
    kDecodedMul,
    kDecodedIncg,
    kDecodedCmpgi,
    kDecodedCmpgiJump, // cmpgi and the conditional jump after it
    kDecodedStoregi,
    kDecodedCatPopg, // cat and the popg after it
    kDecodedCatPopl, // cat and the popl after it
    kDecodedCall,
    kDecodedRet,
    kDecodedElemStore, // elem and the store after it
    kDecodedElemrAdd,  // elemr and the add after it
    // Runs of words whose pushes go straight to their consumer (operands in
    // x/y, see DecodedOperand):
    kDecodedArith,      // push x, push y, add/sub/mul (arith)
    kDecodedArithStore, // the same, then popg/popl into z
    kDecodedIncCmpJump, // incg a, b; cmpgi a, c; and the jump after them
    kDecodedAppend,     // push x, push y, cat, pop into x (the same variable)
    kDecodedElemStoreX, // push x (array), push y (index), elem, store
    kDecodedElemrAddX,  // push x (array), push y (index), elemr, add
    kDecodedCallRun,    // push x (and push y), call: arguments bound from x, y
    kDecodedArithReturn, // push x, push y, add/sub/mul, ret
    kDecodedElemStoreV,  // push x (value), push y (array), push z (index), elem, store
    kDecodedElemrAddV,   // push x, push y (array), push z (index), elemr, add (and a pop into w)
    kDecodedElemrPop,    // elemr and the popg/popl after it
    kDecodedCat,
    kDecodedOut,
    kDecodedKindCount
};

// Jump targets that are no decoded index.
inline constexpr int32_t kDecodedJumpOutside = -1;   // "Jump outside of the segment"
inline constexpr int32_t kDecodedJumpUnindexed = -2; // inside, but not at a decoded instruction

// Which registers an instruction loads, as the byte form loads them.
inline constexpr uint8_t kLoadsA = 1;
inline constexpr uint8_t kLoadsADouble = 2;
inline constexpr uint8_t kLoadsB = 4;
inline constexpr uint8_t kLoadsBDouble = 8;

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
    void (VornVM::*handler)() = nullptr;
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
    // A jump's decoded target (null when it has none), and whether it goes
    // back (where loops give the periodic checks their turn).
    const DecodedOp* jumpTo = nullptr;
    bool backward = false;
    // The interpreter's code for the kind, filled in by the interpreter.
    const void* label = nullptr;
    // A call (or a run ending in one): the function's slot, the call word,
    // and the op after it, where the function returns to.
    int32_t callee = -1;
    const DecodedOp* callWord = nullptr;
    const DecodedOp* back = nullptr;
};

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
