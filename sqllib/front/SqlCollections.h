// The SQL library's simple owning list: items in insertion order, reachable by
// position, deleted with the list. Instructions carry such lists as objects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vorn {

template <class T>
class CollList {
  public:
    CollList() = default;
    CollList(const CollList&) = delete;
    CollList& operator=(const CollList&) = delete;
    ~CollList() { Clear(); }

    int32_t Count() const { return static_cast<int32_t>(items.size()); }
    // Null outside [0, Count()).
    T* At(int32_t i) const {
        return i >= 0 && i < Count() ? items[static_cast<size_t>(i)] : nullptr;
    }
    void Append(T* item) { items.push_back(item); }
    void Clear() {
        std::vector<T*> old;
        old.swap(items);
        for (T* item : old) delete item;
    }

  private:
    std::vector<T*> items;
};

} // namespace vorn
