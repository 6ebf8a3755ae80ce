// Top-down splay tree of items ordered by a key taken from each item; the
// ordered store behind script aggregates.
//
// Nothing here recurses: walking, copying, clearing and splaying are all
// iterative, so a degenerate tree of any depth cannot exhaust the machine stack.
#pragma once

#include "engine/foundation/List.h"
#include "engine/foundation/Stack.h"

#include <cstdint>
#include <type_traits>

namespace vorn {

template <class T>
struct SplayTreeNode {
    SplayTreeNode* left = nullptr;
    SplayTreeNode* right = nullptr;
    T* item = nullptr;
};

// Order of a key k against an item's key e: negative, 0 or positive. The
// default needs operator<; key types with their own comparison specialise:
//   template <> struct SplayTreeKeyOrder<AggregateIndex> {
//       static int Compare(const AggregateIndex& k, const AggregateIndex& e) {...} };
template <class K>
struct SplayTreeKeyOrder {
    static int Compare(const K& k, const K& e) { return k < e ? -1 : (e < k ? 1 : 0); }
};

// K is the key type; keys are always passed by const reference. The item's
// Key() must return a reference (or override KeyOf). Insert does not look for
// an equal key: callers look first.
//
// A subclass that overrides DeleteItem must call Clear() in its own
// destructor (the override is gone by the time ~SplayTree runs).
template <class T, class K>
class SplayTree {
public:
    using KeyType = std::remove_cvref_t<K>;
    using KeyRef = const KeyType&;
    using Node = SplayTreeNode<T>;

    explicit SplayTree(bool owns) : owns_(owns) {}

    // Same owns flag and the same shape; an owning tree holds copies of the
    // other's items (T's copy constructor), a non-owning one the same items.
    SplayTree(const SplayTree& other) : owns_(other.owns_) { CopyFrom(other); }
    SplayTree& operator=(const SplayTree&) = delete;

    virtual ~SplayTree() {
        if (root_) SplayTree::Clear();
    }

    virtual void Insert(T* item) {
        Node* node = new Node;
        node->item = item;
        ++count_;
        if (!root_) {
            root_ = node;
            return;
        }
        KeyRef key = KeyOf(item);
        Splay(key);
        if (CompareKey(key, root_->item) < 0) {
            node->left = root_->left;
            node->right = root_;
            root_->left = nullptr;
        } else {
            node->right = root_->right;
            node->left = root_;
            root_->right = nullptr;
        }
        root_ = node;
    }

    // Unlinks and returns the item with that key (not deleted), or null.
    virtual T* Remove(KeyRef key) {
        if (!root_) return nullptr;
        Splay(key);
        if (CompareKey(key, root_->item) != 0) return nullptr;
        --count_;
        Node* old = root_;
        if (!old->left) {
            root_ = old->right;
        } else if (!old->right) {
            root_ = old->left;
        } else {
            // The in-order successor takes the root's place; its own right
            // subtree takes the successor's former place.
            Node* parent = old;
            Node* succ = old->right;
            while (succ->left) {
                parent = succ;
                succ = succ->left;
            }
            if (parent != old) {
                parent->left = succ->right;
                succ->right = old->right;
            }
            succ->left = old->left;
            root_ = succ;
        }
        T* item = old->item;
        delete old;
        return item;
    }

    virtual T* Find(KeyRef key) {
        if (!root_) return nullptr;
        Splay(key);
        return CompareKey(key, root_->item) == 0 ? root_->item : nullptr;
    }

    // The item with the smallest key greater than key, or null.
    virtual T* Successor(KeyRef key) {
        if (!root_) return nullptr;
        Splay(key);
        if (CompareKey(key, root_->item) < 0) return root_->item;
        Node* n = root_->right;
        if (!n) return nullptr;
        while (n->left) n = n->left;
        return n->item;
    }

    // The item with the greatest key smaller than key, or null.
    virtual T* Predecessor(KeyRef key) {
        if (!root_) return nullptr;
        Splay(key);
        if (CompareKey(key, root_->item) > 0) return root_->item;
        Node* n = root_->left;
        if (!n) return nullptr;
        while (n->right) n = n->right;
        return n->item;
    }

    // Smallest and greatest item; the tree is not splayed.
    virtual T* First() const {
        Node* n = root_;
        if (!n) return nullptr;
        while (n->left) n = n->left;
        return n->item;
    }

