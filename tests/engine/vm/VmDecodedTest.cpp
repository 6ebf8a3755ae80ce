// The decoded form of segments against the byte form: every program here runs
// twice, once decoded (with its fast paths, fused words, in-place appends and
// compact arrays) and once instruction by instruction from the bytes, and the
// two runs must leave the same output, errors and positions, globals and
// stack.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/program/InstructionSet.h"
#include "engine/values/Aggregate.h"
#include "engine/values/Variable.h"
#include "engine/values/VariableHash.h"
#include "engine/values/VariableList.h"
#include "engine/vm/ExternalFunctionSource.h"
#include "engine/vm/VornVM.h"
#include "engine/vm/VornVMDecoded.h"
#include "host/plugin/ExternalCall.h"
#include "tests/engine/vm/AssembledRun.h"

namespace vorn::test {
namespace {

class SwitchableVM : public VornVM {
  public:
    using VornVM::decodeSegments;
    using VornVM::VornVM;
};

struct Outcome {
    int result = 0;
    std::string output;
    std::string globals; // name=text of every global, in entry order
    int32_t depth = 0;
};

Outcome RunOnce(const std::string& source, bool decoded, bool withGlobals = true) {
    Outcome out;
    AssembledRun<SwitchableVM> run(source);
    run.vm->decodeSegments = decoded;
    out.result = run.Execute();
    out.output = run.sink.text;
    out.depth = run.vm->CurrentStack() ? run.vm->CurrentStack()->Depth() : -1;
    for (int32_t i = 0; withGlobals && i < run.program.globals.EntryCount(); ++i) {
        int32_t n = 0;
        const char* name = run.program.globals.EntryName(i, &n);
        Variable* v = run.program.globals.Index(i, false);
        out.globals += std::string(name, static_cast<size_t>(n)) + "=" +
                       (v ? std::string(v->Value().Text(), static_cast<size_t>(v->Value().Length())) : "-") +
                       ";";
    }
    return out;
}

// Runs both ways; returns the decoded run's outcome.
Outcome RunBoth(const std::string& source) {
    int64_t live = Variable::LiveCount();
    Outcome decoded = RunOnce(source, true);
    Outcome bytes = RunOnce(source, false);
    EXPECT_EQ(decoded.result, bytes.result) << source;
    EXPECT_EQ(decoded.output, bytes.output) << source;
    EXPECT_EQ(decoded.globals, bytes.globals) << source;
    EXPECT_EQ(decoded.depth, bytes.depth) << source;
    EXPECT_EQ(Variable::LiveCount(), live) << "variables leaked: " << source;
    return decoded;
}

struct Case {
    const char* name;
    const char* source;
    const char* output; // of both runs
};

// In-place appends where the variable is reached in other ways too.
const Case kAppendCases[] = {
    {"through an alias and its target",
     ".global s, r, i\n.segment main entry\n pushc \"a\"\n popg s\n pushg s\n refg r\n storegi i, 0\n"
     "again:\n pushg r\n pushc \"x\"\n cat\n popg r\n pushg s\n pushi 7\n cat\n popg s\n incg i, 1\n"
     " cmpgi i, 3\n jmp_lt again\n pushg r\n out\n pushc \"|\"\n out\n pushg s\n out\n.end\n",
     "ax7x7x7|ax7x7x7"},
    {"an array element and an alias of it",
     ".global a, e\n.segment main entry\n pushc \"p\"\n pushg a\n pushi 1\n elem\n store\n"
     " pushg a\n pushi 1\n elem\n refg e\n pushg e\n pushc \"q\"\n cat\n popg e\n pushg e\n pushf 2.5\n "
     "cat\n popg e\n"
     " pushg a\n out\n.end\n",
     "pq2.5"},
    {"function arguments by reference and by value",
     ".global s, r\n.segment main entry\n pushc \"m\"\n popg s\n pushg s\n pushc \"n\"\n call app\n popg r\n"
     " pushg s\n out\n pushc \"|\"\n out\n pushg r\n out\n exit\n"
     ".function app(&t, v)\n pushl t\n pushl v\n cat\n popl t\n pushl v\n pushc \"!\"\n cat\n popl v\n"
     " pushl v\n ret\n.end\n",
     "mn|n!"},
    {"a text doubled onto itself and numbers appended",
     ".global g, n, i\n.segment main entry\n pushc \"ab\"\n popg g\n storegi i, 0\nagain:\n pushg g\n pushg "
     "g\n cat\n"
     " popg g\n incg i, 1\n cmpgi i, 4\n jmp_lt again\n pushg g\n out\n storegi n, 12\n pushg n\n pushi 3\n "
     "cat\n"
     " popg n\n pushg n\n pushi 1\n add\n out\n.end\n",
     "abababababababababababababababab124"},
    {"the stored variable is not the left operand",
     ".global s, t\n.segment main entry\n pushc \"s\"\n popg s\n pushc \"t\"\n popg t\n pushg t\n pushg s\n "
     "cat\n"
     " popg s\n pushg s\n out\n.end\n",
     "ts"},
    {"an aggregate on the left",
     ".global a\n.segment main entry\n pushi 1\n pushg a\n pushi 1\n elem\n store\n pushi 2\n pushg a\n "
     "pushi 2\n"
     " elem\n store\n pushg a\n pushc \"z\"\n cat\n popg a\n pushg a\n out\n.end\n",
     "1,2z"},
};

// Arrays kept compact while filled in order, and every way out of that form.
const Case kArrayCases[] = {
    {"filled in order, summed, printed",
     ".global i, a, sum\n.segment main entry\n storegi i, 1\nfill:\n pushg i\n pushg a\n pushg i\n elem\n "
     "store\n"
     " incg i, 1\n cmpgi i, 5\n jmp_le fill\n storegi i, 1\n storegi sum, 0\nread:\n pushg sum\n pushg a\n "
     "pushg i\n"
     " elemr\n add\n popg sum\n incg i, 1\n cmpgi i, 7\n jmp_le read\n pushg sum\n out\n pushg a\n "
     "out\n.end\n",
     "151,2,3,4,5"},
    {"turning sparse, then read and grown again",
     ".global a, s\n.segment main entry\n pushi 1\n pushg a\n pushi 1\n elem\n store\n pushi 2\n pushg a\n "
     "pushi 2\n"
     " elem\n store\n pushc \"x\"\n pushg a\n pushi 7\n elem\n store\n pushi 30\n pushg a\n pushi 3\n elem\n "
     "store\n"
     " pushi 0\n pushg a\n pushi 3\n elemr\n add\n popg s\n pushg a\n out\n pushc \"|\"\n out\n pushg s\n "
     "out\n.end\n",
     "1,2,30,x|30"},
    {"texts, doubles and overwrites",
     ".global a, s\n.segment main entry\n pushc \"t\"\n pushg a\n pushi 1\n elem\n store\n pushf 2.5\n pushg "
     "a\n"
     " pushi 2\n elem\n store\n pushi 4\n pushg a\n pushi 3\n elem\n store\n pushi 20\n pushg a\n pushi 1\n "
     "elem\n"
     " store\n pushf 0.5\n pushg a\n pushi 2\n elemr\n add\n pushg a\n pushi 1\n elemr\n add\n pushg a\n "
     "pushi 9\n"
     " elemr\n add\n popg s\n pushg a\n out\n pushc \"|\"\n out\n pushg s\n out\n.end\n",
     "20,2.5,4|23"},
    {"a scalar becomes an array, a structure member discards it",
     ".global a, b\n.segment main entry\n pushc \"5\"\n popg a\n pushi 1\n pushg a\n pushi 1\n elem\n store\n"
     " pushg a\n out\n pushc \"|\"\n out\n pushi 2\n pushg a\n pushi 2\n elem\n store\n pushc \"m\"\n pushg "
     "a\n"
     " pushc \"k\"\n memb\n store\n pushg a\n out\n.end\n",
     "1|m"},
    {"copies by value and elements taken from other variables",
     ".global a, b, v, w\n.segment main entry\n storegi v, 3\n pushf 1.25\n popg w\n pushg v\n pushg a\n "
     "pushi 1\n"
     " elem\n store\n pushg w\n pushg a\n pushi 2\n elem\n store\n pushg a\n pushg a\n pushi 3\n elem\n "
     "store\n"
     " pushg a\n popg b\n pushi 9\n pushg b\n pushi 1\n elem\n store\n pushg a\n out\n pushc \"|\"\n out\n"
     " pushg b\n out\n.end\n",
     "3,1.25,3,1.25,|9,1.25,3,1.25,"},
    {"first store beyond index 1 and negative indexes",
     ".global a\n.segment main entry\n pushi 2\n pushg a\n pushi 2\n elem\n store\n pushi 1\n pushg a\n "
     "pushi 1\n"
     " elem\n store\n pushg a\n out\n pushi 5\n pushg a\n pushi -1\n elem\n store\n.end\n",
     nullptr},
    {"integers widened by a double and a text, then reached through an alias",
     R"(.global a, i, s
.segment main entry
 storegi i, 1
fill:
 pushg i
 pushg a
 pushg i
 elem
 store
 incg i, 1
 cmpgi i, 40
 jmp_le fill
 pushf 0.5
 pushg a
 pushi 3
 elem
 store
 pushc "t"
 pushg a
 pushi 41
 elem
 store
 pushi 9
 pushg a
 pushi 40
 elem
 store
 pushi 0
 pushg a
 pushi 3
 elemr
 add
 pushg a
 pushi 40
 elemr
 add
 popg s
 pushg s
 out
 pushc "|"
 out
 pushg a
 out
 pushc "|"
 out
 pushg a
 pushi 2
 elem
 refg s
 pushi 5
 popg s
 pushg a
 out
.end
)",
     "9.5|1,2,0.5,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,28,29,30,31,32,33,34,35,36,37,38,"
     "39,9,t|1,5,0.5,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,28,29,30,31,32,33,34,35,36,37,"
     "38,39,9,t"},
    {"deep recursion through the frame pool",
     ".global r\n.segment main entry\n pushi 3000\n call down\n popg r\n pushg r\n out\n pushi 2000\n call "
     "down\n"
     " out\n exit\n.function down(n)\n.local x\n pushl n\n pushi 0\n cmp\n jmp_gt more\n pushi 0\n "
     "ret\nmore:\n"
     " pushl n\n popl x\n pushl x\n pushi 1\n sub\n call down\n pushi 1\n add\n ret\n.end\n",
     nullptr},
};

// Script function calls: locals by slot and by name, aliases through calls,
// stacks that share one store, and the errors calls end in. contains is a
// text both runs' output must hold.
const Case kCallCases[] = {
    {"arguments by reference through two calls, an alias made in the callee, entries left behind",
     R"(.global g, r
.segment main entry
 pushi 5
 popg g
 pushg g
 call outer
 popg r
 pushg g
 out
 pushc "|"
 out
 pushg r
 out
 exit
.function outer(&t)
.local u
 pushl t
 call inner
 pop
 pushl t
 refl u
 pushl u
 pushi 100
 add
 popl u
 pushl t
 ret
.function inner(&x)
 pushc "left behind"
 pushl x
 pushi 10
 add
 popl x
 pushl x
 ret
.end
)",
     "115|115"},
    {"locals by name, then by slot, fresh on the next call",
     R"(.global n, r
.segment main entry
 pushi 7
 popg n
 pushi 1
 call named
 pushc "|"
 out
 out
 pushi 5
 call named
 pushc "|"
 out
 out
 pushi 3
 call slots
 out
 exit
.function named(a)
.local x
 pushc "["
 pushl x
 cat
 pushc "]"
 cat
 out
 pushnc "l.a"
 pushi 1
 add
 popnc "l.x"
 pushl x
 pushnc "x"
 add
 pushnc "n"
 add
 ret
.function slots(a)
.local x
 pushl x
 pushl a
 cat
 ret
.end
)",
     "[]|11[]|193"},
    {"an error three calls deep",
     ".segment main entry\n pushi 1\n call a\n out\n.function a(v)\n pushl v\n call b\n ret\n"
     ".function b(v)\n pushl v\n call c\n ret\n.function c(v)\n pushc \"x\"\n pushl v\n call 77\n ret\n.end\n",
     "Invalid function call"},
    {"a function's stack overflows",
     ".global i\n.segment main entry\n pushi 1\n call fill\n out\n.function fill(v)\nagain:\n pushl v\n"
     " incg i, 1\n jmp again\n.end\n",
     "Stack overflow"},
    {"a return without a value on the stack",
     ".segment main entry\n pushc \"a\"\n call empty\n out\n.function empty()\n ret\n.end\n",
     "Stack underflow"},
    {"endless recursion",
     ".segment main entry\n pushi 0\n call down\n out\n.function down(n)\n pushl n\n pushi 1\n add\n"
     " call down\n ret\n.end\n",
     "Function call nesting too deep"},
};

