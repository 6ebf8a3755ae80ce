#include <gtest/gtest.h>

#include <string>

#include "host/plugin/CommerceLibrary.h"
#include "tests/host/plugin/CommerceSupport.h"

namespace vorn {
namespace {

using test::CommerceRig;

// One block: the body prints b and counts its runs; after the block the
// system variable the library set.
std::string OneBlock(const std::string& method, const std::string& request, const std::string& names = "a, b") {
    return ".system commerce_status\n"
           ".global a b count\n"
           ".segment main entry\n"
           "    storegi count, 0\n"
           "    pushc \"" + method + "\"\n"
           "    pushc \"" + request + "\"\n"
           "    pushc \"" + names + "\"\n"
           "    op_commerce @done\n"
           "body:\n"
           "    incg count, 1\n"
           "    pushg b\n"
           "    out\n"
           "    op_commerce_loop @body\n"
           "done:\n"
           "    pushc \"|\"\n"
           "    out\n"
           "    pushs commerce_status\n"
           "    out\n"
           ".end\n";
}

TEST(CommerceTest, BothLibraryStylesRunTheBodyOncePerPass) {
    struct Case {
        const char* fixture;
        char style;
    };
    // The descriptor wins over the four exports when a library has both.
    for (Case c : {Case{VORN_FIXTURE_COMMERCEDESCRIPTOR, 'D'}, Case{VORN_FIXTURE_COMMERCEFUNCTIONS, 'F'}}) {
        SCOPED_TRACE(c.fixture);
        CommerceRig rig;
        ExternalLibrary* library = rig.Prepare(c.fixture);
        ASSERT_EQ(rig.manager->RegisterLibrary("Pay", c.fixture), 1);
        std::string s(1, c.style);

        // Method names match in any case; the library sees the script's text.
        ASSERT_EQ(rig.Run(OneBlock("pAY", "passes=2")), 1) << rig.lastError;
        EXPECT_EQ(rig.sink.text, "pass0pass1|started");
        EXPECT_EQ(rig.Global("count"), "2");
        EXPECT_EQ(rig.Global("a"), "approved"); // fields are references to the script's variables
        EXPECT_EQ(CommerceRig::Log(library), "init:" + s + ":pAY:2 loop:" + s + ":pAY:0 loop:" + s + ":pAY:1 loop:" +
                                                 s + ":pAY:2 cleanup:" + s + ":pAY:ok");
        EXPECT_EQ(rig.Global("VrCOMMERCE_Error"), "<none>");

        // Finished on the first call: the body never runs, cleanup still comes.
        rig.Prepare(c.fixture);
        ASSERT_EQ(rig.Run(OneBlock("pay", "passes=0"), 0, true), 1) << rig.lastError;
        EXPECT_EQ(rig.sink.text, "|started");
        EXPECT_EQ(rig.Global("count"), "0");
        EXPECT_EQ(CommerceRig::Log(library), "init:" + s + ":pay:2 loop:" + s + ":pay:0 cleanup:" + s + ":pay:ok");

        // One pass, and an empty field list.
        rig.Prepare(c.fixture);
        ASSERT_EQ(rig.Run(OneBlock("pay", "passes=1", "")), 1) << rig.lastError;
        EXPECT_EQ(rig.Global("count"), "1");
        EXPECT_EQ(CommerceRig::Log(library), "init:" + s + ":pay:0 loop:" + s + ":pay:0 loop:" + s +
                                                 ":pay:1 cleanup:" + s + ":pay:ok");
        EXPECT_EQ(CommerceRig::Count(library, "fixture_commerce_live_states"), 0);
        EXPECT_EQ(rig.loader->LibraryCount(), 1);
        EXPECT_EQ(CommerceRig::Count(library, "fixture_commerce_registrations"), 1);
    }
}

TEST(CommerceTest, FailedInitReportsTheLibraryTextSkipsTheBlockAndCleansUpOnce) {
    CommerceRig rig;
    ExternalLibrary* library = rig.Prepare(VORN_FIXTURE_COMMERCEFUNCTIONS);
    rig.manager->RegisterLibrary("pay", VORN_FIXTURE_COMMERCEFUNCTIONS);

    // Neither shown nor fatal: the run goes on after the block, the text is
    // entity-encoded in the error variable.
    ASSERT_EQ(rig.Run(OneBlock("pay", "init=fail;error=card <declined>;passes=3")), 1) << rig.lastError;
    EXPECT_EQ(rig.sink.text, "|");
    EXPECT_EQ(rig.Global("count"), "0");
    EXPECT_EQ(rig.Global("VrCOMMERCE_Error"), "card &lt;declined&gt;");
    EXPECT_EQ(CommerceRig::Log(library), "init:F:pay:2 error:F:pay cleanup:F:pay:ok");
    EXPECT_EQ(CommerceRig::Count(library, "fixture_commerce_live_states"), 0);

    // The default setting shows the error and ends the run; cleanup all the same.
    rig.Prepare(VORN_FIXTURE_COMMERCEFUNCTIONS);
    EXPECT_EQ(rig.Run(OneBlock("pay", "init=fail"), kTagErrorDisplay | kTagErrorFatal), 0);
    EXPECT_NE(rig.lastError.find("VrCOMMERCE: declined &lt;by bank&gt;"), std::string::npos) << rig.lastError;
    EXPECT_EQ(CommerceRig::Log(library), "init:F:pay:2 error:F:pay cleanup:F:pay:ok");
    EXPECT_EQ(CommerceRig::Count(library, "fixture_commerce_live_states"), 0);
}

TEST(CommerceTest, LoopFailureEndsTheBlockWithATagError) {
    CommerceRig rig;
    ExternalLibrary* library = rig.Prepare(VORN_FIXTURE_COMMERCEDESCRIPTOR);
    rig.manager->RegisterLibrary("pay", VORN_FIXTURE_COMMERCEDESCRIPTOR);

    // Failing at the end of the first body run.
    ASSERT_EQ(rig.Run(OneBlock("pay", "passes=5;failat=1")), 1) << rig.lastError;
    EXPECT_EQ(rig.sink.text, "pass0|started");
    EXPECT_EQ(rig.Global("VrCOMMERCE_Error"), "declined &lt;by bank&gt;");
    EXPECT_EQ(CommerceRig::Log(library),
              "init:D:pay:2 loop:D:pay:0 loop:D:pay:1 error:D:pay cleanup:D:pay:ok");
    EXPECT_EQ(rig.openFeatures, 0);

    // Failing on the first call, with an empty text: still a non-empty error.
    rig.Prepare(VORN_FIXTURE_COMMERCEDESCRIPTOR);
    ASSERT_EQ(rig.Run(OneBlock("pay", "failat=0;error=-")), 1) << rig.lastError;
    EXPECT_EQ(rig.Global("count"), "0");
    EXPECT_EQ(rig.Global("VrCOMMERCE_Error"), "Commerce method 'pay' failed");
    EXPECT_EQ(CommerceRig::Log(library), "init:D:pay:2 loop:D:pay:0 error:D:pay cleanup:D:pay:ok");

    // A fatal setting ends the run there.
    rig.Prepare(VORN_FIXTURE_COMMERCEDESCRIPTOR);
    EXPECT_EQ(rig.Run(OneBlock("pay", "passes=5;failat=2"), kTagErrorFatal), 0);
    EXPECT_EQ(rig.sink.text, "pass0pass1");
    EXPECT_EQ(CommerceRig::Count(library, "fixture_commerce_live_states"), 0);
}

TEST(CommerceTest, MethodAndLibraryFailuresSkipTheBlock) {
    struct Case {
        const char* path;
        std::string error; // "" for the loader's own (non-empty) text
    };
    const std::string bind = kCommerceBindError;
    const Case cases[] = {
        {nullptr, "Commerce method 'pay' is unsupported or not configured"},
        {"/nonexistent/commerce.so", ""},
        {VORN_FIXTURE_COMMERCENULLDESCRIPTOR, bind},
        {VORN_FIXTURE_COMMERCEMISSINGENTRY, bind},
        {VORN_FIXTURE_COMMERCEEMPTYENTRY, bind},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path ? c.path : "(none)");
        CommerceRig rig;
        ExternalLibrary* library = c.path && !c.error.empty() ? rig.Prepare(c.path) : nullptr;
        rig.manager->RegisterLibrary(c.path ? "PAY" : "other", c.path ? c.path : "/x.so");
        ASSERT_EQ(rig.Run(OneBlock("pay", "passes=2")), 1) << rig.lastError;
        EXPECT_EQ(rig.sink.text, "|");
        std::string error = rig.Global("VrCOMMERCE_Error");
        if (c.error.empty()) {
            EXPECT_NE(error, "<none>");
            EXPECT_FALSE(error.empty());
        } else {
            EXPECT_EQ(error, c.error);
        }
        if (library) {
            EXPECT_EQ(CommerceRig::Log(library), ""); // nothing was called
        }

        // Not remembered: the next use tries again and fails the same way.
        EXPECT_EQ(rig.manager->FindForMethod("pay", 3), nullptr);
        if (!c.error.empty()) {
            EXPECT_EQ(std::string(rig.manager->ErrorText().Text()), c.error);
        }
    }
}

TEST(CommerceTest, NestedBlocksActOnTheInnermost) {
    CommerceRig rig;
    ExternalLibrary* library = rig.Prepare(VORN_FIXTURE_COMMERCEFUNCTIONS);
    rig.manager->RegisterLibrary("outer", VORN_FIXTURE_COMMERCEFUNCTIONS);
    rig.manager->RegisterLibrary("inner", VORN_FIXTURE_COMMERCEFUNCTIONS);
    // The inner block stops itself on its first run; the outer runs twice.
    const char* source = ".global a b\n"
                         ".segment main entry\n"
                         "    pushc \"outer\"\n"
                         "    pushc \"passes=2\"\n"
                         "    pushc \"a\"\n"
                         "    op_commerce @outerDone\n"
                         "outerBody:\n"
                         "    pushc \"inner\"\n"
                         "    pushc \"passes=9\"\n"
                         "    pushc \"b\"\n"
                         "    op_commerce @innerDone\n"
                         "innerBody:\n"
                         "    pushc \"i\"\n"
                         "    out\n"
                         "    op_commerce_stop @innerDone\n"
                         "    op_commerce_loop @innerBody\n"
                         "innerDone:\n"
                         "    pushc \"o\"\n"
                         "    out\n"
                         "    op_commerce_loop @outerBody\n"
                         "outerDone:\n"
                         ".end\n";
    ASSERT_EQ(rig.Run(source), 1) << rig.lastError;
    EXPECT_EQ(rig.sink.text, "ioio");
    EXPECT_EQ(CommerceRig::Log(library),
              "init:F:outer:1 loop:F:outer:0 "
              "init:F:inner:1 loop:F:inner:0 cleanup:F:inner:ok "
              "loop:F:outer:1 "
              "init:F:inner:1 loop:F:inner:0 cleanup:F:inner:ok "
              "loop:F:outer:2 cleanup:F:outer:ok");
    EXPECT_EQ(CommerceRig::Count(library, "fixture_commerce_live_states"), 0);
}

TEST(CommerceTest, LoopOrStopWithoutAnOpenBlockIsInvalid) {
    for (const char* word : {"op_commerce_loop 0", "op_commerce_stop 0"}) {
        CommerceRig rig;
        std::string source = std::string(".segment main entry\n    ") + word + "\n    pushc \"after\"\n    out\n.end\n";
        EXPECT_EQ(rig.Run(source), 0) << word;
        EXPECT_NE(rig.lastError.find("Invalid instruction"), std::string::npos) << rig.lastError;
        EXPECT_EQ(rig.sink.text.find("after"), std::string::npos);
    }
}

TEST(CommerceTest, OpenTransactionsEndWithTheirFunctionOrTheRun) {
    CommerceRig rig;
    ExternalLibrary* library = rig.Prepare(VORN_FIXTURE_COMMERCEDESCRIPTOR);
    rig.manager->RegisterLibrary("pay", VORN_FIXTURE_COMMERCEDESCRIPTOR);
    rig.manager->RegisterLibrary("marker", VORN_FIXTURE_COMMERCEDESCRIPTOR);
    // A function returns from inside two open blocks; both end with it,
    // before the caller's next block starts.
    const char* returning = ".segment main entry\n"
                            "    call buy\n"
                            "    pop\n"
                            "    pushc \"marker\"\n"
                            "    pushc \"\"\n"
                            "    pushc \"\"\n"
                            "    op_commerce @markerDone\n"
                            "markerDone:\n"
                            "    exit\n"
                            ".function buy()\n"
                            "    pushc \"pay\"\n"
                            "    pushc \"passes=9\"\n"
                            "    pushc \"\"\n"
                            "    op_commerce @payDone\n"
                            "    pushc \"pay\"\n"
                            "    pushc \"passes=9\"\n"
                            "    pushc \"\"\n"
                            "    op_commerce @payDone\n"
                            "    pushc \"r\"\n"
                            "    ret\n"
                            "payDone:\n"
                            "    retn\n"
                            ".end\n";
    ASSERT_EQ(rig.Run(returning), 1) << rig.lastError;
    EXPECT_EQ(CommerceRig::Log(library),
              "init:D:pay:0 loop:D:pay:0 init:D:pay:0 loop:D:pay:0 cleanup:D:pay:ok cleanup:D:pay:ok "
              "init:D:marker:0 loop:D:marker:0 cleanup:D:marker:ok");

    // exit or a fatal error inside a block: the transaction ends with the
    // run, exactly once.
    for (const char* ending : {"    exit\n", "    call boom\n"}) {
        rig.Prepare(VORN_FIXTURE_COMMERCEDESCRIPTOR);
        std::string source = std::string(".segment main entry\n"
                                         "    call buy\n"
                                         "    exit\n"
                                         ".function buy()\n"
                                         "    pushc \"pay\"\n"
                                         "    pushc \"passes=9\"\n"
                                         "    pushc \"\"\n"
                                         "    op_commerce @done2\n") +
                             ending +
                             "done2:\n"
                             "    retn\n"
                             ".function boom()\n"
                             "    .word 0x00ff\n"
                             ".end\n";
        EXPECT_EQ(rig.Run(source), ending[4] == 'e' ? 1 : 0) << rig.lastError;
        EXPECT_EQ(CommerceRig::Log(library), "init:D:pay:0 loop:D:pay:0 cleanup:D:pay:ok") << ending;
        EXPECT_EQ(CommerceRig::Count(library, "fixture_commerce_live_states"), 0);
    }
}

TEST(CommerceTest, ScriptCalledBackByTheLibraryCannotEndItsTransaction) {
    CommerceRig rig;
    ExternalLibrary* library = rig.Prepare(VORN_FIXTURE_COMMERCEDESCRIPTOR);
    rig.manager->RegisterLibrary("pay", VORN_FIXTURE_COMMERCEDESCRIPTOR);
    // hook() runs while the loop entry is on the stack and tries to stop the
    // block the entry belongs to.
    const char* source = ".global hooked\n"
                         ".segment main entry\n"
                         "    pushc \"pay\"\n"
                         "    pushc \"passes=3;callback=hook;callbackat=1\"\n"
                         "    pushc \"\"\n"
                         "    op_commerce @done\n"
                         "body:\n"
                         "    op_commerce_loop @body\n"
                         "done:\n"
                         "    exit\n"
                         ".function hook()\n"
                         "    storegi hooked, 1\n"
                         "    op_commerce_stop 0\n"
                         "    retn\n"
                         ".end\n";
    EXPECT_EQ(rig.Run(source), 0);
    EXPECT_NE(rig.lastError.find("Invalid instruction"), std::string::npos) << rig.lastError;
    EXPECT_EQ(rig.Global("hooked"), "1");
    EXPECT_EQ(CommerceRig::Log(library), "init:D:pay:0 loop:D:pay:0 loop:D:pay:1 cleanup:D:pay:ok");
    EXPECT_EQ(CommerceRig::Count(library, "fixture_commerce_live_states"), 0);
}

TEST(CommerceTest, ManagerListsItsMethodsInRegistrationOrder) {
    test::TestApplication app;
    CommerceLibraryManager manager(&app);
    EXPECT_EQ(manager.ConfiguredLibraryCount(), 0);
    EXPECT_EQ(manager.ConfiguredLibraryName(0, nullptr), nullptr);
    manager.RegisterLibrary("Visa", "/a.so");
    manager.RegisterLibrary("amex", "/b.so");
    manager.RegisterLibrary("VISA", "/c.so");
    ASSERT_EQ(manager.ConfiguredLibraryCount(), 3);
    int32_t length = -1;
    EXPECT_STREQ(manager.ConfiguredLibraryName(1, &length), "amex");
    EXPECT_EQ(length, 4);
    EXPECT_STREQ(manager.ConfiguredLibraryName(2, nullptr), "VISA");
    EXPECT_EQ(manager.ConfiguredLibraryName(3, nullptr), nullptr);
    EXPECT_EQ(manager.ConfiguredLibraryName(-1, nullptr), nullptr);
    EXPECT_TRUE(manager.IsLibraryConfigured("visa", -1));
    EXPECT_TRUE(manager.IsLibraryConfigured("AMEXX", 4));
    EXPECT_FALSE(manager.IsLibraryConfigured("mastercard", -1));
    // Without a loader the first registration of a name is what fails to load.
    EXPECT_EQ(manager.FindForMethod("visa", -1), nullptr);
    EXPECT_STREQ(manager.ErrorText().Text(), "Unable to load commerce library '/a.so'");
}

} // namespace
} // namespace vorn
