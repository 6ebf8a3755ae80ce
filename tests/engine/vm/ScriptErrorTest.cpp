#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/values/Variable.h"
#include "engine/vm/TagErrors.h"
#include "tests/engine/vm/VmCoreHarness.h"

namespace vorn::test {
namespace {

class ScriptErrorTest : public ::testing::Test {
  protected:
    std::string Global(const char* name) {
        Variable* v = nullptr;
        if (!h.global.Find(&v, name, -1, false) || !v) return "<none>";
        return std::string(v->Value().Text(), static_cast<size_t>(v->Value().Length()));
    }
    VmHarness h;
};

TEST_F(ScriptErrorTest, FatalErrorTextIsExact) {
    InspectableVM& vm = h.Make();
    vm.sourceFile = h.Pool("main.vr");
    vm.line = 12;
    vm.segmentIndex = 0x2a;
    vm.instructionStart = 0x1c;
    vm.SetMessagePrefix("PFX ", -1);
    EXPECT_EQ(vm.FatalError("Boom"), 0);
    const char* expected = "PFX Fatal error in prog.vrc @ [0000002a:0000001c]: main.vr: Line 12: Boom\n";
    EXPECT_EQ(h.sink.text, expected);
    EXPECT_TRUE(vm.LastError().Equals(expected));
    EXPECT_TRUE(vm.Aborted());

    // No file, no line, empty message: the line is still complete.
    VmHarness k;
    InspectableVM& bare = k.Make();
    bare.FatalError("");
    EXPECT_EQ(k.sink.text, "Fatal error in prog.vrc @ [00000000:00000000]: \n");

    // A source-file index the pool does not hold gives an empty name.
    VmHarness m;
    InspectableVM& odd = m.Make();
    odd.sourceFile = 999;
    odd.line = -3;
    odd.FatalError("x");
    EXPECT_EQ(m.sink.text, "Fatal error in prog.vrc @ [00000000:00000000]: Line -3: x\n");
}

TEST_F(ScriptErrorTest, TagSettingsDecideDisplayAndAbort) {
    for (uint32_t setting = 0; setting < 4; ++setting) {
        VmHarness k;
        InspectableVM& vm = k.Make();
        vm.TagErrorRow(kTagOpen)->setting = setting;
        vm.line = 4;
        EXPECT_EQ(vm.RuntimeError(kTagOpen, "cannot open"), 0);
        std::string shown = (setting & 1) ? "Runtime error in prog.vrc @ [00000000:00000000]: Line 4: VrOPEN: cannot open\n"
                                          : "";
        EXPECT_EQ(k.sink.text, shown) << setting;
        EXPECT_EQ(vm.Aborted(), (setting & 2) != 0) << setting;
        Variable* v = nullptr;
        ASSERT_TRUE(k.global.Find(&v, "VrOPEN_Error", -1, false));
        EXPECT_TRUE(v->Value().Equals("cannot open")) << setting;
        EXPECT_TRUE(vm.LastError().Equals(
            "Runtime error in prog.vrc @ [00000000:00000000]: Line 4: VrOPEN: cannot open\n"));
    }
}

TEST_F(ScriptErrorTest, FramesHideRuntimeErrorsButNotFatalOnes) {
    InspectableVM& vm = h.Make();
    vm.frame->flags = 3;
    vm.RuntimeError(kTagOpen, "hidden");
    EXPECT_EQ(h.sink.text, "");
    EXPECT_EQ(Global("VrOPEN_Error"), "hidden");
    vm.FatalError("shown");
    EXPECT_EQ(h.sink.text, "Fatal error in prog.vrc @ [00000000:00000000]: shown\n");

    // A non-fatal report after a fatal one does not revive the run.
    vm.frame->flags = 7;
    vm.RuntimeError(kTagOpen, "later");
    EXPECT_TRUE(vm.Aborted());

    // Ids beyond the table: shown, fatal, no tag name and no variable.
    for (int32_t id : {76, 1000, -1}) {
        VmHarness k;
        InspectableVM& v = k.Make();
        v.RuntimeError(id, "odd");
        EXPECT_EQ(k.sink.text, "Runtime error in prog.vrc @ [00000000:00000000]: odd\n") << id;
        EXPECT_TRUE(v.Aborted());
        EXPECT_EQ(k.global.Count(), 0);
    }
    // Settings 0 of the built-in table: silent, not fatal.
    VmHarness s;
    InspectableVM& quiet = s.Make();
    quiet.RuntimeError(54, "skipped");
    EXPECT_EQ(s.sink.text, "");
    EXPECT_FALSE(quiet.Aborted());
}

TEST_F(ScriptErrorTest, TagErrorEncodesAndClearTagErrorEmpties) {
    InspectableVM& vm = h.Make();
    vm.TagError(kTagOpen, "<a & \"b\" (c)>");
    const char* encoded = "&lt;a &amp; &quot;b&quot; &#40;c&#41;&gt;";
    EXPECT_EQ(h.sink.text, std::string("Runtime error in prog.vrc @ [00000000:00000000]: VrOPEN: ") + encoded + "\n");
    EXPECT_EQ(Global("VrOPEN_Error"), encoded);
    vm.ClearTagError(kTagOpen);
    EXPECT_EQ(Global("VrOPEN_Error"), "");
    vm.ClearTagError(kTagFilter); // never set: nothing happens
    vm.ClearTagError(500);
    EXPECT_EQ(Global("VrFILTER_Error"), "<none>");
    EXPECT_FALSE(vm.Aborted());
}

TEST_F(ScriptErrorTest, TheTableAndItsCopies) {
    const TagErrorEntry* rows = BuiltInTagErrors();
    for (int32_t i = 0; i < 63; ++i) {
        EXPECT_EQ(rows[i].id, static_cast<uint32_t>(i));
        ASSERT_NE(rows[i].tagName, nullptr);
        if (i != 62) {
            EXPECT_EQ(std::string(rows[i].errorVariable), std::string(rows[i].tagName) + "_Error");
        }
    }
    for (int32_t i = 63; i < kTagErrorRows; ++i) {
        EXPECT_EQ(rows[i].id, 0u);
        EXPECT_EQ(rows[i].tagName, nullptr);
        EXPECT_EQ(rows[i].setting, 0u);
    }
    EXPECT_STREQ(rows[62].tagName, "(in expression)");
    EXPECT_STREQ(rows[62].errorVariable, "VrEXPRESSION_Error");
    EXPECT_STREQ(rows[25].tagName, "VrLOCALIZED-TOKEN");
    uint32_t expected[] = {3, 3, 1, 3, 1, 3, 3, 3, 1, 3, 1, 1, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 1, 1, 1, 1,
                           3, 1, 1, 1, 1, 1, 1, 3, 1, 1, 1, 1, 1, 1, 1, 1, 3, 3, 3, 3, 1, 1, 0, 1, 1, 1, 1, 1, 0, 0, 3};
    for (int32_t i = 0; i < 63; ++i) EXPECT_EQ(rows[i].setting, expected[i]) << rows[i].tagName;

    // Each VM copies the request's table; its own changes stay its own.
    TagErrorTable request;
    request.SetSetting(kTagOpen, 0);
    request.SetSetting(kTagErrorRows, 3); // ignored
    EXPECT_EQ(request.FindTag("vropen", -1), &request.rows[kTagOpen]);
    EXPECT_EQ(request.FindTag("VrNOTHING", -1), nullptr);
    InspectableVM& vm = h.Make(nullptr, &request);
    EXPECT_EQ(vm.TagErrorRow(kTagOpen)->setting, 0u);
    vm.TagErrorRow(kTagOpen)->setting = 3;
    EXPECT_EQ(request.rows[kTagOpen].setting, 0u);
    InspectableVM child("sub.vrc", -1, &h.app, &h.pool, &h.system, &h.global, &h.segments, &h.functions, nullptr,
                        nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &vm);
    EXPECT_EQ(child.TagErrorRow(kTagOpen)->setting, 0u);
    EXPECT_EQ(child.TagErrorRow(kTagErrorRows), nullptr);
}

// The error rows and the tag names are one list of ids: each row's name is
// a name of its tag (the expression's row aside), so an error setting given
// by that name reaches the row.
TEST_F(ScriptErrorTest, EveryRowIsItsTagsUnderTheTagsName) {
    TagLookup lookup;
    int named = 0;
    for (int32_t i = 0; i < kTagErrorRows; ++i) {
        const TagErrorEntry& row = BuiltInTagErrors()[i];
        if (!row.tagName || row.id == kTagExpression) continue;
        const TagNameRow* tag = lookup.Find(row.tagName, -1);
        ASSERT_NE(tag, nullptr) << row.tagName;
        EXPECT_EQ(tag->tagId, row.id) << row.tagName;
        ++named;
    }
    EXPECT_EQ(named, static_cast<int>(kTagExpression));
}

TEST_F(ScriptErrorTest, ErrorsAreTracedThroughTheLogFilter) {
    InspectableVM& vm = h.Make();
    vm.sourceFile = h.Pool("main.vr");
    vm.line = 3;
    vm.FatalError("untraced");
    EXPECT_EQ(h.app.logCalls, 0);

    VmHarness k;
    InspectableVM& traced = k.Make();
    traced.sourceFile = k.Pool("main.vr");
    traced.line = 3;
    traced.SetTraceFlags(LogFatalError | LogRuntimeError);
    traced.RuntimeError(kTagOpen, "r");
    EXPECT_EQ(k.app.lastEvent, static_cast<uint32_t>(LogRuntimeError));
    EXPECT_EQ(k.app.loggedFields, 5); // program, file, line, tag, message
    traced.FatalError("f");
    EXPECT_EQ(k.app.lastEvent, static_cast<uint32_t>(LogFatalError));
    EXPECT_EQ(k.app.loggedFields, 4); // program, file, line, text
    k.app.ParseLogFilter("!main.vr:1-5");
    traced.FatalError("filtered");
    EXPECT_EQ(k.app.logCalls, 2);
}

TEST_F(ScriptErrorTest, ExpressionErrorsFollowTheirSetting) {
    // elem with index 0 reports tag 62 "(in expression)".
    h.global.AddNameText("arr", -1);
    h.Code().Op(Op_pushg, 0).Op(Op_pushi, 0).Op(Op_elem).Op(Op_pushi, 5);
    InspectableVM& vm = h.Make();
    EXPECT_EQ(vm.Execute(), 0);
    EXPECT_EQ(h.sink.text, "Runtime error in prog.vrc @ [00000000:0000000c]: (in expression): "
                           "Array index must be positive integer\n");
    EXPECT_EQ(Global("VrEXPRESSION_Error"), "Array index must be positive integer");

    VmHarness k;
    k.global.AddNameText("arr", -1);
    k.Code().Op(Op_tagerror, kTagExpression, 0).Op(Op_pushg, 0).Op(Op_pushi, 0).Op(Op_elem).Op(Op_pushi, 5);
    InspectableVM& quiet = k.Make();
    EXPECT_EQ(quiet.Execute(), 1);
    EXPECT_EQ(k.sink.text, "");
    EXPECT_FALSE(quiet.Aborted());
}

} // namespace
} // namespace vorn::test
