#include "tools/Assembler.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "engine/foundation/LittleEndian.h"
#include "engine/values/Localisation.h"
#include "tests/tools/LoadedProgram.h"

namespace vorn {
namespace {

using test::Assembled;
using test::AssemblyError;
using test::Bytes;
using test::LoadedProgram;

const char kProgram[] = R"(; declarations of every kind
.system REMOTE_ADDR, HTTP_HOST
.global count "odd name"
.extern Plugin(a, &b, c:6) flags 0x10

.segment helpers
.function twice(&value, times) flags 4
.local result
    pushl value
    pushl times
    mul
    popl result
    pushl result
    ret
.end

.segment main entry
    pushc "Hello"
    pushs HTTP_HOST
    cat
    out
    pushg count
    pushi 2
    call twice
    popg "odd name"
    exit
.end
)";

TEST(AssemblerTest, DeclarationsLoadBackThroughTheEngine) {
    Bytes bytes = Assembled(kProgram);
    LoadedProgram p(bytes);
    ASSERT_TRUE(p.LoadAll());

    EXPECT_EQ(p.segments.Count(), 2);
    EXPECT_EQ(p.segments.Current(), 1);

    EXPECT_EQ(p.system.EntryCount(), 2);
    EXPECT_EQ(p.system.FindIndex(-1, "http_host", -1, nullptr), 1);
    EXPECT_EQ(p.globals.FindIndex(-1, "COUNT", -1, nullptr), 0);
    EXPECT_EQ(p.globals.FindIndex(-1, "Odd Name", -1, nullptr), 1);
    EXPECT_EQ(p.globals.FindIndex(-1, "missing", -1, nullptr), -1);

    ASSERT_EQ(p.functions.Used(), 2);
    Function* plugin = p.functions.Find("PLUGIN", -1);
    ASSERT_NE(plugin, nullptr);
    EXPECT_EQ(plugin->index, 0);
    EXPECT_EQ(plugin->flags, 0x11u);
    EXPECT_TRUE(plugin->IsExternal());
    EXPECT_EQ(plugin->segment, -1);
    EXPECT_EQ(plugin->offset, -1);
    std::vector<std::pair<std::string, uint32_t>> params;
    for (FunctionParameter* q = plugin->Parameters().First(); q; q = plugin->Parameters().Next())
        params.emplace_back(q->name.Text(), q->flags);
    EXPECT_EQ(params, (std::vector<std::pair<std::string, uint32_t>>{{"a", 0}, {"b", 1}, {"c", 6}}));

    Function* twice = p.functions.Find("Twice", -1);
    ASSERT_NE(twice, nullptr);
    EXPECT_EQ(twice->index, 1);
    EXPECT_EQ(twice->flags, 4u);
    EXPECT_EQ(twice->segment, 0);
    EXPECT_EQ(twice->offset, 0);
    ASSERT_EQ(twice->Parameters().Count(), 2);
    FunctionParameter* value = twice->Parameters().First();
    EXPECT_STREQ(value->name.Text(), "value");
    EXPECT_EQ(value->flags, 1u);
    EXPECT_EQ(value->slot, 0);
    FunctionParameter* times = twice->Parameters().Next();
    EXPECT_EQ(times->flags, 0u);
    EXPECT_EQ(times->slot, 1);
    EXPECT_EQ(twice->Locals()->EntryCount(), 3);
    EXPECT_EQ(twice->Locals()->FindIndex(-1, "RESULT", -1, nullptr), 2);

    std::vector<DecodedInstruction> helpers = p.Code(0);
    ASSERT_EQ(helpers.size(), 6u);
    EXPECT_EQ(helpers[0].word, Op_pushl);
    EXPECT_EQ(helpers[0].immA, 0);
    EXPECT_EQ(helpers[1].immA, 1);
    EXPECT_EQ(helpers[3].word, Op_popl);
    EXPECT_EQ(helpers[3].immA, 2);
    EXPECT_EQ(helpers[5].word, Op_ret);

    std::vector<DecodedInstruction> main = p.Code(1);
    ASSERT_EQ(main.size(), 9u);
    EXPECT_EQ(main[0].word, Op_pushc);
    EXPECT_EQ(p.Text(main[0].immA), "Hello");
    EXPECT_EQ(main[1].word, Op_pushs);
    EXPECT_EQ(main[1].immA, 1);
    EXPECT_EQ(main[4].immA, 0);
    EXPECT_EQ(main[5].immA, 2);
    EXPECT_EQ(main[6].word, Op_call);
    EXPECT_EQ(p.functions.At(main[6].immA), twice);
    EXPECT_EQ(main[7].word, Op_popg);
    EXPECT_EQ(main[7].immA, 1);
    EXPECT_EQ(main[8].word, Op_exit);
}

TEST(AssemblerTest, LabelsGiveDisplacementsFromTheEndOfTheJump) {
    const char source[] = R"(
.segment other
    noop
far:
.end
.segment main
top:
    pushi 1          ; 0..6
    jmp_eq done      ; 6..12
    jmp top          ; 12..18
    noop             ; 18..20
done: next:
    jmp 0            ; 20..26, raw
    jmp_ne next      ; 26..32, back to 20
    jmp -0x10
    exit
.end
)";
    Assembler assembler;
    ASSERT_TRUE(assembler.Assemble(source, -1, "t.vr")) << assembler.ErrorText().Text();
    EXPECT_EQ(assembler.LabelOffset("main", "done"), 20);
    EXPECT_EQ(assembler.LabelOffset("main", "top"), 0);
    EXPECT_EQ(assembler.LabelOffset("other", "far"), 2);
    EXPECT_EQ(assembler.LabelOffset("main", "far"), -1);
    LoadedProgram p(Bytes(assembler.Output(), assembler.Output() + assembler.OutputLength()));
    ASSERT_TRUE(p.LoadAll());
    std::vector<DecodedInstruction> code = p.Code(1);
    ASSERT_EQ(code.size(), 8u);
    EXPECT_EQ(code[1].immA, 8);   // forward: 20 - 12
    EXPECT_EQ(code[2].immA, -18); // backward: 0 - 18
    EXPECT_EQ(code[4].immA, 0);
    EXPECT_EQ(code[5].immA, -12); // 20 - 32
    EXPECT_EQ(code[6].immA, -16);

