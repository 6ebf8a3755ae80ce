// The program functions of the host interface, called as a plug-in calls them.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <thread>

#include "engine/foundation/Config.h"
#include "engine/vm/VornVMStack.h"
#include "host/plugin/VornHost.h"
#include "tests/host/plugin/HostInterfaceSupport.h"
#include "tools/CommandLineApplication.h"

namespace vorn {
namespace {

using test::HostRig;
using test::Take;
using test::TextOf;

TEST(HostProgramTest, OutputGoesToTheCurrentOutputHeadersAreHandedOver) {
    HostRig rig;
    EXPECT_EQ(vrProgram_Output(rig.P(), "abc", -1), 3);
    EXPECT_EQ(vrProgram_Output(rig.P(), "de\0f", 4), 4);
    // A capture makes another output current: the text goes there.
    test::HeaderSink capture;
    Output* previous = rig.app.SetOutput(&capture);
    EXPECT_EQ(vrProgram_Output(rig.P(), "in", 2), 2);
    rig.app.SetOutput(previous);
    EXPECT_EQ(capture.text, "in");
    EXPECT_EQ(rig.sink.text, std::string("abcde\0f", 7));
    EXPECT_EQ(vrProgram_Output_Flush(rig.P()), 1);

    // Owned texts come from the host heap and are freed by the output.
    char* name = static_cast<char*>(vorn_alloc(6));
    std::memcpy(name, "X-One", 6);
    EXPECT_EQ(vrProgram_Output_Header(rig.P(), name, -1, 1, const_cast<char*>("1"), 1, 0), 1);
    EXPECT_EQ(rig.sink.headers, "X-One: 1\n");

    // Refused calls change nothing and leave an owned buffer with the caller.
    char* kept = static_cast<char*>(vorn_alloc(4));
    EXPECT_EQ(vrProgram_Output_Header(rig.P(), kept, -2, 1, kept, 1, 1), -1);
    vorn_free(kept);
    const std::function<int32_t()> refused[] = {
        [&] { return vrProgram_Output(nullptr, "x", 1); },
        [&] { return vrProgram_Output(rig.P(), nullptr, 3); },
        [&] { return vrProgram_Output(rig.P(), "x", -2); },
        [&] { return vrProgram_Output_Flush(nullptr); },
        [&] { return vrProgram_Output_Header(rig.P(), nullptr, 2, 0, nullptr, 0, 0); },
    };
    for (const auto& call : refused)
        EXPECT_EQ(call(), -1);
    EXPECT_EQ(rig.sink.text.size(), 7u);
}

TEST(HostProgramTest, CodecsAnswerNewHostHeapBuffers) {
    using Codec = char* (*)(VornProgram*, const char*, int32_t, int32_t*, int32_t*);
    struct Case {
        Codec codec;
        const char* in;
        int32_t length;
        std::string out;
    };
    const Case cases[] = {
        {vrProgram_Entity_Encode, "(a<b)", -1, "&#40;a&lt;b&#41;"},
        {vrProgram_Entity_Encode, "\"&>", -1, "&quot;&amp;&gt;"},
        {vrProgram_Entity_Decode, "&AMP;", -1, "&"},
        {vrProgram_Entity_Decode, "&amp x;", -1, "&amp x;"},
        {vrProgram_Entity_Decode, "a&lt", -1, "a<"},
        {vrProgram_Entity_Decode, "&#40;&quot;&Gt;", -1, "(\">"},
        {vrProgram_Attribute_Encode, "a b/c", -1, "a+b%2Fc"},
        {vrProgram_Attribute_Encode, "x\x01\xff*-._@", -1, "x%01%FF*-._@"},
        {vrProgram_Attribute_Encode, "a\0b", 3, "a%00b"},
        {vrProgram_Attribute_Decode, "%4", -1, "%4"},
        {vrProgram_Attribute_Decode, "a+b%2fc%2F", -1, "a b/c/"},
        {vrProgram_Attribute_Decode, "", 0, ""},
        {vrProgram_Attribute_Decode, nullptr, 0, ""},
    };
    HostRig rig;
    for (const Case& c : cases) {
        int32_t length = -1, size = -1;
        char* out = c.codec(rig.P(), c.in, c.length, &length, &size);
        ASSERT_NE(out, nullptr) << c.in;
        EXPECT_GT(size, length);
        EXPECT_EQ(out[length], '\0');
        EXPECT_EQ(Take(out, length), c.out) << c.in;
    }
    // Out pointers are optional; bad texts give null and report nothing.
    vorn_free(vrProgram_Entity_Encode(nullptr, "<", -1, nullptr, nullptr));
    int32_t length = 5;
    EXPECT_EQ(vrProgram_Entity_Encode(nullptr, nullptr, 4, &length, nullptr), nullptr);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(vrProgram_Attribute_Decode(nullptr, "x", -3, nullptr, nullptr), nullptr);
}

TEST(HostProgramTest, ScopesLookupsAndComparison) {
    HostRig rig;
    rig.program.globals.SetVariable("g", -1, "gv", -1);
    VornVariableList* list = vrVariableList_Allocate();
    int32_t globals = vrProgram_Global_Variables(rig.P(), list);
    EXPECT_EQ(globals, vrVariableList_Entries(list));
    EXPECT_NE(vrVariableList_Find(list, "G", -1), nullptr);
    // At the top the current frame's scope is the global scope.
    EXPECT_EQ(vrProgram_Local_Variables(rig.P(), list), globals);
    EXPECT_EQ(vrProgram_System_Variables(rig.P(), list), 0);
    EXPECT_EQ(vrProgram_Global_Variables(nullptr, list), -1);
    EXPECT_EQ(vrProgram_Global_Variables(rig.P(), nullptr), -1);
    vrVariableList_Free(list);
    EXPECT_EQ(vrProgram_Global_VariableHash(rig.P()), &rig.program.globals);
    EXPECT_EQ(vrProgram_System_VariableHash(rig.P()), &rig.program.system);

    // The script's scope rules, with their prefixes; a made global stays.
    EXPECT_EQ(TextOf(vrProgram_Lookup_Variable(rig.P(), "g", -1)), "gv");
    VornVariable* made = vrProgram_Lookup_Variable(rig.P(), "global.fresh", -1);
    ASSERT_NE(made, nullptr);
    vrVariable_SetValue(made, "new", 3);
    EXPECT_EQ(rig.Global("fresh"), "new");
    EXPECT_EQ(vrProgram_Lookup_Variable(rig.P(), "g[x", -1), nullptr);
    EXPECT_EQ(vrProgram_Lookup_Variable(rig.P(), nullptr, 2), nullptr);
    EXPECT_EQ(vrProgram_Lookup_ExternalFunction(rig.P(), "nothing", -1), nullptr);

    struct Order {
        const char* a;
        const char* b;
        int32_t expected;
    };
    const Order orders[] = {{"10", "9", 1}, {"2", "2.0", 0}, {"abc", "abd", -1},
                            {"a", "10", 1}, {"", "", 0},     {"-1e3", "5", -1}};
    for (const Order& o : orders) {
        VornVariable* a = vrVariable_Allocate(nullptr, 0, o.a, -1);
        VornVariable* b = vrVariable_Allocate(nullptr, 0, o.b, -1);
        EXPECT_EQ(vrProgram_Compare(rig.P(), a, b), o.expected) << o.a << " " << o.b;
        EXPECT_EQ(vrProgram_Compare(rig.P(), b, a), -o.expected) << o.a << " " << o.b;
        vrVariable_Free(a);
        vrVariable_Free(b);
    }
}

struct Released {
    VornProgram* program;
    void* data;
};
std::vector<Released> released;

void Record(VornProgram* program, void* data) {
    released.push_back({program, data});
}

// Registers again while it is released: the host must cope, and the new data
// goes too.
void RegisterAgain(VornProgram* program, void* data) {
    released.push_back({program, data});
    if (program && data) vrProgram_Register_Persistent(program, "again", -1, nullptr, RegisterAgain);
}

TEST(HostProgramTest, PersistentDataIsReleasedWhileTheTopProgramLives) {
    released.clear();
    int a = 1, b = 2, c = 3;
    {
        HostRig rig;
        EXPECT_EQ(vrProgram_Register_Persistent(rig.P(), "Key", -1, &a, Record), 0);
        EXPECT_EQ(vrProgram_Lookup_Persistent(rig.P(), "KEY", 3), &a);
        EXPECT_EQ(vrProgram_Lookup_Persistent(rig.P(), "other", -1), nullptr);
        // Replacing releases the old data at once, handed the registering program.
        EXPECT_EQ(vrProgram_Register_Persistent(rig.P(), "key", 3, &b, Record), 0);
        ASSERT_EQ(released.size(), 1u);
        EXPECT_EQ(released[0].data, &a);
        EXPECT_EQ(released[0].program, rig.P());

        // A sub-program registers; it is gone long before the request ends.
        auto child = std::make_unique<VornVM>(
            "sub/child.vrc", -1, &rig.app, &rig.program.dictionary, &rig.program.system, &rig.program.globals,
            &rig.program.segments, &rig.program.functions, &rig.calls, nullptr, nullptr, nullptr, nullptr,
            nullptr, nullptr, nullptr, rig.P());
        EXPECT_EQ(vrProgram_Register_Persistent(child.get(), "child", -1, &c, Record), 0);
        EXPECT_EQ(vrProgram_Register_Persistent(child.get(), "again", -1, &c, RegisterAgain), 0);
        // Without a release function the block goes back to the host heap.
        EXPECT_EQ(vrProgram_Register_Persistent(rig.P(), "block", -1, vorn_alloc(16), nullptr), 0);
        child.reset();
        EXPECT_EQ(released.size(), 1u);

        VornProgram* top = rig.P();
        rig.vm.reset();
        // Every release got the top program, while it still existed.
        ASSERT_EQ(released.size(), 5u);
        for (size_t i = 1; i < released.size(); ++i)
            EXPECT_EQ(released[i].program, top) << i;
        std::set<void*> data;
        for (size_t i = 1; i < released.size(); ++i)
            data.insert(released[i].data);
        EXPECT_EQ(data, (std::set<void*>{&b, &c, nullptr}));
        EXPECT_EQ(vrProgram_Lookup_Persistent(nullptr, "key", -1), nullptr);
    }
    EXPECT_EQ(released.size(), 5u);
    EXPECT_EQ(vrProgram_Register_Persistent(nullptr, "k", -1, &a, Record), -1);
}

TEST(HostProgramTest, RunFunctionCallsScriptFunctionsByName) {
    HostRig rig;
    VornVariableList* arguments = vrVariableList_Allocate();
    vrVariableList_SetVariable(arguments, "x", 1, "ab", 2);
    VornVariable* result = vrVariable_Allocate(nullptr, 0, nullptr, 0);
    EXPECT_NE(vrProgram_RunFunction(rig.P(), "TWICE", -1, arguments, result), 0);
    EXPECT_EQ(TextOf(result), "abab");
    EXPECT_NE(vrProgram_RunFunction(rig.P(), "twice", 5, arguments, nullptr), 0);
    // The count must match; an unknown name and bad texts fail.
    vrVariableList_SetVariable(arguments, "y", 1, "cd", 2);
    EXPECT_EQ(vrProgram_RunFunction(rig.P(), "twice", -1, arguments, result), 0);
    EXPECT_EQ(vrProgram_RunFunction(rig.P(), "nothing", -1, nullptr, result), 0);
    EXPECT_EQ(vrProgram_RunFunction(rig.P(), nullptr, 3, nullptr, result), 0);
    EXPECT_EQ(vrProgram_RunFunction(nullptr, "twice", -1, nullptr, result), 0);
    EXPECT_FALSE(rig.P()->Aborted());
    vrVariable_Free(result);
    vrVariableList_Free(arguments);
}

TEST(HostProgramTest, SleepEndsAtOnceWhenTheRequestIsStopped) {
    HostRig rig;
    EXPECT_EQ(vrProgram_Sleep(rig.P(), 10), 258);
    EXPECT_EQ(vrProgram_Sleep(rig.P(), -5), 258);
    EXPECT_EQ(vrProgram_Sleep(nullptr, 10), -1);
    auto start = std::chrono::steady_clock::now();
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        rig.app.RequestStop();
    });
    EXPECT_EQ(vrProgram_Sleep(rig.P(), 60000), 0);
    stopper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

constexpr char kExpressionProgram[] = R"(
.global n, s
.segment main entry
    exit
.end
.segment noop
    pushi 1
    pop
.end
)";

