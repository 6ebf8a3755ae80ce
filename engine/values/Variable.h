// The script value: a named, reference-counted Variable holding a scalar
// (text, integer or double, each form cached once computed) or an aggregate
// (a structure of named members or an array of numbered elements).
//
// Aliasing is a mode of Variable, not a separate object: MakeReference turns
// any ordinary Variable into an alias in place, so pointers held elsewhere stay
// valid. An alias forwards its value and aggregate operations to the variable
// at the end of its chain of targets.
//
// Ownership: whoever creates a Variable holds its first reference; scopes,
// aggregate elements, VariableLists and aliases hold one reference each, and
// the last Release deletes it. Destruction of nested values is deferred onto a
// per-thread queue, so releasing a value nested to any depth never recurses.
//
// The value graph never holds a cycle: making an alias of a value that holds
// the alias, or storing a value inside itself, does nothing (see MakeReference
// and SetElement). The walkers that build text and copy aggregates are
// iterative and skip anything that would lead back into a value they are still
// walking.
#pragma once

#include <cstdint>

#include "engine/foundation/String.h"
#include "engine/values/Scalar.h"

namespace vorn {

template <class T>
class List;
class AggregateIndex;
class AggregateElementTree;
struct DenseValue;

// Valid flags: which cached forms hold the value.
inline constexpr uint32_t kValidText = 1;
inline constexpr uint32_t kValidInteger = 2;
inline constexpr uint32_t kValidDouble = 4;
inline constexpr uint32_t kValidAll = kValidText | kValidInteger | kValidDouble;
// With the forms: they may not all follow from the assigned one (a copy of a
// database field keeps the field's text beside its number; a negative zero's
// text "-0" is true where the number is false). Any assignment of a single
// form clears it.
inline constexpr uint32_t kValidMixed = 8;

// Form of the last assignment.
inline constexpr int32_t kTypeNone = 0;
inline constexpr int32_t kTypeText = 1;
inline constexpr int32_t kTypeInteger = 2;
inline constexpr int32_t kTypeDouble = 3;

// Aggregate kinds.
inline constexpr int32_t kAggregateStructure = 0;
inline constexpr int32_t kAggregateArray = 1;
inline constexpr int32_t kAggregateScalar = 2;

// Storage kinds: how assignment copies from a variable.
inline constexpr int32_t kStorageOrdinary = 0;
inline constexpr int32_t kStorageReference = 1;
inline constexpr int32_t kStorageNull = 2;
inline constexpr int32_t kStorageComputedInteger = 3;
inline constexpr int32_t kStorageComputedText = 4;
inline constexpr int32_t kStorageDatabaseField = 5;

// Truth of a text: false for the empty text and for texts made only of '0'
// with at most one '.'; true otherwise. length -1 means up to the first NUL.
bool TextIsTrue(const char* text, int32_t length);

// A double truncated toward zero; values outside the 32-bit range (and NaN)
// give -2147483648.
int32_t TruncateDouble(double value);

class Variable {
public:
    // Every constructor leaves reference count 1, a scalar, no tree, an empty
    // aux text and no target. Lengths of -1 mean up to the first NUL.

    // Empty name and text, type none, nothing valid.
    Variable();
    // Named, nothing valid.
    Variable(const char* name, int32_t nameLength);
    // Text valid, type text.
    Variable(const String& name, const String& text);
    Variable(const char* name, int32_t nameLength, const char* text, int32_t textLength);
    // Integer valid, type integer; the double field holds the value too but
    // is not marked valid.
    Variable(const char* name, int32_t nameLength, int32_t value);
    // Double valid and integer valid (truncated), type double.
    Variable(const char* name, int32_t nameLength, double value);
    // Takes over a malloc'ed buffer as the text; text valid, type text.
    Variable(const char* name, int32_t nameLength, char* buffer, int32_t length, int32_t capacity);
    // A copy of source: its name and value; an aggregate is copied deeply.
    // A null source gives an empty variable.
    explicit Variable(Variable* source);

    Variable(const Variable&) = delete;
    Variable& operator=(const Variable&) = delete;

    // Deletes the tree. An alias deleted while still referenced gives its
    // remaining references on the target back.
    virtual ~Variable();

