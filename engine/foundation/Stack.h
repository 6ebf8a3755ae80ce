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
    explicit Stack(bool owns) : owns_(owns) {}
    Stack(const Stack&) = delete;
    Stack& operator=(const Stack&) = delete;

    virtual ~Stack() {
        if (top_) Stack::Clear();
    }

    virtual int32_t Count() const { return count_; }

    virtual void Push(T* item) {
        StackNode<T>* node = new StackNode<T>;
        node->item = item;
        node->next = top_;
        top_ = node;
        cursor_ = node;
        ++count_;
    }

    // Pops everything above the cursor (deleting those items when the stack
    // owns them), then unlinks the cursor's node and returns its item. A cursor
    // that walked off the bottom counts as the top, so Pop never dereferences
    // a missing node.
    virtual T* Pop() {
        if (!top_) return nullptr;
        if (!cursor_) cursor_ = top_;
        while (top_ != cursor_) {
            StackNode<T>* node = top_;
            top_ = node->next;
            --count_;
            if (owns_) delete node->item;
            delete node;
        }
        StackNode<T>* node = top_;
        top_ = node->next;
        --count_;
        cursor_ = top_;
        T* item = node->item;
        delete node;
        return item;
    }

    virtual T* Top() {
        cursor_ = top_;
        return cursor_ ? cursor_->item : nullptr;
    }

    // One node further down; null once past the bottom or without a cursor.
    virtual T* Next() {
        if (cursor_) cursor_ = cursor_->next;
        return cursor_ ? cursor_->item : nullptr;
    }

    virtual void Clear() {
        StackNode<T>* node = top_;
        top_ = cursor_ = nullptr;
        count_ = 0;
        while (node) {
            StackNode<T>* next = node->next;
            if (owns_) delete node->item;
            delete node;
            node = next;
        }
    }

    bool Owns() const { return owns_; }

protected:
    bool owns_;
    int32_t count_ = 0;
    StackNode<T>* top_ = nullptr;
    StackNode<T>* cursor_ = nullptr;
};

} // namespace vorn
