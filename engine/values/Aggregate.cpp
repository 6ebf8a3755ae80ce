#include "engine/values/Aggregate.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <memory>
#include <vector>

#include "engine/foundation/Hash.h"
#include "engine/foundation/List.h"
#include "engine/values/Scalar.h"

namespace vorn {

namespace {

constexpr int64_t kMaxIndex = INT32_MAX;

// Holds one reference on a variable for the length of an operation that may
// free the variable's last other holder (an old tree it lives in).
class HoldReference {
public:
    explicit HoldReference(Variable* v) : v_(v) {
        if (v_) v_->AddReference();
    }
    HoldReference(const HoldReference&) = delete;
    HoldReference& operator=(const HoldReference&) = delete;
    ~HoldReference() {
        if (v_) v_->Release();
    }

private:
    Variable* v_;
};

int32_t IndexOf(const AggregateElement* e) { return e->Key().Index(); }

} // namespace

// --- AggregateIndex ---------------------------------------------------------------

AggregateIndex AggregateIndex::FromIndex(int32_t index) {
    AggregateIndex key;
    key.index_ = index < 0 ? 0 : index;
    return key;
}

AggregateIndex AggregateIndex::FromName(const char* text, int32_t length) {
    if (!text) return AggregateIndex("", 0, -1);
    return AggregateIndex(text, length, -1);
}

void AggregateIndex::SpellIndex() {
    if (index_ >= 0 && name_.IsEmpty()) {
        name_.Assign("", 0);
        name_.AppendInteger(index_);
    }
}

void AggregateIndex::SetIndex(int32_t index) {
    index_ = index;
    name_.Free();
}

int AggregateIndex::Compare(const AggregateIndex& e) const {
    if (e.index_ < 0) {
        int32_t n = name_.Length() < e.name_.Length() ? name_.Length() : e.name_.Length();
        int c = CompareTextNoCase(name_.Text(), e.name_.Text(), n);
        if (c != 0) return c;
        if (name_.Length() == e.name_.Length()) return 0;
        return name_.Length() < e.name_.Length() ? -1 : 1;
    }
    if (index_ == e.index_) return 0;
    return index_ < e.index_ ? -1 : 1;
}

// --- AggregateElement -----------------------------------------------------------

AggregateElement::AggregateElement(const AggregateElement& other)
    : key_(other.key_), value_(new Variable(other.value_)) {}

AggregateElement::AggregateElement(const AggregateIndex& key) : key_(key), value_(new Variable()) {}

AggregateElement::AggregateElement(const AggregateIndex& key, Variable* value) : key_(key), value_(value) {
    if (value_) value_->AddReference();
}

AggregateElement::~AggregateElement() {
    if (value_) value_->Release();
}

const AggregateIndex& AggregateElement::Key() const { return key_; }

Variable* AggregateElement::Value() const { return value_; }

void AggregateElement::SetValue(Variable* value) {
    if (value) value->AddReference();
    Variable* old = value_;
    value_ = value;
    if (old) old->Release();
}

// --- AggregateElementTree -----------------------------------------------------

AggregateElementTree::AggregateElementTree(const AggregateElementTree& other) : SplayTree(Spilled(other)) {}

const AggregateElementTree& AggregateElementTree::Spilled(const AggregateElementTree& tree) {
    tree.Spill();
    return tree;
}

AggregateElementTree::~AggregateElementTree() { FreeDense(); }

DenseElements::~DenseElements() {
    if (!integers_) {
        for (size_t i = 0; i < size_; ++i) FreeCell(static_cast<uint64_t*>(data_)[i]);
    }
    std::free(data_);
}

void DenseElements::FreeCell(uint64_t cell) {
    if ((cell & kTagMask) == kCellText) std::free(reinterpret_cast<void*>(static_cast<uintptr_t>(cell & ~kTagMask)));
}

void DenseElements::Grow() {
    size_t capacity = capacity_ < 16 ? 16 : capacity_ * 2;
    size_t width = integers_ ? sizeof(int32_t) : sizeof(uint64_t);
    void* grown = std::realloc(data_, capacity * width);
    if (!grown) throw std::bad_alloc();
    data_ = grown;
    capacity_ = capacity;
}

void DenseElements::Widen() {
    size_t capacity = capacity_ < 16 ? 16 : capacity_;
    // Grown where it lies when it can be (a large block is remapped), then
    // each integer moved out to its cell from the last on: cell i covers
    // integers 2i and 2i + 1, read by then.
    void* grown = std::realloc(data_, capacity * sizeof(uint64_t));
    if (!grown) throw std::bad_alloc();
    data_ = grown;
    capacity_ = capacity;
    const auto* narrow = static_cast<const int32_t*>(data_);
    auto* cells = static_cast<uint64_t*>(data_);
    for (size_t i = size_; i-- > 0;) cells[i] = kCellInteger | static_cast<uint32_t>(narrow[i]);
    integers_ = false;
}

void DenseElements::Set(size_t i, const DenseValue& value) {
    if (value.type == DenseValue::kInteger && SetInteger(i, value.integer)) return;
    uint64_t cell;
    switch (value.type) {
    case DenseValue::kInteger: cell = kCellInteger | static_cast<uint32_t>(value.integer); break;
    case DenseValue::kDouble: std::memcpy(&cell, &value.number, sizeof cell); break;
    case DenseValue::kText: {
        // The length, then the bytes and a NUL.
        const size_t length = static_cast<size_t>(value.length);
        auto* block = static_cast<char*>(std::malloc(sizeof(int32_t) + length + 1));
        if (!block) throw std::bad_alloc();
        std::memcpy(block, &value.length, sizeof(int32_t));
        if (length > 0) std::memcpy(block + sizeof(int32_t), value.text, length);
        block[sizeof(int32_t) + length] = 0;
        const auto address = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(block));
        if (address & kTagMask) {
            // No user address reaches that far on the systems this runs on.
            std::free(block);
            throw std::bad_alloc();
        }
        cell = kCellText | address;
        break;
    }
    default: cell = kCellMissing; break;
    }
    try {
        if (integers_) Widen();
        if (i == size_ && size_ == capacity_) Grow();
    } catch (...) {
        FreeCell(cell);
        throw;
    }
    auto* cells = static_cast<uint64_t*>(data_);
    if (i == size_)
        ++size_;
    else
        FreeCell(cells[i]);
    cells[i] = cell;
}

