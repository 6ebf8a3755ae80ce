// The assembler's expr directive: expression text compiled into the segment
// being assembled.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/foundation/LittleEndian.h"
#include "engine/foundation/Output.h"
#include "tests/support/RecordingSink.h"
#include "tests/tools/LoadedProgram.h"
#include "tools/Assembler.h"
#include "tools/Runner.h"

namespace vorn {
namespace {

using test::Assembled;
using test::AssemblyError;
using test::Bytes;
using test::LoadedProgram;
using test::RecordingSink;

// Expected code, word by word, immediates little-endian.
struct Code {
    Bytes bytes;
    Code& W(uint16_t word) {
        bytes.push_back(static_cast<uint8_t>(word));
        bytes.push_back(static_cast<uint8_t>(word >> 8));
        return *this;
    }
    Code& W(uint16_t word, int32_t a) { return W(word).I(a); }
    Code& W(uint16_t word, int32_t a, int32_t b) { return W(word).I(a).I(b); }
    Code& I(int32_t v) {
        for (int k = 0; k < 4; ++k) bytes.push_back(static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * k)));
        return *this;
    }
};

Bytes SegmentBytes(LoadedProgram& p, int32_t index) {
    Segment* s = p.segments.SegmentAt(index);
    return s ? Bytes(s->Code(), s->Code() + s->Used()) : Bytes();
}

TEST(ExprDirectiveTest, CompilesIntoTheOpenSegmentSharingPoolAndFunctions) {
    LoadedProgram p(Assembled(R"(.extern Plugin(a, &b)
.segment main
    pushc "x"
    expr "a + Plugin(\"x\", b) * 2"
after:
    jmp after
    expr "d.total + orders.d.n" database db, source "page.vr" 12
.end
)"));
    ASSERT_TRUE(p.LoadAll());
    // Pool: 0 Plugin, 1 a, 2 b (its parameters), 3 x; the expressions add 2, and
    // the texts of the second in the order its code uses them.
    EXPECT_EQ(SegmentBytes(p, 0), Code()
                                      .W(0x4001, 3).W(0x400A, 1).W(0x4001, 3).W(0x400A, 2).W(0x403D, 0)
                                      .W(0x4001, 4).W(0x20).W(0x16).W(0x4025, -6)
                                      .W(0x404A, 5).W(0x4044, 12).W(0x5008, 6, 7).W(0x5008, 8, 9).W(0x16)
                                      .bytes);
    EXPECT_EQ(p.Text(4), "2");
    EXPECT_EQ(p.Text(5), "page.vr");
    EXPECT_EQ(p.Text(6), "db");
    EXPECT_EQ(p.Text(8), "orders");
    EXPECT_EQ(p.dictionary.Count(), 10);

    // Increments follow the file's version.
    EXPECT_EQ(AssemblyError(".version 0x10008\n.segment m\n expr \"a++\"\n.end\n"),
              "t.vr:3: Invalid operator found in expression");
    EXPECT_EQ(AssemblyError(".version 0x10009\n.segment m\n expr \"a++\"\n.end\n"), "");
}

TEST(ExprDirectiveTest, ErrorsNameFileAndLine) {
    EXPECT_EQ(AssemblyError("expr \"a\"\n"), "t.vr:1: 'expr' outside a segment");
    EXPECT_EQ(AssemblyError(".segment m\n expr\n.end\n"),
              "t.vr:2: usage: expr \"EXPRESSION\" [database NAME] [source \"FILE\" LINE]");
    EXPECT_EQ(AssemblyError(".segment m\n expr \"a\" colour red\n.end\n"),
              "t.vr:2: usage: expr \"EXPRESSION\" [database NAME] [source \"FILE\" LINE]");
    EXPECT_EQ(AssemblyError(".segment m\n\n expr \"(a + \"\n.end\n"), "t.vr:3: Mismatched Parenetheses in Expression");
    // Only functions declared above the line are known.
    EXPECT_EQ(AssemblyError(".segment m\n expr \"later(1)\"\n.function later(x)\n pushl x\n ret\n.end\n"),
              "t.vr:2: Unable to find function 'later'");
    EXPECT_EQ(AssemblyError(".segment m\n.function two(x, y)\n expr \"two(1)\"\n.end\n"),
              "t.vr:3: Function 'two' is defined with 2 parameters and was called with 1");
}

TEST(ExprDirectiveTest, CompiledExpressionsRunWithTheirMeaning) {
    char pattern[] = "/tmp/vorn-expr-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    std::string dir = pattern;
    Bytes bytes = Assembled(R"ASM(.global n
.segment helpers
.function twice(v)
    pushl v
    pushi 2
    mul
    ret
.end
.segment main entry
    storegi n, 4
    expr "n * 3 + 1 $ '!'"
    out
    expr "twice(n) EQ 8 AND NOT (n LT 4)"
    out
    expr "n++ $ ',' $ n $ ',' $ --n"
    out
    expr "'it\\\"s' $ (2 POW 3) $ ISNULL ''"
    out
.end
)ASM");
    std::string path = dir + "/e.vrc";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    RecordingSink sink;
    std::string messages;
    const char* argv[] = {"vrrun", path.c_str()};
    EXPECT_EQ(RunnerMain(2, argv, &sink, &messages), 0) << messages;
    EXPECT_EQ(sink.text, "13!14,5,4it\"s81");
    std::filesystem::remove_all(dir);
}

} // namespace
} // namespace vorn
