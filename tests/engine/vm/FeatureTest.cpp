#include <gtest/gtest.h>

#include <string>

#include "engine/vm/Feature.h"
#include "tests/engine/vm/VmCoreHarness.h"

namespace vorn::test {
namespace {

// Records its ticks and its deletion in a shared log.
class TestFeature : public Feature {
  public:
    TestFeature(VornVM* vm, int32_t kind, char name, std::string* journal)
        : Feature(vm->Application(), vm, kind), id(name), log(journal) {}
    ~TestFeature() override { log->append({'~', id}); }
    void Tick() override { log->append({'t', id}); }
    char id;
    std::string* log;
};

// Its external functions open two features in the calling frame.
class FeatureOpeningVM : public InspectableVM {
  public:
    using InspectableVM::InspectableVM;
    int CallExternalFunction(Function*) override {
        PushFeature(new TestFeature(this, kFeatureCall, 'x', log));
        PushFeature(new TestFeature(this, kFeatureCapture, 'y', log));
        stack->PushInteger(0);
        return 1;
    }
    std::string* log = nullptr;
};

class FeatureTest : public ::testing::Test {
  protected:
    VmHarness h;
    std::string log;
};

TEST_F(FeatureTest, TheInnermostOfAKindIsFoundAndRemovedAlone) {
    InspectableVM& vm = h.Make();
    auto* a = new TestFeature(&vm, kFeatureCall, 'a', &log);
    auto* b = new TestFeature(&vm, kFeatureCapture, 'b', &log);
    auto* c = new TestFeature(&vm, kFeatureCall, 'c', &log);
    EXPECT_EQ(a->frame, vm.CurrentFrame());
    EXPECT_EQ(a->error.Length(), 0);
    vm.PushFeature(a);
    vm.PushFeature(b);
    vm.PushFeature(c);
    EXPECT_EQ(vm.FindFeature(kFeatureCall), c);
    EXPECT_EQ(vm.FindFeature(kFeatureCapture), b);
    EXPECT_EQ(vm.FindFeature(kFeatureSmtp), nullptr);

    vm.RemoveFeature(c);
    EXPECT_EQ(log, "~c");
    EXPECT_EQ(vm.FindFeature(kFeatureCall), a);
    TestFeature stray(&vm, kFeatureCall, 's', &log); // never pushed
    vm.RemoveFeature(&stray);
    EXPECT_EQ(vm.FeatureCount(), 2);

    // Whatever is still open goes with the machine, each exactly once.
    h.vm.reset();
    EXPECT_EQ(log, "~c~b~a");
}

TEST_F(FeatureTest, ReleasingAFrameTakesAllItsFeatures) {
    InspectableVM& vm = h.Make();
    VornVM_Frame mine;
    VornVM_Frame other;
    const char order[] = "ABCDE";
    VornVM_Frame* owners[] = {&mine, &other, &mine, &mine, &other};
    for (int i = 0; i < 5; ++i) {
        auto* f = new TestFeature(&vm, kFeatureImport, order[i], &log);
        f->frame = owners[i];
        vm.PushFeature(f);
    }
    vm.ReleaseFrameFeatures(&mine);
    EXPECT_EQ(log, "~D~C~A");
    EXPECT_EQ(vm.FeatureCount(), 2);
    EXPECT_EQ(vm.FindFeature(kFeatureImport)->frame, &other);
    vm.ReleaseFeaturesAbove(1);
    EXPECT_EQ(log, "~D~C~A~E");
    vm.ReleaseFeaturesAbove(-4);
    EXPECT_EQ(vm.FeatureCount(), 0);
}

TEST_F(FeatureTest, AReturningFunctionLeavesNoFeatureBehind) {
    // main: call f; pop; exit.   f (offset 10): call ext; pop; pushi 1; ret.
    h.Code().Op(Op_call, 0).Op(Op_pop).Op(Op_exit).Op(Op_call, 1).Op(Op_pop).Op(Op_pushi, 1).Op(Op_ret);
    ASSERT_NE(h.functions.AddFunction("f", -1, 0, 0, 10), nullptr);
    ASSERT_NE(h.functions.AddExternal("ext", -1, 0), nullptr);
    FeatureOpeningVM vm("prog.vrc", -1, &h.app, &h.pool, &h.system, &h.global, &h.segments, &h.functions, nullptr,
                        nullptr, nullptr, nullptr, nullptr, h.app.TickCounterPlace(), h.app.TimedOutPlace(),
                        h.app.ExitRequestedPlace(), nullptr);
    vm.log = &log;
    vm.PushFeature(new TestFeature(&vm, kFeatureLockfile, 'm', &log)); // the main frame's
    EXPECT_EQ(vm.Execute(), 1) << h.sink.text;
    EXPECT_EQ(h.sink.text, "");
    EXPECT_EQ(log, "~y~x");
    EXPECT_EQ(vm.FeatureCount(), 1);
    EXPECT_NE(vm.FindFeature(kFeatureLockfile), nullptr);
}

TEST_F(FeatureTest, TicksReachTheParentFirstOncePerChange) {
    h.Code().Op(Op_noop).Op(Op_noop).Op(Op_noop);
    InspectableVM& parent = h.Make();
    parent.PushFeature(new TestFeature(&parent, kFeatureLockfile, 'P', &log));
    {
        InspectableVM child("sub.vrc", -1, &h.app, &h.pool, &h.system, &h.global, &h.segments, &h.functions, nullptr,
                            nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &parent);
        child.PushFeature(new TestFeature(&child, kFeatureLockfile, 'C', &log));
        child.PushFeature(new TestFeature(&child, kFeatureCapture, 'D', &log));
        EXPECT_EQ(child.Execute(), 1);
        EXPECT_EQ(log, ""); // the counter did not move
        h.app.TickCounterPlace()->fetch_add(1);
        child.pc = 0;
        EXPECT_EQ(child.Execute(), 1);
        EXPECT_EQ(log, "tPtDtC"); // once, parent first, then top down
    }
    EXPECT_EQ(log, "tPtDtC~D~C");
}

} // namespace
} // namespace vorn::test
