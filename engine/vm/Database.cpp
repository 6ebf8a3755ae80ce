#include "engine/vm/Database.h"

#include "engine/vm/DatabaseRegistry.h"
#include "engine/vm/VornVM.h"

namespace vorn {

void DatabaseText::TakeInto(String& out) const {
    if (text && adopt && *adopt) {
        out.Adopt(text, length, size);
        *adopt = 0;
    } else {
        out.Assign(text ? text : "", text ? length : 0);
    }
}

namespace {

void TakeName(String& out, char* text, int32_t length, int32_t size, int* adopt) {
    DatabaseText{text, length, size, adopt}.TakeInto(out);
}

} // namespace

// ---- Database -------------------------------------------------------------------

Database::Database(VornApplication* app, VornVM* vm, char* text, int32_t length, int32_t size, int* adopt)
    : application(app), program(vm) {
    TakeName(name, text, length, size, adopt);
    error.Assign("");
    if (program) program->AddUse();
}

Database::~Database() {
    while (DatabaseView* view = views.First()) Database::RemoveView(view);
    views.RemoveAll();
    if (program) program->ReleaseUse();
}

void Database::AddView(DatabaseView* view) {
    if (!view) return;
    if (program) DatabaseRegistry::Of(*program).RegisterView(view);
    viewTable.Insert(view);
    views.Insert(view, kListTail);
}

void Database::RemoveView(DatabaseView* view) {
    if (!view) return;
    if (DatabaseRegistry* registry = program ? DatabaseRegistry::Existing(*program) : nullptr)
        registry->UnregisterView(view);
    // Only this very view: another may carry the same name.
    RemoveExactItem(viewTable, view);
    viewTable.CompactWhenSparse();
    if (views.Find(view)) views.Remove(kListCurrent);
    if (primaryView == view) primaryView = nullptr;
    delete view;
}

DatabaseView* Database::PrimaryView() {
    return primaryView;
}

void Database::SetPrimaryView(DatabaseView* view) {
    if (!view || !views.Find(view)) return;
    views.Remove(kListCurrent);
    views.Insert(view, kListHead);
    primaryView = view;
}

Variable* Database::FindVariable(const char* text, int32_t length) {
    int32_t n = views.Count();
    DatabaseView* view = views.First();
    for (int32_t i = 0; i < n && view; ++i) {
        if (Variable* v = view->FindVariable(text, length)) return v;
        view = views.Next();
    }
    return nullptr;
}

const String& Database::Name() const {
    return name;
}

const String& Database::ErrorText() const {
    return error;
}

void Database::SetErrorText(const String& text) {
    if (text.IsEmpty()) return;
    error.Assign(text);
}

// ---- DatabaseView -------------------------------------------------------------------

DatabaseView::DatabaseView(VornApplication* app, VornVM* vm, Database* owner, char* text, int32_t length,
                           int32_t size, int* adopt)
    : application(app), program(vm), database(owner) {
    TakeName(name, text, length, size, adopt);
    error.Assign("");
}

DatabaseView::DatabaseView(VornApplication* app, VornVM* vm, Database* owner, const String& viewName)
    : application(app), program(vm), database(owner), name(viewName) {
    error.Assign("");
}

DatabaseView::~DatabaseView() {
    if (filterProgram) filterProgram->ReleaseUse();
    filterProgram = nullptr;
}

Variable* DatabaseView::FindVariable(const char* text, int32_t length) {
    return variables.FindVariable(text, length);
}

const String& DatabaseView::Name() const {
    return name;
}

void DatabaseView::AttachFilter(VornVM* filterVM, intptr_t entry) {
    if (filterProgram) filterProgram->ReleaseUse();
    filterEntry = entry;
    filterProgram = filterVM;
    if (filterProgram) filterProgram->AddUse();
}

bool DatabaseView::HasFilter() {
    return filterEntry != 0;
}

const String& DatabaseView::ErrorText() const {
    return error;
}

void DatabaseView::SetErrorText(const String& text) {
    if (text.IsEmpty()) return;
    error.Assign(text);
}

} // namespace vorn
