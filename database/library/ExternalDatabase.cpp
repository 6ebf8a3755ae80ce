#include "database/library/ExternalDatabase.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "engine/foundation/Messages.h"
#include "engine/foundation/Number.h"

namespace vorn {

static_assert(offsetof(DatabaseLibraryDescriptor, create_database) == 8, "entries follow the version word");
static_assert(sizeof(DatabaseLibraryDescriptor) == 8 + 45 * sizeof(void*), "45 entry words");
static_assert(offsetof(DatabaseLibraryDescriptor, release_database) == 8 + 35 * sizeof(void*),
              "release_database is the 36th entry");

namespace {

constexpr char kUnsupported[] = " is an Unsupported Operation";
constexpr char kNoReason[] = " failed without a message from the database library";
constexpr char kCommandUnsupported[] = "VrDBCOMMAND is an unsupported operation";
constexpr char kNoFilters[] = "Database type 'external' does not support Filters";
constexpr char kNoIndexFilters[] = "Database type 'external' does not support Indexes & Filters";

// Texts go to the library as pointer and length; a missing text as "", 0.
const char* TextOf(const DatabaseText& t) {
    return t.text ? t.text : "";
}

int32_t LengthOf(const DatabaseText& t) {
    if (!t.text) return 0;
    return t.length < 0 ? static_cast<int32_t>(std::strlen(t.text)) : t.length;
}

// An entry as an older version declares it (through the generic function
// type, which the compiler accepts as a cast between signatures).
template <class To, class From> To EntryAs(From entry) {
    return reinterpret_cast<To>(reinterpret_cast<void (*)()>(entry));
}

// The library's message, or the fixed one naming the tag when it gives none.
String LibraryMessage(const char* text, const char* tag) {
    if (text && text[0]) return String(text);
    return String(tag) + kNoReason;
}

// A text that must parse as an integer: strictly first, else through the
// double, as every other variable reads it.
int32_t TextToInteger(const String& text) {
    int32_t invalid = 0;
    int32_t value = ParseInteger(text.Text(), text.Length(), &invalid);
    if (!invalid) return value;
    return TruncateDouble(ParseDouble(text.Text(), text.Length(), text.Capacity(), nullptr));
}

} // namespace

// ---- ExternalDatabase ------------------------------------------------------------

ExternalDatabase::ExternalDatabase(VornApplication* app, VornVM* vm, DatabaseLibraryDescriptor* table,
                                   char* text, int32_t length, int32_t size, int* adopt)
    : Database(app, vm, text, length, size, adopt), descriptor(table) {}

ExternalDatabase::~ExternalDatabase() {
    ReleaseData();
    // Here rather than in the base: a field's release call may still ask
    // for this database.
    while (DatabaseView* view = views.First())
        Database::RemoveView(view);
}

void ExternalDatabase::ReleaseData() {
    if (data && Version() >= VORN_DATABASE_VERSION_RELEASE && descriptor->release_database)
        descriptor->release_database(this);
}

void ExternalDatabase::SetData(void* word) {
    // The library reads the old word during its release call.
    ReleaseData();
    data = word;
}

int ExternalDatabase::Unsupported(const char* tag) {
    SetErrorText(String(tag) + kUnsupported);
    return 0;
}

void ExternalDatabase::TakeLibraryError(const char* tag) {
    const char* text = descriptor->database_error ? descriptor->database_error(this) : nullptr;
    SetErrorText(LibraryMessage(text, tag));
}

int ExternalDatabase::Result(int32_t result, const char* tag) {
    if (result) return 1;
    TakeLibraryError(tag);
    return 0;
}

int ExternalDatabase::Open(const DatabaseText& file, const DatabaseText& dbName, const DatabaseText& extra1,
                           const DatabaseText& extra2, const DatabaseText& extra3) {
    vorn_open_database_entry entry = descriptor->open_database;
    if (!entry) return Unsupported("VrOPEN");
    // The third extra text is absent (null, 0) when the instruction has none.
    const char* third = extra3.text;
    int32_t thirdLength = LengthOf(extra3);
    int32_t version = Version();
    int32_t result;
    if (version >= VORN_DATABASE_VERSION_NAME) {
        result = entry(this, TextOf(file), LengthOf(file), TextOf(dbName), LengthOf(dbName), TextOf(extra1),
                       LengthOf(extra1), TextOf(extra2), LengthOf(extra2), third, thirdLength);
    } else if (version >= VORN_DATABASE_VERSION_EXTRA3) {
        result = EntryAs<vorn_open_database_entry_v2>(entry)(this, TextOf(file), LengthOf(file),
                                                             TextOf(extra1), LengthOf(extra1), TextOf(extra2),
                                                             LengthOf(extra2), third, thirdLength);
    } else {
        result =
            EntryAs<vorn_open_database_entry_v1>(entry)(this, TextOf(file), LengthOf(file), TextOf(extra1),
                                                        LengthOf(extra1), TextOf(extra2), LengthOf(extra2));
    }
    return Result(result, "VrOPEN");
}

int ExternalDatabase::Create(const DatabaseText& file, const DatabaseText& dbName,
                             const DatabaseText& fields) {
    vorn_create_database_entry entry = descriptor->create_database;
    if (!entry) return Unsupported("VrCREATE");
    int32_t result;
    if (Version() >= VORN_DATABASE_VERSION_NAME)
        result = entry(this, TextOf(file), LengthOf(file), TextOf(dbName), LengthOf(dbName), TextOf(fields),
                       LengthOf(fields));
    else
        result = EntryAs<vorn_create_database_entry_v1>(entry)(this, TextOf(file), LengthOf(file),
                                                               TextOf(fields), LengthOf(fields));
    return Result(result, "VrCREATE");
}

int ExternalDatabase::Close() {
    while (DatabaseView* view = views.First()) {
        if (!view->Close()) {
            SetErrorText(view->ErrorText());
            return 0;
        }
        RemoveView(view);
    }
    views.RemoveAll();
    viewTable.Clear();
    primaryView = nullptr;
    if (!descriptor->close_database) return Unsupported("VrCLOSE");
    return Result(descriptor->close_database(this), "VrCLOSE");
}

int ExternalDatabase::SetIndexes(VornVM*, const DatabaseText& indexes) {
    if (!descriptor->set_indexes) return Unsupported("VrOPEN with INDEXES attribute");
    return Result(descriptor->set_indexes(this, TextOf(indexes), LengthOf(indexes)), "VrSETINDEX");
}

int ExternalDatabase::SetPrimaryIndexes(const DatabaseText& indexes) {
    if (!descriptor->set_primary_indexes) return Unsupported("VrPRIMARY with INDEXES attribute");
    return Result(descriptor->set_primary_indexes(this, TextOf(indexes), LengthOf(indexes)), "VrPRIMARY");
}

int ExternalDatabase::MakeIndex(VornVM*, const DatabaseText& file, const DatabaseText& expression,
                                const DatabaseText& flags) {
    if (!descriptor->make_index) return Unsupported("VrMAKEINDEX");
    return Result(descriptor->make_index(this, TextOf(file), LengthOf(file), TextOf(expression),
                                         LengthOf(expression), TextOf(flags), LengthOf(flags)),
                  "VrMAKEINDEX");
}

int ExternalDatabase::Pack() {
    if (!descriptor->pack_database) return Unsupported("VrPACK");
    return Result(descriptor->pack_database(this), "VrPACK");
}

int ExternalDatabase::Reindex() {
    if (!descriptor->reindex_database) return Unsupported("VrREINDEX");
    return Result(descriptor->reindex_database(this), "VrREINDEX");
}

int ExternalDatabase::OpenView(const DatabaseText& viewName, const DatabaseText& query,
                               VariableList* parameters, int32_t parameterCount) {
    vorn_open_view_entry entry = descriptor->open_view;
    if (!entry) return Unsupported("VrOPENVIEW");
    DatabaseView* previousPrimary = primaryView;
    int32_t outer = openingStamp;
    int32_t stamp = ++lastStamp;
    openingStamp = stamp;
    int32_t result = entry(this, TextOf(viewName), LengthOf(viewName), TextOf(query), LengthOf(query),
                           parameters, parameterCount);
    openingStamp = outer;
    if (result) return 1;
    // The message first: closing the half-made views may change it.
    TakeLibraryError("VrOPENVIEW");
    DropViewsMadeDuring(stamp);
    if (!primaryView && previousPrimary && views.Find(previousPrimary)) primaryView = previousPrimary;
    return 0;
}

void ExternalDatabase::DropViewsMadeDuring(int32_t stamp) {
    for (;;) {
        DatabaseView* found = nullptr;
        for (DatabaseView* view = views.First(); view; view = views.Next()) {
            auto* external = dynamic_cast<ExternalDatabaseView*>(view);
            if (external && external->Stamp() == stamp) {
                found = view;
                break;
            }
        }
        if (!found) return;
        found->Close();
        RemoveView(found);
    }
}

int ExternalDatabase::CloseView(const DatabaseText& viewName) {
    const char* text = TextOf(viewName);
    int32_t length = LengthOf(viewName);
    DatabaseView* view = viewTable.Find(text, length);
    if (!view) {
        SetErrorText(String(kDatabaseNamed) + name + "' has no view named '" + String(text, length) + "'");
        return 0;
    }
    int result = view->Close();
    if (!result) SetErrorText(view->ErrorText());
    bool wasPrimary = view == primaryView;
    RemoveView(view);
    if (wasPrimary) primaryView = views.First();
    return result ? 1 : 0;
}

int ExternalDatabase::RunQuery(const DatabaseText& query, VariableList* parameters, int32_t parameterCount) {
    if (!descriptor->run_query) return Unsupported("VrRUNQUERY");
    return Result(descriptor->run_query(this, TextOf(query), LengthOf(query), parameters, parameterCount),
                  "VrRUNQUERY");
}

int ExternalDatabase::Commit() {
    if (Version() < VORN_DATABASE_VERSION_COMMIT || !descriptor->commit_database) return 1;
    return Result(descriptor->commit_database(this), "VrCOMMIT");
}

int ExternalDatabase::Rollback() {
    if (Version() < VORN_DATABASE_VERSION_COMMIT || !descriptor->rollback_database) return 1;
    return Result(descriptor->rollback_database(this), "VrROLLBACK");
}

int ExternalDatabase::Transact() {
    if (Version() < VORN_DATABASE_VERSION_TRANSACT || !descriptor->transact_database) return 1;
    return Result(descriptor->transact_database(this), "VrTRANSACT");
}

int ExternalDatabase::Command(const DatabaseText& command, const DatabaseText& value) {
    if (Version() < VORN_DATABASE_VERSION_TRANSACT || !descriptor->database_command) {
        SetErrorText(String(kCommandUnsupported));
        return 0;
    }
    return Result(descriptor->database_command(this, TextOf(command), LengthOf(command), TextOf(value),
                                               LengthOf(value)),
                  "VrDBCOMMAND");
}

ExternalDatabaseView* ExternalDatabase::AddView(const char* viewName, int32_t length, void* word) {
    auto* view = new ExternalDatabaseView(application, program, this, descriptor, viewName, length, word);
    view->SetStamp(openingStamp);
    Database::AddView(view);
    primaryView = view;
    return view;
}

// ---- ExternalDatabaseView ---------------------------------------------------------

ExternalDatabaseView::ExternalDatabaseView(VornApplication* app, VornVM* vm, ExternalDatabase* database,
                                           DatabaseLibraryDescriptor* table, const char* text, int32_t length,
                                           void* word)
    : DatabaseView(app, vm, database, String(text ? text : "", text ? length : 0)), owner(database),
      descriptor(table), data(word) {}

ExternalDatabaseView::~ExternalDatabaseView() {
    ClearVariables();
}

template <class F> void ExternalDatabaseView::ForEachField(F f) {
    // The library may clear the fields from inside a call: each one is held
    // while it is in use, and the walk ends where the table does.
    for (int32_t slot = 0; slot < variables.Used(); ++slot) {
        auto* field = static_cast<ExternalDatabaseVariable*>(variables.ItemAt(slot));
        if (!field) continue;
        field->AddReference();
        f(field);
        field->Release();
    }
}

void ExternalDatabaseView::ClearVariables() {
    // Every field goes through the library now, while this view still
    // stands, however long the script holds on to it.
    ForEachField([](ExternalDatabaseVariable* field) { field->Unbind(); });
    variables.Clear();
}

void ExternalDatabaseView::TakeLibraryError(const char* tag) {
    const char* text = descriptor->view_error ? descriptor->view_error(this) : nullptr;
    SetErrorText(LibraryMessage(text, tag));
}

int ExternalDatabaseView::Result(int32_t result, const char* tag) {
    if (result) return 1;
    TakeLibraryError(tag);
    return 0;
}

int ExternalDatabaseView::Unsupported(const char* tag) {
    SetErrorText(String(tag) + kUnsupported);
    return 0;
}

int ExternalDatabaseView::Forward(int32_t (*entry)(VornDatabaseView*), const char* tag) {
    if (!entry) return Unsupported(tag);
    return Result(entry(this), tag);
}

int ExternalDatabaseView::Close() {
    if (!descriptor->close_view) return 1;
    return Result(descriptor->close_view(this), "VrCLOSEVIEW");
}

int ExternalDatabaseView::Skip(int32_t count) {
    if (!descriptor->skip_rows) return Unsupported("VrSKIP");
    return Result(descriptor->skip_rows(this, count), "VrSKIP");
}

int ExternalDatabaseView::SkipFiltered(int32_t) {
    SetErrorText(String(kNoFilters));
    return 0;
}

int ExternalDatabaseView::Go(int32_t position) {
    if (!descriptor->go_to_row) return Unsupported("VrGO");
    return Result(descriptor->go_to_row(this, position), "VrGO");
}

int ExternalDatabaseView::GoFiltered(int32_t) {
    SetErrorText(String(kNoFilters));
    return 0;
}

int ExternalDatabaseView::Find(const DatabaseText& key, int32_t exact) {
    if (!descriptor->find_row) return Unsupported("VrFIND");
    return Result(descriptor->find_row(this, TextOf(key), LengthOf(key), exact), "VrFIND");
}

int ExternalDatabaseView::FindFiltered(const DatabaseText&, int32_t) {
    SetErrorText(String(kNoIndexFilters));
    return 0;
}

int ExternalDatabaseView::Add() {
    return Forward(descriptor->add_row, "VrADD");
}

int ExternalDatabaseView::Delete() {
    return Forward(descriptor->delete_row, "VrDELETE");
}

int ExternalDatabaseView::Undelete() {
    return Forward(descriptor->undelete_row, "VrUNDELETE");
}

int ExternalDatabaseView::Update() {
    return Forward(descriptor->update_row, "VrUPDATE");
}

int ExternalDatabaseView::SetFilter(VornVM*, const DatabaseText& expression) {
    if (!descriptor->set_filter) return Unsupported("VrFILTER");
    return Result(descriptor->set_filter(this, TextOf(expression), LengthOf(expression)), "VrFILTER");
}

int ExternalDatabaseView::RevealStructureToDatabase(const DatabaseText& fileName) {
    if (!descriptor->reveal_structure_to_database) return Unsupported("VrREVEALSTRUCTURE");
    return Result(descriptor->reveal_structure_to_database(this, TextOf(fileName), LengthOf(fileName)),
                  "VrREVEALSTRUCTURE");
}

int ExternalDatabaseView::RevealStructureToAggregate(Variable** target) {
    if (!descriptor->reveal_structure_to_aggregate) return Unsupported("VrREVEALSTRUCTURE");
    return Result(descriptor->reveal_structure_to_aggregate(this, target), "VrREVEALSTRUCTURE");
}

void ExternalDatabaseView::ResetVariables(int32_t) {
    ForEachField([](ExternalDatabaseVariable* field) { field->ResetValue(); });
}

void ExternalDatabaseView::StoreVariables() {
    ForEachField([](ExternalDatabaseVariable* field) { field->Store(); });
}

ExternalDatabaseVariable* ExternalDatabaseView::AddVariable(const char* text, int32_t length, void* word) {
    auto* field = new ExternalDatabaseVariable(text, length, this, descriptor, word);
    variables.Insert(field);
    return field;
}

// ---- ExternalDatabaseVariable ------------------------------------------------------

ExternalDatabaseVariable::ExternalDatabaseVariable(const char* text, int32_t length,
                                                   ExternalDatabaseView* owner,
                                                   DatabaseLibraryDescriptor* table, void* word)
    : Variable(text ? text : "", text ? length : 0), view(owner), descriptor(table), data(word) {}

ExternalDatabaseVariable::~ExternalDatabaseVariable() {
    if (descriptor && descriptor->release_variable) descriptor->release_variable(this);
}

template <class Entry>
Entry ExternalDatabaseVariable::Use(Entry DatabaseLibraryDescriptor::*entry, int32_t version) const {
    if (!descriptor || descriptor->version < version) return nullptr;
    return descriptor->*entry;
}

void ExternalDatabaseVariable::Unbind() {
    if (!descriptor) return;
    vorn_variable_entry release = descriptor->release_variable;
    // Unbound before the call, so that nothing it sets off reaches the
    // library through this field again.
    descriptor = nullptr;
    if (release) release(this);
    view = nullptr;
    changed = false;
    Variable::Clear();
}

// --- Reading ------------------------------------------------------------------------

bool ExternalDatabaseVariable::FetchInteger() {
    auto entry = Use(&DatabaseLibraryDescriptor::variable_integer);
    int32_t value = 0;
    if (!entry || !entry(this, &value)) return false;
    integer_ = value;
    valid_ |= kValidInteger;
    return true;
}

bool ExternalDatabaseVariable::FetchDouble() {
    auto entry = Use(&DatabaseLibraryDescriptor::variable_double);
    double value = 0.0;
    if (!entry || !entry(this, &value)) return false;
    double_ = value;
    valid_ |= kValidDouble;
    return true;
}

bool ExternalDatabaseVariable::FetchText() {
    auto entry = Use(&DatabaseLibraryDescriptor::variable_text);
    const char* text = nullptr;
    int32_t length = 0;
    int32_t owned = 0;
    if (!entry || !entry(this, &text, &length, &owned)) return false;
    if (!text) {
        text_.Assign("", 0);
    } else {
        // A length the contract has no meaning for: a text past the limit
        // ends the run, one below -1 is a failed read (never a measure of
        // bytes that may have no NUL after them).
        if (length > kMaxTextLength || length < -1) {
            if (owned) std::free(const_cast<char*>(text));
            String field = String(" for field '") + (view ? view->Name() : String("")) + "." + Name() +
                           "' from the database library";
            if (length > 0) throw TextTooLong((String("Text too long: ") + length + " bytes" + field).Text());
            if (view) view->SetErrorText(String("Invalid text length ") + length + field);
            return false;
        }
        if (length < 0) length = static_cast<int32_t>(std::strlen(text));
        if (owned)
            // The buffer's size is unknown, so Adopt copies it and frees it.
            text_.Adopt(const_cast<char*>(text), length, length);
        else
            text_.Assign(text, length);
    }
    valid_ |= kValidText;
    return true;
}

void ExternalDatabaseVariable::ParseCachedText() {
    integer_ = TextToInteger(text_);
    valid_ |= kValidInteger;
}

void ExternalDatabaseVariable::CachedTextToDouble() {
    double_ = ParseDouble(text_.Text(), text_.Length(), text_.Capacity(), nullptr);
    valid_ |= kValidDouble;
}

void ExternalDatabaseVariable::BuildText() {
    // Changed (or unbound): what the script assigned, as every variable does.
    if (tree_ || changed || !descriptor) return Variable::BuildText();
    if (FetchText()) return;
    if ((valid_ & (kValidDouble | kValidInteger)) || FetchDouble() || FetchInteger())
        return Variable::BuildText();
    text_.Assign("", 0);
}

int32_t ExternalDatabaseVariable::ComputeInteger() {
    if (tree_ || changed || !descriptor) return Variable::ComputeInteger();
    if (FetchInteger()) return integer_;
    if (valid_ & kValidText) {
        ParseCachedText();
    } else if (valid_ & kValidDouble) {
        integer_ = TruncateDouble(double_);
        valid_ |= kValidInteger;
    } else if (FetchText()) {
        ParseCachedText();
    } else if (FetchDouble()) {
        integer_ = TruncateDouble(double_);
        valid_ |= kValidInteger;
    } else {
        integer_ = 0;
    }
    return integer_;
}

void ExternalDatabaseVariable::ComputeDouble() {
    if (tree_ || changed || !descriptor) return Variable::ComputeDouble();
    if (FetchDouble()) return;
    if (valid_ & kValidText) {
        CachedTextToDouble();
    } else if (valid_ & kValidInteger) {
        double_ = integer_;
        valid_ |= kValidDouble;
    } else if (FetchText()) {
        CachedTextToDouble();
    } else if (FetchInteger()) {
        double_ = integer_;
        valid_ |= kValidDouble;
    } else {
        double_ = 0.0;
    }
}

double ExternalDatabaseVariable::ValueDoubleChecked(int32_t* error) {
    int32_t ignored = 0;
    if (!error) error = &ignored;
    *error = 0;
    if (tree_) {
        *error = 1;
        return 0.0;
    }
    if (valid_ & kValidDouble) return double_;
    // The text parsed with the flag; a text that is no number leaves the
    // double invalid.
    auto fromText = [&]() {
        int32_t invalid = 0;
        double value = ParseDouble(text_.Text(), text_.Length(), text_.Capacity(), &invalid);
        if (invalid) {
            *error = 1;
            return value;
        }
        double_ = value;
        valid_ |= kValidDouble;
        return value;
    };
    auto fromInteger = [&]() {
        double_ = integer_;
        valid_ |= kValidDouble;
        return double_;
    };
    if (changed || !descriptor) {
        if (valid_ & kValidText) return fromText();
        if (valid_ & kValidInteger) return fromInteger();
        return 0.0;
    }
    if (valid_ & kValidText) return fromText();
    if (FetchDouble()) return double_;
    if (FetchText()) return fromText();
    if ((valid_ & kValidInteger) || FetchInteger()) return fromInteger();
    return 0.0;
}

int32_t ExternalDatabaseVariable::StorageKind() const {
    return descriptor ? kStorageDatabaseField : kStorageNull;
}

int32_t ExternalDatabaseVariable::PreferredType() {
    auto entry = Use(&DatabaseLibraryDescriptor::column_type, VORN_DATABASE_VERSION_COLUMN_TYPE);
    if (!entry) return kTypeText;
    int32_t type = entry(this);
    return type == VORN_COLUMN_INTEGER ? kTypeInteger : type == VORN_COLUMN_DOUBLE ? kTypeDouble : kTypeText;
}

bool ExternalDatabaseVariable::IsEmpty() {
    return Value().IsEmpty();
}

// --- Writing ------------------------------------------------------------------------

// An unbound field reads as null and, like null, takes no value.
int ExternalDatabaseVariable::SetValueVariable(Variable* source) {
    if (!descriptor) return 1;
    changed = true;
    return Variable::SetValueVariable(source);
}

int ExternalDatabaseVariable::SetValue(const char* text, int32_t length) {
    if (!descriptor) return 1;
    changed = true;
    return Variable::SetValue(text, length);
}

int ExternalDatabaseVariable::SetValueNocopy(char* buffer, int32_t length, int32_t capacity) {
    if (!descriptor) {
        std::free(buffer);
        return 1;
    }
    changed = true;
    return Variable::SetValueNocopy(buffer, length, capacity);
}

int ExternalDatabaseVariable::SetValueInteger(int32_t value) {
    if (!descriptor) return 1;
    changed = true;
    return Variable::SetValueInteger(value);
}

int ExternalDatabaseVariable::SetValueDouble(double value) {
    if (!descriptor) return 1;
    changed = true;
    return Variable::SetValueDouble(value);
}

void ExternalDatabaseVariable::EnsureText() {
    Variable::BuildText();
}

void ExternalDatabaseVariable::EnsureInteger() {
    if (valid_ & kValidText) {
        ParseCachedText();
        return;
    }
    integer_ = (valid_ & kValidDouble) ? TruncateDouble(double_) : 0;
    valid_ |= kValidInteger;
}

void ExternalDatabaseVariable::EnsureDouble() {
    Variable::ComputeDouble();
}

void ExternalDatabaseVariable::ResetValue() {
    valid_ = 0;
    changed = false;
    type_ = kTypeNone;
}

void ExternalDatabaseVariable::Store() {
    if (!descriptor) return;
    if (tree_) {
        // An aggregate goes as the comma-joined text of its elements, changed
        // or not; it has no other form to send.
        auto entry = Use(&DatabaseLibraryDescriptor::set_variable_text);
        if (!entry) return;
        String joined;
        AppendText(joined);
        text_ = static_cast<String&&>(joined);
        valid_ |= kValidText;
        entry(this, text_.Text(), text_.Length());
        return;
    }
    if (!changed) return;
    if (type_ == kTypeNone) type_ = PreferredType();
    if (type_ == kTypeInteger) {
        auto entry = Use(&DatabaseLibraryDescriptor::set_variable_integer);
        if (!entry) return;
        if (!(valid_ & kValidInteger)) EnsureInteger();
        entry(this, integer_);
    } else if (type_ == kTypeDouble) {
        auto entry = Use(&DatabaseLibraryDescriptor::set_variable_double);
        if (!entry) return;
        if (!(valid_ & kValidDouble)) EnsureDouble();
        entry(this, double_);
    } else {
        auto entry = Use(&DatabaseLibraryDescriptor::set_variable_text);
        if (!entry) return;
        if (!(valid_ & kValidText)) EnsureText();
        entry(this, text_.Text(), text_.Length());
    }
}

} // namespace vorn
