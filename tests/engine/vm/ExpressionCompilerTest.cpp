#include "engine/vm/ExpressionCompiler.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/program/Dictionary.h"
#include "engine/program/InstructionSet.h"
#include "engine/program/Segment.h"
#include "engine/values/FunctionManager.h"
#include "engine/vm/ExternalFunctionSource.h"
#include "host/plugin/ExternalCall.h"

namespace vorn {
namespace {

using Bytes = std::vector<uint8_t>;
using Texts = std::vector<std::string>;

// Expected code, written word by word with its immediates little-endian.
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
    Code& V(int32_t pool) { return W(0x400A, pool); } // pushnc
    Code& C(int32_t pool) { return W(0x4001, pool); } // pushc
};

ExternalParameterEntry kExtParameters[] = {{"x", 1, 0}, {"y", 1, kExternalParameterByReference}};
ExternalFunctionEntry kExtEntry = {"ext", 3, 2, kExtParameters, nullptr};
// A parameter name with no NUL after it and a length below -1.
char kUnterminated[2] = {'z', 'z'};
ExternalParameterEntry kBadParameters[] = {{"x", 1, 0}, {kUnterminated, -2, 0}};
ExternalFunctionEntry kBadEntry = {"bad", 3, 2, kBadParameters, nullptr};

// A library with one function, "ext" (x, &y).
class FakeExternals : public ExternalFunctionSource {
  public:
    ExternalCall* Lookup(const char* name, int32_t length) override {
        ++lookups;
        if (length == 3 && !std::strncmp(name, "bad", 3)) return &bad;
        return length == 3 && (!std::strncmp(name, "ext", 3) || !std::strncmp(name, "EXT", 3)) ? &call : nullptr;
    }
    bool ExternalParameter(ExternalFunctionCall* c, int32_t i, const char** name, int32_t* length,
                           uint32_t* flags) override {
        const ExternalFunctionEntry* entry = c == &call ? &kExtEntry : c == &bad ? &kBadEntry : nullptr;
        if (!entry || i < 0 || i >= entry->parameterCount) return false;
        *name = entry->parameters[i].name;
        *length = entry->parameters[i].length;
        *flags = entry->parameters[i].flags;
        return true;
    }
    ExternalCall call{&kExtEntry};
    ExternalCall bad{&kBadEntry};
    int lookups = 0;
};

// Compiles with a fresh pool, so pool indexes count from 0; the pool's texts
// come back in *texts.
Bytes Fresh(const char* text, Texts* texts = nullptr, const char* database = nullptr) {
    Dictionary pool;
    SegmentManager segments;
    FunctionManager functions(&pool, 8);
    ExpressionCompiler compiler(nullptr, &segments, &pool, &functions, nullptr, text, -1, database, nullptr, 0,
                                nullptr, 0, 0, kExpressionFileVersion);
    EXPECT_EQ(compiler.Compile(), 1) << text << ": " << compiler.ErrorText().Text();
    for (int32_t i = 0; texts && i < pool.Count(); ++i) {
        int32_t n = 0;
        const char* t = pool.Get(i, &n);
        texts->emplace_back(t, static_cast<size_t>(n));
    }
    return Bytes(compiler.CodeSegment()->Code(), compiler.CodeSegment()->Code() + compiler.Position());
}

class ExpressionCompilerTest : public ::testing::Test {
  protected:
    bool Compile(const std::string& text, uint32_t version = kExpressionFileVersion, const char* source = nullptr,
                 int32_t line = 0) {
        ExpressionCompiler compiler(&externals, &segments, &pool, &functions, second.get(), text.data(),
                                    static_cast<int32_t>(text.size()), nullptr, nullptr, 0, source, -1, line,
                                    version);
        int ok = compiler.Compile();
        error.assign(compiler.ErrorText().Text(), static_cast<size_t>(compiler.ErrorText().Length()));
        operators = compiler.OperatorCount();
        code.assign(compiler.CodeSegment()->Code(), compiler.CodeSegment()->Code() + compiler.Position());
        return ok == 1;
    }
    Bytes Ok(const std::string& text, const char* source = nullptr, int32_t line = 0) {
        EXPECT_TRUE(Compile(text, kExpressionFileVersion, source, line)) << text << ": " << error;
        return code;
    }
    std::string Error(const std::string& text, uint32_t version = kExpressionFileVersion) {
        EXPECT_FALSE(Compile(text, version)) << text;
        return error;
    }
    Function* Script(const char* name, std::vector<const char*> parameters) {
        Function* f = functions.AddFunction(name, -1, 0, 0, 0);
        for (const char* p : parameters) f->AddParameter(0, p, -1);
        return f;
    }

