#include "engine/program/InstructionSet.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

namespace vorn {
namespace {

TEST(InstructionSetTest, TableHoldsTheLegalWordsOnly) {
    std::set<uint16_t> words;
    std::set<std::string> names;
    int perGroup[4] = {};
    for (int32_t i = 0; i < kInstructionCount; ++i) {
        const InstructionInfo* row = InstructionAt(i);
        ASSERT_NE(row, nullptr);
        words.insert(row->word);
        names.insert(row->mnemonic);
        EXPECT_EQ(FindInstruction(row->word), row);
        ASSERT_LT(InstructionGroupOf(row->word), 4);
        ++perGroup[InstructionGroupOf(row->word)];
        // No listed word has the reserved kind 11.
        EXPECT_NE(ImmediateKindA(row->word), ImmediateKind::Reserved);
        EXPECT_NE(ImmediateKindB(row->word), ImmediateKind::Reserved);
    }
    EXPECT_EQ(words.size(), 145u);
    EXPECT_EQ(names.size(), 145u);
    EXPECT_EQ(InstructionAt(145), nullptr);
    EXPECT_EQ(InstructionAt(-1), nullptr);
    // Core 61 + 29 with an immediate + 4 with two; tags 3 + 15 + 2; database 26; fused 5.
    EXPECT_EQ(perGroup[GroupCore], 94);
    EXPECT_EQ(perGroup[GroupTags], 20);
    EXPECT_EQ(perGroup[GroupDatabase], 26);
    EXPECT_EQ(perGroup[GroupFusedGlobal], 5);

    int legal = 0;
    for (uint32_t w = 0; w <= 0xFFFF; ++w)
        if (FindInstruction(static_cast<uint16_t>(w))) ++legal;
    EXPECT_EQ(legal, 145);
    for (uint16_t w : {0x0001, 0x000a, 0x020f, 0x4009, 0xc00a, 0x0044, 0x8001, 0xFFFF}) EXPECT_EQ(FindInstruction(w), nullptr);
}

TEST(InstructionSetTest, WordsMnemonicsAndOperands) {
    struct Expect {
        uint16_t word;
        const char* mnemonic;
        OperandKind a, b;
    };
    const Expect rows[] = {
        {0x0009, "pushn", OperandKind::None, OperandKind::None},
        {0x400a, "pushnc", OperandKind::String, OperandKind::None},
        {0x4001, "pushc", OperandKind::String, OperandKind::None},
        {0x4002, "pushi", OperandKind::Integer, OperandKind::None},
        {0x8003, "pushf", OperandKind::Double, OperandKind::None},
        {0x4025, "jmp", OperandKind::Jump, OperandKind::None},
        {0x402b, "jmp_ne", OperandKind::Jump, OperandKind::None},
        {0x403d, "call", OperandKind::Function, OperandKind::None},
        {0x404a, "sourcefile", OperandKind::String, OperandKind::None},
        {0x4054, "refl", OperandKind::Local, OperandKind::None},
        {0x400c, "pops", OperandKind::System, OperandKind::None},
        {0x5008, "pushdc", OperandKind::String, OperandKind::String},
        {0x505c, "swapn", OperandKind::Integer, OperandKind::Integer},
        {0x5302, "cmpgi", OperandKind::Global, OperandKind::Integer},
        {0x4112, "op_http8", OperandKind::Jump, OperandKind::None},
        {0x0216, "dbopen2", OperandKind::None, OperandKind::None},
        {0x010b, "op_smtp_end", OperandKind::None, OperandKind::None},
        {0x005b, "swap", OperandKind::None, OperandKind::None},
    };
    for (const Expect& e : rows) {
        const InstructionInfo* row = FindInstruction(e.word);
        ASSERT_NE(row, nullptr) << std::hex << e.word;
        EXPECT_STREQ(row->mnemonic, e.mnemonic);
        EXPECT_EQ(row->a, e.a) << e.mnemonic;
        EXPECT_EQ(row->b, e.b) << e.mnemonic;
        EXPECT_EQ(FindMnemonic(e.mnemonic, -1), row);
    }
    EXPECT_EQ(FindMnemonic("PUSHNC", -1)->word, 0x400a);
    EXPECT_EQ(FindMnemonic("jmp_eqX", 6)->word, 0x4026);
    EXPECT_EQ(FindMnemonic("jmp_e", -1), nullptr);
    EXPECT_EQ(FindMnemonic("", 0), nullptr);
    EXPECT_EQ(FindMnemonic(nullptr, 3), nullptr);
    EXPECT_EQ(Op_pushnc, 0x400a);
    EXPECT_EQ(Op_and, 0x002d);
    EXPECT_EQ(Op_storegi, 0x5305);
}

TEST(InstructionSetTest, LengthsDecodeAndEncode) {
    EXPECT_EQ(InstructionLength(0x0009), 2);
    EXPECT_EQ(InstructionLength(0x400a), 6);
    EXPECT_EQ(InstructionLength(0x8003), 10);
    EXPECT_EQ(InstructionLength(0x5303), 10);
    EXPECT_EQ(InstructionLength(0xC000), 2); // kind 11 reads nothing
    EXPECT_EQ(InstructionLength(0xA000), 18);

    // Immediate A's bytes come before B's, both little-endian.
    const uint8_t both[] = {0x03, 0x53, 0x07, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
    DecodedInstruction d{};
    ASSERT_EQ(DecodeInstruction(both, sizeof both, &d), 1);
    EXPECT_EQ(d.word, Op_incg);
    EXPECT_EQ(d.length, 10);
    EXPECT_EQ(d.immA, 7);
    EXPECT_EQ(d.immB, -1);
    ASSERT_NE(d.info, nullptr);
    EXPECT_STREQ(d.info->mnemonic, "incg");

    // A jump displacement is a signed 32-bit value.
    const uint8_t jump[] = {0x25, 0x40, 0xF6, 0xFF, 0xFF, 0xFF};
    ASSERT_EQ(DecodeInstruction(jump, sizeof jump, &d), 1);
    EXPECT_EQ(d.immA, -10);

    uint8_t out[16];
    DecodedInstruction f{Op_pushf, 0, nullptr, 0, 0, -2.5, 0.0};
    ASSERT_EQ(EncodeInstruction(f, out), 10);
    ASSERT_EQ(DecodeInstruction(out, 10, &d), 1);
    EXPECT_EQ(d.immADouble, -2.5);
    EXPECT_EQ(out[9], 0xC0); // the sign byte of -2.5 comes last
    DecodedInstruction g{Op_tagerror, 0, nullptr, 28, 3, 0, 0};
    ASSERT_EQ(EncodeInstruction(g, out), 10);
    EXPECT_EQ(out[0], 0x4b);
    EXPECT_EQ(out[1], 0x50);
    EXPECT_EQ(out[2], 28);
    EXPECT_EQ(out[6], 3);

    // Operands that would run past the end are refused; illegal words still decode.
    EXPECT_EQ(DecodeInstruction(both, 9, &d), 0);
    EXPECT_EQ(DecodeInstruction(jump, 1, &d), 0);
    EXPECT_EQ(DecodeInstruction(nullptr, 4, &d), 0);
    const uint8_t illegal[] = {0x01, 0xC0};
    ASSERT_EQ(DecodeInstruction(illegal, 2, &d), 1);
    EXPECT_EQ(d.info, nullptr);
    EXPECT_EQ(d.length, 2);
}

} // namespace
} // namespace vorn
