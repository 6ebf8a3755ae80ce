#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/values/Variable.h"
#include "engine/vm/VornVMStack.h"
#include "tests/engine/vm/VmCoreHarness.h"

namespace vorn::test {
namespace {

char* Owned(const char* text) {
    size_t n = std::strlen(text);
    char* copy = static_cast<char*>(std::malloc(n + 1));
    std::memcpy(copy, text, n + 1);
    return copy;
}

std::string PopAll(VornVM_Stack& s) {
    int32_t n = 0;
    bool owned = false;
    const char* text = s.PopString(&n, nullptr, &owned);
    std::string result(text, static_cast<size_t>(n));
    if (owned) std::free(const_cast<char*>(text));
    return result;
}

class VmStackTest : public ::testing::Test {
  protected:
    void SetUp() override { h.Make(); }
    VornVM_Stack& S() { return *h.vm->CurrentStack(); }
    bool ErrorIs(const char* message) {
        std::string last(h.vm->LastError().Text());
        return last.size() > std::strlen(message) + 1 &&
               last.compare(last.size() - std::strlen(message) - 1, std::string::npos,
                            std::string(message) + "\n") == 0;
    }
    VmHarness h;
};

TEST_F(VmStackTest, CapacityAndUnderflowAreFatalErrors) {
    VornVM_Stack& s = S();
    EXPECT_EQ(s.Capacity(), 512);
    for (int32_t i = 0; i < 512; ++i) ASSERT_EQ(s.PushInteger(i), 1);
    EXPECT_FALSE(h.vm->Aborted());
    EXPECT_EQ(s.PushString(Owned("lost"), 4, 5, true), 0); // freed, not leaked
    EXPECT_TRUE(ErrorIs("Stack overflow"));
    EXPECT_TRUE(h.vm->Aborted());
    EXPECT_EQ(s.Depth(), 512);
    EXPECT_EQ(s.Dup(), 0);
    EXPECT_EQ(s.Depth(), 512);
    EXPECT_EQ(s.PopInteger(), 511);
    s.Clear();

    h.Make();
    VornVM_Stack& t = S();
    EXPECT_EQ(t.PopInteger(), 0);
    EXPECT_TRUE(ErrorIs("Stack underflow"));
    EXPECT_TRUE(h.vm->Aborted());
    int32_t n = 7;
    bool owned = true;
    const char* text = t.PopString(&n, nullptr, &owned);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(n, 0);
    EXPECT_FALSE(owned);
    Variable* v = reinterpret_cast<Variable*>(1);
    bool temp = true;
    EXPECT_EQ(t.PopVariable(&v, &temp), 0);
    EXPECT_EQ(v, nullptr);
    EXPECT_EQ(t.Discard(), 0);
    EXPECT_EQ(t.Swap(0, 0), 0);
    EXPECT_TRUE(ErrorIs("Stack underflow"));
}

TEST_F(VmStackTest, PopsConvertEveryEntryType) {
    VornVM_Stack& s = S();
    s.PushDouble(-2.7);
    EXPECT_EQ(s.PopInteger(), -2);
    s.PushDouble(1e300); // out of range: no UB, a fixed value
    EXPECT_EQ(s.PopInteger(), INT32_MIN);
    s.PushString("12", 2, 2, false);
    EXPECT_EQ(s.PopInteger(), 12);
    s.PushString("12a", 3, 3, false);
    EXPECT_EQ(s.PopInteger(), 0);
    s.PushString("2.5xyz", 3, 3, false); // only the first three bytes belong to the entry
    EXPECT_EQ(s.PopDouble(), 2.5);
    s.PushInteger(-7);
    EXPECT_EQ(PopAll(s), "-7");
    s.PushDouble(0.5);
    EXPECT_EQ(PopAll(s), "0.5");

    struct {
        const char* text;
        bool truth;
    } truths[] = {{"", false},   {"0", false},    {"00", false}, {"0.", false}, {".0", false},
                  {".", false},  {"0.0", false},  {"0.0.0", true}, {" 0", true}, {"abc", true}};
    for (const auto& t : truths) {
        s.PushString(t.text, -1, 0, false);
        EXPECT_EQ(s.PopBoolean(), t.truth) << '"' << t.text << '"';
    }
    s.PushDouble(0.0);
    EXPECT_FALSE(s.PopBoolean());
    s.PushInteger(3);
    EXPECT_TRUE(s.PopBoolean());

    Variable top("p", 1, "ToP", 3);
    Variable bottom("p", 1, "bottom", 6);
    Variable five("p", 1, 5);
    s.PushVariable(&five, false);
    s.PushVariable(&bottom, false);
    s.PushVariable(&top, false);
    EXPECT_EQ(s.PopPosition(), -1);
    EXPECT_EQ(s.PopPosition(), -2);
    EXPECT_EQ(s.PopPosition(), 5);

    s.PushString("a\0b\0c", 5, 5, false);
    int32_t n = 0, size = 0;
    char* c = s.PopCString(&n, &size);
    EXPECT_EQ(std::string(c, static_cast<size_t>(n)), "abc");
    std::free(c);

    s.PushString("", 0, 0, false);
    EXPECT_TRUE(s.PopIsEmpty());
    s.PushInteger(0);
    EXPECT_FALSE(s.PopIsEmpty());
    EXPECT_FALSE(h.vm->Aborted());
}

TEST_F(VmStackTest, TemporaryVariablesAreReleasedExactlyOnce) {
    VornVM_Stack& s = S();
    Variable target("x", 1);
    int64_t before = Variable::LiveCount();

    // A temporary nobody else holds: the caller gets an owned copy.
    s.PushVariable(new Variable("t", 1, "hello", 5), true);
    int32_t n = 0;
    bool owned = false;
    const char* text = s.PopString(&n, nullptr, &owned);
    EXPECT_TRUE(owned);
    EXPECT_EQ(std::string(text, 5), "hello");
    std::free(const_cast<char*>(text));
    EXPECT_EQ(Variable::LiveCount(), before);

    // A variable held elsewhere: its own text is lent.
    Variable* kept = new Variable("k", 1, "kept", 4);
    kept->AddReference();
    s.PushVariable(kept, true);
    text = s.PopString(&n, nullptr, &owned);
    EXPECT_FALSE(owned);
    EXPECT_EQ(text, kept->Value().Text());
    EXPECT_EQ(kept->ReferenceCount(), 1);

    // PopInto copies and releases; PopVariable hands the reference over.
    s.PushVariable(new Variable("t", 1, 42), true);
    EXPECT_EQ(s.PopInto(&target), 1);
    EXPECT_EQ(target.ValueInteger(), 42);
    s.PushVariable(kept, false);
    Variable* got = nullptr;
    bool temp = true;
    EXPECT_EQ(s.PopVariable(&got, &temp), 1);
    EXPECT_EQ(got, kept);
    EXPECT_FALSE(temp);
    kept->Release();
    EXPECT_EQ(Variable::LiveCount(), before);

    // Leftovers die with the stack.
    s.PushVariable(new Variable("left", 4), true);
    s.PushString(Owned("left"), 4, 5, true);
    s.Clear();
    EXPECT_EQ(Variable::LiveCount(), before);
}

// A variable whose every read throws, as a database field does whose library
// hands back a text past the limit.
class Unreadable : public Variable {
  public:
    Unreadable() : Variable("u", 1) {}
    const String& Value() override { throw TextTooLong(); }
    int32_t ValueInteger() override { throw TextTooLong(); }
    double ValueDouble() override { throw TextTooLong(); }
    bool Boolean() override { throw TextTooLong(); }
    bool IsEmpty() override { throw TextTooLong(); }
};

// The entry is off the stack when its value is read: a read that throws must
// not take the entry's reference with it.
TEST_F(VmStackTest, APopWhoseReadThrowsStillReleasesTheVariable) {
    VornVM_Stack& s = S();
    Variable target("x", 1);
    const struct {
        const char* name;
        void (*pop)(VornVM_Stack&, Variable*);
    } pops[] = {
        {"PopText", [](VornVM_Stack& s, Variable*) { StackText t; s.PopText(t); }},
        {"PopCString", [](VornVM_Stack& s, Variable*) { std::free(s.PopCString(nullptr, nullptr)); }},
        {"PopInteger", [](VornVM_Stack& s, Variable*) { s.PopInteger(); }},
        {"PopDouble", [](VornVM_Stack& s, Variable*) { s.PopDouble(); }},
        {"PopBoolean", [](VornVM_Stack& s, Variable*) { s.PopBoolean(); }},
        {"PopIsEmpty", [](VornVM_Stack& s, Variable*) { s.PopIsEmpty(); }},
        {"PopPosition", [](VornVM_Stack& s, Variable*) { s.PopPosition(); }},
        {"PopInto", [](VornVM_Stack& s, Variable* t) { s.PopInto(t); }},
    };
    for (const auto& p : pops) {
        SCOPED_TRACE(p.name);
        auto* v = new Unreadable;
        v->AddReference(); // ours; the entry takes the other
        s.PushVariable(v, true);
        EXPECT_THROW(p.pop(s, &target), TextTooLong);
        s.Clear();
        EXPECT_EQ(v->ReferenceCount(), 1);
        v->Release();
    }
}

TEST_F(VmStackTest, DupGivesEachCopyItsOwnShare) {
    VornVM_Stack& s = S();
    int64_t before = Variable::LiveCount();

    // Owned text: dup, swap the copies, drop the original first; the copy
    // still reads its text and everything is freed once (ASan checks).
    s.PushString(Owned("abc"), 3, 4, true);
    ASSERT_EQ(s.Dup(), 1);
    ASSERT_EQ(s.Swap(0, 1), 1);
    s.Discard();
    EXPECT_EQ(PopAll(s), "abc");
    s.PushString(Owned("xyz"), 3, 4, true);
    s.Dup();
    s.Discard();
    s.Discard();

    // Temporary variable: the copy holds a reference of its own.
    Variable* v = new Variable("t", 1, "value", 5);
    s.PushVariable(v, true);
    s.Dup();
    EXPECT_EQ(v->ReferenceCount(), 2);
    s.Swap(0, 1);
    s.Discard();
    EXPECT_EQ(PopAll(s), "value");
    EXPECT_EQ(Variable::LiveCount(), before);

    // A borrowed text stays borrowed.
    s.PushString("pool", 4, 4, false);
    s.Dup();
    EXPECT_EQ(s.Peek(0)->value.text, s.Peek(1)->value.text);
    EXPECT_EQ(s.Peek(0)->flags & kStackOwned, 0);
    s.Clear();
    EXPECT_FALSE(h.vm->Aborted());
}

TEST_F(VmStackTest, SwapAndMoveCheckTheirBounds) {
    VornVM_Stack& s = S();
    s.PushInteger(1);
    s.PushInteger(2);
    s.PushInteger(3);
    EXPECT_EQ(s.Swap(0, 2), 1);
    EXPECT_EQ(s.Peek(0)->value.integer, 1);
    EXPECT_EQ(s.Peek(2)->value.integer, 3);
    EXPECT_EQ(s.Swap(1, 1), 1);
    EXPECT_FALSE(h.vm->Aborted());
    EXPECT_EQ(s.Swap(0, 3), 0);
    EXPECT_TRUE(ErrorIs("Invalid stack reference"));
    h.Make();
    EXPECT_EQ(S().PushInteger(1), 1);
    EXPECT_EQ(S().Swap(-1, 0), 0);
    EXPECT_TRUE(ErrorIs("Invalid stack reference"));

    // Moving a scope's variable makes it a temporary holding a reference.
    h.Make();
    VornVM_Stack other(h.vm.get());
    Variable* local = new Variable("l", 1, "local", 5);
    other.PushInteger(9);
    other.PushVariable(local, false);
    EXPECT_EQ(S().MoveFrom(&other, 2), 1);
    EXPECT_EQ(other.Depth(), 0);
    EXPECT_EQ(S().Peek(1)->value.integer, 9);
    EXPECT_EQ(local->ReferenceCount(), 2);
    local->Release(); // the scope goes; the stack's reference keeps it alive
    EXPECT_EQ(PopAll(S()), "local");
    EXPECT_EQ(S().MoveFrom(&other, 1), 0);
    EXPECT_TRUE(ErrorIs("Stack underflow"));
}

TEST_F(VmStackTest, VariableOperandsAreChecked) {
    VornVM_Stack& s = S();
    EXPECT_EQ(s.PushVariable(nullptr, false), 0);
    EXPECT_TRUE(ErrorIs("Invalid variable reference"));
    EXPECT_EQ(s.Depth(), 0);

    h.Make();
    S().PushString(Owned("constant"), 8, 9, true);
    Variable* v = nullptr;
    bool temp = false;
    EXPECT_EQ(S().PopVariable(&v, &temp), 0);
    EXPECT_TRUE(ErrorIs("Expected variable, found constant"));
    EXPECT_EQ(S().Depth(), 0);

    h.Make();
    S().PushInteger(1);
    EXPECT_EQ(S().PopInto(nullptr), 0);
    EXPECT_TRUE(ErrorIs("Invalid variable reference"));
    EXPECT_EQ(S().Depth(), 0);
}

} // namespace
} // namespace vorn::test