    // Labels belong to their segment.
    EXPECT_EQ(AssemblyError(".segment a\nx:\n.end\n.segment b\n jmp x\n.end\n"),
              "t.vr:5: unknown label 'x' in segment 'b'");

    // The block words of VrIMPORT and VrCOMMERCE take labels too; other
    // integers do not.
    const char blocks[] = R"(
.segment main
    import done        ; 0..6
body:
    import_stop done   ; 6..12
    op_commerce 7      ; 12..18, raw
    import_loop body   ; 18..24
done:
.end
)";
    LoadedProgram b(Assembled(blocks));
    ASSERT_TRUE(b.LoadAll());
    code = b.Code(0);
    ASSERT_EQ(code.size(), 4u);
    EXPECT_EQ(code[0].immA, 18);
    EXPECT_EQ(code[1].immA, 12);
    EXPECT_EQ(code[2].immA, 7);
    EXPECT_EQ(code[3].immA, -18);
    EXPECT_EQ(AssemblyError(".segment m\n importf gone\n.end\n"), "t.vr:2: unknown label 'gone' in segment 'm'");
    EXPECT_EQ(AssemblyError(".segment m\nx:\n lineno x\n.end\n"), "t.vr:3: expected an integer, found 'x'");
}

// One line per word of the table, with operands of the kind each immediate
// means; the loaded segment must decode back to the same words and values.
TEST(AssemblerTest, EveryMnemonicOfTheTableAssemblesAndDecodes) {
    std::string source = ".string \"s\"\n.system s0\n.global g0, g1\n.segment main\n.function f(p, q)\nhere:\n";
    struct Expected {
        uint16_t word;
        int32_t a, b;
        double da;
    };
    std::vector<Expected> expected;
    int32_t offset = 0;
    auto operand = [&](OperandKind kind, int32_t end, int32_t* value, double* number) -> std::string {
        switch (kind) {
        case OperandKind::Integer: *value = -7; return "-7";
        case OperandKind::Double: *number = 2.5; return "2.5";
        case OperandKind::String: *value = 0; return "\"s\"";
        case OperandKind::Jump: *value = -end; return "here";
        case OperandKind::System: *value = 0; return "S0";
        case OperandKind::Global: *value = 1; return "g1";
        case OperandKind::Local: *value = 1; return "Q";
        case OperandKind::Function: *value = 0; return "f";
        default: return "";
        }
    };
    for (int32_t i = 0; i < kInstructionCount; ++i) {
        const InstructionInfo* row = InstructionAt(i);
        ASSERT_NE(row, nullptr);
        int32_t end = offset + InstructionLength(row->word);
        Expected e{row->word, 0, 0, 0.0};
        std::string line = std::string("    ") + row->mnemonic;
        if (row->a != OperandKind::None) line += " " + operand(row->a, end, &e.a, &e.da);
        if (row->b != OperandKind::None) line += ", " + operand(row->b, end, &e.b, &e.da);
        source += line + "\n";
        expected.push_back(e);
        offset = end;
    }
    source += ".end\n";
    LoadedProgram p(Assembled(source));
    ASSERT_TRUE(p.LoadAll());
    std::vector<DecodedInstruction> code = p.Code(0);
    ASSERT_EQ(code.size(), expected.size());
    for (size_t i = 0; i < code.size(); ++i) {
        const InstructionInfo* row = InstructionAt(static_cast<int32_t>(i));
        SCOPED_TRACE(row->mnemonic);
        EXPECT_EQ(code[i].word, expected[i].word);
        ASSERT_NE(code[i].info, nullptr);
        EXPECT_STREQ(code[i].info->mnemonic, row->mnemonic);
        if (ImmediateKindA(row->word) == ImmediateKind::Integer) {
            EXPECT_EQ(code[i].immA, expected[i].a);
        }
        if (ImmediateKindA(row->word) == ImmediateKind::Double) {
            EXPECT_EQ(code[i].immADouble, expected[i].da);
        }
        if (ImmediateKindB(row->word) == ImmediateKind::Integer) {
            EXPECT_EQ(code[i].immB, expected[i].b);
        }
    }

    // Mnemonics ignore letter case; raw numbers stand for any reference.
    LoadedProgram raw(Assembled(".segment m\n PUSHG 0xFFFFFFFF\n Call 99\n pushc 12345\n CmpGG -1, 7\n.end\n"));
    ASSERT_TRUE(raw.LoadAll());
    code = raw.Code(0);
    ASSERT_EQ(code.size(), 4u);
    EXPECT_EQ(code[0].immA, -1);
    EXPECT_EQ(code[1].immA, 99);
    EXPECT_EQ(code[2].immA, 12345);
    EXPECT_EQ(code[3].word, Op_cmpgg);
    EXPECT_EQ(code[3].immA, -1);
    EXPECT_EQ(code[3].immB, 7);
}

