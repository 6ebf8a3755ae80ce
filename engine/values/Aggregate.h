// Keys, elements and the splay tree that hold the members of a structure or
// the elements of an array.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "engine/foundation/SplayTree.h"
#include "engine/foundation/String.h"
#include "engine/values/Variable.h"

namespace vorn {

// A member name (index -1) or an array index (0 or more).
class AggregateIndex {
public:
    // A negative index becomes 0; the name stays empty.
    static AggregateIndex FromIndex(int32_t index);
    // length -1 means up to the first NUL.
    static AggregateIndex FromName(const char* text, int32_t length);

    AggregateIndex(const AggregateIndex& other) = default;
    AggregateIndex& operator=(const AggregateIndex& other) = default;
    AggregateIndex(AggregateIndex&& other) noexcept = default;
    AggregateIndex& operator=(AggregateIndex&& other) noexcept = default;
    ~AggregateIndex() = default;

    // For an array key: the decimal text of the index becomes its name (used
    // by code that lists an aggregate's keys).
    void SpellIndex();
    // Moves an array key; a spelled name is dropped so it is spelled again.
    void SetIndex(int32_t index);

    const String& Name() const { return name_; }
    int32_t Index() const { return index_; }
    bool IsMember() const { return index_ < 0; }
    // The kind of aggregate this key addresses.
    int32_t Kind() const { return index_ >= 0 ? kAggregateArray : kAggregateStructure; }

    // Order of this key against an element's key: member names without regard
    // to case (a shorter name that is a prefix sorts first), array keys by
    // index. Negative, 0 or positive.
    int Compare(const AggregateIndex& element) const;

private:
    AggregateIndex(const char* text, int32_t length, int32_t index) : name_(text, length), index_(index) {}
    AggregateIndex() = default;

    String name_;
    int32_t index_ = -1;
};

template <>
struct SplayTreeKeyOrder<AggregateIndex> {
    static int Compare(const AggregateIndex& k, const AggregateIndex& e) { return k.Compare(e); }
};

// One member or element: a key and the Variable it holds one reference on.
class AggregateElement {
public:
    // A deep copy: the value is a new Variable copied from the other's value.
    AggregateElement(const AggregateElement& other);
    // The value is a new unnamed, empty scalar.
    explicit AggregateElement(const AggregateIndex& key);
    // Holds one more reference on value.
    AggregateElement(const AggregateIndex& key, Variable* value);
    AggregateElement& operator=(const AggregateElement&) = delete;
    // Releases the value.
    virtual ~AggregateElement();

    virtual const AggregateIndex& Key() const;
    virtual Variable* Value() const;
    // References the new value, then releases the old one.
    virtual void SetValue(Variable* value);

private:
    friend class AggregateElementTree;

    AggregateIndex key_;
    Variable* value_;
};

// An array element held without element or variable objects: the value a
// store of an integer, a double or a text leaves in an element variable.
struct DenseValue {
    enum : uint8_t { kInteger, kDouble, kText, kMissing };
    // A value slot's number or text (borrowed); false for any other value.
    static bool Of(const Scalar& from, DenseValue* out) {
        switch (from.type) {
        case Scalar::kInteger:
            out->type = kInteger;
            out->integer = from.integer;
            return true;
        case Scalar::kDouble:
            out->type = kDouble;
            out->number = from.number;
            return true;
        case Scalar::kText:
            out->type = kText;
            out->text = from.text;
            out->length = from.length;
            return true;
        default:
            return false;
        }
    }
    union {
        int32_t integer;
        double number;
        char* text; // NUL-terminated
    };
    int32_t length = 0;
    uint8_t type = kMissing;
};

// The compact elements 1..n of an array, grown with realloc: a large block
// grows by remapping its pages rather than copying them. While every element
// is an integer they take 4 bytes each; the first element of another kind
// widens them all, in place, to 8-byte cells: a double as itself, anything
// else a quiet NaN with a tag no arithmetic makes (an integer in its low 32
// bits, a text's block in its low 48). A widened array takes twice its
// memory, never more.
class DenseElements {
public:
    DenseElements() = default;
    // Frees the texts too.
    ~DenseElements();
    DenseElements(const DenseElements&) = delete;
    DenseElements& operator=(const DenseElements&) = delete;

