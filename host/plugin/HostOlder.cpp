// The older family's memory, variable, list and tree functions. Texts are
// NUL-terminated; actions answer 0 or -1.
#include <cstdlib>
#include <cstring>

#include "engine/app/VornApplication.h"
#include "engine/values/Aggregate.h"
#include "engine/values/Variable.h"
#include "engine/values/VariableHash.h"
#include "engine/values/VariableList.h"
#include "host/plugin/HostInterface.h"
#include "host/plugin/VornHost.h"

using namespace vorn;
using namespace vorn::hostapi;

namespace {

int32_t OlderAggregateType(Variable* variable) {
    int32_t kind = NewerAggregateType(variable->AggregateType());
    return kind < 0 ? 0 : kind;
}

// Appends text encoded for a query string; false when out of memory.
bool AppendEncoded(String& out, const String& text) {
    int32_t length = 0;
    char* encoded = AttributeEncode(text.Text(), text.Length(), &length, nullptr);
    if (!encoded) return false;
    out.Append(encoded, length);
    std::free(encoded);
    return true;
}

} // namespace

extern "C" {

// ---- Memory ----------------------------------------------------------------------------------

VORN_HOST_API void* vorn_alloc(int64_t size) {
    if (size < 0 || static_cast<uint64_t>(size) > SIZE_MAX) return nullptr;
    return std::malloc(size == 0 ? 1 : static_cast<size_t>(size));
}

VORN_HOST_API void* vorn_realloc(void* block, int64_t size) {
    if (size < 0 || static_cast<uint64_t>(size) > SIZE_MAX) return nullptr;
    return std::realloc(block, size == 0 ? 1 : static_cast<size_t>(size));
}

VORN_HOST_API void vorn_free(void* block) {
    std::free(block);
}

// ---- Variables --------------------------------------------------------------------------------

VORN_HOST_API VornVariable* vorn_variable_new(const char* name, const char* value) {
    if (!name || !value) return nullptr;
    return new Variable(name, -1, value, -1);
}

VORN_HOST_API void vorn_variable_delete(VornVariable* variable) {
    if (variable) variable->Release();
}

VORN_HOST_API const char* vorn_variable_name(VornVariable* variable) {
    return variable ? variable->Name().Text() : "";
}

VORN_HOST_API const char* vorn_variable_value(VornVariable* variable) {
    return variable ? variable->Value().Text() : "";
}

VORN_HOST_API int32_t vorn_variable_setvalue(VornVariable* variable, const char* value) {
    if (!variable || !value) return -1;
    return variable->SetValue(value, -1) ? 0 : -1;
}

VORN_HOST_API int32_t vorn_variable_aggregate_type(VornVariable* variable) {
    return variable ? OlderAggregateType(variable) : 0;
}

VORN_HOST_API VornVariable* vorn_variable_array_element(VornVariable* variable, int32_t index,
                                                        int32_t create) {
    return variable ? variable->Element(AggregateIndex::FromIndex(index), create != 0) : nullptr;
}

VORN_HOST_API VornVariable* vorn_variable_structure_member(VornVariable* variable, const char* name,
                                                           int32_t create) {
    if (!variable || !name) return nullptr;
    return variable->Element(AggregateIndex::FromName(name, -1), create != 0);
}

VORN_HOST_API int32_t vorn_variable_set_array_element_value(VornVariable* variable, int32_t index,
                                                            const char* value) {
    Variable* element =
        variable && value ? variable->Element(AggregateIndex::FromIndex(index), true) : nullptr;
    return element && element->SetValue(value, -1) ? 0 : -1;
}

VORN_HOST_API int32_t vorn_variable_set_structure_member_value(VornVariable* variable, const char* name,
                                                               const char* value) {
    Variable* element =
        variable && name && value ? variable->Element(AggregateIndex::FromName(name, -1), true) : nullptr;
    return element && element->SetValue(value, -1) ? 0 : -1;
}

VORN_HOST_API int32_t vorn_variable_array_elements(VornVariable* variable) {
    return variable ? variable->ElementsUsed() : -1;
}

VORN_HOST_API int32_t vorn_variable_array_max(VornVariable* variable) {
    return variable ? variable->ArrayMax() : -1;
}

VORN_HOST_API int32_t vorn_variable_array_min(VornVariable* variable) {
    return variable ? variable->ArrayMin() : -1;
}

VORN_HOST_API VornVariableList* vorn_variable_aggregate_list(VornVariable* variable) {
    if (!variable) return nullptr;
    auto* list = new VariableList();
    AppendElements(variable, list, false);
    return list;
}

// ---- Variable lists ---------------------------------------------------------------------------

VORN_HOST_API VornVariableList* vorn_variablelist_new(void) {
    return new VariableList();
}

VORN_HOST_API void vorn_variablelist_delete(VornVariableList* list) {
    if (list) list->Delete();
}

VORN_HOST_API int32_t vorn_variablelist_dump(VornVariableList* list) {
    if (!list) return -1;
    list->Clear();
    return 0;
}

VORN_HOST_API VornVariable* vorn_variablelist_first(VornVariableList* list) {
    return list ? list->First() : nullptr;
}

VORN_HOST_API VornVariable* vorn_variablelist_next(VornVariableList* list) {
    return list ? list->Next() : nullptr;
}

VORN_HOST_API VornVariable* vorn_variablelist_current(VornVariableList* list) {
    return list ? list->Current() : nullptr;
}

VORN_HOST_API VornVariable* vorn_variablelist_find(VornVariableList* list, const char* name) {
    return list && name ? list->FindByName(name, -1) : nullptr;
}

VORN_HOST_API int32_t vorn_variablelist_setvariable(VornVariableList* list, const char* name,
                                                    const char* value) {
    if (!list || !name || !value) return -1;
    if (Variable* existing = list->FindByName(name, -1)) return existing->SetValue(value, -1) ? 0 : -1;
    list->InsertItem(new Variable(name, -1, value, -1), kListTail, false);
    return 0;
}

VORN_HOST_API char* vorn_variablelist_to_url(const char* url, VornVariableList* list) {
    if (!url || !list) return nullptr;
    String text(url);
    int32_t question = text.Find("?", 0);
    if (question < 0) {
        text.Append("?", 1);
    } else {
        char last = text.Text()[text.Length() - 1];
        if (last != '?' && last != '&') text.Append("&", 1);
    }
    int32_t n = 0;
    for (Variable* item = list->First(); item; item = list->Next()) {
        if (n++ > 0) text.Append("&", 1);
        if (!AppendEncoded(text, item->Name())) return nullptr;
        text.Append("=", 1);
        if (!AppendEncoded(text, item->Value())) return nullptr;
    }
    return HeapCopy(text.Text(), text.Length(), nullptr);
}

// ---- Variable trees ---------------------------------------------------------------------------

VORN_HOST_API VornVariableHash* vorn_variabletree_new(void) {
    return new UserVariableHash();
}

VORN_HOST_API void vorn_variabletree_delete(VornVariableHash* tree) {
    delete dynamic_cast<UserVariableHash*>(tree);
}

VORN_HOST_API int32_t vorn_variabletree_dump(VornVariableHash* tree) {
    if (!tree) return -1;
    tree->ReleaseAll();
    return 0;
}

VORN_HOST_API int32_t vorn_variabletree_insert(VornVariableHash* tree, VornVariable* variable) {
    if (!tree || !variable) return -1;
    return tree->Insert(variable) >= 0 ? 0 : -1;
}

VORN_HOST_API VornVariable* vorn_variabletree_find(VornVariableHash* tree, const char* name) {
    if (!tree || !name) return nullptr;
    Variable* found = nullptr;
    return tree->Find(&found, name, -1, true) ? found : nullptr;
}

VORN_HOST_API int32_t vorn_variabletree_setvariable(VornVariableHash* tree, const char* name,
                                                    const char* value) {
    if (!tree || !name || !value) return -1;
    return tree->SetVariable(name, -1, value, -1) ? 0 : -1;
}

} // extern "C"