TEST(AssemblerTest, EveryDistinctTextGetsOnePoolEntryInOrderOfAppearance) {
    Assembler assembler;
    const char source[] = ".string \"b\"\n.global a\n.segment m\n pushc \"a\"\n pushc \"b\"\n pushc \"c\"\n"
                          " pushnc \"b\"\n pushc \"B\"\n pushc \"\"\n.end\n";
    ASSERT_TRUE(assembler.Assemble(source, -1, "t.vr")) << assembler.ErrorText().Text();
    EXPECT_EQ(assembler.PoolIndex("b", -1), 0);
    EXPECT_EQ(assembler.PoolIndex("a", -1), 1);
    EXPECT_EQ(assembler.PoolIndex("c", -1), 2);
    EXPECT_EQ(assembler.PoolIndex("B", -1), 3); // pool texts keep their case
    EXPECT_EQ(assembler.PoolIndex("", 0), 4);
    LoadedProgram p(Bytes(assembler.Output(), assembler.Output() + assembler.OutputLength()));
    ASSERT_TRUE(p.LoadAll());
    EXPECT_EQ(p.dictionary.Count(), 5);
    std::vector<DecodedInstruction> code = p.Code(0);
    ASSERT_EQ(code.size(), 6u);
    EXPECT_EQ(code[0].immA, 1);
    EXPECT_EQ(code[1].immA, 0);
    EXPECT_EQ(code[3].immA, 0);
    EXPECT_EQ(p.Text(4), "");
    EXPECT_EQ(p.Text(3), "B");

    // Escapes reach the pool as bytes.
    LoadedProgram e(Assembled(".string \"q\\\"\\\\\\n\\t\\r\\0\\x7f\\xFF\"\n"));
    ASSERT_TRUE(e.LoadAll());
    EXPECT_EQ(e.Text(0), std::string("q\"\\\n\t\r\0\x7f\xff", 9));
}

