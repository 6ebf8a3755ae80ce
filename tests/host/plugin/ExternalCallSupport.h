// The host side of the test function library's hooks, and small helpers to
// read its counters.
#pragma once

#include <gtest/gtest.h>

#include <cstring>

#include "engine/app/ExternalLibrary.h"
#include "engine/values/Variable.h"
#include "engine/values/VariableList.h"
#include "engine/vm/VornVM.h"
#include "tests/host/plugin/fixtures/FunctionLibraryHooks.h"

namespace vorn::test {

inline void CopyText(const String& text, char* buffer, int32_t size) {
    if (size <= 0) return;
    int32_t n = text.Length() < size - 1 ? text.Length() : size - 1;
    if (n > 0) std::memcpy(buffer, text.Text(), static_cast<size_t>(n));
    buffer[n] = '\0';
}

inline const FunctionLibraryHooks* Hooks() {
    static const FunctionLibraryHooks hooks = {
        [](VariableList* list) { return list ? list->Count() : 0; },
        [](VariableList* list, int32_t index) -> Variable* {
            Variable* v = list ? list->First() : nullptr;
            for (int32_t i = 0; v && i < index; ++i)
                v = list->Next();
            return v;
        },
        [](Variable* v) { return v ? v->ValueInteger() : 0; },
        [](Variable* v, char* buffer, int32_t size) {
            if (v)
                CopyText(v->Value(), buffer, size);
            else if (size > 0)
                buffer[0] = '\0';
        },
        [](Variable* v, int32_t value) {
            if (v) v->SetValueInteger(value);
        },
        [](Variable* v, const char* text, int32_t length) {
            if (v) v->SetValue(text, length);
        },
        [](VornVM* program, const char* function, const char* argument, char* buffer,
           int32_t size) -> int32_t {
            VariableList arguments;
            arguments.InsertItem(new Variable("x", 1, argument, -1), kListTail, false);
            Variable* result = new Variable();
            bool ran = program->CallFunction(function, -1, &arguments, result);
            CopyText(result->Value(), buffer, size);
            result->Release();
            return ran ? 1 : 0;
        },
    };
    return &hooks;
}

inline void InstallHooks(ExternalLibrary* library) {
    ASSERT_NE(library, nullptr);
    auto set = reinterpret_cast<FixtureSetHooks>(library->GetSymbol("fixture_set_hooks"));
    ASSERT_NE(set, nullptr);
    set(Hooks());
}

inline int32_t LibraryCounter(ExternalLibrary* library, const char* name) {
    auto counter = reinterpret_cast<FixtureCounter>(library ? library->GetSymbol(name) : nullptr);
    EXPECT_NE(counter, nullptr) << name;
    return counter ? counter() : -1;
}

} // namespace vorn::test