TEST(HostProgramTest, DynamicExpressionsRunOnTheProgramsOwnStack) {
    HostRig rig(kExpressionProgram);
    rig.program.globals.SetVariable("n", -1, "4", -1);
    // Library data under the old name of the stack is only library data.
    EXPECT_EQ(vrProgram_Register_Persistent(rig.P(), "__vornvm_dynamic_stack", -1, vorn_alloc(8), nullptr),
              0);

    void* sum = vrProgram_Compile_Dynamic_Expression(rig.P(), "n * 3 + 1)))", 9, nullptr, nullptr);
    void* truth = vrProgram_Compile_Dynamic_Expression(rig.P(), "n GT 3", -1, nullptr, nullptr);
    ASSERT_NE(sum, nullptr);
    ASSERT_NE(truth, nullptr);
    VornVariable* result = vrVariable_Allocate(nullptr, 0, nullptr, 0);
    EXPECT_EQ(vrProgram_Execute_Dynamic_Expression(rig.P(), sum, nullptr, result), 1);
    EXPECT_EQ(TextOf(result), "13");
    int32_t flag = -1;
    EXPECT_EQ(vrProgram_Execute_Dynamic_Expression_Boolean(rig.P(), truth, nullptr, &flag), 1);
    EXPECT_EQ(flag, 1);
    // A local scope of the library's own.
    VornVariableHash* locals = vrVariableHash_Allocate();
    vrVariableHash_SetVariable(locals, "n", 1, "1", 1);
    void* local = vrProgram_Compile_Dynamic_Expression(rig.P(), "l.n + 1", -1, nullptr, nullptr);
    EXPECT_EQ(vrProgram_Execute_Dynamic_Expression(rig.P(), local, locals, result), 1);
    EXPECT_EQ(TextOf(result), "2");
    vrVariableHash_Free(locals);

    // A run takes only what lies above the depth it started at.
    VornVM_Stack* stack = rig.P()->DynamicExpressionStack();
    EXPECT_EQ(stack->Depth(), 0);
    stack->PushString("outer", 5, 5, false);
    void* noop = rig.P()->Segments()->SegmentAt(1);
    EXPECT_EQ(vrProgram_Execute_Dynamic_Expression(rig.P(), noop, nullptr, result), 0);
    EXPECT_EQ(vrProgram_Execute_Dynamic_Expression_Boolean(rig.P(), noop, nullptr, &flag), 0);
    EXPECT_EQ(vrProgram_Execute_Dynamic_Expression(rig.P(), sum, nullptr, result), 1);
    EXPECT_EQ(stack->Depth(), 1);
    stack->Discard();

    // Code handles are checked: bogus ones, other programs' and nulls give 0.
    HostRig other(kExpressionProgram);
    void* foreign = vrProgram_Compile_Dynamic_Expression(other.P(), "1", -1, nullptr, nullptr);
    int bogus = 0;
    for (void* code : {static_cast<void*>(&bogus), foreign, static_cast<void*>(nullptr)})
        EXPECT_EQ(vrProgram_Execute_Dynamic_Expression(rig.P(), code, nullptr, result), 0);
    EXPECT_EQ(vrProgram_Execute_Dynamic_Expression(rig.P(), sum, nullptr, nullptr), 0);
    EXPECT_EQ(vrProgram_Execute_Dynamic_Expression_Boolean(rig.P(), truth, nullptr, nullptr), 0);
    EXPECT_EQ(vrProgram_Execute_Dynamic_Expression(nullptr, sum, nullptr, result), 0);

    // A syntax error hands out the compiler's text, or nothing.
    char* error = nullptr;
    int32_t length = 0;
    EXPECT_EQ(vrProgram_Compile_Dynamic_Expression(rig.P(), "(1 + ", -1, &error, &length), nullptr);
    EXPECT_EQ(Take(error, length), "Mismatched Parenetheses in Expression");
    EXPECT_EQ(vrProgram_Compile_Dynamic_Expression(rig.P(), "(1 + ", -1, nullptr, nullptr), nullptr);
    EXPECT_EQ(vrProgram_Compile_Dynamic_Expression(rig.P(), nullptr, 2, &error, &length), nullptr);
    EXPECT_EQ(error, nullptr);
    vrVariable_Free(result);
    EXPECT_FALSE(rig.P()->Aborted()) << rig.sink.text;
}

