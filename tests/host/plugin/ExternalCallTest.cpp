#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/app/PosixExternalLibrary.h"
#include "engine/values/Variable.h"
#include "engine/values/VariableList.h"
#include "host/plugin/ExternalCall.h"
#include "platform/Modules.h"
#include "tests/engine/app/TestApplication.h"
#include "tests/engine/vm/AssembledRun.h"
#include "tests/host/plugin/ExternalCallSupport.h"

namespace vorn {
namespace {

using test::AssembledRun;
using test::LibraryCounter;

// Counts how often the machine asks for a function.
class CountingManager : public ExternalCallManager {
  public:
    using ExternalCallManager::ExternalCallManager;
    ExternalCall* Lookup(const char* name, int32_t length) override {
        ++lookups;
        return ExternalCallManager::Lookup(name, length);
    }
    int32_t lookups = 0;
};

class ExternalCallTest : public ::testing::Test {
  protected:
    void SetUp() override {
        loader = new PosixExternalLibraryManager(&app, platform::HostModule());
        app.libraryManager = loader;
        manager = new CountingManager(&app);
    }
    void TearDown() override {
        delete manager;
        delete loader;
    }

    // Registers the main library and hands it the hooks.
    void RegisterMain() {
        ASSERT_EQ(manager->RegisterLibrary(VORN_FIXTURE_FUNCTIONLIBRARY), 1) << manager->ErrorText().Text();
        test::InstallHooks(loader->Load(VORN_FIXTURE_FUNCTIONLIBRARY));
    }