// Each level keeps `width` entries on its stack while the next runs, so that
// the stacks of deep calls fill several chunks of the store.
std::string WideRecursion(int32_t width, int32_t levels) {
    std::string keep, fold;
    for (int32_t i = 0; i < width; ++i) keep += " pushl n\n";
    for (int32_t i = 0; i < width; ++i) fold += " add\n";
    return ".segment main entry\n pushi " + std::to_string(levels) +
           "\n call deep\n out\n exit\n.function deep(n)\n pushl n\n pushi 0\n cmp\n jmp_gt more\n pushi 0\n"
           " ret\nmore:\n" +
           keep + " pushl n\n pushi 1\n sub\n call deep\n" + fold + " ret\n.end\n";
}

TEST(VmDecodedTest, CallsMatchTheByteForm) {
    for (const Case& c : kCallCases) {
        SCOPED_TRACE(c.name);
        Outcome o = RunBoth(c.source);
        EXPECT_NE(o.output.find(c.output), std::string::npos) << o.output;
    }
    // 300 entries on each of 20 levels: 300 * (1 + ... + 20); then stacks
    // filled to the last entry (510 kept and the call's two), and one more.
    EXPECT_EQ(RunBoth(WideRecursion(300, 20)).output, "63000");
    EXPECT_EQ(RunBoth(WideRecursion(510, 12)).output, "39780");
    Outcome full = RunBoth(WideRecursion(511, 3));
    EXPECT_EQ(full.result, 0);
    EXPECT_NE(full.output.find("Stack overflow"), std::string::npos) << full.output;
}

// Fast calls leave their frame's window unplaced and return the fast way
// until something needs more: each case reaches that point another way. A
// call is fast once its function has a kept frame, so each function is
// called once before the call that matters. FULL fills main's stack to its
// last entry (511 pushed by a loop whose compare needs the last one, then
// a copy: a push would be the call's argument); DOWN(n) calls g n + 2 calls deep.
#define FULL " storegi i, 0\nfill:\n pushi 1\n incg i, 1\n cmpgi i, 511\n jmp_lt fill\n dup\n"
#define DOWN(n)                                                                                           \
    ".segment main entry\n call g\n pop\n pushi " #n "\n call down\n out\n exit\n.function g()\n pushi 7\n" \
    " ret\n.function down(n)\n pushl n\n pushi 0\n cmp\n jmp_gt more\n call g\n ret\nmore:\n pushl n\n"       \
    " pushi 1\n sub\n call down\n ret\n.end\n"