char* DenseElements::TakeText(size_t i, int32_t* size) {
    uint64_t& cell = static_cast<uint64_t*>(data_)[i];
    auto* block = reinterpret_cast<char*>(static_cast<uintptr_t>(cell & ~kTagMask));
    int32_t length;
    std::memcpy(&length, block, sizeof length);
    std::memmove(block, block + sizeof length, static_cast<size_t>(length) + 1);
    cell = kCellMissing;
    *size = static_cast<int32_t>(sizeof length) + length + 1;
    return block;
}

void AggregateElementTree::FreeDense() const {
    delete dense_;
    dense_ = nullptr;
}

bool AggregateElementTree::DenseStoreSlow(int32_t index, const DenseValue& value) {
    if (value.type == DenseValue::kDouble && !DenseElements::Holds(value.number)) return false;
    if (!dense_) {
        if (root_ || index != 1) return false;
        dense_ = new DenseElements();
    }
    int64_t n = static_cast<int64_t>(dense_->size());
    if (index < 1 || index > n + 1) return false;
    dense_->Set(static_cast<size_t>(index - 1), value);
    return true;
}

void AggregateElementTree::Spill() const {
    if (!dense_) return;
    auto* self = const_cast<AggregateElementTree*>(this);
    // Every object first, each element's number in it, linked as ascending
    // stores would link them (each new root with the one before on its left);
    // running out of memory then frees them, and the compact form stays as it
    // was.
    Node* top = nullptr;
    const size_t n = dense_->size();
    try {
        for (size_t i = 0; i < n; ++i) {
            auto* element = new AggregateElement(AggregateIndex::FromIndex(static_cast<int32_t>(i + 1)));
            Node* node;
            try {
                node = new Node;
            } catch (...) {
                delete element;
                throw;
            }
            node->item = element;
            node->left = top;
            top = node;
            DenseValue v = dense_->Get(i);
            if (v.type == DenseValue::kInteger)
                element->Value()->SetValueInteger(v.integer);
            else if (v.type == DenseValue::kDouble)
                element->Value()->SetValueDouble(v.number);
        }
    } catch (...) {
        while (top) {
            Node* next = top->left;
            delete top->item;
            delete top;
            top = next;
        }
        throw;
    }
    // The texts move over without a copy.
    for (Node* node = top; node; node = node->left) {
        const size_t i = static_cast<size_t>(node->item->Key().Index()) - 1;
        DenseValue v = dense_->Get(i);
        if (v.type != DenseValue::kText) continue;
        int32_t size = 0;
        char* text = dense_->TakeText(i, &size);
        node->item->Value()->SetValueNocopy(text, v.length, size);
    }
    self->root_ = top;
    self->count_ = static_cast<int32_t>(n);
    FreeDense();
}

