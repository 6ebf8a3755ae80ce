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

// X(word, mnemonic, operand A, operand B), in ascending word order.
#define VORN_INSTRUCTIONS(X)                          \
    X(0x0000, noop, None, None)                       \
    X(0x0007, pushd, None, None)                      \
    X(0x0009, pushn, None, None)                      \
    X(0x000b, pop, None, None)                        \
    X(0x000f, popd, None, None)                       \
    X(0x0011, popn, None, None)                       \
    X(0x0013, spush, None, None)                      \
    X(0x0014, spop, None, None)                       \
    X(0x0015, out, None, None)                        \
    X(0x0016, add, None, None)                        \
    X(0x0017, sub, None, None)                        \
    X(0x0018, cat, None, None)                        \
    X(0x0019, bitand, None, None)                     \
    X(0x001a, bitor, None, None)                      \
    X(0x001b, bitxor, None, None)                     \
    X(0x001c, bitoc, None, None)                      \
    X(0x001d, bitsl, None, None)                      \
    X(0x001e, bitsr, None, None)                      \
    X(0x001f, div, None, None)                        \
    X(0x0020, mul, None, None)                        \
    X(0x0021, mod, None, None)                        \
    X(0x0022, rounds, None, None)                     \
    X(0x0023, crypt, None, None)                      \
    X(0x0024, pow, None, None)                        \
    X(0x0025, roundf, None, None)                     \
    X(0x002c, cmp, None, None)                        \
    X(0x002d, and, None, None)                        \
    X(0x002e, or, None, None)                         \
    X(0x002f, in, None, None)                         \
    X(0x0030, cin, None, None)                        \
    X(0x0031, ein, None, None)                        \
    X(0x0032, ecin, None, None)                       \
    X(0x0033, eq, None, None)                         \
    X(0x0034, ne, None, None)                         \
    X(0x0035, ge, None, None)                         \
    X(0x0036, le, None, None)                         \
    X(0x0037, lt, None, None)                         \
    X(0x0038, gt, None, None)                         \
    X(0x0039, not, None, None)                        \
    X(0x003a, dup, None, None)                        \
    X(0x003b, ret, None, None)                        \
    X(0x003c, retn, None, None)                       \
    X(0x003e, elem, None, None)                       \
    X(0x003f, elemr, None, None)                      \
    X(0x0040, memb, None, None)                       \
    X(0x0041, membr, None, None)                      \
    X(0x0042, store, None, None)                      \
    X(0x0043, exit, None, None)                       \
    X(0x0045, op_do_file, None, None)                 \
    X(0x0046, op_do_function, None, None)             \
    X(0x0047, hide, None, None)                       \
    X(0x0048, lockfile, None, None)                   \
    X(0x0049, lockfile_end, None, None)               \
    X(0x0051, out_comp, None, None)                   \
    X(0x0052, prefix, None, None)                     \
    X(0x0055, refern, None, None)                     \
    X(0x0057, refer, None, None)                      \
    X(0x0058, capture, None, None)                    \
    X(0x0059, capture_end, None, None)                \
    X(0x005a, isnull, None, None)                     \
    X(0x005b, swap, None, None)                       \
    X(0x0105, export, None, None)                     \
    X(0x0108, pop3delete, None, None)                 \
    X(0x010b, op_smtp_end, None, None)                \
    X(0x0200, dbopen, None, None)                     \
    X(0x0201, dbclose, None, None)                    \
    X(0x0202, dbskip, None, None)                     \
    X(0x0203, dbgo, None, None)                       \
    X(0x0204, dbadd, None, None)                      \
    X(0x0205, dbupdate, None, None)                   \
    X(0x0206, dbdelete, None, None)                   \
    X(0x0207, dbundelete, None, None)                 \
    X(0x0208, dbprimary, None, None)                  \
    X(0x0209, dbfind, None, None)                     \
    X(0x020a, dbsetindex, None, None)                 \
    X(0x020b, dbmakeindex, None, None)                \
    X(0x020c, dbpack, None, None)                     \
    X(0x020d, dbreindex, None, None)                  \
    X(0x020e, dbcreate, None, None)                   \
    X(0x0210, dbopenview, None, None)                 \
    X(0x0211, dbcloseview, None, None)                \
    X(0x0212, dbquery, None, None)                    \
    X(0x0213, dbfilter, None, None)                   \
    X(0x0214, dbrevealstructuredb, None, None)        \
    X(0x0215, dbrevealstructureagg, None, None)       \
    X(0x0216, dbopen2, None, None)                    \
    X(0x0217, dbcommit, None, None)                   \
    X(0x0218, dbrollback, None, None)                 \
    X(0x0219, dbtransact, None, None)                 \
    X(0x021a, dbcommand, None, None)                  \
    X(0x4001, pushc, String, None)                    \
    X(0x4002, pushi, Integer, None)                   \
    X(0x4004, pushs, System, None)                    \
    X(0x4005, pushg, Global, None)                    \
    X(0x4006, pushl, Local, None)                     \
    X(0x400a, pushnc, String, None)                   \
    X(0x400c, pops, System, None)                     \
    X(0x400d, popg, Global, None)                     \
    X(0x400e, popl, Local, None)                      \
    X(0x4012, popnc, String, None)                    \
    X(0x4025, jmp, Jump, None)                        \
    X(0x4026, jmp_eq, Jump, None)                     \
    X(0x4027, jmp_lt, Jump, None)                     \
    X(0x4028, jmp_gt, Jump, None)                     \
    X(0x4029, jmp_le, Jump, None)                     \
    X(0x402a, jmp_ge, Jump, None)                     \
    X(0x402b, jmp_ne, Jump, None)                     \
    X(0x403d, call, Function, None)                   \
    X(0x4044, lineno, Integer, None)                  \
    X(0x404a, sourcefile, String, None)               \
    X(0x404c, erroutput, Integer, None)               \
    X(0x404d, poplvnc, String, None)                  \
    X(0x404e, localize, String, None)                 \
    X(0x404f, localizev, String, None)                \
    X(0x4050, stdoutput, Integer, None)               \
    X(0x4053, refg, Global, None)                     \
    X(0x4054, refl, Local, None)                      \
    X(0x4056, refnc, String, None)                    \
    X(0x4101, import, Integer, None)                  \
    X(0x4102, importf, Integer, None)                 \
    X(0x4103, import_loop, Integer, None)             \
    X(0x4104, import_stop, Integer, None)             \
    X(0x4106, pop3, Jump, None)                       \
    X(0x4107, pop3loop, Jump, None)                   \
    X(0x4109, pop3stop, Jump, None)                   \
    X(0x410a, op_smtp, Jump, None)                    \
    X(0x410c, op_http, Jump, None)                    \
    X(0x410d, op_http_loop, Jump, None)               \
    X(0x410e, op_http_stop, Jump, None)               \
    X(0x410f, op_commerce, Integer, None)             \
    X(0x4110, op_commerce_loop, Integer, None)        \
    X(0x4111, op_commerce_stop, Integer, None)        \
    X(0x4112, op_http8, Jump, None)                   \
    X(0x5008, pushdc, String, String)                 \
    X(0x5010, popdc, String, String)                  \
    X(0x504b, tagerror, Integer, Integer)             \
    X(0x505c, swapn, Integer, Integer)                \
    X(0x5113, op_httpn, Jump, Integer)                \
    X(0x5114, op_smtpn, Jump, Integer)                \
    X(0x5301, cmpgg, Global, Global)                  \
    X(0x5302, cmpgi, Global, Integer)                 \
    X(0x5303, incg, Global, Integer)                  \
    X(0x5304, modgg, Global, Global)                  \
    X(0x5305, storegi, Global, Integer)               \
    X(0x8003, pushf, Double, None)

// Named words: Op_pushc, Op_jmp_eq, ...
enum Opcode : uint16_t {
#define VORN_OPCODE_ENUM(word, mnemonic, a, b) Op_##mnemonic = word,
    VORN_INSTRUCTIONS(VORN_OPCODE_ENUM)
#undef VORN_OPCODE_ENUM
};

struct InstructionInfo {
    uint16_t word;
    const char* mnemonic;
    OperandKind a; // meaning of immediate A
    OperandKind b; // meaning of immediate B
};

inline constexpr int32_t kInstructionCount = 145;

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
