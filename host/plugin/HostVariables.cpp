// The newer family's variable, variable-list and variable-hash functions.
#include <cstdlib>
#include <cstring>

#include "engine/app/VornApplication.h"
#include "engine/foundation/Number.h"
#include "engine/values/Aggregate.h"
#include "engine/values/Variable.h"
#include "engine/values/VariableHash.h"
#include "engine/values/VariableList.h"
#include "host/plugin/HostInterface.h"
#include "host/plugin/VornHost.h"

using namespace vorn;
using namespace vorn::hostapi;

namespace vorn::hostapi {

int32_t AppendElements(Variable* aggregate, VariableList* list, bool asReferences) {
    AggregateElementTree* tree = aggregate->Tree();
    int32_t appended = 0;
    if (!tree) return 0;
    for (AggregateElement* element = tree->First(); element;) {
        AggregateIndex key = element->Key();
        String name;
        if (key.IsMember()) {
            name = key.Name();
        } else {
            int32_t length = 0, size = 0;
            char* digits = FormatInteger(key.Index(), &length, &size);
            name.Assign(digits ? digits : "", digits ? length : 0);
            std::free(digits);
        }
        Variable* value = element->Value();
        if (asReferences) {
            list->InsertItem(new ReferenceVariable(name.Text(), name.Length(), value), kListTail, false);
        } else {
            value->SetName(name);
            list->Insert(value, kListTail);
        }
        ++appended;
        element = tree->Successor(key);
    }
    return appended;
}

} // namespace vorn::hostapi

namespace {

AggregateIndex IndexKey(int32_t index) {
    return AggregateIndex::FromIndex(index < 0 ? 0 : index);
}

} // namespace