TEST(AssemblerTest, DataLinesWriteRawBytes) {
    LoadedProgram p(Assembled(".segment m\n .bytes 1, -1 0xff\n .u16 0xBEEF\n .u32 -2\n .f64 1.5\n"
                              " .ascii \"hi\"\n .word 0xC000\n .word 0x5301 1 2\n .word 0x8003 2.5\n"
                              " .word 0x6999 3 4.0\n.end\n"));
    ASSERT_TRUE(p.LoadAll());
    Segment* s = p.segments.SegmentAt(0);
    ASSERT_NE(s, nullptr);
    Bytes want = {1, 0xff, 0xff, 0xef, 0xbe, 0xfe, 0xff, 0xff, 0xff};
    uint8_t d[8];
    PutDouble(d, 1.5);
    want.insert(want.end(), d, d + 8);
    want.insert(want.end(), {'h', 'i', 0x00, 0xc0, 0x01, 0x53, 1, 0, 0, 0, 2, 0, 0, 0, 0x03, 0x80});
    PutDouble(d, 2.5);
    want.insert(want.end(), d, d + 8);
    // 0x6999: integer A, double B.
    want.insert(want.end(), {0x99, 0x69, 3, 0, 0, 0});
    PutDouble(d, 4.0);
    want.insert(want.end(), d, d + 8);
    EXPECT_EQ(Bytes(s->Code(), s->Code() + s->Used()), want);
}

TEST(AssemblerTest, HeaderAndContainerShaping) {
    {
        Bytes bytes = Assembled(".version 0x10008\n.block \"ABCDEFGHIJKLMNOP\"\n.dictword 7\n");
        LoadedProgram p(bytes);
        ASSERT_TRUE(p.LoadAll());
        EXPECT_EQ(p.file.Version(), 0x10008u);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(p.file.HeaderBlock()), 16), "ABCDEFGHIJKLMNOP");
        EXPECT_EQ(p.dictionary.HeaderWord(), 7u);
        // Without any segment, one empty entry segment is still stored.
        EXPECT_EQ(p.segments.Count(), 1);
        EXPECT_EQ(p.functions.Used(), 0);
    }
    {
        Bytes bytes = Assembled(".block 1 2 3\n");
        EXPECT_EQ(bytes[8], 1);
        EXPECT_EQ(bytes[10], 3);
        EXPECT_EQ(bytes[11], 0);
        EXPECT_EQ(GetU32(bytes.data() + 4), 0x1000Au);
    }
    {
        // An omitted section is missing from the directory.
        LoadedProgram p(Assembled(".omit func glbl\n.segment m\n exit\n.end\n"));
        ASSERT_TRUE(p.opened);
        EXPECT_TRUE(p.dictionary.ReadChunk(p.file));
        EXPECT_FALSE(p.globals.LoadSection(p.file, kSectionGlbl));
        EXPECT_STREQ(p.globals.Label().Text(), kInvalidSectionMessage);
        EXPECT_TRUE(p.segments.Load(p.file));
        EXPECT_FALSE(p.functions.ReadChunk(p.file));
        EXPECT_STREQ(p.functions.ErrorText().Text(), kInvalidSectionMessage);
    }
    {
        // A raw section comes first and shadows the standard one of its tag;
        // 'last' puts it after them.
        LoadedProgram p(Assembled(".raw segs\n .u32 1 0\n .u32 0 2\n .bytes 0x43 0\n.end\n"
                                  ".raw \"zz\\x00z\" last\n .ascii \"tail\"\n.end\n"
                                  ".segment m\n noop\n noop\n.end\n"));
        ASSERT_TRUE(p.LoadAll());
        std::vector<DecodedInstruction> code = p.Code(0);
        ASSERT_EQ(code.size(), 1u);
        EXPECT_EQ(code[0].word, Op_exit);
        const TaggedFileEntry* first = p.file.EntryAt(0);
        const TaggedFileEntry* last = p.file.EntryAt(p.file.EntryCount() - 1);
        ASSERT_TRUE(first && last);
        EXPECT_EQ(first->tag, kSectionSegs);
        EXPECT_EQ(last->tag, SectionTag('z', 'z', 0, 'z'));
        EXPECT_EQ(last->length, 4u);
        EXPECT_EQ(p.file.EntryCount(), 9); // two raw and the seven standard sections
    }
    {
        // Patches and truncation damage the finished file.
        LoadedProgram bad(Assembled(".patch 0 ascii \"Vorx\"\n"));
        EXPECT_FALSE(bad.opened);
        EXPECT_STREQ(bad.file.ErrorText().Text(), kCorruptFileMessage);
        LoadedProgram newer(Assembled(".patch 4 u32 0x1000B\n"));
        EXPECT_FALSE(newer.opened);
        EXPECT_STREQ(newer.file.ErrorText().Text(), kIncompatibleVersionMessage);
        Bytes cut = Assembled(".truncate 20\n");
        EXPECT_EQ(cut.size(), 20u);
        LoadedProgram shortFile(cut);
        EXPECT_FALSE(shortFile.opened);
        EXPECT_STREQ(shortFile.file.ErrorText().Text(), kCorruptFileMessage);
        Bytes patched = Assembled(".patch 8 bytes 1 2 3\n.patch 30 u16 0xABCD\n");
        EXPECT_EQ(patched[9], 2);
        EXPECT_EQ(GetU16(patched.data() + 30), 0xABCD);
    }
}

