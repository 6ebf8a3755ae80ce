#include "database/xbase3/XBaseVariable.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "database/format/XBaseTable.h"
#include "engine/foundation/Number.h"

namespace vorn {

namespace {

inline bool IsDigit(char c) { return c >= '0' && c <= '9'; }
inline bool IsWhite(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The length of a text without trailing white space.
int32_t TrimmedLength(const char* text, int32_t length) {
    while (length > 0 && IsWhite(text[length - 1])) --length;
    return length;
}

} // namespace

bool IsNumberText(const char* text, int32_t length, int32_t* integerDigits, int32_t* decimalDigits) {
    if (length < 0) length = static_cast<int32_t>(std::strlen(text));
    int32_t i = length > 0 && text[0] == '-' ? 1 : 0;
    int32_t whole = 0;
    int32_t fraction = 0;
    bool point = false;
    for (; i < length; ++i) {
        if (IsDigit(text[i])) {
            ++(point ? fraction : whole);
        } else if (text[i] == '.' && !point) {
            point = true;
        } else {
            return false;
        }
    }
    if (integerDigits) *integerDigits = whole;
    if (decimalDigits) *decimalDigits = fraction;
    return true;
}

bool IsDateText(const char* text, int32_t length) {
    if (length < 0) length = static_cast<int32_t>(std::strlen(text));
    if (length != 8) return false;
    for (int32_t i = 0; i < 8; ++i)
        if (!IsDigit(text[i])) return false;
    int32_t month = (text[4] - '0') * 10 + (text[5] - '0');
    int32_t day = (text[6] - '0') * 10 + (text[7] - '0');
    return month <= 12 && day <= 31;
}

// --- XBaseVariable ------------------------------------------------------------------------

XBaseVariable::XBaseVariable(const char* name, int32_t nameLength, XBaseField* field)
    : Variable(name, nameLength), field(field) {}

XBaseVariable::~XBaseVariable() = default;

int32_t XBaseVariable::StorageKind() const { return unbound ? kStorageNull : kStorageDatabaseField; }

bool XBaseVariable::IsEmpty() {
    if (!tree_ && !(valid_ & kValidAll)) return Value().Length() == 0;
    return Variable::IsEmpty();
}

void XBaseVariable::Invalidate() {
    if (unbound) return;
    valid_ = 0;
    type_ = kTypeNone;
}

int XBaseVariable::StoreToField() {
    dirty = false;
    return 1;
}

void XBaseVariable::SaveState() {
    savedValid = valid_;
    savedType = type_;
    savedText = text_;
    savedInteger = integer_;
    savedDouble = double_;
    dirty = false;
    valid_ = 0;
    type_ = kTypeNone;
}

void XBaseVariable::RestoreState() {
    valid_ = savedValid;
    type_ = savedType;
    text_ = savedText;
    integer_ = savedInteger;
    double_ = savedDouble;
}

// From now on the variable reads as the null value: every form cached and
// empty, nothing that could reach the table again.
void XBaseVariable::Unbind() {
    field = nullptr;
    unbound = true;
    dirty = false;
    text_.Assign("", 0);
    integer_ = 0;
    double_ = 0.0;
    valid_ = kValidAll;
    type_ = kTypeNone;
}

const char* XBaseVariable::FieldText(int32_t* length) {
    const char* text = field ? field->Value() : nullptr;
    if (!text) {
        *length = 0;
        return "";
    }
    *length = field->ValueLength();
    return text;
}

void XBaseVariable::CacheFieldText() {
    int32_t length = 0;
    const char* text = FieldText(&length);
    text_.Assign(text, length);
    valid_ |= kValidText;
}

bool XBaseVariable::FormatCachedNumber() {
    int32_t length = 0;
    int32_t size = 0;
    char* buffer;
    if (valid_ & kValidDouble)
        buffer = FormatDouble(double_, &length, &size, -1);
    else if (valid_ & kValidInteger)
        buffer = FormatInteger(integer_, &length, &size);
    else
        return false;
    text_.Adopt(buffer, length, size);
    valid_ |= kValidText;
    return true;
}

int32_t XBaseVariable::TextToInteger(const char* text, int32_t length) {
    int32_t invalid = 0;
    int32_t value = ParseInteger(text, length, &invalid);
    if (!invalid) return value;
    double number = ParseDouble(text, length, length + 1, &invalid);
    return invalid ? 0 : TruncateDouble(number);
}

double XBaseVariable::TextToDouble(const char* text, int32_t length, int32_t* invalid) {
    return ParseDouble(text, length, length + 1, invalid);
}

double XBaseVariable::TextDoubleChecked(int32_t* error) {
    int32_t ignored = 0;
    if (!error) error = &ignored;
    *error = 0;
    if (unbound) return 0.0;
    if (tree_) return Variable::ValueDoubleChecked(error);
    const String& text = Value();
    int32_t invalid = 0;
    double value = TextToDouble(text.Text(), text.Length(), &invalid);
    if (invalid) {
        *error = 1;
    } else {
        double_ = value;
        valid_ |= kValidDouble;
    }
    return value;
}

// --- XBaseStringVariable --------------------------------------------------------------------

XBaseStringVariable::XBaseStringVariable(const char* name, int32_t nameLength, XBaseField* field,
                                         int32_t maximumLength)
    : XBaseVariable(name, nameLength, field), maximumLength(maximumLength) {}

double XBaseStringVariable::ValueDoubleChecked(int32_t* error) { return TextDoubleChecked(error); }

void XBaseStringVariable::BuildText() {
    if (tree_) return Variable::BuildText();
    if (!FormatCachedNumber()) CacheFieldText();
    type_ = kTypeText;
}

int32_t XBaseStringVariable::ComputeInteger() {
    if (tree_) return Variable::ComputeInteger();
    if (valid_ & kValidText) {
        integer_ = TextToInteger(text_.Text(), text_.Length());
    } else if (valid_ & kValidDouble) {
        integer_ = TruncateDouble(double_);
    } else {
        CacheFieldText();
        type_ = kTypeText;
        integer_ = TextToInteger(text_.Text(), text_.Length());
    }
    valid_ |= kValidInteger;
    return integer_;
}

void XBaseStringVariable::ComputeDouble() {
    if (tree_) return Variable::ComputeDouble();
    if (valid_ & kValidText) {
        double_ = TextToDouble(text_.Text(), text_.Length(), nullptr);
    } else if (valid_ & kValidInteger) {
        double_ = integer_;
    } else {
        CacheFieldText();
        type_ = kTypeText;
        double_ = TextToDouble(text_.Text(), text_.Length(), nullptr);
    }
    valid_ |= kValidDouble;
}

void XBaseStringVariable::Trim() {
    int32_t length = text_.Length();
    if (maximumLength >= 0 && length > maximumLength) length = maximumLength;
    length = TrimmedLength(text_.Text(), length);
    text_.Shorten(text_.Length() - length);
}

int XBaseStringVariable::SetValue(const char* text, int32_t length) {
    if (unbound) return 1;
    if (!text) length = 0;
    if (length < 0) length = static_cast<int32_t>(std::strlen(text));
    if (maximumLength >= 0) {
        if (length > maximumLength) length = maximumLength;
        length = TrimmedLength(text, length);
    }
    Variable::SetValue(text, length);
    return Assigned();
}

int XBaseStringVariable::SetValueNocopy(char* buffer, int32_t length, int32_t capacity) {
    if (unbound) {
        std::free(buffer);
        return 1;
    }
    Variable::SetValueNocopy(buffer, length, capacity);
    if (maximumLength >= 0) Trim();
    return Assigned();
}

int XBaseStringVariable::SetValueVariable(Variable* source) {
    if (unbound || !source) return 1;
    if (source->RealIdentity() == this) return Assigned();
    const String& text = source->Value();
    return SetValue(text.Text(), text.Length());
}

int XBaseStringVariable::SetValueInteger(int32_t value) {
    if (unbound) return 1;
    if (maximumLength < 0) {
        Variable::SetValueInteger(value);
        return Assigned();
    }
    int32_t length = 0;
    int32_t size = 0;
    char* buffer = FormatInteger(value, &length, &size);
    return SetValueNocopy(buffer, length, size);
}

int XBaseStringVariable::SetValueDouble(double value) {
    if (unbound) return 1;
    if (maximumLength < 0) {
        Variable::SetValueDouble(value);
        return Assigned();
    }
    int32_t length = 0;
    int32_t size = 0;
    char* buffer = FormatDouble(value, &length, &size, -1);
    return SetValueNocopy(buffer, length, size);
}

int XBaseStringVariable::StoreToField() {
    if (unbound || !dirty) return 1;
    if (!(valid_ & kValidText) && !FormatCachedNumber()) {
        // Nothing cached: the field keeps what it holds.
        dirty = false;
        return 1;
    }
    if (!field->SetValue(text_.Text(), text_.Length())) return 0;
    dirty = false;
    return 1;
}

// --- XBaseNumberVariable --------------------------------------------------------------------

XBaseNumberVariable::XBaseNumberVariable(const char* name, int32_t nameLength, XBaseField* field)
    : XBaseVariable(name, nameLength, field) {}

int32_t XBaseNumberVariable::Decimals() const { return field ? field->Decimals() : 0; }

double XBaseNumberVariable::ValueDoubleChecked(int32_t* error) {
    if (error) *error = 0;
    if (unbound) return 0.0;
    if (tree_) return Variable::ValueDoubleChecked(error);
    if (!(valid_ & kValidDouble)) ComputeDouble();
    return double_;
}

void XBaseNumberVariable::BuildText() {
    if (tree_) return Variable::BuildText();
    if (FormatCachedNumber())
        NormaliseDecimals(-1, -1);
    else
        CacheFieldText();
}

int32_t XBaseNumberVariable::ComputeInteger() {
    if (tree_) return Variable::ComputeInteger();
    if (valid_ & kValidDouble) {
        integer_ = TruncateDouble(double_);
    } else {
        // The field's text stays cached with the number read from it, or a
        // later text read would format the truncated integer (12.50 as 12.00).
        if (!(valid_ & kValidText)) CacheFieldText();
        integer_ = TextToInteger(text_.Text(), text_.Length());
    }
    valid_ |= kValidInteger;
    return integer_;
}

void XBaseNumberVariable::ComputeDouble() {
    if (tree_) return Variable::ComputeDouble();
    if (valid_ & kValidText) {
        double_ = TextToDouble(text_.Text(), text_.Length(), nullptr);
    } else if (valid_ & kValidInteger) {
        double_ = integer_;
    } else {
        CacheFieldText();
        double_ = TextToDouble(text_.Text(), text_.Length(), nullptr);
    }
    valid_ |= kValidDouble;
}

void XBaseNumberVariable::NormaliseDecimals(int32_t integerDigits, int32_t decimalDigits) {
    int32_t decimals = Decimals();
    const char* text = text_.Text();
    int32_t length = text_.Length();
    const char* point = static_cast<const char*>(std::memchr(text, '.', static_cast<size_t>(length)));
    if (integerDigits == -1 || decimalDigits == -1) {
        decimalDigits = 0;
        if (point)
            for (const char* p = point + 1; p < text + length && IsDigit(*p); ++p) ++decimalDigits;
    }
    if (length == 0) {
        text_.Assign("0", 1);
        return;
    }
    bool endsInPoint = text[length - 1] == '.';
    if (decimals > 0) {
        if (decimalDigits < decimals) {
            if (decimalDigits == 0 && !endsInPoint) text_.AppendChar('.');
            for (int32_t i = decimalDigits; i < decimals; ++i) text_.AppendChar('0');
        } else if (decimalDigits > decimals) {
            text_.Shorten(decimalDigits - decimals);
        }
    } else if (point) {
        text_.Shorten(static_cast<int32_t>(text + length - point));
    }
}

double XBaseNumberVariable::TruncateToDecimals(double x) const {
    int32_t decimals = Decimals();
    if (decimals == 0) return std::trunc(x);
    double whole = 0.0;
    double fraction = std::modf(x, &whole);
    double scale = std::pow(10.0, decimals);
    return whole + std::trunc(fraction * scale) / scale;
}

int XBaseNumberVariable::SetValue(const char* text, int32_t length) {
    if (unbound) return 1;
    if (!text) length = 0, text = "";
    int32_t whole = 0;
    int32_t fraction = 0;
    if (!IsNumberText(text, length, &whole, &fraction)) return 0;
    Variable::SetValue(text, length);
    NormaliseDecimals(whole, fraction);
    return Assigned();
}

int XBaseNumberVariable::SetValueNocopy(char* buffer, int32_t length, int32_t capacity) {
    if (unbound) {
        std::free(buffer);
        return 1;
    }
    int32_t whole = 0;
    int32_t fraction = 0;
    if (!buffer || !IsNumberText(buffer, length, &whole, &fraction)) {
        std::free(buffer);
        return 0;
    }
    Variable::SetValueNocopy(buffer, length, capacity);
    NormaliseDecimals(whole, fraction);
    return Assigned();
}

int XBaseNumberVariable::SetValueVariable(Variable* source) {
    if (unbound || !source) return 1;
    const String& text = source->Value();
    const char* point = std::strchr(text.Text(), '.');
    int32_t before = point ? static_cast<int32_t>(point - text.Text()) : text.Length();
    int32_t width = field->Length();
    int32_t decimals = field->Decimals();
    if (before > (decimals > 0 ? width - decimals - 1 : width)) return 0;
    Variable::SetValueDouble(source->ValueDouble());
    return Assigned();
}

int XBaseNumberVariable::SetValueInteger(int32_t value) {
    if (unbound) return 1;
    Variable::SetValueInteger(value);
    return Assigned();
}

int XBaseNumberVariable::SetValueDouble(double value) {
    if (unbound) return 1;
    Variable::SetValueDouble(TruncateToDecimals(value));
    return Assigned();
}

int XBaseNumberVariable::StoreToField() {
    if (unbound || !dirty) return 1;
    // A cached number is written with the field's decimals.
    if (!(valid_ & kValidText)) BuildText();
    if (!field->SetValue(text_.Text(), text_.Length())) return 0;
    dirty = false;
    return 1;
}

// --- XBaseDateVariable ----------------------------------------------------------------------

XBaseDateVariable::XBaseDateVariable(const char* name, int32_t nameLength, XBaseField* field)
    : XBaseVariable(name, nameLength, field), maximumLength(field ? field->Length() : 8) {}

double XBaseDateVariable::ValueDoubleChecked(int32_t* error) { return TextDoubleChecked(error); }

void XBaseDateVariable::BuildText() {
    if (tree_) return Variable::BuildText();
    if (!FormatCachedNumber()) CacheFieldText();
}

int32_t XBaseDateVariable::ComputeInteger() {
    if (tree_) return Variable::ComputeInteger();
    if (valid_ & kValidText) {
        integer_ = TextToInteger(text_.Text(), text_.Length());
    } else if (valid_ & kValidDouble) {
        integer_ = TruncateDouble(double_);
    } else {
        int32_t length = 0;
        const char* text = FieldText(&length);
        integer_ = TextToInteger(text, length);
    }
    valid_ |= kValidInteger;
    return integer_;
}

void XBaseDateVariable::ComputeDouble() {
    if (tree_) return Variable::ComputeDouble();
    if (valid_ & kValidText) {
        double_ = TextToDouble(text_.Text(), text_.Length(), nullptr);
    } else if (valid_ & kValidInteger) {
        double_ = integer_;
    } else {
        int32_t length = 0;
        const char* text = FieldText(&length);
        double_ = TextToDouble(text, length, nullptr);
    }
    valid_ |= kValidDouble;
}

int XBaseDateVariable::SetValue(const char* text, int32_t length) {
    if (unbound) return 1;
    if (!text || !IsDateText(text, length)) return 0;
    if (length < 0) length = static_cast<int32_t>(std::strlen(text));
    int32_t type = type_;
    Variable::SetValue(text, length < maximumLength ? length : maximumLength);
    type_ = type;
    return Assigned();
}

int XBaseDateVariable::SetValueNocopy(char* buffer, int32_t length, int32_t capacity) {
    if (unbound || !buffer || !IsDateText(buffer, length)) {
        std::free(buffer);
        return unbound ? 1 : 0;
    }
    int32_t type = type_;
    Variable::SetValueNocopy(buffer, length, capacity);
    if (text_.Length() > maximumLength) text_.Shorten(text_.Length() - maximumLength);
    type_ = type;
    return Assigned();
}

int XBaseDateVariable::SetValueVariable(Variable* source) {
    if (unbound || !source) return 1;
    String text = source->Value();
    return SetValue(text.Text(), text.Length());
}

int XBaseDateVariable::SetValueInteger(int32_t value) {
    if (unbound) return 1;
    int32_t length = 0;
    int32_t size = 0;
    char* buffer = FormatInteger(value, &length, &size);
    return SetValueNocopy(buffer, length, size);
}

int XBaseDateVariable::SetValueDouble(double value) {
    if (unbound) return 1;
    int32_t length = 0;
    int32_t size = 0;
    char* buffer = FormatDouble(value, &length, &size, -1);
    return SetValueNocopy(buffer, length, size);
}

int XBaseDateVariable::StoreToField() {
    if (unbound || !dirty) return 1;
    int ok;
    if ((valid_ & kValidText) || FormatCachedNumber())
        ok = field->SetValue(text_.Text(), text_.Length());
    else
        ok = field->SetValue("", 0);
    if (!ok) return 0;
    dirty = false;
    return 1;
}

// --- XBaseBooleanVariable -------------------------------------------------------------------

XBaseBooleanVariable::XBaseBooleanVariable(const char* name, int32_t nameLength, XBaseField* field)
    : XBaseVariable(name, nameLength, field) {}

bool XBaseBooleanVariable::FieldIsTrue() {
    int32_t length = 0;
    const char* text = FieldText(&length);
    char c = length > 0 ? text[0] : 0;
    return c == 'T' || c == 'Y' || c == 't' || c == 'y';
}

double XBaseBooleanVariable::ValueDoubleChecked(int32_t* error) { return TextDoubleChecked(error); }

void XBaseBooleanVariable::BuildText() {
    if (tree_) return Variable::BuildText();
    if (!FormatCachedNumber()) {
        text_.AssignChar(FieldIsTrue() ? '1' : '0');
        valid_ |= kValidText;
    }
    type_ = kTypeText;
}

int32_t XBaseBooleanVariable::ComputeInteger() {
    if (tree_) return Variable::ComputeInteger();
    if (valid_ & kValidText) {
        integer_ = TextToInteger(text_.Text(), text_.Length());
    } else if (valid_ & kValidDouble) {
        integer_ = TruncateDouble(double_);
    } else {
        integer_ = FieldIsTrue() ? 1 : 0;
        type_ = kTypeInteger;
    }
    valid_ |= kValidInteger;
    return integer_;
}

void XBaseBooleanVariable::ComputeDouble() {
    if (tree_) return Variable::ComputeDouble();
    if (valid_ & kValidText) {
        double_ = TextToDouble(text_.Text(), text_.Length(), nullptr);
    } else if (valid_ & kValidInteger) {
        double_ = integer_;
    } else {
        double_ = FieldIsTrue() ? 1.0 : 0.0;
        type_ = kTypeDouble;
    }
    valid_ |= kValidDouble;
}

int XBaseBooleanVariable::SetValue(const char* text, int32_t length) {
    if (unbound) return 1;
    Variable::SetValueInteger(text && TextIsTrue(text, length) ? 1 : 0);
    return Assigned();
}

int XBaseBooleanVariable::SetValueNocopy(char* buffer, int32_t length, int32_t) {
    int result = SetValue(buffer, length);
    std::free(buffer);
    return result;
}

int XBaseBooleanVariable::SetValueVariable(Variable* source) {
    if (unbound || !source) return 1;
    Variable::SetValueInteger(source->Boolean() ? 1 : 0);
    return Assigned();
}

int XBaseBooleanVariable::SetValueInteger(int32_t value) {
    if (unbound) return 1;
    Variable::SetValueInteger(value != 0 ? 1 : 0);
    return Assigned();
}

int XBaseBooleanVariable::SetValueDouble(double value) {
    if (unbound) return 1;
    // A NaN is not zero, so it is true.
    Variable::SetValueDouble(value != 0.0 ? 1.0 : 0.0);
    return Assigned();
}

int XBaseBooleanVariable::StoreToField() {
    if (unbound || !dirty) return 1;
    if (!field->SetValue(Boolean() ? "T" : "F", 1)) return 0;
    dirty = false;
    return 1;
}

// --- The pseudo-fields --------------------------------------------------------------------------

XBasePseudoVariable::XBasePseudoVariable(const char* name, XBaseTable* table)
    : XBaseVariable(name, -1, nullptr), table(table) {
    type_ = kTypeInteger;
}

int32_t XBasePseudoVariable::PreferredType() { return kTypeInteger; }

double XBasePseudoVariable::ValueDoubleChecked(int32_t* error) {
    if (error) *error = 0;
    if (!(valid_ & kValidDouble)) ComputeDouble();
    return double_;
}

int XBasePseudoVariable::SetValueVariable(Variable*) { return 0; }
int XBasePseudoVariable::SetValue(const char*, int32_t) { return 0; }

int XBasePseudoVariable::SetValueNocopy(char* buffer, int32_t, int32_t) {
    std::free(buffer);
    return 0;
}

int XBasePseudoVariable::SetValueInteger(int32_t) { return 0; }
int XBasePseudoVariable::SetValueDouble(double) { return 0; }

void XBasePseudoVariable::BuildText() {
    if (tree_) return Variable::BuildText();
    int32_t length = 0;
    int32_t size = 0;
    char* buffer = FormatInteger(Read(), &length, &size);
    text_.Adopt(buffer, length, size);
    valid_ |= kValidText;
}

int32_t XBasePseudoVariable::ComputeInteger() {
    if (tree_) return Variable::ComputeInteger();
    integer_ = Read();
    valid_ |= kValidInteger;
    return integer_;
}

void XBasePseudoVariable::ComputeDouble() {
    if (tree_) return Variable::ComputeDouble();
    double_ = Read();
    valid_ |= kValidDouble;
}

void XBasePseudoVariable::Invalidate() {
    if (!unbound) valid_ = 0;
}

int XBasePseudoVariable::StoreToField() {
    dirty = false;
    return 1;
}

void XBasePseudoVariable::Unbind() {
    table = nullptr;
    XBaseVariable::Unbind();
}

int32_t XBaseTotalRecordsVariable::Read() { return table ? table->RecordCount() : 0; }
int32_t XBaseRecordNumberVariable::Read() { return table ? table->CurrentRecord() : 0; }
int32_t XBaseDeletedVariable::Read() { return table && table->Deleted() ? 1 : 0; }

XBaseEOFVariable::XBaseEOFVariable() : XBasePseudoVariable("eof", nullptr) {
    integer_ = 0;
    valid_ = kValidInteger;
}

void XBaseEOFVariable::Invalidate() {}

int XBaseEOFVariable::SetEOF(int flag) {
    if (unbound) return 1;
    eof = flag ? 1 : 0;
    integer_ = eof;
    valid_ = kValidInteger;
    return 1;
}

} // namespace vorn