const Case kFastCallCases[] = {
    {"returns into a pop, a local's pop and a push",
     ".global s, i\n.segment main entry\n storegi i, 0\nagain:\n pushg s\n pushi 1\n call add2\n popg s\n incg i, 1\n"
     " cmpgi i, 5\n jmp_lt again\n pushg s\n pushi 2\n call add2\n out\n pushi 3\n call viaLocal\n out\n exit\n"
     ".function add2(a, b)\n pushl a\n pushl b\n add\n ret\n"
     ".function viaLocal(n)\n.local t\n pushl n\n pushl n\n call add2\n popl t\n pushl t\n ret\n.end\n",
     "76"},
    {"an error in a fast-called function",
     ".segment main entry\n pushi 0\n pushi 2\n call f\n pop\n pushi 1\n pushi 2\n call f\n out\n"
     ".function f(a, b)\n pushl a\n pushi 0\n cmp\n jmp_gt bad\n pushi 0\n ret\nbad:\n call 77\n ret\n.end\n",
     "Invalid function call"},
    {"a value returned into a full stack",
     ".global i\n.segment main entry\n call one\n pop\n" FULL " call one\n out\n.function one()\n pushi 1\n ret\n.end\n",
     "Stack overflow"},
    {"a sum returned into a full stack",
     ".global i\n.segment main entry\n call two\n pop\n" FULL " call two\n out\n.function two()\n pushi 1\n pushi 2\n"
     " add\n ret\n.end\n",
     "Stack overflow"},
    {"locals by name in a fast-called function",
     ".segment main entry\n pushi 4\n call named\n out\n pushi 5\n call named\n out\n exit\n"
     ".function named(a)\n pushnc \"l.a\"\n pushi 1\n add\n ret\n.end\n",
     "56"},
    {"a text operand of a fused call, after a number bound",
     ".global s\n.segment main entry\n pushi 1\n pushi 2\n call cat2\n pop\n pushc \"ab\"\n popg s\n pushg s\n"
     " pushi 1\n call cat2\n out\n pushi 3\n pushg s\n call cat2\n out\n pushi 4\n pushi 5\n call cat2\n out\n exit\n"
     ".function cat2(a, b)\n pushl a\n pushl b\n cat\n ret\n.end\n",
     "ab13ab45"},
    {"sums of two locals returned: a difference, a product, an empty local, a text, an alias",
     ".global g\n.segment main entry\n pushi 7\n pushi 2\n call sub2\n pop\n pushi 7\n pushi 2\n call sub2\n out\n"
     " pushi 3\n pushi 4\n call mul2\n pop\n pushi 3\n pushi 4\n call mul2\n out\n pushi 1\n call empty\n pop\n"
     " pushi 1\n call empty\n out\n pushc \"2.5\"\n pushi 1\n call sub2\n out\n storegi g, 40\n pushi 2\n"
     " call alias\n pop\n pushi 2\n call alias\n out\n exit\n.function sub2(a, b)\n pushl a\n pushl b\n sub\n"
     " ret\n.function mul2(a, b)\n pushl a\n pushl b\n mul\n ret\n.function empty(a)\n.local t\n pushl a\n"
     " pushl t\n add\n ret\n.function alias(a)\n.local t\n pushg g\n refl t\n pushl a\n pushl t\n add\n ret\n"
     ".end\n",
     "51211.542"},
    // The second call, a fast one, returns a sum with a local its frame
    // does not have: the first past its two, and one before them.
    {"a sum of a local beyond the slots returned",
     ".segment main entry\n pushi 1\n pushi 0\n call far\n out\n pushi 1\n pushi 1\n call far\n out\n"
     ".function far(a, n)\n pushl n\n pushi 0\n cmp\n jmp_gt bad\n pushl a\n pushl n\n add\n ret\nbad:\n"
     " pushl a\n pushl 2\n add\n ret\n.end\n",
     "1Fatal error in t.vrc @ [00000000:00000052]: Invalid variable reference"},
    {"a sum of a negative local returned",
     ".segment main entry\n pushi 1\n pushi 0\n call far\n out\n pushi 1\n pushi 1\n call far\n out\n"
     ".function far(a, n)\n pushl n\n pushi 0\n cmp\n jmp_gt bad\n pushl a\n pushl n\n add\n ret\nbad:\n"
     " pushl -1\n pushl a\n add\n ret\n.end\n",
     "1Fatal error in t.vrc @ [00000000:0000004c]: Invalid variable reference"},
    {"the deepest call allowed", DOWN(9998), "7"},
    {"one deeper than allowed", DOWN(9999), "Function call nesting too deep"},
    {"an exit deep in fast calls",
     ".segment main entry\n pushi 2\n pushi 0\n call d\n pop\n pushi 3\n pushi 1\n call d\n out\n"
     ".function d(n, e)\n pushl n\n pushi 0\n cmp\n jmp_gt more\n pushl e\n pushi 0\n cmp\n jmp_eq back\n"
     " pushc \"deep\"\n out\n exit\nback:\n pushi 0\n ret\nmore:\n pushl n\n pushi 1\n sub\n pushl e\n call d\n"
     " ret\n.end\n",
     "deep"},
};
#undef DOWN
#undef FULL

// Functions 0 and 64 take turns in one place of the machine's ready frames,
// each called while the other's frame is in use too, and 0 calls itself: a
// ready frame in use makes the call take a kept one.
std::string SharedReadyPlace() {
    std::string fillers;
    for (int32_t i = 1; i < 64; ++i) fillers += ".function f" + std::to_string(i) + "()\n pushi 0\n ret\n";
    return ".global s, i\n.segment main entry\n storegi i, 0\nagain:\n pushg s\n pushi 2\n call f0\n popg s\n"
           " pushg s\n pushi 1\n call f64\n popg s\n incg i, 1\n cmpgi i, 4\n jmp_lt again\n pushg s\n out\n exit\n"
           ".function f0(a, n)\n pushl n\n pushi 0\n cmp\n jmp_gt more\n pushl a\n ret\nmore:\n pushl a\n pushi 1\n"
           " add\n pushl n\n pushi 1\n sub\n call f0\n ret\n" +
           fillers + ".function f64(a, b)\n pushl a\n pushl b\n call f0\n pushi 10\n add\n ret\n.end\n";
}

TEST(VmDecodedTest, FastCallsMatchTheByteForm) {
    for (const Case& c : kFastCallCases) {
        SCOPED_TRACE(c.name);
        Outcome o = RunBoth(c.source);
        EXPECT_NE(o.output.find(c.output), std::string::npos) << o.output;
    }
    EXPECT_EQ(RunBoth(SharedReadyPlace()).output, "52");
}

// A plug-in reading the calling function's local x by name.
int32_t PeekX(VornVM* vm, VariableList*, Variable* result, void**) {
    Variable* x = nullptr;
    VariableHash* scope = vm->LocalScope();
    if (scope && scope->Find(&x, "x", 1, false) && x) result->SetValueVariable(x);
    return 1;
}
ExternalFunctionEntry kPeekEntry = {"PeekX", 5, 0, nullptr, PeekX};
class PeekLibrary : public ExternalFunctionSource {
  public:
    ExternalCall* Lookup(const char* name, int32_t length) override {
        return length == 5 && std::string(name, 5) == "PeekX" ? &call : nullptr;
    }
    bool ExternalParameter(ExternalFunctionCall*, int32_t, const char**, int32_t*, uint32_t*) override { return false; }
    ExternalCall call{&kPeekEntry};
};

TEST(VmDecodedTest, PlugInsReadTheLocalsOfFastCalledFunctions) {
    // Each call binds x afresh; the plug-in's look by name gives the frame a
    // scope, and the next call is a fast one again.
    const char* source = ".global i\n.segment main entry\n storegi i, 0\nagain:\n pushg i\n pushi 10\n call f\n out\n"
                         " incg i, 1\n cmpgi i, 3\n jmp_lt again\n exit\n.extern PeekX()\n"
                         ".function f(x, y)\n call PeekX\n pushl y\n add\n ret\n.end\n";
    for (bool decoded : {true, false}) {
        SCOPED_TRACE(decoded ? "decoded" : "bytes");
        PeekLibrary library;
        AssembledRun<SwitchableVM> run(source, &library);
        run.vm->decodeSegments = decoded;
        EXPECT_EQ(run.Execute(), 1);
        EXPECT_EQ(run.sink.text, "101112");
    }
}

// Plug-ins that change what a fast-called function's return must do: one
// opens a feature owned by the calling function, one counts the open
// features, one traces returns from its second call on.
int32_t OpenFeature(VornVM* vm, VariableList*, Variable* result, void**) {
    vm->PushFeature(new Feature(nullptr, vm, 100));
    return result->SetValueInteger(1);
}
int32_t Features(VornVM* vm, VariableList*, Variable* result, void**) {
    return result->SetValueInteger(vm->FeatureCount());
}
int traceCalls = 0;
int traceAt = 2;
int32_t TraceLater(VornVM* vm, VariableList*, Variable* result, void**) {
    if (++traceCalls == traceAt) vm->SetTraceFlags(vm->TraceFlags() | LogFunctionReturn);
    return result->SetValueInteger(1);
}
ExternalFunctionEntry kReturnEntries[] = {{"OpenFeature", 11, 0, nullptr, OpenFeature},
                                          {"Features", 8, 0, nullptr, Features},
                                          {"TraceLater", 10, 0, nullptr, TraceLater}};
class ReturnLibrary : public ExternalFunctionSource {
  public:
    ExternalCall* Lookup(const char* name, int32_t length) override {
        for (int k = 0; k < 3; ++k)
            if (kReturnEntries[k].length == length &&
                std::string(name, static_cast<size_t>(length)) == kReturnEntries[k].name)
                return &calls[k];
        return nullptr;
    }
    bool ExternalParameter(ExternalFunctionCall*, int32_t, const char**, int32_t*, uint32_t*) override { return false; }
    ExternalCall calls[3] = {ExternalCall{&kReturnEntries[0]}, ExternalCall{&kReturnEntries[1]},
                             ExternalCall{&kReturnEntries[2]}};
};

TEST(VmDecodedTest, FastCalledFunctionsReturnTheGeneralWayWhenTheyMustAfterAll) {
    // The second call of each function is a fast one: f's feature goes with
    // its return, and g's return is traced once the plug-in asks for that,
    // as is the next call's. k calls itself: the plug-in starts the trace in
    // the inner call of k's second round, which runs on a kept frame; every
    // return from then on is traced.
    const struct {
        const char* source;
        int traceAt;
        const char* output;
        const char* function;
        int returns;
    } cases[] = {
        {".segment main entry\n pushi 1\n pushi 2\n call f\n pop\n pushi 1\n pushi 2\n call f\n out\n"
         " call Features\n out\n pushi 3\n pushi 4\n call g\n pop\n pushi 3\n pushi 4\n call g\n out\n"
         " pushi 3\n pushi 4\n call g\n out\n exit\n.extern OpenFeature()\n.extern Features()\n"
         ".extern TraceLater()\n.function f(a, b)\n call OpenFeature\n pop\n pushl a\n pushl b\n add\n ret\n"
         ".function g(a, b)\n call TraceLater\n pop\n pushl a\n pushl b\n add\n ret\n.end\n",
         2, "3077", "g", 2},
        {".segment main entry\n pushi 1\n call k\n out\n pushi 1\n call k\n out\n pushi 1\n call k\n out\n exit\n"
         ".extern TraceLater()\n.function k(n)\n call TraceLater\n pop\n pushl n\n pushi 0\n cmp\n"
         " jmp_le done\n pushl n\n pushi 1\n sub\n call k\n ret\ndone:\n pushi 5\n ret\n.end\n",
         4, "555", "k", 4},
    };
    for (const auto& c : cases) {
        for (bool decoded : {true, false}) {
            SCOPED_TRACE(std::string(c.function) + (decoded ? " decoded" : " bytes"));
            traceCalls = 0;
            traceAt = c.traceAt;
            ReturnLibrary library;
            AssembledRun<SwitchableVM> run(c.source, &library);
            run.vm->decodeSegments = decoded;
            EXPECT_EQ(run.Execute(), 1);
            EXPECT_EQ(run.sink.text, c.output);
            int returns = 0;
            for (const auto& e : run.app.events) returns += e.kind == LogFunctionReturn && e.text == c.function;
            EXPECT_EQ(returns, c.returns);
        }
    }
}

