#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

#include "engine/values/Variable.h"
#include "engine/vm/Database.h"
#include "engine/vm/DatabaseRegistry.h"
#include "tests/engine/vm/VmCoreHarness.h"

namespace vorn::test {
namespace {

class VmCoreTest : public ::testing::Test {
  protected:
    // Runs the main segment in the VM's first frame, so its stack can be read.
    int Run() {
        InspectableVM& vm = h.vm ? *h.vm : h.Make();
        return vm.Execute();
    }
    bool Failed(const char* message) {
        std::string expected = std::string(": ") + message + "\n";
        return h.vm->Aborted() && h.sink.text.size() >= expected.size() &&
               h.sink.text.compare(h.sink.text.size() - expected.size(), std::string::npos, expected) == 0;
    }
    VmHarness h;
};

TEST_F(VmCoreTest, ShortSegmentsEndAtOnce) {
    EXPECT_EQ(Run(), 1); // no bytes
    h.Code().Byte(0x02);
    h.Make();
    EXPECT_EQ(Run(), 1); // one byte: fewer than two remain
    EXPECT_EQ(h.vm->CurrentStack()->Depth(), 0);
    EXPECT_TRUE(h.sink.text.empty());
}

TEST_F(VmCoreTest, JumpsMoveWithinTheSegmentOnly) {
    // jmp 0 continues; a jump onto the very end ends normally.
    h.Code().Op(Op_jmp, 0).Op(Op_pushi, 1).Op(Op_jmp, 6).Op(Op_pushi, 2);
    EXPECT_EQ(Run(), 1);
    ASSERT_EQ(h.vm->CurrentStack()->Depth(), 1);
    EXPECT_EQ(h.vm->CurrentStack()->Peek(0)->value.integer, 1);

    // Backwards, relative to the end of the jump: 0 jmp 8; 6 pushf; 16 exit;
    // 18 pushi 2; 24 jmp -24 (back to 6).
    VmHarness g;
    g.Code().Op(Op_jmp, 12).OpDouble(Op_pushf, 0.5).Op(Op_exit).Op(Op_pushi, 2).Op(Op_jmp, -24);
    InspectableVM& vm = g.Make();
    EXPECT_EQ(vm.Execute(), 1);
    ASSERT_EQ(vm.CurrentStack()->Depth(), 2);
    EXPECT_EQ(vm.CurrentStack()->Peek(1)->value.integer, 2);
    EXPECT_EQ(vm.CurrentStack()->Peek(0)->value.number, 0.5);

    struct {
        int32_t displacement;
    } bad[] = {{-13}, {-1000}, {3}, {INT32_MAX}, {INT32_MIN}};
    for (const auto& b : bad) {
        VmHarness k;
        k.Code().Op(Op_pushi, 0).Op(Op_jmp, b.displacement).Op(Op_noop);
        InspectableVM& v = k.Make();
        EXPECT_EQ(v.Execute(), 0) << b.displacement;
        EXPECT_EQ(k.sink.text, "Fatal error in prog.vrc @ [00000000:00000006]: Jump outside of the segment\n")
            << b.displacement;
    }
}

TEST_F(VmCoreTest, HostileWordsAreFatalErrors) {
    struct Case {
        std::vector<uint8_t> bytes;
        const char* message;
    } cases[] = {
        {{0x02, 0x40, 0x01, 0x00}, "Instruction runs past the end of the segment"},  // pushi, 2 of 4 bytes
        {{0x03, 0x80, 0, 0, 0, 0, 0, 0}, "Instruction runs past the end of the segment"}, // pushf, 6 of 8
        {{0x08, 0x50, 1, 0, 0, 0, 2, 0}, "Instruction runs past the end of the segment"}, // pushdc, B cut
        {{0x16, 0xc0}, "Illegal Instruction"},  // kind bits 11 on add
        {{0x00, 0xf0}, "Illegal Instruction"},  // both kinds 11
        {{0x01, 0x00}, "Illegal Instruction"},  // unlisted core word
        {{0x0f, 0x02}, "Illegal Instruction"},  // gap in the database words
        {{0x00, 0x03}, "Illegal Instruction"},  // fused group without immediates
        {{0x00, 0x02}, "Stack underflow"},      // dbopen pops its operands first, once
        {{0x45, 0x00}, "Stack underflow"},      // op_do_file pops its name first
        {{0x06, 0x41, 0, 0, 0, 0}, "Stack underflow"},     // pop3 pops its four texts first
        {{0x0a, 0x41, 0, 0, 0, 0}, "Stack underflow"},     // op_smtp: five operands, one report
        {{0x0b, 0x01}, "Invalid instruction"},              // op_smtp_end without an open message
        {{0x08, 0x01}, "Invalid instruction"},              // pop3delete outside a loop
    };
    for (const Case& c : cases) {
        VmHarness k;
        CodeWriter w = k.Code();
        for (uint8_t b : c.bytes) w.Byte(b);
        InspectableVM& vm = k.Make();
        EXPECT_EQ(vm.Execute(), 0) << c.message;
        EXPECT_EQ(k.sink.text, std::string("Fatal error in prog.vrc @ [00000000:00000000]: ") + c.message + "\n");
        EXPECT_TRUE(vm.Aborted());
    }
}

TEST_F(VmCoreTest, ExitEndsTheRunAndEveryMachineSharingTheFlag) {
    h.Code().Op(Op_pushi, 1).Op(Op_exit).Op(Op_pushi, 2);
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(h.vm->CurrentStack()->Depth(), 1);
    EXPECT_TRUE(h.vm->ExitRequested());
    EXPECT_EQ(h.app.ExitRequested(), 1);
    EXPECT_EQ(h.vm->Execute(), 1); // the flag stays set

    // A sub-program given no flags of its own shares its parent's.
    VmHarness p;
    p.Code().Op(Op_pushi, 1);
    InspectableVM& parent = p.Make();
    {
        InspectableVM child("sub.vrc", -1, &p.app, &p.pool, &p.system, &p.global, &p.segments, &p.functions,
                            nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &parent);
        EXPECT_EQ(parent.ChildCount(), 1u);
        EXPECT_TRUE(child.ProgramDirectory().IsEmpty());
        child.RequestExit();
        EXPECT_TRUE(parent.ExitRequested());
    }
    EXPECT_EQ(parent.ChildCount(), 0u);
    EXPECT_EQ(parent.Execute(), 1);
    EXPECT_EQ(parent.CurrentStack()->Depth(), 0);
}

TEST_F(VmCoreTest, TimeOutAndAbortEndTheLoop) {
    h.Code().Op(Op_pushi, 1);
    InspectableVM& vm = h.Make();
    h.app.TimedOutPlace()->store(1);
    EXPECT_EQ(vm.Execute(), 0);
    EXPECT_EQ(vm.Execute(), 0);
    EXPECT_EQ(h.sink.text, "Application timed out"); // once
    EXPECT_EQ(vm.CurrentStack()->Depth(), 0);

    // Already aborted: no time-out text.
    VmHarness k;
    k.Code().Op(Op_pushi, 1);
    InspectableVM& a = k.Make();
    a.FatalError("first");
    k.sink.text.clear();
    k.app.TimedOutPlace()->store(1);
    EXPECT_EQ(a.Execute(), 0);
    EXPECT_EQ(k.sink.text, "");

    // Aborted and not timed out: nothing runs.
    VmHarness m;
    m.Code().Op(Op_pushi, 1);
    InspectableVM& b = m.Make();
    b.SetAborted();
    EXPECT_EQ(b.Execute(), 0);
    EXPECT_EQ(b.CurrentStack()->Depth(), 0);
}

TEST_F(VmCoreTest, SegmentSwitchesAndNestedRuns) {
    Segment* second = h.segments.AddSegment();
    CodeWriter(second).Op(Op_pushi, 7).Op(Op_pushi, 0);
    h.Code().Op(Op_pushi, 1).Op(Op_pushi, 2);
    InspectableVM& vm = h.Make();

    // A nested run leaves its results on the given stack and puts the
    // machine back where it was.
    vm.pc = 6;
    VornVM_Stack results(&vm);
    EXPECT_EQ(vm.RunSegment(second, &results, nullptr), 1);
    EXPECT_EQ(results.Depth(), 2);
    EXPECT_EQ(vm.pc, 6);
    EXPECT_EQ(vm.SegmentIndex(), 0);
    EXPECT_EQ(vm.codeLength, 12);
    EXPECT_EQ(vm.Execute(), 1);
    EXPECT_EQ(vm.CurrentStack()->Depth(), 1); // only the second pushi of main ran

    bool truth = true;
    EXPECT_EQ(vm.EvaluateBoolean(second, &results, nullptr, &truth), 1);
    EXPECT_FALSE(truth); // the top was 0
    const char* text = nullptr;
    int32_t n = 0;
    bool owned = false;
    EXPECT_EQ(vm.EvaluateString(second, nullptr, nullptr, &text, &n, nullptr, &owned), 1);
    EXPECT_EQ(std::string(text, static_cast<size_t>(n)), "0");
    if (owned) std::free(const_cast<char*>(text));
    EXPECT_EQ(vm.RunSegment(nullptr, nullptr, nullptr), 0);
    EXPECT_TRUE(Failed("Invalid segment reference"));

    // A segment index that the manager does not hold.
    VmHarness k;
    k.Code().Op(Op_pushi, 1);
    InspectableVM& bad = k.Make();
    bad.segmentIndex = 9;
    EXPECT_EQ(bad.Execute(), 0);
    EXPECT_EQ(k.sink.text, "Fatal error in prog.vrc @ [00000009:00000000]: Invalid segment reference\n");
}

TEST_F(VmCoreTest, RandomBytecodeNeverCrashes) {
    std::mt19937 random(20240601);
    for (int32_t round = 0; round < 400; ++round) {
        VmHarness k;
        for (const char* text : {"a", "b", "g.x", "s.y", "12", "1.5", "abc", "arr[2]"}) k.Pool(text);
        for (int i = 0; i < 4; ++i) k.global.AddNameText(k.pool.Get(i), 1);
        CodeWriter w = k.Code();
        int32_t count = 1 + static_cast<int32_t>(random() % 40);
        for (int32_t i = 0; i < count; ++i) {
            uint16_t word;
            if (random() % 8 == 0)
                word = static_cast<uint16_t>(random());
            else
                word = InstructionAt(static_cast<int32_t>(random() % kInstructionCount))->word;
            if (word == Op_exit && random() % 2) word = Op_noop;
            w.Put16(word);
            for (ImmediateKind kind : {ImmediateKindA(word), ImmediateKindB(word)}) {
                if (kind == ImmediateKind::Integer) {
                    const InstructionInfo* info = FindInstruction(word);
                    int32_t value = static_cast<int32_t>(random() % 12) - 2;
                    if (random() % 10 == 0) value = static_cast<int32_t>(random());
                    // Forward jumps only, so every program ends.
                    if (info && info->a == OperandKind::Jump) value = static_cast<int32_t>(random() % 16);
                    w.Put32(value);
                } else if (kind == ImmediateKind::Double) {
                    w.Double(random() % 2 ? 1e300 : -0.5);
                }
            }
        }
        if (random() % 4 == 0) w.Byte(0x40); // a word cut in half
        InspectableVM& vm = k.Make();
        int result = vm.RunCurrentSegment();
        EXPECT_TRUE(result == 0 || result == 1);
        EXPECT_TRUE(result == 1 || vm.Aborted() || vm.ExitRequested());
    }
}

// ---- Names and databases -------------------------------------------------------

class FakeView : public DatabaseView {
  public:
    using DatabaseView::DatabaseView;
    int Close() override { return 1; }
    int Skip(int32_t) override { return 0; }
    int SkipFiltered(int32_t) override { return 0; }
    int Go(int32_t) override { return 0; }
    int GoFiltered(int32_t) override { return 0; }
    int Find(const DatabaseText&, int32_t) override { return 0; }
    int FindFiltered(const DatabaseText&, int32_t) override { return 0; }
    int Add() override { return 0; }
    int Delete() override { return 0; }
    int Undelete() override { return 0; }
    int Update() override { return 0; }
    int SetFilter(VornVM*, const DatabaseText&) override { return 0; }
    int RevealStructureToDatabase(const DatabaseText&) override { return 0; }
    int RevealStructureToAggregate(Variable**) override { return 0; }
    void ResetVariables(int32_t) override {}
};

class FakeDatabase : public Database {
  public:
    FakeDatabase(VornApplication* app, VornVM* vm, const char* name, std::string* log)
        : Database(app, vm, const_cast<char*>(name), -1, 0, nullptr), closes(log) {}
    int Open(const DatabaseText&, const DatabaseText&, const DatabaseText&, const DatabaseText&,
             const DatabaseText&) override {
        return 1;
    }
    int Close() override {
        closes->append(Name().Text()).append(";");
        return 1;
    }
    int Create(const DatabaseText&, const DatabaseText&, const DatabaseText&) override { return 0; }
    int SetIndexes(VornVM*, const DatabaseText&) override { return 0; }
    int SetPrimaryIndexes(const DatabaseText&) override { return 0; }
    int MakeIndex(VornVM*, const DatabaseText&, const DatabaseText&, const DatabaseText&) override { return 0; }
    int Pack() override { return 0; }
    int Reindex() override { return 0; }
    int OpenView(const DatabaseText&, const DatabaseText&, VariableList*, int32_t) override { return 0; }
    int CloseView(const DatabaseText&) override { return 0; }
    int RunQuery(const DatabaseText&, VariableList*, int32_t) override { return 0; }
    int Commit() override { return 0; }
    int Rollback() override { return 0; }
    int Transact() override { return 0; }
    int Command(const DatabaseText&, const DatabaseText&) override { return 0; }
    std::string* closes;
    int32_t ViewSlots() const { return viewTable.Used(); }
};

// A view with one field of that name and value.
FakeView* ViewWith(VmHarness& k, Database* db, const char* alias, const char* field, int32_t value) {
    auto* view = new FakeView(&k.app, k.vm.get(), db, String(alias));
    view->Variables().Insert(new Variable(field, -1, value));
    db->AddView(view);
    return view;
}

TEST_F(VmCoreTest, NamesResolveThroughTheScopesInOrder) {
    InspectableVM& vm = h.Make();
    int32_t both = h.system.AddNameText("BOTH", -1);
    h.system.Index(both, true)->SetValue("system", -1);
    h.global.SetVariable("both", -1, "global", -1);

    EXPECT_TRUE(vm.LookupVariableOrFail("Both", -1)->Value().Equals("system"));
    EXPECT_TRUE(vm.LookupVariableOrFail("g.both", -1)->Value().Equals("global"));
    Variable* fresh = vm.LookupVariableOrFail("global.fresh", -1);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(vm.LookupVariableOrFail("fresh", -1), fresh);
    EXPECT_EQ(vm.LookupVariableOrFail("s.missing", -1), vm.NullVariable());
    EXPECT_EQ(vm.LookupVariableOrFail("x.d.field", -1), vm.NullVariable()); // no database open
    EXPECT_EQ(vm.LookupVariableOrFail("l.here", -1), vm.LookupVariableOrFail("g.here", -1)); // top frame: globals
    EXPECT_FALSE(vm.Aborted());

    Variable* out = nullptr;
    String error;
    EXPECT_FALSE(vm.LookupVariable(&out, "g.arr[abc]", -1, &error));
    EXPECT_EQ(out, nullptr);
    EXPECT_TRUE(error.Equals("Array index must be positive integer"));
    EXPECT_EQ(vm.LookupVariableOrFail("g.arr[abc]", -1), nullptr);
    EXPECT_TRUE(Failed("Array index must be positive integer"));
}

TEST_F(VmCoreTest, DatabaseRegistryResolvesFieldsAndClosesOnce) {
    InspectableVM& vm = h.Make();
    DatabaseRegistry& registry = DatabaseRegistry::Of(vm);
    std::string closes;
    h.global.SetVariable("amount", -1, "global", -1);
    auto* orders = new FakeDatabase(&h.app, &vm, "orders", &closes);
    FakeView* first = ViewWith(h, orders, "ord", "amount", 12);
    registry.Add(orders);
    auto* stock = new FakeDatabase(&h.app, &vm, "stock", &closes);
    ViewWith(h, stock, "ORD", "qty", 3); // the same alias in another database
    registry.Add(stock);
    EXPECT_EQ(vm.UseCount(), 2);
    EXPECT_EQ(registry.Primary(), stock);
    EXPECT_EQ(registry.Find("ORDERS", -1), orders);

    EXPECT_EQ(vm.LookupVariableOrFail("ord.d.amount", -1)->ValueInteger(), 12);
    EXPECT_EQ(vm.LookupVariableOrFail("Ord.Database.amount", -1)->ValueInteger(), 12);
    EXPECT_EQ(vm.LookupVariableOrFail("d.qty", -1)->ValueInteger(), 3);
    EXPECT_EQ(vm.LookupVariableOrFail("amount", -1)->ValueInteger(), 12); // before the global
    EXPECT_EQ(vm.LookupVariableOrFail("nope.d.amount", -1), vm.NullVariable());

    // Removing one of two same-named views leaves the other findable.
    orders->RemoveView(first);
    EXPECT_EQ(registry.FindView("ord", -1)->GetDatabase(), stock);
    EXPECT_TRUE(vm.LookupVariableOrFail("amount", -1)->Value().Equals("global"));

    registry.MakePrimary(orders);
    EXPECT_EQ(registry.Primary(), orders);
    registry.Remove(stock);
    EXPECT_EQ(registry.Find("stock", -1), nullptr);
    EXPECT_EQ(registry.Databases().Count(), 1);
    delete stock;
    EXPECT_EQ(registry.FindView("ord", -1), nullptr);
    EXPECT_EQ(vm.UseCount(), 1);

    h.vm.reset(); // closes what is open, then deletes it
    EXPECT_EQ(closes, "orders;");
}

// A script opening and closing views in a loop, one view kept open: the view
// tables stay the size of what is open, and every name still finds its view.
TEST_F(VmCoreTest, ViewTablesStaySmallWhileViewsComeAndGo) {
    InspectableVM& vm = h.Make();
    DatabaseRegistry& registry = DatabaseRegistry::Of(vm);
    std::string closes;
    auto* db = new FakeDatabase(&h.app, &vm, "db", &closes);
    registry.Add(db);
    FakeView* kept = ViewWith(h, db, "kept", "k", 1);
    for (int i = 0; i < 5000; ++i) {
        std::string alias = "v" + std::to_string(i % 7);
        FakeView* passing = ViewWith(h, db, alias.c_str(), "p", i);
        ASSERT_EQ(registry.FindView(alias.c_str(), -1), passing);
        db->RemoveView(passing);
    }
    EXPECT_LE(registry.Views().Used(), 1024);
    EXPECT_LE(db->ViewSlots(), 1024);
    EXPECT_EQ(registry.FindView("kept", -1), kept);
    EXPECT_EQ(db->FindView("KEPT", -1), kept);
    EXPECT_EQ(registry.FindView("v3", -1), nullptr);
    EXPECT_EQ(vm.LookupVariableOrFail("kept.d.k", -1)->ValueInteger(), 1);
    h.vm.reset();
}

TEST_F(VmCoreTest, DatabaseNamesAndErrorTexts) {
    InspectableVM& vm = h.Make();
    std::string closes;
    char* adopted = static_cast<char*>(std::malloc(8));
    std::memcpy(adopted, "sales", 6);
    int adopt = 1;
    FakeDatabase db(&h.app, &vm, "x", &closes);
    FakeView view(&h.app, &vm, &db, adopted, 5, 8, &adopt);
    EXPECT_EQ(adopt, 0); // taken over, not copied
    EXPECT_TRUE(view.Name().Equals("sales"));
    db.SetErrorText(String("broken"));
    db.SetErrorText(String(""));
    db.SetErrorText(String());
    EXPECT_TRUE(db.ErrorText().Equals("broken"));
    view.AttachFilter(&vm, 5);
    EXPECT_TRUE(view.HasFilter());
    EXPECT_EQ(vm.UseCount(), 2); // the database and the filter
    view.AttachFilter(nullptr, 0);
    EXPECT_EQ(vm.UseCount(), 1);
}

} // namespace
} // namespace vorn::test