    // --- The virtual operations, in table order ---------------------------
    virtual const String& Name() const;
    // This, or an alias's direct target.
    virtual Variable* NextIdentity();
    // The variable at the end of the chain of targets (this for a non-alias).
    virtual Variable* RealIdentity();
    // The text form. An aggregate's text is rebuilt on every call: the
    // comma-joined texts of its scalar leaves in depth-first key order.
    virtual const String& Value();
    virtual int32_t ValueInteger();
    virtual double ValueDouble();
    // *error (optional) is 1 when the value is not a number.
    virtual double ValueDoubleChecked(int32_t* error);
    virtual int32_t StorageKind() const;
    virtual int32_t Type();
    virtual int32_t PreferredType();
    virtual bool Boolean();
    virtual bool IsEmpty();
    virtual void Clear();
    virtual AggregateElementTree* Tree();
    virtual int32_t AggregateType();
    virtual int32_t ReferenceCount() const;
    // A String without data leaves the name unchanged.
    virtual void SetName(const String& name);
    // Copies the value of source's real identity (aggregates deeply). Always 1.
    virtual int SetValueVariable(Variable* source);
    virtual int SetValue(const char* text, int32_t length);
    // Takes over a malloc'ed buffer.
    virtual int SetValueNocopy(char* buffer, int32_t length, int32_t capacity);
    virtual int SetValueInteger(int32_t value);
    virtual int SetValueDouble(double value);
    virtual String& AuxText();

    // Aggregate operations (Aggregate.cpp).
    // Applies each key in turn with Element; a null or empty list gives this.
    virtual Variable* ElementByPath(List<AggregateIndex>* keys, bool create);
    // The member or element of that key, or null. With create a missing one
    // is added, and a variable of the other kind is converted (its contents
    // are discarded).
    virtual Variable* Element(const AggregateIndex& key, bool create);
    // Stores value under key (the tree holds one more reference on it).
    // Nothing happens when value is null or holds this variable.
    virtual void SetElement(const AggregateIndex& key, Variable* value);
    // Inserts value at index, moving the elements at index and above up by
    // one; index <= 0 appends after the greatest index. Nothing happens when
    // value is null or holds this variable, or when an index would leave the
    // 32-bit range.
    virtual void InsertElement(int32_t index, Variable* value);
    // Removes the element; with shift the elements above it move down by one.
    virtual void DeleteElement(const AggregateIndex& key, bool shift);
    // count -1 removes every element at start and above.
    virtual void DeleteArrayElements(int32_t start, int32_t count, bool shift);
    // Splices count elements of source (from sourceStart) into this array at
    // destinationStart, moving this array's elements there and above up.
    virtual void ArrayMerge(Variable* source, int32_t sourceStart, int32_t count, int32_t destinationStart,
                            bool copy);
    // Stores count elements of source (from sourceStart) at destinationStart,
    // replacing what is there; nothing moves.
    virtual void ArrayCopy(Variable* source, int32_t sourceStart, int32_t count, int32_t destinationStart,
                           bool copy);
    virtual int32_t ArrayMax();
    virtual int32_t ArrayMin();
    virtual int32_t ArrayNext(int32_t index);
    virtual int32_t ArrayPrevious(int32_t index);
    virtual int32_t ElementsUsed();

    virtual void AddReference();
    virtual void Release();

    // Internal conversions: fill one cache from the others.
    virtual void BuildText();
    virtual int32_t ComputeInteger();
    virtual void ComputeDouble();

    // 0 structure, 1 array: a different kind discards the contents; 2 makes
    // the variable an empty scalar again.
    virtual void SetAggregateKind(int32_t kind);
    // Appends this value's text to out: a scalar adds a ',' first when out is
    // not empty; an aggregate adds each of its leaves that way; an alias adds
    // its target's whole text as one piece.
    virtual void AppendText(String& out);
    // Makes this ordinary variable an alias of target in place (or retargets
    // an alias): the name and reference count stay, and target gains as many
    // references as this has. Nothing happens when the target is this or
    // holds this (directly, through its elements or through aliases), or
    // when this is not an ordinary variable or alias.
    virtual void MakeReference(Variable* target);
    // The storage kind of an alias's direct target; -1 for a non-alias.
    virtual int32_t TargetStorageKind() const;