    test::TestApplication app;
    PosixExternalLibraryManager* loader = nullptr;
    CountingManager* manager = nullptr;
};

TEST_F(ExternalCallTest, RegistrationFailuresLeaveTheirText) {
    EXPECT_EQ(manager->RegisterLibrary("/nonexistent/library.so"), 0);
    EXPECT_FALSE(manager->ErrorText().IsEmpty());

    EXPECT_EQ(manager->RegisterLibrary(VORN_FIXTURE_NOREGISTER), 0);
    std::string text = manager->ErrorText().Text();
    EXPECT_EQ(text.rfind("Unknown symbol 'vorn_function_table': ", 0), 0u) << text;

    EXPECT_EQ(manager->RegisterLibrary(VORN_FIXTURE_FUNCTIONLIBRARYNULL), 0);
    EXPECT_STREQ(manager->ErrorText().Text(), "Unable to retrieve function descriptor table");
    EXPECT_EQ(manager->LibraryCount(), 0);
    EXPECT_EQ(manager->Lookup("add", -1), nullptr);
}

TEST_F(ExternalCallTest, LookupFollowsRegistrationOrderCaseAndLengthWord) {
    RegisterMain();
    ASSERT_EQ(manager->RegisterLibrary(VORN_FIXTURE_FUNCTIONLIBRARYSECOND), 1);
    test::InstallHooks(loader->Load(VORN_FIXTURE_FUNCTIONLIBRARYSECOND));

    // Both define add: the first registered serves it, in any letter case,
    // and the same object comes back every time.
    ExternalCall* add = manager->Lookup("ADD", -1);
    ASSERT_NE(add, nullptr);
    EXPECT_EQ(manager->Lookup("aDd", 3), add);
    EXPECT_EQ(add->ParameterCount(), 2);
    EXPECT_EQ(add->ParameterFlags(0), 0u);
    EXPECT_EQ(add->ParameterFlags(2), 0u); // past the last parameter
    VariableList arguments;
    arguments.InsertItem(new Variable("a", 1, 2), kListTail, false);
    arguments.InsertItem(new Variable("b", 1, 40), kListTail, false);
    EXPECT_EQ(add->Call(nullptr, &arguments), 1);
    EXPECT_EQ(add->Result()->ValueInteger(), 42); // not 1042: the second library's

    // The row's length word counts, not its text.
    EXPECT_NE(manager->Lookup("leng", 4), nullptr);
    EXPECT_EQ(manager->Lookup("lengthy", -1), nullptr);
    EXPECT_EQ(manager->Lookup("missing", -1), nullptr);
    EXPECT_EQ(manager->Lookup("", 0), nullptr);

    ExternalCall* assign = manager->Lookup("assign", -1);
    ASSERT_NE(assign, nullptr);
    EXPECT_EQ(assign->ParameterFlags(0), kExternalParameterByReference);
    EXPECT_EQ(assign->ParameterFlags(-1), 0u);
}

TEST_F(ExternalCallTest, ResultIsReusedUnlessSomeoneStillHoldsIt) {
    RegisterMain();
    ExternalCall* counter = manager->Lookup("counter", -1);
    ASSERT_NE(counter, nullptr);
    Variable* first = counter->Invoke(nullptr, nullptr); // held by us now
    EXPECT_EQ(first->ValueInteger(), 1);
    Variable* second = counter->Invoke(nullptr, nullptr);
    EXPECT_NE(second, first); // the held result kept its value
    EXPECT_EQ(first->ValueInteger(), 1);
    EXPECT_EQ(second->ValueInteger(), 2);
    first->Release();
    second->Release();
    Variable* kept = counter->Result();
    EXPECT_EQ(counter->Call(nullptr, nullptr), 1);
    EXPECT_EQ(counter->Result(), kept); // nobody held it: cleared in place
    EXPECT_EQ(kept->ValueInteger(), 3);
}

TEST_F(ExternalCallTest, CallDataIsReleasedOnceAndOnlyWhenSet) {
    RegisterMain();
    ExternalLibrary* library = loader->Load(VORN_FIXTURE_FUNCTIONLIBRARY);
    int32_t releasesBefore = LibraryCounter(library, "fixture_counter_releases");
    int32_t plainBefore = LibraryCounter(library, "fixture_plain_calls");
    ExternalCall* counter = manager->Lookup("counter", -1);
    ExternalCall* plain = manager->Lookup("plain", -1);
    ASSERT_TRUE(counter && plain);
    counter->Call(nullptr, nullptr);
    counter->Call(nullptr, nullptr);
    plain->Call(nullptr, nullptr);
    EXPECT_NE(counter->CallData(), nullptr);
    EXPECT_EQ(plain->CallData(), nullptr);

    // The manager goes first, while the library is still loaded.
    delete manager;
    manager = nullptr;
    EXPECT_EQ(LibraryCounter(library, "fixture_counter_releases"), releasesBefore + 1);
    EXPECT_EQ(LibraryCounter(library, "fixture_plain_calls"), plainBefore + 1); // no release call
}

int32_t releaseCalls = 0;
VornVM* releasedProgram = nullptr;
void* releasedData = nullptr;

void CountRelease(VornVM* program, void* data) {
    ++releaseCalls;
    releasedProgram = program;
    releasedData = data;
}

TEST_F(ExternalCallTest, PersistentDataIsReplacedAndReleasedExactlyOnce) {
    releaseCalls = 0;
    int first = 1, second = 2;
    auto* program = reinterpret_cast<VornVM*>(&first); // only handed back, never used
    manager->RegisterPersistent(program, "Session", -1, &first, CountRelease);
    EXPECT_EQ(manager->LookupPersistent("session", -1), &first);
    EXPECT_EQ(manager->LookupPersistent("SESSIONX", 7), &first); // length bounds the name
    EXPECT_EQ(manager->LookupPersistent("other", -1), nullptr);

    // Same name in another case: the first data is released before the second is kept.
    manager->RegisterPersistent(program, "SESSION", 7, &second, CountRelease);
    EXPECT_EQ(releaseCalls, 1);
    EXPECT_EQ(releasedData, &first);
    EXPECT_EQ(releasedProgram, program);
    EXPECT_EQ(manager->LookupPersistent("Session", -1), &second);

    // Data without a release function goes back to the object allocator
    // (the sanitizer checks that it is freed, and freed once).
    void* block = ObjectAllocate(64);
    ASSERT_NE(block, nullptr);
    std::memset(block, 0x5a, 64);
    manager->RegisterPersistent(nullptr, "block", -1, block, nullptr);
    manager->RegisterPersistent(nullptr, "", 0, ObjectAllocate(8), nullptr);
    EXPECT_NE(manager->LookupPersistent("", 0), nullptr);

    delete manager;
    manager = nullptr;
    EXPECT_EQ(releaseCalls, 2);
    EXPECT_EQ(releasedData, &second);
}

TEST_F(ExternalCallTest, ScriptsCallLibraryFunctionsWithValuesAndReferences) {
    RegisterMain();
    AssembledRun<> run(R"(
.extern add(a, b)
.extern concat(a, b)
.extern assign(&target, value)
.extern counter()
.global g, r
.segment main entry
    pushi 2
    pushi 40
    call add
    out
    pushc "-"
    pushc "ab"
    pushc "cd"
    call concat
    cat
    out
    pushg g
    pushc "set"
    call assign
    pop
    call counter            ; still on the stack while the next call runs
    call counter
    cat
    popg r
    pushi 1
    pushi 1
    call add
    pop
    exit
.end
)",
                       manager);
    EXPECT_EQ(run.Execute(), 1) << run.sink.text;
    EXPECT_EQ(run.sink.text, "42-abcd");
    EXPECT_EQ(run.Global("g"), "set");
    EXPECT_EQ(run.Global("r"), "12");
    // Resolved once, kept in the function for the second call.
    EXPECT_EQ(manager->lookups, 4);
    EXPECT_EQ(run.FunctionNamed("add")->external, manager->Lookup("add", -1));
    EXPECT_EQ(run.vm->CurrentStack()->Depth(), 0);
}

TEST_F(ExternalCallTest, CallFailuresAreFatalWithTheirMessages) {
    RegisterMain();
    struct Case {
        const char* source;
        const char* message;
    };
    const Case cases[] = {
        {".extern nothing()\n.segment m entry\n call nothing\n.end\n",
         "Unresolved call to external function 'nothing'"},
        {".extern add(a)\n.segment m entry\n pushi 1\n call add\n.end\n",
         "Number of parameters mismatch in call to external function"},
        {".extern add(&a, b)\n.global g\n.segment m entry\n pushg g\n pushi 1\n call add\n.end\n",
         "Parameter type mismatch in call to external function"},
        {".extern add(a, b:2)\n.segment m entry\n pushi 1\n pushi 1\n call add\n.end\n",
         "Parameter type mismatch in call to external function"},
        {".extern assign(target, value)\n.global g\n.segment m entry\n pushg g\n pushi 1\n call "
         "assign\n.end\n",
         "Parameter type mismatch in call to external function"},
        {".extern assign(&target, value)\n.segment m entry\n pushi 1\n pushi 1\n call assign\n.end\n",
         "Expected variable, found constant"},
        {".extern add(a, b)\n.segment m entry\n pushi 1\n call add\n.end\n", "Stack underflow"},
    };
    for (const Case& c : cases) {
        AssembledRun<> run(c.source, manager);
        EXPECT_EQ(run.Execute(), 0) << c.source;
        std::string expected = std::string("]: ") + c.message + "\n";
        EXPECT_NE(run.sink.text.find("Fatal error in t.vrc @ "), std::string::npos) << run.sink.text;
        EXPECT_NE(run.sink.text.find(expected), std::string::npos) << run.sink.text;
    }
    // Without function libraries nothing resolves.
    AssembledRun<> bare(".extern add(a, b)\n.segment m entry\n pushi 1\n pushi 1\n call add\n.end\n");
    EXPECT_EQ(bare.Execute(), 0);
    EXPECT_NE(bare.sink.text.find("Unresolved call to external function 'add'\n"), std::string::npos);
}

TEST_F(ExternalCallTest, ReenteredFunctionKeepsEachCallsArguments) {
    RegisterMain();
    AssembledRun<> run(R"(
.extern nest(text)
.segment main entry
    pushc "outer"
    call nest
    out
    exit
.function inner(x)
    pushl x
    call nest               ; the same function, while its outer call runs
    ret
.end
)",
                       manager);
    EXPECT_EQ(run.Execute(), 1) << run.sink.text;
    // The outer call sees its own argument before and after the nested one.
    EXPECT_EQ(run.sink.text, "outer:stop::stop:outer");
    EXPECT_EQ(manager->Lookup("nest", -1)->ActiveCalls(), 0);
}

