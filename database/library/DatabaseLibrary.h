/* The contract between the host and a database library: the export the host
 * looks up, the versioned table of entries it returns, and the host functions
 * through which the library makes its views and field variables.
 *
 * Plain C, so that a library needs nothing of the host's classes. Handles are
 * the host's own objects; a library only passes them back. Texts go as a
 * pointer and a length: those the host passes are valid for the call only,
 * those a library returns stay the library's (the host copies them), except a
 * field value handed over with the owned flag, which must come from
 * vrProgram_Allocate and which the host then frees.
 *
 * Entries return nonzero for success and 0 for failure, the library keeping
 * the message for database_error or view_error, unless noted otherwise.
 */
#ifndef VORN_DATABASE_DATABASELIBRARY_H
#define VORN_DATABASE_DATABASELIBRARY_H

#include <stdint.h>

#ifdef __cplusplus
namespace vorn {
class ExternalDatabase;
class ExternalDatabaseView;
class ExternalDatabaseVariable;
class Variable;
class VariableList;
class VornVM;
} // namespace vorn
typedef vorn::VornVM VornProgram;
typedef vorn::ExternalDatabase VornDatabase;
typedef vorn::ExternalDatabaseView VornDatabaseView;
typedef vorn::ExternalDatabaseVariable VornDatabaseVariable;
typedef vorn::Variable VornVariable;
typedef vorn::VariableList VornVariableList;
extern "C" {
#else
typedef struct VornProgram VornProgram;
typedef struct VornDatabase VornDatabase;
typedef struct VornDatabaseView VornDatabaseView;
typedef struct VornDatabaseVariable VornDatabaseVariable;
typedef struct VornVariable VornVariable;
typedef struct VornVariableList VornVariableList;
#endif

/* The interface version of this header. */
#define VORN_DATABASE_LIBRARY_VERSION 6

/* The first version that has each gated entry; every other entry is in all. */
#define VORN_DATABASE_VERSION_COMMIT 2 /* commit_database, rollback_database */
#define VORN_DATABASE_VERSION_EXTRA3 2 /* open_database's third extra text */
#define VORN_DATABASE_VERSION_NAME 3   /* the database name in open and create */
#define VORN_DATABASE_VERSION_COLUMN_TYPE 4
#define VORN_DATABASE_VERSION_TRANSACT 5 /* transact_database, database_command */
#define VORN_DATABASE_VERSION_RELEASE 6  /* release_database */

/* Column types that column_type answers; anything else is text. */
#define VORN_COLUMN_INTEGER 2
#define VORN_COLUMN_DOUBLE 3

/* Entries as this version calls them. */
typedef int32_t (*vorn_create_database_entry)(VornDatabase* database, const char* file, int32_t fileLength,
                                              const char* name, int32_t nameLength, const char* fields,
                                              int32_t fieldsLength);
typedef int32_t (*vorn_open_database_entry)(VornDatabase* database, const char* file, int32_t fileLength,
                                            const char* name, int32_t nameLength, const char* extra1,
                                            int32_t extra1Length, const char* extra2, int32_t extra2Length,
                                            const char* extra3, int32_t extra3Length);
typedef int32_t (*vorn_database_entry)(VornDatabase* database);
typedef int32_t (*vorn_open_view_entry)(VornDatabase* database, const char* view, int32_t viewLength,
                                        const char* query, int32_t queryLength, VornVariableList* parameters,
                                        int32_t parameterCount);
typedef int32_t (*vorn_run_query_entry)(VornDatabase* database, const char* query, int32_t queryLength,
                                        VornVariableList* parameters, int32_t parameterCount);
typedef int32_t (*vorn_database_text_entry)(VornDatabase* database, const char* text, int32_t length);
typedef int32_t (*vorn_make_index_entry)(VornDatabase* database, const char* file, int32_t fileLength,
                                         const char* expression, int32_t expressionLength, const char* flags,
                                         int32_t flagsLength);
typedef const char* (*vorn_database_error_entry)(VornDatabase* database);
typedef int32_t (*vorn_database_command_entry)(VornDatabase* database, const char* command,
                                               int32_t commandLength, const char* value, int32_t valueLength);
typedef int32_t (*vorn_view_entry)(VornDatabaseView* view);
typedef int32_t (*vorn_view_count_entry)(VornDatabaseView* view, int32_t count);
typedef int32_t (*vorn_view_text_entry)(VornDatabaseView* view, const char* text, int32_t length);
typedef int32_t (*vorn_find_row_entry)(VornDatabaseView* view, const char* key, int32_t keyLength,
                                       int32_t exact);
typedef int32_t (*vorn_reveal_to_aggregate_entry)(VornDatabaseView* view, VornVariable** target);
typedef const char* (*vorn_view_error_entry)(VornDatabaseView* view);
typedef int32_t (*vorn_variable_integer_entry)(VornDatabaseVariable* variable, int32_t* value);
typedef int32_t (*vorn_variable_double_entry)(VornDatabaseVariable* variable, double* value);
/* *owned set: *text came from vrProgram_Allocate and becomes the host's. */
typedef int32_t (*vorn_variable_text_entry)(VornDatabaseVariable* variable, const char** text, int32_t* length,
                                            int32_t* owned);
typedef int32_t (*vorn_set_variable_integer_entry)(VornDatabaseVariable* variable, int32_t value);
typedef int32_t (*vorn_set_variable_double_entry)(VornDatabaseVariable* variable, double value);
typedef int32_t (*vorn_set_variable_text_entry)(VornDatabaseVariable* variable, const char* text,
                                                int32_t length);
typedef int32_t (*vorn_variable_entry)(VornDatabaseVariable* variable);

/* The argument lists of older libraries: version 1 passes no database name
 * and no third extra text, version 2 adds the third extra text. */
typedef int32_t (*vorn_create_database_entry_v1)(VornDatabase* database, const char* file, int32_t fileLength,
                                                 const char* fields, int32_t fieldsLength);
typedef int32_t (*vorn_open_database_entry_v1)(VornDatabase* database, const char* file, int32_t fileLength,
                                               const char* extra1, int32_t extra1Length, const char* extra2,
                                               int32_t extra2Length);
typedef int32_t (*vorn_open_database_entry_v2)(VornDatabase* database, const char* file, int32_t fileLength,
                                               const char* extra1, int32_t extra1Length, const char* extra2,
                                               int32_t extra2Length, const char* extra3,
                                               int32_t extra3Length);

/* What vorn_database_library returns: owned by the library, never freed or
 * copied by the host. A null entry is no entry. */
typedef struct DatabaseLibraryDescriptor {
    int32_t version;
    vorn_create_database_entry create_database;
    vorn_open_database_entry open_database;
    vorn_database_entry close_database;
    vorn_open_view_entry open_view;
    vorn_run_query_entry run_query;
    vorn_database_entry pack_database;
    vorn_database_text_entry set_primary_indexes;
    vorn_make_index_entry make_index;
    vorn_database_text_entry set_indexes;
    vorn_database_entry reindex_database;
    vorn_database_error_entry database_error;
    vorn_view_entry close_view;
    vorn_view_count_entry skip_rows;
    vorn_view_count_entry go_to_row; /* a record number, -1 top, -2 bottom */
    vorn_view_entry add_row;
    vorn_view_entry delete_row;
    vorn_view_entry undelete_row;
    vorn_view_entry update_row;
    vorn_view_text_entry set_filter;
    vorn_find_row_entry find_row;
    vorn_view_text_entry reveal_structure_to_database;
    vorn_reveal_to_aggregate_entry reveal_structure_to_aggregate;
    vorn_view_error_entry view_error;
    vorn_variable_integer_entry variable_integer;
    vorn_variable_double_entry variable_double;
    vorn_variable_text_entry variable_text;
    vorn_set_variable_integer_entry set_variable_integer; /* results of these four are ignored */
    vorn_set_variable_double_entry set_variable_double;
    vorn_set_variable_text_entry set_variable_text;
    vorn_variable_entry release_variable;
    vorn_database_entry commit_database;   /* version 2 */
    vorn_database_entry rollback_database; /* version 2 */
    vorn_variable_entry column_type;       /* version 4: VORN_COLUMN_INTEGER, VORN_COLUMN_DOUBLE or text */
    vorn_database_entry transact_database; /* version 5 */
    vorn_database_command_entry database_command; /* version 5 */
    vorn_database_entry release_database;         /* version 6; result ignored */
    void* reserved[9];                            /* never read */
} DatabaseLibraryDescriptor;

/* The export of a database library; null when it has no table to give. */
typedef DatabaseLibraryDescriptor* (*vorn_database_library_export)(void);
#define VORN_DATABASE_LIBRARY_EXPORT "vorn_database_library"

/* The host functions a library calls (vrDatabase_AddView, vrDatabaseView_AddVariable, vrProgram_Allocate
 * and the rest) are declared with the whole host interface, in the host's public header. */

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VORN_DATABASE_DATABASELIBRARY_H */
