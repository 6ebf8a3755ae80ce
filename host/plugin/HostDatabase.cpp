// The host functions through which a database library works on the host's
// databases, views and field variables.
// A null handle is answered with null or ignored, and so is a name the text
// convention refuses (a length below -1, a null text with a nonzero length).
#include <cstdlib>

#include "database/library/ExternalDatabase.h"
#include "host/plugin/HostInterface.h"
#include "host/plugin/VornHost.h"

using vorn::ExternalDatabase;
using vorn::ExternalDatabaseVariable;
using vorn::ExternalDatabaseView;

extern "C" {

// The host's allocator is the one String adopts from and frees to.
void* vrProgram_Allocate(VornProgram*, int64_t size) {
    if (size < 0) return nullptr;
    return std::malloc(size > 0 ? static_cast<size_t>(size) : 1);
}

void vrProgram_Free(VornProgram*, void* block) {
    std::free(block);
}

VornProgram* vrDatabase_Program(VornDatabase* database) {
    return database ? database->Program() : nullptr;
}

void* vrDatabase_data(VornDatabase* database) {
    return database ? database->Data() : nullptr;
}

void vrDatabase_SetData(VornDatabase* database, void* data) {
    if (database) database->SetData(data);
}

VornDatabaseView* vrDatabase_AddView(VornDatabase* database, const char* name, int32_t length, void* data) {
    if (!database || !vorn::hostapi::TextArgument(name, length)) return nullptr;
    return database->AddView(name, length, data);
}

void vrDatabase_SetPrimaryView(VornDatabase* database, VornDatabaseView* view) {
    if (database) database->SetPrimaryView(view);
}

VornProgram* vrDatabaseView_Program(VornDatabaseView* view) {
    return view ? view->Owner()->Program() : nullptr;
}

VornDatabase* vrDatabaseView_Database(VornDatabaseView* view) {
    return view ? view->Owner() : nullptr;
}

void* vrDatabaseView_data(VornDatabaseView* view) {
    return view ? view->Data() : nullptr;
}

void vrDatabaseView_SetData(VornDatabaseView* view, void* data) {
    if (view) view->SetData(data);
}

VornDatabaseVariable* vrDatabaseView_AddVariable(VornDatabaseView* view, const char* name, int32_t length,
                                               void* data) {
    if (!view || !vorn::hostapi::TextArgument(name, length)) return nullptr;
    return view->AddVariable(name, length, data);
}

void vrDatabaseView_Clear(VornDatabaseView* view) {
    if (view) view->ClearVariables();
}

void vrDatabaseView_SetDirty(VornDatabaseView* view) {
    if (view) view->ResetVariables(1);
}

int32_t vrDatabaseView_Commit(VornDatabaseView* view) {
    if (!view) return 0;
    view->StoreVariables();
    return 1;
}

VornDatabaseView* vrDatabaseVariable_DatabaseView(VornDatabaseVariable* variable) {
    return variable ? variable->View() : nullptr;
}

void* vrDatabaseVariable_data(VornDatabaseVariable* variable) {
    return variable ? variable->Data() : nullptr;
}

void vrDatabaseVariable_SetData(VornDatabaseVariable* variable, void* data) {
    if (variable) variable->SetData(data);
}

void vrDatabaseVariable_SetDirty(VornDatabaseVariable* variable) {
    if (variable) variable->ResetValue();
}

} // extern "C"
