// Variables, variable lists and variable hashes of both families.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "host/plugin/VornHost.h"
#include "tests/host/plugin/HostInterfaceSupport.h"

namespace vorn {
namespace {

using test::Take;
using test::TextOf;

// An array of the texts, from index 1.
VornVariable* ArrayOf(std::initializer_list<const char*> texts) {
    VornVariable* array = vrVariable_Allocate("arr", -1, nullptr, 0);
    int32_t index = 1;
    for (const char* text : texts)
        vrVariable_SetValue(vrVariable_Array_Element(index++, array, 1), text, -1);
    return array;
}

std::string Names(VornVariableList* list) {
    std::string out;
    for (VornVariable* v = vrVariableList_First(list); v; v = vrVariableList_Next(list)) {
        int32_t length = 0;
        const char* name = vrVariable_Name(v, &length);
        out += std::string(name ? name : "", static_cast<size_t>(length)) + "=" + TextOf(v) + ";";
    }
    return out;
}

TEST(HostVariablesTest, ValuesInEveryFormAndEveryEdge) {
    VornVariable* v = vrVariable_Allocate("name", 2, "12.5x", 4);
    int32_t length = -1;
    EXPECT_EQ(std::string(vrVariable_Name(v, &length), 2), "na");
    EXPECT_EQ(length, 2);
    EXPECT_EQ(TextOf(v), "12.5");
    EXPECT_EQ(vrVariable_Value_Integer(v), 12);
    EXPECT_EQ(vrVariable_Value_Double(v), 12.5);
    EXPECT_EQ(vrVariable_Value(v, nullptr)[0], '1'); // the length is optional

    EXPECT_EQ(vrVariable_SetValue(v, "a\0b\0", 4), 0);
    EXPECT_EQ(Take(vrVariable_Value_NS(v, &length), length), "ab");
    EXPECT_EQ(vrVariable_SetValue_Integer(v, -7), 0);
    EXPECT_EQ(TextOf(v), "-7");
    EXPECT_EQ(vrVariable_SetValue_Double(v, 0.1), 0);
    EXPECT_EQ(vrVariable_Value_Double(v), 0.1);

    // Overlapping self-copies: the text may come from the variable itself.
    vrVariable_SetValue(v, "hello world", -1);
    EXPECT_EQ(vrVariable_SetValue(v, vrVariable_Value(v, nullptr) + 6, 5), 0);
    EXPECT_EQ(TextOf(v), "world");
    EXPECT_EQ(vrVariable_SetValue(v, vrVariable_Value(v, nullptr), -1), 0);
    EXPECT_EQ(TextOf(v), "world");
    EXPECT_EQ(vrVariable_SetValue_Variable(v, v), 0);
    EXPECT_EQ(TextOf(v), "world");
    // An aggregate's text comes from its leaves: assigning it to itself works too.
    VornVariable* array = ArrayOf({"x", "y"});
    EXPECT_EQ(vrVariable_SetValue(array, vrVariable_Value(array, nullptr), -1), 0);
    EXPECT_EQ(TextOf(array), "x,y");
    EXPECT_EQ(vrVariable_Aggregate_Type(array), 0);

    // A copy is deep and keeps the name.
    VornVariable* source = ArrayOf({"p", "q"});
    VornVariable* copy = vrVariable_Allocate_Copy(source);
    vrVariable_SetValue(vrVariable_Array_Element(1, source, 0), "changed", -1);
    EXPECT_EQ(TextOf(copy), "p,q");
    EXPECT_EQ(std::string(vrVariable_Name(copy, nullptr)), "arr");

    // Bad arguments give the failure value and change nothing.
    const std::function<bool()> refused[] = {
        [&] { return vrVariable_Allocate(nullptr, 3, "x", 1) == nullptr; },
        [&] { return vrVariable_Allocate("x", -2, "x", 1) == nullptr; },
        [&] { return vrVariable_Allocate_Copy(nullptr) == nullptr; },
        [&] { return vrVariable_SetValue(v, nullptr, 1) == -1; },
        [&] { return vrVariable_SetValue(v, "x", -5) == -1; },
        [&] { return vrVariable_SetValue(nullptr, "x", 1) == -1; },
        [&] { return vrVariable_SetValue_Integer(nullptr, 1) == -1; },
        [&] { return vrVariable_SetValue_Variable(v, nullptr) == -1; },
        [&] { return vrVariable_Value(nullptr, &length) == nullptr && length == 0; },
        [&] { return vrVariable_Name(nullptr, &length) == nullptr && length == 0; },
        [&] { return vrVariable_Value_NS(nullptr, &length) == nullptr; },
        [&] { return vrVariable_Value_Double(nullptr) == 0.0 && vrVariable_Value_Integer(nullptr) == 0; },
        [&] { return vrVariable_Make_Reference(nullptr, v) == -1; },
        [&] { return vrVariable_Aggregate_Type(nullptr) == -1; },
    };
    for (size_t i = 0; i < std::size(refused); ++i)
        EXPECT_TRUE(refused[i]()) << i;
    EXPECT_EQ(TextOf(v), "world");
    // The empty text: a null text of length 0.
    EXPECT_EQ(vrVariable_SetValue(v, nullptr, 0), 0);
    EXPECT_EQ(TextOf(v), "");
    for (VornVariable* each : {v, array, source, copy})
        vrVariable_Free(each);
    vrVariable_Free(nullptr);
}

TEST(HostVariablesTest, NocopyTakesTheBlockOrCopiesWhatFits) {
    struct Case {
        char bytes[9]; // the first 8 fill the block
        int32_t length;
        int32_t size;
        std::string expected;
    };
    const Case cases[] = {
        {"abc", 3, 8, "abc"},            // room for the NUL: handed over
        {"abcdefgh", 8, 8, "abcdefgh"},  // no room: copied
        {"abcdefgh", 20, 8, "abcdefgh"}, // longer than the block: at most size bytes
        {"ab\0cdefg", -1, 8, "ab"},      // unknown length: up to the NUL
        {"abcdefgh", -1, 8, "abcdefgh"}, // no NUL inside the block
        {"abcdefgh", 5, 0, ""},          // size 0: nothing fits
        {"abcdefgh", -7, 8, "abcdefgh"},
    };
    for (const Case& c : cases) {
        VornVariable* v = vrVariable_Allocate(nullptr, 0, "old", -1);
        auto* block = static_cast<char*>(vorn_alloc(8));
        std::memcpy(block, c.bytes, 8);
        EXPECT_EQ(vrVariable_SetValue_Nocopy(v, block, c.length, c.size), 0) << c.length;
        EXPECT_EQ(TextOf(v), c.expected) << c.length;
        vrVariable_Free(v); // the sanitizer sees each block freed exactly once
    }
    VornVariable* v = vrVariable_Allocate(nullptr, 0, "old", -1);
    EXPECT_EQ(vrVariable_SetValue_Nocopy(v, nullptr, 0, 0), 0);
    EXPECT_EQ(TextOf(v), "");
    EXPECT_EQ(vrVariable_SetValue_Nocopy(v, nullptr, 4, 8), -1);
    // Refused for a null variable: the block stays the caller's.
    auto* block = static_cast<char*>(vorn_alloc(8));
    EXPECT_EQ(vrVariable_SetValue_Nocopy(nullptr, block, 1, 8), -1);
    vorn_free(block);
    vrVariable_Free(v);
}

// A value whose aggregate kind is none of the three.
class OddVariable : public Variable {
  public:
    int32_t AggregateType() override { return 9; }
};

TEST(HostVariablesTest, ArraysAndStructures) {
    VornVariable* array = ArrayOf({"a", "b", "c"});
    EXPECT_EQ(vrVariable_Aggregate_Type(array), 1);
    EXPECT_EQ(vrVariable_ElementsUsed(array), 3);
    EXPECT_EQ(vrVariable_Array_Min(array), 1);
    EXPECT_EQ(vrVariable_Array_Max(array), 3);
    EXPECT_EQ(vrVariable_Array_Next(array, 1), 2);
    EXPECT_EQ(vrVariable_Array_Next(array, 3), -1);
    EXPECT_EQ(vrVariable_Array_Previous(array, 3), 2);
    // A negative index addresses element 0.
    EXPECT_EQ(vrVariable_Array_Element(-4, array, 0), nullptr);
    VornVariable* zero = vrVariable_Array_Element(-4, array, 1);
    EXPECT_EQ(vrVariable_Array_Element(0, array, 0), zero);
    vrVariable_SetValue(zero, "z", 1);

    VornVariable* element = vrVariable_Allocate(nullptr, 0, "new", -1);
    EXPECT_EQ(vrVariable_Insert_Array_Element(2, element, array), 0);
    EXPECT_EQ(TextOf(array), "z,a,new,b,c");
    EXPECT_EQ(vrVariable_Insert_Array_Element(0, element, array), 0); // appended after the highest
    EXPECT_EQ(vrVariable_Array_Max(array), 5);
    EXPECT_EQ(vrVariable_Set_Array_Element(9, element, array), 0);
    vrVariable_Free(element); // the array holds references of its own
    EXPECT_EQ(TextOf(vrVariable_Array_Element(9, array, 0)), "new");
    EXPECT_EQ(vrVariable_Delete_Array_Elements(1, 2, 1, array), 0);
    EXPECT_EQ(TextOf(array), "z,b,c,new,new");
    // An element may not hold its own array.
    EXPECT_EQ(vrVariable_Set_Array_Element(20, array, array), 0);
    EXPECT_EQ(vrVariable_Array_Element(20, array, 0), nullptr);

    VornVariable* target = ArrayOf({"1", "2", "3", "4"});
    EXPECT_EQ(vrVariable_Array_Copy(array, 1, 2, target, 2, 1), 0);
    EXPECT_EQ(TextOf(target), "1,b,c,4");
    EXPECT_EQ(vrVariable_Array_Merge(array, 1, 1, target, 1, 1), 0);
    EXPECT_EQ(TextOf(target), "b,1,b,c,4");

    // A scalar given an insert becomes an array; an index of 0 means 1.
    VornVariable* scalar = vrVariable_Allocate(nullptr, 0, "s", -1);
    VornVariable* item = vrVariable_Allocate(nullptr, 0, "i", -1);
    EXPECT_EQ(vrVariable_Array_Next(scalar, 0), -1);
    EXPECT_EQ(vrVariable_Insert_Array_Element(0, item, scalar), 0);
    EXPECT_EQ(vrVariable_Array_Min(scalar), 1);
    EXPECT_EQ(vrVariable_Aggregate_Type(scalar), 1);

    VornVariable* record = vrVariable_Allocate(nullptr, 0, nullptr, 0);
    EXPECT_EQ(vrVariable_Struct_Member("b", -1, record, 0), nullptr);
    vrVariable_SetValue(vrVariable_Struct_Member("bee", 1, record, 1), "2", -1);
    EXPECT_EQ(vrVariable_Set_Struct_Member("A", -1, item, record), 0);
    EXPECT_EQ(vrVariable_Aggregate_Type(record), 2);
    EXPECT_EQ(vrVariable_Struct_Member("a", 1, record, 0), item);
    // Key order, names as keys, references to the elements.
    VornVariableList* list = vrVariableList_Allocate();
    vrVariableList_SetVariable(list, "stale", -1, "x", 1);
    EXPECT_EQ(vrVariable_Aggregate_List(record, list), 2);
    EXPECT_EQ(Names(list), "A=i;b=2;");
    vrVariable_SetValue(vrVariableList_First(list), "through", -1);
    EXPECT_EQ(TextOf(item), "through");
    EXPECT_EQ(vrVariable_Aggregate_List(target, list), 5);
    EXPECT_EQ(Names(list), "1=b;2=1;3=b;4=c;5=4;");
    EXPECT_EQ(vrVariable_Aggregate_List(item, list), 0);
    EXPECT_EQ(vrVariable_Delete_Struct_Member("A", 1, record), 0);
    EXPECT_EQ(vrVariable_ElementsUsed(record), 1);

    OddVariable odd;
    EXPECT_EQ(vrVariable_Aggregate_Type(&odd), -1);
    EXPECT_EQ(vorn_variable_aggregate_type(&odd), 0);
    EXPECT_EQ(vorn_variable_aggregate_type(record), 2);
    EXPECT_EQ(vorn_variable_aggregate_type(array), 1);
    EXPECT_EQ(vorn_variable_aggregate_type(item), 0);

    // References: in place, never onto themselves or into a cycle.
    VornVariable* alias = vrVariable_Allocate("alias", -1, nullptr, 0);
    EXPECT_EQ(vrVariable_Make_Reference(alias, item), 0);
    EXPECT_EQ(vrVariable_NextIdentity(alias), item);
    EXPECT_EQ(vrVariable_RealIdentity(alias), item);
    EXPECT_EQ(TextOf(alias), "through");
    VornVariable* chain = vrVariable_Allocate(nullptr, 0, nullptr, 0);
    EXPECT_EQ(vrVariable_Make_Reference(chain, alias), 0);
    EXPECT_EQ(vrVariable_RealIdentity(chain), item);
    EXPECT_EQ(vrVariable_Make_Reference(item, chain), -1);
    EXPECT_EQ(vrVariable_Make_Reference(scalar, scalar), -1);
    EXPECT_EQ(vrVariable_Make_Reference(array, record), 0);
    EXPECT_EQ(vrVariable_Make_Reference(record, array), -1); // would close a loop

    const std::function<bool()> refused[] = {
        [&] { return vrVariable_Aggregate_List(nullptr, list) == -1; },
        [&] { return vrVariable_Aggregate_List(array, nullptr) == -1; },
        [&] { return vrVariable_Set_Array_Element(1, nullptr, array) == -1; },
        [&] { return vrVariable_Insert_Array_Element(1, item, nullptr) == -1; },
        [&] { return vrVariable_Delete_Array_Elements(1, 1, 0, nullptr) == -1; },
        [&] { return vrVariable_Array_Copy(nullptr, 1, 1, array, 1, 0) == -1; },
        [&] { return vrVariable_Array_Merge(array, 1, 1, nullptr, 1, 0) == -1; },
        [&] { return vrVariable_Set_Struct_Member(nullptr, 2, item, record) == -1; },
        [&] { return vrVariable_Delete_Struct_Member("a", -9, record) == -1; },
        [&] { return vrVariable_Struct_Member(nullptr, 1, record, 1) == nullptr; },
        [&] { return vrVariable_Array_Element(1, nullptr, 1) == nullptr; },
        [&] { return vrVariable_Array_Next(nullptr, 1) == -1 && vrVariable_ElementsUsed(nullptr) == 0; },
        [&] {
            return vrVariable_NextIdentity(nullptr) == nullptr && vrVariable_RealIdentity(nullptr) == nullptr;
        },
    };
    for (size_t i = 0; i < std::size(refused); ++i)
        EXPECT_TRUE(refused[i]()) << i;
    vrVariableList_Free(list);
    for (VornVariable* each : {array, target, scalar, item, record, alias, chain})
        vrVariable_Free(each);
}

TEST(HostVariablesTest, ListsFindByNameAndSetVariableStores) {
    VornVariableList* list = vrVariableList_Allocate();
    EXPECT_EQ(vrVariableList_First(list), nullptr);
    VornVariable* first = vrVariableList_SetVariable(list, "Name", -1, "one", -1);
    VornVariable* again = vrVariableList_SetVariable(list, "NAME", 4, "two", 3);
    EXPECT_EQ(again, first);
    EXPECT_EQ(TextOf(first), "two"); // stored, as the other setters do
    vrVariableList_SetVariable(list, "Names", -1, nullptr, 0);
    VornVariable* own = vrVariable_Allocate("own", -1, "o", -1);
    EXPECT_EQ(vrVariableList_Insert(list, own), 0);
    vrVariable_Free(own); // the list holds a reference of its own
    EXPECT_EQ(vrVariableList_Entries(list), 3);
    EXPECT_EQ(Names(list), "Name=two;Names=;own=o;");

    // Names match in length and ignoring ASCII case only.
    struct Case {
        const char* name;
        int32_t length;
        const char* found;
    };
    const Case cases[] = {{"name", -1, "Name"}, {"NAMES", -1, "Names"}, {"Names", 4, "Name"},
                          {"nam", -1, nullptr}, {"namex", 5, nullptr},  {"", 0, nullptr}};
    for (const Case& c : cases) {
        VornVariable* v = vrVariableList_Find(list, c.name, c.length);
        EXPECT_EQ(v ? std::string(vrVariable_Name(v, nullptr)) : "", c.found ? c.found : "") << c.name;
        if (v) {
            EXPECT_EQ(vrVariableList_Current(list), v);
        }
    }
    EXPECT_EQ(vrVariableList_Find(list, nullptr, 3), nullptr);
    EXPECT_EQ(vrVariableList_SetVariable(list, "x", -3, "v", 1), nullptr);
    EXPECT_EQ(vrVariableList_Insert(list, nullptr), -1);
    EXPECT_EQ(vrVariableList_Dump(list), 0);
    EXPECT_EQ(vrVariableList_Entries(list), 0);
    EXPECT_EQ(vrVariableList_Entries(nullptr), 0);
    EXPECT_EQ(vrVariableList_Dump(nullptr), -1);
    vrVariableList_Free(list);
    vrVariableList_Free(nullptr);
}

TEST(HostVariablesTest, HashesFindInsertReplaceAndDump) {
    VornVariableHash* hash = vrVariableHash_Allocate();
    EXPECT_EQ(vrVariableHash_Find(hash, "a", 1), nullptr); // no entry
    VornVariable* a = vrVariableHash_SetVariable(hash, "a", -1, "1", -1);
    EXPECT_EQ(vrVariableHash_SetVariable(hash, "A", 1, "2", 1), a);
    EXPECT_EQ(TextOf(a), "2");
    EXPECT_EQ(vrVariableHash_Insert(hash, vrVariable_Allocate("b", -1, "bee", -1)), 0);
    EXPECT_EQ(TextOf(vrVariableHash_Find(hash, "B", -1)), "bee");
    EXPECT_EQ(vrVariableHash_Index(hash, 0), a);
    EXPECT_EQ(vrVariableHash_Index(hash, 7), nullptr);
    EXPECT_EQ(vrVariableHash_Index(hash, -1), nullptr);
    EXPECT_EQ(vrVariableHash_ReplaceVariable(hash, vrVariable_Allocate("a", -1, "new", -1)), 0);
    EXPECT_EQ(TextOf(vrVariableHash_Find(hash, "a", 1)), "new");
    // Dumped entries stay and give new empty variables.
    EXPECT_EQ(vrVariableHash_Dump(hash), 0);
    EXPECT_EQ(vrVariableHash_Index(hash, 0), nullptr);
    VornVariable* fresh = vrVariableHash_Find(hash, "a", 1);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(TextOf(fresh), "");
    EXPECT_EQ(vrVariableHash_Insert(hash, nullptr), -1);
    EXPECT_EQ(vrVariableHash_Find(nullptr, "a", 1), nullptr);
    EXPECT_EQ(vrVariableHash_SetVariable(hash, nullptr, 1, "v", 1), nullptr);
    EXPECT_EQ(vrVariableHash_Dump(nullptr), -1);
    vrVariableHash_Free(hash);
    vrVariableHash_Free(nullptr);
    // A program's own scope is never destroyed by a library.
    Dictionary names;
    VariableHash scope(&names, 2, 4);
    vrVariableHash_Free(&scope);
    vorn_variabletree_delete(&scope);
}

TEST(HostVariablesTest, OlderFamilyVariablesListsAndTrees) {
    VornVariable* v = vorn_variable_new("Name", "value");
    EXPECT_STREQ(vorn_variable_name(v), "Name");
    EXPECT_STREQ(vorn_variable_value(v), "value");
    EXPECT_EQ(vorn_variable_setvalue(v, "other"), 0);
    EXPECT_EQ(vorn_variable_setvalue(v, nullptr), -1);
    EXPECT_STREQ(vorn_variable_value(v), "other");
    EXPECT_STREQ(vorn_variable_value(nullptr), "");
    EXPECT_EQ(vorn_variable_new(nullptr, "x"), nullptr);

    EXPECT_EQ(vorn_variable_set_array_element_value(v, 3, "c"), 0);
    EXPECT_EQ(vorn_variable_set_array_element_value(v, 1, "a"), 0);
    EXPECT_EQ(vorn_variable_array_elements(v), 2);
    EXPECT_EQ(vorn_variable_array_min(v), 1);
    EXPECT_EQ(vorn_variable_array_max(v), 3);
    EXPECT_STREQ(vorn_variable_value(vorn_variable_array_element(v, 3, 0)), "c");
    EXPECT_EQ(vorn_variable_array_element(v, 2, 0), nullptr);

    // The list holds a reference per element: it outlives the aggregate.
    VornVariableList* elements = vorn_variable_aggregate_list(v);
    vorn_variable_delete(v);
    EXPECT_EQ(Names(elements), "1=a;3=c;");
    vorn_variablelist_delete(elements);

    VornVariable* record = vorn_variable_new("r", "");
    EXPECT_EQ(vorn_variable_set_structure_member_value(record, "Key", "k"), 0);
    EXPECT_EQ(vorn_variable_structure_member(record, "KEY", 0),
              vorn_variable_structure_member(record, "key", 1));
    EXPECT_EQ(vorn_variable_structure_member(record, "none", 0), nullptr);
    VornVariableList* scalarList =
        vorn_variable_aggregate_list(vorn_variable_structure_member(record, "key", 0));
    EXPECT_EQ(vrVariableList_Entries(scalarList), 0);
    vorn_variablelist_delete(scalarList);
    vorn_variable_delete(record);

    VornVariableList* list = vorn_variablelist_new();
    EXPECT_EQ(vorn_variablelist_setvariable(list, "a", "1"), 0);
    EXPECT_EQ(vorn_variablelist_setvariable(list, "A", "2"), 0);
    EXPECT_EQ(vorn_variablelist_setvariable(list, "b", "3"), 0);
    EXPECT_EQ(vorn_variablelist_setvariable(list, nullptr, "3"), -1);
    EXPECT_STREQ(vorn_variable_value(vorn_variablelist_first(list)), "2");
    EXPECT_STREQ(vorn_variable_name(vorn_variablelist_next(list)), "b");
    EXPECT_EQ(vorn_variablelist_next(list), nullptr);
    EXPECT_STREQ(vorn_variable_name(vorn_variablelist_find(list, "B")), "b");
    EXPECT_EQ(vorn_variablelist_current(list), vorn_variablelist_find(list, "b"));
    EXPECT_EQ(vorn_variablelist_dump(list), 0);
    EXPECT_EQ(vorn_variablelist_first(list), nullptr);
    vorn_variablelist_delete(list);

    VornVariableHash* tree = vorn_variabletree_new();
    EXPECT_EQ(vorn_variabletree_setvariable(tree, "k", "v"), 0);
    EXPECT_EQ(vorn_variabletree_insert(tree, vorn_variable_new("m", "w")), 0);
    EXPECT_STREQ(vorn_variable_value(vorn_variabletree_find(tree, "K")), "v");
    EXPECT_STREQ(vorn_variable_value(vorn_variabletree_find(tree, "m")), "w");
    EXPECT_EQ(vorn_variabletree_find(tree, "none"), nullptr);
    EXPECT_EQ(vorn_variabletree_dump(tree), 0);
    EXPECT_STREQ(vorn_variable_value(vorn_variabletree_find(tree, "k")), "");
    EXPECT_EQ(vorn_variabletree_insert(tree, nullptr), -1);
    vorn_variabletree_delete(tree);
    vorn_variabletree_delete(nullptr);
}

TEST(HostVariablesTest, ListsBecomeQueryStrings) {
    struct Case {
        const char* url;
        std::vector<std::pair<const char*, const char*>> pairs;
        const char* expected;
    };
    const Case cases[] = {
        {"http://h/p", {{"a", "1"}, {"b", "x y"}}, "http://h/p?a=1&b=x+y"},
        {"http://h/p?", {{"a", "1"}}, "http://h/p?a=1"},
        {"http://h/p?q=1", {{"a", "&"}}, "http://h/p?q=1&a=%26"},
        {"http://h/p?q=1&", {{"n m", "/"}}, "http://h/p?q=1&n+m=%2F"},
        {"http://h/p", {}, "http://h/p?"},
        {"http://h/p?q", {}, "http://h/p?q&"},
        {"", {{"a", ""}}, "?a="},
    };
    for (const Case& c : cases) {
        VornVariableList* list = vorn_variablelist_new();
        for (const auto& [name, value] : c.pairs)
            vorn_variablelist_setvariable(list, name, value);
        char* url = vorn_variablelist_to_url(c.url, list);
        ASSERT_NE(url, nullptr);
        EXPECT_STREQ(url, c.expected) << c.url;
        vorn_free(url);
        vorn_variablelist_delete(list);
    }
    EXPECT_EQ(vorn_variablelist_to_url(nullptr, nullptr), nullptr);
}

TEST(HostVariablesTest, TheHostHeapIsOneHeap) {
    // Blocks cross between the allocation pairs in both directions.
    void* block = vorn_alloc(16);
    ASSERT_NE(block, nullptr);
    block = vorn_realloc(block, 4096);
    ASSERT_NE(block, nullptr);
    ObjectFree(block);
    void* object = ObjectAllocate(32);
    vorn_free(vorn_realloc(object, 64));
    EXPECT_EQ(vorn_alloc(-1), nullptr);
    vorn_free(vorn_alloc(0));
}

} // namespace
} // namespace vorn
