// The database tags (words 0x0200 to 0x021a): each handler pops its operands,
// finds the database and view in the run's registry, calls one Database or
// DatabaseView operation and reports the outcome through its tag's error
// variable. VrOPEN and VrCREATE also choose the driver.
#include <cstdlib>

#include "engine/app/VornApplication.h"
#include "engine/foundation/Messages.h"
#include "engine/foundation/String.h"
#include "engine/values/Variable.h"
#include "engine/values/VariableHash.h"
#include "engine/values/VariableList.h"
#include "engine/vm/Database.h"
#include "engine/vm/DatabaseLibrarySource.h"
#include "engine/vm/DatabaseRegistry.h"
#include "engine/vm/TagGroups.h"
#include "engine/vm/VornVM.h"

namespace vorn {

namespace {

constexpr char kNoPrimaryDatabase[] = "There is no primary database, and no database was specified";
constexpr char kBuiltInType[] = "xbase3";

// One popped text operand, handed on as a DatabaseText: the callee may adopt
// an owned buffer (clearing the flag); whatever is still flagged is freed.
class Operand {
  public:
    Operand() = default;
    ~Operand() {
        if (adopt) std::free(const_cast<char*>(text));
        if (holder) holder->ReleaseReference();
    }
    Operand(const Operand&) = delete;
    Operand& operator=(const Operand&) = delete;

    // Nothing is popped once the run is aborted: the first failed pop has
    // said why, and the handler stops after its pops.
    void Pop(VornVM_Stack* stack) {
        if (Aborted(stack)) return;
        bool owned = false;
        text = stack->PopString(&length, &size, &owned, &holder);
        adopt = owned ? 1 : 0;
    }
    // A file operand: a copy without NUL bytes, always owned.
    void PopFile(VornVM_Stack* stack) {
        if (Aborted(stack)) return;
        text = stack->PopCString(&length, &size);
        adopt = 1;
    }
    static bool Aborted(VornVM_Stack* stack) { return stack->Owner() && stack->Owner()->Aborted(); }
    DatabaseText Text() { return DatabaseText{const_cast<char*>(text), length, size, &adopt}; }
    bool IsEmpty() const { return length == 0; }