    // --- Non-virtual helpers -----------------------------------------------
    // The interpreter's fast paths. A plain scalar is a Variable of this very
    // class (no subclass may have changed its operations) that is neither an
    // alias nor an aggregate; for one, each Plain* call does exactly what the
    // virtual operation it names does, without the virtual calls.
    bool IsPlainScalar() const { return !target_ && !tree_ && IsPlainClass(); }
    // Whether this is a Variable of this very class: its table of virtual
    // operations is Variable's own (one load, where typeid takes three).
    bool IsPlainClass() const { return *reinterpret_cast<const void* const*>(this) == plainTable_; }
    int32_t PlainInteger() { return (valid_ & kValidInteger) ? integer_ : Variable::ComputeInteger(); }
    double PlainDouble() {
        if (!(valid_ & kValidDouble)) Variable::ComputeDouble();
        return double_;
    }
    // ValueDoubleChecked when the value has no text form (which may not be
    // a number); false, with nothing done, when it has one.
    bool PlainNumber(double* out) {
        if (valid_ & kValidText) return false;
        if (valid_ & kValidDouble) {
            *out = double_;
        } else if (valid_ & kValidInteger) {
            double_ = integer_;
            valid_ |= kValidDouble;
            *out = double_;
        } else {
            *out = 0.0;
        }
        return true;
    }
    void PlainSetInteger(int32_t value) {
        integer_ = value;
        valid_ = kValidInteger;
        type_ = kTypeInteger;
        kind_ = kAggregateScalar;
    }
    void PlainSetDouble(double value) {
        double_ = value;
        valid_ = kValidDouble;
        type_ = kTypeDouble;
        kind_ = kAggregateScalar;
    }
    // SetValueVariable(source) between two plain scalars whose source holds
    // a value; false, with nothing done, otherwise.
    bool PlainCopyFrom(const Variable* source) {
        if (!(source->valid_ & kValidAll) || !source->IsPlainScalar() || !IsPlainScalar() || source == this)
            return false;
        valid_ = source->valid_ & (kValidAll | kValidMixed);
        type_ = source->type_;
        if (valid_ & kValidText) text_ = source->text_;
        if (valid_ & kValidInteger) integer_ = source->integer_;
        if (valid_ & kValidDouble) double_ = source->double_;
        kind_ = kAggregateScalar;
        return true;
    }
    // SetValue of this value's text followed by text: the text grows in
    // place, so a loop of appends costs linear time.
    [[gnu::always_inline]] void PlainAppend(const char* text, int32_t length) {
        if ((valid_ & kValidText) && text_.AppendInPlace(text, length)) {
            valid_ = kValidText;
            type_ = kTypeText;
            kind_ = kAggregateScalar;
            return;
        }
        PlainAppendGrowing(text, length);
    }
    // PlainScalar of a plain scalar assigned a number (forms not mixed), the
    // common case, inline; false for any other variable.
    [[gnu::always_inline]] bool PlainNumberScalar(Scalar* out) const {
        return (type_ == kTypeInteger || type_ == kTypeDouble) && IsPlainScalar() && PlainNumberOf(out);
    }
    // PlainNumberScalar of a variable known to be a plain scalar (the whole
    // payload written).
    [[gnu::always_inline]] bool PlainNumberOf(Scalar* out) const {
        if (type_ == kTypeInteger) {
            if ((valid_ & (kValidInteger | kValidMixed)) != kValidInteger) return false;
            out->type = Scalar::kInteger;
            out->bits = static_cast<uint32_t>(integer_);
            return true;
        }
        if (type_ == kTypeDouble) {
            if ((valid_ & (kValidDouble | kValidMixed)) != kValidDouble) return false;
            out->type = Scalar::kDouble;
            out->number = double_;
            return true;
        }
        return false;
    }
    // For a plain scalar assigned an integer (forms not mixed): that integer,
    // which a copy of it holds.
    bool PlainAssignedInteger(int32_t* out) const { return IsPlainScalar() && PlainAssignedIntegerOf(out); }
    // PlainAssignedInteger of a variable known to be a plain scalar.
    bool PlainAssignedIntegerOf(int32_t* out) const {
        if (type_ != kTypeInteger || (valid_ & (kValidInteger | kValidMixed)) != kValidInteger) return false;
        *out = integer_;
        return true;
    }
    // Value of a plain scalar: a number's text is built and kept.
    const String& PlainValue() {
        if (!(valid_ & kValidText)) Variable::BuildText();
        return text_;
    }
    // The length of a plain scalar's text when it has one, else -1.
    int32_t PlainTextLength() const { return (valid_ & kValidText) ? text_.Length() : -1; }
    // AddReference / Release of a plain variable that is no alias; the last
    // release still goes through the deferred deletion.
    void PlainAddReference() { ++refs_; }
    void PlainRelease() {
        if (refs_ > 1)
            --refs_;
        else
            Variable::Release();
    }
    // Release, without the virtual call for a plain variable that is no
    // alias.
    void ReleaseReference() {
        if (!target_ && IsPlainClass())
            PlainRelease();
        else
            Release();
    }
    // The element stores and reads of the interpreter on a plain variable
    // (no alias, no subclass) that is an array kept compact: Element(index,
    // create) then the store of value / the read of the element's value, as
    // the tree form would do them. A store also turns a variable of another
    // kind into an array when index is 1. False, with nothing done, where
    // the compact form cannot serve.
    // (Defined with the aggregates, Aggregate.h.)
    inline bool PlainDenseStore(int32_t index, const DenseValue& value);
    inline bool PlainDenseRead(int32_t index, DenseValue* out) const;
    // PlainDenseStore of an integer (index at least 1) into an array kept
    // compact as integers where the store takes no memory and changes no
    // kind; false, with nothing done, otherwise.
    inline bool PlainDenseStoreInPlace(int32_t index, int32_t value);
    // PlainDenseRead (index at least 1) of an element as arithmetic reads
    // it: a missing one 0; false for a text, or where the compact form
    // cannot serve.
    inline bool PlainDenseNumber(int32_t index, double* out) const;
    // For a plain scalar assigned an integer, a double or a text: that value
    // (a text borrowed), which a copy of this variable would hold.
    inline bool PlainDenseValue(DenseValue* out);
    // The value of a plain scalar whose cached forms all follow from its
    // assigned one (a text borrowed), as a copy of it takes it (an empty one
    // has its text read, as the copy reads it): what the copy answers to
    // every read. False for any other variable.
    bool PlainScalar(Scalar* out) {
        if (!IsPlainScalar() || (valid_ & kValidMixed)) return false;
        // Every other cached form was computed from the assigned one, so a
        // copy computes the same again.
        switch (type_) {
        case kTypeInteger:
        case kTypeDouble: return PlainNumberOf(out);
        case kTypeText:
            if (!(valid_ & kValidText)) return false;
            out->type = Scalar::kText;
            out->text = const_cast<char*>(text_.Text());
            out->length = text_.Length();
            return true;
        case kTypeNone:
            // A copy reads the text first: empty, or "0" after a read as a
            // number.
            out->bits = 0;
            if (!(valid_ & kValidAll)) Variable::BuildText();
            if (!(valid_ & kValidText)) {
                out->type = Scalar::kEmptyNumber;
                return true;
            }
            if (text_.Length() == 0) {
                out->type = Scalar::kEmptyText;
                return true;
            }
            if (text_.Length() == 1 && text_.Text()[0] == '0' && (valid_ & (kValidInteger | kValidDouble))) {
                out->type = Scalar::kEmptyNumber;
                return true;
            }
            return false;
        default:
            return false;
        }
    }
    // Makes a plain scalar that nothing else holds what a new Variable of
    // its name is (its text buffer kept for reuse); false, with nothing
    // changed, for any other variable.
    bool Refresh();
    bool IsAlias() const { return target_ != nullptr; }
    Variable* Target() const { return target_; }
    // Number of Variable objects alive (for leak checks): those counted by
    // the calling thread and by threads that have ended.
    static int64_t LiveCount();

protected:
    String name_;
    String text_;
    int32_t integer_ = 0;
    double double_ = 0.0;
    uint32_t valid_ = 0;
    int32_t type_ = kTypeNone;
    int32_t kind_ = kAggregateScalar;
    AggregateElementTree* tree_ = nullptr;
    int32_t refs_ = 1;
    String aux_;
    Variable* target_ = nullptr;