TEST(VmDecodedTest, TimeOutEndsARunDeepInCalls) {
    // Fifty calls deep, then a loop without end: the time-out ends the run
    // and every frame goes.
    const char* source = ".segment main entry\n pushi 50\n call deep\n out\n.function deep(n)\n pushl n\n pushi 0\n"
                         " cmp\n jmp_gt more\nspin:\n jmp spin\nmore:\n pushl n\n pushi 1\n sub\n call deep\n ret\n.end\n";
    for (bool decoded : {true, false}) {
        SCOPED_TRACE(decoded ? "decoded" : "bytes");
        int64_t live = Variable::LiveCount();
        {
            AssembledRun<SwitchableVM> run(source);
            run.vm->decodeSegments = decoded;
            std::thread stop([&run] {
                std::this_thread::sleep_for(std::chrono::milliseconds(30));
                run.app.TimedOutPlace()->store(1);
            });
            EXPECT_EQ(run.Execute(), 0);
            stop.join();
            EXPECT_EQ(run.sink.text, "Application timed out");
        }
        EXPECT_EQ(Variable::LiveCount(), live);
    }
}

// The loop keeps the globals it found plain scalars as known until
// something could change that: each case makes a known global g an
// aggregate or an alias another way, then reaches it through the fast paths
// again (incg, a call's argument, a sum's store).
const Case kKnownGlobalCases[] = {
    {"assigned an array by a pop",
     ".global a, g\n.segment main entry\n pushi 5\n pushg a\n pushi 1\n elem\n store\n storegi g, 1\n incg g, 1\n"
     " pushg a\n popg g\n incg g, 1\n pushg g\n out\n.end\n",
     nullptr},
    {"made an array by its first element",
     ".global g\n.segment main entry\n storegi g, 5\n incg g, 1\n pushi 7\n pushg g\n pushi 1\n elem\n store\n"
     " incg g, 1\n pushg g\n out\n pushi 2\n pushi 3\n add\n popg g\n pushg g\n out\n.end\n",
     nullptr},
    {"assigned an array through a parameter by reference",
     ".global a, g\n.segment main entry\n pushi 5\n pushg a\n pushi 1\n elem\n store\n storegi g, 1\n pushg g\n"
     " call f\n pop\n pushg g\n out\n exit\n.function f(&t)\n incg g, 1\n pushg a\n popl t\n incg g, 1\n"
     " pushi 0\n ret\n.end\n",
     nullptr},
    {"made an alias",
     ".global g, h\n.segment main entry\n storegi h, 10\n storegi g, 1\n incg g, 1\n pushg h\n refg g\n incg g, 1\n"
     " pushg h\n out\n.end\n",
     "11"},
    {"an argument of fast calls, then an array",
     ".global a, g, s\n.segment main entry\n pushi 5\n pushg a\n pushi 1\n elem\n store\n storegi g, 1\n"
     " pushg g\n pushi 1\n call add2\n popg s\n pushg g\n pushi 1\n call add2\n popg s\n pushg a\n popg g\n"
     " pushg g\n pushi 1\n call add2\n popg g\n pushg g\n out\n pushg s\n out\n exit\n"
     ".function add2(x, y)\n pushl x\n pushl y\n add\n ret\n.end\n",
     nullptr},
};

TEST(VmDecodedTest, KnownGlobalsFollowWhatChangesThem) {
    for (const Case& c : kKnownGlobalCases) {
        SCOPED_TRACE(c.name);
        Outcome o = RunBoth(c.source);
        if (c.output) {
            EXPECT_EQ(o.output, c.output);
        }
    }
}

// Plug-ins that make the global g an array or an alias of h.
int32_t ToArray(VornVM* vm, VariableList*, Variable* result, void**) {
    Variable* g = nullptr;
    if (vm->GlobalScope()->Find(&g, "g", 1, true) && g) {
        auto* element = new Variable("", 0, 9);
        g->SetElement(AggregateIndex::FromIndex(1), element);
        element->Release();
    }
    result->SetValueInteger(0);
    return 1;
}
int32_t ToAlias(VornVM* vm, VariableList*, Variable* result, void**) {
    Variable* g = nullptr;
    Variable* h = nullptr;
    if (vm->GlobalScope()->Find(&g, "g", 1, true) && g && vm->GlobalScope()->Find(&h, "h", 1, true) && h)
        g->MakeReference(h);
    result->SetValueInteger(0);
    return 1;
}
ExternalFunctionEntry kToArrayEntry = {"ToArray", 7, 0, nullptr, ToArray};
ExternalFunctionEntry kToAliasEntry = {"ToAlias", 7, 0, nullptr, ToAlias};
class ReshapeLibrary : public ExternalFunctionSource {
  public:
    ExternalCall* Lookup(const char* name, int32_t length) override {
        std::string n(name, static_cast<size_t>(length));
        return n == "ToArray" ? &toArray : n == "ToAlias" ? &toAlias : nullptr;
    }
    bool ExternalParameter(ExternalFunctionCall*, int32_t, const char**, int32_t*, uint32_t*) override { return false; }
    ExternalCall toArray{&kToArrayEntry};
    ExternalCall toAlias{&kToAliasEntry};
};

TEST(VmDecodedTest, PlugInsReshapingKnownGlobals) {
    const char* source = ".global g, h, i, s\n.segment main entry\n storegi h, 40\n storegi i, 0\nagain:\n storegi g, 1\n"
                         " incg g, 1\n call ToArray\n pop\n incg g, 1\n pushg g\n out\n pushc \"|\"\n out\n"
                         " pushg s\n pushi 1\n call add2\n popg g\n pushg g\n pushi 1\n call add2\n popg s\n"
                         " call ToAlias\n pop\n incg g, 1\n pushg h\n out\n pushc \"|\"\n out\n incg i, 1\n"
                         " cmpgi i, 2\n jmp_lt again\n exit\n.extern ToArray()\n.extern ToAlias()\n"
                         ".function add2(x, y)\n pushl x\n pushl y\n add\n ret\n.end\n";
    std::string outputs[2];
    for (bool decoded : {false, true}) {
        SCOPED_TRACE(decoded ? "decoded" : "bytes");
        ReshapeLibrary library;
        AssembledRun<SwitchableVM> run(source, &library);
        run.vm->decodeSegments = decoded;
        EXPECT_EQ(run.Execute(), 1);
        outputs[decoded] = run.sink.text;
    }
    EXPECT_EQ(outputs[1], outputs[0]);
}

// A run ends, the host replaces g's variable and makes h an array, then
// calls into the same VM: nothing the earlier run found may be trusted.
TEST(VmDecodedTest, KnownGlobalsDoNotOutliveTheirRun) {
    const char* source = ".global g, h\n.segment main entry\n storegi g, 1\n storegi h, 1\n incg g, 1\n incg h, 1\n"
                         " cmpgi g, 5\n pop\n.end\n.segment helpers\n.function f()\n incg g, 1\n incg h, 1\n pushg g\n out\n"
                         " pushc \"|\"\n out\n pushg h\n out\n retn\n.end\n";
    std::string outputs[2];
    for (bool decoded : {false, true}) {
        SCOPED_TRACE(decoded ? "decoded" : "bytes");
        AssembledRun<SwitchableVM> run(source);
        run.vm->decodeSegments = decoded;
        EXPECT_EQ(run.Execute(), 1);
        run.program.globals.ReplaceVariable(new Variable("g", 1, 7));
        Variable* h = nullptr;
        ASSERT_TRUE(run.program.globals.Find(&h, "h", 1, true) && h);
        auto* element = new Variable("", 0, 9);
        h->SetElement(AggregateIndex::FromIndex(1), element);
        element->Release();
        EXPECT_TRUE(run.vm->CallFunction("f", 1, nullptr, nullptr));
        outputs[decoded] = run.sink.text;
    }
    EXPECT_EQ(outputs[0], "8|1");
    EXPECT_EQ(outputs[1], outputs[0]);
}

