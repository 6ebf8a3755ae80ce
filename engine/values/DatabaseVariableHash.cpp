#include "engine/values/DatabaseVariableHash.h"

namespace vorn {

DatabaseVariableHash::~DatabaseVariableHash() { DatabaseVariableHash::ReleaseAll(); }

void DatabaseVariableHash::Clear() { ReleaseAll(); }

void DatabaseVariableHash::ReleaseAll() {
    // The table is emptied before any variable goes, so nothing released
    // here can find a half-cleared table.
    int32_t n = Used();
    Variable** taken = new Variable*[static_cast<size_t>(n > 0 ? n : 1)];
    for (int32_t slot = 0; slot < n; ++slot) taken[slot] = ItemAt(slot);
    HashTable<Variable>::Clear();
    for (int32_t slot = 0; slot < n; ++slot) {
        Variable* v = taken[slot];
        if (!v) continue;
        int32_t refs = v->ReferenceCount();
        if (refs < 1) continue;
        if (refs > 1) {
            if (auto* field = dynamic_cast<UnbindableVariable*>(v))
                field->Unbind();
            else
                v->Clear();
        }
        v->Release();
    }
    delete[] taken;
}

} // namespace vorn
