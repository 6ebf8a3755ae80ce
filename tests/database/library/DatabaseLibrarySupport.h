// The rig of the database-library tests: a request's plug-in loader and
// database-library manager, a VM over an empty program that holds the
// manager, and the test library's hooks, log and options.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "database/library/DatabaseLibrary.h"
#include "database/library/ExternalDatabase.h"
#include "database/library/ExternalDatabaseLibraryManager.h"
#include "engine/app/PosixExternalLibrary.h"
#include "engine/values/VariableList.h"
#include "engine/vm/DatabaseLibrarySource.h"
#include "engine/vm/DatabaseRegistry.h"
#include "host/plugin/VornHost.h"
#include "platform/Modules.h"
#include "tests/database/library/fixtures/DatabaseLibraryHooks.h"
#include "tests/engine/vm/VmCoreHarness.h"

namespace vorn::test {

inline const DatabaseLibraryHooks* DatabaseHooks() {
    static const DatabaseLibraryHooks hooks = {
        vrProgram_Allocate,
        vrProgram_Free,
        vrDatabase_Program,
        vrDatabase_data,
        vrDatabase_SetData,
        vrDatabase_AddView,
        vrDatabase_SetPrimaryView,
        vrDatabaseView_Program,
        vrDatabaseView_Database,
        vrDatabaseView_data,
        vrDatabaseView_SetData,
        vrDatabaseView_AddVariable,
        vrDatabaseView_Clear,
        vrDatabaseView_SetDirty,
        vrDatabaseView_Commit,
        vrDatabaseVariable_DatabaseView,
        vrDatabaseVariable_data,
        vrDatabaseVariable_SetData,
        vrDatabaseVariable_SetDirty,
        [](VornVariableList* list, int32_t index, char* buffer, int32_t size) {
            Variable* v = list ? list->First() : nullptr;
            for (int32_t i = 0; v && i < index; ++i)
                v = list->Next();
            std::snprintf(buffer, static_cast<size_t>(size), "%s", v ? v->Value().Text() : "<none>");
        },
    };
    return &hooks;
}

// A text the callee copies.
inline DatabaseText Text(const char* text) {
    return DatabaseText{const_cast<char*>(text), text ? static_cast<int32_t>(std::strlen(text)) : 0, 0,
                        nullptr};
}

class DatabaseRig {
  public:
    DatabaseRig() {
        loader = std::make_unique<PosixExternalLibraryManager>(&harness.app, platform::HostModule());
        harness.app.libraryManager = loader.get();
        manager = std::make_unique<ExternalDatabaseLibraryManager>(&harness.app);
        vm =
            std::make_unique<VornVM>("prog.vrc", -1, &harness.app, &harness.pool, &harness.system,
                                     &harness.global, &harness.segments, &harness.functions, nullptr, nullptr,
                                     manager.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    }
    ~DatabaseRig() {
        // As a request ends: the VM and its databases, the manager, then the
        // modules.
        vm.reset();
        manager.reset();
        loader.reset();
    }

    // Loads a fixture (made the current one), hands it the hooks and clears
    // its log and options.
    ExternalLibrary* Use(const char* path) {
        library = loader->Load(path);
        EXPECT_NE(library, nullptr) << loader->ErrorText().Text();
        if (!library) return nullptr;
        if (auto set = Symbol<FixtureSetDatabaseHooks>("fixture_set_database_hooks")) set(DatabaseHooks());
        if (auto reset = Symbol<FixtureDatabaseReset>("fixture_database_reset")) reset();
        seen = 0;
        liveAtLoad = Count("fixture_database_live");
        return library;
    }
    // Registers the fixture as the type, loads it and gives its descriptor.
    DatabaseLibraryDescriptor* Library(const char* type, const char* path) {
        manager->RegisterLibrary(type, path);
        Use(path);
        DatabaseLibraryDescriptor* descriptor = manager->Descriptor(type, -1);
        EXPECT_NE(descriptor, nullptr) << manager->ErrorText().Text();
        return descriptor;
    }
    template <class F> F Symbol(const char* name) const {
        return reinterpret_cast<F>(library ? library->GetSymbol(name) : nullptr);
    }
    std::string Log() const {
        auto f = Symbol<FixtureDatabaseLog>("fixture_database_log");
        return f ? f() : "<no log>";
    }
    // The log since the last call.
    std::string Calls() {
        std::string all = Log();
        std::string fresh = all.substr(std::min(seen, all.size()));
        seen = all.size();
        if (!fresh.empty() && fresh[0] == '\n') fresh.erase(0, 1);
        return fresh;
    }
    void Option(const char* key, const char* value) {
        if (auto f = Symbol<FixtureDatabaseOption>("fixture_database_option")) f(key, value);
    }
    void ClearOptions() {
        if (auto f = Symbol<FixtureDatabaseReset>("fixture_database_reset")) f();
        seen = 0;
    }
    int32_t Count(const char* name) const {
        auto f = Symbol<FixtureDatabaseCount>(name);
        return f ? f() : -1;
    }
    // The library's objects made since it was put to use and not released
    // (a module stays loaded across rigs where the system keeps it).
    int32_t Live() const { return Count("fixture_database_live") - liveAtLoad; }

    // A database of the type made through the VM's interface, opened on
    // "f.db" and registered as the VM's primary database.
    ExternalDatabase* Open(const char* type, const char* name = "db") {
        String error;
        Database* made =
            vm->DatabaseLibraries()->NewDatabase(&harness.app, vm.get(), type, -1, Text(name), &error);
        EXPECT_NE(made, nullptr) << error.Text();
        auto* database = dynamic_cast<ExternalDatabase*>(made);
        if (!database) return nullptr;
        EXPECT_EQ(database->Open(Text("f.db"), Text(name), Text("x1"), Text("x2"), Text(nullptr)), 1)
            << database->ErrorText().Text();
        DatabaseRegistry::Of(*vm).Add(database);
        return database;
    }
    // A view "v" on the database (its fields ID, PRICE and NAME on row 1).
    ExternalDatabaseView* View(ExternalDatabase* database, const char* query = "select") {
        EXPECT_EQ(database->OpenView(Text("v"), Text(query), nullptr, 0), 1) << database->ErrorText().Text();
        return dynamic_cast<ExternalDatabaseView*>(database->PrimaryView());
    }
    static ExternalDatabaseVariable* Field(ExternalDatabaseView* view, const char* name) {
        return view ? static_cast<ExternalDatabaseVariable*>(view->FindVariable(name, -1)) : nullptr;
    }
    // Closes and deletes the database, as VrCLOSE does.
    void Close(ExternalDatabase* database) {
        EXPECT_EQ(database->Close(), 1) << database->ErrorText().Text();
        DatabaseRegistry::Of(*vm).Remove(database);
        delete database;
    }

    VmHarness harness;
    std::unique_ptr<PosixExternalLibraryManager> loader;
    std::unique_ptr<ExternalDatabaseLibraryManager> manager;
    std::unique_ptr<VornVM> vm;
    ExternalLibrary* library = nullptr;
    size_t seen = 0;
    int32_t liveAtLoad = 0;
};

} // namespace vorn::test
