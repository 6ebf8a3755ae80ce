#include "snapin/Form.h"

namespace vorn {

// --- Form -------------------------------------------------------------------------------------

namespace {

FormControl Control(FormControl::Kind kind, std::string name, std::string label, std::string value) {
    FormControl control;
    control.kind = kind;
    control.name = std::move(name);
    control.label = std::move(label);
    control.value = std::move(value);
    return control;
}

} // namespace

Form& Form::Group(std::string label) {
    controls.push_back(Control(FormControl::Kind::Group, {}, std::move(label), {}));
    return *this;
}

Form& Form::EndGroup() {
    controls.push_back(Control(FormControl::Kind::EndGroup, {}, {}, {}));
    return *this;
}

Form& Form::Text(std::string text) {
    controls.push_back(Control(FormControl::Kind::Text, {}, std::move(text), {}));
    controls.back().literal = true;
    return *this;
}

Form& Form::Edit(std::string name, std::string label, std::string value) {
    controls.push_back(Control(FormControl::Kind::Edit, std::move(name), std::move(label), std::move(value)));
    return *this;
}

Form& Form::Check(std::string name, std::string value, std::string label, bool checked) {
    controls.push_back(
        Control(FormControl::Kind::Check, std::move(name), std::move(label), std::move(value)));
    controls.back().checked = checked;
    return *this;
}

Form& Form::Choice(std::string name, std::string label, std::string value,
                   std::vector<std::pair<std::string, std::string>> options) {
    controls.push_back(
        Control(FormControl::Kind::Choice, std::move(name), std::move(label), std::move(value)));
    controls.back().options = std::move(options);
    return *this;
}

Form& Form::Button(std::string action, std::string label) {
    controls.push_back(Control(FormControl::Kind::Button, kActionField, std::move(label), std::move(action)));
    return *this;
}

Form& Form::NamedButton(std::string name, std::string value, std::string label) {
    controls.push_back(
        Control(FormControl::Kind::Button, std::move(name), std::move(label), std::move(value)));
    controls.back().literal = true;
    return *this;
}

Form& Form::List(std::string name, std::vector<std::string> columns, std::vector<FormRow> rows) {
    controls.push_back(Control(FormControl::Kind::List, std::move(name), {}, {}));
    controls.back().columns = std::move(columns);
    controls.back().rows = std::move(rows);
    return *this;
}

// --- Posted values ------------------------------------------------------------------------------

void PostedValues::Add(std::string name, std::string value) {
    fields.emplace_back(std::move(name), std::move(value));
}

const std::string* PostedValues::Find(const char* name) const {
    for (const auto& field : fields)
        if (field.first == name) return &field.second;
    return nullptr;
}

std::vector<const std::string*> PostedValues::All(const char* name) const {
    std::vector<const std::string*> values;
    for (const auto& field : fields)
        if (field.first == name) values.push_back(&field.second);
    return values;
}

std::string PostedValues::Action() const {
    const std::string* action = Find(kActionField);
    return action ? *action : std::string();
}

// --- Steps and forms -------------------------------------------------------------------------------

FormStep FormStep::Close(bool ok) {
    FormStep step;
    step.kind = Kind::Close;
    step.ok = ok;
    return step;
}

FormStep FormStep::Open(std::unique_ptr<SheetForm> form) {
    FormStep step;
    step.kind = Kind::Open;
    step.forms.push_back(std::move(form));
    return step;
}

FormStep SheetForm::ChildClosed(SheetForm&, bool) {
    return FormStep::Stay();
}

CMessageBox::CMessageBox(std::string caption, std::string text)
    : caption(std::move(caption)), text(std::move(text)) {}

Form CMessageBox::Describe() const {
    Form form;
    form.caption = caption;
    form.defaultAction = "ok";
    form.Text(text).Button("ok", "OK");
    return form;
}

bool CMessageBox::Post(const PostedValues& posted, FormStep& step) {
    if (posted.Action() != "ok") return false;
    step = FormStep::Close(true);
    return true;
}

// --- Checks ---------------------------------------------------------------------------------------

std::string LabelText(const char* label) {
    std::string text;
    for (const char* p = label; *p; ++p) {
        if (*p == '&') {
            if (p[1] != '&') continue;
            ++p;
        }
        text += *p;
    }
    return text;
}

// The label as a message names the field: "&Log File:" gives "Log File".
std::string FieldName(const char* label) {
    std::string name = LabelText(label);
    if (!name.empty() && name.back() == ':') name.pop_back();
    return name;
}

bool ParseTypedInteger(const std::string& typed, int32_t min, int32_t max, const char* label, int32_t* value,
                       std::string* message) {
    size_t begin = 0, end = typed.size();
    while (begin < end && (typed[begin] == ' ' || typed[begin] == '\t'))
        ++begin;
    while (end > begin && (typed[end - 1] == ' ' || typed[end - 1] == '\t'))
        --end;
    bool negative = begin < end && typed[begin] == '-';
    if (begin < end && (typed[begin] == '-' || typed[begin] == '+')) ++begin;
    bool integer = begin < end;
    int64_t magnitude = 0;
    bool huge = false;
    for (size_t i = begin; i < end && integer; ++i) {
        if (typed[i] < '0' || typed[i] > '9')
            integer = false;
        else if (!huge && (magnitude = magnitude * 10 + (typed[i] - '0')) > INT64_C(0xffffffff))
            huge = true;
    }
    int64_t number = negative ? -magnitude : magnitude;
    if (integer && !huge && number >= min && number <= max) {
        *value = static_cast<int32_t>(number);
        return true;
    }
    *message = FieldName(label);
    if (integer) {
        *message +=
            ": Please enter an integer between " + std::to_string(min) + " and " + std::to_string(max) + ".";
    } else {
        *message += ": Please enter an integer.";
    }
    return false;
}

bool RefuseControlBytes(const std::string& text, const char* label, std::string* message) {
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            *message = FieldName(label) + ": Control characters are not allowed.";
            return true;
        }
    }
    return false;
}

String ToString(const std::string& text) {
    return String(text.data(), static_cast<int32_t>(text.size()));
}

std::string FromString(const String& text) {
    return std::string(text.Text(), static_cast<size_t>(text.Length()));
}

} // namespace vorn
