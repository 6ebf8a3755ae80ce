// The field variables of an xBase view: one per field of the table, named
// after the field, and the read-only pseudo-fields "totrec", "recno",
// "deleted" and "eof".
//
// A field variable reads its field's text lazily and keeps it in the usual
// Variable caches until the view moves (Invalidate). An assignment only
// caches the new value and marks the variable dirty; the view's add and
// update write dirty values into the fields (StoreToField). Each class keeps
// the field's format: a number its decimals, a date eight digits, a logical
// field T or F.
//
// A script may keep a field variable after its view is gone: Unbind cuts it
// from the table, and from then on it reads as null and ignores assignments.
#pragma once

#include <cstdint>

#include "engine/foundation/String.h"
#include "engine/values/DatabaseVariableHash.h"
#include "engine/values/Variable.h"

namespace vorn {

class XBaseField;
class XBaseTable;

// A text of an optional '-', digits and at most one '.'; length -1 means up
// to the NUL. The empty text and "-" pass.
bool IsNumberText(const char* text, int32_t length, int32_t* integerDigits, int32_t* decimalDigits);
// Eight digits YYYYMMDD with the month 00-12 and the day 00-31.
bool IsDateText(const char* text, int32_t length);

class XBaseVariable : public Variable, public UnbindableVariable {
public:
    XBaseVariable(const char* name, int32_t nameLength, XBaseField* field);
    ~XBaseVariable() override;

    int32_t StorageKind() const override;
    // Reads the field when no form is cached yet.
    bool IsEmpty() override;

    // Forgets the cached forms after the record moved (dirty stays).
    virtual void Invalidate();
    // Writes a dirty value into the field; 0 when the field refuses it (the
    // table's error text says why) and the value stays dirty.
    virtual int StoreToField();
    // Keeps the cached forms aside and clears them and dirty.
    virtual void SaveState();
    virtual void RestoreState();
    void Unbind() override;

    bool Dirty() const { return dirty; }
    bool Unbound() const { return unbound; }
    XBaseField* Field() const { return field; }

protected:
    // The field's current text and its length (an empty text when the field
    // cannot give one).
    const char* FieldText(int32_t* length);
    // Caches the field's text as the text form.
    void CacheFieldText();
    // Text of the cached double or integer into the text form; false when
    // neither is cached.
    bool FormatCachedNumber();
    // A text read as an integer the way a plain variable reads it: decimals
    // truncated, anything else 0.
    static int32_t TextToInteger(const char* text, int32_t length);
    static double TextToDouble(const char* text, int32_t length, int32_t* invalid);
    // The text form as a double, the double cached only when the text is a
    // number.
    double TextDoubleChecked(int32_t* error);
    // Ends an assignment: the value counts for the next store.
    int Assigned() {
        dirty = true;
        return 1;
    }

    bool dirty = false;
    bool unbound = false;
    XBaseField* field;

private:
    String savedText;
    int32_t savedInteger = 0;
    double savedDouble = 0.0;
    uint32_t savedValid = 0;
    int32_t savedType = kTypeNone;
};

// A character or memo field (and a date field as a view first binds it).
class XBaseStringVariable : public XBaseVariable {
public:
    // maximumLength -1: no maximum (a memo field).
    XBaseStringVariable(const char* name, int32_t nameLength, XBaseField* field, int32_t maximumLength);

    double ValueDoubleChecked(int32_t* error) override;
    int SetValueVariable(Variable* source) override;
    int SetValue(const char* text, int32_t length) override;
    int SetValueNocopy(char* buffer, int32_t length, int32_t capacity) override;
    int SetValueInteger(int32_t value) override;
    int SetValueDouble(double value) override;
    void BuildText() override;
    int32_t ComputeInteger() override;
    void ComputeDouble() override;
    int StoreToField() override;

private:
    // Cuts the text form to the maximum and drops trailing white space.
    void Trim();

    int32_t maximumLength;
};

class XBaseNumberVariable : public XBaseVariable {
public:
    XBaseNumberVariable(const char* name, int32_t nameLength, XBaseField* field);

