#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "engine/foundation/List.h"
#include "engine/values/Aggregate.h"
#include "engine/values/Variable.h"

namespace vorn {
namespace {

// Exposes the valid flags so tests can see which caches an operation filled.
class Probe : public Variable {
public:
    using Variable::Variable;
    Probe() = default;
    uint32_t Valid() const { return valid_ & kValidAll; }
    bool Mixed() const { return (valid_ & kValidMixed) != 0; }
};

std::string Text(Variable* v) {
    const String& s = v->Value();
    return std::string(s.Text(), static_cast<size_t>(s.Length()));
}

// Checks at the end of a test that every Variable it made is gone.
class LiveCountGuard {
public:
    LiveCountGuard() : start_(Variable::LiveCount()) {}
    ~LiveCountGuard() { EXPECT_EQ(start_, Variable::LiveCount()) << "Variables leaked or freed twice"; }

private:
    int64_t start_;
};

TEST(VariableTest, TextConvertsToNumbers) {
    struct Row {
        const char* text;
        int32_t integer;
        double dbl;
    };
    const Row rows[] = {
        {"12", 12, 12.0},
        {"12.7", 12, 12.7},  // strict parse fails, the double is truncated
        {"-12.7", -12, -12.7},
        {"-", 0, 0.0},       // a lone minus is 0 without falling back
        {"abc", 0, 0.0},
        {"12abc", 0, 0.0},
        {"", 0, 0.0},
        {" 12", 12, 12.0},   // only the double parse takes the blank
        {"1e3", 1000, 1000.0},
        {"4294967297", 1, 4294967297.0},  // the strict parse wraps at 32 bits
        {"1e10", INT32_MIN, 1e10},        // out of range truncates to INT32_MIN
        {"nan", INT32_MIN, std::numeric_limits<double>::quiet_NaN()},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        Variable v("v", -1, row.text, -1);
        EXPECT_EQ(v.ValueInteger(), row.integer);
        Variable w("w", -1, row.text, -1);
        if (std::isnan(row.dbl))
            EXPECT_TRUE(std::isnan(w.ValueDouble()));
        else
            EXPECT_EQ(w.ValueDouble(), row.dbl);
        EXPECT_EQ(v.Type(), kTypeText);
        EXPECT_EQ(Text(&v), row.text);  // reading numbers keeps the text
    }
}

TEST(VariableTest, ConstructorsAndNumbersToText) {
    Probe integer("i", -1, -2147483647 - 1);
    EXPECT_EQ(integer.Valid(), kValidInteger);
    EXPECT_EQ(integer.ReferenceCount(), 1);
    EXPECT_EQ(Text(&integer), "-2147483648");
    Probe dbl("d", -1, -3.9);
    EXPECT_EQ(dbl.Valid(), kValidInteger | kValidDouble);
    EXPECT_EQ(dbl.Type(), kTypeDouble);
    EXPECT_EQ(dbl.ValueInteger(), -3);
    EXPECT_EQ(Text(&dbl), "-3.9");
    Variable whole("d", -1, 3.0);
    EXPECT_EQ(Text(&whole), "3");
    Variable nan("d", -1, std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(nan.ValueInteger(), INT32_MIN);
    EXPECT_EQ(Text(&nan), "NaN");
    char* buffer = static_cast<char*>(std::malloc(8));
    std::memcpy(buffer, "adopt", 6);
    Variable adopted("a", -1, buffer, 5, 8);
    EXPECT_EQ(Text(&adopted), "adopt");
}

TEST(VariableTest, AssignmentsInvalidateOtherForms) {
    Probe v;
    v.SetValueDouble(2.5);
    EXPECT_EQ(v.Valid(), kValidDouble);
    EXPECT_EQ(v.Type(), kTypeDouble);
    // The double field still holds 2.5 but is no longer valid: the double
    // must come from the integer.
    v.SetValueInteger(7);
    EXPECT_EQ(v.Valid(), kValidInteger);
    EXPECT_EQ(v.ValueDouble(), 7.0);
    EXPECT_EQ(v.Valid(), kValidInteger | kValidDouble);
    EXPECT_EQ(Text(&v), "7");
    EXPECT_EQ(v.Valid(), kValidAll);

    v.SetValue("41", -1);
    EXPECT_EQ(v.Valid(), kValidText);
    EXPECT_EQ(v.Type(), kTypeText);
    EXPECT_EQ(v.ValueInteger(), 41);
    EXPECT_EQ(v.Valid(), kValidText | kValidInteger);  // no double was needed

    // The strict parse fails, so the double is computed on the way.
    v.SetValue("9.5", -1);
    EXPECT_EQ(v.ValueInteger(), 9);
    EXPECT_EQ(v.Valid(), kValidAll);

    // A text taken from the variable's own buffer.
    v.SetValue(v.Value().Text() + 1, 2);
    EXPECT_EQ(Text(&v), ".5");
    v.SetName(String("n", -1));
    v.SetName(String());  // a String without data keeps the name
    EXPECT_TRUE(v.Name().Equals("n"));

    v.Clear();
    EXPECT_EQ(v.Valid(), 0u);
    EXPECT_EQ(v.Type(), kTypeNone);
    EXPECT_TRUE(v.IsEmpty());
    EXPECT_EQ(Text(&v), "");
}

TEST(VariableTest, ValueDoubleCheckedReportsNonNumbers) {
    int32_t error = 7;
    Probe ok("v", -1, "1.5", -1);
    EXPECT_EQ(ok.ValueDoubleChecked(&error), 1.5);
    EXPECT_EQ(error, 0);
    EXPECT_TRUE(ok.Valid() & kValidDouble);

    Probe bad("v", -1, "1.5x", -1);
    EXPECT_EQ(bad.ValueDoubleChecked(&error), 0.0);
    EXPECT_EQ(error, 1);
    EXPECT_FALSE(bad.Valid() & kValidDouble);

    Probe overflow("v", -1, "1e999", -1);
    EXPECT_TRUE(std::isinf(overflow.ValueDoubleChecked(&error)));
    EXPECT_EQ(error, 1);
    EXPECT_FALSE(overflow.Valid() & kValidDouble);

    Probe empty;
    EXPECT_EQ(empty.ValueDoubleChecked(&error), 0.0);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(empty.ValueDoubleChecked(nullptr), 0.0);

    Variable structure;
    structure.SetAggregateKind(kAggregateStructure);
    EXPECT_EQ(structure.ValueDoubleChecked(&error), 0.0);
    EXPECT_EQ(error, 1);
}

TEST(VariableTest, TextIsTrueAndBoolean) {
    const char* falseTexts[] = {"", "0", "000", "0.0", ".", "0.", ".0", "00.00"};
    for (const char* t : falseTexts) EXPECT_FALSE(TextIsTrue(t, -1)) << t;
    const char* trueTexts[] = {"0.0.0", " ", "1", "a", "0 ", "..", "-0", "0x0"};
    for (const char* t : trueTexts) EXPECT_TRUE(TextIsTrue(t, -1)) << t;
    EXPECT_FALSE(TextIsTrue("01", 1));  // only the given length counts
    EXPECT_FALSE(TextIsTrue(nullptr, 0));

    Variable text("t", -1, "0.0", -1);
    EXPECT_FALSE(text.Boolean());
    text.SetValue("0.0.0", -1);
    EXPECT_TRUE(text.Boolean());
    Variable zeroDouble("d", -1, 0.0);
    EXPECT_FALSE(zeroDouble.Boolean());
    Variable nan("d", -1, std::numeric_limits<double>::quiet_NaN());
    EXPECT_TRUE(nan.Boolean());
    Variable small("d", -1, 0.25);  // the integer form is 0; the double decides
    EXPECT_TRUE(small.Boolean());
    Variable zero("i", -1, 0);
    EXPECT_FALSE(zero.Boolean());
    Variable nothing;
    EXPECT_FALSE(nothing.Boolean());
}

TEST(VariableTest, EmptinessAndAggregatesReadAsZero) {
    LiveCountGuard guard;
    Variable v;
    EXPECT_TRUE(v.IsEmpty());
    v.SetValueInteger(0);
    EXPECT_FALSE(v.IsEmpty());
    v.SetValue("", 0);
    EXPECT_TRUE(v.IsEmpty());

    // A structure with no members is not empty, reads 0 and has no text.
    Variable s;
    s.SetAggregateKind(kAggregateStructure);
    EXPECT_FALSE(s.IsEmpty());
    EXPECT_EQ(s.ValueInteger(), 0);
    EXPECT_EQ(s.ValueDouble(), 0.0);
    EXPECT_EQ(Text(&s), "");
    EXPECT_FALSE(s.Boolean());
    EXPECT_EQ(s.Type(), kTypeNone);

    // The truth of an aggregate follows its current elements.
    Variable a;
    a.Element(AggregateIndex::FromIndex(1), true)->SetValueInteger(0);
    EXPECT_FALSE(a.Boolean());
    a.Element(AggregateIndex::FromIndex(1), true)->SetValueInteger(5);
    EXPECT_TRUE(a.Boolean());
    EXPECT_EQ(a.ValueInteger(), 0);
    a.Element(AggregateIndex::FromIndex(2), true)->SetValue("x", -1);
    EXPECT_EQ(Text(&a), "5,x");

    // Any scalar setter makes it a scalar again.
    a.SetValue("s", -1);
    EXPECT_EQ(a.Tree(), nullptr);
    EXPECT_EQ(a.AggregateType(), kAggregateScalar);
    EXPECT_EQ(Text(&a), "s");
}

// Computed variables of the storage kinds that assignment treats specially.
class ComputedInteger : public ImmutableVariable {
public:
    int32_t StorageKind() const override { return kStorageComputedInteger; }
    int32_t ValueInteger() override { return 42; }
};

class ComputedText : public ImmutableVariable {
public:
    int32_t StorageKind() const override { return kStorageComputedText; }
    const String& Value() override {
        text_.Assign("computed", -1);
        return text_;
    }
};

class FieldVariable : public Variable {
public:
    explicit FieldVariable(int32_t preferred) : preferred_(preferred) {}
    int32_t StorageKind() const override { return kStorageDatabaseField; }
    int32_t PreferredType() override { return preferred_; }
    int32_t ComputeInteger() override {
        integer_ = 77;
        valid_ |= kValidInteger;
        return integer_;
    }

private:
    int32_t preferred_;
};

TEST(VariableTest, AssignmentFromVariablesFollowsStorageKinds) {
    LiveCountGuard guard;
    Probe v("v", -1, "old", -1);
    v.SetValueVariable(&v);
    EXPECT_EQ(Text(&v), "old");
    EXPECT_EQ(v.Type(), kTypeText);

    NULLVariable null;
    v.SetValueVariable(&null);
    EXPECT_EQ(v.Type(), kTypeNone);
    EXPECT_EQ(v.Valid(), 0u);
    EXPECT_TRUE(v.IsEmpty());

    ComputedInteger ci;
    v.SetValueVariable(&ci);
    EXPECT_EQ(v.Valid(), kValidInteger);
    EXPECT_EQ(v.Type(), kTypeInteger);
    EXPECT_EQ(v.ValueInteger(), 42);

    ComputedText ct;
    v.SetValueVariable(&ct);
    EXPECT_EQ(v.Valid(), kValidText);
    EXPECT_EQ(Text(&v), "computed");

    FieldVariable field(kTypeInteger);
    field.SetValue("abc", -1);
    v.SetValueVariable(&field);  // valid caches and type are copied
    EXPECT_EQ(v.Valid(), kValidText);
    EXPECT_TRUE(v.Mixed());  // they need not follow from each other
    EXPECT_EQ(v.Type(), kTypeText);
    EXPECT_EQ(Text(&v), "abc");
    field.Clear();
    v.SetValueVariable(&field);  // nothing valid: read as the preferred type
    EXPECT_EQ(v.Type(), kTypeInteger);
    EXPECT_EQ(v.ValueInteger(), 77);

    // An ordinary source with nothing valid is read through its text first.
    Probe empty;
    v.SetValueVariable(&empty);
    EXPECT_EQ(v.Valid(), kValidText);
    EXPECT_EQ(v.Type(), kTypeNone);
    EXPECT_TRUE(v.IsEmpty());

    Variable number("n", -1, 2.5);
    v.SetValueVariable(&number);
    EXPECT_EQ(v.Valid(), kValidInteger | kValidDouble);
    EXPECT_FALSE(v.Mixed());
    EXPECT_EQ(v.Type(), kTypeDouble);
    EXPECT_EQ(v.ValueDouble(), 2.5);
    EXPECT_TRUE(v.Name().Equals("v"));  // the name is not assigned
}

TEST(VariableTest, AssignmentCopiesAggregatesDeeply) {
    LiveCountGuard guard;
    Variable* source = new Variable("s", -1);
    source->Element(AggregateIndex::FromName("a", -1), true)->SetValue("1", -1);
    Variable* inner = source->Element(AggregateIndex::FromName("b", -1), true);
    inner->Element(AggregateIndex::FromIndex(1), true)->SetValue("2", -1);
    inner->Element(AggregateIndex::FromIndex(2), true)->SetValueInteger(3);

    Variable* copy = new Variable("c", -1, "scalar", -1);
    copy->SetValueVariable(source);
    EXPECT_EQ(copy->AggregateType(), kAggregateStructure);
    EXPECT_EQ(copy->Type(), kTypeNone);
    EXPECT_EQ(Text(copy), "1,2,3");
    Variable* copiedInner = copy->Element(AggregateIndex::FromName("B", -1), false);
    ASSERT_NE(copiedInner, nullptr);
    EXPECT_NE(copiedInner, inner);
    EXPECT_EQ(copiedInner->AggregateType(), kAggregateArray);
    EXPECT_EQ(copiedInner->Element(AggregateIndex::FromIndex(2), false)->Type(), kTypeInteger);

    // The copy is independent of the source.
    inner->Element(AggregateIndex::FromIndex(1), true)->SetValue("changed", -1);
    EXPECT_EQ(Text(copy), "1,2,3");
    EXPECT_EQ(Text(source), "1,changed,3");

    // Assigning an element of the variable to the variable itself.
    copy->SetValueVariable(copiedInner);
    EXPECT_EQ(copy->AggregateType(), kAggregateArray);
    EXPECT_EQ(Text(copy), "2,3");

    // Assigning the variable to one of its own elements copies the old state.
    Variable* element = source->Element(AggregateIndex::FromName("b", -1), false);
    element->SetValueVariable(source);
    EXPECT_EQ(Text(source), "1,1,changed,3");

    Variable* byCopy = new Variable(source);
    EXPECT_EQ(Text(byCopy), "1,1,changed,3");
    EXPECT_TRUE(byCopy->Name().Equals("s"));
    byCopy->Release();
    copy->Release();
    source->Release();
}

TEST(VariableTest, ImmutableVariablesRefuseChanges) {
    LiveCountGuard guard;
    ImmutableVariable* v = new ImmutableVariable("sys", -1, "fixed", -1);
    Variable other("o", -1, 5);
    EXPECT_EQ(v->SetValue("x", -1), 1);
    EXPECT_EQ(v->SetValueInteger(1), 1);
    EXPECT_EQ(v->SetValueVariable(&other), 1);
    char* buffer = static_cast<char*>(std::malloc(24));  // freed by the variable
    EXPECT_EQ(v->SetValueNocopy(buffer, 0, 24), 1);
    v->Clear();
    v->InsertElement(1, &other);
    v->ArrayMerge(&other, 1, 1, 1, true);
    v->MakeReference(&other);
    EXPECT_EQ(Text(v), "fixed");
    EXPECT_FALSE(v->IsAlias());
    EXPECT_EQ(other.ReferenceCount(), 1);

    // A missing element with create is the same null variable each time.
    Variable* n1 = v->Element(AggregateIndex::FromName("missing", -1), true);
    ASSERT_NE(n1, nullptr);
    EXPECT_EQ(n1, v->Element(AggregateIndex::FromIndex(3), true));
    EXPECT_EQ(n1->StorageKind(), kStorageNull);
    EXPECT_EQ(v->Element(AggregateIndex::FromIndex(3), false), nullptr);
    EXPECT_EQ(v->Tree(), nullptr);
    List<AggregateIndex> path(true);
    path.Insert(new AggregateIndex(AggregateIndex::FromName("a", -1)), kListTail);
    EXPECT_EQ(v->ElementByPath(&path, true), n1);
    EXPECT_EQ(v->ElementByPath(&path, false), nullptr);
    v->Release();
}

TEST(VariableTest, NullVariableIsEmptyFalseAndItsOwnElement) {
    LiveCountGuard guard;
    NULLVariable* n = new NULLVariable();
    EXPECT_EQ(Text(n), "");
    EXPECT_EQ(n->ValueInteger(), 0);
    int32_t error = 5;
    EXPECT_EQ(n->ValueDoubleChecked(&error), 0.0);
    EXPECT_EQ(error, 0);
    EXPECT_FALSE(n->Boolean());
    EXPECT_EQ(n->Element(AggregateIndex::FromName("x", -1), true), n);
    EXPECT_EQ(n->Element(AggregateIndex::FromName("x", -1), false), nullptr);
    n->SetValue("x", -1);
    n->SetAggregateKind(kAggregateArray);
    EXPECT_TRUE(n->IsEmpty());
    EXPECT_EQ(n->Tree(), nullptr);
    n->Release();
}

TEST(VariableTest, ReferenceVariablesForwardAndHoldReferences) {
    LiveCountGuard guard;
    Variable* target = new Variable("t", -1, "value", -1);
    ReferenceVariable* alias = new ReferenceVariable("r", -1, target);
    EXPECT_EQ(target->ReferenceCount(), 2);
    EXPECT_EQ(alias->ReferenceCount(), 1);
    EXPECT_EQ(alias->StorageKind(), kStorageReference);
    EXPECT_EQ(alias->TargetStorageKind(), kStorageOrdinary);
    EXPECT_EQ(target->TargetStorageKind(), -1);
    EXPECT_TRUE(alias->Name().Equals("r"));
    EXPECT_EQ(Text(alias), "value");
    EXPECT_EQ(alias->NextIdentity(), target);
    EXPECT_EQ(alias->RealIdentity(), target);

    alias->SetValueInteger(12);
    EXPECT_EQ(target->ValueInteger(), 12);
    EXPECT_EQ(alias->Type(), kTypeInteger);
    alias->AuxText().Assign("aux", -1);
    EXPECT_TRUE(target->AuxText().Equals("aux"));
    alias->Element(AggregateIndex::FromIndex(1), true)->SetValue("e", -1);
    EXPECT_EQ(target->AggregateType(), kAggregateArray);
    EXPECT_EQ(alias->ElementsUsed(), 1);

    // Each holder of the alias holds the target too.
    alias->AddReference();
    EXPECT_EQ(target->ReferenceCount(), 3);
    alias->Release();
    EXPECT_EQ(target->ReferenceCount(), 2);
    alias->Release();  // releases the target once
    EXPECT_EQ(target->ReferenceCount(), 1);

    target->Release();
}

TEST(VariableTest, ReferenceWithKeysCreatesTheElement) {
    LiveCountGuard guard;
    Variable* base = new Variable("b", -1);
    List<AggregateIndex> keys(true);
    keys.Insert(new AggregateIndex(AggregateIndex::FromName("m", -1)), kListTail);
    keys.Insert(new AggregateIndex(AggregateIndex::FromIndex(4)), kListTail);
    ReferenceVariable* alias = new ReferenceVariable(String("r", -1), base, &keys);
    alias->SetValue("deep", -1);
    EXPECT_EQ(Text(base), "deep");
    Variable* element = base->ElementByPath(&keys, false);
    ASSERT_NE(element, nullptr);
    EXPECT_EQ(alias->RealIdentity(), element);
    EXPECT_EQ(element->ReferenceCount(), 2);
    base->Release();  // the element lives on while the alias holds it
    EXPECT_EQ(Text(alias), "deep");
    alias->Release();
}

TEST(VariableTest, MakeReferenceTurnsAVariableIntoAnAliasInPlace) {
    LiveCountGuard guard;
    Variable* target = new Variable("t", -1, "target", -1);
    Variable* v = new Variable("v", -1);
    v->Element(AggregateIndex::FromName("gone", -1), true)->SetValue("x", -1);
    v->AuxText().Assign("aux", -1);
    v->AddReference();
    v->AddReference();  // three holders
    v->MakeReference(target);
    EXPECT_TRUE(v->IsAlias());
    EXPECT_TRUE(v->Name().Equals("v"));
    EXPECT_EQ(v->ReferenceCount(), 3);
    EXPECT_EQ(target->ReferenceCount(), 4);
    EXPECT_EQ(v->StorageKind(), kStorageReference);
    EXPECT_EQ(Text(v), "target");
    EXPECT_EQ(v->Tree(), nullptr);
    EXPECT_TRUE(v->AuxText().IsEmpty());

    // Retargeting moves all three references.
    Variable* other = new Variable("o", -1, "other", -1);
    v->MakeReference(other);
    EXPECT_EQ(target->ReferenceCount(), 1);
    EXPECT_EQ(other->ReferenceCount(), 4);
    EXPECT_EQ(Text(v), "other");

    // Nothing happens for the same target, itself, or a target with the same
    // real identity.
    ReferenceVariable* second = new ReferenceVariable("s", -1, other);
    v->MakeReference(second);
    v->MakeReference(v);
    v->MakeReference(other);
    EXPECT_EQ(v->NextIdentity(), other);
    EXPECT_EQ(other->ReferenceCount(), 5);
    // A plain variable cannot alias something that already aliases it.
    other->MakeReference(second);
    EXPECT_FALSE(other->IsAlias());

    second->Release();
    for (int i = 0; i < 3; ++i) v->Release();
    EXPECT_EQ(other->ReferenceCount(), 1);
    other->Release();
    target->Release();
}

TEST(VariableTest, MakeReferenceToOwnElementKeepsTheElement) {
    LiveCountGuard guard;
    Variable* v = new Variable("v", -1);
    Variable* element = v->Element(AggregateIndex::FromIndex(1), true);
    element->SetValue("kept", -1);
    v->MakeReference(element);  // the element survives the tree it lived in
    EXPECT_TRUE(v->IsAlias());
    EXPECT_EQ(Text(v), "kept");
    EXPECT_EQ(element->ReferenceCount(), 1);
    v->Release();
}

TEST(VariableTest, DeletingAnAliasDirectlyGivesItsReferencesBack) {
    LiveCountGuard guard;
    Variable* target = new Variable("t", -1, 1);
    Variable* alias = new Variable("a", -1);
    alias->AddReference();
    alias->MakeReference(target);
    EXPECT_EQ(target->ReferenceCount(), 3);
    delete alias;
    EXPECT_EQ(target->ReferenceCount(), 1);
    target->Release();
}

TEST(VariableTest, AliasCyclesAreRefused) {
    LiveCountGuard guard;
    // a:b made an alias of a would make a hold itself.
    Variable* a = new Variable("a", -1);
    Variable* b = a->Element(AggregateIndex::FromName("b", -1), true);
    b->SetValue("leaf", -1);
    b->MakeReference(a);
    EXPECT_FALSE(b->IsAlias());
    EXPECT_EQ(a->ReferenceCount(), 1);
    EXPECT_EQ(Text(a), "leaf");

    // Also through an alias and deeper nesting: a:c:d made an alias of x,
    // where x aliases a.
    Variable* x = new Variable("x", -1);
    x->MakeReference(a);
    Variable* d = a->Element(AggregateIndex::FromName("c", -1), true)->Element(AggregateIndex::FromIndex(1), true);
    d->MakeReference(x);
    EXPECT_FALSE(d->IsAlias());

    // Retargeting an alias into a cycle is refused too.
    Variable* y = new Variable("y", -1, "y", -1);
    Variable* e = a->Element(AggregateIndex::FromName("e", -1), true);
    e->MakeReference(y);
    EXPECT_TRUE(e->IsAlias());
    e->MakeReference(x);
    EXPECT_EQ(e->NextIdentity(), y);

    // Storing a value inside itself is refused, directly or via an alias.
    a->SetElement(AggregateIndex::FromName("self", -1), a);
    a->SetElement(AggregateIndex::FromName("self", -1), x);
    Variable* c = a->Element(AggregateIndex::FromName("c", -1), false);
    c->SetElement(AggregateIndex::FromIndex(2), a);
    c->InsertElement(1, x);
    EXPECT_EQ(a->Element(AggregateIndex::FromName("self", -1), false), nullptr);
    EXPECT_EQ(c->ElementsUsed(), 1);

    EXPECT_EQ(Text(a), "leaf,,y");  // b, c:1 (empty) and e
    EXPECT_EQ(Text(x), "leaf,,y");
    Variable copy(x);
    EXPECT_EQ(Text(&copy), "leaf,,y");
    x->Release();
    y->Release();
    a->Release();
}

TEST(VariableTest, LongAliasChainsAndDeepNestingDoNotRecurse) {
    LiveCountGuard guard;
    const int kDepth = 200000;
    // Built from the head, each new link is the end of the chain when it is
    // bound, so building stays linear.
    Variable* head = new Variable("head", -1);
    Variable* end = head;
    for (int i = 0; i < kDepth; ++i) {
        Variable* next = new Variable("l", -1);
        end->MakeReference(next);
        if (end != head) end->Release();  // the link before holds it now
        end = next;
    }
    end->SetValue("end", -1);
    end->Release();
    EXPECT_EQ(Text(head), "end");
    EXPECT_EQ(head->RealIdentity(), end);
    EXPECT_EQ(end->ReferenceCount(), 1);
    head->AddReference();
    EXPECT_EQ(end->ReferenceCount(), 2);
    head->SetValueInteger(3);
    EXPECT_EQ(end->ValueInteger(), 3);
    head->Release();
    head->Release();  // frees the whole chain

    Variable* top = new Variable("top", -1);
    Variable* v = top;
    for (int i = 0; i < kDepth; ++i) v = v->Element(AggregateIndex::FromIndex(1), true);
    v->SetValue("bottom", -1);
    EXPECT_EQ(Text(top), "bottom");
    EXPECT_TRUE(top->Boolean());
    Variable* copy = new Variable(top);
    EXPECT_EQ(Text(copy), "bottom");
    top->SetValueVariable(copy);
    copy->Release();
    top->Release();
}

} // namespace
} // namespace vorn
