// System variables that compute their value from the running application on
// every read: the clock, the seconds left to the request's deadline, whether
// TLS is available, the language and default-database settings, and a
// read-only structure of the whole configuration with the configured plug-in
// libraries.
//
// All of them are read-only (writes succeed without effect) except the
// language and default-database variables, whose writes go to the
// application.
#pragma once

#include <cstdint>

#include "engine/app/ConfiguredLibraries.h"
#include "engine/values/Variable.h"

namespace vorn {

class VornApplication;
class VariableHash;

// Fields of DynamicTimeVariable.
inline constexpr int32_t kTimeFieldSeconds = 0;
inline constexpr int32_t kTimeFieldMicroseconds = 1;
inline constexpr int32_t kTimeFieldSecond = 2;
inline constexpr int32_t kTimeFieldMinute = 3;
inline constexpr int32_t kTimeFieldHour = 4;
inline constexpr int32_t kTimeFieldDay = 5;
inline constexpr int32_t kTimeFieldMonth = 6;
inline constexpr int32_t kTimeFieldMonthName = 7;
inline constexpr int32_t kTimeFieldYear = 8;
inline constexpr int32_t kTimeFieldWeekday = 9;
inline constexpr int32_t kTimeFieldWeekdayName = 10;
inline constexpr int32_t kTimeFieldYearDay = 11;
inline constexpr int32_t kTimeFieldDaylightSaving = 12;
inline constexpr int32_t kTimeFieldZone = 13;
inline constexpr int32_t kTimeFieldCount = 14;

// The script name of a time field ("dyn_time_t" ...), or null out of range.
const char* DynamicTimeVariableName(int32_t field);

// One field of the local time, read afresh from the clock on every access.
// Integer fields copy as integers, the three name fields as text. The seconds
// since 1970 are 64-bit: once they no longer fit a 32-bit integer they copy
// as text and read as the nearest 32-bit integer, while the double forms stay
// exact.
class DynamicTimeVariable : public ImmutableVariable {
public:
    // A field outside 0-13 gives an unnamed variable that reads as empty.
    explicit DynamicTimeVariable(int32_t field);

    const String& Value() override;
    int32_t ValueInteger() override;
    double ValueDouble() override;
    double ValueDoubleChecked(int32_t* error) override;
    int32_t StorageKind() const override;
    int32_t Type() override;
    bool Boolean() override;
    bool IsEmpty() override;
    void BuildText() override;

    int32_t Field() const { return field_; }

private:
    bool IsNameField() const;

    int32_t field_;
};

// "dyn_time_remaining": the application's seconds to its deadline (-1 when it
// has none), asked on every read.
class TimeRemainingVariable : public ImmutableVariable {
public:
    explicit TimeRemainingVariable(VornApplication* application);

    const String& Value() override;
    int32_t ValueInteger() override;
    double ValueDouble() override;
    double ValueDoubleChecked(int32_t* error) override;
    int32_t StorageKind() const override;
    int32_t Type() override;
    bool Boolean() override;
    bool IsEmpty() override;
    void BuildText() override;

private:
    VornApplication* application_;
};

// "vorn_sslavailable": 1 when TLS can be used, else 0. Each form (text,
// integer, double) is asked of the application once and then kept.
class SSLAvailableVariable : public ImmutableVariable {
public:
    explicit SSLAvailableVariable(VornApplication* application);

    const String& Value() override;
    int32_t ValueInteger() override;
    double ValueDouble() override;
    double ValueDoubleChecked(int32_t* error) override;
    bool IsEmpty() override;
    void BuildText() override;

private:
    int32_t Ask();

    VornApplication* application_;
};

// A text setting of the application that scripts may read and set. A read
// picks up the application's text whenever its change counter has moved; a
// write goes to the application first (which may normalise it).
class ApplicationSettingVariable : public ImmutableVariable {
public:
    const String& Value() override;
    int32_t ValueInteger() override;
    double ValueDouble() override;
    double ValueDoubleChecked(int32_t* error) override;
    // Copied through a fresh read of the text, never through a stale cache.
    int32_t StorageKind() const override;
    int32_t Type() override;
    bool Boolean() override;
    bool IsEmpty() override;
    void BuildText() override;
    int SetValueVariable(Variable* source) override;
    int SetValue(const char* text, int32_t length) override;
    int SetValueNocopy(char* buffer, int32_t length, int32_t capacity) override;
    int SetValueInteger(int32_t value) override;
    int SetValueDouble(double value) override;

protected:
    ApplicationSettingVariable(VornApplication* application, const char* name);

    virtual const String& Current() = 0;
    virtual int32_t Version() = 0;
    virtual void Store(const char* text, int32_t length) = 0;

    VornApplication* application_;

private:
    void Refresh();

