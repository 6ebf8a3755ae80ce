#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/values/FunctionManager.h"
#include "engine/values/Variable.h"
#include "engine/values/VariableList.h"
#include "engine/vm/Feature.h"
#include "engine/vm/VornVM.h"
#include "tests/engine/vm/AssembledRun.h"

namespace vorn::test {
namespace {

// The whole text of the first error report, or "" when there was none.
std::string ErrorLine(const std::string& output) {
    size_t at = output.find(" error in ");
    if (at == std::string::npos) return "";
    size_t start = output.rfind('\n', at);
    start = start == std::string::npos ? 0 : start + 1;
    return output.substr(start, output.find('\n', at) + 1 - start);
}

TEST(VmCallsTest, ArgumentsBindByValueAndByReferenceAndResultsComeBack) {
    AssembledRun<> run(R"(
.global g, r, e, depth
.segment main entry
    storegi g, 5
    pushg g
    pushg g
    call change            ; change(g, &g)
    popg r
    call nothing
    popg e
    pushi 10
    call factorial
    pushc "!"
    cat
    out
    exit
.function change(v, &ref)
    pushl v
    pushi 1
    add
    popl v                 ; only the local copy changes
    pushi 100
    pushl ref
    store                  ; the caller's variable changes
    pushl v                ; a local handed back outlives the frame
    ret
.function nothing()
    retn
.function factorial(n)
    pushl n
    pushi 1
    le
    jmp_eq deeper
    pushi 1
    ret
deeper:
    pushl n
    pushl n
    pushi 1
    sub
    call factorial
    mul
    ret
.end
)");
    EXPECT_EQ(run.Execute(), 1) << run.sink.text;
    EXPECT_EQ(run.Global("g"), "100");
    EXPECT_EQ(run.Global("r"), "6");
    EXPECT_EQ(run.Global("e"), "");
    EXPECT_EQ(run.sink.text, "3628800!");
    // Every function frame was popped again.
    EXPECT_EQ(run.vm->CurrentFrame()->previous, nullptr);
    EXPECT_EQ(run.vm->CurrentStack()->Depth(), 0);
}

TEST(VmCallsTest, CallAndReturnFailuresAreFatalWithTheirMessages) {
    struct Case {
        const char* source;
        const char* message;
    };
    const Case cases[] = {
        {".segment m entry\n call 7\n.end\n", "Invalid function call"},
        {".segment m entry\n call -1\n.end\n", "Invalid function call"},
        {".segment m entry\n call f\n.function f at 0 -1\n.end\n", "Invalid function call"},
        {".segment m entry\n pushi 1\n ret\n.end\n", "Frame underflow"},
        {".segment m entry\n retn\n.end\n", "Frame underflow"},
        {".segment m entry\n pushi 1\n call f\n.function f(&x)\n retn\n.end\n",
         "Expected variable, found constant"},
        {".segment m entry\n call f\n.function f(a, b)\n retn\n.end\n", "Stack underflow"},
        {".segment m entry\n call f\n.function f()\n ret\n.end\n", "Stack underflow"},
        // Endless recursion ends instead of exhausting memory.
        {".segment m entry\n call f\n.function f()\n call f\n ret\n.end\n", "Function call nesting too deep"},
    };
    for (const Case& c : cases) {
        AssembledRun<> run(c.source);
        EXPECT_EQ(run.Execute(), 0) << c.source;
        std::string line = ErrorLine(run.sink.text);
        EXPECT_EQ(line.rfind("Fatal error in t.vrc @ [000000", 0), 0u) << c.source << line;
        EXPECT_NE(line.find(std::string("]: ") + c.message + "\n"), std::string::npos) << c.source << line;
        EXPECT_TRUE(run.vm->Aborted());
    }
    // A parameter whose slot the function's scope does not have.
    AssembledRun<> bad(".segment m entry\n pushi 1\n call f\n.function f(a)\n retn\n.end\n");
    bad.FunctionNamed("f")->Parameters().First()->slot = 999;
    EXPECT_EQ(bad.Execute(), 0);
    EXPECT_NE(bad.sink.text.find("]: Invalid parameter reference\n"), std::string::npos) << bad.sink.text;
    EXPECT_EQ(bad.vm->CurrentFrame()->previous, nullptr);

    // The position names the call instruction itself.
    AssembledRun<> run(".segment m entry\n noop\n call 3\n.end\n");
    run.Execute();
    EXPECT_EQ(run.sink.text, "Fatal error in t.vrc @ [00000000:00000002]: Invalid function call\n");
}

// Records the white-space mode each write saw.
class ModeSink : public RecordingSink {
  public:
    int32_t Write(const char* bytes, int32_t length) override {
        text += "[" + std::to_string(Mode()) + "]";
        return RecordingSink::Write(bytes, length);
    }
};

TEST(VmCallsTest, FunctionFlagsShapeErrorDisplayAndOutputMode) {
    AssembledRun<> run(R"(
.global list
.segment main entry
    tagerror 62, 1          ; expression errors shown, not fatal
    call quiet
    pop
    call loud
    pop
    stdoutput 2
    call inherits
    pop
    call trims
    pop
    pushc "back"
    out
    exit
.function quiet() flags 8
    lineno 10
    pushg list
    pushi 0
    elem
    pop
    retn
.function loud() flags 4
    lineno 20
    pushg list
    pushi -1
    elem
    pop
    retn
.function inherits() flags 0x10
    pushc "in"
    out
    retn
.function trims() flags 2
    pushc "tr"
    out
    retn
.end
)");
    ModeSink sink;
    run.app.output = &sink;
    EXPECT_EQ(run.Execute(), 1) << sink.text;
    // One report: the frame of quiet hid its error, loud's frame showed it.
    std::string shown = ErrorLine(sink.text);
    EXPECT_NE(shown.find("Runtime error in t.vrc @ "), std::string::npos) << sink.text;
    EXPECT_NE(shown.find("Line 20: (in expression): "), std::string::npos) << sink.text;
    EXPECT_EQ(sink.text.find("Runtime error", sink.text.find("Runtime error") + 1), std::string::npos);
    EXPECT_EQ(run.Global("VrEXPRESSION_Error"), "Array index must be positive integer");
    // Mode 2 inherited, mode 1 from bit 1, then the caller's mode again.
    EXPECT_NE(sink.text.find("[2]in[1]tr[2]back"), std::string::npos) << sink.text;
}

// A feature that counts its deletions.
class CountedFeature : public Feature {
  public:
    CountedFeature(VornApplication* app, VornVM* vm, int32_t* deletions)
        : Feature(app, vm, kFeatureCapture), deleted(deletions) {}
    ~CountedFeature() override { ++*deleted; }
    int32_t* deleted;
};

// A VM whose external function "open" opens a feature in the caller's frame.
class FeatureVM : public VornVM {
  public:
    using VornVM::VornVM;
    int CallExternalFunction(Function* function) override {
        if (!function->name.EqualsNoCase("open")) return VornVM::CallExternalFunction(function);
        countsSeen.push_back(FeatureCount());
        PushFeature(new CountedFeature(Application(), this, deletions));
        CurrentStack()->PushString("", 0, 0, false);
        return 1;
    }
    std::vector<int32_t> countsSeen;
    int32_t* deletions = nullptr;
};

TEST(VmCallsTest, ReturnRemovesEveryFeatureItsFrameOpened) {
    int32_t deletions = 0;
    AssembledRun<FeatureVM> run(R"(
.extern open()
.segment main entry
    call open               ; A, main's
    pop
    call outer
    pop
    call open               ; sees A only
    pop
    exit
.function outer()
    call open               ; B
    pop
    call inner
    pop
    call open               ; C: inner's two are gone, not just one
    pop
    retn
.function inner()
    call open               ; D
    pop
    call open               ; E
    pop
    retn
.end
)");
    run.vm->deletions = &deletions;
    EXPECT_EQ(run.Execute(), 1) << run.sink.text;
    EXPECT_EQ(run.vm->countsSeen, (std::vector<int32_t>{0, 1, 2, 3, 2, 1}));
    EXPECT_EQ(run.vm->FeatureCount(), 2); // main's two
    EXPECT_EQ(deletions, 4);
    // The VM deletes what is still open, once each.
    run.vm.reset();
    EXPECT_EQ(deletions, 6);
}

TEST(VmCallsTest, ScriptFunctionsCalledFromOutside) {
    AssembledRun<> run(R"(
.global seen
.segment main entry
    exit
.function twice(x)
    pushl x
    pushi 2
    mul
    ret
.function broken()
    pop
    retn
.function Vorn_ValidateFileUpload(a, b, c)
    pushl a
    pushl b
    cat
    pushl c
    cat
    popg seen
    pushi 7
    ret
.end
)");
    VornVM& vm = *run.vm;
    VornVM_Frame* top = vm.CurrentFrame();
    VariableList arguments;
    arguments.InsertItem(new Variable("x", 1, 21), kListTail, false);
    Variable* result = new Variable();
    EXPECT_TRUE(vm.CallFunction("TWICE", -1, &arguments, result));
    EXPECT_EQ(result->ValueInteger(), 42);
    EXPECT_TRUE(vm.CallFunction("twice", 5, &arguments, nullptr)); // result discarded
    EXPECT_EQ(vm.CurrentFrame(), top);
    EXPECT_EQ(vm.CurrentStack()->Depth(), 0);

    // Missing functions and wrong argument counts run nothing.
    VariableList none;
    EXPECT_FALSE(vm.CallFunction("twice", -1, &none, result));
    EXPECT_FALSE(vm.CallFunction("absent", -1, &arguments, result));
    EXPECT_FALSE(vm.CallFunction("twice", -1, nullptr, result));

    int32_t validated = 0;
    EXPECT_TRUE(vm.CallValidateFileUpload("f", 1, "i", 1, "le", 2, &validated));
    EXPECT_EQ(validated, 7);
    EXPECT_EQ(run.Global("seen"), "file");
    // No such hook: success without running anything.
    EXPECT_TRUE(vm.CallProcessFileUpload("a", 1, "b", 1, "c", 1, "d", 1, "e", 1, 5));

    // A failing function aborts the machine; nothing runs afterwards.
    EXPECT_FALSE(vm.CallFunction("broken", -1, &none, result));
    EXPECT_TRUE(vm.Aborted());
    EXPECT_EQ(vm.CurrentFrame(), top);
    validated = 0;
    EXPECT_FALSE(vm.CallValidateFileUpload("f", 1, "i", 1, "le", 2, &validated));
    EXPECT_EQ(validated, -1);

    // exit inside a called function ends it without leaving its frame.
    AssembledRun<> other(".segment m entry\n.function leave()\n pushi 1\n exit\n.end\n");
    VornVM_Frame* otherTop = other.vm->CurrentFrame();
    EXPECT_TRUE(other.vm->CallFunction("leave", -1, &none, nullptr));
    EXPECT_EQ(other.vm->CurrentFrame(), otherTop);
    EXPECT_EQ(other.vm->CurrentStack()->Depth(), 0);
    EXPECT_TRUE(other.vm->ExitRequested());
    result->Release();
}

TEST(VmCallsTest, UploadHookWithTheWrongShapeIsRefused) {
    AssembledRun<> run(R"(
.global got
.segment main entry
    exit
.function Vorn_ValidateFileUpload(a, b)
    pushi 1
    ret
.function Vorn_ProcessFileUpload(a, b, c, d, e, n)
    pushl n
    pushl e
    cat
    popg got
    retn
.end
)");
    int32_t validated = 0;
    EXPECT_FALSE(run.vm->CallValidateFileUpload("a", 1, "b", 1, "c", 1, &validated));
    EXPECT_EQ(validated, -1);
    EXPECT_TRUE(run.vm->CallProcessFileUpload("a", 1, "b", 1, "c", 1, "d", 1, "eee", 2, 9));
    EXPECT_EQ(run.Global("got"), "9ee");
}

TEST(VmCallsTest, ReusedFramesStartWithAnEmptyStackAndFreshLocals) {
    int64_t live = Variable::LiveCount();
    {
        AssembledRun<> run(R"(
.global g, r1, r2, r3, r4
.segment main entry
    storegi g, 5
    pushg g
    call alias
    popg r1
    pushi 1
    call plain
    popg r2
    pushg g
    call alias
    popg r3
    pushi 20
    call sum
    pushi 20
    call sum
    add
    popg r4
    pushg g
    call alias
    pop
    call probe              ; gets the frame alias left entries in
    exit
.function alias(&ref)
.local t
    pushc "left"            ; left behind: an owned text and a temporary
    pushc "over"
    cat
    pushi 3
    call plain
    pushc "<"
    pushl t
    cat
    pushc ">"
    cat
    pushi 7
    popl t
    ret
.function plain(v)
    pushi 99
    popl v                  ; must not reach g through an old alias
    pushl v
    ret
.function sum(n)
    pushl n
    pushi 0
    le
    jmp_eq deeper
    pushi 0
    ret
deeper:
    pushl n
    pushl n
    pushi 1
    sub
    call sum
    add
    ret
.function probe()
    ret                     ; nothing of earlier calls to return
.end
)");
        EXPECT_EQ(run.Execute(), 0);
        EXPECT_EQ(run.Global("r1"), "<>");
        EXPECT_EQ(run.Global("r2"), "99");
        EXPECT_EQ(run.Global("r3"), "<>"); // t of the first call is gone
        EXPECT_EQ(run.Global("g"), "5");
        EXPECT_EQ(run.Global("r4"), "420");
        EXPECT_NE(ErrorLine(run.sink.text).find("]: Stack underflow\n"), std::string::npos) << run.sink.text;
    }
    EXPECT_EQ(Variable::LiveCount(), live);

    // Calls from outside around functions that fall off their segment end
    // and that abort with entries on their stacks.
    {
        AssembledRun<> run(R"(
.segment main entry
    exit
.function twice(x)
    pushl x
    pushi 2
    mul
    ret
.function fail(x)
    pushc "a"
    pushc "b"
    cat
    pushl x
    call 99
    ret
.function falls(x)
    pushc "c"
    pushc "d"
    cat
.end
)");
        VornVM& vm = *run.vm;
        VornVM_Frame* top = vm.CurrentFrame();
        VariableList arguments;
        arguments.InsertItem(new Variable("x", 1, 21), kListTail, false);
        Variable* result = new Variable();
        for (int i = 0; i < 3; ++i) {
            EXPECT_TRUE(vm.CallFunction("twice", -1, &arguments, result));
            EXPECT_EQ(result->ValueInteger(), 42);
            EXPECT_TRUE(vm.CallFunction("falls", -1, &arguments, nullptr));
            EXPECT_EQ(vm.CurrentFrame(), top);
            EXPECT_EQ(vm.CurrentStack()->Depth(), 0);
        }
        EXPECT_FALSE(vm.CallFunction("fail", -1, &arguments, result));
        EXPECT_TRUE(vm.Aborted());
        EXPECT_EQ(vm.CurrentFrame(), top);
        EXPECT_EQ(vm.CurrentStack()->Depth(), 0);
        result->Release();
    }
    EXPECT_EQ(Variable::LiveCount(), live);
}

TEST(VmCallsTest, CallsAreTracedWhenTheLogLevelAsks) {
    AssembledRun<> run(R"(
.segment main entry
    pushc "hi"
    call echo
    pop
    exit
.function echo(x)
    pushl x
    ret
.end
)",
                       nullptr, 0xF0);
    EXPECT_EQ(run.Execute(), 1);
    std::vector<std::pair<uint32_t, std::string>> seen;
    for (const auto& e : run.app.events)
        seen.push_back({e.kind, e.text});
    EXPECT_EQ(seen, (std::vector<std::pair<uint32_t, std::string>>{
                        {0x10, "echo"}, {0x20, "x|hi"}, {0x40, "echo|hi"}, {0x80, "echo"}}));

    AssembledRun<> quiet(".segment m entry\n call f\n pop\n exit\n.function f()\n retn\n.end\n", nullptr,
                         0x20000000);
    EXPECT_EQ(quiet.Execute(), 1);
    EXPECT_TRUE(quiet.app.events.empty());
}

} // namespace
} // namespace vorn::test
