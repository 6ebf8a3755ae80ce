// Singly linked stack with a cursor that walks from the top down.
#pragma once

#include <cstdint>

namespace vorn {

template <class T>
struct StackNode {
    StackNode* next = nullptr; // the node below
    T* item = nullptr;
};

template <class T>
class Stack {
public:
    explicit Stack(bool owning) : owns(owning) {}
    Stack(const Stack&) = delete;
    Stack& operator=(const Stack&) = delete;

    virtual ~Stack() {
        if (top) Stack::Clear();
    }

    virtual int32_t Count() const { return count; }

    virtual void Push(T* item) {
        StackNode<T>* node = new StackNode<T>;
        node->item = item;
        node->next = top;
        top = node;
        cursor = node;
        ++count;
    }

    // Pops everything above the cursor (deleting those items when the stack
    // owns them), then unlinks the cursor's node and returns its item. A cursor
    // that walked off the bottom counts as the top, so Pop never dereferences
    // a missing node.
    virtual T* Pop() {
        if (!top) return nullptr;
        if (!cursor) cursor = top;
        while (top != cursor) {
            StackNode<T>* node = top;
            top = node->next;
            --count;
            if (owns) delete node->item;
            delete node;
        }
        StackNode<T>* node = top;
        top = node->next;
        --count;
        cursor = top;
        T* item = node->item;
        delete node;
        return item;
    }

    virtual T* Top() {
        cursor = top;
        return cursor ? cursor->item : nullptr;
    }

    // One node further down; null once past the bottom or without a cursor.
    virtual T* Next() {
        if (cursor) cursor = cursor->next;
        return cursor ? cursor->item : nullptr;
    }

    virtual void Clear() {
        StackNode<T>* node = top;
        top = cursor = nullptr;
        count = 0;
        while (node) {
            StackNode<T>* next = node->next;
            if (owns) delete node->item;
            delete node;
            node = next;
        }
    }

    bool Owns() const { return owns; }

protected:
    bool owns;
    int32_t count = 0;
    StackNode<T>* top = nullptr;
    StackNode<T>* cursor = nullptr;
};

} // namespace vorn