TEST(VmDecodedTest, InPlaceAppendsMatchTheByteForm) {
    for (const Case& c : kAppendCases) {
        SCOPED_TRACE(c.name);
        Outcome o = RunBoth(c.source);
        EXPECT_EQ(o.result, 1);
        EXPECT_EQ(o.output, c.output);
    }
}

TEST(VmDecodedTest, CompactArraysMatchTheByteForm) {
    for (const Case& c : kArrayCases) {
        SCOPED_TRACE(c.name);
        Outcome o = RunBoth(c.source);
        if (c.output) {
            EXPECT_EQ(o.output, c.output);
        }
    }
    // The recursion ran 3000 deep, then 2000 deep on the frames it left.
    EXPECT_EQ(RunOnce(kArrayCases[7].source, true).output, "30002000");
}

// A compact array and one built through the element operations answer every
// operation alike, deletions in the middle included.
TEST(VmDecodedTest, CompactArraysBehaveAsTreesUnderEveryOperation) {
    auto build = [](bool compact) {
        auto* v = new Variable("a", 1);
        for (int32_t i = 1; i <= 6; ++i) {
            DenseValue d;
            d.type = DenseValue::kInteger;
            d.integer = i * 10;
            if (compact) {
                EXPECT_TRUE(v->PlainDenseStore(i, d));
            } else {
                v->Element(AggregateIndex::FromIndex(i), true)->SetValueInteger(i * 10);
            }
        }
        return v;
    };
    using Operation = void (*)(Variable*);
    const Operation operations[] = {
        [](Variable* v) { v->DeleteElement(AggregateIndex::FromIndex(3), true); },
        [](Variable* v) { v->DeleteElement(AggregateIndex::FromIndex(2), false); },
        [](Variable* v) { v->DeleteArrayElements(2, 2, true); },
        [](Variable* v) { v->InsertElement(2, v->Element(AggregateIndex::FromIndex(5), false)); },
        [](Variable* v) {
            v->SetElement(AggregateIndex::FromIndex(9), v->Element(AggregateIndex::FromIndex(1), false));
        },
        [](Variable* v) { v->ArrayCopy(v, 1, 2, 5, true); },
        [](Variable* v) { v->SetAggregateKind(kAggregateScalar); },
    };
    for (size_t k = 0; k < std::size(operations); ++k) {
        SCOPED_TRACE(k);
        Variable* compact = build(true);
        Variable* tree = build(false);
        EXPECT_EQ(compact->ElementsUsed(), 6);
        EXPECT_EQ(compact->ArrayMax(), tree->ArrayMax());
        operations[k](compact);
        operations[k](tree);
        EXPECT_EQ(std::string(compact->Value().Text()), tree->Value().Text());
        EXPECT_EQ(compact->ElementsUsed(), tree->ElementsUsed());
        EXPECT_EQ(compact->ArrayMin(), tree->ArrayMin());
        EXPECT_EQ(compact->ArrayMax(), tree->ArrayMax());
        compact->Release();
        tree->Release();
    }
}

// Runs of words that the decoded form fuses into one step (pushes that go
// straight to their consumer, calls binding pushed operands, returns into
// the caller's pop), each also where the fused step must give way to the
// words one by one. The outputs are the byte form's.
const Case kRunCases[] = {
    {"arith runs on locals, globals and constants, stored and pushed",
     R"(.global g, h
.segment main entry
 pushi 4
 pushf 1.5
 call f
 out
 pushc "|"
 out
 pushg g
 pushc "2"
 add
 popg h
 pushg h
 out
 exit
.function f(a, b)
.local x
 pushl a
 pushl b
 mul
 popl x
 pushl x
 pushi 1
 sub
 popg g
 pushl a
 pushg g
 add
 ret
.end
)",
     "9|7"},
    {"arith run with a text operand and into a text local",
     R"(.global g
.segment main entry
 pushc "7"
 call f
 out
 exit
.function f(a)
.local t
 pushc "abc"
 popl t
 pushl a
 pushc "3"
 add
 popl t
 pushl t
 pushl t
 mul
 ret
.end
)",
     "100"},
    {"empty locals and globals read as numbers first, then as text",
     R"(.global g, h, k
.segment main entry
 pushg g
 pushi 1
 add
 pop
 pushg g
 out
 pushc "|"
 out
 pushg h
 out
 pushg h
 pushi 1
 add
 pop
 pushg h
 out
 pushc "|"
 out
 call f
 out
 pushc "|"
 out
 pushg k
 call e
 out
 exit
.function f()
.local x, y, z
 pushl x
 pushi 1
 add
 pop
 pushl y
 out
 pushl y
 pushi 2
 mul
 popl z
 pushc "["
 pushl x
 cat
 pushl y
 cat
 pushc "]"
 cat
 ret
.function e(a)
.local b
 pushl a
 out
 pushl b
 popl a
 pushl b
 pushi 1
 add
 pop
 pushl a
 pushl b
 cat
 ret
.end
)",
     "0||[0]|"},
    {"fused appends onto globals, locals, aliases and themselves",
     R"(.global s, r
.segment main entry
 pushi 12
 popg s
 pushg s
 pushf 0.5
 cat
 popg s
 pushg s
 refg r
 pushg r
 pushg r
 cat
 popg r
 pushg s
 out
 pushc "|"
 out
 pushi 3
 call f
 out
 exit
.function f(a)
.local t
 pushl t
 pushl a
 cat
 popl t
 pushl t
 pushl t
 cat
 popl t
 pushl a
 pushg s
 cat
 popl a
 pushl t
 pushc "|"
 cat
 pushl a
 cat
 ret
.end
)",
     "120.5120.5|33|3120.5120.5"},
    {"array element runs: stores from every kind of value, reads added and stored",
     R"(.global a, i, v, sum, t
.segment main entry
 storegi i, 1
 pushc "x"
 popg t
 storegi v, 5
 pushg v
 pushg a
 pushg i
 elem
 store
 pushf 2.5
 pushg a
 pushi 2
 elem
 store
 pushg t
 pushg a
 pushi 3
 elem
 store
 pushg a
 pushg a
 pushi 4
 elem
 store
 pushi 0
 pushg a
 pushi 1
 elemr
 add
 pushg a
 pushi 2
 elemr
 add
 popg sum
 pushg sum
 pushg a
 pushi 9
 elemr
 add
 popg sum
 pushg a
 out
 pushc "|"
 out
 pushg sum
 out
 pushc "|"
 out
 pushi 7
 pushg a
 pushi 0
 elem
 store
 pushg a
 out
 exit
.end
)",
     "5,2.5,x,5,2.5,x,|7.5|Runtime error in t.vrc @ [00000000:000000f6]: (in expression): Array index must be positive integer\n"},
    {"arrays in locals and element reads into locals",
     R"(.segment main entry
 pushi 3
 call f
 out
 exit
.function f(n)
.local a, i, s
 pushi 1
 popl i
again:
 pushl i
 pushl a
 pushl i
 elem
 store
 pushl s
 pushl a
 pushl i
 elemr
 add
 popl s
 pushl i
 pushi 1
 add
 popl i
 pushl i
 pushl n
 le
 jmp_ne again
 pushl a
 pushc "="
 cat
 pushl s
 cat
 ret
.end
)",
     "1,2,3=6"},
    {"calls with fused arguments: counts, texts, empties, by reference",
     R"(.global g, h
.segment main entry
 pushi 1
 pushi 2
 call two
 out
 pushg g
 call one
 out
 pushc "t"
 pushi 5
 call two
 out
 pushi 9
 pushi 8
 call one
 out
 out
 pushg h
 pushi 4
 call ref
 out
 pushg h
 out
 pushi 1
 call ref
 out
 exit
.function two(a, b)
 pushl a
 pushl b
 sub
 ret
.function one(a)
 pushc "<"
 pushl a
 cat
 ret
.function ref(&a, b)
 pushl a
 pushl b
 add
 popl a
 pushl a
 ret
.end
)",
     "-1<-5<8944Fatal error in t.vrc @ [00000000:0000006e]: Stack underflow\n"},
    {"returns into pops, of locals, of aliases, without a value",
     R"(.global g, h
.segment main entry
 pushi 2
 call f
 popg g
 pushi 3
 call loc
 popg h
 pushg g
 out
 pushc "|"
 out
 pushg h
 out
 pushc "|"
 out
 pushg g
 call alias
 pushi 1
 add
 out
 pushc "|"
 out
 call none
 out
 pushc "|"
 out
 pushi 6
 call nested
 out
 exit
.function f(a)
 pushl a
 pushi 10
 mul
 ret
.function loc(a)
.local x
 pushl a
 pushc "!"
 cat
 popl x
 pushl x
 ret
.function alias(&a)
 pushl a
 ret
.function none()
 retn
.function nested(a)
.local x
 pushl a
 call f
 popl x
 pushl x
 pushl a
 call f
 add
 ret
.end
)",
     "20|3!|21||120"},
    {"locals by name, by reference and through a scope built mid-call",
     R"(.global g
.segment main entry
 pushi 5
 popg g
 pushi 2
 call f
 out
 pushc "|"
 out
 pushg g
 out
 exit
.function f(a)
.local x, y
 pushl a
 pushi 1
 add
 popl x
 pushl x
 refl y
 pushi 7
 popl y
 pushnc "l.x"
 out
 pushl x
 pushl a
 add
 popnc "y"
 pushl x
 pushg g
 add
 popl x
 pushl x
 refg g
 pushl y
 ret
.end
)",
     "714|14"},
    {"a local appended to globals not made yet",
     R"(.global g, h
.segment main entry
 pushi 2
 call f
 out
 pushg g
 out
 exit
.function f(b)
 pushg g
 pushl b
 cat
 popg g
 pushg h
 pushl b
 pushl b
 add
 cat
 popg h
 pushg h
 ret
.end
)",
     "42"},
    {"compact elements read into globals, slots, boxed locals and aliases, then changed",
     R"(.global a, g, h, r
.segment main entry
 pushc "t<"
 pushg a
 pushi 1
 elem
 store
 pushi 7
 pushg a
 pushi 2
 elem
 store
 pushf 2.5
 pushg a
 pushi 3
 elem
 store
 pushg a
 pushi 1
 elemr
 popg g
 pushg g
 pushc "!"
 cat
 popg g
 pushi 3
 call f
 out
 pushg a
 out
 pushg g
 out
 pushg h
 out
 pushg r
 refg h
 pushg a
 pushi 2
 elemr
 popg h
 pushg r
 out
 pushg a
 pushi 9
 elemr
 popg g
 pushg g
 out
 pushg a
 pushi 1
 elemr
 refg h
 pushc "u"
 popg h
 pushg a
 out
 exit
.function f(n)
.local x, y, z
 pushg a
 pushl n
 elemr
 popl x
 pushg a
 pushi 1
 elemr
 popl z
 pushl y
 refg h
 pushg a
 pushi 1
 elemr
 popl y
 pushl x
 pushl y
 cat
 pushl z
 cat
 ret
.end
)",
     "2.5t<t<t<,7,2.5t<!t<7u,7,2.5"},
    {"names looked up in a fast-called function: globals, then its locals",
     R"(.global g
.segment main entry
 pushc "G"
 popg g
 pushi 1
 call f
 out
 pushi 2
 call f
 out
 exit
.function f(n)
.local x
 pushl n
 popl x
 pushnc "g"
 out
 pushnc "n"
 out
 pushnc "x:k"
 out
 pushnc "g[1]"
 out
 pushl x
 ret
.end
)",
     "G1122"},
    {"an element of a number stored from the number itself",
     ".global g\n.segment main entry\n pushi -1\n popg g\n pushg g\n pushg g\n pushi 1\n elem\n store\n"
     " pushc \"[\"\n out\n pushg g\n out\n pushc \"]\"\n out\n.end\n",
     "[]"},
};