TEST_F(ExternalCallTest, ExternalCallsAreTraced) {
    RegisterMain();
    AssembledRun<> run(".extern add(a, b)\n.segment m entry\n pushi 2\n pushi 40\n call add\n pop\n.end\n",
                       manager, 0xF00);
    EXPECT_EQ(run.Execute(), 1);
    std::vector<std::pair<uint32_t, std::string>> seen;
    for (const auto& e : run.app.events)
        seen.push_back({e.kind, e.text});
    EXPECT_EQ(seen, (std::vector<std::pair<uint32_t, std::string>>{
                        {0x100, "add"}, {0x200, "b|40"}, {0x200, "a|2"}, {0x400, "add|42"}, {0x800, "add"}}));
}

TEST_F(ExternalCallTest, CallDataOfAScriptRunIsReleasedOnceAfterTheMachine) {
    RegisterMain();
    ExternalLibrary* library = loader->Load(VORN_FIXTURE_FUNCTIONLIBRARY);
    int32_t before = LibraryCounter(library, "fixture_counter_releases");
    {
        AssembledRun<> run(
            ".extern counter()\n.segment m entry\n call counter\n call counter\n cat\n out\n.end\n", manager);
        EXPECT_EQ(run.Execute(), 1);
        EXPECT_EQ(run.sink.text, "12");
    }
    EXPECT_EQ(LibraryCounter(library, "fixture_counter_releases"), before);
    delete manager;
    manager = nullptr;
    EXPECT_EQ(LibraryCounter(library, "fixture_counter_releases"), before + 1);
}

} // namespace
} // namespace vorn
