// The binding unit in a plug-in: what registration binds, what its
// forwarders pass on, and scripts calling a plug-in that calls the host.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "engine/app/ExternalLibrary.h"
#include "host/plugin/VornHost.h"
#include "platform/Modules.h"
#include "tests/host/plugin/HostInterfaceSupport.h"

namespace vorn {
namespace {

using test::HostRig;

const std::vector<std::string>& NewerNames() {
    static const std::vector<std::string> names = {
#define NAME(result, name, parameters, arguments) #name,
        VORN_HOST_VR_FUNCTIONS(NAME)
#undef NAME
    };
    return names;
}

template <class T> T Symbol(ExternalLibrary* library, const char* name) {
    void* address = library ? library->GetSymbol(name) : nullptr;
    EXPECT_NE(address, nullptr) << name;
    return reinterpret_cast<T>(address);
}

// The fixture's registration entry and its test exports.
struct Fixture {
    explicit Fixture(HostRig& rig) : library(rig.app.loader.Load(VORN_FIXTURE_HOSTINTERFACELIBRARY)) {}
    ExternalLibrary* library;
    VornRegisterLibrary Register() { return Symbol<VornRegisterLibrary>(library, "vorn_register_library"); }
    int32_t Bound() { return Symbol<int32_t (*)()>(library, "fixture_bound_count")(); }
    int32_t IsBound(const std::string& name) {
        return Symbol<int32_t (*)(const char*)>(library, "fixture_is_bound")(name.c_str());
    }
    int32_t OlderBound() { return Symbol<int32_t (*)()>(library, "fixture_older_bound_count")(); }
    int32_t CallUnbound() { return Symbol<int32_t (*)()>(library, "fixture_call_unbound")(); }
    int32_t ForwardDouble(VornVariable* v, double value) {
        return Symbol<int32_t (*)(VornVariable*, double)>(library, "fixture_forward_double")(v, value);
    }
    void ExpectFullyBound() {
        for (const std::string& name : NewerNames())
            EXPECT_TRUE(IsBound(name)) << name << " was not bound";
        EXPECT_EQ(Bound(), 155);
    }
};

TEST(HostBindingTest, RegistrationBindsEveryNameTheHostExports) {
    ASSERT_EQ(NewerNames().size(), 155u);
    HostRig rig(test::kDefaultProgram, "sub/t.vrc", true);
    Fixture fixture(rig);
    ASSERT_NE(fixture.library, nullptr);
    fixture.ExpectFullyBound();
    EXPECT_EQ(fixture.OlderBound(), 62);
    // Binding again gives the same table.
    fixture.Register()(platform::HostModule());
    fixture.ExpectFullyBound();
    // The library's own rows, as the request's function libraries find them.
    VornExternalFunction* row = vrProgram_Lookup_ExternalFunction(rig.P(), "HI_CODEC", -1);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(std::string(row->name, static_cast<size_t>(row->length)), "hi_codec");
    EXPECT_EQ(row->parameterCount, 2);
    EXPECT_EQ(vrProgram_Lookup_ExternalFunction(rig.P(), "hi_codecs", 8), row);
}

TEST(HostBindingTest, MissingNamesStayEmptyAndForwardersPassDoublesUnchanged) {
    HostRig rig(test::kDefaultProgram, "sub/t.vrc", true);
    Fixture fixture(rig);
    void* partial = dlopen(VORN_FIXTURE_PARTIALHOST, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(partial, nullptr) << dlerror();
    fixture.Register()(partial);
    EXPECT_EQ(fixture.Bound(), 2);
    EXPECT_EQ(fixture.IsBound("vrVariable_SetValue_Double"), 1);
    EXPECT_EQ(fixture.OlderBound(), 0);
    // Empty entries answer their type's zero without calling anything.
    EXPECT_EQ(fixture.CallUnbound(), 1);
    EXPECT_EQ(fixture.ForwardDouble(nullptr, 0.1), 7); // the partial host's own answer
    auto last = reinterpret_cast<double (*)()>(dlsym(partial, "partial_last_double"));
    EXPECT_EQ(last(), 0.1);

    fixture.Register()(nullptr);
    EXPECT_EQ(fixture.Bound(), 0);
    fixture.Register()(platform::HostModule());
    fixture.ExpectFullyBound();
    VornVariable* v = vrVariable_Allocate(nullptr, 0, nullptr, 0);
    EXPECT_EQ(fixture.ForwardDouble(v, 0.1), 0);
    EXPECT_EQ(vrVariable_Value_Double(v), 0.1);
    vrVariable_Free(v);
    dlclose(partial);
}

TEST(HostBindingTest, TheSharedLibraryIsAHostToo) {
    HostRig rig(test::kDefaultProgram, "sub/t.vrc", true);
    Fixture fixture(rig);
    void* shared = dlopen(VORN_VORNVMIIS, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(shared, nullptr) << dlerror();
    fixture.Register()(shared);
    fixture.ExpectFullyBound();
    EXPECT_EQ(fixture.OlderBound(), 62);
    auto allocate = reinterpret_cast<decltype(&vrVariable_Allocate)>(dlsym(shared, "vrVariable_Allocate"));
    auto value =
        reinterpret_cast<decltype(&vrVariable_Value_Double)>(dlsym(shared, "vrVariable_Value_Double"));
    auto release = reinterpret_cast<decltype(&vrVariable_Free)>(dlsym(shared, "vrVariable_Free"));
    ASSERT_TRUE(allocate && value && release);
    // Its own copy of the host, not this program's.
    EXPECT_NE(reinterpret_cast<void*>(allocate), reinterpret_cast<void*>(&vrVariable_Allocate));
    VornVariable* v = allocate("d", 1, nullptr, 0);
    EXPECT_EQ(fixture.ForwardDouble(v, 0.1), 0);
    EXPECT_EQ(value(v), 0.1);
    release(v);
    fixture.Register()(platform::HostModule());
}

TEST(HostBindingTest, RegistrationAgainWhileOtherRunsCallThrough) {
    // Each request that loads a library registers it again, while the runs
    // that loaded it earlier call the host through it (the thread sanitizer
    // watches the table).
    HostRig rig(test::kDefaultProgram, "sub/t.vrc", true);
    Fixture fixture(rig);
    auto bind = Symbol<void (*)(void*)>(fixture.library, "fixture_bind");
    auto forward = Symbol<int32_t (*)(VornVariable*, double)>(fixture.library, "fixture_forward_double");
    ASSERT_TRUE(bind && forward);
    std::atomic<int32_t> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            VornVariable* v = vrVariable_Allocate(nullptr, 0, nullptr, 0);
            for (int i = 0; i < 200; ++i) {
                if (t % 2 == 0) bind(platform::HostModule());
                if (forward(v, i + 0.5) != 0 || vrVariable_Value_Double(v) != i + 0.5) ++wrong;
            }
            vrVariable_Free(v);
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    fixture.ExpectFullyBound();
}

// The library's functions, called from assembled scripts.
constexpr char kHeader[] = R"(
.extern hi_output(a)
.extern hi_codec(a, b)
.extern hi_expr(a)
.extern hi_run(a, b)
.extern hi_sleep(a)
.extern hi_persist(a)
.extern hi_double()
.extern hi_older()
.extern hi_file(a, b)
.global n, e, d
.segment main entry
)";

constexpr char kFooter[] = R"(
    exit
.function twice(x)
    pushl x
    pushl x
    cat
    ret
.function again(x)
    pushc "again"
    pushl x
    call hi_run
    ret
.end
)";

TEST(HostBindingTest, ScriptsReachTheHostThroughTheLibrary) {
    struct Case {
        const char* body;
        std::string output; // after the program has gone
    };
    const Case cases[] = {
        {" pushc \"hi\"\n call hi_output\n out\n", "hi21"},
        {" pushc \"ae\"\n pushc \"a b/c\"\n call hi_codec\n out\n", "a+b%2Fc"},
        {" pushc \"ed\"\n pushc \"&#40;x&#41;&amp\"\n call hi_codec\n out\n", "(x)&"},
        {" pushc \"ee\"\n pushc \"<\\\"\"\n call hi_codec\n out\n", "&lt;&quot;"},
        {" storegi n, 4\n pushc \"n * 3 + 1\"\n call hi_expr\n out\n", "13"},
        {" pushc \"(1\"\n call hi_expr\n out\n", "error:Mismatched Parenetheses in Expression"},
        {" pushc \"twice\"\n pushc \"ab\"\n call hi_run\n out\n", "ran:abab"},
        {" pushc \"missing\"\n pushc \"ab\"\n call hi_run\n out\n", "failed"},
        {" pushi 5\n call hi_sleep\n out\n", "258"},
        {" pushc \"k\"\n call hi_persist\n pushc \"K\"\n call hi_persist\n cat\n out\n", "12[released 2]"},
        {" call hi_double\n popg d\n pushg d\n out\n", "0.1"},
        {" call hi_older\n out\n", "http://h/p?a+b=x%26y&n=2|v"},
        {" pushc \"f.txt\"\n pushc \"abc\"\n call hi_file\n out\n", "3:cba:3"},
    };
    for (const Case& c : cases) {
        HostRig rig(std::string(kHeader) + c.body + kFooter, "sub/t.vrc", true);
        EXPECT_EQ(rig.Execute(), 1) << c.body << rig.sink.text;
        if (std::string(c.body).find("hi_double") != std::string::npos) {
            Variable* d = nullptr;
            ASSERT_TRUE(rig.program.globals.Find(&d, "d", -1, false) && d);
            EXPECT_EQ(d->ValueDouble(), 0.1);
        }
        if (std::string(c.body).find("hi_output") != std::string::npos) {
            EXPECT_EQ(rig.sink.headers, "X-Test: yes\n");
        }
        rig.vm.reset();
        EXPECT_EQ(rig.sink.text, c.output) << c.body;
    }
}

TEST(HostBindingTest, RecursionThroughTheLibraryEndsInTheNestingError) {
    const char* bodies[] = {
        // A script function calling the library calling the script function ...
        " pushc \"again\"\n pushc \"x\"\n call hi_run\n out\n",
        // ... and an expression calling the library that runs the expression.
        " pushc \"hi_expr(e)\"\n popg e\n pushg e\n call hi_expr\n out\n",
    };
    for (const char* body : bodies) {
        HostRig rig(std::string(kHeader) + body + kFooter, "sub/t.vrc", true);
        EXPECT_EQ(rig.Execute(), 0) << body;
        EXPECT_NE(rig.sink.text.find("Function call nesting too deep"), std::string::npos) << rig.sink.text;
    }
}

TEST(HostBindingTest, TheRunnerIsAHostForTheLibrary) {
    test::ScratchTree tree;
    int status = -1;
    std::string output = test::RunWithLibrary(tree,
                                              std::string(kHeader) +
                                                  " pushc \"ae\"\n pushc \"x y\"\n call hi_codec\n out\n"
                                                  " call hi_older\n out\n storegi n, 2\n pushc \"n * n\"\n"
                                                  " call hi_expr\n out\n" +
                                                  kFooter,
                                              &status);
    EXPECT_EQ(status, 0) << output;
    EXPECT_EQ(output, "x+yhttp://h/p?a+b=x%26y&n=2|v4");
}

} // namespace
} // namespace vorn