TEST(VmDecodedTest, FusedRunsMatchTheByteForm) {
    for (const Case& c : kRunCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(RunBoth(c.source).output, c.output);
    }
}

// A copy of a database field keeps the field's text beside its number:
// wherever the copy goes on (an array element, a local, a call's argument),
// its text is the field's, never one made again from the number.
class NumberField : public Variable {
  public:
    NumberField() : Variable("field", -1) {
        text_.Assign("12.50", -1);
        double_ = 12.5;
        valid_ = kValidText | kValidDouble;
        type_ = kTypeDouble;
    }
    int32_t StorageKind() const override { return kStorageDatabaseField; }
};

TEST(VmDecodedTest, CopiesOfFieldsKeepTheFieldsText) {
    const char* source = R"(.global f, a
.segment main entry
 pushg f
 pushg a
 pushi 1
 elem
 store
 pushg a
 out
 pushg f
 call keep
 out
 exit
.function keep(v)
.local x
 pushl v
 popl x
 pushc "|"
 pushl x
 cat
 ret
.end
)";
    for (bool decoded : {true, false}) {
        SCOPED_TRACE(decoded);
        AssembledRun<SwitchableVM> run(source);
        run.vm->decodeSegments = decoded;
        NumberField field;
        Variable* f = nullptr;
        ASSERT_TRUE(run.program.globals.Find(&f, "f", -1, true) && f);
        f->SetValueVariable(&field);
        EXPECT_EQ(run.Execute(), 1);
        EXPECT_EQ(run.sink.text, "12.50|12.50");
    }
}

// Words that pop two texts where one entry's release frees what the other
// entry's text belongs to: two entries of one returned value, or an element
// above its array. f leaves its body's value for the call, after runs next;
// each word must give what it gives for the two texts as constants.
struct SharedOwnerCase {
    const char* name;
    const char* body;
    const char* after;
    const char* left;
    const char* right;
};

const SharedOwnerCase kSharedOwnerCases[] = {
    {"a returned array, doubled",
     " pushc \"abc\"\n pushl t\n pushi 1\n elem\n store\n pushc \"def\"\n pushl t\n pushi 2\n elem\n store\n pushl t\n",
     "dup", "abc,def", "abc,def"},
    {"a returned local number, doubled", " pushf 2.5\n popl t\n pushl t\n", "dup", "2.5", "2.5"},
    {"a returned local text, doubled", " pushc \"abc\"\n popl t\n pushl t\n", "dup", "abc", "abc"},
    {"an element above its returned array", " pushc \"abc\"\n pushl t\n pushi 1\n elem\n store\n pushl t\n",
     "dup\n pushi 1\n elem", "abc", "abc"},
};

TEST(VmDecodedTest, WordsPoppingTwoTextsOfOneOwnerKeepItUntilRead) {
    for (const SharedOwnerCase& c : kSharedOwnerCases) {
        for (const char* word : {"cat", "in", "cin", "ein", "ecin", "crypt"}) {
            SCOPED_TRACE(std::string(c.name) + ", " + word);
            std::string source = std::string(".segment main entry\n pushi 0\n call f\n ") + c.after + "\n " + word +
                                 "\n out\n exit\n.function f(n)\n.local t\n" + c.body + " ret\n.end\n";
            std::string constants = std::string(".segment main entry\n pushc \"") + c.left + "\"\n pushc \"" +
                                    c.right + "\"\n " + word + "\n out\n.end\n";
            Outcome o = RunBoth(source);
            EXPECT_EQ(o.output, RunOnce(constants, false).output);
            if (std::string(word) == "cat") {
                EXPECT_EQ(o.output, std::string(c.left) + c.right);
            }
        }
    }
}

// A variable's number read as text keeps that text, which its truth and its
// copies then follow: -0 is a true text though a false number. SHOWN stands
// for the words that read z's text (g a function they may call); the local
// cases do the same in f.
#define ZERO_SHOWN(SHOWN)                                                                                  \
    ".global z, s, w\n.segment main entry\n pushf -0.0\n popg z\n pushg z\n not\n out\n pushc \"|\"\n out\n" \
    SHOWN "\n pushc \"|\"\n out\n pushg z\n not\n out\n exit\n.function g(v)\n pushl v\n not\n ret\n.end\n"
#define LOCAL_ZERO_SHOWN(SHOWN)                                                                             \
    ".global w\n.segment main entry\n call f\n exit\n.function f()\n.local z, s\n pushf -0.0\n popl z\n"     \
    " pushl z\n not\n out\n pushc \"|\"\n out\n" SHOWN "\n pushc \"|\"\n out\n pushl z\n not\n out\n retn\n" \
    ".function g(v)\n pushl v\n not\n ret\n.end\n"
#define COPIES(PUSH, POP)                                                                                   \
    " " PUSH " z\n out\n " PUSH " z\n " POP " s\n " PUSH " s\n not\n out\n " PUSH " z\n call g\n out\n " PUSH \
    " z\n pushg w\n pushi 1\n elem\n store\n pushg w\n pushi 1\n elemr\n not\n out"
const Case kShownNumberCases[] = {
    {"printed", ZERO_SHOWN(" pushg z\n out"), "1|-0|0"},
    {"joined on the right", ZERO_SHOWN(" pushc \"<\"\n pushg z\n cat\n out"), "1|<-0|0"},
    {"appended to another variable", ZERO_SHOWN(" pushc \"<\"\n popg s\n pushg s\n pushg z\n cat\n popg s\n pushg s\n out"),
     "1|<-0|0"},
    {"printed, then copied", ZERO_SHOWN(COPIES("pushg", "popg")), "1|-0000|0"},
    {"an element printed", ZERO_SHOWN(" pushg z\n pushg w\n pushi 1\n elem\n store\n pushg w\n pushi 1\n elemr\n out\n"
                                      " pushg w\n pushi 1\n elemr\n not\n out"),
     "1|-00|1"},
    {"a local printed", LOCAL_ZERO_SHOWN(" pushl z\n out"), "1|-0|0"},
    {"a local joined", LOCAL_ZERO_SHOWN(" pushc \"<\"\n pushl z\n cat\n out"), "1|<-0|0"},
    {"a local appended to another", LOCAL_ZERO_SHOWN(" pushc \"<\"\n popl s\n pushl s\n pushl z\n cat\n popl s\n pushl s\n out"),
     "1|<-0|0"},
    {"a local compared with a text", LOCAL_ZERO_SHOWN(" pushl z\n pushc \"a\"\n eq\n out"), "1|0|0"},
    {"a local printed, then copied", LOCAL_ZERO_SHOWN(COPIES("pushl", "popl")), "1|-0000|0"},
};
#undef COPIES
#undef LOCAL_ZERO_SHOWN
#undef ZERO_SHOWN