void AggregateElementTree::Insert(AggregateElement* item) {
    Spill();
    SplayTree::Insert(item);
}

AggregateElement* AggregateElementTree::Remove(const AggregateIndex& key) {
    Spill();
    return SplayTree::Remove(key);
}

AggregateElement* AggregateElementTree::Find(const AggregateIndex& key) {
    // A key the compact form does not hold is missing without a change of form.
    if (dense_ && (key.IsMember() || key.Index() < 1 || static_cast<size_t>(key.Index()) > dense_->size()))
        return nullptr;
    Spill();
    return SplayTree::Find(key);
}

AggregateElement* AggregateElementTree::Successor(const AggregateIndex& key) {
    Spill();
    return SplayTree::Successor(key);
}

AggregateElement* AggregateElementTree::Predecessor(const AggregateIndex& key) {
    Spill();
    return SplayTree::Predecessor(key);
}

AggregateElement* AggregateElementTree::First() const {
    Spill();
    return SplayTree::First();
}

AggregateElement* AggregateElementTree::Last() const {
    Spill();
    return SplayTree::Last();
}

void AggregateElementTree::Clear() {
    FreeDense();
    SplayTree::Clear();
}

void AggregateElementTree::Walk(List<AggregateElement>& list) const {
    Spill();
    SplayTree::Walk(list);
}

int32_t AggregateElementTree::Count() const {
    return dense_ ? static_cast<int32_t>(dense_->size()) : SplayTree::Count();
}

void AggregateElementTree::Shift(AggregateElement* element, int32_t delta) {
    element->key_.SetIndex(static_cast<int32_t>(static_cast<int64_t>(element->key_.Index()) + delta));
}

int AggregateElementTree::ShiftIndexes(int32_t from, int32_t delta) {
    Spill();
    if (delta == 0 || !root_) return 1;
    AggregateIndex key = AggregateIndex::FromIndex(from);
    // Refuse before touching anything when an index would leave 0..2^31-1.
    if (delta > 0) {
        AggregateElement* last = Last();
        if (IndexOf(last) >= from && IndexOf(last) + static_cast<int64_t>(delta) > kMaxIndex) return 0;
    } else {
        AggregateElement* first = Find(key);
        if (!first) first = Successor(key);
        if (first && IndexOf(first) + static_cast<int64_t>(delta) < 0) return 0;
    }
    Splay(key);
    if (IndexOf(root_->item) >= from) Shift(root_->item, delta);
    if (count_ < 100)
        ShiftSubtree(delta, root_->right);
    else
        ShiftSubtreeIterative(delta, root_->right);
    return 1;
}

void AggregateElementTree::ShiftSubtree(int32_t delta, Node* node) {
    // Depth is bounded by the item count (below 100 here); the right spine
    // is followed in a loop.
    while (node) {
        ShiftSubtree(delta, node->left);
        Shift(node->item, delta);
        node = node->right;
    }
}