    int32_t seen_ = 0; // the application's counter at the last read
};

// "vorn_language".
class LanguageVariable : public ApplicationSettingVariable {
public:
    explicit LanguageVariable(VornApplication* application);

protected:
    const String& Current() override;
    int32_t Version() override;
    void Store(const char* text, int32_t length) override;
};

// "vorn_defaultlanguage".
class DefaultLanguageVariable : public ApplicationSettingVariable {
public:
    explicit DefaultLanguageVariable(VornApplication* application);

protected:
    const String& Current() override;
    int32_t Version() override;
    void Store(const char* text, int32_t length) override;
};

// "vorn_defaultdatabase".
class DefaultDatabaseVariable : public ApplicationSettingVariable {
public:
    explicit DefaultDatabaseVariable(VornApplication* application);

protected:
    const String& Current() override;
    int32_t Version() override;
    void Store(const char* text, int32_t length) override;
};

// One configuration item, read from the application's configuration on
// every access: an integer item (ids 0x01xxxxxx) copies as an integer, any
// other as text. Its name is the item's member name in "vorn_config".
class ConfigurationVariable : public ImmutableVariable {
public:
    ConfigurationVariable(VornApplication* application, uint32_t id);

    const String& Value() override;
    int32_t ValueInteger() override;
    double ValueDouble() override;
    double ValueDoubleChecked(int32_t* error) override;
    int32_t StorageKind() const override;
    int32_t Type() override;
    bool Boolean() override;
    bool IsEmpty() override;
    void BuildText() override;

    uint32_t Id() const { return id_; }

private:
    bool IsInteger() const;
    int32_t Integer();

    VornApplication* application_;
    uint32_t id_;
};

// A read-only aggregate whose elements are made on first use.
class LazyAggregateVariable : public ImmutableVariable {
public:
    const String& Value() override;
    AggregateElementTree* Tree() override;
    Variable* ElementByPath(List<AggregateIndex>* keys, bool create) override;
    Variable* Element(const AggregateIndex& key, bool create) override;
    int32_t ArrayMax() override;
    int32_t ArrayMin() override;
    int32_t ArrayNext(int32_t index) override;
    int32_t ArrayPrevious(int32_t index) override;
    int32_t ElementsUsed() override;
    void AppendText(String& out) override;
    // The kind is fixed.
    void SetAggregateKind(int32_t kind) override;

    bool Filled() const { return filled_; }

protected:
    // An empty aggregate of that kind.
    explicit LazyAggregateVariable(int32_t kind);

    // Adds the elements (once).
    virtual void Fill() = 0;
    // Stores value under key; the caller keeps its own reference.
    void AddElement(const AggregateIndex& key, Variable* value);

private:
    void EnsureFilled();

    bool filled_ = false;
};

// "vorn_config": every configuration item under its member name, then the
// library lists and lookups of the three families.
class ConfigurationAggregateVariable : public LazyAggregateVariable {
public:
    // libraries may be null: the lists are then empty and lookups give 0.
    ConfigurationAggregateVariable(VornApplication* application, ConfiguredLibrarySource* libraries);

protected:
    void Fill() override;

private:
    VornApplication* application_;
    ConfiguredLibrarySource* libraries_;
};

// The names of a family's configured libraries as an array 1, 2, 3 ... in
// registration order, taken from the manager on first use.
class ConfigurationLibraryListVariable : public LazyAggregateVariable {
public:
    ConfigurationLibraryListVariable(ConfiguredLibrarySource* libraries, int32_t family);

    int32_t Family() const { return family_; }

protected:
    void Fill() override;

private:
    ConfiguredLibrarySource* libraries_;
    int32_t family_;
};

// A structure that answers any member name with 1 when a library of that
// name is configured in its family, else 0; each answer is kept.
class ConfigurationLibraryLookupVariable : public ImmutableVariable {
public:
    ConfigurationLibraryLookupVariable(ConfiguredLibrarySource* libraries, int32_t family);

    Variable* Element(const AggregateIndex& key, bool create) override;
    // The kind is fixed.
    void SetAggregateKind(int32_t kind) override;

    int32_t Family() const { return family_; }

private:
    ConfiguredLibrarySource* libraries_;
    int32_t family_;
};

// Puts the 14 time variables into a system variable table, in field order,
// each replacing any variable of its name.
void AddDynamicTimeVariables(VariableHash& table);
// Puts "dyn_time_remaining", "vorn_language", "vorn_defaultlanguage",
// "vorn_defaultdatabase", "vorn_sslavailable" and "vorn_config" (in that
// order) into the table.
void AddApplicationSystemVariables(VariableHash& table, VornApplication* application,
                                   ConfiguredLibrarySource* libraries);
// Both of the above.
void AddComputedSystemVariables(VariableHash& table, VornApplication* application,
                                ConfiguredLibrarySource* libraries);

} // namespace vorn