TEST(VmDecodedTest, NumbersReadAsTextKeepTheirText) {
    for (const Case& c : kShownNumberCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(RunBoth(c.source).output, c.output);
    }
}

// Random programs made of the runs above, with locals, calls, references,
// arrays and texts mixed in; jumps only forward.
std::string RandomRuns(std::mt19937& random) {
    auto pick = [&](std::initializer_list<const char*> items) {
        return std::string(items.begin()[random() % items.size()]);
    };
    auto push = [&](bool local) {
        switch (random() % (local ? 6 : 5)) {
        case 0: return "pushg " + pick({"ga", "gb", "gi"});
        case 1: return "pushi " + pick({"0", "1", "2", "-1", "2147483647"});
        case 2: return "pushf " + pick({"2.5", "-0.5"});
        case 3: return "pushc \"" + pick({"", "x", "12", "0", "top", "7a"}) + "\"";
        case 4: return "pushg " + pick({"ga", "gb"});
        default: return "pushl " + pick({"a", "b", "x"});
        }
    };
    auto pop = [&](bool local) { return local && random() % 2 ? "popl " + pick({"a", "b", "x"}) : "popg " + pick({"ga", "gb", "gi"}); };
    int label = 0;
    auto body = [&](bool local, int n, int functions) {
        std::string out;
        for (int k = 0; k < n; ++k) {
            std::string v = local && random() % 2 ? "l " + pick({"a", "b", "x"}) : "g " + pick({"ga", "gb"});
            std::string pv = std::string("push") + v[0] + " " + v.substr(2), qv = std::string("pop") + v[0] + " " + v.substr(2);
            switch (random() % 12) {
            case 0: out += push(local) + "\n" + push(local) + "\n" + pick({"add", "sub", "mul"}) + "\n" + pop(local) + "\n"; break;
            case 1: out += push(local) + "\n" + push(local) + "\n" + pick({"add", "cat"}) + "\nout\n"; break;
            case 2: out += pv + "\n" + push(local) + "\ncat\n" + qv + "\n"; break;
            case 3: out += push(local) + "\n" + pv + "\n" + pick({"pushi 1", "pushi 2", "pushg gi"}) + "\nelem\nstore\n"; break;
            case 4: out += push(local) + "\n" + pv + "\n" + pick({"pushi 1", "pushi 3", "pushg gi"}) + "\nelemr\nadd\n" + pop(local) + "\n"; break;
            case 5:
                if (functions > 0) {
                    int f = static_cast<int>(random() % functions);
                    for (int p = 0; p < f % 3; ++p) out += push(local) + "\n";
                    out += "call f" + std::to_string(f) + "\n" + pick({"out", "pop", "popg ga"}) + "\n";
                }
                break;
            case 6:
                out += "incg gi, 1\ncmpgi gi, " + pick({"0", "2", "4"}) + "\njmp_lt L" + std::to_string(label) + "\n" +
                       push(local) + "\nout\nL" + std::to_string(label) + ":\n";
                ++label;
                break;
            case 7: out += local ? pv + "\nrefl " + pick({"a", "b", "x"}) + "\n" : pv + "\nrefg gb\n"; break;
            case 8: out += local ? "pushnc \"" + pick({"x", "l.a", "gb"}) + "\"\nout\n" : push(local) + "\nout\n"; break;
            case 9: out += push(local) + "\n" + pop(local) + "\n"; break;
            case 10: out += pv + "\n" + pick({"pushi 1", "pushi 2", "pushg gi"}) + "\nelemr\n" + pop(local) + "\n"; break;
            default: out += push(local) + "\n" + push(local) + "\n" + pick({"cmp", "eq"}) + "\nout\n"; break;
            }
        }
        return out;
    };
    std::string source = ".global ga, gb, gi\n.segment main entry\n" + body(false, 4 + static_cast<int>(random() % 12), 3) +
                         "pushg ga\nout\npushg gb\nout\nexit\n";
    for (int f = 0; f < 3; ++f) {
        const char* params[] = {"", "a", random() % 3 ? "a, b" : "&a, b"};
        source += ".function f" + std::to_string(f) + "(" + params[f] + ")\n.local x" + (f < 2 ? ", b" : "") +
                  (f < 1 ? ", a" : "") + "\n" + body(true, 1 + static_cast<int>(random() % 6), f) +
                  pick({"pushl a\npushl b\nadd\nret\n", "pushl x\nret\n", "retn\n", "pushi 4\nret\n"});
    }
    return source + ".end\n";
}

// VORN_RANDOM_ROUNDS and VORN_RANDOM_SEED run more (or other) programs
// than the suite's 300.
TEST(VmDecodedTest, RandomRunsMatchTheByteForm) {
    const char* rounds = std::getenv("VORN_RANDOM_ROUNDS");
    const char* seed = std::getenv("VORN_RANDOM_SEED");
    std::mt19937 random(seed ? static_cast<uint32_t>(std::strtoul(seed, nullptr, 10)) : 20250301u);
    const int count = rounds ? std::atoi(rounds) : 300;
    for (int round = 0; round < count; ++round) {
        std::string source = RandomRuns(random);
        SCOPED_TRACE(source);
        RunBoth(source);
    }
}

// Damaged and hostile code: words that do not decode, immediates cut off at
// the end, jumps outside and into the middle of instructions, overflowing
// stacks. The errors, their positions and what ran before them are the byte
// form's.
TEST(VmDecodedTest, HostileCodeFailsAsTheByteFormDoes) {
    const char* sources[] = {
        ".segment main entry\n pushc \"a\"\n out\n exit\n .u16 0x0001\n.end\n",
        ".segment main entry\n pushc \"a\"\n out\n .u16 0x0001\n pushc \"b\"\n out\n.end\n",
        ".segment main entry\n pushi 1\n .u16 0x4002\n .bytes 1 2\n.end\n",
        ".segment main entry\n pushi 0\n jmp_eq 1000\n pushi 1\n jmp_eq -1000\n.end\n",
        ".segment main entry\n jmp 2\n .u16 0x4002\n pushc \"x\"\n out\n.end\n",
        ".segment main entry\n jmp 3\n .u16 0x4002\n .u32 0x00024002\n .u32 0\n out\n.end\n",
        ".global i\n.segment main entry\nagain:\n pushi 1\n jmp again\n.end\n",
        ".global i\n.segment main entry\nagain:\n cmpgi i, 5\n pushg i\n jmp again\n.end\n",
        (".global s\n.segment main entry\n pushc \"x\"\n cat\n popg s\n pushg s\n cat\n popg s\n pop\n "
         "pop\n.end\n"),
        ".segment main entry\n pushi 1\n popg 7\n popl 0\n pushl 3\n pushc 999\n out\n.end\n",
        ".segment main entry\n elem\n store\n elemr\n add\n cmpgi 4, 1\n jmp_lt 0\n call 5\n ret\n.end\n",
        // Global entries no scope has, and past those a fast path names.
        ".global i\n.segment main entry\n storegi i, 1\n pushg i\n out\n pushg -1\n out\n.end\n",
        ".segment main entry\nagain:\n incg -2, 1\n cmpgi -2, 5\n jmp_lt again\n.end\n",
        ".segment main entry\n pushi 1\n pushg 65536\n add\n popg 65536\n.end\n",
        ".segment main entry\n pushi 2\n popg 65535\n pushg 65535\n out\n.end\n",
        ".global a\n.segment main entry\n pushi 7\n pushg -3\n pushi 1\n elem\n store\n.end\n",
        ".segment main entry\n storegi 2147483647, 1\n.end\n",
    };
    for (const char* source : sources)
        RunBoth(source);
}

