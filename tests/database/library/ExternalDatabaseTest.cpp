#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/values/Aggregate.h"
#include "tests/database/library/DatabaseLibrarySupport.h"

namespace vorn::test {
namespace {

#define ENTRY(e)                                                                                             \
    { #e, offsetof(DatabaseLibraryDescriptor, e) }
const struct {
    const char* name;
    size_t offset;
} kEntries[] = {
    ENTRY(create_database),
    ENTRY(open_database),
    ENTRY(close_database),
    ENTRY(open_view),
    ENTRY(run_query),
    ENTRY(pack_database),
    ENTRY(set_primary_indexes),
    ENTRY(make_index),
    ENTRY(set_indexes),
    ENTRY(reindex_database),
    ENTRY(database_error),
    ENTRY(close_view),
    ENTRY(skip_rows),
    ENTRY(go_to_row),
    ENTRY(add_row),
    ENTRY(delete_row),
    ENTRY(undelete_row),
    ENTRY(update_row),
    ENTRY(set_filter),
    ENTRY(find_row),
    ENTRY(reveal_structure_to_database),
    ENTRY(reveal_structure_to_aggregate),
    ENTRY(view_error),
    ENTRY(variable_integer),
    ENTRY(variable_double),
    ENTRY(variable_text),
    ENTRY(set_variable_integer),
    ENTRY(set_variable_double),
    ENTRY(set_variable_text),
    ENTRY(release_variable),
    ENTRY(commit_database),
    ENTRY(rollback_database),
    ENTRY(column_type),
    ENTRY(transact_database),
    ENTRY(database_command),
    ENTRY(release_database),
};
#undef ENTRY

// A copy of the descriptor without the entries named (comma-separated).
DatabaseLibraryDescriptor Without(const DatabaseLibraryDescriptor* base, const char* names) {
    DatabaseLibraryDescriptor copy = *base;
    std::string list = std::string(",") + names + ",";
    int32_t removed = 0;
    for (const auto& entry : kEntries) {
        if (list.find(std::string(",") + entry.name + ",") == std::string::npos) continue;
        std::memset(reinterpret_cast<char*>(&copy) + entry.offset, 0, sizeof(void*));
        ++removed;
    }
    if (names[0]) {
        EXPECT_EQ(removed, std::count(list.begin(), list.end(), ',') - 1) << names;
    }
    return copy;
}

// A database over the descriptor, opened unless open_database is missing,
// with a view "v" unless open_view is.
ExternalDatabase* OpenWith(DatabaseRig& rig, DatabaseLibraryDescriptor* descriptor,
                           ExternalDatabaseView** view) {
    auto* db = new ExternalDatabase(&rig.harness.app, rig.vm.get(), descriptor, const_cast<char*>("db"), 2, 0,
                                    nullptr);
    if (descriptor->open_database) {
        EXPECT_EQ(db->Open(Text("f.db"), Text("db"), Text(""), Text(""), Text(nullptr)), 1);
    }
    *view = descriptor->open_view ? rig.View(db) : nullptr;
    rig.Calls();
    return db;
}

std::string Number(double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%g", value);
    return buffer;
}

void SetInteger42(Variable* v) {
    v->SetValueInteger(42);
}
void SetText7(Variable* v) {
    v->SetValue("7", -1);
}
void SetText2p5(Variable* v) {
    v->SetValue("2.5", -1);
}
void SetTextAbc(Variable* v) {
    v->SetValue("abc", -1);
}
void SetDouble2p5(Variable* v) {
    v->SetValueDouble(2.5);
}
void SetNull(Variable* v) {
    NULLVariable null;
    v->SetValueVariable(&null);
}
void MakeArray(Variable* v) {
    v->Element(AggregateIndex::FromIndex(1), true)->SetValue("a", -1);
    v->Element(AggregateIndex::FromIndex(2), true)->SetValue("b", -1);
}

using Operation = int (*)(ExternalDatabase*, ExternalDatabaseView*);
// An operation on the database d or its view v.
#define OP(expression)                                                                                       \
    [](ExternalDatabase* d, ExternalDatabaseView* v) -> int {                                                \
        (void)d;                                                                                             \
        (void)v;                                                                                             \
        return (expression);                                                                                 \
    }

TEST(ExternalDatabaseTest, EveryMissingEntryHasItsAnswer) {
    struct Row {
        const char* entry;
        const char* fail; // entries of the library told to fail
        Operation op;
        int expected;
        bool onView;
        const char* message;
        const char* absent; // never in the log, deletion included
    } rows[] = {
        {"create_database", "", OP(d->Create(Text("n"), Text("db"), Text("ID"))), 0, false,
         "VrCREATE is an Unsupported Operation", ""},
        {"open_database", "", OP(d->Open(Text("f"), Text("db"), Text(""), Text(""), Text(""))), 0, false,
         "VrOPEN is an Unsupported Operation", ""},
        {"close_database", "", OP(d->Close()), 0, false, "VrCLOSE is an Unsupported Operation", ""},
        {"open_view", "", OP(d->OpenView(Text("v"), Text("q"), nullptr, 0)), 0, false,
         "VrOPENVIEW is an Unsupported Operation", ""},
        {"run_query", "", OP(d->RunQuery(Text("q"), nullptr, 0)), 0, false,
         "VrRUNQUERY is an Unsupported Operation", ""},
        {"pack_database", "", OP(d->Pack()), 0, false, "VrPACK is an Unsupported Operation", ""},
        {"set_primary_indexes", "", OP(d->SetPrimaryIndexes(Text("i"))), 0, false,
         "VrPRIMARY with INDEXES attribute is an Unsupported Operation", ""},
        {"make_index", "", OP(d->MakeIndex(nullptr, Text("i"), Text("e"), Text(""))), 0, false,
         "VrMAKEINDEX is an Unsupported Operation", ""},
        {"set_indexes", "", OP(d->SetIndexes(nullptr, Text("i"))), 0, false,
         "VrOPEN with INDEXES attribute is an Unsupported Operation", ""},
        {"reindex_database", "", OP(d->Reindex()), 0, false, "VrREINDEX is an Unsupported Operation", ""},
        {"skip_rows", "", OP(v->Skip(1)), 0, true, "VrSKIP is an Unsupported Operation", ""},
        {"go_to_row", "", OP(v->Go(-1)), 0, true, "VrGO is an Unsupported Operation", ""},
        {"add_row", "", OP(v->Add()), 0, true, "VrADD is an Unsupported Operation", ""},
        {"delete_row", "", OP(v->Delete()), 0, true, "VrDELETE is an Unsupported Operation", ""},
        {"undelete_row", "", OP(v->Undelete()), 0, true, "VrUNDELETE is an Unsupported Operation", ""},
        {"update_row", "", OP(v->Update()), 0, true, "VrUPDATE is an Unsupported Operation", ""},
        {"set_filter", "", OP(v->SetFilter(nullptr, Text("x"))), 0, true,
         "VrFILTER is an Unsupported Operation", ""},
        {"find_row", "", OP(v->Find(Text("a"), 1)), 0, true, "VrFIND is an Unsupported Operation", ""},
        {"reveal_structure_to_database", "", OP(v->RevealStructureToDatabase(Text("s"))), 0, true,
         "VrREVEALSTRUCTURE is an Unsupported Operation", ""},
        {"reveal_structure_to_aggregate", "", OP(v->RevealStructureToAggregate(nullptr)), 0, true,
         "VrREVEALSTRUCTURE is an Unsupported Operation", ""},
        {"commit_database", "", OP(d->Commit()), 1, false, "", ""},
        {"rollback_database", "", OP(d->Rollback()), 1, false, "", ""},
        {"transact_database", "", OP(d->Transact()), 1, false, "", ""},
        {"database_command", "", OP(d->Command(Text("c"), Text("v"))), 0, false,
         "VrDBCOMMAND is an unsupported operation", ""},
        {"column_type", "", OP(DatabaseRig::Field(v, "ID")->PreferredType()), kTypeText, false, "",
         "column_type"},
        {"release_variable", "", OP(1), 1, false, "", "release_variable"},
        {"release_database", "", OP(1), 1, false, "", "release_database"},
        // The required entries: a missing message gives a fixed one, a missing
        // close_view closes the view as success.
        {"database_error", "pack_database", OP(d->Pack()), 0, false,
         "VrPACK failed without a message from the database library", ""},
        {"view_error", "skip_rows", OP(v->Skip(1)), 0, true,
         "VrSKIP failed without a message from the database library", ""},
        {"close_view", "", OP(d->CloseView(Text("v")) && !d->PrimaryView() ? 1 : 0), 1, false, "",
         "close_view"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.entry);
        DatabaseRig rig;
        DatabaseLibraryDescriptor descriptor = Without(rig.Library("t", VORN_FIXTURE_DATABASEV6), row.entry);
        ExternalDatabaseView* view = nullptr;
        ExternalDatabase* db = OpenWith(rig, &descriptor, &view);
        if (row.fail[0]) rig.Option("fail", row.fail);
        EXPECT_EQ(row.op(db, view), row.expected);
        EXPECT_STREQ((row.onView ? view->ErrorText() : db->ErrorText()).Text(), row.message);
        delete db;
        if (row.absent[0]) {
            EXPECT_EQ(rig.Log().find(row.absent), std::string::npos) << rig.Log();
        }
    }
}

// How a field reads: unchanged through the library, form by form; changed
// from what the script assigned.
TEST(ExternalDatabaseTest, FieldsReadThroughTheFormsTheLibraryHas) {
    struct Row {
        const char* removed;
        const char* option; // key=value
        const char* column;
        void (*assign)(Variable*);
        const char* reads; // T text, I integer, D double, C double with the invalid flag
        const char* value; // of the last read
        int32_t invalid;
        const char* calls;
    } rows[] = {
        {"", "", "PRICE", nullptr, "T", "1.5", 0, "variable_text PRICE"},
        {"variable_text", "", "PRICE", nullptr, "T", "1.5", 0, "variable_double PRICE"},
        {"variable_text,variable_double", "", "PRICE", nullptr, "T", "1", 0, "variable_integer PRICE"},
        {"variable_text,variable_double,variable_integer", "", "PRICE", nullptr, "T", "", 0, ""},
        {"", "", "PRICE", nullptr, "I", "1", 0, "variable_integer PRICE"},
        {"variable_integer", "", "PRICE", nullptr, "I", "1", 0, "variable_text PRICE"},
        {"variable_integer,variable_text", "", "PRICE", nullptr, "I", "1", 0, "variable_double PRICE"},
        {"", "", "PRICE", nullptr, "D", "1.5", 0, "variable_double PRICE"},
        {"variable_double", "", "PRICE", nullptr, "D", "1.5", 0, "variable_text PRICE"},
        {"variable_double,variable_text", "", "ID", nullptr, "D", "1", 0, "variable_integer ID"},
        {"", "", "PRICE", nullptr, "C", "1.5", 0, "variable_double PRICE"},
        {"variable_double", "", "NAME", nullptr, "C", "0", 1, "variable_text NAME"},
        {"variable_double,variable_text", "", "ID", nullptr, "C", "1", 0, "variable_integer ID"},
        // Forms at hand are converted; the text is always asked for first.
        {"variable_integer", "", "PRICE", nullptr, "TI", "1", 0, "variable_text PRICE"},
        {"", "", "PRICE", nullptr, "TC", "1.5", 0, "variable_text PRICE"},
        {"", "", "PRICE", nullptr, "DT", "1.5", 0, "variable_double PRICE\nvariable_text PRICE"},
        {"", "fail=variable_text", "ID", nullptr, "T", "1", 0, "variable_text ID\nvariable_double ID"},
        // A null text reads as empty; an owned one is the host's from then on.
        {"", "nulltext=1", "NAME", nullptr, "T", "", 0, "variable_text NAME"},
        {"", "owned=1", "NAME", nullptr, "TT", "apple", 0, "variable_text NAME"},
        // Changed: never the library.
        {"", "", "ID", SetInteger42, "TD", "42", 0, ""},
        {"", "", "PRICE", SetText2p5, "I", "2", 0, ""},
        {"", "", "PRICE", SetTextAbc, "C", "0", 1, ""},
        {"", "", "PRICE", SetDouble2p5, "T", "2.5", 0, ""},
        {"", "", "NAME", SetNull, "T", "", 0, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.column) + " " + row.reads + " without " + row.removed + " " +
                     row.option);
        DatabaseRig rig;
        DatabaseLibraryDescriptor descriptor =
            Without(rig.Library("t", VORN_FIXTURE_DATABASEV6), row.removed);
        ExternalDatabaseView* view = nullptr;
        ExternalDatabase* db = OpenWith(rig, &descriptor, &view);
        if (row.option[0]) {
            std::string option = row.option;
            rig.Option(option.substr(0, option.find('=')).c_str(),
                       option.substr(option.find('=') + 1).c_str());
        }
        ExternalDatabaseVariable* field = DatabaseRig::Field(view, row.column);
        ASSERT_NE(field, nullptr);
        if (row.assign) row.assign(field);
        EXPECT_EQ(field->Changed(), row.assign != nullptr);
        std::string value;
        int32_t invalid = 0;
        for (const char* read = row.reads; *read; ++read) {
            switch (*read) {
            case 'T':
                value = field->Value().Text();
                break;
            case 'I':
                value = std::to_string(field->ValueInteger());
                break;
            case 'D':
                value = Number(field->ValueDouble());
                break;
            default:
                value = Number(field->ValueDoubleChecked(&invalid));
                break;
            }
        }
        EXPECT_EQ(value, row.value);
        EXPECT_EQ(invalid, row.invalid);
        EXPECT_EQ(rig.Calls(), row.calls);
        delete db;
    }
}

// Lengths the contract gives no meaning: below -1 the read fails (the text,
// which has no NUL after it, is never measured) and the view says why; past
// the text limit the read throws, naming the field. Owned texts go back.
TEST(ExternalDatabaseTest, TextLengthsOutsideTheContractFailTheRead) {
    struct Row {
        const char* option; // length=N[;owned=1]
        const char* value;  // read as text, "" when it throws
        const char* message;
    } rows[] = {
        {"-1", "1.5", ""},
        {"-2", "1.5", "Invalid text length -2 for field 'v.PRICE' from the database library"},
        {"-2147483648;owned", "1.5",
         "Invalid text length -2147483648 for field 'v.PRICE' from the database library"},
        {"2147483647", "", "Text too long: 2147483647 bytes for field 'v.PRICE' from the database library"},
        {"2147483600;owned", "",
         "Text too long: 2147483600 bytes for field 'v.PRICE' from the database library"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.option);
        DatabaseRig rig;
        rig.Library("t", VORN_FIXTURE_DATABASEV6);
        ExternalDatabase* db = rig.Open("t");
        ExternalDatabaseView* view = rig.View(db);
        std::string option = row.option;
        rig.Option("length", option.substr(0, option.find(';')).c_str());
        if (option.find(";owned") != std::string::npos) rig.Option("owned", "1");
        ExternalDatabaseVariable* price = DatabaseRig::Field(view, "PRICE");
        rig.Calls();
        if (row.value[0]) {
            EXPECT_EQ(std::string(price->Value().Text()), row.value);
            EXPECT_EQ(std::string(view->ErrorText().Text()), row.message);
        } else {
            try {
                price->Value();
                ADD_FAILURE() << "no throw";
            } catch (const TextTooLong& failure) {
                EXPECT_STREQ(failure.what(), row.message);
            }
        }
        EXPECT_EQ(rig.Calls(), std::string("variable_text PRICE") +
                                   (row.value[0] && row.message[0] ? "\nvariable_double PRICE" : ""));
        rig.Close(db);
    }
}

// What a commit writes: an aggregate always, a changed field by the type of
// its assignment (or the column's), again on every commit.
TEST(ExternalDatabaseTest, CommitsWriteChangedFieldsAndAggregates) {
    struct Row {
        const char* removed;
        const char* column;
        void (*assign)(Variable*);
        int32_t commits;
        const char* calls;
    } rows[] = {
        {"", "ID", SetInteger42, 2, "set_variable_integer ID 42\nset_variable_integer ID 42"},
        {"", "ID", SetText7, 1, "set_variable_text ID 7"},
        {"", "PRICE", SetDouble2p5, 1, "set_variable_double PRICE 2.5"},
        {"set_variable_double", "PRICE", SetDouble2p5, 1, ""},
        {"", "PRICE", SetNull, 2,
         "column_type PRICE\nset_variable_double PRICE 0\nset_variable_double PRICE 0"},
        {"column_type", "PRICE", SetNull, 1, "set_variable_text PRICE "},
        {"", "NAME", MakeArray, 2, "set_variable_text NAME a,b\nset_variable_text NAME a,b"},
        {"set_variable_text", "NAME", MakeArray, 1, ""},
        {"", "NAME", nullptr, 1, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.column) + " without " + row.removed);
        DatabaseRig rig;
        DatabaseLibraryDescriptor descriptor =
            Without(rig.Library("t", VORN_FIXTURE_DATABASEV6), row.removed);
        ExternalDatabaseView* view = nullptr;
        ExternalDatabase* db = OpenWith(rig, &descriptor, &view);
        ExternalDatabaseVariable* field = DatabaseRig::Field(view, row.column);
        if (row.assign) row.assign(field);
        for (int32_t i = 0; i < row.commits; ++i)
            vrDatabaseView_Commit(view);
        EXPECT_EQ(rig.Calls(), row.calls);
        EXPECT_EQ(field->Changed(), row.assign && row.assign != MakeArray);
        delete db;
    }
}

// VrUPDATE writes nothing itself: the library commits from update_row, and
// moves make it mark the view dirty.
TEST(ExternalDatabaseTest, RowChangesReachTheLibraryThroughItsCommitAndMoves) {
    DatabaseRig rig;
    rig.Library("t", VORN_FIXTURE_DATABASEV6);
    ExternalDatabase* db = rig.Open("t");
    ExternalDatabaseView* view = rig.View(db);
    ExternalDatabaseVariable* id = DatabaseRig::Field(view, "ID");
    ExternalDatabaseVariable* name = DatabaseRig::Field(view, "NAME");
    rig.Calls();
    id->SetValueInteger(42);
    EXPECT_EQ(rig.Calls(), "");
    for (int pass = 0; pass < 2; ++pass) {
        EXPECT_EQ(view->Update(), 1);
        EXPECT_EQ(rig.Calls(), "update_row view=v\nset_variable_integer ID 42");
    }

    struct Move {
        Operation op;
        const char* name;
        const char* calls;
    } moves[] = {
        {OP(v->Skip(1)), "banana", "skip_rows view=v count=1"},
        {OP(v->Go(-2)), "cherry", "go_to_row view=v position=-2"},
        {OP(v->Find(Text("ban"), 0)), "banana", "find_row view=v key=ban exact=0"},
        {OP(v->Go(-1)), "apple", "go_to_row view=v position=-1"},
        {OP(v->Add()), "", "add_row view=v"},
    };
    for (const Move& move : moves) {
        SCOPED_TRACE(move.calls);
        EXPECT_EQ(move.op(db, view), 1);
        EXPECT_STREQ(name->Value().Text(), move.name);
        EXPECT_EQ(rig.Calls(), std::string(move.calls) + "\nvariable_text NAME");
    }
    // The assignment went with the first move; the library kept the value.
    EXPECT_EQ(view->Update(), 1);
    EXPECT_EQ(rig.Calls(), "update_row view=v");
    view->Go(1);
    EXPECT_EQ(id->ValueInteger(), 42);

    // A failure gives the library's message; filters are the library's.
    EXPECT_EQ(view->Find(Text("zzz"), 1), 0);
    EXPECT_STREQ(view->ErrorText().Text(), "No row for key 'zzz'");
    EXPECT_EQ(view->SetFilter(nullptr, Text("ID > 1")), 1);
    EXPECT_FALSE(view->HasFilter());
    EXPECT_EQ(view->SkipFiltered(1), 0);
    EXPECT_STREQ(view->ErrorText().Text(), "Database type 'external' does not support Filters");
    EXPECT_EQ(view->GoFiltered(1), 0);
    EXPECT_STREQ(view->ErrorText().Text(), "Database type 'external' does not support Filters");
    EXPECT_EQ(view->FindFiltered(Text("a"), 1), 0);
    EXPECT_STREQ(view->ErrorText().Text(), "Database type 'external' does not support Indexes & Filters");
    Variable* target = nullptr;
    EXPECT_EQ(view->RevealStructureToAggregate(&target), 1);
    EXPECT_EQ(view->Delete(), 1);
    EXPECT_EQ(view->Undelete(), 1);
    EXPECT_EQ(view->RevealStructureToDatabase(Text("s.dbf")), 1);
    EXPECT_EQ(db->SetIndexes(nullptr, Text("a,b")), 1);
    EXPECT_EQ(db->SetPrimaryIndexes(Text("a")), 1);
    EXPECT_EQ(db->MakeIndex(nullptr, Text("i.vrx"), Text("NAME"), Text("u")), 1);
    EXPECT_EQ(db->Reindex(), 1);
    EXPECT_EQ(db->RunQuery(Text("q"), nullptr, 0), 1);
    EXPECT_EQ(rig.Calls(),
              "go_to_row view=v position=1\nvariable_integer ID\n"
              "find_row view=v key=zzz exact=1\nview_error\nset_filter view=v expression=ID > 1\n"
              "reveal_structure_to_aggregate view=v none\ndelete_row view=v\nundelete_row view=v\n"
              "reveal_structure_to_database view=v file=s.dbf\nset_indexes list=a,b\n"
              "set_primary_indexes list=a\nmake_index file=i.vrx expression=NAME flags=u\n"
              "reindex_database\nrun_query query=q params= count=0");
}

TEST(ExternalDatabaseTest, SetDirtyDiscardsAnAssignmentAndClearTurnsHeldFieldsNull) {
    DatabaseRig rig;
    rig.Library("t", VORN_FIXTURE_DATABASEV6);
    ExternalDatabase* db = rig.Open("t");
    ExternalDatabaseView* view = rig.View(db);
    ExternalDatabaseVariable* name = DatabaseRig::Field(view, "NAME");
    rig.Calls();
    name->SetValue("pear", -1);
    EXPECT_STREQ(name->Value().Text(), "pear");
    vrDatabaseVariable_SetDirty(name);
    EXPECT_FALSE(name->Changed());
    EXPECT_STREQ(name->Value().Text(), "apple");
    EXPECT_EQ(rig.Calls(), "variable_text NAME");

    // The host functions hand out what belongs together.
    EXPECT_EQ(vrDatabaseVariable_DatabaseView(name), view);
    EXPECT_EQ(vrDatabaseView_Database(view), db);
    EXPECT_EQ(vrDatabaseView_Program(view), rig.vm.get());
    EXPECT_EQ(vrDatabase_Program(db), rig.vm.get());
    int word = 0;
    void* fieldData = vrDatabaseVariable_data(name);
    vrDatabaseVariable_SetData(name, &word);
    EXPECT_EQ(vrDatabaseVariable_data(name), &word);
    void* viewData = vrDatabaseView_data(view);
    vrDatabaseView_SetData(view, &word);
    EXPECT_EQ(vrDatabaseView_data(view), &word);
    vrDatabaseView_SetData(view, viewData);
    vrDatabaseVariable_SetData(name, fieldData); // the library's release call reads it

    // A script holds NAME: clearing the view releases every field once, and
    // NAME reads as null from then on, takes no value and has no view.
    name->AddReference();
    vrDatabaseView_Clear(view);
    EXPECT_EQ(rig.Calls(), "release_variable ID\nrelease_variable PRICE\nrelease_variable NAME");
    EXPECT_EQ(view->FindVariable("NAME", -1), nullptr);
    EXPECT_EQ(name->StorageKind(), kStorageNull);
    name->SetValue("pear", -1);
    EXPECT_STREQ(name->Value().Text(), "");
    EXPECT_TRUE(name->IsEmpty());
    EXPECT_EQ(vrDatabaseVariable_DatabaseView(name), nullptr);

    // Names the text convention refuses add nothing.
    EXPECT_EQ(vrDatabaseView_AddVariable(view, "ID", -2, nullptr), nullptr);
    EXPECT_EQ(vrDatabaseView_AddVariable(view, nullptr, 2, nullptr), nullptr);
    EXPECT_EQ(vrDatabase_AddView(db, "w", -2, nullptr), nullptr);
    EXPECT_EQ(db->Views().Count(), 1);

    // New fields; one held across VrCLOSE reads null afterwards too.
    ExternalDatabaseVariable* id = vrDatabaseView_AddVariable(view, "ID", 2, nullptr);
    id->AddReference();
    rig.Close(db);
    EXPECT_EQ(rig.Calls(),
              "close_view view=v\nrelease_variable <none>\nclose_database\nrelease_database file=f.db");
    EXPECT_STREQ(id->Value().Text(), "");
    id->Release();
    name->Release();
    EXPECT_EQ(rig.Calls(), "");
    EXPECT_EQ(rig.Live(), 0);
}

// Views: the newest is primary, closing it hands the role to the front; a
// failing close still removes the view; a failed open leaves none behind.
TEST(ExternalDatabaseTest, ViewsAreAddedClosedAndDroppedAfterAFailedOpen) {
    DatabaseRig rig;
    rig.Library("t", VORN_FIXTURE_DATABASEV6);
    ExternalDatabase* db = rig.Open("t");
    VornVM& vm = *rig.vm;
    DatabaseRegistry& registry = DatabaseRegistry::Of(vm);
    ASSERT_EQ(db->OpenView(Text("v"), Text("two"), nullptr, 0), 1);
    DatabaseView* first = registry.FindView("V", -1);
    DatabaseView* second = registry.FindView("v_B", -1);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(db->PrimaryView(), second);
    EXPECT_STREQ(vm.FindViewVariable("v", 1, "name", 4)->Value().Text(), "apple");
    EXPECT_EQ(db->FindVariable("PRICE", -1),
              DatabaseRig::Field(static_cast<ExternalDatabaseView*>(first), "PRICE"));

    EXPECT_EQ(db->CloseView(Text("v_b")), 1);
    EXPECT_EQ(db->PrimaryView(), first);
    EXPECT_EQ(registry.FindView("v_b", -1), nullptr);
    EXPECT_EQ(db->CloseView(Text("nope")), 0);
    EXPECT_STREQ(db->ErrorText().Text(), "Database 'db' has no view named 'nope'");

    // A failed open: the views it added are closed and gone, the primary view
    // is the one before, and a retry of the same name works.
    rig.Calls();
    rig.Option("fail", "open_view");
    EXPECT_EQ(db->OpenView(Text("w"), Text("two"), nullptr, 0), 0);
    EXPECT_STREQ(db->ErrorText().Text(), "open_view failed <in library>");
    EXPECT_EQ(db->Views().Count(), 1);
    EXPECT_EQ(db->PrimaryView(), first);
    EXPECT_EQ(registry.FindView("w", -1), nullptr);
    EXPECT_EQ(rig.Calls(),
              "open_view name=w query=two params= count=0\ndatabase_error\nclose_view view=w\n"
              "release_variable ID\nrelease_variable PRICE\nrelease_variable NAME\nclose_view view=w_b\n"
              "release_variable ID\nrelease_variable PRICE\nrelease_variable NAME");
    rig.ClearOptions();
    EXPECT_EQ(db->OpenView(Text("w"), Text("one"), nullptr, 0), 1);
    ExternalDatabaseView* w = dynamic_cast<ExternalDatabaseView*>(db->PrimaryView());
    ASSERT_NE(w, nullptr);
    EXPECT_STREQ(w->Name().Text(), "w");
    vrDatabase_SetPrimaryView(db, static_cast<ExternalDatabaseView*>(first));
    EXPECT_EQ(db->PrimaryView(), first);
    EXPECT_EQ(db->Views().First(), first);

    // A failing close_view: VrCLOSEVIEW removes the view anyway, VrCLOSE
    // stops and leaves it and the rest open.
    rig.Option("fail", "close_view");
    EXPECT_EQ(db->Close(), 0);
    EXPECT_STREQ(db->ErrorText().Text(), "close_view failed <in library>");
    EXPECT_EQ(db->Views().Count(), 2);
    EXPECT_EQ(db->CloseView(Text("v")), 0);
    EXPECT_STREQ(db->ErrorText().Text(), "close_view failed <in library>");
    EXPECT_EQ(registry.FindView("v", -1), nullptr);
    EXPECT_EQ(db->PrimaryView(), w);
    rig.ClearOptions();
    rig.Close(db);
    EXPECT_EQ(rig.Live(), 1); // v's state, whose close failed
}

// The library's release call gets the old word whenever a new one replaces
// it, and comes first when a database is deleted with views still open.
TEST(ExternalDatabaseTest, ReleaseDatabaseComesBeforeTheWordGoes) {
    DatabaseRig rig;
    rig.Library("t", VORN_FIXTURE_DATABASEV6);
    String error;
    auto* db = static_cast<ExternalDatabase*>(
        rig.manager->NewDatabase(&rig.harness.app, rig.vm.get(), "t", -1, Text("db"), &error));
    EXPECT_EQ(db->Open(Text("f.db"), Text("db"), Text("reopen"), Text(""), Text(nullptr)), 1);
    EXPECT_EQ(rig.Calls(), "open_database file=f.db name=db extra1=reopen extra2= extra3=<null>\n"
                           "release_database file=f.db");
    rig.View(db);
    rig.Calls();
    delete db;
    EXPECT_EQ(rig.Calls(), "release_database file=f.db+\nrelease_variable ID\nrelease_variable PRICE\n"
                           "release_variable NAME");

    // A word taken back by the library is released once, then never again.
    db = static_cast<ExternalDatabase*>(
        rig.manager->NewDatabase(&rig.harness.app, rig.vm.get(), "t", -1, Text("db2"), &error));
    db->Open(Text("g.db"), Text("db2"), Text(""), Text(""), Text(nullptr));
    vrDatabase_SetData(db, nullptr);
    EXPECT_EQ(vrDatabase_data(db), nullptr);
    delete db;
    EXPECT_EQ(rig.Calls(), "open_database file=g.db name=db2 extra1= extra2= extra3=<null>\n"
                           "release_database file=g.db");
    EXPECT_EQ(rig.Live(), 1); // the view whose close never came
}

} // namespace
} // namespace vorn::test
