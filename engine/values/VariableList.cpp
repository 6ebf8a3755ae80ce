#include "engine/values/VariableList.h"

#include <cstring>

namespace vorn {

VariableList::~VariableList() {
    // The base destructor would no longer reach DeleteItem.
    Clear();
}

void VariableList::Insert(Variable* item, int mode) {
    List<Variable>::Insert(item, mode);
    if (item) item->AddReference();
}

void VariableList::DeleteItem(Variable* item) {
    if (item) item->Release();
}

void VariableList::InsertItem(Variable* item, int mode, bool addReference) {
    List<Variable>::Insert(item, mode);
    if (item && addReference) item->AddReference();
}

void VariableList::Delete() {
    Clear();
    delete this;
}

Variable* VariableList::FindByName(const char* name, int32_t length) {
    if (!name) name = "";
    if (length < 0) length = static_cast<int32_t>(std::strlen(name));
    for (current_ = head_; current_; current_ = current_->next) {
        Variable* v = current_->item;
        if (v && v->Name().Length() == length && v->Name().EqualsNoCase(name, length)) return v;
    }
    return nullptr;
}

} // namespace vorn