    double ValueDoubleChecked(int32_t* error) override;
    int SetValueVariable(Variable* source) override;
    int SetValue(const char* text, int32_t length) override;
    int SetValueNocopy(char* buffer, int32_t length, int32_t capacity) override;
    int SetValueInteger(int32_t value) override;
    int SetValueDouble(double value) override;
    void BuildText() override;
    int32_t ComputeInteger() override;
    void ComputeDouble() override;
    int StoreToField() override;

    // Gives the text form the field's number of decimals: missing ones are
    // added as zeros, surplus ones cut off (no rounding). Counts of -1 are
    // counted in the text.
    void NormaliseDecimals(int32_t integerDigits, int32_t decimalDigits);
    // x with the digits past the field's decimals cut off.
    double TruncateToDecimals(double x) const;

private:
    int32_t Decimals() const;
};

class XBaseDateVariable : public XBaseVariable {
public:
    XBaseDateVariable(const char* name, int32_t nameLength, XBaseField* field);

    double ValueDoubleChecked(int32_t* error) override;
    int SetValueVariable(Variable* source) override;
    int SetValue(const char* text, int32_t length) override;
    int SetValueNocopy(char* buffer, int32_t length, int32_t capacity) override;
    int SetValueInteger(int32_t value) override;
    int SetValueDouble(double value) override;
    void BuildText() override;
    int32_t ComputeInteger() override;
    void ComputeDouble() override;
    int StoreToField() override;

private:
    int32_t maximumLength;
};

class XBaseBooleanVariable : public XBaseVariable {
public:
    XBaseBooleanVariable(const char* name, int32_t nameLength, XBaseField* field);

    double ValueDoubleChecked(int32_t* error) override;
    int SetValueVariable(Variable* source) override;
    int SetValue(const char* text, int32_t length) override;
    int SetValueNocopy(char* buffer, int32_t length, int32_t capacity) override;
    int SetValueInteger(int32_t value) override;
    int SetValueDouble(double value) override;
    void BuildText() override;
    int32_t ComputeInteger() override;
    void ComputeDouble() override;
    int StoreToField() override;

private:
    // Whether the field's stored character means true (T, Y, t or y).
    bool FieldIsTrue();
};

// The base of the read-only pseudo-fields: integers that every setter
// refuses.
class XBasePseudoVariable : public XBaseVariable {
public:
    XBasePseudoVariable(const char* name, XBaseTable* table);

    int32_t PreferredType() override;
    double ValueDoubleChecked(int32_t* error) override;
    int SetValueVariable(Variable* source) override;
    int SetValue(const char* text, int32_t length) override;
    // Frees the buffer it is given.
    int SetValueNocopy(char* buffer, int32_t length, int32_t capacity) override;
    int SetValueInteger(int32_t value) override;
    int SetValueDouble(double value) override;
    void BuildText() override;
    int32_t ComputeInteger() override;
    void ComputeDouble() override;
    void Invalidate() override;
    int StoreToField() override;
    void Unbind() override;

protected:
    // The value the pseudo-field reads.
    virtual int32_t Read() = 0;

    XBaseTable* table;
};

// "totrec": the table's record count.
class XBaseTotalRecordsVariable : public XBasePseudoVariable {
public:
    explicit XBaseTotalRecordsVariable(XBaseTable* table) : XBasePseudoVariable("totrec", table) {}

protected:
    int32_t Read() override;
};

// "recno": the current record number.
class XBaseRecordNumberVariable : public XBasePseudoVariable {
public:
    explicit XBaseRecordNumberVariable(XBaseTable* table) : XBasePseudoVariable("recno", table) {}

protected:
    int32_t Read() override;
};

// "deleted": 1 when the current record is marked deleted, else 0.
class XBaseDeletedVariable : public XBasePseudoVariable {
public:
    explicit XBaseDeletedVariable(XBaseTable* table) : XBasePseudoVariable("deleted", table) {}

protected:
    int32_t Read() override;
};

// "eof": the view's end mark, an integer the view sets.
class XBaseEOFVariable : public XBasePseudoVariable {
public:
    XBaseEOFVariable();

    void Invalidate() override;
    virtual int SetEOF(int flag);

protected:
    int32_t Read() override { return eof; }

private:
    int32_t eof = 0;
};

} // namespace vorn
