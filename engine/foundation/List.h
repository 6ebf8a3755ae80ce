// Doubly linked list with a built-in cursor, and the list with a key search.
// Lists hold pointers to items, never copies; an owning list deletes its items
// when cleared or destroyed.
#pragma once

#include <cstdint>

namespace vorn {

// Positions for List::Insert and List::Remove.
inline constexpr int kListHead = 0;    // at / of the head
inline constexpr int kListCurrent = 1; // before / at the cursor
inline constexpr int kListTail = 2;    // at / of the tail

template <class T>
struct ListNode {
    ListNode* prev = nullptr;
    ListNode* next = nullptr;
    T* item = nullptr;
};

// A subclass that overrides DeleteItem must call Clear() in its own
// destructor: by the time ~List runs, the override is gone and items would
// be deleted with plain delete instead.
template <class T>
class List {
public:
    explicit List(bool owns) : owns_(owns) {}
    List(const List&) = delete;
    List& operator=(const List&) = delete;

    virtual ~List() {
        if (head_) List::Clear();
    }

    // The new node becomes the cursor. Into an empty list every mode gives the
    // same one-node list. Before an unset cursor means at the tail, and an
    // unknown mode is taken as the tail, so the item is never lost.
    virtual void Insert(T* item, int mode) {
        ListNode<T>* node = new ListNode<T>;
        node->item = item;
        ++count_;
        if (!head_) {
            head_ = tail_ = current_ = node;
            return;
        }
        if (mode == kListHead) {
            node->next = head_;
            head_->prev = node;
            head_ = node;
        } else if (mode == kListCurrent && current_) {
            node->next = current_;
            node->prev = current_->prev;
            if (current_->prev)
                current_->prev->next = node;
            else
                head_ = node;
            current_->prev = node;
        } else {
            node->prev = tail_;
            tail_->next = node;
            tail_ = node;
        }
        current_ = node;
    }

    // Unlinks and returns the item (not deleted). Null, with nothing changed,
    // for an empty list, for mode 1 without a cursor and for unknown modes.
    virtual T* Remove(int mode) {
        ListNode<T>* node;
        if (mode == kListHead)
            node = head_;
        else if (mode == kListCurrent)
            node = current_;
        else if (mode == kListTail)
            node = tail_;
        else
            node = nullptr;
        if (!node) return nullptr;

        --count_;
        if (mode == kListCurrent)
            current_ = node->next;
        else if (current_ == node)
            current_ = (mode == kListHead) ? node->next : node->prev;

        if (node->prev)
            node->prev->next = node->next;
        else
            head_ = node->next;
        if (node->next)
            node->next->prev = node->prev;
        else
            tail_ = node->prev;

        T* item = node->item;
        delete node;
        return item;
    }

    virtual int32_t Count() const { return count_; }
    // Calls f on each item from head to tail without moving the cursor, so
    // a list nobody changes may be walked by several threads at once.
    template <class F>
    void Visit(F f) const {
        for (const ListNode<T>* node = head_; node; node = node->next) f(node->item);
    }

    // Looks for the very pointer; the cursor is left on the match, or null.
    virtual T* Find(T* item) {
        for (current_ = head_; current_; current_ = current_->next)
            if (current_->item == item) return item;
        return nullptr;
    }

    virtual T* First() {
        current_ = head_;
        return current_ ? current_->item : nullptr;
    }

    virtual T* Last() {
        current_ = tail_;
        return current_ ? current_->item : nullptr;
    }

    virtual T* Current() const { return current_ ? current_->item : nullptr; }

    virtual T* Next() {
        if (current_) current_ = current_->next;
        return current_ ? current_->item : nullptr;
    }

    virtual T* Previous() {
        if (current_) current_ = current_->prev;
        return current_ ? current_->item : nullptr;
    }

    // The list is emptied before any item is deleted, so an item's destructor
    // never sees a half-freed list.
    virtual void Clear() {
        ListNode<T>* node = head_;
        head_ = current_ = tail_ = nullptr;
        count_ = 0;
        while (node) {
            ListNode<T>* next = node->next;
            if (owns_ && node->item) DeleteItem(node->item);
            delete node;
            node = next;
        }
    }

    virtual void DeleteItem(T* item) { delete item; }

    // Frees the nodes and leaves the items alone.
    virtual void RemoveAll() {
        ListNode<T>* node = head_;
        head_ = current_ = tail_ = nullptr;
        count_ = 0;
        while (node) {
            ListNode<T>* next = node->next;
            delete node;
            node = next;
        }
    }

    bool Owns() const { return owns_; }

protected:
    bool owns_;
    int32_t count_ = 0;
    ListNode<T>* head_ = nullptr;
    ListNode<T>* current_ = nullptr;
    ListNode<T>* tail_ = nullptr;
};

// A List with a search by key. Subclasses say how a key matches an item.
template <class T, class K>
class SearchableList : public List<T> {
public:
    explicit SearchableList(bool owns) : List<T>(owns) {}

    using List<T>::Find;

    // Leaves the cursor on the match; null (and a null cursor) when none.
    virtual T* Find(K key) {
        for (this->current_ = this->head_; this->current_; this->current_ = this->current_->next)
            if (Compare(key, this->current_->item) == 0) return this->current_->item;
        return nullptr;
    }

    // 0 when the item matches the key.
    virtual int Compare(K key, const T* item) const = 0;
};

} // namespace vorn