    // The end of the chain of targets, without virtual calls.
    Variable* Real();
    // Copies a scalar source's value by its storage kind (the scalar half of
    // SetValueVariable). source must not be this.
    void CopyScalarFrom(Variable* source);
    // Replaces the tree by a new empty one of that kind; nothing valid.
    void ReplaceTree(int32_t kind);
    // Deletes a detached tree, releasing its elements' values.
    static void DestroyTree(AggregateElementTree* tree);
    // Drops any aggregate tree and becomes a plain scalar.
    void BecomeScalar();

private:
    friend class DeletionScope;
    friend class ReferenceVariable;

    // Adds or takes n references on every link of a chain starting at v.
    static void AddChain(Variable* v, int32_t n);
    static void ReleaseChain(Variable* v, int32_t n);
    // True when to can be reached from from through alias targets and
    // element values.
    static bool Reaches(Variable* from, Variable* to);
    // Iterative walkers over nested aggregates (Aggregate.cpp).
    static void AppendAggregateText(Variable* root, String& out);
    static AggregateElementTree* DeepCopyTree(Variable* source);
    // PlainAppend that may build the text or grow its buffer.
    void PlainAppendGrowing(const char* text, int32_t length);
    // PlainDenseStore where there is no compact array yet.
    bool DenseStoreFirst(int32_t index, const DenseValue& value);
    // Stores value under key without the conversions and checks of
    // SetElement (the kind already matches).
    void StoreElement(const AggregateIndex& key, Variable* value);

