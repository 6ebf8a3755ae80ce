// The interfaces of an open database and of a view (cursor) on it. The
// drivers (the built-in table files and the bridge to database libraries)
// implement them; the VM's database instructions talk only to these.
//
// Operations return 1 for success and 0 for failure, leaving the message in
// the object's error text.
#pragma once

#include <cstdint>

#include "engine/foundation/HashTable.h"
#include "engine/foundation/List.h"
#include "engine/foundation/String.h"
#include "engine/values/DatabaseVariableHash.h"

namespace vorn {

class DatabaseView;
class Variable;
class VariableList;
class VornApplication;
class VornVM;

// A text handed across these interfaces. When *adopt is set the callee may
// take the malloc'ed buffer over (and then clears the flag); otherwise it
// copies. The caller frees the buffer afterwards only when the flag is still
// set. adopt may be null (always copy).
struct DatabaseText {
    char* text;
    int32_t length;
    int32_t size;
    int* adopt;

    // Moves or copies the text into out by the rule above.
    void TakeInto(String& out) const;
};

class Database {
public:
    // The name is adopted when *adopt is set (the flag is then cleared),
    // copied otherwise. Takes one use of the program.
    Database(VornApplication* application, VornVM* program, char* name, int32_t length, int32_t size, int* adopt);
    // Removes (and deletes) every view, then gives the program's use back.
    virtual ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    virtual int Open(const DatabaseText& file, const DatabaseText& name, const DatabaseText& extra1,
                     const DatabaseText& extra2, const DatabaseText& extra3) = 0;
    virtual int Close() = 0;
    virtual int Create(const DatabaseText& file, const DatabaseText& name, const DatabaseText& fields) = 0;
    virtual int SetIndexes(VornVM* program, const DatabaseText& indexes) = 0;
    virtual int SetPrimaryIndexes(const DatabaseText& indexes) = 0;
    virtual int MakeIndex(VornVM* program, const DatabaseText& file, const DatabaseText& expression,
                          const DatabaseText& flags) = 0;
    virtual int Pack() = 0;
    virtual int Reindex() = 0;
    virtual int OpenView(const DatabaseText& viewName, const DatabaseText& query, VariableList* parameters,
                         int32_t parameterCount) = 0;
    virtual int CloseView(const DatabaseText& viewName) = 0;
    virtual int RunQuery(const DatabaseText& query, VariableList* parameters, int32_t parameterCount) = 0;
    virtual int Commit() = 0;
    virtual int Rollback() = 0;
    virtual int Transact() = 0;
    virtual int Command(const DatabaseText& command, const DatabaseText& value) = 0;

    // Registers the view with the program's view table and appends it.
    virtual void AddView(DatabaseView* view);
    // Unregisters, unlinks and deletes the view.
    virtual void RemoveView(DatabaseView* view);
    virtual DatabaseView* PrimaryView();
    // The view of that name (without regard to case), or null.
    DatabaseView* FindView(const char* text, int32_t length) { return viewTable.Find(text, length); }
    // Moves the view to the front when it is one of this database's.
    virtual void SetPrimaryView(DatabaseView* view);
    // The first field of that name among the views, in list order, or null.
    virtual Variable* FindVariable(const char* name, int32_t length);
    virtual const String& Name() const;
    virtual const String& ErrorText() const;
    // A String without a buffer leaves the text unchanged.
    virtual void SetErrorText(const String& text);

    VornApplication* Application() const { return application; }
    VornVM* Program() const { return program; }
    List<DatabaseView>& Views() { return views; }

protected:
    VornApplication* application;
    VornVM* program;
    String name;
    String error;
    List<DatabaseView> views{true};
    HashTable<DatabaseView> viewTable{false, true, 12, 512};
    DatabaseView* primaryView = nullptr;
};

class DatabaseView {
public:
    DatabaseView(VornApplication* application, VornVM* program, Database* database, char* name, int32_t length,
                 int32_t size, int* adopt);
    DatabaseView(VornApplication* application, VornVM* program, Database* database, const String& name);
    // Gives up the filter's program use; the field variables are released
    // (or turned null for holders elsewhere).
    virtual ~DatabaseView();
    DatabaseView(const DatabaseView&) = delete;
    DatabaseView& operator=(const DatabaseView&) = delete;

    virtual Variable* FindVariable(const char* name, int32_t length);
    virtual int Close() = 0;
    virtual int Skip(int32_t count) = 0;
    virtual int SkipFiltered(int32_t count) = 0;
    // position: a record number, -1 top, -2 bottom.
    virtual int Go(int32_t position) = 0;
    virtual int GoFiltered(int32_t position) = 0;
    virtual int Find(const DatabaseText& key, int32_t exact) = 0;
    virtual int FindFiltered(const DatabaseText& key, int32_t exact) = 0;
    virtual int Add() = 0;
    virtual int Delete() = 0;
    virtual int Undelete() = 0;
    virtual int Update() = 0;
    virtual int SetFilter(VornVM* program, const DatabaseText& expression) = 0;
    virtual int RevealStructureToDatabase(const DatabaseText& fileName) = 0;
    virtual int RevealStructureToAggregate(Variable** target) = 0;
    virtual const String& Name() const;
    // Releases the previous filter program's use, keeps the new entry and
    // program and takes a use of it.
    virtual void AttachFilter(VornVM* filterVM, intptr_t entry);
    virtual bool HasFilter();
    virtual const String& ErrorText() const;
    virtual void SetErrorText(const String& text);
    // Forgets the cached field values after the row changed.
    virtual void ResetVariables(int32_t all) = 0;

    Database* GetDatabase() const { return database; }
    VornVM* Program() const { return program; }
    DatabaseVariableHash& Variables() { return variables; }
    intptr_t FilterEntry() const { return filterEntry; }
    VornVM* FilterProgram() const { return filterProgram; }

protected:
    VornApplication* application;
    VornVM* program;
    Database* database;
    String name;
    String error;
    DatabaseVariableHash variables;
    intptr_t filterEntry = 0;
    VornVM* filterProgram = nullptr;
};

} // namespace vorn