TEST(AssemblerTest, FunctionsPlacedExplicitlyAndEntryByName) {
    LoadedProgram p(Assembled(".entry second\n.function late(x) at second 4\n.local y\n"
                              ".function bogus at 0xFFFFFFF0 0x7FFFFFFF\n"
                              ".segment first\n noop\n.end\n.segment second\n noop\n noop\n noop\n.end\n"
                              ".bits func 0\n"));
    ASSERT_TRUE(p.LoadAll());
    EXPECT_EQ(p.segments.Current(), 1);
    EXPECT_EQ(p.functions.Bits(), 0);
    Function* late = p.functions.Find("late", -1);
    ASSERT_NE(late, nullptr);
    EXPECT_EQ(late->segment, 1);
    EXPECT_EQ(late->offset, 4);
    EXPECT_EQ(late->Locals()->FindIndex(-1, "y", -1, nullptr), 1);
    Function* bogus = p.functions.Find("BOGUS", -1);
    ASSERT_NE(bogus, nullptr);
    EXPECT_EQ(bogus->segment, -16);
    EXPECT_EQ(bogus->offset, 0x7FFFFFFF);
}

TEST(AssemblerTest, LocalisationTablesLoadBack) {
    const char source[] = R"(
.language en-US
.message greeting "Hello, " {name} "!"
.message empty
.end
.language "de-DE"
.message GREETING "Hallo, " {name}
.end
.language fr
.end
)";
    Assembler assembler;
    ASSERT_TRUE(assembler.Assemble(source, -1, "t.vr")) << assembler.ErrorText().Text();
    Bytes bytes(assembler.Output(), assembler.Output() + assembler.OutputLength());
    int32_t greeting = assembler.PoolIndex("greeting", -1);
    int32_t empty = assembler.PoolIndex("empty", -1);
    ASSERT_GE(greeting, 0);

    auto textOf = [](LoadedProgram& p, LocalizedDictionary& pieces, LocalizedLanguage* language, int32_t key,
                     VariableHash* tokens) -> std::string {
        if (!language || !language->index) return "<no table>";
        const LocalizedMessage* m = language->index->Find(key);
        if (!m) return "<no message>";
        String text;
        EXPECT_TRUE(pieces.AppendText(m->firstPiece, p.dictionary, tokens, text));
        return text.Text();
    };
    {
        LoadedProgram p(bytes);
        ASSERT_TRUE(p.LoadAll());
        LocalizedLanguages languages(nullptr, &p.dictionary, &p.file, kLanguageBits, kLanguageGrowth);
        ASSERT_TRUE(languages.Load());
        EXPECT_EQ(languages.Count(), 3);
        LocalizedDictionary pieces;
        ASSERT_TRUE(pieces.Load(p.file));
        EXPECT_EQ(pieces.Count(), 5);
        VariableHash tokens(&p.dictionary, kScopeBits, kScopeCapacity);
        tokens.SetVariable("NAME", -1, "Ann", -1);

        LocalizedLanguage* en = languages.FindLanguage("EN-us", -1);
        ASSERT_NE(en, nullptr);
        EXPECT_EQ(textOf(p, pieces, en, greeting, nullptr), "Hello, !");
        EXPECT_EQ(textOf(p, pieces, en, greeting, &tokens), "Hello, Ann!");
        ASSERT_NE(en->index, nullptr);
        EXPECT_EQ(en->index->Count(), 2);
        const LocalizedMessage* none = en->index->Find(empty);
        ASSERT_NE(none, nullptr);
        EXPECT_EQ(none->firstPiece, kLocalizedEnd);
        // Keys match by text without regard to case.
        EXPECT_EQ(textOf(p, pieces, languages.FindLanguage("de-de", -1), greeting, &tokens), "Hallo, Ann");
        LocalizedLanguage* fr = languages.FindLanguage("FR", -1);
        ASSERT_NE(fr, nullptr);
        ASSERT_NE(fr->index, nullptr);
        EXPECT_EQ(fr->index->Count(), 0);
        EXPECT_EQ(languages.FindLanguage("es", -1), nullptr);
    }
    {
        // Without its section a language has no texts; the others still load.
        Assembler damaged;
        std::string withOmit = std::string(source) + ".omit \"LX\\x01\\x00\"\n";
        ASSERT_TRUE(damaged.Assemble(withOmit.data(), static_cast<int32_t>(withOmit.size()), "t.vr"));
        LoadedProgram p(Bytes(damaged.Output(), damaged.Output() + damaged.OutputLength()));
        ASSERT_TRUE(p.LoadAll());
        LocalizedLanguages languages(nullptr, &p.dictionary, &p.file, kLanguageBits, kLanguageGrowth);
        ASSERT_TRUE(languages.Load());
        LocalizedDictionary pieces;
        ASSERT_TRUE(pieces.Load(p.file));
        EXPECT_EQ(textOf(p, pieces, languages.FindLanguage("de-DE", -1), greeting, nullptr).substr(0, 3), "<no");
        EXPECT_EQ(textOf(p, pieces, languages.FindLanguage("en-US", -1), greeting, nullptr), "Hello, !");
    }
}