void AggregateElementTree::ShiftSubtreeIterative(int32_t delta, Node* node) {
    VisitSubtree(node, [delta](Node* n) { Shift(n->item, delta); });
}

// --- Element access ---------------------------------------------------------------

bool Variable::DenseStoreFirst(int32_t index, const DenseValue& value) {
    if (target_ || !IsPlainClass()) return false;
    if (tree_ && kind_ == kAggregateArray) return tree_->DenseStore(index, value);
    // What Element does to a variable of another kind: its contents go and
    // it becomes an array holding the new element.
    if (index != 1) return false;
    ReplaceTree(kAggregateArray);
    return tree_->DenseStore(index, value);
}

Variable* Variable::ElementByPath(List<AggregateIndex>* keys, bool create) {
    if (target_) return Real()->ElementByPath(keys, create);
    if (!keys || keys->Count() == 0) return this;
    Variable* v = this;
    for (AggregateIndex* key = keys->First(); key; key = keys->Next()) {
        v = v->Element(*key, create);
        if (!v) return nullptr;
    }
    return v;
}

Variable* Variable::Element(const AggregateIndex& key, bool create) {
    if (target_) return Real()->Element(key, create);
    int32_t wanted = key.Kind();
    if (kind_ != wanted || !tree_) {
        if (!create) return nullptr;
        // The key may belong to the tree about to go.
        AggregateIndex own(key);
        ReplaceTree(wanted);
        AggregateElement* e = new AggregateElement(own);
        tree_->Insert(e);
        return e->Value();
    }
    if (AggregateElement* e = tree_->Find(key)) return e->Value();
    if (!create) return nullptr;
    AggregateElement* e = new AggregateElement(key);
    tree_->Insert(e);
    return e->Value();
}

void Variable::StoreElement(const AggregateIndex& key, Variable* value) {
    if (AggregateElement* e = tree_->Find(key))
        e->SetValue(value);
    else
        tree_->Insert(new AggregateElement(key, value));
}

void Variable::SetElement(const AggregateIndex& key, Variable* value) {
    if (target_) return Real()->SetElement(key, value);
    if (!value || Reaches(value, this)) return;
    HoldReference hold(value);
    AggregateIndex own(key);
    if (kind_ != own.Kind() || !tree_) SetAggregateKind(own.Kind());
    StoreElement(own, value);
}

void Variable::InsertElement(int32_t index, Variable* value) {
    if (target_) return Real()->InsertElement(index, value);
    if (!value || Reaches(value, this)) return;
    HoldReference hold(value);
    int32_t position;
    if (kind_ != kAggregateArray || !tree_) {
        SetAggregateKind(kAggregateArray);
        position = index >= 1 ? index : 1;
    } else if (index <= 0) {
        int64_t next = static_cast<int64_t>(ArrayMax()) + 1;
        if (next > kMaxIndex) return;
        position = static_cast<int32_t>(next);
    } else {
        if (!tree_->ShiftIndexes(index, 1)) return;
        position = index;
    }
    tree_->Insert(new AggregateElement(AggregateIndex::FromIndex(position), value));
}

void Variable::DeleteElement(const AggregateIndex& key, bool shift) {
    if (target_) return Real()->DeleteElement(key, shift);
    if (!tree_ || kind_ != key.Kind()) return;
    int32_t index = key.Index();
    delete tree_->Remove(key);
    if (kind_ == kAggregateArray && shift && index < INT32_MAX) tree_->ShiftIndexes(index + 1, -1);
}

