#include "engine/values/Variable.h"

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "engine/foundation/List.h"
#include "engine/foundation/Number.h"
#include "engine/values/Aggregate.h"
#include "engine/values/Scalar.h"

namespace vorn {

namespace {

// Variables made less variables deleted: by the threads that have ended, and
// per running thread (a locked add per variable would cost most of a
// variable's construction).
std::atomic<int64_t> g_liveVariables{0};

// What a thread keeps for its variables, in one place: in the extension
// (a loaded library) each thread-local costs a call to find it, so every
// operation finds the whole state once.
struct ThreadVariables {
    int64_t liveDelta = 0;
    bool liveFlushes = false;
    // Variables whose count reached zero while another deletion was running
    // on this thread; the outermost deletion deletes them one after another,
    // so a value nested to any depth is freed without recursion.
    Variable* pending = nullptr;
    bool draining = false;
};
thread_local ThreadVariables t_variables;

struct LiveFlush {
    ~LiveFlush() {
        ThreadVariables& t = t_variables;
        g_liveVariables.fetch_add(t.liveDelta);
        t.liveDelta = 0;
    }
};

void StartLiveFlush(ThreadVariables& t) {
    static thread_local LiveFlush flush;
    (void)flush;
    t.liveFlushes = true;
}

inline void CountLive(int64_t n) {
    ThreadVariables& t = t_variables;
    if (!t.liveFlushes) StartLiveFlush(t);
    t.liveDelta += n;
}

} // namespace

// Collects the deletions started inside it; the outermost scope of a thread
// runs them when it ends.
class DeletionScope {
public:
    DeletionScope() : t_(t_variables), owner_(!t_.draining) { t_.draining = true; }
    DeletionScope(const DeletionScope&) = delete;
    DeletionScope& operator=(const DeletionScope&) = delete;
    ~DeletionScope() {
        if (!owner_) return;
        while (t_.pending) {
            Variable* v = t_.pending;
            t_.pending = v->pendingNext_;
            v->pendingNext_ = nullptr;
            delete v;
        }
        t_.draining = false;
    }
    void Schedule(Variable* v) {
        v->pendingNext_ = t_.pending;
        t_.pending = v;
    }

private:
    ThreadVariables& t_;
    bool owner_;
};

bool TextIsTrue(const char* text, int32_t length) {
    if (!text) return false;
    if (length < 0) length = static_cast<int32_t>(std::strlen(text));
    bool point = false;
    for (int32_t i = 0; i < length; ++i) {
        char c = text[i];
        if (c == '0') continue;
        if (c == '.' && !point) {
            point = true;
            continue;
        }
        return true;
    }
    return false;
}

int32_t TruncateDouble(double value) {
    if (value > -2147483649.0 && value < 2147483648.0) return static_cast<int32_t>(value);
    return INT32_MIN;
}

// --- Construction -------------------------------------------------------------

Variable::Variable() { CountLive(1); }

Variable::Variable(const char* name, int32_t nameLength) : name_(name, nameLength) { CountLive(1); }

Variable::Variable(const String& name, const String& text)
    : name_(name), text_(text), valid_(kValidText), type_(kTypeText) {
    CountLive(1);
}

Variable::Variable(const char* name, int32_t nameLength, const char* text, int32_t textLength)
    : name_(name, nameLength), text_(text, textLength), valid_(kValidText), type_(kTypeText) {
    CountLive(1);
}

Variable::Variable(const char* name, int32_t nameLength, int32_t value)
    : name_(name, nameLength), integer_(value), double_(value), valid_(kValidInteger), type_(kTypeInteger) {
    CountLive(1);
}

Variable::Variable(const char* name, int32_t nameLength, double value)
    : name_(name, nameLength), integer_(TruncateDouble(value)), double_(value),
      valid_(kValidInteger | kValidDouble), type_(kTypeDouble) {
    CountLive(1);
}

Variable::Variable(const char* name, int32_t nameLength, char* buffer, int32_t length, int32_t capacity)
    : name_(name, nameLength), valid_(kValidText), type_(kTypeText) {
    CountLive(1);
    text_.Adopt(buffer, length, capacity);
}

Variable::Variable(Variable* source) {
    CountLive(1);
    if (!source) return;
    name_ = source->name_;
    text_ = source->text_;
    integer_ = source->integer_;
    double_ = source->double_;
    // Runs Variable's own assignment: a subclass's override is not active yet.
    SetValueVariable(source);
}

Variable::~Variable() {
    {
        DeletionScope scope;
        if (tree_) {
            AggregateElementTree* tree = tree_;
            tree_ = nullptr;
            delete tree;
        }
        // Released through Release these are all given back already; an alias
        // deleted directly gives back what it still holds.
        if (target_ && refs_ > 0) ReleaseChain(target_, refs_);
    }
    CountLive(-1);
}

int64_t Variable::LiveCount() { return g_liveVariables.load() + t_variables.liveDelta; }

// --- Identity and reference counts ------------------------------------------

Variable* Variable::Real() {
    Variable* v = this;
    while (v->target_) v = v->target_;
    return v;
}

const String& Variable::Name() const { return name_; }

Variable* Variable::NextIdentity() { return target_ ? target_ : this; }

Variable* Variable::RealIdentity() { return Real(); }

int32_t Variable::StorageKind() const { return target_ ? kStorageReference : kStorageOrdinary; }

int32_t Variable::ReferenceCount() const { return refs_; }

int32_t Variable::TargetStorageKind() const { return target_ ? target_->StorageKind() : -1; }

void Variable::AddChain(Variable* v, int32_t n) {
    for (; v; v = v->target_) v->refs_ += n;
}

void Variable::ReleaseChain(Variable* v, int32_t n) {
    DeletionScope scope;
    while (v) {
        Variable* next = v->target_;
        if (v->refs_ > 0) {
            v->refs_ -= (n < v->refs_) ? n : v->refs_;
            if (v->refs_ == 0) scope.Schedule(v);
        }
        v = next;
    }
}

// Each holder of an alias holds one reference on every link of its chain.
void Variable::AddReference() { AddChain(this, 1); }

void Variable::Release() {
    // One holder of many letting go: nothing to delete.
    if (!target_ && refs_ > 1) {
        --refs_;
        return;
    }
    ReleaseChain(this, 1);
}

void Variable::DestroyTree(AggregateElementTree* tree) {
    if (!tree) return;
    DeletionScope scope;
    delete tree;
}

bool Variable::Reaches(Variable* from, Variable* to) {
    if (!from) return false;
    // Alias chains never loop, so the chain is followed without bookkeeping.
    while (from != to && from->target_) from = from->target_;
    if (from == to) return true;
    if (!from->tree_) return false;
    std::vector<Variable*> work{from};
    std::unordered_set<Variable*> seen;
    while (!work.empty()) {
        Variable* v = work.back();
        work.pop_back();
        if (v == to) return true;
        if (!seen.insert(v).second) continue;
        if (v->target_) {
            work.push_back(v->target_);
        } else if (v->tree_) {
            v->tree_->ForEachElement([&](AggregateElement* e) {
                if (e->Value()) work.push_back(e->Value());
            });
        }
    }
    return false;
}

void Variable::MakeReference(Variable* target) {
    if (!target || target == this || target == target_) return;
    if (StorageKind() > kStorageReference) return;
    if (target->RealIdentity() == Real()) return;
    // An alias of a value that holds this alias would make a cycle of
    // references that is never freed and never ends a walk.
    if (Reaches(target, this)) return;

    if (target_) {
        Variable* old = target_;
        AddChain(target, refs_);
        target_ = target;
        ReleaseChain(old, refs_);
        return;
    }
    // The target gains its references before the old contents go: it may be
    // one of them.
    AddChain(target, refs_);
    target_ = target;
    AggregateElementTree* old = tree_;
    tree_ = nullptr;
    kind_ = kAggregateScalar;
    valid_ = 0;
    type_ = kTypeNone;
    text_.Free();
    aux_.Free();
    DestroyTree(old);
}

// --- Reading ------------------------------------------------------------------

const String& Variable::Value() {
    if (target_) return Real()->Value();
    if (tree_) {
        String out;
        AppendAggregateText(this, out);
        // An unchanged text keeps its buffer: a caller may still hold the
        // text an earlier call returned (both operands of a comparison, two
        // pops of the same aggregate).
        if (!text_.IsNull() && text_.Equals(out.Text(), out.Length())) return text_;
        text_ = static_cast<String&&>(out);
        return text_;
    }
    if (!(valid_ & kValidText)) BuildText();
    return text_;
}

void Variable::BuildText() {
    if (tree_) {
        // An aggregate's text is never cached: its elements change behind it.
        String out;
        AppendAggregateText(this, out);
        text_ = static_cast<String&&>(out);
        return;
    }
    // Formatted in place, then copied into the buffer the text already has.
    char digits[32];
    if (valid_ & kValidDouble) {
        int32_t length = FormatDoubleTo(double_, digits, sizeof digits, -1);
        if (length >= 0) {
            text_.Assign(digits, length);
        } else {
            int32_t size = 0;
            char* buffer = FormatDouble(double_, &length, &size, -1);
            text_.Adopt(buffer, length, size);
        }
        // "-0" is a true text of a false number: a copy must keep the text.
        if (double_ == 0.0 && std::signbit(double_)) valid_ |= kValidMixed;
    } else if (valid_ & kValidInteger) {
        static_assert(sizeof digits >= kIntegerTextSize);
        text_.Assign(digits, FormatIntegerTo(integer_, digits));
    } else {
        text_.Assign("", 0);
    }
    valid_ |= kValidText;
}

int32_t Variable::ValueInteger() {
    if (target_) return Real()->ValueInteger();
    if (tree_) return 0;
    if (!(valid_ & kValidInteger)) return ComputeInteger();
    return integer_;
}

int32_t Variable::ComputeInteger() {
    if (tree_) return 0;
    if (!(valid_ & kValidDouble) && (valid_ & kValidText)) {
        int32_t invalid = 0;
        int32_t value = ParseInteger(text_.Text(), text_.Length(), &invalid);
        if (!invalid) {
            integer_ = value;
        } else {
            ComputeDouble();
            integer_ = TruncateDouble(double_);
        }
    } else if (valid_ & kValidDouble) {
        integer_ = TruncateDouble(double_);
    } else {
        integer_ = 0;
    }
    valid_ |= kValidInteger;
    return integer_;
}

double Variable::ValueDouble() {
    if (target_) return Real()->ValueDouble();
    if (tree_) return 0.0;
    if (!(valid_ & kValidDouble)) ComputeDouble();
    return double_;
}

void Variable::ComputeDouble() {
    if (tree_) return;
    if (valid_ & kValidText)
        double_ = ParseDouble(text_.Text(), text_.Length(), text_.Capacity(), nullptr);
    else if (valid_ & kValidInteger)
        double_ = integer_;
    else
        double_ = 0.0;
    valid_ |= kValidDouble;
}

double Variable::ValueDoubleChecked(int32_t* error) {
    if (target_) return Real()->ValueDoubleChecked(error);
    int32_t ignored = 0;
    if (!error) error = &ignored;
    *error = 0;
    if (tree_) {
        *error = 1;
        return 0.0;
    }
    if (valid_ & kValidText) {
        int32_t invalid = 0;
        double value = ParseDouble(text_.Text(), text_.Length(), text_.Capacity(), &invalid);
        if (invalid) {
            *error = 1;
        } else {
            double_ = value;
            valid_ |= kValidDouble;
        }
        return value;
    }
    if (valid_ & kValidDouble) return double_;
    if (valid_ & kValidInteger) {
        double_ = integer_;
        valid_ |= kValidDouble;
        return double_;
    }
    return 0.0;
}

int32_t Variable::Type() {
    if (target_) return Real()->Type();
    return type_;
}

int32_t Variable::PreferredType() {
    if (target_) return Real()->PreferredType();
    return kTypeText;
}

bool Variable::Boolean() {
    if (target_) return Real()->Boolean();
    if (tree_) {
        const String& text = Value();
        return TextIsTrue(text.Text(), text.Length());
    }
    if (valid_ & kValidText) return TextIsTrue(text_.Text(), text_.Length());
    if (valid_ & kValidDouble) return double_ != 0.0; // NaN is true
    if (valid_ & kValidInteger) return integer_ != 0;
    BuildText();
    return TextIsTrue(text_.Text(), text_.Length());
}

bool Variable::IsEmpty() {
    if (target_) return Real()->IsEmpty();
    if (tree_) return false;
    if (valid_ & kValidText) return text_.Length() == 0;
    return !(valid_ & (kValidInteger | kValidDouble));
}

AggregateElementTree* Variable::Tree() {
    if (target_) return Real()->Tree();
    return tree_;
}

int32_t Variable::AggregateType() {
    if (target_) return Real()->AggregateType();
    return kind_;
}

String& Variable::AuxText() {
    if (target_) return Real()->AuxText();
    return aux_;
}

// --- Writing ------------------------------------------------------------------

void Variable::SetName(const String& name) {
    if (!name.IsNull()) name_ = name;
}

void Variable::Clear() {
    if (target_) return Real()->Clear();
    if (valid_ & kValidText) text_.Assign("", 0);
    AggregateElementTree* old = tree_;
    tree_ = nullptr;
    kind_ = kAggregateScalar;
    valid_ = 0;
    type_ = kTypeNone;
    DestroyTree(old);
}

// The new value is stored before an old tree goes: the text may live in it.
int Variable::SetValue(const char* text, int32_t length) {
    if (target_) return Real()->SetValue(text, length);
    text_.Assign(text, length);
    valid_ = kValidText;
    type_ = kTypeText;
    BecomeScalar();
    return 1;
}

// The old tree goes only after the new value is in place: the value may have
// come from inside it.
void Variable::BecomeScalar() {
    AggregateElementTree* old = tree_;
    tree_ = nullptr;
    kind_ = kAggregateScalar;
    DestroyTree(old);
}

namespace {

const void* PlainVariableTable() {
    Variable probe;
    return *reinterpret_cast<const void* const*>(&probe);
}

} // namespace

const void* const Variable::plainTable_ = PlainVariableTable();

bool Variable::Refresh() {
    if (refs_ != 1 || busy_ || pendingNext_ || !IsPlainScalar()) return false;
    integer_ = 0;
    double_ = 0.0;
    valid_ = 0;
    type_ = kTypeNone;
    kind_ = kAggregateScalar;
    if (!aux_.IsNull()) aux_.Free();
    return true;
}

void Variable::PlainAppendGrowing(const char* text, int32_t length) {
    if (!(valid_ & kValidText)) Variable::BuildText();
    text_.Append(text, length);
    valid_ = kValidText;
    type_ = kTypeText;
    kind_ = kAggregateScalar;
}

int Variable::SetValueNocopy(char* buffer, int32_t length, int32_t capacity) {
    if (target_) return Real()->SetValueNocopy(buffer, length, capacity);
    text_.Adopt(buffer, length, capacity);
    valid_ = kValidText;
    type_ = kTypeText;
    BecomeScalar();
    return 1;
}

int Variable::SetValueInteger(int32_t value) {
    if (target_) return Real()->SetValueInteger(value);
    integer_ = value;
    valid_ = kValidInteger;
    type_ = kTypeInteger;
    BecomeScalar();
    return 1;
}

int Variable::SetValueDouble(double value) {
    if (target_) return Real()->SetValueDouble(value);
    double_ = value;
    valid_ = kValidDouble;
    type_ = kTypeDouble;
    BecomeScalar();
    return 1;
}

int Variable::SetValueVariable(Variable* source) {
    if (target_) return Real()->SetValueVariable(source);
    if (!source) return 1;
    Variable* s = source->RealIdentity();
    // Also for an aggregate: a copy of itself would only unshare its elements.
    if (s == this) return 1;
    // The copy is complete before the old tree goes, since the source may
    // live inside it.
    if (s->Tree()) {
        AggregateElementTree* copy = DeepCopyTree(s);
        int32_t kind = s->AggregateType() == kAggregateArray ? kAggregateArray : kAggregateStructure;
        AggregateElementTree* old = tree_;
        tree_ = copy;
        kind_ = kind;
        valid_ = 0;
        type_ = kTypeNone;
        DestroyTree(old);
        return 1;
    }
    AggregateElementTree* old = tree_;
    CopyScalarFrom(s);
    tree_ = nullptr;
    kind_ = kAggregateScalar;
    DestroyTree(old);
    return 1;
}

void Variable::CopyScalarFrom(Variable* s) {
    switch (s->StorageKind()) {
    case kStorageNull:
        valid_ = 0;
        type_ = kTypeNone;
        break;
    case kStorageComputedInteger:
        integer_ = s->ValueInteger();
        valid_ = kValidInteger;
        type_ = kTypeInteger;
        break;
    case kStorageComputedText:
        text_ = s->Value();
        valid_ = kValidText;
        type_ = kTypeText;
        break;
    case kStorageDatabaseField: {
        valid_ = s->valid_ & kValidAll;
        type_ = s->type_;
        if (valid_ & kValidText) {
            if (s->text_.IsNull())
                text_.Assign("", 0);
            else
                text_ = s->text_;
        }
        if (valid_ & kValidInteger) integer_ = s->integer_;
        if (valid_ & kValidDouble) double_ = s->double_;
        if (type_ == kTypeNone || valid_ == 0) {
            switch (s->PreferredType()) {
            case kTypeInteger:
                integer_ = s->ValueInteger();
                valid_ |= kValidInteger;
                type_ = kTypeInteger;
                break;
            case kTypeDouble:
                double_ = s->ValueDouble();
                valid_ |= kValidDouble;
                type_ = kTypeDouble;
                break;
            default:
                text_ = s->Value();
                valid_ |= kValidText;
                type_ = kTypeText;
                break;
            }
        }
        // The field's text (padded, with its decimals) beside its number.
        valid_ |= kValidMixed;
        break;
    }
    default: {
        if (!(s->valid_ & kValidAll)) {
            const String& text = s->Value();
            // A computed value that keeps no cache is copied through its text.
            if (!(s->valid_ & kValidAll)) {
                text_ = text;
                valid_ = kValidText;
                type_ = kTypeText;
                break;
            }
        }
        valid_ = s->valid_ & kValidAll;
        type_ = s->type_;
        if (valid_ & kValidText) text_ = s->text_;
        if (valid_ & kValidInteger) integer_ = s->integer_;
        if (valid_ & kValidDouble) double_ = s->double_;
        // Another class may cache forms of its own making.
        if ((s->valid_ & kValidMixed) || !s->IsPlainClass()) valid_ |= kValidMixed;
        break;
    }
    }
}

void Variable::ReplaceTree(int32_t kind) {
    AggregateElementTree* old = tree_;
    tree_ = new AggregateElementTree();
    kind_ = kind;
    valid_ = 0;
    type_ = kTypeNone;
    DestroyTree(old);
}

void Variable::SetAggregateKind(int32_t kind) {
    if (target_) return Real()->SetAggregateKind(kind);
    if (kind == kAggregateStructure || kind == kAggregateArray) {
        if (kind_ != kind || !tree_) ReplaceTree(kind);
    } else if (kind == kAggregateScalar && tree_) {
        AggregateElementTree* old = tree_;
        tree_ = nullptr;
        kind_ = kAggregateScalar;
        valid_ = 0;
        type_ = kTypeNone;
        DestroyTree(old);
    }
}

// --- ImmutableVariable --------------------------------------------------------

ImmutableVariable::~ImmutableVariable() {
    if (nullElement_) nullElement_->Release();
}

Variable* ImmutableVariable::NullElement() {
    if (!nullElement_) nullElement_ = new NULLVariable();
    return nullElement_;
}

int ImmutableVariable::SetValueVariable(Variable*) { return 1; }
int ImmutableVariable::SetValue(const char*, int32_t) { return 1; }
int ImmutableVariable::SetValueNocopy(char* buffer, int32_t, int32_t) {
    std::free(buffer);
    return 1;
}
int ImmutableVariable::SetValueInteger(int32_t) { return 1; }
int ImmutableVariable::SetValueDouble(double) { return 1; }
void ImmutableVariable::Clear() {}
void ImmutableVariable::SetElement(const AggregateIndex&, Variable*) {}
void ImmutableVariable::InsertElement(int32_t, Variable*) {}
void ImmutableVariable::DeleteElement(const AggregateIndex&, bool) {}
void ImmutableVariable::DeleteArrayElements(int32_t, int32_t, bool) {}
void ImmutableVariable::ArrayMerge(Variable*, int32_t, int32_t, int32_t, bool) {}
void ImmutableVariable::ArrayCopy(Variable*, int32_t, int32_t, int32_t, bool) {}
void ImmutableVariable::MakeReference(Variable*) {}

Variable* ImmutableVariable::Element(const AggregateIndex& key, bool create) {
    AggregateElementTree* tree = Tree();
    if (tree && AggregateType() == key.Kind()) {
        if (AggregateElement* e = tree->Find(key)) return e->Value();
    }
    return create ? NullElement() : nullptr;
}

Variable* ImmutableVariable::ElementByPath(List<AggregateIndex>* keys, bool create) {
    if (!keys || keys->Count() == 0) return this;
    Variable* v = this;
    for (AggregateIndex* key = keys->First(); key; key = keys->Next()) {
        v = v->Element(*key, false);
        if (!v) return create ? NullElement() : nullptr;
    }
    return v;
}

// --- NULLVariable ---------------------------------------------------------------

const String& NULLVariable::Value() { return text_; }
int32_t NULLVariable::ValueInteger() { return integer_; }
double NULLVariable::ValueDouble() { return double_; }
double NULLVariable::ValueDoubleChecked(int32_t* error) {
    if (error) *error = 0;
    return 0.0;
}
int32_t NULLVariable::StorageKind() const { return kStorageNull; }
bool NULLVariable::Boolean() { return false; }
bool NULLVariable::IsEmpty() { return true; }
Variable* NULLVariable::ElementByPath(List<AggregateIndex>*, bool create) { return create ? this : nullptr; }
Variable* NULLVariable::Element(const AggregateIndex&, bool create) { return create ? this : nullptr; }
void NULLVariable::SetAggregateKind(int32_t) {}

// --- ReferenceVariable ----------------------------------------------------------

ReferenceVariable::ReferenceVariable(const String& name, Variable* target, List<AggregateIndex>* keys) {
    name_ = name;
    if (target && keys) target = target->ElementByPath(keys, true);
    if (target) {
        target_ = target;
        AddChain(target, 1);
    }
}

ReferenceVariable::ReferenceVariable(const char* name, int32_t nameLength, Variable* target)
    : Variable(name, nameLength) {
    if (target) {
        target_ = target;
        AddChain(target, 1);
    }
}

int32_t ReferenceVariable::StorageKind() const { return kStorageReference; }

} // namespace vorn
