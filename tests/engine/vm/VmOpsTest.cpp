// The core instruction handlers, run through the interpreter: operator tables
// from the language's edge cases, variables and aggregates, references,
// jumps, output, localisation and the fused global words.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "engine/foundation/Number.h"
#include "engine/values/Localisation.h"
#include "engine/values/Variable.h"
#include "engine/vm/ScriptOperators.h"
#include "tests/engine/vm/VmCoreHarness.h"

namespace vorn::test {
namespace {

// An operand pushed by a constant word.
struct Operand {
    enum Kind { Int, Dbl, Text } kind;
    int32_t i = 0;
    double d = 0;
    const char* s = "";
};
Operand I(int32_t v) { return {Operand::Int, v, 0, ""}; }
Operand D(double v) { return {Operand::Dbl, 0, v, ""}; }
Operand S(const char* v) { return {Operand::Text, 0, 0, v}; }

// Runs the main segment on a stack of the test's own, so the results stay
// there to be looked at.
struct Ops : VmHarness {
    int Run() {
        Make();
        results = std::make_unique<VornVM_Stack>(vm.get());
        return vm->RunSegment(main, results.get(), nullptr);
    }
    void Push(CodeWriter& c, const Operand& o) {
        if (o.kind == Operand::Int)
            c.Op(Op_pushi, o.i);
        else if (o.kind == Operand::Dbl)
            c.OpDouble(Op_pushf, o.d);
        else
            c.Op(Op_pushc, pool.Add(o.s, -1));
    }
    int32_t Global(const char* name) { return global.AddNameText(name, -1); }
    Variable* GlobalVar(const char* name) {
        Variable* v = nullptr;
        global.Find(&v, name, -1, false);
        return v;
    }
    // The entry at depth (0 = top) as "i:..", "d:..", "s:.." or "v:..".
    std::string Entry(int32_t depth = 0) {
        const VornVMStackEntry* e = results->Peek(depth);
        if (!e) return "<none>";
        switch (e->type) {
        case kStackInteger: return "i:" + std::to_string(e->value.integer);
        case kStackDouble: {
            char* t = FormatDouble(e->value.number, nullptr, nullptr);
            std::string out = std::string("d:") + t;
            std::free(t);
            return out;
        }
        case kStackString: return "s:" + std::string(e->value.text, static_cast<size_t>(e->length));
        default: return "v:" + std::string(e->value.variable->Value().Text());
        }
    }
    std::unique_ptr<VornVM_Stack> results;
};

// a OP b evaluated by the VM, as Ops::Entry describes the result.
std::string Binary(const Operand& a, const Operand& b, uint16_t op) {
    Ops t;
    CodeWriter c = t.Code();
    t.Push(c, a);
    t.Push(c, b);
    c.Op(op);
    EXPECT_EQ(t.Run(), 1) << t.sink.text;
    EXPECT_EQ(t.results->Depth(), 1);
    return t.Entry();
}

std::string Unary(const Operand& a, uint16_t op) {
    Ops t;
    CodeWriter c = t.Code();
    t.Push(c, a);
    c.Op(op);
    EXPECT_EQ(t.Run(), 1) << t.sink.text;
    return t.Entry();
}

struct BinaryCase {
    Operand a, b;
    uint16_t op;
    const char* expected;
};

void CheckTable(const std::vector<BinaryCase>& cases) {
    for (const BinaryCase& k : cases)
        EXPECT_EQ(Binary(k.a, k.b, k.op), k.expected)
            << "word 0x" << std::hex << k.op << " on " << (k.a.kind == Operand::Text ? k.a.s : "number") << ", "
            << (k.b.kind == Operand::Text ? k.b.s : "number");
}

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(VmOpsTest, ArithmeticTakesDoublesFromEveryForm) {
    CheckTable({
        {I(2), I(3), Op_add, "d:5"},
        {S("1.5"), I(2), Op_add, "d:3.5"},
        {S("abc"), I(2), Op_add, "d:2"}, // a text that is no number counts as 0
        {I(2), D(0.5), Op_sub, "d:1.5"},
        {S("4"), S("2.5"), Op_mul, "d:10"},
        {I(0), I(0), Op_div, "d:0"},
        {I(1), I(0), Op_div, "d:Infinity"},
        {I(-1), I(0), Op_div, "d:-Infinity"},
        {I(7), I(2), Op_div, "d:3.5"},
        {I(2), I(-2), Op_pow, "d:0.25"},
        {D(2), D(0.5), Op_pow, "d:1.4142135623730951"},
    });
}

TEST(VmOpsTest, IntegerOperationsNeverOverflowOrShiftOutOfRange) {
    CheckTable({
        {I(7), I(0), Op_mod, "i:0"},
        {I(-7), I(2), Op_mod, "i:-1"},
        {I(7), I(-2), Op_mod, "i:1"},
        {I(INT_MIN), I(-1), Op_mod, "i:0"},
        {D(-2.7), I(3), Op_mod, "i:-2"}, // -2 mod 3
        {I(-8), I(1), Op_bitsr, "i:-4"},
        {I(1), I(33), Op_bitsl, "i:2"},
        {I(1), I(31), Op_bitsl, "i:-2147483648"},
        {I(-1), I(32), Op_bitsl, "i:-1"},
        {I(INT_MIN), I(63), Op_bitsr, "i:-1"},
        {I(12), I(10), Op_bitand, "i:8"},
        {I(12), I(10), Op_bitor, "i:14"},
        {I(12), I(10), Op_bitxor, "i:6"},
        // Doubles out of the 32-bit range and NaN truncate without fault.
        {D(1e300), I(-1), Op_bitand, "i:-2147483648"},
        {D(kNaN), I(-1), Op_bitand, "i:-2147483648"},
        {S("12"), S("5"), Op_mod, "i:2"},
    });
    EXPECT_EQ(Unary(I(0), Op_bitoc), "i:-1");
    EXPECT_EQ(Unary(I(INT_MAX), Op_bitoc), "i:-2147483648");
}

TEST(VmOpsTest, ComparisonsAreNumericWhenBothAreNumbersElseBytewise) {
    CheckTable({
        {S("10"), S("10.0"), Op_eq, "i:1"},
        {S("10"), I(10), Op_eq, "i:1"},
        {S("abc"), S("abd"), Op_lt, "i:1"},
        {S("ab"), S("abc"), Op_lt, "i:1"},
        {S("abc"), S("ab"), Op_gt, "i:1"},
        {S("9"), S("10"), Op_lt, "i:1"},       // numerically, not as texts
        {S("9x"), S("10"), Op_gt, "i:1"},      // bytewise: '9' > '1'
        {I(5), S("abc"), Op_lt, "i:1"},        // "5" against "abc"
        {D(2.5), S("2.5x"), Op_lt, "i:1"},     // "2.5" is a prefix of "2.5x"
        {S("\xff"), S("a"), Op_gt, "i:1"},     // bytes compare unsigned
        {S(""), I(0), Op_eq, "i:1"},           // the empty text reads as 0
        {D(kNaN), D(1), Op_cmp, "i:1"},
        {D(1), D(kNaN), Op_cmp, "i:1"},
        {I(3), I(3), Op_cmp, "i:0"},
        {I(2), I(3), Op_cmp, "i:-1"},
        {I(3), I(2), Op_ge, "i:1"},
        {I(3), I(3), Op_le, "i:1"},
        {I(3), I(2), Op_ne, "i:1"},
        {S("ABC"), S("abc"), Op_eq, "i:0"},
    });
}

TEST(VmOpsTest, LogicPopsBothOperandsAndReadsTextTruth) {
    CheckTable({
        {S("0.0"), I(1), Op_and, "i:0"},
        {S("0.0.0"), I(1), Op_and, "i:1"},
        {S(""), S(" 0"), Op_or, "i:1"},
        {S("."), D(0), Op_or, "i:0"},
    });
    EXPECT_EQ(Unary(S("00"), Op_not), "i:1");
    EXPECT_EQ(Unary(S("abc"), Op_not), "i:0");
    // A false left operand does not spare the right one its pop.
    Ops t;
    CodeWriter c = t.Code();
    c.Op(Op_pushi, 42).Op(Op_pushi, 0).Op(Op_pushc, t.Pool("x")).Op(Op_and);
    ASSERT_EQ(t.Run(), 1);
    ASSERT_EQ(t.results->Depth(), 2);
    EXPECT_EQ(t.Entry(0), "i:0");
    EXPECT_EQ(t.Entry(1), "i:42");
}

TEST(VmOpsTest, SearchPositionsOnShortAndLongTexts) {
    CheckTable({
        {S(""), S("abc"), Op_in, "i:1"},
        {S(""), S("abc"), Op_ein, "i:0"},
        {S("bc"), S("abc"), Op_in, "i:2"},
        {S("bc"), S("abc"), Op_ein, "i:3"},
        {S("abcd"), S("abc"), Op_in, "i:0"},
        {S("BC"), S("abc"), Op_in, "i:0"},
        {S("BC"), S("abc"), Op_cin, "i:2"},
        {S("BC"), S("xabcbc"), Op_ecin, "i:4"},
        {S("q"), S("abc"), Op_cin, "i:0"},
        {I(2), D(12.5), Op_in, "i:2"},
    });
    // Around the 300-byte switch of search method the answers stay the same.
    for (int32_t length : {298, 299, 300, 301, 1000}) {
        std::string hay(static_cast<size_t>(length), 'a');
        hay.replace(hay.size() - 3, 3, "XyZ");
        std::string expectIn = "i:" + std::to_string(length - 2);
        std::string expectEnd = "i:" + std::to_string(length);
        EXPECT_EQ(Binary(S("XyZ"), S(hay.c_str()), Op_in), expectIn) << length;
        EXPECT_EQ(Binary(S("xYz"), S(hay.c_str()), Op_cin), expectIn) << length;
        EXPECT_EQ(Binary(S("XyZ"), S(hay.c_str()), Op_ein), expectEnd) << length;
        EXPECT_EQ(Binary(S("xyz"), S(hay.c_str()), Op_ecin), expectEnd) << length;
        EXPECT_EQ(Binary(S("xyz"), S(hay.c_str()), Op_in), "i:0") << length;
        EXPECT_EQ(Binary(S("aX"), S(hay.c_str()), Op_in), "i:" + std::to_string(length - 3)) << length;
    }
}

TEST(VmOpsTest, ConcatenationJoinsEveryForm) {
    CheckTable({
        {S("ab"), S("cd"), Op_cat, "s:abcd"},
        {I(1), D(2.5), Op_cat, "s:12.5"},
        {S(""), S(""), Op_cat, "s:"},
    });
    // An owned left text is extended; the bytes after a NUL survive.
    Ops t;
    CodeWriter c = t.Code();
    c.Op(Op_pushc, t.pool.Add("a\0b", 3)).Op(Op_pushc, t.Pool("c")).Op(Op_cat);
    c.Op(Op_pushi, 7).Op(Op_cat).Op(Op_pushc, t.Pool("xyz")).Op(Op_cat);
    ASSERT_EQ(t.Run(), 1);
    EXPECT_EQ(t.Entry(), std::string("s:a\0bc7xyz", 10));
}

// cat and out write a number's text wherever the number is held (pushed, in
// a variable), as the value's own text reads: whole doubles too, and texts
// longer than a number's own buffer.
TEST(VmOpsTest, NumbersAreWrittenAsTheirTexts) {
    const std::string huge = "-1" + std::string(300, '0');
    const struct {
        double value;
        std::string text;
    } cases[] = {
        {-0.0, "-0"},
        {0.0, "0"},
        {-123.0, "-123"},
        {999999999999999.0, "999999999999999"},
        {-999999999999999.0, "-999999999999999"},
        {1e15, "1000000000000000"},
        {1e15 + 0.5, "1000000000000000.5"},
        {1e20, "100000000000000000000"},
        {9223372036854775808.0, "9223372036854776000"}, // shortest digits, then zeros
        {-1e19, "-10000000000000000000"},
        {-1e300, huge},
        {2.5, "2.5"},
        {0.1, "0.1"},
        {kInf, "Infinity"},
        {-kInf, "-Infinity"},
        {kNaN, "NaN"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.text);
        EXPECT_EQ(Binary(D(k.value), S(""), Op_cat), "s:" + k.text);
        EXPECT_EQ(Binary(S("<"), D(k.value), Op_cat), "s:<" + k.text);
        Ops t;
        int32_t v = t.Global("v");
        CodeWriter c = t.Code();
        c.OpDouble(Op_pushf, k.value).Op(Op_out);
        c.OpDouble(Op_pushf, k.value).Op(Op_popg, v).Op(Op_pushg, v).Op(Op_out);
        c.Op(Op_pushg, v).Op(Op_pushg, v).Op(Op_cat).Op(Op_out);
        ASSERT_EQ(t.Run(), 1);
        EXPECT_EQ(t.sink.text, k.text + k.text + k.text + k.text);
    }
}

TEST(VmOpsTest, RoundingKeepsTiesToEvenAndNonFiniteValues) {
    struct Case {
        double x;
        int32_t places;
        const char* roundf;
        const char* rounds;
    } cases[] = {
        {2.5, 0, "d:2.5", "s:2"}, // no rounding at 0 places; the text rounds to even
        {3.7, 0, "d:3.7", "s:4"},
        {0.125, 2, "d:0.12", "s:0.12"},
        {0.375, 2, "d:0.38", "s:0.38"},
        {0.0006, 2, "d:0", "s:0.00"},
        {0.006, 2, "d:0.01", "s:0.01"},
        {0.0051, 2, "d:0.01", "s:0.01"},
        {-0.375, 2, "d:-0.38", "s:-0.38"},
        {1.005, 2, "d:1", "s:1.00"},  // the decimal digits 1005 tie, 100 is even
        {0.015, 2, "d:0.02", "s:0.02"},
        {2, 3, "d:2", "s:2.000"},
        {123.456, -4, "d:123.456", "s:123"}, // a negative count is 0
        {kInf, 2, "d:Infinity", "s:Infinity"},
        {-kInf, 2, "d:-Infinity", "s:-Infinity"},
        {kNaN, 2, "d:NaN", "s:NaN"},
        {kNaN, 0, "d:NaN", "s:NaN"},
    };
    for (const Case& k : cases) {
        EXPECT_EQ(Binary(D(k.x), I(k.places), Op_roundf), k.roundf) << k.x << " " << k.places;
        EXPECT_EQ(Binary(D(k.x), I(k.places), Op_rounds), k.rounds) << k.x << " " << k.places;
    }
    EXPECT_EQ(ScriptRound(1e300, 2), 1e300);
    EXPECT_EQ(ScriptRound(1.23456789e-10, 12), 1.23e-10);
    EXPECT_EQ(ScriptRound(0.5, 0), 0.5);
    // Ties are judged on the shortest decimal digits, not the binary value
    // (9.995 is stored a little below 9.995).
    EXPECT_EQ(ScriptRound(9.995, 2), 10.0);
    EXPECT_EQ(ScriptRound(0.9999, 3), 1.0);
    EXPECT_EQ(Binary(S("x"), I(2), Op_rounds), "s:0.00");
}

TEST(VmOpsTest, CryptHandsTheSaltPairToTheApplication) {
    // The test application's hash starts with the two salt characters.
    const std::string tail(11, 'x');
    EXPECT_EQ(Binary(S("secret"), S("ab"), Op_crypt), "s:ab" + tail);
    EXPECT_EQ(Binary(S("secret"), S("q"), Op_crypt), "s:qq" + tail);
    EXPECT_EQ(Binary(S("secret"), S("xyz"), Op_crypt), "s:xy" + tail);
    std::string random = Binary(S("secret"), S(""), Op_crypt);
    ASSERT_EQ(random.size(), 15u);
    const std::string alphabet = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    EXPECT_NE(alphabet.find(random[2]), std::string::npos);
    EXPECT_NE(alphabet.find(random[3]), std::string::npos);
}

TEST(VmOpsTest, ConditionalJumpsTestThePoppedInteger) {
    struct Case {
        uint16_t op;
        bool taken[3]; // for -1, 0, 1
    } cases[] = {
        {Op_jmp_eq, {false, true, false}}, {Op_jmp_lt, {true, false, false}}, {Op_jmp_gt, {false, false, true}},
        {Op_jmp_le, {true, true, false}},  {Op_jmp_ge, {false, true, true}},  {Op_jmp_ne, {true, false, true}},
    };
    for (const Case& k : cases) {
        for (int32_t v = -1; v <= 1; ++v) {
            Ops t;
            CodeWriter c = t.Code();
            c.Op(Op_pushi, v).Op(k.op, 8);                   // over the next two words
            c.Op(Op_pushc, t.Pool("fell ")).Op(Op_out);      // 6 + 2 bytes
            c.Op(Op_pushc, t.Pool("end")).Op(Op_out);
            ASSERT_EQ(t.Run(), 1);
            EXPECT_EQ(t.sink.text, k.taken[v + 1] ? "end" : "fell end") << std::hex << k.op << " " << v;
        }
    }
    // A jump to the very end ends the segment; one outside it is fatal.
    Ops end;
    end.Code().Op(Op_pushi, 0).Op(Op_jmp_eq, 6).Op(Op_pushi, 0);
    EXPECT_EQ(end.Run(), 1);
    EXPECT_EQ(end.results->Depth(), 0);
    for (int32_t displacement : {-100, 100, INT_MAX, INT_MIN}) {
        Ops bad;
        bad.Code().Op(Op_pushi, 0).Op(Op_jmp_eq, displacement).Op(Op_pushi, 0);
        EXPECT_EQ(bad.Run(), 0);
        EXPECT_NE(bad.sink.text.find("Jump outside of the segment"), std::string::npos) << displacement;
    }
}

TEST(VmOpsTest, VariablesByIndexAndByName) {
    Ops t;
    int32_t a = t.Global("a");
    int32_t b = t.Global("b");
    int32_t s = t.system.AddNameText("sv", -1);
    CodeWriter c = t.Code();
    c.Op(Op_pushi, 5).Op(Op_popg, a);                                   // a = 5
    c.Op(Op_pushc, t.Pool("text")).Op(Op_pushc, t.Pool("g.b")).Op(Op_popn); // b = "text"
    c.Op(Op_pushc, t.Pool("sys")).Op(Op_pops, s);
    c.OpDouble(Op_pushf, 2.5).Op(Op_popnc, t.Pool("c"));                // a new global c
    c.Op(Op_pushg, a).Op(Op_pushnc, t.Pool("B")).Op(Op_pushs, s);
    c.Op(Op_pushc, t.Pool("global.c")).Op(Op_pushn);
    c.Op(Op_pushi, 9).Op(Op_pushg, b).Op(Op_store);                     // b = 9 through store
    ASSERT_EQ(t.Run(), 1) << t.sink.text;
    ASSERT_EQ(t.results->Depth(), 4);
    EXPECT_EQ(t.Entry(3), "v:5");
    EXPECT_EQ(t.Entry(2), "v:9");
    EXPECT_EQ(t.Entry(1), "v:sys");
    EXPECT_EQ(t.Entry(0), "v:2.5");
    EXPECT_EQ(t.GlobalVar("a")->Type(), kTypeInteger);
    EXPECT_EQ(t.GlobalVar("c")->Type(), kTypeDouble);
    EXPECT_EQ(t.GlobalVar("b")->ValueInteger(), 9);
}

TEST(VmOpsTest, BadIndexesAndConstantsWhereVariablesBelongAreFatal) {
    struct Case {
        const char* message;
        void (*build)(Ops&, CodeWriter&);
    } cases[] = {
        {"Invalid variable reference", [](Ops&, CodeWriter& c) { c.Op(Op_pushg, 999); }},
        {"Invalid variable reference", [](Ops&, CodeWriter& c) { c.Op(Op_pushi, 1).Op(Op_popg, -1); }},
        {"Invalid variable reference", [](Ops&, CodeWriter& c) { c.Op(Op_pushs, 3); }},
        {"Invalid variable reference", [](Ops&, CodeWriter& c) { c.Op(Op_storegi, 77, 1); }},
        {"Invalid variable reference", [](Ops&, CodeWriter& c) { c.Op(Op_incg, -5, 1); }},
        {"Invalid variable reference", [](Ops&, CodeWriter& c) { c.Op(Op_cmpgg, 0, 999); }},
        {"Invalid variable reference",
         [](Ops& t, CodeWriter& c) { c.Op(Op_pushg, t.Global("x")).Op(Op_refg, 12345); }},
        {"Invalid dictionary reference", [](Ops&, CodeWriter& c) { c.Op(Op_pushc, 999); }},
        {"Invalid dictionary reference", [](Ops&, CodeWriter& c) { c.Op(Op_pushnc, -1); }},
        {"Invalid dictionary reference", [](Ops&, CodeWriter& c) { c.Op(Op_pushi, 1).Op(Op_popnc, 999); }},
        {"Invalid dictionary reference", [](Ops&, CodeWriter& c) { c.Op(Op_pushdc, 999, 998); }},
        {"Invalid dictionary reference", [](Ops&, CodeWriter& c) { c.Op(Op_localizev, 999); }},
        {"Expected variable, found constant", [](Ops&, CodeWriter& c) { c.Op(Op_pushi, 1).Op(Op_pushi, 2).Op(Op_store); }},
        {"Expected variable, found constant",
         [](Ops&, CodeWriter& c) { c.Op(Op_pushi, 1).Op(Op_pushi, 2).Op(Op_elem); }},
        {"Stack underflow", [](Ops&, CodeWriter& c) { c.Op(Op_pushi, 1).Op(Op_cmp); }},
        {"Stack underflow", [](Ops&, CodeWriter& c) { c.Op(Op_cat); }},
        {"System variable stack underflow", [](Ops&, CodeWriter& c) { c.Op(Op_spush).Op(Op_spop).Op(Op_spop); }},
    };
    for (const Case& k : cases) {
        Ops t;
        CodeWriter c = t.Code();
        k.build(t, c);
        c.Op(Op_pushc, t.Pool("after")).Op(Op_out);
        EXPECT_EQ(t.Run(), 0) << k.message;
        EXPECT_NE(t.sink.text.find(std::string(k.message) + "\n"), std::string::npos) << t.sink.text;
        EXPECT_EQ(t.sink.text.find("after"), std::string::npos) << k.message;
    }
}

TEST(VmOpsTest, ElementsAndMembers) {
    Ops t;
    int32_t a = t.Global("a");
    CodeWriter c = t.Code();
    // a[2]:name = "x"
    c.Op(Op_pushc, t.Pool("x")).Op(Op_pushg, a).Op(Op_pushi, 2).Op(Op_elem);
    c.Op(Op_pushc, t.Pool("name")).Op(Op_memb).Op(Op_store);
    c.Op(Op_pushg, a).Op(Op_pushi, 2).Op(Op_elemr).Op(Op_pushc, t.Pool("NAME")).Op(Op_membr); // found
    c.Op(Op_pushg, a).Op(Op_pushi, 5).Op(Op_elemr);                                         // missing
    c.Op(Op_pushg, a).Op(Op_pushi, 2).Op(Op_elemr).Op(Op_pushc, t.Pool("other")).Op(Op_membr);
    ASSERT_EQ(t.Run(), 1) << t.sink.text;
    ASSERT_EQ(t.results->Depth(), 3);
    EXPECT_EQ(t.Entry(2), "v:x");
    EXPECT_EQ(t.Entry(1), "v:");
    EXPECT_EQ(t.Entry(0), "v:");
    EXPECT_EQ(t.results->Peek(1)->value.variable, t.vm->NullVariable());
    EXPECT_EQ(t.GlobalVar("a")->ElementsUsed(), 1); // elemr and membr created nothing
    EXPECT_EQ(t.GlobalVar("a")->Value(), String("x", 1));
}

TEST(VmOpsTest, ArrayIndexBelowOneIsARuntimeErrorOfTheExpressionTag) {
    // Fatal by default.
    Ops fatal;
    int32_t a = fatal.Global("a");
    fatal.Code().Op(Op_pushg, a).Op(Op_pushi, 0).Op(Op_elem).Op(Op_pushc, fatal.Pool("after")).Op(Op_out);
    EXPECT_EQ(fatal.Run(), 0);
    EXPECT_NE(fatal.sink.text.find("Runtime error in prog.vrc"), std::string::npos);
    EXPECT_NE(fatal.sink.text.find("(in expression): Array index must be positive integer\n"), std::string::npos);
    EXPECT_EQ(fatal.sink.text.find("after"), std::string::npos);
    // Shown only: the run goes on with the array in place of the result.
    Ops shown;
    a = shown.Global("a");
    shown.Code().Op(Op_tagerror, kTagExpression, 1).Op(Op_pushg, a).Op(Op_pushi, -3).Op(Op_elemr);
    EXPECT_EQ(shown.Run(), 1);
    ASSERT_EQ(shown.results->Depth(), 1);
    EXPECT_EQ(shown.results->Peek(0)->value.variable, shown.GlobalVar("a"));
    EXPECT_EQ(shown.GlobalVar("VrEXPRESSION_Error")->Value(), String("Array index must be positive integer", -1));
}

TEST(VmOpsTest, ElementsAndDupsOutliveTheValuesTheyCameFrom) {
    Ops t;
    int32_t a = t.Global("a");
    CodeWriter c = t.Code();
    // a[1][1] = "x"
    c.Op(Op_pushc, t.Pool("x")).Op(Op_pushg, a).Op(Op_pushi, 1).Op(Op_elem).Op(Op_pushi, 1).Op(Op_elem).Op(Op_store);
    // Take a[1], then make a a scalar: the element on the stack must survive
    // the tree it came from, and so must its own element.
    c.Op(Op_pushg, a).Op(Op_pushi, 1).Op(Op_elem).Op(Op_dup);
    c.Op(Op_storegi, a, 5);
    c.Op(Op_pushi, 1).Op(Op_elem).Op(Op_out);               // a[1][1] through the copy
    c.Op(Op_pushi, 1).Op(Op_elemr).Op(Op_out);              // and through the original
    // An owned text duplicated, swapped and dropped is freed exactly once.
    c.Op(Op_pushc, t.Pool("a")).Op(Op_pushc, t.Pool("b")).Op(Op_cat).Op(Op_dup).Op(Op_swap).Op(Op_pop).Op(Op_out);
    c.Op(Op_pushc, t.Pool("c")).Op(Op_pushc, t.Pool("d")).Op(Op_cat).Op(Op_dup).Op(Op_pushi, 0);
    c.Op(Op_swapn, 2, 0).Op(Op_pop).Op(Op_swap).Op(Op_pop).Op(Op_out);
    ASSERT_EQ(t.Run(), 1) << t.sink.text;
    EXPECT_EQ(t.sink.text, "xxabcd");
    EXPECT_EQ(t.results->Depth(), 0);
}

TEST(VmOpsTest, ReferencesBindScopeEntriesAndNamedVariables) {
    Ops t;
    int32_t a = t.Global("a");
    int32_t b = t.Global("b");
    int32_t c1 = t.Global("c");
    int32_t d = t.Global("d");
    CodeWriter c = t.Code();
    c.Op(Op_pushg, b).Op(Op_refg, a);                                   // a -> b
    c.Op(Op_pushg, b).Op(Op_pushg, c1).Op(Op_refer);                    // c -> b
    c.Op(Op_pushg, b).Op(Op_pushc, t.Pool("d")).Op(Op_refern);          // d -> b
    c.Op(Op_pushg, b).Op(Op_refnc, t.Pool("e"));                        // e -> b
    c.Op(Op_storegi, b, 7);
    c.Op(Op_pushg, a).Op(Op_pushg, c1).Op(Op_pushg, d).Op(Op_pushnc, t.Pool("e"));
    c.Op(Op_pushi, 1).Op(Op_pushg, b).Op(Op_refer);                     // a constant cannot alias
    ASSERT_EQ(t.Run(), 0);
    EXPECT_NE(t.sink.text.find("Expected variable, found constant"), std::string::npos);
    ASSERT_EQ(t.results->Depth(), 4);
    for (int32_t i = 0; i < 4; ++i) EXPECT_EQ(t.Entry(i), "v:7") << i;
}

TEST(VmOpsTest, StackEntriesOutliveScopeSlotsAndAggregateTexts) {
    Ops t;
    int32_t a = t.Global("a");
    int32_t b = t.Global("b");
    int32_t s = t.system.AddNameText("S", -1);
    CodeWriter c = t.Code();
    // a's variable is on the stack when refg puts a new one in its slot.
    c.Op(Op_storegi, a, 3).Op(Op_pushg, a).Op(Op_pushg, b).Op(Op_refg, a).Op(Op_out);
    // The same for a system variable that spop takes back.
    c.Op(Op_spush).Op(Op_pushi, 4).Op(Op_pops, s).Op(Op_pushs, s).Op(Op_spop).Op(Op_out);
    // One handler reading the text of the same aggregate twice.
    c.Op(Op_pushc, t.Pool("x")).Op(Op_pushg, b).Op(Op_pushi, 1).Op(Op_elem).Op(Op_store);
    c.Op(Op_pushg, b).Op(Op_pushg, b).Op(Op_eq).Op(Op_out);
    c.Op(Op_pushg, b).Op(Op_pushg, b).Op(Op_cat).Op(Op_pushg, b).Op(Op_pushg, b).Op(Op_cat).Op(Op_eq).Op(Op_out);
    c.Op(Op_cmpgg, b, b).Op(Op_out);
    ASSERT_EQ(t.Run(), 1) << t.sink.text;
    EXPECT_EQ(t.sink.text, "34110");
}

TEST(VmOpsTest, IsnullAndDatabaseFieldsWithoutDatabases) {
    EXPECT_EQ(Unary(S(""), Op_isnull), "i:1");
    EXPECT_EQ(Unary(S("0"), Op_isnull), "i:0");
    EXPECT_EQ(Unary(I(0), Op_isnull), "i:0");
    Ops t;
    int32_t g = t.Global("fresh");
    CodeWriter c = t.Code();
    c.Op(Op_pushg, g).Op(Op_isnull);
    c.Op(Op_pushc, t.Pool("orders")).Op(Op_pushc, t.Pool("total")).Op(Op_pushd);
    c.Op(Op_pushdc, t.Pool("orders"), t.Pool("total"));
    c.Op(Op_pushi, 3).Op(Op_pushc, t.Pool("orders")).Op(Op_pushc, t.Pool("total")).Op(Op_popd);
    c.Op(Op_pushi, 3).Op(Op_popdc, t.Pool("orders"), t.Pool("total"));
    ASSERT_EQ(t.Run(), 1) << t.sink.text;
    ASSERT_EQ(t.results->Depth(), 3); // the popped values were discarded
    EXPECT_EQ(t.Entry(2), "i:1");
    EXPECT_EQ(t.results->Peek(1)->value.variable, t.vm->NullVariable());
    EXPECT_EQ(t.results->Peek(0)->value.variable, t.vm->NullVariable());
}

TEST(VmOpsTest, FusedGlobalWords) {
    Ops t;
    int32_t n = t.Global("n");
    int32_t m = t.Global("m");
    int32_t s = t.Global("s");
    CodeWriter c = t.Code();
    c.Op(Op_storegi, n, INT_MAX).Op(Op_incg, n, 1);                     // wraps
    c.Op(Op_storegi, m, -1).Op(Op_modgg, n, m);                         // INT_MIN mod -1
    c.Op(Op_storegi, m, 0).Op(Op_modgg, n, m);                          // by zero
    c.Op(Op_cmpgi, n, 0);
    c.Op(Op_pushc, t.Pool("abc")).Op(Op_popg, s).Op(Op_cmpgi, s, 5);   // "abc" > "5"
    c.Op(Op_cmpgg, s, m);                                              // "abc" > "0"
    c.Op(Op_pushc, t.Pool("0.0")).Op(Op_popg, s).Op(Op_cmpgg, s, m);  // numerically equal
    c.Op(Op_storegi, m, 17).Op(Op_storegi, s, 5).Op(Op_modgg, m, s);
    ASSERT_EQ(t.Run(), 1) << t.sink.text;
    EXPECT_EQ(t.GlobalVar("n")->ValueInteger(), INT_MIN);
    std::vector<std::string> expected = {"i:0", "i:0", "i:-1", "i:1", "i:1", "i:0", "i:2"};
    ASSERT_EQ(t.results->Depth(), static_cast<int32_t>(expected.size()));
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(t.Entry(static_cast<int32_t>(expected.size() - 1 - i)), expected[i]) << i;
}

TEST(VmOpsTest, OutputWordsAndModes) {
    Ops t;
    CodeWriter c = t.Code();
    c.Op(Op_pushc, t.Pool("a  b")).Op(Op_out);
    c.Op(Op_stdoutput, Output::kModeCollapse).Op(Op_pushc, t.Pool("c  \t d")).Op(Op_out_comp);
    c.Op(Op_pushi, 12).Op(Op_out);
    ASSERT_EQ(t.Run(), 1);
    EXPECT_EQ(t.sink.text, "a  bc d12");
    EXPECT_EQ(t.sink.Mode(), Output::kModeCollapse);
}

// Names as written (trimmed, in their own case), every item before a comma
// counted (an empty one the NULL variable), the last only when not empty;
// few names or many.
TEST(VmOpsTest, HideWritesEncodedFieldsForEveryScalarLeaf) {
    const std::string q = "<input type=\"hidden\" name=\"q\" value=\"x&lt;y\">";
    const std::string a = "<input type=\"hidden\" name=\"a[1]:m\" value=\"&quot;v&quot;\">"
                          "<input type=\"hidden\" name=\"a[2]\" value=\"1\">";
    const std::string missing = "<input type=\"hidden\" name=\"missing\" value=\"\">";
    const std::string empty = "<input type=\"hidden\" name=\"\" value=\"\">";
    const struct {
        const char* names;
        std::string fields;
    } cases[] = {
        {" q , a,missing", q + a + missing},
        {" Q ", "<input type=\"hidden\" name=\"Q\" value=\"x&lt;y\">"},
        {"q,", q},
        {",q", empty + q},
        {"q,,a, q ,missing,,q", q + empty + a + q + missing + empty + q},
        {"q,,a, q ,missing,,,q,a,", q + empty + a + q + missing + empty + empty + q + a},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.names);
        Ops t;
        int32_t ga = t.Global("a");
        int32_t gq = t.Global("q");
        CodeWriter c = t.Code();
        c.Op(Op_pushc, t.Pool("x<y")).Op(Op_popg, gq);
        c.Op(Op_pushc, t.Pool("1")).Op(Op_pushg, ga).Op(Op_pushi, 2).Op(Op_elem).Op(Op_store);
        c.Op(Op_pushc, t.Pool("\"v\"")).Op(Op_pushg, ga).Op(Op_pushi, 1).Op(Op_elem);
        c.Op(Op_pushc, t.Pool("m")).Op(Op_memb).Op(Op_store);
        c.Op(Op_pushc, t.Pool(k.names)).Op(Op_hide);
        ASSERT_EQ(t.Run(), 1) << t.sink.text;
        EXPECT_EQ(t.sink.text, k.fields);
    }
    // A value many times the field writer's buffer, entities across its
    // edges, and a name that is long as well.
    std::string value, encoded;
    for (int i = 0; i < 700; ++i) {
        value += i % 3 ? "ab<(\")&>" : "xyz";
        encoded += i % 3 ? "ab&lt;&#40;&quot;&#41;&amp;&gt;" : "xyz";
    }
    const std::string name(1500, 'n');
    Ops t;
    int32_t gv = t.Global(name.c_str());
    CodeWriter c = t.Code();
    c.Op(Op_pushc, t.Pool(value.c_str())).Op(Op_popg, gv).Op(Op_pushc, t.Pool(name.c_str())).Op(Op_hide);
    ASSERT_EQ(t.Run(), 1);
    EXPECT_EQ(t.sink.text, "<input type=\"hidden\" name=\"" + name + "\" value=\"" + encoded + "\">");
}

TEST(VmOpsTest, PrefixLineAndSourceShapeTheErrorText) {
    Ops t;
    CodeWriter c = t.Code();
    c.Op(Op_pushc, t.Pool("PFX ")).Op(Op_prefix).Op(Op_sourcefile, t.Pool("main.vr")).Op(Op_lineno, 12);
    c.Op(Op_pushc, 4242);
    ASSERT_EQ(t.Run(), 0);
    EXPECT_EQ(t.sink.text, "PFX Fatal error in prog.vrc @ [00000000:00000014]: main.vr: Line 12: "
                           "Invalid dictionary reference\n");
    // erroutput 0 hides runtime errors but not fatal ones.
    Ops quiet;
    int32_t a = quiet.Global("a");
    quiet.Code().Op(Op_erroutput, 0).Op(Op_tagerror, kTagExpression, 1).Op(Op_pushg, a).Op(Op_pushi, 0).Op(Op_elem);
    EXPECT_EQ(quiet.Run(), 1);
    EXPECT_EQ(quiet.sink.text, "");
}

TEST(VmOpsTest, LocalisedTextsWithTokens) {
    Ops t;
    LocalizedLanguages languages(&t.app, &t.pool, nullptr, 12, 8);
    LocalizedDictionary texts;
    int32_t slot = languages.AddLanguage("en", 2);
    uint32_t kinds[] = {kPieceText, kPieceToken, kPieceText};
    uint32_t pieces[] = {static_cast<uint32_t>(t.Pool("Hello, ")), static_cast<uint32_t>(t.Pool("name")),
                         static_cast<uint32_t>(t.Pool("!"))};
    int32_t greet = t.Pool("greet");
    languages.Table(slot)->Insert(greet, texts.AddChain(kinds, pieces, 3));
    uint32_t badKinds[] = {kPieceText, kPieceText};
    uint32_t badPieces[] = {static_cast<uint32_t>(t.Pool("ok ")), 99999};
    int32_t broken = t.Pool("broken");
    languages.Table(slot)->Insert(broken, texts.AddChain(badKinds, badPieces, 2));
    t.app.SetLanguage("en", 2);

    CodeWriter c = t.Code();
    c.Op(Op_pushc, t.Pool("Ann")).Op(Op_poplvnc, t.Pool("name")).Op(Op_localizev, greet);
    c.Op(Op_localizev, greet);                            // the token was used up
    c.Op(Op_localizev, t.Pool("unknown"));
    c.Op(Op_pushi, 5).Op(Op_poplvnc, t.Pool("NAME")).Op(Op_localize, greet);
    c.Op(Op_localize, broken);
    InspectableVM vm("prog.vrc", -1, &t.app, &t.pool, &t.system, &t.global, &t.segments, &t.functions, nullptr,
                     nullptr, nullptr, &languages, &texts, nullptr, nullptr, nullptr, nullptr);
    VornVM_Stack results(&vm);
    EXPECT_EQ(vm.RunSegment(t.main, &results, nullptr), 0);
    ASSERT_EQ(results.Depth(), 3);
    auto text = [&](int32_t depth) {
        const VornVMStackEntry* e = results.Peek(depth);
        return std::string(e->value.text, static_cast<size_t>(e->length));
    };
    EXPECT_EQ(text(2), "Hello, Ann!");
    EXPECT_EQ(text(1), "Hello, !");
    EXPECT_EQ(text(0), "");
    EXPECT_EQ(t.sink.text.substr(0, 13), "Hello, 5!ok F");
    EXPECT_NE(t.sink.text.find("Invalid dictionary reference\n"), std::string::npos);
}

} // namespace
} // namespace vorn::test