void Variable::DeleteArrayElements(int32_t start, int32_t count, bool shift) {
    if (target_) return Real()->DeleteArrayElements(start, count, shift);
    SetAggregateKind(kAggregateArray);
    if (count == -1) {
        for (;;) {
            AggregateElement* last = tree_->Last();
            if (!last || IndexOf(last) < start) break;
            delete tree_->Remove(last->Key());
        }
        return;
    }
    if (count <= 0) return;
    // Only indexes 0..2^31-1 exist; the part of the range outside them is empty.
    int64_t low = start < 0 ? 0 : start;
    int64_t high = static_cast<int64_t>(start) + count - 1;
    if (high > kMaxIndex) high = kMaxIndex;
    if (high < low) return;
    AggregateIndex key = AggregateIndex::FromIndex(static_cast<int32_t>(low));
    AggregateElement* e = tree_->Find(key);
    if (!e) e = tree_->Successor(key);
    while (e && IndexOf(e) <= high) {
        key = AggregateIndex::FromIndex(IndexOf(e));
        delete tree_->Remove(key);
        e = tree_->Successor(key);
    }
    if (shift && high < kMaxIndex)
        tree_->ShiftIndexes(static_cast<int32_t>(high + 1), static_cast<int32_t>(-(high - low + 1)));
}

void Variable::ArrayCopy(Variable* source, int32_t sourceStart, int32_t count, int32_t destinationStart,
                         bool copy) {
    if (target_) return Real()->ArrayCopy(source, sourceStart, count, destinationStart, copy);
    HoldReference hold(source);
    SetAggregateKind(kAggregateArray);
    if (!source) return;
    Variable* src = source->RealIdentity();
    AggregateElementTree* from = src->Tree();
    if (!from || src->AggregateType() != kAggregateArray) return;

    int64_t s = sourceStart;
    if (s <= 0) s = src->ArrayMin();
    if (s <= 0) return;
    int64_t n = count;
    if (n < 0) {
        int64_t max = src->ArrayMax();
        if (max <= 0) return;
        n = max + 1 - s;
    }
    if (n <= 0) return;
    int64_t d = destinationStart;
    if (d <= 0) d = static_cast<int64_t>(ArrayMax()) + 1;
    if (src == this && s == d && !copy) return;
    int64_t end = s + n; // exclusive
    int64_t shiftBy = d - s;

    auto store = [&](AggregateElement* e) {
        int64_t target = IndexOf(e) + shiftBy;
        if (target < 0 || target > kMaxIndex) return;
        AggregateIndex key = AggregateIndex::FromIndex(static_cast<int32_t>(target));
        Variable* value = e->Value();
        if (copy) {
            Variable* fresh = new Variable(value);
            StoreElement(key, fresh);
            fresh->Release();
        } else if (value && !Reaches(value, this)) {
            StoreElement(key, value);
        }
    };

    // Copying within one array never reads an element it has already written.
    if (d < s) {
        AggregateIndex key = AggregateIndex::FromIndex(static_cast<int32_t>(s));
        AggregateElement* e = from->Find(key);
        if (!e) e = from->Successor(key);
        while (e && IndexOf(e) < end) {
            int32_t at = IndexOf(e);
            store(e);
            e = from->Successor(AggregateIndex::FromIndex(at));
        }
    } else {
        int64_t last = end - 1 > kMaxIndex ? kMaxIndex : end - 1;
        AggregateIndex key = AggregateIndex::FromIndex(static_cast<int32_t>(last));
        AggregateElement* e = from->Find(key);
        if (!e) e = from->Predecessor(key);
        while (e && IndexOf(e) >= s) {
            int32_t at = IndexOf(e);
            store(e);
            e = from->Predecessor(AggregateIndex::FromIndex(at));
        }
    }
}