// Random code: mostly legal words with small immediates (jumps only forward,
// so every run ends), some bytes at random.
TEST(VmDecodedTest, RandomCodeRunsAsTheByteFormRuns) {
    std::mt19937 random(20240610);
    std::vector<uint16_t> words;
    for (int32_t i = 0; InstructionAt(i); ++i) {
        uint16_t w = InstructionAt(i)->word;
        // Words that reach outside the machine (files, mail, databases) are
        // left to their own tests.
        if (InstructionGroupOf(w) == GroupCore || InstructionGroupOf(w) == GroupFusedGlobal)
            words.push_back(w);
    }
    for (int round = 0; round < 150; ++round) {
        std::string source = ".global a, b, c\n.segment main entry\n";
        int n = 1 + static_cast<int>(random() % 24);
        for (int k = 0; k < n; ++k) {
            if (random() % 16 == 0) {
                source += " .bytes " + std::to_string(random() % 256) + "\n";
                continue;
            }
            uint16_t w = words[random() % words.size()];
            if (w == Op_op_do_file || w == Op_op_do_function || w == Op_crypt) continue;
            std::string line = " .word " + std::to_string(w);
            for (ImmediateKind kind : {ImmediateKindA(w), ImmediateKindB(w)}) {
                if (kind == ImmediateKind::Integer)
                    line += " " + std::to_string(InstructionGroupOf(w) == GroupFusedGlobal || w == Op_pushg ||
                                                         w == Op_popg
                                                     ? random() % 4
                                                     : random() % 12);
                else if (kind == ImmediateKind::Double)
                    line += " " + std::to_string(static_cast<int>(random() % 100) - 50) + ".5";
            }
            source += line + "\n";
        }
        source += ".end\n";
        SCOPED_TRACE(source);
        RunBoth(source);
    }
}

// The offsets where the byte form finds an instruction, reading from the
// start: each word's, the one it stops at included.
std::set<int32_t> InstructionStarts(const std::vector<uint8_t>& code) {
    std::set<int32_t> starts;
    const auto length = static_cast<int32_t>(code.size());
    int32_t pc = 0;
    for (;;) {
        starts.insert(pc);
        if (pc + 1 >= length) break;
        const int32_t size = InstructionLength(static_cast<uint16_t>(code[pc] | code[pc + 1] << 8));
        if (size > length - pc) break;
        pc += size;
    }
    return starts;
}

// The form's index of instruction starts, on code of every shape: legal
// words with immediates of every kind, bytes at random, immediates cut off
// at the end, odd lengths. At(pc) answers exactly at the starts the byte
// form reads, outside the code included; and a segment of plain words
// takes 32 bytes an instruction and little more for its index.
TEST(VmDecodedTest, TheFormIndexesExactlyTheInstructionStarts) {
    std::mt19937 random(20250612);
    for (int round = 0; round < 200; ++round) {
        std::vector<uint8_t> code;
        const int n = static_cast<int>(random() % 300);
        for (int k = 0; k < n; ++k) {
            if (random() % 8 == 0) {
                code.push_back(static_cast<uint8_t>(random()));
                continue;
            }
            const uint16_t word = InstructionAt(static_cast<int32_t>(random() % kInstructionCount))->word;
            code.push_back(static_cast<uint8_t>(word));
            code.push_back(static_cast<uint8_t>(word >> 8));
            for (int32_t b = 2; b < InstructionLength(word); ++b) code.push_back(static_cast<uint8_t>(random()));
        }
        if (round % 3 == 0 && !code.empty()) code.pop_back();
        const std::set<int32_t> starts = InstructionStarts(code);
        DecodedSegment form(code.data(), static_cast<int32_t>(code.size()), 0, nullptr);
        ASSERT_EQ(form.Count(), static_cast<int32_t>(starts.size())) << "round " << round;
        for (int32_t pc = -70; pc <= static_cast<int32_t>(code.size()) + 70; ++pc) {
            const DecodedOp* op = form.At(pc);
            ASSERT_EQ(op != nullptr, starts.count(pc) == 1) << "round " << round << " at " << pc;
            if (op) {
                EXPECT_EQ(op->pc, pc);
            }
        }
    }
    std::vector<uint8_t> plain;
    for (int k = 0; k < 5000; ++k) {
        plain.insert(plain.end(), {0x02, 0x40, static_cast<uint8_t>(k), 0, 0, 0});
        plain.insert(plain.end(), {0x0b, 0x00});
    }
    DecodedSegment form(plain.data(), static_cast<int32_t>(plain.size()), 0, nullptr);
    EXPECT_EQ(form.Count(), 10001);
    EXPECT_LE(form.Bytes(), static_cast<int64_t>(form.Count()) * 32 + static_cast<int64_t>(plain.size()) / 4);
}

// A segment written again after it ran runs its new code.
TEST(VmDecodedTest, RewrittenSegmentsAreDecodedAgain) {
    VmHarness h;
    h.Code().Op(Op_pushi, 1);
    EXPECT_EQ(h.Make().Execute(), 1);
    EXPECT_EQ(h.vm->CurrentStack()->Depth(), 1);
    h.Code().Op(Op_pushi, 2).Op(Op_add);
    EXPECT_EQ(h.Make().Execute(), 1);
    ASSERT_EQ(h.vm->CurrentStack()->Depth(), 1);
    EXPECT_EQ(h.vm->CurrentStack()->Peek(0)->value.number, 3.0);
}

// Running out of memory ends the run with a fatal error, frees what it held,
// and the process goes on. Needs a build whose allocator fails instead of
// growing without end: ctest runs it with ASAN_OPTIONS allowing malloc to
// return null above a limit (VORN_MEMORY_LIMIT_MB says which).
TEST(VmDecodedTest, RunningOutOfMemoryIsAFatalErrorOfTheRun) {
    const char* limit = std::getenv("VORN_MEMORY_LIMIT_MB");
    if (!limit) GTEST_SKIP() << "needs the memory-limited run of this test";
    const char* doubling[] = {
        // In place, through the fused append.
        ".global g\n.segment main entry\n pushc \"0123456789abcdef\"\n popg g\nagain:\n pushg g\n pushg g\n "
        "cat\n"
        " popg g\n jmp again\n.end\n",
        // Through cat's own buffer.
        ".global g\n.segment main entry\n pushc \"0123456789abcdef\"\n popg g\nagain:\n pushg g\n pushg g\n "
        "cat\n"
        " pushc \"\"\n pop\n popg g\n jmp again\n.end\n",
    };
    // Memory running out while a call binds its arguments: h builds a text
    // of 2^26 - 1 bytes in a local (its buffer 2^26 bytes, which the limit
    // still allows), makes an element of arr refer to it and calls itself
    // with arr by value; the copy of the element's text asks for a buffer
    // rounded up past the limit. The call before, with a short text, left
    // a kept frame for that inner call to take: the fast call takes it
    // (with &r, the general one). (The byte form, whose cat leaves room to
    // spare, runs out while it builds the text.)
    auto inCall = [](bool byReference) {
        const std::string r = byReference ? " pushg r\n" : "";
        return ".global arr, r\n.segment main entry\n" + r + " pushi 0\n pushi 0\n call h\n pop\n" + r +
               " pushi 0\n pushi 1\n call h\n pop\n pushc \"done\"\n out\n.function h(" +
               (byReference ? "&r, " : "") +
               "a, n)\n.local t, k\n pushl n\n pushi 0\n cmp\n jmp_lt base\n pushc \"x\"\n popl t\n"
               " pushl n\n pushi 25\n mul\n popl k\ngrow:\n pushl k\n pushi 0\n cmp\n jmp_le done\n"
               " pushl t\n pushl t\n cat\n popl t\n pushl t\n pushc \"x\"\n cat\n popl t\n pushl k\n"
               " pushi 1\n sub\n popl k\n jmp grow\ndone:\n pushl t\n pushg arr\n pushi 1\n elem\n refer\n" +
               r + " pushg arr\n pushi -1\n call h\n ret\nbase:\n pushi 0\n ret\n.end\n";
    };
    const std::vector<std::string> sources = {doubling[0], doubling[1], inCall(false), inCall(true)};
    for (const std::string& source : sources) {
        for (bool decoded : {true, false}) {
            const int64_t live = Variable::LiveCount();
            Outcome o = RunOnce(source, decoded, false);
            EXPECT_EQ(o.result, 0);
            EXPECT_NE(o.output.find("Out of memory"), std::string::npos) << o.output;
            // What the run held went with it (the frame of the call that
            // failed, its slots' variables and the partial copy of arr).
            EXPECT_EQ(Variable::LiveCount(), live) << source;
        }
    }
    // The worker goes on: the next run is normal.
    Outcome after = RunOnce(".segment main entry\n pushc \"still here\"\n out\n.end\n", true);
    EXPECT_EQ(after.output, "still here");
}

TEST(VmDecodedTest, TextsPastTheLimitFailBeforeAllocating) {
    String s("ab");
    EXPECT_THROW(s.Append(s.Text(), INT32_MAX - 10), TextTooLong);
    EXPECT_EQ(std::string(s.Text()), "ab");
    // Appends grow geometrically: a million bytes one at a time take few
    // reallocations.
    String t;
    int32_t moves = 0;
    const char* last = nullptr;
    for (int32_t i = 0; i < 1000000; ++i) {
        t.AppendChar('x');
        if (t.Text() != last) {
            ++moves;
            last = t.Text();
        }
    }
    EXPECT_EQ(t.Length(), 1000000);
    EXPECT_LT(moves, 40);
}

} // namespace
} // namespace vorn::test