TEST(HostProgramTest, RequestSettingsSessionIdsAndFatalErrors) {
    HostRig rig;
    EXPECT_EQ(vrProgram_SetLanguage(rig.P(), "fr-ca", 2), 0);
    EXPECT_EQ(vrProgram_SetDefaultLanguage(rig.P(), "de", -1), 0);
    EXPECT_EQ(vrProgram_SetDefaultDatabase(rig.P(), "sql", -1), 0);
    EXPECT_STREQ(rig.app.Language().Text(), "fr");
    EXPECT_STREQ(rig.app.DefaultLanguage().Text(), "de");
    EXPECT_STREQ(rig.app.DefaultDatabase().Text(), "sql");
    EXPECT_EQ(vrProgram_SetLanguage(rig.P(), nullptr, 1), -1);
    EXPECT_EQ(vrProgram_SetLanguage(nullptr, "x", 1), -1);

    rig.app.settings.SetInteger(kConfigGlobalTimeout, 5);
    EXPECT_EQ(vrProgram_ResetGlobalTimeout(rig.P()), 0);
    EXPECT_GT(rig.app.GlobalDeadline(), 0);
    EXPECT_EQ(vrProgram_SSL_Function(rig.P(), "SSL_new"), nullptr);

    // The runner's ids come from the kernel: 32 hexadecimal digits, never twice.
    CommandLineApplication runner(nullptr);
    std::set<std::string> ids;
    for (int i = 0; i < 50; ++i) {
        int32_t length = 0;
        std::string id = Take(runner.MakeSessionID(&length), length);
        EXPECT_EQ(id.size(), 32u);
        EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), 50u);
    int32_t length = 0;
    EXPECT_EQ(Take(vrProgram_MakeSessionID(rig.P(), &length), length), "0123456789abcdef0123456789abcdef");
    EXPECT_EQ(vrProgram_MakeSessionID(nullptr, &length), nullptr);
    EXPECT_EQ(length, 0);

    EXPECT_EQ(vrProgram_FatalError(rig.P(), "Library gave up", -1), 0);
    EXPECT_TRUE(rig.P()->Aborted());
    EXPECT_NE(rig.sink.text.find("Fatal error in sub/t.vrc @ "), std::string::npos) << rig.sink.text;
    EXPECT_NE(rig.sink.text.find("Library gave up"), std::string::npos);
    EXPECT_EQ(vrProgram_FatalError(nullptr, "x", 1), -1);
}