extern "C" {

// ---- Variables ------------------------------------------------------------------------

VORN_HOST_API VornVariable* vrVariable_Allocate(const char* name, int32_t nameLength, const char* value,
                                                int32_t valueLength) {
    if (!TextArgument(name, nameLength) || !TextArgument(value, valueLength)) return nullptr;
    return new Variable(name, nameLength, value, valueLength);
}

VORN_HOST_API VornVariable* vrVariable_Allocate_Copy(VornVariable* variable) {
    return variable ? new Variable(variable) : nullptr;
}

VORN_HOST_API VornVariable* vrVariable_NextIdentity(VornVariable* variable) {
    return variable ? variable->NextIdentity() : nullptr;
}

VORN_HOST_API VornVariable* vrVariable_RealIdentity(VornVariable* variable) {
    return variable ? variable->RealIdentity() : nullptr;
}

VORN_HOST_API int32_t vrVariable_Make_Reference(VornVariable* variable, VornVariable* target) {
    if (!variable || !target) return -1;
    variable->MakeReference(target);
    return variable->Target() == target ? 0 : -1;
}

VORN_HOST_API const char* vrVariable_Name(VornVariable* variable, int32_t* outLength) {
    Put(outLength, 0);
    if (!variable) return nullptr;
    const String& name = variable->Name();
    Put(outLength, name.Length());
    return name.IsNull() ? nullptr : name.Text();
}

VORN_HOST_API int32_t vrVariable_Value_Integer(VornVariable* variable) {
    return variable ? variable->ValueInteger() : 0;
}

VORN_HOST_API double vrVariable_Value_Double(VornVariable* variable) {
    return variable ? variable->ValueDouble() : 0.0;
}

VORN_HOST_API const char* vrVariable_Value(VornVariable* variable, int32_t* outLength) {
    Put(outLength, 0);
    if (!variable) return nullptr;
    const String& value = variable->Value();
    Put(outLength, value.Length());
    return value.IsNull() ? nullptr : value.Text();
}

VORN_HOST_API char* vrVariable_Value_NS(VornVariable* variable, int32_t* outLength) {
    Put(outLength, 0);
    if (!variable) return nullptr;
    const String& value = variable->Value();
    return CopyWithoutNuls(value.Text(), value.Length(), outLength, nullptr);
}

VORN_HOST_API int32_t vrVariable_SetValue_Integer(VornVariable* variable, int32_t value) {
    return variable && variable->SetValueInteger(value) ? 0 : -1;
}

VORN_HOST_API int32_t vrVariable_SetValue_Double(VornVariable* variable, double value) {
    return variable && variable->SetValueDouble(value) ? 0 : -1;
}

VORN_HOST_API int32_t vrVariable_SetValue(VornVariable* variable, const char* text, int32_t length) {
    if (!variable || !TextArgument(text, length)) return -1;
    return variable->SetValue(text, length) ? 0 : -1;
}

VORN_HOST_API int32_t vrVariable_SetValue_Variable(VornVariable* variable, VornVariable* source) {
    if (!variable || !source) return -1;
    return variable->SetValueVariable(source) ? 0 : -1;
}

VORN_HOST_API int32_t vrVariable_SetValue_Nocopy(VornVariable* variable, char* buffer, int32_t length,
                                                 int32_t size) {
    if (!variable || (!buffer && length != 0)) return -1;
    if (!buffer) return variable->SetValue("", 0) ? 0 : -1;
    if (length >= 0 && length < size) return variable->SetValueNocopy(buffer, length, size) ? 0 : -1;
    // No room for the terminator: the text is copied, at most size bytes of
    // it (up to a NUL when the length is unknown), and the block still goes.
    int32_t limit = size < 0 ? 0 : size;
    int32_t n = length >= 0 ? (length < limit ? length : limit)
                            : static_cast<int32_t>(strnlen(buffer, static_cast<size_t>(limit)));
    int stored = variable->SetValue(buffer, n);
    std::free(buffer);
    return stored ? 0 : -1;
}

VORN_HOST_API void vrVariable_Free(VornVariable* variable) {
    if (variable) variable->Release();
}

VORN_HOST_API int32_t vrVariable_Aggregate_Type(VornVariable* variable) {
    return variable ? NewerAggregateType(variable->AggregateType()) : -1;
}

VORN_HOST_API int32_t vrVariable_Aggregate_List(VornVariable* variable, VornVariableList* list) {
    if (!variable || !list) return -1;
    list->Clear();
    return AppendElements(variable, list, true);
}

VORN_HOST_API int32_t vrVariable_Set_Array_Element(int32_t index, VornVariable* element,
                                                   VornVariable* array) {
    if (!element || !array) return -1;
    array->SetElement(IndexKey(index), element);
    return 0;
}

VORN_HOST_API int32_t vrVariable_Insert_Array_Element(int32_t index, VornVariable* element,
                                                      VornVariable* array) {
    if (!element || !array) return -1;
    array->InsertElement(index, element);
    return 0;
}

VORN_HOST_API int32_t vrVariable_Delete_Array_Elements(int32_t start, int32_t count, int32_t shift,
                                                       VornVariable* array) {
    if (!array) return -1;
    array->DeleteArrayElements(start, count, shift != 0);
    return 0;
}

VORN_HOST_API int32_t vrVariable_Array_Merge(VornVariable* source, int32_t sourceStart, int32_t count,
                                             VornVariable* destination, int32_t destinationStart,
                                             int32_t copy) {
    if (!source || !destination) return -1;
    destination->ArrayMerge(source, sourceStart, count, destinationStart, copy != 0);
    return 0;
}

VORN_HOST_API int32_t vrVariable_Array_Copy(VornVariable* source, int32_t sourceStart, int32_t count,
                                            VornVariable* destination, int32_t destinationStart,
                                            int32_t copy) {
    if (!source || !destination) return -1;
    destination->ArrayCopy(source, sourceStart, count, destinationStart, copy != 0);
    return 0;
}

VORN_HOST_API int32_t vrVariable_Set_Struct_Member(const char* name, int32_t length, VornVariable* element,
                                                   VornVariable* structure) {
    if (!element || !structure || !TextArgument(name, length)) return -1;
    structure->SetElement(AggregateIndex::FromName(name, length), element);
    return 0;
}

VORN_HOST_API int32_t vrVariable_Delete_Struct_Member(const char* name, int32_t length,
                                                      VornVariable* structure) {
    if (!structure || !TextArgument(name, length)) return -1;
    structure->DeleteElement(AggregateIndex::FromName(name, length), false);
    return 0;
}

VORN_HOST_API VornVariable* vrVariable_Array_Element(int32_t index, VornVariable* array, int32_t create) {
    return array ? array->Element(IndexKey(index), create != 0) : nullptr;
}

VORN_HOST_API VornVariable* vrVariable_Struct_Member(const char* name, int32_t length,
                                                     VornVariable* structure, int32_t create) {
    if (!structure || !TextArgument(name, length)) return nullptr;
    return structure->Element(AggregateIndex::FromName(name, length), create != 0);
}

VORN_HOST_API int32_t vrVariable_Array_Max(VornVariable* array) {
    return array ? array->ArrayMax() : 0;
}

VORN_HOST_API int32_t vrVariable_Array_Min(VornVariable* array) {
    return array ? array->ArrayMin() : 0;
}

VORN_HOST_API int32_t vrVariable_Array_Next(VornVariable* array, int32_t index) {
    // The engine answers 0 for "none", which no next index can be.
    int32_t next = array ? array->ArrayNext(index) : 0;
    return next > 0 ? next : -1;
}

VORN_HOST_API int32_t vrVariable_Array_Previous(VornVariable* array, int32_t index) {
    return array ? array->ArrayPrevious(index) : -1;
}

VORN_HOST_API int32_t vrVariable_ElementsUsed(VornVariable* variable) {
    return variable ? variable->ElementsUsed() : 0;
}

// ---- Variable lists ---------------------------------------------------------------------

VORN_HOST_API VornVariableList* vrVariableList_Allocate(void) {
    return new VariableList();
}

VORN_HOST_API VornVariable* vrVariableList_First(VornVariableList* list) {
    return list ? list->First() : nullptr;
}

VORN_HOST_API VornVariable* vrVariableList_Current(VornVariableList* list) {
    return list ? list->Current() : nullptr;
}

VORN_HOST_API VornVariable* vrVariableList_Next(VornVariableList* list) {
    return list ? list->Next() : nullptr;
}

VORN_HOST_API int32_t vrVariableList_Entries(VornVariableList* list) {
    return list ? list->Count() : 0;
}

VORN_HOST_API VornVariable* vrVariableList_Find(VornVariableList* list, const char* name, int32_t length) {
    if (!list || !TextArgument(name, length)) return nullptr;
    return list->FindByName(name, length);
}

VORN_HOST_API int32_t vrVariableList_Dump(VornVariableList* list) {
    if (!list) return -1;
    list->Clear();
    return 0;
}

VORN_HOST_API VornVariable* vrVariableList_SetVariable(VornVariableList* list, const char* name,
                                                       int32_t nameLength, const char* value,
                                                       int32_t valueLength) {
    if (!list || !TextArgument(name, nameLength) || !TextArgument(value, valueLength)) return nullptr;
    // The value goes into an existing variable too, as the other setters do.
    if (Variable* existing = list->FindByName(name, nameLength)) {
        existing->SetValue(value, valueLength);
        return existing;
    }
    auto* added = new Variable(name, nameLength, value, valueLength);
    list->InsertItem(added, kListTail, false);
    return added;
}

VORN_HOST_API int32_t vrVariableList_Insert(VornVariableList* list, VornVariable* variable) {
    if (!list || !variable) return -1;
    list->Insert(variable, kListTail);
    return 0;
}

VORN_HOST_API void vrVariableList_Free(VornVariableList* list) {
    if (list) list->Delete();
}

// ---- Variable hashes ------------------------------------------------------------------------

VORN_HOST_API VornVariableHash* vrVariableHash_Allocate(void) {
    return new UserVariableHash();
}

VORN_HOST_API VornVariable* vrVariableHash_Index(VornVariableHash* hash, int32_t position) {
    return hash && position >= 0 ? hash->Index(position, false) : nullptr;
}

VORN_HOST_API VornVariable* vrVariableHash_Find(VornVariableHash* hash, const char* name, int32_t length) {
    if (!hash || !TextArgument(name, length)) return nullptr;
    Variable* found = nullptr;
    return hash->Find(&found, name, length, true) ? found : nullptr;
}

VORN_HOST_API int32_t vrVariableHash_Insert(VornVariableHash* hash, VornVariable* variable) {
    if (!hash || !variable) return -1;
    return hash->Insert(variable) >= 0 ? 0 : -1;
}

VORN_HOST_API int32_t vrVariableHash_Dump(VornVariableHash* hash) {
    if (!hash) return -1;
    hash->ReleaseAll();
    return 0;
}

VORN_HOST_API VornVariable* vrVariableHash_SetVariable(VornVariableHash* hash, const char* name,
                                                       int32_t nameLength, const char* value,
                                                       int32_t valueLength) {
    if (!hash || !TextArgument(name, nameLength) || !TextArgument(value, valueLength)) return nullptr;
    return hash->SetVariable(name, nameLength, value, valueLength);
}

VORN_HOST_API int32_t vrVariableHash_ReplaceVariable(VornVariableHash* hash, VornVariable* variable) {
    if (!hash || !variable) return -1;
    hash->ReplaceVariable(variable);
    return 0;
}

VORN_HOST_API void vrVariableHash_Free(VornVariableHash* hash) {
    // Only hashes made for a library: never one of the program's own scopes.
    delete dynamic_cast<UserVariableHash*>(hash);
}

} // extern "C"