TEST(AssemblerTest, ErrorsNameFileAndLine) {
    struct Case {
        const char* source;
        const char* message;
    };
    const Case cases[] = {
        {"pushi 1\n", "t.vr:1: instruction 'pushi' outside a segment"},
        {".segment m\n\n frobnicate\n.end\n", "t.vr:3: unknown instruction 'frobnicate'"},
        {".segment m\n pushi\n.end\n", "t.vr:2: 'pushi' takes 1 operand, found 0"},
        {".segment m\n out 1\n.end\n", "t.vr:2: 'out' takes no operands, found 1"},
        {".segment m\n tagerror 1\n.end\n", "t.vr:2: 'tagerror' takes 2 operands, found 1"},
        {".segment m\n pushi x\n.end\n", "t.vr:2: expected an integer, found 'x'"},
        {".segment m\n pushi 0x100000000\n.end\n", "t.vr:2: an integer out of range: 0x100000000"},
        {".segment m\n pushf one\n.end\n", "t.vr:2: expected a floating-point number, found 'one'"},
        {".segment m\n pushc hello\n.end\n", "t.vr:2: expected a quoted string or a pool index, found 'hello'"},
        {".segment m\n jmp \"x\"\n.end\n", "t.vr:2: expected a label or a displacement, found \"x\""},
        {".segment m\n jmp nowhere\n.end\n", "t.vr:2: unknown label 'nowhere' in segment 'm'"},
        {".segment m\nx:\nx:\n.end\n", "t.vr:3: label 'x' defined twice in segment 'm'"},
        {"x:\n", "t.vr:1: label 'x' outside a segment"},
        {".segment m\n pushg total\n.end\n", "t.vr:2: unknown global 'total'"},
        {".segment m\n pops HOST\n.end\n", "t.vr:2: unknown system variable 'HOST'"},
        {".segment m\n pushl a\n.end\n", "t.vr:2: local 'a' used outside a function"},
        {".segment m\n.function f(a)\n pushl b\n.end\n", "t.vr:3: unknown local 'b' in function 'f'"},
        {".segment m\n call g\n.end\n", "t.vr:2: unknown function 'g'"},
        {".global a\n.global A\n", "t.vr:2: global 'A' declared twice"},
        {".extern f\n.segment m\n.function F\n.end\n", "t.vr:3: function 'F' defined twice"},
        {".segment m\n.function f(a, A)\n.end\n", "t.vr:2: 'A' declared twice in function 'f'"},
        {".function f\n", "t.vr:1: function 'f' needs an open segment or 'at SEGMENT OFFSET'"},
        {".function f(a b)\n", "t.vr:1: missing ',' between parameters"},
        {".function f(a,\n", "t.vr:1: missing ')' after the parameters"},
        {".local x\n", "t.vr:1: '.local' outside a function"},
        {".segment m\n", "t.vr:1: segment 'm' has no .end"},
        {".segment m\n.segment n\n", "t.vr:2: '.segment' inside a block; close it with .end first"},
        {".segment m\n.end\n.segment m\n.end\n", "t.vr:3: segment 'm' defined twice"},
        {".entry nope\n", "t.vr:1: unknown entry segment 'nope'"},
        {".segment a entry\n.end\n.entry a\n", "t.vr:3: the entry segment is given twice"},
        {".end\n", "t.vr:1: '.end' without an open block"},
        {".frob\n", "t.vr:1: unknown directive '.frob'"},
        {".string \"abc\n", "t.vr:1: unterminated string"},
        {".string \"\\q\"\n", "t.vr:1: unknown escape '\\q'"},
        {".string \"\\x4\"\n", "t.vr:1: '\\x' needs two hex digits"},
        {".bits glbl 17\n", "t.vr:1: bucket bits out of range: 17"},
        {".bits nope 1\n", "t.vr:1: unknown table 'nope' for .bits"},
        {".raw seg\n", "t.vr:1: a section tag is four characters or a number, found 'seg'"},
        {".bytes 1\n", "t.vr:1: '.bytes' outside a segment or raw section"},
        {".segment m\n .bytes 256\n.end\n", "t.vr:2: a byte out of range: 256"},
        {".block 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17\n", "t.vr:1: the header block holds 16 bytes"},
        {".patch 100000 u32 1\n", "t.vr:1: patch reaches past the end of the file (176 bytes)"},
        {".truncate 100000\n", "t.vr:1: cannot truncate to more than the file's 176 bytes"},
        {".message k \"v\"\n", "t.vr:1: '.message' outside a language"},
        {".segment m\n pushi 1 }\n.end\n", "t.vr:2: unexpected '}'"},
        {".segment m\n pushi (1)\n.end\n", "t.vr:2: unexpected '(' in operands of 'pushi'"},
        {".segment m\n.word 0x4002\n.end\n", "t.vr:2: '.word' needs a value for each immediate of the word"},
        {".version\n", "t.vr:1: usage: .version NUMBER"},
    };
    for (const Case& c : cases) EXPECT_EQ(AssemblyError(c.source), c.message) << c.source;

    // Control bytes in a word are shown escaped.
    EXPECT_EQ(AssemblyError(".segment m\n\x01zap\n.end\n"), "t.vr:2: unknown instruction '\\x01zap'");
}

