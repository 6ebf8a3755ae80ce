// The run's open databases: the list (its head is the primary database), the
// table by name and the table of every open view by alias. One registry
// serves the top VM and every sub-program below it, in the run's Databases
// slot; it closes and deletes what is still open as the run ends.
#pragma once

#include <cstdint>

#include "engine/foundation/HashTable.h"
#include "engine/foundation/List.h"
#include "engine/vm/Database.h"
#include "engine/vm/VornVM.h"

namespace vorn {

// Removes exactly this item from a table that may hold other items under the
// same key (views of two databases may share a name).
template <class T> void RemoveExactItem(HashTable<T>& table, T* item) {
    if (!item) return;
    const auto& key = item->Name();
    T* kept[16];
    int32_t keptCount = 0;
    for (;;) {
        T* found = table.Remove(key.Text(), key.Length());
        if (!found || found == item) break;
        if (keptCount == 16) { // give up rather than lose entries: put back and stop
            table.Insert(found);
            break;
        }
        kept[keptCount++] = found;
    }
    // Equal keys keep insertion order, so putting them back in removal order
    // keeps their relative order.
    for (int32_t i = 0; i < keptCount; ++i)
        table.Insert(kept[i]);
}

class DatabaseRegistry : public FieldNames {
  public:
    // The registry of vm's run, made on first use.
    static DatabaseRegistry& Of(VornVM& vm);
    // The registry of vm's run, or null when none was made.
    static DatabaseRegistry* Existing(VornVM& vm) {
        return static_cast<DatabaseRegistry*>(vm.Shared(RunSlot::Databases));
    }

    DatabaseRegistry() = default;
    // Closes every database, then deletes it (which unregisters its views).
    ~DatabaseRegistry() override;

    // Puts an opened database at the front of the list (making it primary)
    // and into the table by name.
    void Add(Database* database);
    // Takes the database out of the list and the table (not deleted).
    void Remove(Database* database);
    // Moves the database to the front of the list.
    void MakePrimary(Database* database);
    Database* Find(const char* name, int32_t length) { return byName.Find(name, length); }
    Database* Primary() { return databases.First(); }
    void RegisterView(DatabaseView* view);
    void UnregisterView(DatabaseView* view);
    DatabaseView* FindView(const char* alias, int32_t length) { return views.Find(alias, length); }

    Variable* FindField(const char* name, int32_t length) override;
    Variable* FindViewField(const char* alias, int32_t aliasLength, const char* name,
                            int32_t length) override;

    List<Database>& Databases() { return databases; }
    HashTable<DatabaseView>& Views() { return views; }

  private:
    List<Database> databases{true};
    HashTable<Database> byName{false, true, 12, 512};
    HashTable<DatabaseView> views{false, true, 12, 512};
};

} // namespace vorn
