// The host's side of a database that a plug-in library serves: the database,
// its views and their field variables call the entries of the library's
// descriptor, and they are the handles the library gets and hands back
// through the host functions of database/DatabaseLibrary.h. The library makes
// views and field variables itself by calling back; the host owns them.
#pragma once

#include <cstdint>

#include "database/library/DatabaseLibrary.h"
#include "engine/foundation/String.h"
#include "engine/values/DatabaseVariableHash.h"
#include "engine/values/Variable.h"
#include "engine/vm/Database.h"

namespace vorn {

class ExternalDatabaseView;

class ExternalDatabase : public Database {
  public:
    // The descriptor is the library's and outlives the database.
    ExternalDatabase(VornApplication* application, VornVM* program, DatabaseLibraryDescriptor* descriptor,
                     char* name, int32_t length, int32_t size, int* adopt);
    // Gives the library its release call first (version 6, data set), then
    // deletes the views still open without closing them.
    ~ExternalDatabase() override;

    int Open(const DatabaseText& file, const DatabaseText& name, const DatabaseText& extra1,
             const DatabaseText& extra2, const DatabaseText& extra3) override;
    // Closes every view (stopping at the first that fails), then the database.
    int Close() override;
    int Create(const DatabaseText& file, const DatabaseText& name, const DatabaseText& fields) override;
    int SetIndexes(VornVM* program, const DatabaseText& indexes) override;
    int SetPrimaryIndexes(const DatabaseText& indexes) override;
    int MakeIndex(VornVM* program, const DatabaseText& file, const DatabaseText& expression,
                  const DatabaseText& flags) override;
    int Pack() override;
    int Reindex() override;
    // A failure leaves no view behind: views the library added during the
    // call are closed and removed.
    int OpenView(const DatabaseText& viewName, const DatabaseText& query, VariableList* parameters,
                 int32_t parameterCount) override;
    // The view is removed even when the library fails to close it; a closed
    // primary view hands that role to the front of the list.
    int CloseView(const DatabaseText& viewName) override;
    int RunQuery(const DatabaseText& query, VariableList* parameters, int32_t parameterCount) override;
    int Commit() override;
    int Rollback() override;
    int Transact() override;
    int Command(const DatabaseText& command, const DatabaseText& value) override;

    // vrDatabase_AddView: a new view that becomes the primary view.
    ExternalDatabaseView* AddView(const char* name, int32_t length, void* data);
    // vrDatabase_SetData: the old word goes to the release entry first.
    void SetData(void* word);
    void* Data() const { return data; }
    DatabaseLibraryDescriptor* Descriptor() const { return descriptor; }
    // The version word, read afresh for every gated call.
    int32_t Version() const { return descriptor->version; }

    // Sets the error after a failed entry from database_error, or a fixed
    // text naming the tag when the library gives none.
    void TakeLibraryError(const char* tag);
    // Sets "<tag> is an Unsupported Operation" and returns 0.
    int Unsupported(const char* tag);

  private:
    using Database::AddView;

    // Turns an entry's result into 1, or 0 with the library's message.
    int Result(int32_t result, const char* tag);
    // Closes (through the library) and removes every view stamped with stamp.
    void DropViewsMadeDuring(int32_t stamp);
    void ReleaseData();

    DatabaseLibraryDescriptor* descriptor;
    void* data = nullptr;
    // Nonzero while open_view runs: the stamp of the views it adds.
    int32_t openingStamp = 0;
    int32_t lastStamp = 0;
};

class ExternalDatabaseView : public DatabaseView {
  public:
    ExternalDatabaseView(VornApplication* application, VornVM* program, ExternalDatabase* database,
                         DatabaseLibraryDescriptor* descriptor, const char* name, int32_t length, void* data);
    // Releases the field variables (each through the library once), then the view.
    ~ExternalDatabaseView() override;

