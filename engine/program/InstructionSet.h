// The instruction words of the virtual machine: encoding, operands and
// mnemonics. One table serves the interpreter, listings and the assembler.
//
// An instruction is a 16-bit little-endian word followed by immediate A and
// then immediate B. Bits 15-14 give A's kind and bits 13-12 B's (00 none,
// 01 a 32-bit integer, 10 a 64-bit double, 11 none), bits 11-8 the group
// and bits 7-0 the operation. The word is dispatched whole, kind bits
// included, and only the words of the table are legal.
#pragma once

#include <cstdint>

#include "engine/foundation/LittleEndian.h"

namespace vorn {

enum class ImmediateKind : uint8_t { None = 0, Integer = 1, Double = 2, Reserved = 3 };

// What an immediate means, for listings and for the assembler.
enum class OperandKind : uint8_t {
    None,
    Integer,  // a count, line number, tag id, setting, mode or depth
    Double,   // a double constant
    String,   // an index into the program's string pool
    Jump,     // a signed displacement from the end of the instruction
    System,   // an entry of the system-variable scope
    Global,   // an entry of the global scope
    Local,    // an entry of the current frame's scope
    Function, // a slot of the function table
};

enum InstructionGroup : uint8_t { GroupCore = 0, GroupTags = 1, GroupDatabase = 2, GroupFusedGlobal = 3 };

// X(word, mnemonic, operand A, operand B, handler, fast path), in ascending
// word order. The virtual machine runs the word with its member Op<handler>;
// in a segment's decoded form the word is dispatched to the interpreter's code
// op_<fast path> (handler: the code that calls the handler). This layer only
// names them; engine/vm expands the names.
// clang-format off
#define VORN_INSTRUCTIONS(X)                                                          \
    X(0x0000, noop,                 None,     None,    Noop,                 noop)    \
    X(0x0007, pushd,                None,     None,    Pushd,                handler) \
    X(0x0009, pushn,                None,     None,    Pushn,                handler) \
    X(0x000b, pop,                  None,     None,    Pop,                  pop)     \
    X(0x000f, popd,                 None,     None,    Popd,                 handler) \
    X(0x0011, popn,                 None,     None,    Popn,                 handler) \
    X(0x0013, spush,                None,     None,    Spush,                handler) \
    X(0x0014, spop,                 None,     None,    Spop,                 handler) \
    X(0x0015, out,                  None,     None,    Out,                  out)     \
    X(0x0016, add,                  None,     None,    Add,                  arith)   \
    X(0x0017, sub,                  None,     None,    Sub,                  arith)   \
    X(0x0018, cat,                  None,     None,    Cat,                  cat)     \
    X(0x0019, bitand,               None,     None,    Bitand,               handler) \
    X(0x001a, bitor,                None,     None,    Bitor,                handler) \
    X(0x001b, bitxor,               None,     None,    Bitxor,               handler) \
    X(0x001c, bitoc,                None,     None,    Bitoc,                handler) \
    X(0x001d, bitsl,                None,     None,    Bitsl,                handler) \
    X(0x001e, bitsr,                None,     None,    Bitsr,                handler) \
    X(0x001f, div,                  None,     None,    Div,                  handler) \
    X(0x0020, mul,                  None,     None,    Mul,                  arith)   \
    X(0x0021, mod,                  None,     None,    Mod,                  handler) \
    X(0x0022, rounds,               None,     None,    Rounds,               handler) \
    X(0x0023, crypt,                None,     None,    Crypt,                handler) \
    X(0x0024, pow,                  None,     None,    Pow,                  handler) \
    X(0x0025, roundf,               None,     None,    Roundf,               handler) \
    X(0x002c, cmp,                  None,     None,    Cmp,                  handler) \
    X(0x002d, and,                  None,     None,    And,                  handler) \
    X(0x002e, or,                   None,     None,    Or,                   handler) \
    X(0x002f, in,                   None,     None,    In,                   handler) \
    X(0x0030, cin,                  None,     None,    Cin,                  handler) \
    X(0x0031, ein,                  None,     None,    Ein,                  handler) \
    X(0x0032, ecin,                 None,     None,    Ecin,                 handler) \
    X(0x0033, eq,                   None,     None,    Eq,                   handler) \
    X(0x0034, ne,                   None,     None,    Ne,                   handler) \
    X(0x0035, ge,                   None,     None,    Ge,                   handler) \
    X(0x0036, le,                   None,     None,    Le,                   handler) \
    X(0x0037, lt,                   None,     None,    Lt,                   handler) \
    X(0x0038, gt,                   None,     None,    Gt,                   handler) \
    X(0x0039, not,                  None,     None,    Not,                  handler) \
    X(0x003a, dup,                  None,     None,    Dup,                  handler) \
    X(0x003b, ret,                  None,     None,    Ret,                  ret)     \
    X(0x003c, retn,                 None,     None,    Retn,                 handler) \
    X(0x003e, elem,                 None,     None,    Elem,                 handler) \
    X(0x003f, elemr,                None,     None,    Elemr,                handler) \
    X(0x0040, memb,                 None,     None,    Memb,                 handler) \
    X(0x0041, membr,                None,     None,    Membr,                handler) \
    X(0x0042, store,                None,     None,    Store,                handler) \
    X(0x0043, exit,                 None,     None,    Exit,                 exit)    \
    X(0x0045, op_do_file,           None,     None,    DoFile,               handler) \
    X(0x0046, op_do_function,       None,     None,    DoFunction,           handler) \
    X(0x0047, hide,                 None,     None,    Hide,                 handler) \
    X(0x0048, lockfile,             None,     None,    Lockfile,             handler) \
    X(0x0049, lockfile_end,         None,     None,    LockfileEnd,          handler) \
    X(0x0051, out_comp,             None,     None,    OutComp,              handler) \
    X(0x0052, prefix,               None,     None,    Prefix,               handler) \
    X(0x0055, refern,               None,     None,    Refern,               handler) \
    X(0x0057, refer,                None,     None,    Refer,                handler) \
    X(0x0058, capture,              None,     None,    Capture,              handler) \
    X(0x0059, capture_end,          None,     None,    CaptureEnd,           handler) \
    X(0x005a, isnull,               None,     None,    Isnull,               handler) \
    X(0x005b, swap,                 None,     None,    Swap,                 handler) \
    X(0x0105, export,               None,     None,    Export,               handler) \
    X(0x0108, pop3delete,           None,     None,    Pop3Delete,           handler) \
    X(0x010b, op_smtp_end,          None,     None,    SmtpEnd,              handler) \
    X(0x0200, dbopen,               None,     None,    DbOpen,               handler) \
    X(0x0201, dbclose,              None,     None,    DbClose,              handler) \
    X(0x0202, dbskip,               None,     None,    DbSkip,               handler) \
    X(0x0203, dbgo,                 None,     None,    DbGo,                 handler) \
    X(0x0204, dbadd,                None,     None,    DbAdd,                handler) \
    X(0x0205, dbupdate,             None,     None,    DbUpdate,             handler) \
    X(0x0206, dbdelete,             None,     None,    DbDelete,             handler) \
    X(0x0207, dbundelete,           None,     None,    DbUndelete,           handler) \
    X(0x0208, dbprimary,            None,     None,    DbPrimary,            handler) \
    X(0x0209, dbfind,               None,     None,    DbFind,               handler) \
    X(0x020a, dbsetindex,           None,     None,    DbSetIndex,           handler) \
    X(0x020b, dbmakeindex,          None,     None,    DbMakeIndex,          handler) \
    X(0x020c, dbpack,               None,     None,    DbPack,               handler) \
    X(0x020d, dbreindex,            None,     None,    DbReindex,            handler) \
    X(0x020e, dbcreate,             None,     None,    DbCreate,             handler) \
    X(0x0210, dbopenview,           None,     None,    DbOpenView,           handler) \
    X(0x0211, dbcloseview,          None,     None,    DbCloseView,          handler) \
    X(0x0212, dbquery,              None,     None,    DbQuery,              handler) \
    X(0x0213, dbfilter,             None,     None,    DbFilter,             handler) \
    X(0x0214, dbrevealstructuredb,  None,     None,    DbRevealStructureDb,  handler) \
    X(0x0215, dbrevealstructureagg, None,     None,    DbRevealStructureAgg, handler) \
    X(0x0216, dbopen2,              None,     None,    DbOpen2,              handler) \
    X(0x0217, dbcommit,             None,     None,    DbCommit,             handler) \
    X(0x0218, dbrollback,           None,     None,    DbRollback,           handler) \
    X(0x0219, dbtransact,           None,     None,    DbTransact,           handler) \
    X(0x021a, dbcommand,            None,     None,    DbCommand,            handler) \
    X(0x4001, pushc,                String,   None,    Pushc,                pushc)   \
    X(0x4002, pushi,                Integer,  None,    Pushi,                pushi)   \
    X(0x4004, pushs,                System,   None,    Pushs,                handler) \
    X(0x4005, pushg,                Global,   None,    Pushg,                pushg)   \
    X(0x4006, pushl,                Local,    None,    Pushl,                pushl)   \
    X(0x400a, pushnc,               String,   None,    Pushnc,               handler) \
    X(0x400c, pops,                 System,   None,    Pops,                 handler) \
    X(0x400d, popg,                 Global,   None,    Popg,                 popg)    \
    X(0x400e, popl,                 Local,    None,    Popl,                 popl)    \
    X(0x4012, popnc,                String,   None,    Popnc,                handler) \
    X(0x4025, jmp,                  Jump,     None,    Jmp,                  jmp)     \
    X(0x4026, jmp_eq,               Jump,     None,    JmpEq,                jcc)     \
    X(0x4027, jmp_lt,               Jump,     None,    JmpLt,                jcc)     \
    X(0x4028, jmp_gt,               Jump,     None,    JmpGt,                jcc)     \
    X(0x4029, jmp_le,               Jump,     None,    JmpLe,                jcc)     \
    X(0x402a, jmp_ge,               Jump,     None,    JmpGe,                jcc)     \
    X(0x402b, jmp_ne,               Jump,     None,    JmpNe,                jcc)     \
    X(0x403d, call,                 Function, None,    Call,                 call)    \
    X(0x4044, lineno,               Integer,  None,    Lineno,               handler) \
    X(0x404a, sourcefile,           String,   None,    Sourcefile,           handler) \
    X(0x404c, erroutput,            Integer,  None,    Erroutput,            handler) \
    X(0x404d, poplvnc,              String,   None,    Poplvnc,              handler) \
    X(0x404e, localize,             String,   None,    Localize,             handler) \
    X(0x404f, localizev,            String,   None,    Localizev,            handler) \
    X(0x4050, stdoutput,            Integer,  None,    Stdoutput,            handler) \
    X(0x4053, refg,                 Global,   None,    Refg,                 handler) \
    X(0x4054, refl,                 Local,    None,    Refl,                 handler) \
    X(0x4056, refnc,                String,   None,    Refnc,                handler) \
    X(0x4101, import,               Integer,  None,    Import,               handler) \
    X(0x4102, importf,              Integer,  None,    Importf,              handler) \
    X(0x4103, import_loop,          Integer,  None,    ImportLoop,           handler) \
    X(0x4104, import_stop,          Integer,  None,    ImportStop,           handler) \
    X(0x4106, pop3,                 Jump,     None,    Pop3,                 handler) \
    X(0x4107, pop3loop,             Jump,     None,    Pop3Loop,             handler) \
    X(0x4109, pop3stop,             Jump,     None,    Pop3Stop,             handler) \
    X(0x410a, op_smtp,              Jump,     None,    Smtp,                 handler) \
    X(0x410c, op_http,              Jump,     None,    Http,                 handler) \
    X(0x410d, op_http_loop,         Jump,     None,    HttpLoop,             handler) \
    X(0x410e, op_http_stop,         Jump,     None,    HttpStop,             handler) \
    X(0x410f, op_commerce,          Integer,  None,    Commerce,             handler) \
    X(0x4110, op_commerce_loop,     Integer,  None,    CommerceLoop,         handler) \
    X(0x4111, op_commerce_stop,     Integer,  None,    CommerceStop,         handler) \
    X(0x4112, op_http8,             Jump,     None,    Http8,                handler) \
    X(0x5008, pushdc,               String,   String,  Pushdc,               handler) \
    X(0x5010, popdc,                String,   String,  Popdc,                handler) \
    X(0x504b, tagerror,             Integer,  Integer, Tagerror,             handler) \
    X(0x505c, swapn,                Integer,  Integer, Swapn,                handler) \
    X(0x5113, op_httpn,             Jump,     Integer, Httpn,                handler) \
    X(0x5114, op_smtpn,             Jump,     Integer, Smtpn,                handler) \
    X(0x5301, cmpgg,                Global,   Global,  Cmpgg,                handler) \
    X(0x5302, cmpgi,                Global,   Integer, Cmpgi,                cmpgi)   \
    X(0x5303, incg,                 Global,   Integer, Incg,                 incg)    \
    X(0x5304, modgg,                Global,   Global,  Modgg,                handler) \
    X(0x5305, storegi,              Global,   Integer, Storegi,              storegi) \
    X(0x8003, pushf,                Double,   None,    Pushf,                pushf)
// clang-format on

// Named words: Op_pushc, Op_jmp_eq, ...
enum Opcode : uint16_t {
#define VORN_OPCODE_ENUM(word, mnemonic, ...) Op_##mnemonic = word,
    VORN_INSTRUCTIONS(VORN_OPCODE_ENUM)
#undef VORN_OPCODE_ENUM
};

struct InstructionInfo {
    uint16_t word;
    const char* mnemonic;
    OperandKind a; // meaning of immediate A
    OperandKind b; // meaning of immediate B
};

// The rows of the table.
#define VORN_INSTRUCTION_ONE(...) +1
inline constexpr int32_t kInstructionCount = 0 VORN_INSTRUCTIONS(VORN_INSTRUCTION_ONE);
#undef VORN_INSTRUCTION_ONE

inline constexpr ImmediateKind ImmediateKindA(uint16_t word) { return static_cast<ImmediateKind>(word >> 14); }
inline constexpr ImmediateKind ImmediateKindB(uint16_t word) { return static_cast<ImmediateKind>((word >> 12) & 3); }
inline constexpr uint8_t InstructionGroupOf(uint16_t word) { return static_cast<uint8_t>((word >> 8) & 0xF); }
// Bytes an immediate of that kind takes: 4, 8 or none.
inline constexpr int32_t ImmediateSize(ImmediateKind kind) {
    return kind == ImmediateKind::Integer ? 4 : kind == ImmediateKind::Double ? 8 : 0;
}
// The whole instruction's length in bytes, word included.
inline constexpr int32_t InstructionLength(uint16_t word) {
    return 2 + ImmediateSize(ImmediateKindA(word)) + ImmediateSize(ImmediateKindB(word));
}

// Which immediates a word carries, as bits (the registers its handler reads).
inline constexpr uint8_t kImmediateA = 1;
inline constexpr uint8_t kImmediateADouble = 2;
inline constexpr uint8_t kImmediateB = 4;
inline constexpr uint8_t kImmediateBDouble = 8;

// The one reading of a word's immediates, from p (just past the word, with
// InstructionLength(word) - 2 bytes there): each into a (aDouble) or b
// (bDouble) by its kind; what the word does not carry is left as it was.
// Returns the kImmediate* bits of what was read. Inline for the byte form's
// loop.
[[gnu::always_inline]] inline uint8_t ReadImmediates(uint16_t word, const uint8_t* p, int32_t* a, double* aDouble,
                                                     int32_t* b, double* bDouble) {
    // Most words carry none.
    if ((word & 0xF000) == 0) return 0;
    uint8_t read = 0;
    switch (ImmediateKindA(word)) {
    case ImmediateKind::Integer:
        *a = static_cast<int32_t>(GetU32(p));
        read = kImmediateA;
        p += 4;
        break;
    case ImmediateKind::Double:
        *aDouble = GetDouble(p);
        read = kImmediateADouble;
        p += 8;
        break;
    default:
        break;
    }
    switch (ImmediateKindB(word)) {
    case ImmediateKind::Integer:
        *b = static_cast<int32_t>(GetU32(p));
        read |= kImmediateB;
        break;
    case ImmediateKind::Double:
        *bDouble = GetDouble(p);
        read |= kImmediateBDouble;
        break;
    default:
        break;
    }
    return read;
}

// The row of a word, or null for an illegal word.
const InstructionInfo* FindInstruction(uint16_t word);
// The row of a mnemonic (ASCII case ignored; length -1: up to the NUL), or null.
const InstructionInfo* FindMnemonic(const char* text, int32_t length);
// Rows in ascending word order, 0 .. kInstructionCount - 1; null outside.
const InstructionInfo* InstructionAt(int32_t i);

// One decoded instruction. Immediates that the word does not carry are 0.
struct DecodedInstruction {
    uint16_t word;
    int32_t length;              // bytes taken, word and immediates
    const InstructionInfo* info; // null for an illegal word
    int32_t immA;
    int32_t immB;
    double immADouble;
    double immBDouble;
};

// Decodes the instruction at code[0 .. available). Returns 0 when fewer
// bytes remain than the word and its immediates need; an illegal word still
// decodes (info null) so the caller can report it.
int DecodeInstruction(const uint8_t* code, int32_t available, DecodedInstruction* out);

// Writes the word and its immediates into out (at least InstructionLength
// bytes); integer immediates are taken from immA/immB, doubles from the
// double fields. Returns the bytes written.
int32_t EncodeInstruction(const DecodedInstruction& instruction, uint8_t* out);

} // namespace vorn