    virtual T* Last() const {
        Node* n = root_;
        if (!n) return nullptr;
        while (n->right) n = n->right;
        return n->item;
    }

    // Frees every node, deleting the items when the tree owns them. The tree
    // is emptied first; the nodes are then taken apart by right rotations, so
    // no stack of any kind is needed.
    virtual void Clear() {
        Node* n = root_;
        root_ = nullptr;
        count_ = 0;
        while (n) {
            if (n->left) {
                Node* l = n->left;
                n->left = l->right;
                l->right = n;
                n = l;
            } else {
                Node* next = n->right;
                if (owns_ && n->item) DeleteItem(n->item);
                delete n;
                n = next;
            }
        }
    }

    virtual void DeleteItem(T* item) { delete item; }

    virtual KeyRef KeyOf(const T* item) const {
        static_assert(std::is_reference_v<decltype(item->Key())>,
                      "Key() must return a reference, or override KeyOf");
        return item->Key();
    }

    virtual int CompareKey(KeyRef key, const T* item) const {
        return SplayTreeKeyOrder<KeyType>::Compare(key, KeyOf(item));
    }

    // Appends every item, in ascending key order, to the tail of the list.
    void Walk(List<T>& list) const {
        Stack<Node> stack(false);
        Node* n = root_;
        while (n || stack.Count() > 0) {
            while (n) {
                stack.Push(n);
                n = n->left;
            }
            n = stack.Pop();
            list.Insert(n->item, kListTail);
            n = n->right;
        }
    }

    int32_t Count() const { return count_; }
    bool Owns() const { return owns_; }

protected:
    // Top-down splay (Sleator and Tarjan, with the zig-zig rotation). Afterwards
    // the root holds the key, or the item just below or just above it.
    void Splay(KeyRef key) {
        if (!root_) return;
        Node header;
        Node* l = &header; // right-most node of the assembled left tree
        Node* r = &header; // left-most node of the assembled right tree
        Node* t = root_;
        for (;;) {
            int c = CompareKey(key, t->item);
            if (c < 0) {
                if (!t->left) break;
                if (CompareKey(key, t->left->item) < 0) {
                    Node* y = t->left;
                    t->left = y->right;
                    y->right = t;
                    t = y;
                    if (!t->left) break;
                }
                r->left = t;
                r = t;
                t = t->left;
            } else if (c > 0) {
                if (!t->right) break;
                if (CompareKey(key, t->right->item) > 0) {
                    Node* y = t->right;
                    t->right = y->left;
                    y->left = t;
                    t = y;
                    if (!t->right) break;
                }
                l->right = t;
                l = t;
                t = t->right;
            } else {
                break;
            }
        }
        l->right = t->left;
        r->left = t->right;
        t->left = header.right;
        t->right = header.left;
        root_ = t;
    }

    // Calls fn(node) once for every node of the subtree, in no fixed order,
    // with an explicit stack. fn may change items and keys but not links.
    template <class Fn>
    static void VisitSubtree(Node* node, Fn&& fn) {
        if (!node) return;
        Stack<Node> stack(false);
        stack.Push(node);
        while (stack.Count() > 0) {
            Node* n = stack.Pop();
            if (n->right) stack.Push(n->right);
            if (n->left) stack.Push(n->left);
            fn(n);
        }
    }

    bool owns_;
    int32_t count_ = 0;
    Node* root_ = nullptr;

private:
    // Clones the other's shape node by node; pairs of (source, copy) travel
    // on one explicit stack.
    void CopyFrom(const SplayTree& other) {
        if (!other.root_) return;
        root_ = CloneNode(other.root_);
        Stack<Node> stack(false);
        stack.Push(other.root_);
        stack.Push(root_);
        while (stack.Count() > 0) {
            Node* copy = stack.Pop();
            Node* source = stack.Pop();
            if (source->left) {
                copy->left = CloneNode(source->left);
                stack.Push(source->left);
                stack.Push(copy->left);
            }
            if (source->right) {
                copy->right = CloneNode(source->right);
                stack.Push(source->right);
                stack.Push(copy->right);
            }
        }
        count_ = other.count_;
    }

    Node* CloneNode(const Node* source) {
        Node* n = new Node;
        if (owns_ && source->item)
            n->item = new T(*source->item);
        else
            n->item = source->item;
        return n;
    }
};

} // namespace vorn