    const char* text = "";
    int32_t length = 0;
    int32_t size = 0;
    int adopt = 0;
    // A lent text's temporary variable, kept while the operands below are
    // popped and the text is used.
    Variable* holder = nullptr;
};

// A text that is never adopted (a name the database already holds).
DatabaseText Borrowed(const String& text) {
    return DatabaseText{const_cast<char*>(text.Text()), text.Length(), text.Length(), nullptr};
}

DatabaseText NoText() {
    return DatabaseText{nullptr, 0, 0, nullptr};
}

String NotOpen(const char* name, int32_t length) {
    String message(kDatabaseNamed);
    message.Append(name, length);
    message.Append(kIsNotOpen);
    return message;
}

String NoViewNamed(const String& database, const char* view, int32_t length) {
    String message(kDatabaseNamed);
    message.AppendString(database);
    message.Append("' has no view named '");
    message.Append(view, length);
    message.Append("'");
    return message;
}

bool IsBuiltInType(const char* type, int32_t length) {
    if (length == 0) return true;
    if (length != 6) return false;
    for (int32_t i = 0; i < 6; ++i) {
        char c = type[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != kBuiltInType[i]) return false;
    }
    return true;
}

} // namespace

// ---- Finding databases and views ------------------------------------------------------

namespace {

Database* FindDatabaseOperand(VornVM& vm, int32_t tag, const char* name, int32_t length) {
    DatabaseRegistry& registry = DatabaseRegistry::Of(vm);
    if (length > 0) {
        Database* database = registry.Find(name, length);
        if (!database) vm.TagError(tag, NotOpen(name, length));
        return database;
    }
    Database* primary = registry.Primary();
    if (!primary) vm.RuntimeError(tag, kNoPrimaryDatabase);
    return primary;
}

DatabaseView* FindViewOperand(VornVM& vm, int32_t tag, Database* database, const char* name, int32_t length) {
    if (length > 0) {
        DatabaseView* view = database->FindView(name, length);
        if (!view) vm.TagError(tag, NoViewNamed(database->Name(), name, length));
        return view;
    }
    DatabaseView* primary = database->PrimaryView();
    if (!primary) {
        String message(kDatabaseNamed);
        message.AppendString(database->Name());
        message.Append("' has no primary view");
        vm.TagError(tag, message);
    }
    return primary;
}

// The common end of a handler: success clears the tag's error variable, a
// failure reports the failing object's message. A run the operation ended
// (a fatal error in a key or filter) reports nothing more.
void DatabaseOutcome(VornVM& vm, int32_t tag, int result, const String& error) {
    if (vm.Aborted()) return;
    if (result)
        vm.ClearTagError(tag);
    else
        vm.TagError(tag, error);
}

// Runs a driver call that may run keys or filters in this VM (which move the
// instruction start), then reports under the tag's own word, not the last
// word of the key.
template <class Owner, class Call> void DatabaseCall(VornVM& vm, int32_t tag, Owner* owner, Call call) {
    const int32_t start = vm.InstructionStart();
    int ok = call();
    vm.SetInstructionStart(start);
    DatabaseOutcome(vm, tag, ok, owner->ErrorText());
}

// Pops the database name operand and finds it; null after a report (or when
// the run is aborted).
Database* PopDatabaseOperand(VornVM& vm, int32_t tag) {
    Operand name;
    name.Pop(vm.CurrentStack());
    if (vm.Aborted()) return nullptr;
    return FindDatabaseOperand(vm, tag, name.text, name.length);
}

// Pops the view name, then the database name, and finds both.
DatabaseView* PopViewOperand(VornVM& vm, int32_t tag) {
    Operand view;
    view.Pop(vm.CurrentStack());
    Operand name;
    name.Pop(vm.CurrentStack());
    if (vm.Aborted()) return nullptr;
    Database* database = FindDatabaseOperand(vm, tag, name.text, name.length);
    return database ? FindViewOperand(vm, tag, database, view.text, view.length) : nullptr;
}

// ---- VrOPEN and VrCREATE --------------------------------------------------------------

// A database of the type (empty: "vorn_defaultdatabase"), not yet opened.
Database* NewDatabaseOfType(VornVM& vm, int32_t tag, const char* type, int32_t typeLength,
                            const DatabaseText& name) {
    if (typeLength == 0) {
        // The application's default type, as the script may have changed it.
        Variable* fallback = nullptr;
        VariableHash* system = vm.SystemScope();
        if (system && system->Find(&fallback, "vorn_defaultdatabase", -1, false) && fallback) {
            const String& text = fallback->Value();
            type = text.Text();
            typeLength = text.Length();
        }
    }
    VornApplication* application = vm.Application();
    DatabaseLibrarySource* source = vm.DatabaseLibraries();
    if (!source && application) source = application->GetDatabaseLibraryManager();
    String error;
    Database* database = nullptr;
    if (IsBuiltInType(type, typeLength)) {
        if (source) database = source->NewXBaseDatabase(application, &vm, name);
        if (!database)
            error = String(kDatabaseType) + kBuiltInType + kNotConfigured;
    } else if (source) {
        database = source->NewDatabase(application, &vm, type, typeLength, name, &error);
    } else {
        error = String(kDatabaseType) + String(type, typeLength) + kNotConfigured;
    }
    if (!database) vm.TagError(tag, error);
    return database;
}

void OpenDatabase(VornVM& vm, bool thirdText) {
    VornVM_Stack* stack = vm.CurrentStack();
    Operand extra3;
    if (thirdText) extra3.Pop(stack);
    Operand extra2;
    extra2.Pop(stack);
    Operand extra1;
    extra1.Pop(stack);
    Operand type;
    type.Pop(stack);
    Operand indexes;
    indexes.PopFile(stack);
    Operand file;
    file.PopFile(stack);
    Operand name;
    name.Pop(stack);
    if (vm.Aborted()) return;
    if (DatabaseRegistry::Of(vm).Find(name.text, name.length)) {
        vm.TagError(kTagOpen, String("A database with the name '") + String(name.text, name.length) +
                                  "' is already open");
        return;
    }
    Database* database = NewDatabaseOfType(vm, kTagOpen, type.text, type.length, name.Text());
    if (!database) return;
    const int32_t start = vm.InstructionStart();
    int ok = database->Open(file.Text(), Borrowed(database->Name()), extra1.Text(), extra2.Text(),
                            thirdText ? extra3.Text() : NoText());
    if (ok && !indexes.IsEmpty()) ok = database->SetIndexes(&vm, indexes.Text());
    vm.SetInstructionStart(start);
    if (!ok) {
        if (!vm.Aborted()) vm.TagError(kTagOpen, database->ErrorText());
        delete database;
        return;
    }
    vm.ClearTagError(kTagOpen);
    DatabaseRegistry::Of(vm).Add(database);
}

} // namespace

void OpDbOpen(VornVM& vm) {
    OpenDatabase(vm, false);
}
void OpDbOpen2(VornVM& vm) {
    OpenDatabase(vm, true);
}

void OpDbCreate(VornVM& vm) {
    VornVM_Stack* stack = vm.CurrentStack();
    Operand fields;
    fields.Pop(stack);
    Operand type;
    type.Pop(stack);
    Operand file;
    file.PopFile(stack);
    Operand name;
    name.Pop(stack);
    if (vm.Aborted()) return;
    if (DatabaseRegistry::Of(vm).Find(name.text, name.length)) {
        vm.TagError(kTagCreate, String("A database with the name '") + String(name.text, name.length) +
                                    "' is already open");
        return;
    }
    // The constructor may adopt the name's buffer: Create gets what it holds.
    Database* database = NewDatabaseOfType(vm, kTagCreate, type.text, type.length, name.Text());
    if (!database) return;
    if (!database->Create(file.Text(), Borrowed(database->Name()), fields.Text())) {
        if (!vm.Aborted()) vm.TagError(kTagCreate, database->ErrorText());
        delete database;
        return;
    }
    vm.ClearTagError(kTagCreate);
    DatabaseRegistry::Of(vm).Add(database);
}

void OpDbClose(VornVM& vm) {
    Database* database = PopDatabaseOperand(vm, kTagClose);
    if (!database) return;
    vm.ClearTagError(kTagClose);
    DatabaseRegistry::Of(vm).Remove(database);
    database->Close();
    delete database;
}

// ---- Moves and searches ------------------------------------------------------------------

void OpDbSkip(VornVM& vm) {
    int32_t count = vm.Aborted() ? 0 : vm.CurrentStack()->PopInteger();
    DatabaseView* view = PopViewOperand(vm, kTagSkip);
    if (!view) return;
    DatabaseCall(vm, kTagSkip, view,
                 [&] { return view->HasFilter() ? view->SkipFiltered(count) : view->Skip(count); });
}

void OpDbGo(VornVM& vm) {
    int32_t position = vm.Aborted() ? 0 : vm.CurrentStack()->PopPosition();
    DatabaseView* view = PopViewOperand(vm, kTagGo);
    if (!view) return;
    DatabaseCall(vm, kTagGo, view,
                 [&] { return view->HasFilter() ? view->GoFiltered(position) : view->Go(position); });
}

void OpDbFind(VornVM& vm) {
    int32_t exact = vm.Aborted() ? 0 : vm.CurrentStack()->PopInteger();
    Operand key;
    key.Pop(vm.CurrentStack());
    DatabaseView* view = PopViewOperand(vm, kTagFind);
    if (!view) return;
    DatabaseText text = key.Text();
    DatabaseCall(vm, kTagFind, view, [&] {
        return view->HasFilter() ? view->FindFiltered(text, exact) : view->Find(text, exact);
    });
}

void OpDbFilter(VornVM& vm) {
    Operand expression;
    expression.Pop(vm.CurrentStack());
    DatabaseView* view = PopViewOperand(vm, kTagFilter);
    if (!view) return;
    DatabaseCall(vm, kTagFilter, view, [&] { return view->SetFilter(&vm, expression.Text()); });
}

// ---- Record changes -----------------------------------------------------------------------

namespace {

void ViewOperation(VornVM& vm, int32_t tag, int (DatabaseView::*operation)()) {
    DatabaseView* view = PopViewOperand(vm, tag);
    if (!view) return;
    DatabaseCall(vm, tag, view, [&] { return (view->*operation)(); });
}

void DatabaseOperation(VornVM& vm, int32_t tag, int (Database::*operation)()) {
    Database* database = PopDatabaseOperand(vm, tag);
    if (!database) return;
    DatabaseCall(vm, tag, database, [&] { return (database->*operation)(); });
}

} // namespace

void OpDbAdd(VornVM& vm) {
    ViewOperation(vm, kTagAdd, &DatabaseView::Add);
}
void OpDbUpdate(VornVM& vm) {
    ViewOperation(vm, kTagUpdate, &DatabaseView::Update);
}
void OpDbDelete(VornVM& vm) {
    ViewOperation(vm, kTagDelete, &DatabaseView::Delete);
}
void OpDbUndelete(VornVM& vm) {
    ViewOperation(vm, kTagUndelete, &DatabaseView::Undelete);
}

// ---- Indexes, pack, reindex ----------------------------------------------------------------

void OpDbPrimary(VornVM& vm) {
    VornVM_Stack* stack = vm.CurrentStack();
    Operand indexes;
    indexes.Pop(stack);
    Operand viewName;
    viewName.Pop(stack);
    Operand name;
    name.Pop(stack);
    if (vm.Aborted()) return;
    DatabaseRegistry& registry = DatabaseRegistry::Of(vm);
    // An empty name is a name like any other here, not the primary database.
    Database* database = registry.Find(name.text, name.length);
    if (!database) {
        vm.TagError(kTagPrimary, NotOpen(name.text, name.length));
        return;
    }
    registry.MakePrimary(database);
    if (!viewName.IsEmpty()) {
        DatabaseView* view = database->FindView(viewName.text, viewName.length);
        if (!view) {
            vm.TagError(kTagPrimary, NoViewNamed(database->Name(), viewName.text, viewName.length));
            return;
        }
        database->SetPrimaryView(view);
    }
    DatabaseCall(vm, kTagPrimary, database,
                 [&] { return indexes.IsEmpty() ? 1 : database->SetPrimaryIndexes(indexes.Text()); });
}

void OpDbSetIndex(VornVM& vm) {
    Operand indexes;
    indexes.Pop(vm.CurrentStack());
    DatabaseView* view = PopViewOperand(vm, kTagSetIndex);
    if (!view) return;
    // The view only has to exist; the indexes are the database's.
    Database* database = view->GetDatabase();
    DatabaseCall(vm, kTagSetIndex, database, [&] { return database->SetIndexes(&vm, indexes.Text()); });
}

void OpDbMakeIndex(VornVM& vm) {
    VornVM_Stack* stack = vm.CurrentStack();
    Operand flags;
    flags.Pop(stack);
    Operand expression;
    expression.Pop(stack);
    Operand file;
    file.PopFile(stack);
    Database* database = PopDatabaseOperand(vm, kTagMakeIndex);
    if (!database) return;
    DatabaseCall(vm, kTagMakeIndex, database,
                 [&] { return database->MakeIndex(&vm, file.Text(), expression.Text(), flags.Text()); });
}

void OpDbPack(VornVM& vm) {
    DatabaseOperation(vm, kTagPack, &Database::Pack);
}
void OpDbReindex(VornVM& vm) {
    DatabaseOperation(vm, kTagReindex, &Database::Reindex);
}
void OpDbCommit(VornVM& vm) {
    DatabaseOperation(vm, kTagCommit, &Database::Commit);
}
void OpDbRollback(VornVM& vm) {
    DatabaseOperation(vm, kTagRollback, &Database::Rollback);
}
void OpDbTransact(VornVM& vm) {
    DatabaseOperation(vm, kTagTransact, &Database::Transact);
}

// ---- Views, queries, commands ----------------------------------------------------------------

void OpDbOpenView(VornVM& vm) {
    VornVM_Stack* stack = vm.CurrentStack();
    Operand parameters;
    parameters.Pop(stack);
    Operand query;
    query.Pop(stack);
    Operand viewName;
    viewName.Pop(stack);
    Database* database = PopDatabaseOperand(vm, kTagOpenView);
    if (!database) return;
    if (database->FindView(viewName.text, viewName.length)) {
        vm.TagError(kTagOpenView, String(kDatabaseNamed) + database->Name() + "' already has a view named '" +
                                      String(viewName.text, viewName.length) + "'");
        return;
    }
    VariableList* list = new VariableList();
    int32_t count = vm.BuildVariableList(list, parameters.text, parameters.length);
    int ok = vm.Aborted() ? 0 : database->OpenView(viewName.Text(), query.Text(), list, count);
    list->Delete();
    DatabaseOutcome(vm, kTagOpenView, ok, database->ErrorText());
}

void OpDbCloseView(VornVM& vm) {
    Operand viewName;
    viewName.Pop(vm.CurrentStack());
    Database* database = PopDatabaseOperand(vm, kTagCloseView);
    if (!database) return;
    int ok = database->CloseView(viewName.Text());
    DatabaseOutcome(vm, kTagCloseView, ok, database->ErrorText());
}

void OpDbQuery(VornVM& vm) {
    VornVM_Stack* stack = vm.CurrentStack();
    Operand parameters;
    parameters.Pop(stack);
    Operand query;
    query.Pop(stack);
    Database* database = PopDatabaseOperand(vm, kTagQuery);
    if (!database) return;
    VariableList* list = new VariableList();
    int32_t count = vm.BuildVariableList(list, parameters.text, parameters.length);
    int ok = vm.Aborted() ? 0 : database->RunQuery(query.Text(), list, count);
    list->Delete();
    DatabaseOutcome(vm, kTagQuery, ok, database->ErrorText());
}

void OpDbCommand(VornVM& vm) {
    VornVM_Stack* stack = vm.CurrentStack();
    Operand value;
    value.Pop(stack);
    Operand command;
    command.Pop(stack);
    Database* database = PopDatabaseOperand(vm, kTagDbCommand);
    if (!database) return;
    int ok = database->Command(command.Text(), value.Text());
    DatabaseOutcome(vm, kTagDbCommand, ok, database->ErrorText());
}

// ---- Structure reports ---------------------------------------------------------------------

void OpDbRevealStructureDb(VornVM& vm) {
    Operand file;
    file.Pop(vm.CurrentStack());
    DatabaseView* view = PopViewOperand(vm, kTagRevealStructure);
    if (!view) return;
    int ok = view->RevealStructureToDatabase(file.Text());
    DatabaseOutcome(vm, kTagRevealStructure, ok, view->ErrorText());
}

void OpDbRevealStructureAgg(VornVM& vm) {
    StackVariable target;
    if (!vm.Aborted()) vm.CurrentStack()->PopVariable(target);
    DatabaseView* view = PopViewOperand(vm, kTagRevealStructure);
    if (view) {
        int ok = view->RevealStructureToAggregate(&target.variable);
        DatabaseOutcome(vm, kTagRevealStructure, ok, view->ErrorText());
    }
}

} // namespace vorn