    size_t size() const { return size_; }
    bool Integers() const { return integers_; }
    // Whether a double fits a cell (not a NaN of the tags' own bits).
    static bool Holds(double number) {
        uint64_t bits;
        std::memcpy(&bits, &number, sizeof bits);
        const uint64_t tag = bits & kTagMask;
        return tag < kCellInteger || tag > kCellMissing;
    }
    // The element at i (< size()); a text stays the array's.
    DenseValue Get(size_t i) const {
        DenseValue v;
        if (integers_) {
            v.type = DenseValue::kInteger;
            v.integer = static_cast<const int32_t*>(data_)[i];
            return v;
        }
        const uint64_t cell = static_cast<const uint64_t*>(data_)[i];
        switch (cell & kTagMask) {
        case kCellInteger:
            v.type = DenseValue::kInteger;
            v.integer = static_cast<int32_t>(static_cast<uint32_t>(cell));
            break;
        case kCellText: {
            const char* block = reinterpret_cast<const char*>(static_cast<uintptr_t>(cell & ~kTagMask));
            v.type = DenseValue::kText;
            std::memcpy(&v.length, block, sizeof v.length);
            v.text = const_cast<char*>(block + sizeof v.length);
            break;
        }
        case kCellMissing:
            v.type = DenseValue::kMissing;
            v.number = 0.0;
            break;
        default:
            v.type = DenseValue::kDouble;
            std::memcpy(&v.number, &cell, sizeof v.number);
            break;
        }
        return v;
    }
    // SetInteger where it takes no memory: i < size(), or i == size() below
    // the capacity; false, nothing done, otherwise.
    bool SetIntegerInPlace(size_t i, int32_t value) {
        if (!integers_ || i > size_ || i == capacity_) return false;
        if (i == size_) ++size_;
        static_cast<int32_t*>(data_)[i] = value;
        return true;
    }
    // The element at i (< size()) as arithmetic reads it; false for a text.
    bool Number(size_t i, double* out) const {
        if (integers_) {
            *out = static_cast<const int32_t*>(data_)[i];
            return true;
        }
        const uint64_t cell = static_cast<const uint64_t*>(data_)[i];
        switch (cell & kTagMask) {
        case kCellInteger: *out = static_cast<int32_t>(static_cast<uint32_t>(cell)); return true;
        case kCellText: return false;
        case kCellMissing: *out = 0.0; return true;
        default: std::memcpy(out, &cell, sizeof *out); return true;
        }
    }
    // Stores an integer at i (< size()) or after the last element (i ==
    // size()), the common case, when the elements are integers; false,
    // nothing done, otherwise. Throws std::bad_alloc when there is no room.
    bool SetInteger(size_t i, int32_t value) {
        if (!integers_ || i > size_) return false;
        if (i == size_) {
            if (size_ == capacity_) Grow();
            ++size_;
        }
        static_cast<int32_t*>(data_)[i] = value;
        return true;
    }
    // Stores value (a text is copied; a double Holds) at i (< size()) or
    // after the last element. Throws std::bad_alloc, nothing changed, when
    // there is no room.
    void Set(size_t i, const DenseValue& value);
    // The text element at i given up: a malloc'ed buffer (*size bytes) that
    // starts with its bytes, NUL-terminated; the element is then missing.
    char* TakeText(size_t i, int32_t* size);

private:
    static constexpr uint64_t kTagMask = 0xFFFF000000000000u;
    static constexpr uint64_t kCellInteger = 0xFFF9000000000000u;
    static constexpr uint64_t kCellText = 0xFFFA000000000000u;
    static constexpr uint64_t kCellMissing = 0xFFFB000000000000u;
    static void FreeCell(uint64_t cell);
    void Grow();
    void Widen();

    void* data_ = nullptr; // int32_t elements, or 8-byte cells
    size_t size_ = 0;
    size_t capacity_ = 0;
    bool integers_ = true;
};

// The members or elements of one aggregate, ordered by key. Always owns its
// elements. Copying, clearing, walking and shifting never recurse deeply.
//
// An array filled in order from index 1 (by the interpreter's stores) keeps
// its elements 1..n in a contiguous vector of compact values instead: 4 or 8
// bytes an element where the tree takes three objects. Every operation of
// the tree turns that form into the tree first (the elements get their
// objects then), so nothing else ever sees it.
class AggregateElementTree : public SplayTree<AggregateElement, AggregateIndex> {
public:
    AggregateElementTree() : SplayTree(true) {}
    // Deep copy of every element.
    AggregateElementTree(const AggregateElementTree& other);
    ~AggregateElementTree() override;