void Variable::ArrayMerge(Variable* source, int32_t sourceStart, int32_t count, int32_t destinationStart,
                          bool copy) {
    if (target_) return Real()->ArrayMerge(source, sourceStart, count, destinationStart, copy);
    HoldReference hold(source);
    SetAggregateKind(kAggregateArray);
    Variable* src = source ? source->RealIdentity() : nullptr;

    int64_t s = sourceStart;
    if (s <= 0) {
        s = src ? src->ArrayMin() : 0;
        if (s <= 0) s = 1;
    }
    int64_t n = count;
    if (n < 0) {
        int64_t max = src ? src->ArrayMax() : 0;
        n = max > 0 ? max + 1 - s : 0;
        if (n < 0) n = 0;
    }
    int64_t d = destinationStart;
    if (d <= 0) d = static_cast<int64_t>(ArrayMax()) + 1;
    if (n == 0) return;
    // Every written index lies in the gap d .. d+n-1; refuse what would not fit.
    if (d > kMaxIndex || d + n - 1 > kMaxIndex) return;
    if (!tree_->ShiftIndexes(static_cast<int32_t>(d), static_cast<int32_t>(n))) return;

    AggregateElementTree* from = src ? src->Tree() : nullptr;
    if (!from || src->AggregateType() != kAggregateArray) return;

    // Copies the source elements with indexes in [low, high) that now stand
    // offset higher, to low - offset - s + d onward.
    auto piece = [&](int64_t low, int64_t high, int64_t offset, int64_t base) {
        if (low + offset > kMaxIndex) return;
        AggregateIndex key = AggregateIndex::FromIndex(static_cast<int32_t>(low + offset));
        AggregateElement* e = from->Find(key);
        if (!e) e = from->Successor(key);
        while (e && IndexOf(e) < high + offset) {
            int32_t at = IndexOf(e);
            AggregateIndex to = AggregateIndex::FromIndex(static_cast<int32_t>(at - offset - low + base));
            Variable* value = e->Value();
            if (copy) {
                Variable* fresh = new Variable(value);
                StoreElement(to, fresh);
                fresh->Release();
            } else if (value && !Reaches(value, this)) {
                StoreElement(to, value);
            }
            e = from->Successor(AggregateIndex::FromIndex(at));
        }
    };

    if (src != this) {
        piece(s, s + n, 0, d);
    } else if (s >= d) {
        // The whole range moved up with the gap.
        piece(s, s + n, n, d);
    } else if (s + n <= d) {
        piece(s, s + n, 0, d);
    } else {
        // The gap split the range: the part below it stays, the rest moved up.
        piece(s, d, 0, d);
        piece(d, s + n, n, d + (d - s));
    }
}

int32_t Variable::ArrayMax() {
    if (target_) return Real()->ArrayMax();
    AggregateElement* e = tree_ ? tree_->Last() : nullptr;
    return e ? IndexOf(e) : 0;
}

int32_t Variable::ArrayMin() {
    if (target_) return Real()->ArrayMin();
    AggregateElement* e = tree_ ? tree_->First() : nullptr;
    return e ? IndexOf(e) : 0;
}

int32_t Variable::ArrayNext(int32_t index) {
    if (target_) return Real()->ArrayNext(index);
    if (!tree_) return 0;
    if (kind_ != kAggregateArray) return -1;
    AggregateElement* e = tree_->Successor(AggregateIndex::FromIndex(index));
    return e ? IndexOf(e) : 0;
}

int32_t Variable::ArrayPrevious(int32_t index) {
    if (target_) return Real()->ArrayPrevious(index);
    if (!tree_) return 0;
    if (kind_ != kAggregateArray) return -1;
    AggregateElement* e = tree_->Predecessor(AggregateIndex::FromIndex(index));
    return e ? IndexOf(e) : 0;
}

int32_t Variable::ElementsUsed() {
    if (target_) return Real()->ElementsUsed();
    return tree_ ? tree_->Count() : 0;
}

// --- Walks over nested aggregates ---------------------------------------------

void Variable::AppendText(String& out) {
    if (!target_ && tree_) {
        AppendAggregateText(this, out);
        return;
    }
    // A scalar, or an alias: the whole text of its target as one piece.
    const String& text = Value();
    if (!out.IsEmpty()) out.AppendChar(',');
    out.AppendString(text);
}

namespace {

// One aggregate being rendered: its elements still to go, and where its
// leaves are written. An alias's target is rendered into a piece of its own,
// which goes to the parent's text as one field when done.
struct TextFrame {
    Variable* var;
    std::unique_ptr<List<AggregateElement>> items;
    String* out;
    std::unique_ptr<String> piece;
};

void AppendField(String& out, const String& text) {
    if (!out.IsEmpty()) out.AppendChar(',');
    out.AppendString(text);
}

} // namespace