TEST(AssemblerTest, AssembleFileWritesTheProgramOrSaysWhy) {
    std::string dir = ::testing::TempDir();
    std::string source = dir + "/vrasm_test_source.vr";
    std::string output = dir + "/vrasm_test_output.vrc";
    std::FILE* f = std::fopen(source.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs(kProgram, f);
    std::fclose(f);

    Assembler assembler;
    ASSERT_TRUE(assembler.AssembleFile(source.c_str(), output.c_str())) << assembler.ErrorText().Text();
    std::FILE* in = std::fopen(output.c_str(), "rb");
    ASSERT_NE(in, nullptr);
    Bytes written;
    int c;
    while ((c = std::fgetc(in)) != EOF) written.push_back(static_cast<uint8_t>(c));
    std::fclose(in);
    EXPECT_EQ(written, Assembled(kProgram));

    Assembler missing;
    EXPECT_FALSE(missing.AssembleFile((dir + "/no/such.vr").c_str(), output.c_str()));
    EXPECT_NE(std::string(missing.ErrorText().Text()).find("cannot open"), std::string::npos);

    f = std::fopen(source.c_str(), "wb");
    std::fputs(".segment m\n pushi\n", f);
    std::fclose(f);
    Assembler bad;
    EXPECT_FALSE(bad.AssembleFile(source.c_str(), output.c_str()));
    EXPECT_EQ(std::string(bad.ErrorText().Text()), source + ":2: 'pushi' takes 1 operand, found 0");
    std::remove(source.c_str());
    std::remove(output.c_str());
}

} // namespace
} // namespace vorn
