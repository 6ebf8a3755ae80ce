// The vornsql library's descriptor: thin adapters from the host's database
// calls to the catalog and the SQL engine. Each open database carries a
// SQLDatabaseState, each open view a SQLViewState, as the host handles' data.
#include "sqllib/engine/SqlDriver.h"

#include <strings.h>

#include <cstring>
#include <new>

#include "sqllib/engine/SqlEngine.h"
#include "sqllib/store/Schema.h"

namespace vorn {

namespace {

struct SQLDatabaseState {
    explicit SQLDatabaseState(VornDatabase* database)
        : schema(vrDatabase_Program(database)), engine(&schema, database) {}
    // The engine goes first: its cursors' tables belong to the schema's files.
    ~SQLDatabaseState() = default;
    Schema schema;
    SQLEngine engine;
    String error;
};

struct SQLViewState {
    SQLViewState(Schema* schema, VornDatabase* database) : schema(schema), engine(schema, database) {}
    Schema* schema;
    SQLEngine engine;
    String error;
};

SQLDatabaseState* DatabaseState(VornDatabase* database) {
    return database ? static_cast<SQLDatabaseState*>(vrDatabase_data(database)) : nullptr;
}

SQLViewState* ViewState(VornDatabaseView* view) {
    return view ? static_cast<SQLViewState*>(vrDatabaseView_data(view)) : nullptr;
}

int32_t Fail(String& error, const String& text) {
    error.Assign(text);
    return 0;
}

int32_t StartDatabase(VornDatabase* database, const char* path, int32_t length, bool create) {
    if (!database) return 0;
    // Stored before any file work: a failed open still leaves a state for
    // the host's release.
    auto* state = new SQLDatabaseState(database);
    vrDatabase_SetData(database, state);
    if (!path) length = 0;
    int ok = create ? state->schema.Create(path ? path : "", length) : state->schema.Open(path ? path : "", length);
    return ok ? 1 : Fail(state->error, state->schema.ErrorText());
}

int32_t SQLDriverCreate(VornDatabase* database, const char* file, int32_t fileLength, const char*, int32_t,
                        const char*, int32_t) {
    return StartDatabase(database, file, fileLength, true);
}

int32_t SQLDriverOpen(VornDatabase* database, const char* file, int32_t fileLength, const char*, int32_t,
                      const char*, int32_t, const char*, int32_t, const char*, int32_t) {
    return StartDatabase(database, file, fileLength, false);
}

int32_t SQLDriverClose(VornDatabase*) { return 1; }

int32_t SQLDriverRelease(VornDatabase* database) {
    SQLDatabaseState* state = DatabaseState(database);
    if (!state) return 0;
    // The host drops its word itself (setting it would call this again).
    delete state;
    return 1;
}

int32_t SQLDriverOpenView(VornDatabase* database, const char* name, int32_t nameLength, const char* query,
                          int32_t queryLength, VornVariableList* parameters, int32_t) {
    SQLDatabaseState* owner = DatabaseState(database);
    if (!owner) return 0;
    auto* state = new SQLViewState(&owner->schema, database);
    if (state->engine.Prepare(query, queryLength) < 0) {
        owner->error.Assign(state->engine.ErrorText());
        delete state;
        return 0;
    }
    VornDatabaseView* view = vrDatabase_AddView(database, name, nameLength, state);
    if (!view) {
        owner->error.Assign("Unable to add view");
        delete state;
        return 0;
    }
    // From here the host owns the view: a failure leaves it to close_view.
    state->engine.SetView(view);
    if (state->engine.Bind(parameters) < 0 || state->engine.Run() < 0) {
        owner->error.Assign(state->engine.ErrorText());
        return 0;
    }
    return 1;
}

int32_t SQLDriverRunQuery(VornDatabase* database, const char* query, int32_t length, VornVariableList* parameters,
                          int32_t) {
    SQLDatabaseState* state = DatabaseState(database);
    if (!state) return 0;
    SQLEngine& engine = state->engine;
    int result = engine.Prepare(query, length);
    if (result > 0) result = engine.Bind(parameters);
    if (result > 0) result = engine.Run();
    engine.Release();
    if (result < 0) return Fail(state->error, engine.ErrorText());
    return 1;
}

int32_t SQLDriverPack(VornDatabase* database) {
    SQLDatabaseState* state = DatabaseState(database);
    if (!state) return 0;
    return state->schema.Pack() ? 1 : Fail(state->error, state->schema.ErrorText());
}

const char* SQLDriverDatabaseError(VornDatabase* database) {
    SQLDatabaseState* state = DatabaseState(database);
    return state && state->error.Text() ? state->error.Text() : "";
}

int32_t SQLDriverCloseView(VornDatabaseView* view) {
    SQLViewState* state = ViewState(view);
    if (state) {
        vrDatabaseView_SetData(view, nullptr);
        delete state;
    }
    return 1;
}

int32_t SQLDriverSkip(VornDatabaseView* view, int32_t count) {
    SQLViewState* state = ViewState(view);
    if (!state) return 0;
    if (count < 0) return Fail(state->error, String("VornSQL Cursors are forward-only"));
    for (int32_t i = 0; i < count; ++i) {
        // A finished statement stays finished: no more runs.
        if (state->engine.Finished() && !state->engine.Failed()) break;
        int result = state->engine.Run();
        if (result < 0) return Fail(state->error, state->engine.ErrorText());
        if (result == 0) break;
    }
    return 1;
}

int32_t SQLDriverRevealStructure(VornDatabaseView* view, VornVariable** target) {
    SQLViewState* state = ViewState(view);
    VornVariable* variable = target ? *target : nullptr;
    if (!state || !variable) return 0;
    vrVariable_SetValue(variable, "", 0);
    int32_t n = 0;
    for (int32_t i = 0; i < state->engine.ResultCount(); ++i) {
        SQLResult* column = state->engine.ResultAt(i);
        if (!column || column->Column() == 0) continue;
        VornVariable* element = vrVariable_Array_Element(++n, variable, 1);
        if (!element) continue;
        auto member = [&](const char* name) {
            return vrVariable_Struct_Member(name, static_cast<int32_t>(std::strlen(name)), element, 1);
        };
        if (VornVariable* v = member("FIELD_NAME")) vrVariable_SetValue(v, column->Name(), column->NameLength());
        if (VornVariable* v = member("FIELD_TYPE")) vrVariable_SetValue(v, "C", 1);
        if (VornVariable* v = member("FIELD_LEN")) vrVariable_SetValue_Integer(v, -1);
        if (VornVariable* v = member("FIELD_DEC")) vrVariable_SetValue_Integer(v, 0);
    }
    return 1;
}

const char* SQLDriverViewError(VornDatabaseView* view) {
    SQLViewState* state = ViewState(view);
    return state && state->error.Text() ? state->error.Text() : "";
}

SQLResult* ValueOf(VornDatabaseVariable* variable) {
    return variable ? static_cast<SQLResult*>(vrDatabaseVariable_data(variable)) : nullptr;
}

int32_t SQLDriverVariableInteger(VornDatabaseVariable* variable, int32_t* out) {
    SQLResult* value = ValueOf(variable);
    int32_t n = value ? value->Integer() : 0;
    if (out) *out = n;
    return 1;
}

int32_t SQLDriverVariableDouble(VornDatabaseVariable* variable, double* out) {
    SQLResult* value = ValueOf(variable);
    int error = 0;
    double x = value ? value->ToDouble(&error) : 0.0;
    if (out) *out = x;
    return error ? 0 : 1;
}

int32_t SQLDriverVariableText(VornDatabaseVariable* variable, const char** text, int32_t* length, int32_t* owned) {
    SQLResult* value = ValueOf(variable);
    if (owned) *owned = 0;
    int32_t n = 0;
    const char* t = "";
    try {
        if (value) t = value->Text(&n);
    } catch (const std::bad_alloc&) {
        // A number whose text finds no memory: the read fails.
        return 0;
    }
    if (text) *text = t ? t : "";
    if (length) *length = n;
    return 1;
}

int32_t LogWord(VornDatabase* database, const char* word) {
    SQLDatabaseState* state = DatabaseState(database);
    if (state) state->schema.LogText(word);
    return 1;
}

int32_t SQLDriverCommit(VornDatabase* database) { return LogWord(database, "COMMIT\n"); }
int32_t SQLDriverRollback(VornDatabase* database) { return LogWord(database, "ROLLBACK\n"); }
int32_t SQLDriverTransact(VornDatabase* database) { return LogWord(database, "TRANSACT\n"); }

int32_t SQLDriverCommand(VornDatabase* database, const char* command, int32_t commandLength, const char* value,
                         int32_t valueLength) {
    SQLDatabaseState* state = DatabaseState(database);
    if (!state || !command) return state ? 1 : 0;
    if (commandLength < 0) commandLength = static_cast<int32_t>(std::strlen(command));
    if (!value) valueLength = 0;
    if (valueLength < 0) valueLength = static_cast<int32_t>(std::strlen(value));
    if (commandLength == 3 && strncasecmp(command, "log", 3) == 0) {
        state->schema.CloseLog();
        String name = valueLength > 0 ? String(value, valueLength) : String("sql.log");
        if (!state->schema.OpenLog(name.Text(), name.Length()))
            return Fail(state->error, String("Unable to open logfile"));
        return 1;
    }
    if (commandLength == 11 && strncasecmp(command, "subdir_char", 11) == 0) {
        if (valueLength != 1) return Fail(state->error, String("subdir_char parameter must be single character"));
        state->schema.SetSubdirChar(value[0]);
        return 1;
    }
    return 1;
}

DatabaseLibraryDescriptor MakeDescriptor() {
    DatabaseLibraryDescriptor d{};
    d.version = VORN_DATABASE_LIBRARY_VERSION;
    d.create_database = SQLDriverCreate;
    d.open_database = SQLDriverOpen;
    d.close_database = SQLDriverClose;
    d.open_view = SQLDriverOpenView;
    d.run_query = SQLDriverRunQuery;
    d.pack_database = SQLDriverPack;
    d.database_error = SQLDriverDatabaseError;
    d.close_view = SQLDriverCloseView;
    d.skip_rows = SQLDriverSkip;
    d.reveal_structure_to_aggregate = SQLDriverRevealStructure;
    d.view_error = SQLDriverViewError;
    d.variable_integer = SQLDriverVariableInteger;
    d.variable_double = SQLDriverVariableDouble;
    d.variable_text = SQLDriverVariableText;
    d.commit_database = SQLDriverCommit;
    d.rollback_database = SQLDriverRollback;
    d.transact_database = SQLDriverTransact;
    d.database_command = SQLDriverCommand;
    d.release_database = SQLDriverRelease;
    return d;
}

DatabaseLibraryDescriptor descriptor = MakeDescriptor();

} // namespace

DatabaseLibraryDescriptor* SQLDescriptor() { return &descriptor; }

bool SQLViewFinished(VornDatabaseView* view) {
    SQLViewState* state = ViewState(view);
    return !state || state->engine.Finished();
}

} // namespace vorn