    static const void* const plainTable_;

    bool busy_ = false;                  // on the stack of a walk
    Variable* pendingNext_ = nullptr;    // link in the deferred-deletion queue
};

// A read-only value: writes succeed without effect, and elements are looked
// up without creating anything. The base of the computed system variables.
class ImmutableVariable : public Variable {
public:
    using Variable::Variable;
    ImmutableVariable() = default;
    ~ImmutableVariable() override;

    int SetValueVariable(Variable* source) override;
    int SetValue(const char* text, int32_t length) override;
    // Frees the offered buffer.
    int SetValueNocopy(char* buffer, int32_t length, int32_t capacity) override;
    int SetValueInteger(int32_t value) override;
    int SetValueDouble(double value) override;
    void Clear() override;
    // A missing element asked for with create gives the shared null element.
    Variable* ElementByPath(List<AggregateIndex>* keys, bool create) override;
    Variable* Element(const AggregateIndex& key, bool create) override;
    void SetElement(const AggregateIndex& key, Variable* value) override;
    void InsertElement(int32_t index, Variable* value) override;
    void DeleteElement(const AggregateIndex& key, bool shift) override;
    void DeleteArrayElements(int32_t start, int32_t count, bool shift) override;
    void ArrayMerge(Variable* source, int32_t sourceStart, int32_t count, int32_t destinationStart,
                    bool copy) override;
    void ArrayCopy(Variable* source, int32_t sourceStart, int32_t count, int32_t destinationStart,
                   bool copy) override;
    void MakeReference(Variable* target) override;

protected:
    // Made on first use; released with this variable.
    Variable* NullElement();

private:
    Variable* nullElement_ = nullptr;
};

// The null value: empty, false, zero, and its own element.
class NULLVariable : public ImmutableVariable {
public:
    NULLVariable() = default;

    const String& Value() override;
    int32_t ValueInteger() override;
    double ValueDouble() override;
    double ValueDoubleChecked(int32_t* error) override;
    int32_t StorageKind() const override;
    bool Boolean() override;
    bool IsEmpty() override;
    Variable* ElementByPath(List<AggregateIndex>* keys, bool create) override;
    Variable* Element(const AggregateIndex& key, bool create) override;
    // The shared null value never becomes an aggregate.
    void SetAggregateKind(int32_t kind) override;
};

// A Variable created as an alias. It behaves exactly like any Variable that
// MakeReference turned into one; its storage kind is 1 even without a target.
class ReferenceVariable : public Variable {
public:
    // With keys, the target is target's ElementByPath(keys, create). The
    // target, when not null, gains one reference.
    ReferenceVariable(const String& name, Variable* target, List<AggregateIndex>* keys);
    ReferenceVariable(const char* name, int32_t nameLength, Variable* target);

    int32_t StorageKind() const override;
};

} // namespace vorn
