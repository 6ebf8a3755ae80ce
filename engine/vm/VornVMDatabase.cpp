// The database tags (words 0x0200 to 0x021a): each handler pops its operands,
// finds the database and view in the run's registry, calls one Database or
// DatabaseView operation and reports the outcome through its tag's error
// variable. VrOPEN and VrCREATE also choose the driver.
#include <cstdlib>

#include "engine/app/VornApplication.h"
#include "engine/foundation/String.h"
#include "engine/values/Variable.h"
#include "engine/values/VariableHash.h"
#include "engine/values/VariableList.h"
#include "engine/vm/Database.h"
#include "engine/vm/DatabaseLibrarySource.h"
#include "engine/vm/VornVM.h"

namespace vorn {

namespace {

constexpr int32_t kTagClose = 29;
constexpr int32_t kTagSkip = 30;
constexpr int32_t kTagGo = 31;
constexpr int32_t kTagPrimary = 32;
constexpr int32_t kTagFind = 33;
constexpr int32_t kTagSetIndex = 34;
constexpr int32_t kTagUpdate = 35;
constexpr int32_t kTagDelete = 36;
constexpr int32_t kTagUndelete = 37;
constexpr int32_t kTagAdd = 38;
constexpr int32_t kTagMakeIndex = 39;
constexpr int32_t kTagPack = 40;
constexpr int32_t kTagReindex = 41;
constexpr int32_t kTagCreate = 42;
constexpr int32_t kTagRevealStructure = 43;
constexpr int32_t kTagOpenView = 44;
constexpr int32_t kTagCloseView = 45;
constexpr int32_t kTagQuery = 46;

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
    String message("Database '");
    message.Append(name, length);
    message.Append("' is not open");
    return message;
}

String NoViewNamed(const String& database, const char* view, int32_t length) {
    String message("Database '");
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

Database* VornVM::FindDatabaseOperand(int32_t tag, const char* name, int32_t length) {
    if (length > 0) {
        Database* database = FindDatabase(name, length);
        if (!database) TagError(tag, NotOpen(name, length));
        return database;
    }
    Database* primary = PrimaryDatabase();
    if (!primary) RuntimeError(tag, kNoPrimaryDatabase);
    return primary;
}

DatabaseView* VornVM::FindViewOperand(int32_t tag, Database* database, const char* name, int32_t length) {
    if (length > 0) {
        DatabaseView* view = database->FindView(name, length);
        if (!view) TagError(tag, NoViewNamed(database->Name(), name, length));
        return view;
    }
    DatabaseView* primary = database->PrimaryView();
    if (!primary) {
        String message("Database '");
        message.AppendString(database->Name());
        message.Append("' has no primary view");
        TagError(tag, message);
    }
    return primary;
}

// The common end of a handler: success clears the tag's error variable, a
// failure reports the failing object's message. A run the operation ended
// (a fatal error in a key or filter) reports nothing more. Operations that
// run keys or filters put instructionStart back first: the report names the
// tag's own word, not the last word of the key.
void VornVM::DatabaseOutcome(int32_t tag, int result, const String& error) {
    if (aborted) return;
    if (result)
        ClearTagError(tag);
    else
        TagError(tag, error);
}

// Pops the database name operand and finds it; null after a report (or when
// the run is aborted).
Database* VornVM::PopDatabaseOperand(int32_t tag) {
    Operand name;
    name.Pop(stack);
    if (aborted) return nullptr;
    return FindDatabaseOperand(tag, name.text, name.length);
}

// Pops the view name, then the database name, and finds both.
DatabaseView* VornVM::PopViewOperand(int32_t tag) {
    Operand view;
    view.Pop(stack);
    Operand name;
    name.Pop(stack);
    if (aborted) return nullptr;
    Database* database = FindDatabaseOperand(tag, name.text, name.length);
    return database ? FindViewOperand(tag, database, view.text, view.length) : nullptr;
}

// ---- VrOPEN and VrCREATE --------------------------------------------------------------

Database* VornVM::NewDatabaseOfType(int32_t tag, const char* type, int32_t typeLength,
                                    const DatabaseText& name) {
    if (typeLength == 0) {
        // The application's default type, as the script may have changed it.
        Variable* fallback = nullptr;
        if (systemScope && systemScope->Find(&fallback, "vorn_defaultdatabase", -1, false) && fallback) {
            const String& text = fallback->Value();
            type = text.Text();
            typeLength = text.Length();
        }
    }
    DatabaseLibrarySource* source = databaseLibraries;
    if (!source && application) source = application->GetDatabaseLibraryManager();
    String error;
    Database* database = nullptr;
    if (IsBuiltInType(type, typeLength)) {
        if (source) database = source->NewXBaseDatabase(application, this, name);
        if (!database)
            error = String("Database type '") + kBuiltInType + "' is unsupported or not configured";
    } else if (source) {
        database = source->NewDatabase(application, this, type, typeLength, name, &error);
    } else {
        error = String("Database type '") + String(type, typeLength) + "' is unsupported or not configured";
    }
    if (!database) TagError(tag, error);
    return database;
}

void VornVM::OpenDatabase(bool thirdText) {
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
    if (aborted) return;
    if (FindDatabase(name.text, name.length)) {
        TagError(kTagOpen,
                 String("A database with the name '") + String(name.text, name.length) + "' is already open");
        return;
    }
    Database* database = NewDatabaseOfType(kTagOpen, type.text, type.length, name.Text());
    if (!database) return;
    const int32_t start = instructionStart;
    int ok = database->Open(file.Text(), Borrowed(database->Name()), extra1.Text(), extra2.Text(),
                            thirdText ? extra3.Text() : NoText());
    if (ok && !indexes.IsEmpty()) ok = database->SetIndexes(this, indexes.Text());
    instructionStart = start;
    if (!ok) {
        if (!aborted) TagError(kTagOpen, database->ErrorText());
        delete database;
        return;
    }
    ClearTagError(kTagOpen);
    AddDatabase(database);
}

void VornVM::OpDbOpen() {
    OpenDatabase(false);
}
void VornVM::OpDbOpen2() {
    OpenDatabase(true);
}

void VornVM::OpDbCreate() {
    Operand fields;
    fields.Pop(stack);
    Operand type;
    type.Pop(stack);
    Operand file;
    file.PopFile(stack);
    Operand name;
    name.Pop(stack);
    if (aborted) return;
    if (FindDatabase(name.text, name.length)) {
        TagError(kTagCreate,
                 String("A database with the name '") + String(name.text, name.length) + "' is already open");
        return;
    }
    // The constructor may adopt the name's buffer: Create gets what it holds.
    Database* database = NewDatabaseOfType(kTagCreate, type.text, type.length, name.Text());
    if (!database) return;
    if (!database->Create(file.Text(), Borrowed(database->Name()), fields.Text())) {
        if (!aborted) TagError(kTagCreate, database->ErrorText());
        delete database;
        return;
    }
    ClearTagError(kTagCreate);
    AddDatabase(database);
}

void VornVM::OpDbClose() {
    Database* database = PopDatabaseOperand(kTagClose);
    if (!database) return;
    ClearTagError(kTagClose);
    RemoveDatabase(database);
    database->Close();
    delete database;
}

// ---- Moves and searches ------------------------------------------------------------------

void VornVM::OpDbSkip() {
    int32_t count = aborted ? 0 : stack->PopInteger();
    DatabaseView* view = PopViewOperand(kTagSkip);
    if (!view) return;
    DatabaseCall(kTagSkip, view, [&] {
        return view->HasFilter() ? view->SkipFiltered(count) : view->Skip(count);
    });
}

void VornVM::OpDbGo() {
    int32_t position = aborted ? 0 : stack->PopPosition();
    DatabaseView* view = PopViewOperand(kTagGo);
    if (!view) return;
    DatabaseCall(kTagGo, view, [&] {
        return view->HasFilter() ? view->GoFiltered(position) : view->Go(position);
    });
}

void VornVM::OpDbFind() {
    int32_t exact = aborted ? 0 : stack->PopInteger();
    Operand key;
    key.Pop(stack);
    DatabaseView* view = PopViewOperand(kTagFind);
    if (!view) return;
    DatabaseText text = key.Text();
    DatabaseCall(kTagFind, view, [&] {
        return view->HasFilter() ? view->FindFiltered(text, exact) : view->Find(text, exact);
    });
}

void VornVM::OpDbFilter() {
    Operand expression;
    expression.Pop(stack);
    DatabaseView* view = PopViewOperand(kTagFilter);
    if (!view) return;
    DatabaseCall(kTagFilter, view, [&] { return view->SetFilter(this, expression.Text()); });
}

// ---- Record changes -----------------------------------------------------------------------

void VornVM::ViewOperation(int32_t tag, int (DatabaseView::*operation)()) {
    DatabaseView* view = PopViewOperand(tag);
    if (!view) return;
    DatabaseCall(tag, view, [&] { return (view->*operation)(); });
}

void VornVM::OpDbAdd() {
    ViewOperation(kTagAdd, &DatabaseView::Add);
}
void VornVM::OpDbUpdate() {
    ViewOperation(kTagUpdate, &DatabaseView::Update);
}
void VornVM::OpDbDelete() {
    ViewOperation(kTagDelete, &DatabaseView::Delete);
}
void VornVM::OpDbUndelete() {
    ViewOperation(kTagUndelete, &DatabaseView::Undelete);
}

// ---- Indexes, pack, reindex ----------------------------------------------------------------

void VornVM::OpDbPrimary() {
    Operand indexes;
    indexes.Pop(stack);
    Operand viewName;
    viewName.Pop(stack);
    Operand name;
    name.Pop(stack);
    if (aborted) return;
    // An empty name is a name like any other here, not the primary database.
    Database* database = FindDatabase(name.text, name.length);
    if (!database) {
        TagError(kTagPrimary, NotOpen(name.text, name.length));
        return;
    }
    MakePrimaryDatabase(database);
    if (!viewName.IsEmpty()) {
        DatabaseView* view = database->FindView(viewName.text, viewName.length);
        if (!view) {
            TagError(kTagPrimary, NoViewNamed(database->Name(), viewName.text, viewName.length));
            return;
        }
        database->SetPrimaryView(view);
    }
    DatabaseCall(kTagPrimary, database, [&] {
        return indexes.IsEmpty() ? 1 : database->SetPrimaryIndexes(indexes.Text());
    });
}

void VornVM::OpDbSetIndex() {
    Operand indexes;
    indexes.Pop(stack);
    DatabaseView* view = PopViewOperand(kTagSetIndex);
    if (!view) return;
    // The view only has to exist; the indexes are the database's.
    Database* database = view->GetDatabase();
    DatabaseCall(kTagSetIndex, database, [&] { return database->SetIndexes(this, indexes.Text()); });
}

void VornVM::OpDbMakeIndex() {
    Operand flags;
    flags.Pop(stack);
    Operand expression;
    expression.Pop(stack);
    Operand file;
    file.PopFile(stack);
    Database* database = PopDatabaseOperand(kTagMakeIndex);
    if (!database) return;
    DatabaseCall(kTagMakeIndex, database, [&] {
        return database->MakeIndex(this, file.Text(), expression.Text(), flags.Text());
    });
}

void VornVM::DatabaseOperation(int32_t tag, int (Database::*operation)()) {
    Database* database = PopDatabaseOperand(tag);
    if (!database) return;
    DatabaseCall(tag, database, [&] { return (database->*operation)(); });
}

void VornVM::OpDbPack() {
    DatabaseOperation(kTagPack, &Database::Pack);
}
void VornVM::OpDbReindex() {
    DatabaseOperation(kTagReindex, &Database::Reindex);
}
void VornVM::OpDbCommit() {
    DatabaseOperation(kTagCommit, &Database::Commit);
}
void VornVM::OpDbRollback() {
    DatabaseOperation(kTagRollback, &Database::Rollback);
}
void VornVM::OpDbTransact() {
    DatabaseOperation(kTagTransact, &Database::Transact);
}

// ---- Views, queries, commands ----------------------------------------------------------------

void VornVM::OpDbOpenView() {
    Operand parameters;
    parameters.Pop(stack);
    Operand query;
    query.Pop(stack);
    Operand viewName;
    viewName.Pop(stack);
    Database* database = PopDatabaseOperand(kTagOpenView);
    if (!database) return;
    if (database->FindView(viewName.text, viewName.length)) {
        TagError(kTagOpenView, String("Database '") + database->Name() + "' already has a view named '" +
                                   String(viewName.text, viewName.length) + "'");
        return;
    }
    VariableList* list = new VariableList();
    int32_t count = BuildVariableList(list, parameters.text, parameters.length);
    int ok = aborted ? 0 : database->OpenView(viewName.Text(), query.Text(), list, count);
    list->Delete();
    DatabaseOutcome(kTagOpenView, ok, database->ErrorText());
}

void VornVM::OpDbCloseView() {
    Operand viewName;
    viewName.Pop(stack);
    Database* database = PopDatabaseOperand(kTagCloseView);
    if (!database) return;
    int ok = database->CloseView(viewName.Text());
    DatabaseOutcome(kTagCloseView, ok, database->ErrorText());
}

void VornVM::OpDbQuery() {
    Operand parameters;
    parameters.Pop(stack);
    Operand query;
    query.Pop(stack);
    Database* database = PopDatabaseOperand(kTagQuery);
    if (!database) return;
    VariableList* list = new VariableList();
    int32_t count = BuildVariableList(list, parameters.text, parameters.length);
    int ok = aborted ? 0 : database->RunQuery(query.Text(), list, count);
    list->Delete();
    DatabaseOutcome(kTagQuery, ok, database->ErrorText());
}

void VornVM::OpDbCommand() {
    Operand value;
    value.Pop(stack);
    Operand command;
    command.Pop(stack);
    Database* database = PopDatabaseOperand(kTagDbCommand);
    if (!database) return;
    int ok = database->Command(command.Text(), value.Text());
    DatabaseOutcome(kTagDbCommand, ok, database->ErrorText());
}

// ---- Structure reports ---------------------------------------------------------------------

void VornVM::OpDbRevealStructureDb() {
    Operand file;
    file.Pop(stack);
    DatabaseView* view = PopViewOperand(kTagRevealStructure);
    if (!view) return;
    int ok = view->RevealStructureToDatabase(file.Text());
    DatabaseOutcome(kTagRevealStructure, ok, view->ErrorText());
}

void VornVM::OpDbRevealStructureAgg() {
    StackVariable target;
    if (!aborted) stack->PopVariable(target);
    DatabaseView* view = PopViewOperand(kTagRevealStructure);
    if (view) {
        int ok = view->RevealStructureToAggregate(&target.variable);
        DatabaseOutcome(kTagRevealStructure, ok, view->ErrorText());
    }
}

} // namespace vorn