    // close_view; without that entry the view closes as success.
    int Close() override;
    int Skip(int32_t count) override;
    int SkipFiltered(int32_t count) override;
    int Go(int32_t position) override;
    int GoFiltered(int32_t position) override;
    int Find(const DatabaseText& key, int32_t exact) override;
    int FindFiltered(const DatabaseText& key, int32_t exact) override;
    int Add() override;
    int Delete() override;
    int Undelete() override;
    int Update() override;
    // The expression goes to the library; the host compiles nothing.
    int SetFilter(VornVM* program, const DatabaseText& expression) override;
    int RevealStructureToDatabase(const DatabaseText& fileName) override;
    int RevealStructureToAggregate(Variable** target) override;
    bool HasFilter() override { return false; }
    void ResetVariables(int32_t all) override;
    // vrDatabaseView_Commit: every field writes its value to the library.
    virtual void StoreVariables();

    // vrDatabaseView_AddVariable.
    ExternalDatabaseVariable* AddVariable(const char* name, int32_t length, void* data);
    // vrDatabaseView_Clear: every field is released, or read as null from
    // now on where the script still holds it.
    void ClearVariables();

    ExternalDatabase* Owner() const { return owner; }
    void* Data() const { return data; }
    void SetData(void* word) { data = word; }
    int32_t Stamp() const { return stamp; }
    void SetStamp(int32_t value) { stamp = value; }

  private:
    int Forward(int32_t (*entry)(VornDatabaseView*), const char* tag);
    int Result(int32_t result, const char* tag);
    void TakeLibraryError(const char* tag);
    int Unsupported(const char* tag);
    // Calls f on every field variable.
    template <class F> void ForEachField(F f);

    ExternalDatabase* owner;
    DatabaseLibraryDescriptor* descriptor;
    void* data;
    int32_t stamp = 0;
};

// A field of a view's row. Unchanged, it reads the library; once the script
// assigns to it, it converts what was assigned, until ResetValue.
class ExternalDatabaseVariable : public Variable, public UnbindableVariable {
  public:
    ExternalDatabaseVariable(const char* name, int32_t length, ExternalDatabaseView* view,
                             DatabaseLibraryDescriptor* descriptor, void* data);
    // The library's release call, unless unbinding made it already.
    ~ExternalDatabaseVariable() override;

    // Reads.
    double ValueDoubleChecked(int32_t* error) override;
    int32_t StorageKind() const override;
    int32_t PreferredType() override;
    bool IsEmpty() override;
    void BuildText() override;
    int32_t ComputeInteger() override;
    void ComputeDouble() override;

    // Assignments mark the field changed.
    int SetValueVariable(Variable* source) override;
    int SetValue(const char* text, int32_t length) override;
    int SetValueNocopy(char* buffer, int32_t length, int32_t capacity) override;
    int SetValueInteger(int32_t value) override;
    int SetValueDouble(double value) override;

    // Conversions between the cached forms; none reads the library.
    virtual void EnsureText();
    virtual void EnsureInteger();
    virtual void EnsureDouble();
    // Forgets the cached forms, the assignment and its type.
    virtual void ResetValue();
    // Writes the value to the library (an aggregate always, otherwise only a
    // changed field); leaves the field changed.
    virtual void Store();
    // One read through the library into the cache; true when it gave a value.
    virtual bool FetchInteger();
    virtual bool FetchDouble();
    virtual bool FetchText();

    // Called once: the library's release call, then the field reads as null
    // and never reaches the library again.
    void Unbind() override;

    ExternalDatabaseView* View() const { return view; }
    void* Data() const { return data; }
    void SetData(void* word) { data = word; }
    bool Changed() const { return changed; }
    bool Bound() const { return descriptor != nullptr; }

  private:
    // An entry of the descriptor, or null once unbound or gated off.
    template <class Entry> Entry Use(Entry DatabaseLibraryDescriptor::*entry, int32_t version = 1) const;
    void ParseCachedText();
    void CachedTextToDouble();

    ExternalDatabaseView* view;
    DatabaseLibraryDescriptor* descriptor;
    void* data;
    bool changed = false;
};

} // namespace vorn
