// The host functions through which a database library works on the host's
// databases, views and field variables (declared in DatabaseLibrary.h).
// A null handle is answered with null or ignored.
#include <cstdlib>

#include "database/DatabaseLibrary.h"
#include "database/ExternalDatabase.h"

using vorn::ExternalDatabase;
using vorn::ExternalDatabaseVariable;
using vorn::ExternalDatabaseView;

extern "C" {

// The host's allocator is the one String adopts from and frees to.
void* vrProgram_Allocate(vrProgram*, int32_t size) {
    if (size < 0) return nullptr;
    return std::malloc(size > 0 ? static_cast<size_t>(size) : 1);
}

void vrProgram_Free(vrProgram*, void* block) {
    std::free(block);
}

vrProgram* vrDatabase_Program(vrDatabase* database) {
    return database ? database->Program() : nullptr;
}

void* vrDatabase_data(vrDatabase* database) {
    return database ? database->Data() : nullptr;
}

void vrDatabase_SetData(vrDatabase* database, void* data) {
    if (database) database->SetData(data);
}

vrDatabaseView* vrDatabase_AddView(vrDatabase* database, const char* name, int32_t length, void* data) {
    return database ? database->AddView(name, length, data) : nullptr;
}

void vrDatabase_SetPrimaryView(vrDatabase* database, vrDatabaseView* view) {
    if (database) database->SetPrimaryView(view);
}

vrProgram* vrDatabaseView_Program(vrDatabaseView* view) {
    return view ? view->Owner()->Program() : nullptr;
}

vrDatabase* vrDatabaseView_Database(vrDatabaseView* view) {
    return view ? view->Owner() : nullptr;
}

void* vrDatabaseView_data(vrDatabaseView* view) {
    return view ? view->Data() : nullptr;
}

void vrDatabaseView_SetData(vrDatabaseView* view, void* data) {
    if (view) view->SetData(data);
}

vrDatabaseVariable* vrDatabaseView_AddVariable(vrDatabaseView* view, const char* name, int32_t length,
                                               void* data) {
    return view ? view->AddVariable(name, length, data) : nullptr;
}

void vrDatabaseView_Clear(vrDatabaseView* view) {
    if (view) view->ClearVariables();
}

void vrDatabaseView_SetDirty(vrDatabaseView* view) {
    if (view) view->ResetVariables(1);
}

void vrDatabaseView_Commit(vrDatabaseView* view) {
    if (view) view->StoreVariables();
}

vrDatabaseView* vrDatabaseVariable_DatabaseView(vrDatabaseVariable* variable) {
    return variable ? variable->View() : nullptr;
}

void* vrDatabaseVariable_data(vrDatabaseVariable* variable) {
    return variable ? variable->Data() : nullptr;
}

void vrDatabaseVariable_SetData(vrDatabaseVariable* variable, void* data) {
    if (variable) variable->SetData(data);
}

void vrDatabaseVariable_SetDirty(vrDatabaseVariable* variable) {
    if (variable) variable->ResetValue();
}

} // extern "C"
