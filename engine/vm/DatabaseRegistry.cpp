#include "engine/vm/DatabaseRegistry.h"

namespace vorn {

DatabaseRegistry& DatabaseRegistry::Of(VornVM& vm) {
    RunState*& slot = vm.Shared(RunSlot::Databases);
    if (!slot) slot = new DatabaseRegistry;
    return *static_cast<DatabaseRegistry*>(slot);
}

DatabaseRegistry::~DatabaseRegistry() {
    for (Database* db = databases.First(); db; db = databases.Next())
        db->Close();
    byName.Clear();
    databases.Clear();
}

void DatabaseRegistry::Add(Database* database) {
    if (!database) return;
    databases.Insert(database, kListHead);
    byName.Insert(database);
}

void DatabaseRegistry::Remove(Database* database) {
    if (!database) return;
    if (databases.Find(database)) databases.Remove(kListCurrent);
    RemoveExactItem(byName, database);
}

void DatabaseRegistry::MakePrimary(Database* database) {
    if (database && databases.Find(database)) {
        databases.Remove(kListCurrent);
        databases.Insert(database, kListHead);
    }
}

void DatabaseRegistry::RegisterView(DatabaseView* view) {
    if (view) views.Insert(view);
}

void DatabaseRegistry::UnregisterView(DatabaseView* view) {
    RemoveExactItem(views, view);
    // A script may open and close views in a loop for the whole request.
    views.CompactWhenSparse();
}

Variable* DatabaseRegistry::FindField(const char* name, int32_t length) {
    int32_t n = databases.Count();
    Database* db = databases.First();
    for (int32_t i = 0; i < n && db; ++i) {
        if (Variable* v = db->FindVariable(name, length)) return v;
        db = databases.Next();
    }
    return nullptr;
}

Variable* DatabaseRegistry::FindViewField(const char* alias, int32_t aliasLength, const char* name,
                                          int32_t length) {
    DatabaseView* view = FindView(alias, aliasLength);
    return view ? view->FindVariable(name, length) : nullptr;
}

} // namespace vorn