    // --- The compact form -------------------------------------------------
    bool IsDense() const { return dense_ != nullptr; }
    // Stores value (a text is copied) as element index of an empty or compact
    // tree, for index 1 .. count + 1; false, with nothing done, otherwise (and
    // for a double no cell holds).
    bool DenseStore(int32_t index, const DenseValue& value) {
        // An integer into integers, the common case.
        if (dense_ && value.type == DenseValue::kInteger && index >= 1 &&
            dense_->SetInteger(static_cast<size_t>(index) - 1, value.integer))
            return true;
        return DenseStoreSlow(index, value);
    }
    // DenseStore of an integer into a compact tree where it takes no memory
    // (index at least 1); false, nothing done, otherwise.
    bool DenseStoreInPlace(int32_t index, int32_t value) {
        return dense_ && dense_->SetIntegerInPlace(static_cast<size_t>(index) - 1, value);
    }
    // The element at index (at least 1) of a compact tree as arithmetic reads
    // it: a missing one as the null value, 0; false for a text, or when the
    // tree is not compact.
    bool DenseNumber(int32_t index, double* out) const {
        if (!dense_) return false;
        const auto i = static_cast<size_t>(index) - 1;
        if (i >= dense_->size()) {
            *out = 0.0;
            return true;
        }
        return dense_->Number(i, out);
    }
    // The element at index of a compact tree (type kMissing beyond its
    // end, where the tree has none); false when the tree is not compact or
    // index is below 1.
    bool DenseRead(int32_t index, DenseValue* out) const {
        if (!dense_ || index < 1) return false;
        if (static_cast<size_t>(index) > dense_->size())
            out->type = DenseValue::kMissing;
        else
            *out = dense_->Get(static_cast<size_t>(index) - 1);
        return true;
    }

    // --- The tree's operations, each on the tree form ---------------------
    void Insert(AggregateElement* item) override;
    AggregateElement* Remove(const AggregateIndex& key) override;
    AggregateElement* Find(const AggregateIndex& key) override;
    AggregateElement* Successor(const AggregateIndex& key) override;
    AggregateElement* Predecessor(const AggregateIndex& key) override;
    AggregateElement* First() const override;
    AggregateElement* Last() const override;
    void Clear() override;
    void Walk(List<AggregateElement>& list) const;
    int32_t Count() const;

    // Every element whose index is from or more moves by delta; each moved
    // key is spelled again when next needed. Returns 0 and moves nothing when
    // an index would leave the range 0..2147483647; else 1. Callers make room
    // first: a move onto an existing key is not checked.
    virtual int ShiftIndexes(int32_t from, int32_t delta);

    // Calls fn(AggregateElement*) for every element, in no fixed order.
    template <class Fn>
    void ForEachElement(Fn&& fn) const {
        Spill();
        VisitSubtree(root_, [&](Node* n) { fn(n->item); });
    }

protected:
    // Adds delta to the index of every element of the subtree: recursively
    // for small trees, with an explicit stack for large ones.
    virtual void ShiftSubtree(int32_t delta, Node* node);
    virtual void ShiftSubtreeIterative(int32_t delta, Node* node);

private:
    static void Shift(AggregateElement* element, int32_t delta);
    static const AggregateElementTree& Spilled(const AggregateElementTree& tree);
    // Gives the compact elements their objects and the tree form.
    void Spill() const;
    void FreeDense() const;
    bool DenseStoreSlow(int32_t index, const DenseValue& value);

    mutable DenseElements* dense_ = nullptr;
};

// --- The interpreter's element fast paths on a plain variable -----------

inline bool Variable::PlainDenseStore(int32_t index, const DenseValue& value) {
    if (tree_ && kind_ == kAggregateArray && !target_ && IsPlainClass() && tree_->IsDense())
        return tree_->DenseStore(index, value);
    return DenseStoreFirst(index, value);
}

inline bool Variable::PlainDenseStoreInPlace(int32_t index, int32_t value) {
    return tree_ && kind_ == kAggregateArray && !target_ && IsPlainClass() &&
           tree_->DenseStoreInPlace(index, value);
}

inline bool Variable::PlainDenseNumber(int32_t index, double* out) const {
    return !target_ && tree_ && kind_ == kAggregateArray && IsPlainClass() && tree_->DenseNumber(index, out);
}

inline bool Variable::PlainDenseRead(int32_t index, DenseValue* out) const {
    if (target_ || !tree_ || kind_ != kAggregateArray || !IsPlainClass()) return false;
    return tree_->DenseRead(index, out);
}

inline bool Variable::PlainDenseValue(DenseValue* out) {
    Scalar value;
    // A value of no type is no compact element.
    return type_ != kTypeNone && PlainScalar(&value) && DenseValue::Of(value, out);
}

} // namespace vorn
