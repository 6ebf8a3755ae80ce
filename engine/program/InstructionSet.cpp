#include "engine/program/InstructionSet.h"

#include <cstring>

#include "engine/foundation/Hash.h"
#include "engine/foundation/LittleEndian.h"

namespace vorn {

namespace {

constexpr InstructionInfo kInstructions[] = {
#define VORN_INSTRUCTION_ROW(word, mnemonic, a, b, ...) {word, #mnemonic, OperandKind::a, OperandKind::b},
    VORN_INSTRUCTIONS(VORN_INSTRUCTION_ROW)
#undef VORN_INSTRUCTION_ROW
};

static_assert(sizeof kInstructions / sizeof kInstructions[0] == kInstructionCount);

constexpr bool Ascending() {
    for (int32_t i = 1; i < kInstructionCount; ++i)
        if (kInstructions[i - 1].word >= kInstructions[i].word) return false;
    return true;
}
static_assert(Ascending(), "binary search needs the rows in ascending word order");

// The kind bits of every row must agree with the operands it claims.
constexpr bool KindsAgree() {
    for (const InstructionInfo& row : kInstructions) {
        ImmediateKind a = ImmediateKindA(row.word);
        ImmediateKind b = ImmediateKindB(row.word);
        bool aNone = row.a == OperandKind::None;
        bool bNone = row.b == OperandKind::None;
        if (aNone != (a == ImmediateKind::None) || bNone != (b == ImmediateKind::None)) return false;
        if ((row.a == OperandKind::Double) != (a == ImmediateKind::Double)) return false;
        if ((row.b == OperandKind::Double) != (b == ImmediateKind::Double)) return false;
    }
    return true;
}
static_assert(KindsAgree(), "operand kinds must match the word's immediate bits");

} // namespace

const InstructionInfo* FindInstruction(uint16_t word) {
    int32_t low = 0;
    int32_t high = kInstructionCount - 1;
    while (low <= high) {
        int32_t mid = (low + high) / 2;
        if (kInstructions[mid].word == word) return &kInstructions[mid];
        if (kInstructions[mid].word < word)
            low = mid + 1;
        else
            high = mid - 1;
    }
    return nullptr;
}

const InstructionInfo* FindMnemonic(const char* text, int32_t length) {
    if (!text) return nullptr;
    if (length < 0) length = static_cast<int32_t>(std::strlen(text));
    for (const InstructionInfo& row : kInstructions) {
        if (static_cast<int32_t>(std::strlen(row.mnemonic)) == length &&
            CompareTextNoCase(row.mnemonic, text, length) == 0)
            return &row;
    }
    return nullptr;
}

const InstructionInfo* InstructionAt(int32_t i) {
    if (i < 0 || i >= kInstructionCount) return nullptr;
    return &kInstructions[i];
}

namespace {

void WriteImmediate(ImmediateKind kind, uint8_t* p, int32_t integer, double number) {
    if (kind == ImmediateKind::Integer)
        PutU32(p, static_cast<uint32_t>(integer));
    else if (kind == ImmediateKind::Double)
        PutDouble(p, number);
}

} // namespace

int DecodeInstruction(const uint8_t* code, int32_t available, DecodedInstruction* out) {
    if (!code || available < 2) return 0;
    uint16_t word = GetU16(code);
    int32_t length = InstructionLength(word);
    if (length > available) return 0;
    *out = {word, length, FindInstruction(word), 0, 0, 0.0, 0.0};
    ReadImmediates(word, code + 2, &out->immA, &out->immADouble, &out->immB, &out->immBDouble);
    return 1;
}

int32_t EncodeInstruction(const DecodedInstruction& instruction, uint8_t* out) {
    uint16_t word = instruction.word;
    PutU16(out, word);
    ImmediateKind a = ImmediateKindA(word);
    WriteImmediate(a, out + 2, instruction.immA, instruction.immADouble);
    WriteImmediate(ImmediateKindB(word), out + 2 + ImmediateSize(a), instruction.immB, instruction.immBDouble);
    return InstructionLength(word);
}

} // namespace vorn
