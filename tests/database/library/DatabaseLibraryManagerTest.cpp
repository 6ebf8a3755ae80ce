#include <gtest/gtest.h>

#include <string>

#include "tests/database/library/DatabaseLibrarySupport.h"

namespace vorn::test {
namespace {

TEST(DatabaseLibraryManagerTest, FindsTheFirstLibraryOfATypeAndAsksAgainAfterAFailure) {
    DatabaseRig rig;
    ExternalDatabaseLibraryManager& manager = *rig.manager;
    EXPECT_EQ(manager.RegisterLibrary("Sql", VORN_FIXTURE_DATABASEV6), 1);
    EXPECT_EQ(manager.RegisterLibrary("SQL", VORN_FIXTURE_DATABASEV1), 1); // kept, never found
    manager.RegisterLibrary("nulltable", VORN_FIXTURE_DATABASENULLDESCRIPTOR);
    manager.RegisterLibrary("noexport", VORN_FIXTURE_DATABASENOEXPORT);
    manager.RegisterLibrary("missing", "/nonexistent/vorn-database.so");

    struct Row {
        const char* type;
        int32_t version; // 0: no descriptor
        const char* error;
    } rows[] = {
        {"sQL", 6, ""},
        {"sql", 6, ""},
        {"xbase", 0, "Database type 'xbase' is unsupported or not configured"},
        {"nulltable", 0, "Unable to retrieve database descriptor table"},
        {"NULLTABLE", 0, "Unable to retrieve database descriptor table"},
        {"noexport", 0, "Unknown symbol 'vorn_database_library': "},
        {"missing", 0, "cannot open shared object file"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.type);
        DatabaseLibraryDescriptor* descriptor = manager.Descriptor(row.type, -1);
        EXPECT_EQ(descriptor ? descriptor->version : 0, row.version);
        if (!row.version) {
            EXPECT_NE(std::string(manager.ErrorText().Text()).find(row.error), std::string::npos)
                << manager.ErrorText().Text();
            String error;
            EXPECT_EQ(rig.vm->DatabaseLibraries()->NewDatabase(&rig.harness.app, rig.vm.get(), row.type, -1,
                                                               Text("db"), &error),
                      nullptr);
            EXPECT_STREQ(error.Text(), manager.ErrorText().Text());
        }
    }
    // The null table was asked for on each lookup (two rows, two lookups
    // each), the good one once.
    rig.Use(VORN_FIXTURE_DATABASENULLDESCRIPTOR);
    EXPECT_EQ(rig.Count("fixture_database_descriptor_calls"), 4);
    EXPECT_EQ(rig.Count("fixture_database_registrations"), 1);
    rig.Use(VORN_FIXTURE_DATABASEV6);
    EXPECT_EQ(rig.Count("fixture_database_descriptor_calls"), 1);

    // Types in registration order, for the configuration's lists.
    EXPECT_EQ(manager.ConfiguredLibraryCount(), 5);
    int32_t length = 0;
    EXPECT_STREQ(manager.ConfiguredLibraryName(1, &length), "SQL");
    EXPECT_EQ(length, 3);
    EXPECT_EQ(manager.ConfiguredLibraryName(5, &length), nullptr);
    EXPECT_TRUE(manager.IsLibraryConfigured("NoExport", -1));
    EXPECT_FALSE(manager.IsLibraryConfigured("xbase3", -1));
}

// What each version's library receives and which gated entries it gets.
TEST(DatabaseLibraryManagerTest, ArgumentListsAndGatedEntriesFollowTheVersion) {
    const char* paths[] = {VORN_FIXTURE_DATABASEV1, VORN_FIXTURE_DATABASEV2, VORN_FIXTURE_DATABASEV3,
                           VORN_FIXTURE_DATABASEV4, VORN_FIXTURE_DATABASEV5, VORN_FIXTURE_DATABASEV6};
    for (int32_t version = 1; version <= 6; ++version) {
        SCOPED_TRACE(version);
        DatabaseRig rig;
        ASSERT_NE(rig.Library("t", paths[version - 1]), nullptr);
        ExternalDatabase* db = rig.Open("t");
        ASSERT_NE(db, nullptr);
        std::string name = version >= 3 ? " name=db" : "";
        std::string extra3 = version >= 2 ? " extra3=<null>" : "";
        EXPECT_EQ(rig.Calls(), "open_database file=f.db" + name + " extra1=x1 extra2=x2" + extra3);

        auto* made = static_cast<ExternalDatabase*>(
            rig.manager->NewDatabase(&rig.harness.app, rig.vm.get(), "T", 1, Text("db"), nullptr));
        EXPECT_EQ(made->Open(Text("g.db"), Text("db"), Text(""), Text(""), Text("x3")), 1);
        EXPECT_EQ(made->Create(Text("n.db"), Text("db"), Text("ID,N")), 1);
        delete made;
        std::string calls = "open_database file=g.db" + name +
                            " extra1= extra2=" + (version >= 2 ? " extra3=x3" : "") +
                            "\ncreate_database file=n.db" + name + " fields=ID,N";
        // Version 6 releases the old word when create hangs a new one on it.
        if (version == 6) calls += "\nrelease_database file=g.db\nrelease_database file=n.db";
        EXPECT_EQ(rig.Calls(), calls);

        // Commit, rollback and transact succeed without a call when gated off;
        // the command fails.
        EXPECT_EQ(db->Commit(), 1);
        EXPECT_EQ(db->Rollback(), 1);
        EXPECT_EQ(db->Transact(), 1);
        EXPECT_EQ(db->Command(Text("c"), Text("v")), version == 6 ? 1 : 0);
        if (version < 6) {
            EXPECT_STREQ(db->ErrorText().Text(), "VrDBCOMMAND is an unsupported operation");
        }
        calls = version >= 2 ? "commit_database\nrollback_database" : "";
        if (version >= 5) calls += "\ntransact_database";
        if (version == 6) calls += "\ndatabase_command command=c value=v";
        EXPECT_EQ(rig.Calls(), calls);

        ExternalDatabaseView* view = rig.View(db);
        rig.Calls();
        int32_t types[] = {DatabaseRig::Field(view, "ID")->PreferredType(),
                           DatabaseRig::Field(view, "PRICE")->PreferredType(),
                           DatabaseRig::Field(view, "NAME")->PreferredType()};
        EXPECT_EQ(types[0], version >= 4 ? kTypeInteger : kTypeText);
        EXPECT_EQ(types[1], version >= 4 ? kTypeDouble : kTypeText);
        EXPECT_EQ(types[2], kTypeText);
        EXPECT_EQ(rig.Calls(), version >= 4 ? "column_type ID\ncolumn_type PRICE\ncolumn_type NAME" : "");

        // The end of the run closes and deletes the database: every library
        // call before the modules go, the release last.
        rig.vm.reset();
        EXPECT_EQ(rig.Calls(), std::string("close_view view=v\nrelease_variable ID\nrelease_variable PRICE\n"
                                           "release_variable NAME\nclose_database") +
                                   (version == 6 ? "\nrelease_database file=f.db" : ""));
        // Before version 6 nothing releases the words of the deleted database.
        EXPECT_EQ(rig.Live(), version == 6 ? 0 : 2);
    }
}

// Failures whose message the library does not give, and the required
// entries a library may lack.
TEST(DatabaseLibraryManagerTest, MissingMessagesAndRequiredEntriesHaveFixedAnswers) {
    struct Row {
        const char* path;
        const char* option; // error=...
        const char* viewError;
        const char* databaseError;
    } rows[] = {
        {VORN_FIXTURE_DATABASEV6, "", "skip_rows failed <in library>", "pack_database failed <in library>"},
        {VORN_FIXTURE_DATABASEV6, "null", "VrSKIP failed without a message from the database library",
         "VrPACK failed without a message from the database library"},
        {VORN_FIXTURE_DATABASEV6, "empty", "VrSKIP failed without a message from the database library",
         "VrPACK failed without a message from the database library"},
        {VORN_FIXTURE_DATABASENOREQUIRED, "", "VrSKIP failed without a message from the database library",
         "VrPACK failed without a message from the database library"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.path) + " " + row.option);
        DatabaseRig rig;
        rig.Library("t", row.path);
        ExternalDatabase* db = rig.Open("t");
        ExternalDatabaseView* view = rig.View(db);
        rig.Option("fail", "skip_rows,pack_database");
        if (row.option[0]) rig.Option("error", row.option);
        EXPECT_EQ(view->Skip(1), 0);
        EXPECT_STREQ(view->ErrorText().Text(), row.viewError);
        EXPECT_EQ(db->Pack(), 0);
        EXPECT_STREQ(db->ErrorText().Text(), row.databaseError);
        // Without close_view a view closes as success.
        EXPECT_EQ(db->CloseView(Text("v")), 1);
        EXPECT_EQ(db->PrimaryView(), nullptr);
    }

    // Without variable_text a field reads through the other forms.
    DatabaseRig rig;
    rig.Library("t", VORN_FIXTURE_DATABASENOTEXT);
    ExternalDatabaseView* view = rig.View(rig.Open("t"));
    rig.Calls();
    EXPECT_STREQ(DatabaseRig::Field(view, "PRICE")->Value().Text(), "1.5");
    EXPECT_STREQ(DatabaseRig::Field(view, "ID")->Value().Text(), "1");
    EXPECT_EQ(rig.Calls(), "variable_double PRICE\nvariable_double ID");

    // The host's allocator.
    void* block = vrProgram_Allocate(nullptr, 0);
    EXPECT_NE(block, nullptr);
    vrProgram_Free(nullptr, block);
    EXPECT_EQ(vrProgram_Allocate(nullptr, -1), nullptr);
    vrProgram_Free(nullptr, nullptr);
}

} // namespace
} // namespace vorn::test