    Dictionary pool;
    SegmentManager segments;
    FunctionManager functions{&pool, 8};
    std::unique_ptr<FunctionManager> second;
    FakeExternals externals;
    Bytes code;
    std::string error;
    int32_t operators = 0;
};

TEST(ExpressionCompilerGrammar, PrecedenceGroupingAndOperatorWords) {
    const std::pair<const char*, Code> cases[] = {
        {"a + b * c", Code().V(0).V(1).V(2).W(0x20).W(0x16)},
        {"a - b - c", Code().V(0).V(1).W(0x17).V(2).W(0x17)},
        {"NOT a EQ b", Code().V(0).W(0x39).V(1).W(0x33)},
        {"x AND y OR z", Code().V(0).V(1).W(0x2D).V(2).W(0x2E)},
        {"a EQ b and c NE d", Code().V(0).V(1).W(0x33).V(2).V(3).W(0x34).W(0x2D)},
        {"a * b POW c / d", Code().V(0).V(1).V(2).W(0x24).W(0x20).V(3).W(0x1F)},
        {"a $ b IN c", Code().V(0).V(1).W(0x18).V(2).W(0x2F)},
        // Prefix operators take following operators of equal or higher precedence along.
        {"BITOC a + b", Code().V(0).V(1).W(0x16).W(0x1C)},
        {"BITOC a EQ b", Code().V(0).W(0x1C).V(1).W(0x33)},
        {"ISNULL NOT a OR b", Code().V(0).W(0x39).W(0x5A).V(1).W(0x2E)},
        {"a EQ NOT b", Code().V(0).V(1).W(0x39).W(0x33)},
        {"(a + b) * c", Code().V(0).V(1).W(0x16).V(2).W(0x20)},
        {"a*(b+c)", Code().V(0).V(1).V(2).W(0x16).W(0x20)},
        {" ( ( a ) ) ", Code().V(0)},
        {"NOT(a)", Code().V(0).W(0x39)},
        {"a ROUND 2", Code().V(0).C(1).W(0x22)},
        {"a round 2", Code().V(0).C(1).W(0x22)},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(Fresh(text), expected.bytes) << text;

    const std::pair<const char*, uint16_t> words[] = {
        {"+", 0x16},   {"-", 0x17},     {"$", 0x18},      {"BITAND", 0x19}, {"BITOR", 0x1A},  {"BITXOR", 0x1B},
        {"BITSL", 0x1D}, {"BITSR", 0x1E}, {"/", 0x1F},    {"*", 0x20},      {"MOD", 0x21},    {"ROUNDS", 0x22},
        {"CRYPT", 0x23}, {"POW", 0x24},   {"ROUNDF", 0x25}, {"AND", 0x2D},  {"OR", 0x2E},     {"IN", 0x2F},
        {"CIN", 0x30},   {"EIN", 0x31},   {"ECIN", 0x32},   {"EQ", 0x33},   {"NE", 0x34},     {"GE", 0x35},
        {"LE", 0x36},    {"LT", 0x37},    {"GT", 0x38},
    };
    for (const auto& [name, word] : words) {
        std::string text = std::string("p ") + name + " q";
        EXPECT_EQ(Fresh(text.c_str()), Code().V(0).V(1).W(word).bytes) << text;
    }
    EXPECT_EQ(ExpressionCompiler::OperatorTable()[kExpressionOperatorCount - 1].code, kOperatorEnd);
    EXPECT_EQ(ExpressionCompiler::FindOperator("|", 1), nullptr);
}

TEST(ExpressionCompilerGrammar, LiteralsVariablesAndFields) {
    struct Case {
        const char* text;
        Code expected;
        Texts pool;
        const char* database = nullptr;
    };
    const Case cases[] = {
        {"-5 + 3", Code().C(0).C(1).W(0x16), {"-5", "3"}},
        {"a -5", Code().V(0).C(1).W(0x17), {"a", "5"}},
        {"a*+.5-1.2.3", Code().V(0).C(1).W(0x20).C(2).W(0x17), {"a", "+.5", "1.2.3"}},
        // it\"s stores i, t, ", s; a backslash before either mark stands for the mark, others stay.
        {"\"it\\\"s\" $ 'it\\'s' $ \"a\\'b\\nc\"", Code().C(0).C(1).W(0x18).C(2).W(0x18),
         {"it\"s", "it's", "a'b\\nc"}},
        {"\"a+b (\" $ 'c)d,NOT' $ ''", Code().C(0).C(1).W(0x18).C(2).W(0x18), {"a+b (", "c)d,NOT", ""}},
        {"g.count_2", Code().V(0), {"g.count_2"}},
        {"a[i + 1]:m[2]", Code().V(0).V(1).C(2).W(0x16).W(0x3E).C(3).W(0x40).C(4).W(0x3E), {"a", "i", "1", "m", "2"}},
        {"a[b[c]]", Code().V(0).V(1).V(2).W(0x3E).W(0x3E), {"a", "b", "c"}},
        {"orders.d.total", Code().W(0x5008, 0, 1), {"orders", "total"}},
        {"Orders.DataBase.total", Code().W(0x5008, 0, 1), {"Orders", "total"}},
        {"D.total $ x.total", Code().V(0).V(1).W(0x18), {"D.total", "x.total"}},
        {"d.total $ database.n", Code().W(0x5008, 0, 1).W(0x5008, 0, 2).W(0x18), {"main", "total", "n"}, "main"},
        {"v.d.total[2]", Code().W(0x5008, 1, 2).C(3).W(0x3E), {"main", "v", "total", "2"}, "main"},
        {"d.", Code().V(1), {"main", "d."}, "main"},
    };
    for (const Case& c : cases) {
        Texts texts;
        EXPECT_EQ(Fresh(c.text, &texts, c.database), c.expected.bytes) << c.text;
        EXPECT_EQ(texts, c.pool) << c.text;
    }
}

TEST_F(ExpressionCompilerTest, ScriptAndExternalFunctionCalls) {
    // A second table lends its external functions only, and receives library ones.
    Dictionary otherPool;
    second = std::make_unique<FunctionManager>(&otherPool, 8);
    second->AddExternal("lent", -1, 0)->AddParameter(0, "v", -1);
    second->AddFunction("scripted", -1, 0, 0, 0);

    Function* f = Script("f", {"p", "q"});
    Function* g = Script("g", {"r"});
    Function* h = Script("h", {});
    int32_t b = pool.Count();
    EXPECT_EQ(Ok("F( g(1), 'x,(y') + h( )"),
              Code().C(b).W(0x403D, g->index).C(b + 1).W(0x403D, f->index).W(0x403D, h->index).W(0x16).bytes);
    EXPECT_EQ(Ok("f((1), a,)"), Code().C(b + 2).V(b + 3).W(0x403D, f->index).bytes)
        << "an argument ending at a comma counts, an empty last one does not";
    EXPECT_EQ(Error("f(1,2,3)"), "Function 'f' is defined with 2 parameters and was called with 3");
    EXPECT_EQ(Error("f(,1)"), "Argument expected in Expression");
    EXPECT_EQ(externals.lookups, 0);

    // A library function joins the table (name and parameters before the arguments).
    int32_t slot = functions.Used();
    b = pool.Count();
    EXPECT_EQ(Ok("EXT(1, a)"), Code().C(b + 3).V(b + 4).W(0x403D, slot).bytes);
    Function* ext = functions.Find("ext", -1);
    ASSERT_NE(ext, nullptr);
    EXPECT_TRUE(ext->IsExternal());
    EXPECT_EQ(ext->external, &externals.call);
    ASSERT_EQ(ext->Parameters().Count(), 2);
    EXPECT_STREQ(ext->Parameters().First()->name.Text(), "x");
    EXPECT_EQ(ext->Parameters().Next()->flags, kExternalParameterByReference);
    EXPECT_EQ(Error("ext(1)"), "Function 'ext' is defined with 2 parameters and was called with 1");
    EXPECT_EQ(externals.lookups, 1);
    ASSERT_NE(second->Find("ext", -1), nullptr);
    EXPECT_EQ(second->Find("ext", -1)->external, &externals.call);
    EXPECT_EQ(Error("nope(1)"), "Unable to find function 'nope'");
    // A parameter name the library gives a length below -1 is refused, and
    // the function is never entered half made.
    EXPECT_EQ(Error("bad(1, a)"),
              "Invalid text length -2 for a parameter name of function 'bad' from its library");
    EXPECT_EQ(functions.Find("bad", -1), nullptr);

    EXPECT_TRUE(Compile("lent(1)"));
    EXPECT_EQ(functions.Find("LENT", -1)->Parameters().Count(), 1);
    EXPECT_EQ(Error("scripted()"), "Unable to find function 'scripted'");
}

TEST_F(ExpressionCompilerTest, LineInstructionsAndIncrements) {
    Function* f = Script("f", {"v"});
    int32_t b = pool.Count(); // then page.vr, a, b
    EXPECT_EQ(Ok("a + f(b)", "page.vr", 7), Code()
                                                .W(0x404A, b).W(0x4044, 7).V(b + 1).V(b + 2)
                                                .W(0x403D, f->index).W(0x404A, b).W(0x4044, 7).W(0x16)
                                                .bytes);
    EXPECT_EQ(Ok("a", "page.vr", 0), Code().W(0x404A, b + 3).V(b + 4).bytes) << "line 0 is the last line at start";
    EXPECT_EQ(Ok("f(a)", nullptr, 5), Code().V(b + 5).W(0x403D, f->index).bytes);

    b = pool.Count();
    EXPECT_EQ(Ok("x * ++a"),
              Code().V(b).V(b + 1).W(0x3A).W(0x4002, 1).W(0x16).W(0x3A).W(0x505C, 0, 2).W(0x42).W(0x20).bytes);
    EXPECT_EQ(operators, 2);
    EXPECT_EQ(Ok("a--"), Code()
                             .V(b + 2).W(0x3A).W(0x4002, 0).W(0x16).W(0x5B).W(0x3A).W(0x4002, 1).W(0x17)
                             .W(0x5B).W(0x42)
                             .bytes);
    EXPECT_EQ(Error("a++", 0x10008), "Invalid operator found in expression");
    EXPECT_EQ(Error("--a", 0x10008), "Invalid operator found in expression");
    EXPECT_TRUE(Compile("a++", 0x10009));
}

// Refuses every pool store, to reach the messages of a full pool.
class RefusingCompiler : public ExpressionCompiler {
  public:
    using ExpressionCompiler::EmitOperator;
    using ExpressionCompiler::ExpressionCompiler;
    int32_t StoreText(const char* t, int32_t n) override { return refuse ? -1 : ExpressionCompiler::StoreText(t, n); }
    bool refuse = true;
};

TEST_F(ExpressionCompilerTest, ErrorTable) {
    const std::pair<const char*, const char*> cases[] = {
        {"(a + b", "Mismatched Parenetheses in Expression"},
        {"x + a[(1]", "Mismatched Parenetheses in Expression"},
        {"f(a", "Mismatched Parentheses found in Expression"},
        {"a[1", "Mismatched Parentheses found in Expression"},
        {"'abc", "Mismatched Quotes found in Expression"},
        {"a $ \"x\\\"", "Mismatched Quotes found in Expression"},
        {"#a", "Invalid Argument '#' Found in expression"},
        {")", "Invalid Argument ')' Found in expression"},
        {"a|b", "Invalid Argument '|' in Expression"},
        {"a:", "Invalid Argument ':' in Expression"},
        {"a | b", "Found additional argument '|' while looking for operator"},
        {"a EQb", "Found additional argument 'E' while looking for operator"},
        {"5x", "Found additional argument 'x' while looking for operator"},
        {"(a) b", "Found additional argument 'b' while looking for operator"},
        {"a not b", "Found additional argument 'n' while looking for operator"},
        {"a (b)", "Found additional argument '(' while looking for operator"},
        {"a++ b", "Found additional argument 'b' while looking for operator"},
        {"", "Argument expected in Expression"},
        {" \t\r\n", "Argument expected in Expression"},
        {"a +", "Argument expected in Expression"},
        {"a + * b", "Argument expected in Expression"},
        {"-a", "Argument expected in Expression"},
        {"NOT", "Argument expected in Expression"},
        {"a[]", "Argument expected in Expression"},
        {"()", "Argument expected in Expression"},
        {"round(a, 2)", "Argument expected in Expression"},
    };
    for (const auto& [text, message] : cases) EXPECT_EQ(Error(text), message) << text;

    auto refused = [&](const char* text, const char* database) {
        RefusingCompiler c(nullptr, &segments, &pool, &functions, nullptr, text, -1, database, nullptr, 0, nullptr,
                           0, 0, kExpressionFileVersion);
        EXPECT_EQ(c.Compile(), 0);
        return std::string(c.ErrorText().Text());
    };
    EXPECT_EQ(refused("name", nullptr), "Unable to store variable");
    EXPECT_EQ(refused("'text'", nullptr), "Unable to find variable");
    EXPECT_EQ(refused("1", "db"), "Unable to store variable");

    // Only the end marker and the parenthesis have no instruction of their own.
    for (const ExpressionOperator* op : {&ExpressionCompiler::OperatorTable()[kExpressionOperatorCount - 1],
                                         ExpressionCompiler::FindOperator("(", 1)}) {
        RefusingCompiler c(nullptr, &segments, &pool, &functions, nullptr, "a", -1, nullptr, nullptr, 0, nullptr, 0,
                           0, kExpressionFileVersion);
        c.refuse = false;
        ASSERT_EQ(c.Compile(), 1);
        EXPECT_EQ(c.EmitOperator(*op), 0);
        EXPECT_EQ(std::string(c.ErrorText().Text()), "Invalid Operator '" + std::string(op->name) + "' Found in Expression");
    }
}

TEST_F(ExpressionCompilerTest, SegmentsPositionsAndWhitespace) {
    int32_t before = segments.Count();
    ASSERT_TRUE(Compile("a"));
    EXPECT_EQ(segments.Count(), before + 1) << "a new segment for each expression";
    Segment* target = segments.AddSegment();
    target->WriteU32(0, 0);
    ExpressionCompiler into(nullptr, &segments, &pool, &functions, nullptr, "b", -1, nullptr, target, 4, nullptr, 0,
                            0, kExpressionFileVersion);
    ASSERT_EQ(into.Compile(), 1);
    EXPECT_EQ(into.Position(), 10);
    EXPECT_EQ(Bytes(target->Code(), target->Code() + target->Used()), Code().I(0).V(pool.Count() - 1).bytes);

    EXPECT_EQ(ExpressionCompiler::IsAllWhitespace(" \t\r\n", 4), 1);
    EXPECT_EQ(ExpressionCompiler::IsAllWhitespace(" x", 1), 1);
    EXPECT_EQ(ExpressionCompiler::IsAllWhitespace(" x", 2), 0);
    EXPECT_EQ(ExpressionCompiler::IsAllWhitespace("x", 0), 1);
    EXPECT_EQ(ExpressionCompiler::IsAllWhitespace("\v", 1), 0);
}

TEST_F(ExpressionCompilerTest, HostileInputNeverCrashes) {
    Script("f", {"a"});
    std::mt19937 random(12345);
    const std::string alphabet = "ab f()[]:'\"\\,.+-*/$|^#NOTANDEQ++--12 \t";
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        for (size_t k = 0, n = random() % 40; k < n; ++k)
            text += round % 3 == 0 ? static_cast<char>(random() % 256) : alphabet[random() % alphabet.size()];
        if (!Compile(text)) {
            EXPECT_FALSE(error.empty()) << text;
            continue;
        }
        // Whatever compiles decodes, and refers only to texts in the pool.
        for (int32_t at = 0; at < static_cast<int32_t>(code.size());) {
            DecodedInstruction d;
            ASSERT_EQ(DecodeInstruction(code.data() + at, static_cast<int32_t>(code.size()) - at, &d), 1) << text;
            ASSERT_NE(d.info, nullptr) << text;
            EXPECT_TRUE(d.info->a != OperandKind::String || d.immA < pool.Count()) << text;
            EXPECT_TRUE(d.info->b != OperandKind::String || d.immB < pool.Count()) << text;
            at += d.length;
        }
    }

    auto nested = [](int n, const std::string& open, const std::string& close) {
        std::string t;
        for (int k = 0; k < n; ++k) t += open;
        t += "a";
        for (int k = 0; k < n; ++k) t += close;
        return t;
    };
    EXPECT_TRUE(Compile(nested(150, "(", ")")));
    EXPECT_EQ(Error(nested(100000, "(", ")")), "Expression nested too deeply");
    EXPECT_EQ(Error(nested(100000, "(", "")), "Mismatched Parenetheses in Expression");
    EXPECT_EQ(Error(nested(50000, "NOT ", "")), "Expression nested too deeply");
    EXPECT_EQ(Error(nested(5000, "f(", ")")), "Expression nested too deeply");
    EXPECT_EQ(Error(nested(5000, "a[", "]")), "Expression nested too deeply");

    std::string chain = "a";
    for (int k = 0; k < 50000; ++k) chain += "+a";
    EXPECT_EQ(Fresh(chain.c_str()).size(), size_t{50001} * 6 + size_t{50000} * 2);
    std::string literal = "'" + std::string(1 << 20, 'x') + "'";
    Texts texts;
    Fresh(literal.c_str(), &texts);
    EXPECT_EQ(texts.at(0).size(), size_t{1} << 20);
}

} // namespace
} // namespace vorn