TEST(HostProgramTest, SystemLibrariesByNameAndTheirExports) {
    HostRig rig;
    rig.app.systems.RegisterLibrary("part", VORN_FIXTURE_PARTIALHOST);
    VornSystemLibrary* library = vrProgram_SystemLibrary(rig.P(), "PART");
    ASSERT_NE(library, nullptr);
    EXPECT_EQ(vrProgram_SystemLibrary(rig.P(), "part"), library);
    EXPECT_NE(vrSystemLibrary_GetFunction(library, "partial_last_double"), nullptr);
    EXPECT_EQ(vrSystemLibrary_GetFunction(library, "nothing"), nullptr);
    int32_t length = 0;
    const char* text = vrSystemLibrary_Error(rig.P(), library, &length);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text, static_cast<size_t>(length)).rfind("Unknown symbol 'nothing': ", 0), 0u);

    EXPECT_EQ(vrProgram_SystemLibrary(rig.P(), "absent"), nullptr);
    text = vrSystemLibrary_Error(rig.P(), nullptr, &length);
    EXPECT_EQ(std::string(text, static_cast<size_t>(length)), "System library 'absent' is not configured");
    EXPECT_EQ(vrSystemLibrary_Error(nullptr, nullptr, &length), nullptr);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(vrProgram_SystemLibrary(rig.P(), nullptr), nullptr);
    EXPECT_EQ(vrSystemLibrary_GetFunction(nullptr, "x"), nullptr);
}

} // namespace
} // namespace vorn
