#include "engine/values/SystemVariables.h"

#include <charconv>

#include "engine/app/TimeHelpers.h"
#include "engine/app/VornApplication.h"
#include "engine/foundation/Config.h"
#include "engine/foundation/Number.h"
#include "engine/values/Aggregate.h"
#include "engine/values/VariableHash.h"

namespace vorn {

namespace {

const char* const kTimeNames[kTimeFieldCount] = {
    "dyn_time_t",  "dyn_tm_usec", "dyn_tm_sec",   "dyn_tm_min",  "dyn_tm_hour",
    "dyn_tm_mday", "dyn_tm_mon",  "dyn_stm_mon",  "dyn_tm_year", "dyn_tm_wday",
    "dyn_stm_wday", "dyn_tm_yday", "dyn_tm_isdst", "dyn_stm_zone",
};

void AssignDecimal(String& out, int64_t value) {
    char buffer[24];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.Assign(buffer, static_cast<int32_t>(result.ptr - buffer));
}

int32_t Saturate(int64_t value) {
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

bool FitsInteger(int64_t value) { return value >= INT32_MIN && value <= INT32_MAX; }

// The number of a time field; 0 for the name fields and out of range.
int64_t TimeNumber(const TimeRecord& r, int32_t field) {
    switch (field) {
    case kTimeFieldSeconds: return r.seconds;
    case kTimeFieldMicroseconds: return r.microseconds;
    case kTimeFieldSecond: return r.second;
    case kTimeFieldMinute: return r.minute;
    case kTimeFieldHour: return r.hour;
    case kTimeFieldDay: return r.day;
    case kTimeFieldMonth: return r.month;
    case kTimeFieldYear: return r.year;
    case kTimeFieldWeekday: return r.weekday;
    case kTimeFieldYearDay: return r.yearDay;
    case kTimeFieldDaylightSaving: return r.daylightSaving;
    default: return 0;
    }
}

const char* TimeName(const TimeRecord& r, int32_t field) {
    switch (field) {
    case kTimeFieldMonthName: return r.monthName;
    case kTimeFieldWeekdayName: return r.weekdayName;
    case kTimeFieldZone: return r.zone;
    default: return nullptr;
    }
}

} // namespace

const char* DynamicTimeVariableName(int32_t field) {
    return field >= 0 && field < kTimeFieldCount ? kTimeNames[field] : nullptr;
}

// --- DynamicTimeVariable ------------------------------------------------------

DynamicTimeVariable::DynamicTimeVariable(int32_t field) : field_(field) {
    if (const char* name = DynamicTimeVariableName(field)) name_.Assign(name);
}

bool DynamicTimeVariable::IsNameField() const {
    return field_ == kTimeFieldMonthName || field_ == kTimeFieldWeekdayName || field_ == kTimeFieldZone;
}

void DynamicTimeVariable::BuildText() {
    if (field_ < 0 || field_ >= kTimeFieldCount) {
        text_.Assign("", 0);
        return;
    }
    TimeRecord r;
    LocalTimeNow(&r);
    if (IsNameField())
        text_.Assign(TimeName(r, field_));
    else
        AssignDecimal(text_, TimeNumber(r, field_));
}

const String& DynamicTimeVariable::Value() {
    BuildText();
    return text_;
}

int32_t DynamicTimeVariable::ValueInteger() {
    if (IsNameField() || field_ < 0 || field_ >= kTimeFieldCount) {
        integer_ = 0;
        return 0;
    }
    TimeRecord r;
    LocalTimeNow(&r);
    integer_ = Saturate(TimeNumber(r, field_));
    return integer_;
}

double DynamicTimeVariable::ValueDouble() {
    int32_t error = 0;
    return ValueDoubleChecked(&error);
}

double DynamicTimeVariable::ValueDoubleChecked(int32_t* error) {
    int32_t ignored = 0;
    if (!error) error = &ignored;
    if (IsNameField() || field_ < 0 || field_ >= kTimeFieldCount) {
        *error = 1;
        return 0.0;
    }
    *error = 0;
    TimeRecord r;
    LocalTimeNow(&r);
    return static_cast<double>(TimeNumber(r, field_));
}

int32_t DynamicTimeVariable::StorageKind() const {
    if (IsNameField() || field_ < 0 || field_ >= kTimeFieldCount) return kStorageComputedText;
    // Seconds past 2038 do not fit an integer value: a copy keeps them as text.
    if (field_ == kTimeFieldSeconds && !FitsInteger(platform::NowSeconds())) return kStorageComputedText;
    return kStorageComputedInteger;
}

int32_t DynamicTimeVariable::Type() {
    return StorageKind() == kStorageComputedInteger ? kTypeInteger : kTypeText;
}

bool DynamicTimeVariable::Boolean() {
    const String& text = Value();
    return TextIsTrue(text.Text(), text.Length());
}

bool DynamicTimeVariable::IsEmpty() { return Value().Length() == 0; }

// --- TimeRemainingVariable ----------------------------------------------------

TimeRemainingVariable::TimeRemainingVariable(VornApplication* application) : application_(application) {
    name_.Assign("dyn_time_remaining");
}

void TimeRemainingVariable::BuildText() { AssignDecimal(text_, application_ ? application_->SecondsLeft() : -1); }

const String& TimeRemainingVariable::Value() {
    BuildText();
    return text_;
}

int32_t TimeRemainingVariable::ValueInteger() {
    integer_ = Saturate(application_ ? application_->SecondsLeft() : -1);
    return integer_;
}

double TimeRemainingVariable::ValueDouble() {
    return static_cast<double>(application_ ? application_->SecondsLeft() : -1);
}

double TimeRemainingVariable::ValueDoubleChecked(int32_t* error) {
    if (error) *error = 0;
    return ValueDouble();
}

int32_t TimeRemainingVariable::StorageKind() const { return kStorageComputedInteger; }

int32_t TimeRemainingVariable::Type() { return kTypeInteger; }

bool TimeRemainingVariable::Boolean() {
    const String& text = Value();
    return TextIsTrue(text.Text(), text.Length());
}

bool TimeRemainingVariable::IsEmpty() { return Value().Length() == 0; }

// --- SSLAvailableVariable -----------------------------------------------------

SSLAvailableVariable::SSLAvailableVariable(VornApplication* application) : application_(application) {
    name_.Assign("vorn_sslavailable");
    type_ = kTypeInteger;
}

int32_t SSLAvailableVariable::Ask() { return application_ ? application_->EnsureOpenSSL(nullptr) : 0; }

void SSLAvailableVariable::BuildText() {
    if (valid_ & kValidText) return;
    AssignDecimal(text_, Ask());
    valid_ |= kValidText;
}

const String& SSLAvailableVariable::Value() {
    BuildText();
    return text_;
}

int32_t SSLAvailableVariable::ValueInteger() {
    if (!(valid_ & kValidInteger)) {
        integer_ = Ask();
        valid_ |= kValidInteger;
    }
    return integer_;
}

double SSLAvailableVariable::ValueDouble() {
    if (!(valid_ & kValidDouble)) {
        double_ = Ask();
        valid_ |= kValidDouble;
    }
    return double_;
}

double SSLAvailableVariable::ValueDoubleChecked(int32_t* error) {
    if (error) *error = 0;
    return ValueDouble();
}

bool SSLAvailableVariable::IsEmpty() { return Value().Length() == 0; }

// --- Language and default database -------------------------------------------

ApplicationSettingVariable::ApplicationSettingVariable(VornApplication* application, const char* name)
    : application_(application) {
    name_.Assign(name);
    text_.Assign("", 0);
    valid_ = kValidText;
    type_ = kTypeText;
}

void ApplicationSettingVariable::Refresh() {
    if (application_) {
        int32_t version = Version();
        if (version != seen_) {
            const String& current = Current();
            text_.Assign(current.Text(), current.Length());
            seen_ = version;
        }
    }
    valid_ = kValidText;
    type_ = kTypeText;
}

void ApplicationSettingVariable::BuildText() { Refresh(); }

const String& ApplicationSettingVariable::Value() {
    Refresh();
    return text_;
}

int32_t ApplicationSettingVariable::ValueInteger() {
    Refresh();
    return Variable::ValueInteger();
}

double ApplicationSettingVariable::ValueDouble() {
    Refresh();
    return Variable::ValueDouble();
}

double ApplicationSettingVariable::ValueDoubleChecked(int32_t* error) {
    Refresh();
    return Variable::ValueDoubleChecked(error);
}

int32_t ApplicationSettingVariable::StorageKind() const { return kStorageComputedText; }

int32_t ApplicationSettingVariable::Type() { return kTypeText; }

bool ApplicationSettingVariable::Boolean() {
    const String& text = Value();
    return TextIsTrue(text.Text(), text.Length());
}

bool ApplicationSettingVariable::IsEmpty() { return Value().Length() == 0; }

int ApplicationSettingVariable::SetValue(const char* text, int32_t length) {
    // The text may live in the application's own setting, which the setter
    // replaces.
    String copy(text, length);
    if (application_) Store(copy.Text(), copy.Length());
    return Variable::SetValue(copy.Text(), copy.Length());
}

int ApplicationSettingVariable::SetValueNocopy(char* buffer, int32_t length, int32_t capacity) {
    if (application_) Store(buffer, buffer ? length : 0);
    return Variable::SetValueNocopy(buffer, length, capacity);
}

int ApplicationSettingVariable::SetValueVariable(Variable* source) {
    if (!source) return 1;
    String text(source->Value());
    return SetValue(text.Text(), -1);
}

int ApplicationSettingVariable::SetValueInteger(int32_t value) {
    int32_t length = 0;
    int32_t size = 0;
    char* buffer = FormatInteger(value, &length, &size);
    if (!buffer) return 1;
    return SetValueNocopy(buffer, length, size);
}

int ApplicationSettingVariable::SetValueDouble(double value) {
    int32_t length = 0;
    int32_t size = 0;
    char* buffer = FormatDouble(value, &length, &size);
    if (!buffer) return 1;
    return SetValueNocopy(buffer, length, size);
}

LanguageVariable::LanguageVariable(VornApplication* application)
    : ApplicationSettingVariable(application, "vorn_language") {}
const String& LanguageVariable::Current() { return application_->Language(); }
int32_t LanguageVariable::Version() { return application_->LanguageVersion(); }
void LanguageVariable::Store(const char* text, int32_t length) { application_->SetLanguage(text, length); }

DefaultLanguageVariable::DefaultLanguageVariable(VornApplication* application)
    : ApplicationSettingVariable(application, "vorn_defaultlanguage") {}
const String& DefaultLanguageVariable::Current() { return application_->DefaultLanguage(); }
int32_t DefaultLanguageVariable::Version() { return application_->DefaultLanguageVersion(); }
void DefaultLanguageVariable::Store(const char* text, int32_t length) {
    application_->SetDefaultLanguage(text, length);
}

DefaultDatabaseVariable::DefaultDatabaseVariable(VornApplication* application)
    : ApplicationSettingVariable(application, "vorn_defaultdatabase") {}
const String& DefaultDatabaseVariable::Current() { return application_->DefaultDatabase(); }
int32_t DefaultDatabaseVariable::Version() { return application_->DefaultDatabaseVersion(); }
void DefaultDatabaseVariable::Store(const char* text, int32_t length) {
    application_->SetDefaultDatabase(text, length);
}

// --- ConfigurationVariable ----------------------------------------------------

ConfigurationVariable::ConfigurationVariable(VornApplication* application, uint32_t id)
    : application_(application), id_(id) {
    if (const ConfigItemInfo* item = FindConfigItem(id)) name_.Assign(item->memberName);
}

bool ConfigurationVariable::IsInteger() const { return IsConfigIntegerItem(id_); }

int32_t ConfigurationVariable::Integer() {
    Config* config = application_ ? application_->GetConfig() : nullptr;
    return config ? config->GetInteger(id_) : 0;
}

void ConfigurationVariable::BuildText() {
    if (IsInteger()) {
        AssignDecimal(text_, Integer());
        return;
    }
    Config* config = application_ ? application_->GetConfig() : nullptr;
    const char* text = config ? config->GetText(id_) : nullptr;
    text_.Assign(text ? text : "", -1);
}

const String& ConfigurationVariable::Value() {
    BuildText();
    return text_;
}

int32_t ConfigurationVariable::ValueInteger() { return IsInteger() ? Integer() : 0; }

double ConfigurationVariable::ValueDouble() { return IsInteger() ? Integer() : 0.0; }

double ConfigurationVariable::ValueDoubleChecked(int32_t* error) {
    bool integer = IsInteger();
    if (error) *error = integer ? 0 : 1;
    return integer ? Integer() : 0.0;
}

int32_t ConfigurationVariable::StorageKind() const {
    return IsInteger() ? kStorageComputedInteger : kStorageComputedText;
}

int32_t ConfigurationVariable::Type() { return IsInteger() ? kTypeInteger : kTypeText; }

bool ConfigurationVariable::Boolean() {
    const String& text = Value();
    return TextIsTrue(text.Text(), text.Length());
}

bool ConfigurationVariable::IsEmpty() { return Value().Length() == 0; }

// --- LazyAggregateVariable ----------------------------------------------------

LazyAggregateVariable::LazyAggregateVariable(int32_t kind) { ReplaceTree(kind); }

void LazyAggregateVariable::EnsureFilled() {
    if (filled_) return;
    // Set first: the elements' own reads must not start a second fill.
    filled_ = true;
    Fill();
}

void LazyAggregateVariable::AddElement(const AggregateIndex& key, Variable* value) {
    Variable::SetElement(key, value);
}

const String& LazyAggregateVariable::Value() {
    EnsureFilled();
    return Variable::Value();
}

AggregateElementTree* LazyAggregateVariable::Tree() {
    EnsureFilled();
    return Variable::Tree();
}

Variable* LazyAggregateVariable::ElementByPath(List<AggregateIndex>* keys, bool create) {
    EnsureFilled();
    return ImmutableVariable::ElementByPath(keys, create);
}

Variable* LazyAggregateVariable::Element(const AggregateIndex& key, bool create) {
    EnsureFilled();
    return ImmutableVariable::Element(key, create);
}

int32_t LazyAggregateVariable::ArrayMax() {
    EnsureFilled();
    return Variable::ArrayMax();
}

int32_t LazyAggregateVariable::ArrayMin() {
    EnsureFilled();
    return Variable::ArrayMin();
}

int32_t LazyAggregateVariable::ArrayNext(int32_t index) {
    EnsureFilled();
    return Variable::ArrayNext(index);
}

int32_t LazyAggregateVariable::ArrayPrevious(int32_t index) {
    EnsureFilled();
    return Variable::ArrayPrevious(index);
}

int32_t LazyAggregateVariable::ElementsUsed() {
    EnsureFilled();
    return Variable::ElementsUsed();
}

void LazyAggregateVariable::AppendText(String& out) {
    EnsureFilled();
    Variable::AppendText(out);
}

void LazyAggregateVariable::SetAggregateKind(int32_t) {}

// --- ConfigurationAggregateVariable -------------------------------------------

ConfigurationAggregateVariable::ConfigurationAggregateVariable(VornApplication* application,
                                                               ConfiguredLibrarySource* libraries)
    : LazyAggregateVariable(kAggregateStructure), application_(application), libraries_(libraries) {
    name_.Assign("vorn_config");
}

void ConfigurationAggregateVariable::Fill() {
    for (const ConfigItemInfo& item : kConfigItems) {
        Variable* v = new ConfigurationVariable(application_, item.id);
        AddElement(AggregateIndex::FromName(item.memberName, -1), v);
        v->Release();
    }
    struct Row {
        const char* name;
        int32_t family;
        bool list;
    };
    static const Row rows[] = {
        {"commerce_list", kLibraryFamilyCommerce, true},
        {"database_list", kLibraryFamilyDatabase, true},
        {"systemlib_list", kLibraryFamilySystem, true},
        {"commerce_lookup", kLibraryFamilyCommerce, false},
        {"database_lookup", kLibraryFamilyDatabase, false},
        {"systemlib_lookup", kLibraryFamilySystem, false},
    };
    for (const Row& row : rows) {
        Variable* v = row.list ? static_cast<Variable*>(new ConfigurationLibraryListVariable(libraries_, row.family))
                               : new ConfigurationLibraryLookupVariable(libraries_, row.family);
        v->SetName(String(row.name));
        AddElement(AggregateIndex::FromName(row.name, -1), v);
        v->Release();
    }
}

// --- Library lists and lookups ------------------------------------------------

ConfigurationLibraryListVariable::ConfigurationLibraryListVariable(ConfiguredLibrarySource* libraries,
                                                                   int32_t family)
    : LazyAggregateVariable(kAggregateArray), libraries_(libraries), family_(family) {}

void ConfigurationLibraryListVariable::Fill() {
    ConfiguredLibraries* manager = libraries_ ? libraries_->ConfiguredLibrariesOf(family_) : nullptr;
    if (!manager) return;
    int32_t count = manager->ConfiguredLibraryCount();
    for (int32_t i = 0; i < count; ++i) {
        int32_t length = -1;
        const char* name = manager->ConfiguredLibraryName(i, &length);
        if (!name) break;
        Variable* v = new ImmutableVariable("", 0, name, length < 0 ? -1 : length);
        AddElement(AggregateIndex::FromIndex(i + 1), v);
        v->Release();
    }
}

ConfigurationLibraryLookupVariable::ConfigurationLibraryLookupVariable(ConfiguredLibrarySource* libraries,
                                                                       int32_t family)
    : libraries_(libraries), family_(family) {
    ReplaceTree(kAggregateStructure);
}

Variable* ConfigurationLibraryLookupVariable::Element(const AggregateIndex& key, bool create) {
    if (!key.IsMember() || !tree_) return ImmutableVariable::Element(key, create);
    if (AggregateElement* e = tree_->Find(key)) return e->Value();
    ConfiguredLibraries* manager = libraries_ ? libraries_->ConfiguredLibrariesOf(family_) : nullptr;
    const String& name = key.Name();
    int32_t configured = manager && manager->IsLibraryConfigured(name.Text(), name.Length()) ? 1 : 0;
    Variable* v = new ImmutableVariable(name.Text(), name.Length(), configured);
    Variable::SetElement(key, v);
    // The tree holds it now.
    v->Release();
    return v;
}

void ConfigurationLibraryLookupVariable::SetAggregateKind(int32_t) {}

// --- Registration ---------------------------------------------------------------

void AddDynamicTimeVariables(VariableHash& table) {
    for (int32_t field = 0; field < kTimeFieldCount; ++field) table.ReplaceVariable(new DynamicTimeVariable(field));
}

void AddApplicationSystemVariables(VariableHash& table, VornApplication* application,
                                   ConfiguredLibrarySource* libraries) {
    table.ReplaceVariable(new TimeRemainingVariable(application));
    table.ReplaceVariable(new LanguageVariable(application));
    table.ReplaceVariable(new DefaultLanguageVariable(application));
    table.ReplaceVariable(new DefaultDatabaseVariable(application));
    table.ReplaceVariable(new SSLAvailableVariable(application));
    table.ReplaceVariable(new ConfigurationAggregateVariable(application, libraries));
}

void AddComputedSystemVariables(VariableHash& table, VornApplication* application,
                                ConfiguredLibrarySource* libraries) {
    AddDynamicTimeVariables(table);
    AddApplicationSystemVariables(table, application, libraries);
}

} // namespace vorn
