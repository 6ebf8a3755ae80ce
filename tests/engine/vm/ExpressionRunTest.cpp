// Expressions compiled at run time and run by the machine: the meaning of
// the code the compiler emits.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "engine/values/Variable.h"
#include "engine/values/VariableList.h"
#include "engine/vm/ExpressionCompiler.h"
#include "engine/vm/ExternalFunctionSource.h"
#include "host/plugin/ExternalCall.h"
#include "tests/engine/vm/AssembledRun.h"

namespace vorn {
namespace {

using test::AssembledRun;

int32_t Doubler(VornVM*, VariableList* parameters, Variable* result, void**) {
    if (!parameters || !result) return 0;
    Variable* value = parameters->First();
    result->SetValueInteger(value ? value->ValueInteger() * 2 : 0);
    return 1;
}

ExternalParameterEntry kDoublerParameters[] = {{"value", 5, 0}};
ExternalFunctionEntry kDoublerEntry = {"Doubler", 7, 1, kDoublerParameters, Doubler};

// A library of one function.
class OneFunction : public ExternalFunctionSource {
  public:
    ExternalCall* Lookup(const char* name, int32_t length) override {
        return length == 7 && std::string(name, 7) == "Doubler" ? &call : nullptr;
    }
    bool ExternalParameter(ExternalFunctionCall*, int32_t i, const char** name, int32_t* length, uint32_t* flags) override {
        if (i != 0) return false;
        *name = kDoublerParameters[0].name;
        *length = kDoublerParameters[0].length;
        *flags = kDoublerParameters[0].flags;
        return true;
    }
    ExternalCall call{&kDoublerEntry};
};

const char kProgram[] = R"(.global n
.segment main entry
    storegi n, 4
.end
.segment helpers
.function twice(v)
    pushl v
    pushi 2
    mul
    ret
.end
)";

class ExpressionRunTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(run.Execute(), 1); }

    // Compiles the text into a new segment of the program and evaluates it.
    std::string Eval(const std::string& text) {
        ExpressionCompiler compiler(&library, &run.program.segments, &run.program.dictionary,
                                    &run.program.functions, nullptr, text.data(), static_cast<int32_t>(text.size()),
                                    nullptr, nullptr, 0, nullptr, 0, 0, kExpressionFileVersion);
        if (!compiler.Compile()) return std::string("error: ") + compiler.ErrorText().Text();
        const char* value = nullptr;
        int32_t length = 0;
        int32_t size = 0;
        bool owned = false;
        if (!run.vm->EvaluateString(compiler.CodeSegment(), nullptr, nullptr, &value, &length, &size, &owned))
            return "<run failed: " + run.sink.text + ">";
        std::string out(value, static_cast<size_t>(length));
        if (owned) std::free(const_cast<char*>(value));
        return out;
    }

    OneFunction library;
    AssembledRun<> run{kProgram};
};

TEST_F(ExpressionRunTest, ArithmeticGroupsAsCompiled) {
    EXPECT_EQ(Eval("1 + 2 * 3"), "7");
    EXPECT_EQ(Eval("(1 + 2) * 3"), "9");
    EXPECT_EQ(Eval("10 - 4 - 3"), "3");
    EXPECT_EQ(Eval("2 POW 3 POW 2"), "64");
    EXPECT_EQ(Eval("-5 + 3"), "-2");
    EXPECT_EQ(Eval("7 MOD 3 $ ':' $ (1 BITSL 4) $ ':' $ BITOC 0"), "1:16:-1");
    EXPECT_EQ(Eval("7 MOD 3 $ ':' $ 1 BITSL 4"), "0") << "BITSL groups with $ from the left: '1:1' BITSL 4";
    EXPECT_EQ(Eval("NOT 0 EQ 5"), "0") << "NOT binds to 0 alone";
    EXPECT_EQ(Eval("('abc' IN 'xxabcx') $ ISNULL '' $ ISNULL 'x'"), "310");
    EXPECT_EQ(Eval("'abc' IN 'xxabcx' $ 'abc'"), "3") << "$ binds tighter than IN";
    EXPECT_EQ(Eval("'it\\'s' $ \"\\\"\""), "it's\"");
}

TEST_F(ExpressionRunTest, VariablesFunctionsAndIncrements) {
    EXPECT_EQ(Eval("n * 3 + 1 $ '!'"), "13!");
    EXPECT_EQ(Eval("twice(n) + 1"), "9");
    EXPECT_EQ(Eval("Doubler(n + 1)"), "10");
    EXPECT_EQ(Eval("n++ $ ',' $ n"), "4,5");
    EXPECT_EQ(Eval("--n $ ',' $ n"), "4,4");
    EXPECT_EQ(run.Global("n"), "4");
    EXPECT_EQ(Eval("++list[2]"), "1");
    EXPECT_EQ(Eval("list[2] + 10"), "11");
    EXPECT_EQ(Eval("++rec:count $ rec:count"), "11");
    EXPECT_EQ(Eval("nope(1)"), "error: Unable to find function 'nope'");
}

} // namespace
} // namespace vorn