void Variable::AppendAggregateText(Variable* root, String& out) {
    if (root->busy_) return;
    std::vector<TextFrame> frames;
    auto push = [&frames](Variable* v, AggregateElementTree* tree, String* target, bool piece) {
        TextFrame f{v, std::make_unique<List<AggregateElement>>(false), target, nullptr};
        if (piece) {
            f.piece = std::make_unique<String>();
            f.out = f.piece.get();
        }
        tree->Walk(*f.items);
        v->busy_ = true;
        frames.push_back(std::move(f));
    };
    push(root, root->tree_, &out, false);
    while (!frames.empty()) {
        AggregateElement* e = frames.back().items->Remove(kListHead);
        if (!e) {
            TextFrame done = std::move(frames.back());
            frames.pop_back();
            done.var->busy_ = false;
            if (done.piece && !frames.empty()) AppendField(*frames.back().out, *done.piece);
            continue;
        }
        String* target = frames.back().out;
        Variable* v = e->Value();
        if (!v) continue;
        if (v->target_) {
            Variable* real = v->Real();
            // A value that leads back into one being rendered adds nothing.
            if (real->busy_) continue;
            if (AggregateElementTree* tree = real->Tree())
                push(real, tree, nullptr, true);
            else
                AppendField(*target, real->Value());
            continue;
        }
        if (v->busy_) continue;
        if (AggregateElementTree* tree = v->Tree())
            push(v, tree, target, false);
        else
            AppendField(*target, v->Value());
    }
}

namespace {

struct CopyFrame {
    AggregateElementTree* copy;
    Variable* source;
    std::unique_ptr<List<AggregateElement>> items;
};

} // namespace

AggregateElementTree* Variable::DeepCopyTree(Variable* source) {
    AggregateElementTree* result = new AggregateElementTree();
    AggregateElementTree* tree = source->Tree();
    if (!tree || source->busy_) return result;
    std::vector<CopyFrame> frames;
    auto push = [&frames](AggregateElementTree* copy, Variable* v, AggregateElementTree* from) {
        CopyFrame f{copy, v, std::make_unique<List<AggregateElement>>(false)};
        from->Walk(*f.items);
        frames.push_back(std::move(f));
        v->busy_ = true;
    };
    // The element being made, until its element in the copy holds it.
    Variable* copy = nullptr;
    try {
        push(result, source, tree);
        while (!frames.empty()) {
            AggregateElement* e = frames.back().items->Remove(kListHead);
            if (!e) {
                frames.back().source->busy_ = false;
                frames.pop_back();
                continue;
            }
            AggregateElementTree* into = frames.back().copy;
            Variable* ev = e->Value();
            copy = new Variable();
            if (ev) {
                copy->name_ = ev->name_;
                copy->integer_ = ev->integer_;
                copy->double_ = ev->double_;
                Variable* s = ev->RealIdentity();
                // A value that leads back into one being copied stays empty.
                if (!s->busy_) {
                    if (AggregateElementTree* sub = s->Tree()) {
                        copy->tree_ = new AggregateElementTree();
                        copy->kind_ =
                            s->AggregateType() == kAggregateArray ? kAggregateArray : kAggregateStructure;
                        push(copy->tree_, s, sub);
                    } else {
                        copy->CopyScalarFrom(s);
                    }
                }
            }
            // Keys arrive in ascending order, so each insert is a constant step.
            auto element = std::make_unique<AggregateElement>(e->Key(), copy);
            into->Insert(element.get());
            element.release();
            copy->Release();
            copy = nullptr;
        }
    } catch (...) {
        // Running out of memory midway: the part copied goes, and the
        // sources are walked again as before.
        for (CopyFrame& f : frames) f.source->busy_ = false;
        if (copy) copy->Release();
        DestroyTree(result);
        throw;
    }
    return result;
}

} // namespace vorn
