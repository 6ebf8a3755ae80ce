// Helpers of the commerce tests: the host side of the test commerce library's
// hooks, and a run of a program with a commerce library manager.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "engine/app/PosixExternalLibrary.h"
#include "engine/foundation/Config.h"
#include "engine/program/InstructionSet.h"
#include "engine/values/Variable.h"
#include "engine/values/VariableHash.h"
#include "engine/values/VariableList.h"
#include "engine/vm/TagErrors.h"
#include "engine/vm/VornVM.h"
#include "host/plugin/CommerceLibrary.h"
#include "platform/Modules.h"
#include "tests/engine/app/TestApplication.h"
#include "tests/engine/vm/VmCoreHarness.h"
#include "tests/host/plugin/fixtures/CommerceLibraryHooks.h"
#include "tests/support/ScriptRun.h"
#include "tests/tools/LoadedProgram.h"

namespace vorn::test {

inline const CommerceLibraryHooks* CommerceHooks() {
    static const CommerceLibraryHooks hooks = {
        [](VariableList* fields) { return fields ? fields->Count() : -1; },
        [](VariableList* fields, int32_t index, const char* text) {
            Variable* v = fields ? fields->First() : nullptr;
            for (int32_t i = 0; v && i < index; ++i) v = fields->Next();
            if (v) v->SetValue(text, -1);
        },
        [](VariableHash* scope, const char* name, const char* text) {
            if (scope) scope->SetVariable(name, -1, text, -1);
        },
        [](VornVM* program, const char* function) -> int32_t {
            Variable* result = new Variable();
            bool ran = program->CallFunction(function, -1, nullptr, result);
            result->Release();
            return ran ? 1 : 0;
        },
    };
    return &hooks;
}

// An application that hands out its commerce manager.
class CommerceApplication : public TestApplication {
  public:
    CommerceLibraryManager* GetCommerceLibraryManager() override { return commerce; }
    // Each run starts as a new request would: an earlier exit is forgotten.
    void ClearExit() { exitRequested.store(0); }
    CommerceLibraryManager* commerce = nullptr;
};

// The loader, the commerce manager and runs of assembled programs, with the
// test library's hooks, log and counters.
class CommerceRig : public ScriptRig {
  public:
    CommerceRig() {
        loader = std::make_unique<PosixExternalLibraryManager>(&app, platform::HostModule());
        app.libraryManager = loader.get();
        manager = std::make_unique<CommerceLibraryManager>(&app);
        app.commerce = manager.get();
        app.config = &config;
        app.output = &sink;
    }
    ~CommerceRig() {
        // The order of a request: everything that may call a library goes
        // before the loader.
        manager.reset();
        loader.reset();
    }

    // Loads a fixture, hands it the hooks and clears its log.
    ExternalLibrary* Prepare(const char* path) {
        ExternalLibrary* library = loader->Load(path);
        EXPECT_NE(library, nullptr) << loader->ErrorText().Text();
        if (!library) return nullptr;
        if (auto set = reinterpret_cast<FixtureSetCommerceHooks>(library->GetSymbol("fixture_set_commerce_hooks")))
            set(CommerceHooks());
        if (auto reset = reinterpret_cast<FixtureCommerceReset>(library->GetSymbol("fixture_commerce_reset")))
            reset();
        return library;
    }
    static std::string Log(ExternalLibrary* library) {
        auto f = reinterpret_cast<FixtureCommerceLog>(library ? library->GetSymbol("fixture_commerce_log") : nullptr);
        return f ? f() : "<no log>";
    }
    static int32_t Count(ExternalLibrary* library, const char* name) {
        auto f = reinterpret_cast<FixtureCommerceCount>(library ? library->GetSymbol(name) : nullptr);
        EXPECT_NE(f, nullptr) << name;
        return f ? f() : -1;
    }

    // Assembles and runs a program; the VM is destroyed before this returns
    // (so features left open are gone). setting: VrCOMMERCE's error setting.
    // viaApplication: the VM gets no manager and asks the application.
    int Run(const std::string& source, uint32_t setting = 0, bool viaApplication = false) {
        app.ClearExit();
        return ScriptRig::Run(app, ResolveTagJumps(source), {{kTagCommerce, setting}},
                              viaApplication ? nullptr : manager.get());
    }
    std::string Global(const char* name) { return program ? VariableText(program->globals, name) : "<none>"; }

    CommerceApplication app;
    Config config;
    std::unique_ptr<PosixExternalLibraryManager> loader;
    std::unique_ptr<CommerceLibraryManager> manager;
};

} // namespace vorn::test
