// A dialog as the administrator meets it, without any markup: its caption,
// its controls in reading order with their texts, and the values a submitted
// form brings back. Every dialog of the configuration tool describes itself
// this way and takes the submitted values itself; whoever shows the form only
// renders the description and hands back what was posted.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/foundation/String.h"

namespace vorn {

struct FormRow {
    std::string value; // posted under the list's name when the row is selected
    bool selected = false;
    std::vector<std::string> cells;
};

struct FormControl {
    enum class Kind {
        Group, // label: the group's title; the controls up to EndGroup belong to it
        EndGroup,
        Text,   // label: a paragraph (line breaks kept)
        Edit,   // name, label, value: the text
        Check,  // name, label, value: what is posted when ticked; checked
        Choice, // name, label, value: the chosen option's value; options
        Button, // name (the action field), value (the action), label
        List,   // name, columns, rows: a list whose rows are selected by ticking them
    };
    Kind kind = Kind::Text;
    std::string name;
    std::string value;
    // '&' marks the next character as the access key and "&&" stands for one
    // '&', as in dialog resources; literal labels (file names) take '&' as is.
    std::string label;
    bool literal = false;
    bool checked = false;
    std::vector<std::pair<std::string, std::string>> options; // value, text
    std::vector<std::string> columns;
    std::vector<FormRow> rows;
};

struct Form {
    std::string caption;
    std::string message;       // why the last submission was refused, shown with the form
    std::string defaultAction; // the button that Enter in an edit presses; empty: none
    std::vector<FormControl> controls;

    // Builders, in reading order.
    Form& Group(std::string label);
    Form& EndGroup();
    Form& Text(std::string text);
    Form& Edit(std::string name, std::string label, std::string value);
    Form& Check(std::string name, std::string value, std::string label, bool checked);
    Form& Choice(std::string name, std::string label, std::string value,
                 std::vector<std::pair<std::string, std::string>> options);
    Form& Button(std::string action, std::string label);
    // A button of another field than "action", with a literal label.
    Form& NamedButton(std::string name, std::string value, std::string label);
    Form& List(std::string name, std::vector<std::string> columns, std::vector<FormRow> rows);
};

inline constexpr const char* kActionField = "action";

// The fields of one submitted form, in the order posted.
class PostedValues {
  public:
    void Add(std::string name, std::string value);
    // The first value of that name, or null.
    const std::string* Find(const char* name) const;
    std::vector<const std::string*> All(const char* name) const;
    // The action pressed; empty when none was posted.
    std::string Action() const;

  private:
    std::vector<std::pair<std::string, std::string>> fields;
};

class SheetForm;

// What a submitted form leads to.
struct FormStep {
    enum class Kind { Stay, Open, Close };
    Kind kind = Kind::Stay;
    bool ok = false; // Close: closed by OK rather than Cancel
    // Open: forms shown in turn over the one that opened them, the first
    // first; each one's closing is reported to the opener.
    std::vector<std::unique_ptr<SheetForm>> forms;

    static FormStep Stay() { return {}; }
    static FormStep Close(bool ok);
    static FormStep Open(std::unique_ptr<SheetForm> form);
};

// One modal form of a property sheet: the page, a dialog, a message box, a
// chooser.
class SheetForm {
  public:
    SheetForm() = default;
    SheetForm(const SheetForm&) = delete;
    SheetForm& operator=(const SheetForm&) = delete;
    virtual ~SheetForm() = default;

    virtual Form Describe() const = 0;
    // Takes a submitted form. False when it is malformed (a field of the form
    // missing, an unknown action, row or option): then nothing has changed.
    virtual bool Post(const PostedValues& posted, FormStep& step) = 0;
    // A form this one opened has closed.
    virtual FormStep ChildClosed(SheetForm& child, bool ok);

    // The refusal shown with the form until its next submission.
    const std::string& Message() const { return message; }
    void SetMessage(std::string text) { message = std::move(text); }

  protected:
    std::string message;
};

// A message box: a caption, a text and OK.
class CMessageBox : public SheetForm {
  public:
    CMessageBox(std::string caption, std::string text);
    Form Describe() const override;
    bool Post(const PostedValues& posted, FormStep& step) override;

  private:
    std::string caption;
    std::string text;
};

// --- Checks of typed values ---------------------------------------------------------------

// A label without its access-key marks: "&Global Timeout" gives "Global Timeout".
std::string LabelText(const char* label);

// The label as messages name its field: "&Log File:" gives "Log File".
std::string FieldName(const char* label);

// An integer typed into an edit: blanks around it, an optional sign, digits.
// Outside min..max, or not an integer, gives false with the class library's
// message, prefixed with the field's label.
bool ParseTypedInteger(const std::string& typed, int32_t min, int32_t max, const char* label, int32_t* value,
                       std::string* message);

// Whether a text holds a control byte (0x00-0x1f, 0x7f), which no value the
// extension reads may hold; the message names the field.
bool RefuseControlBytes(const std::string& text, const char* label, std::string* message);

// Texts between the forms and the configuration's own strings.
String ToString(const std::string& text);
std::string FromString(const String& text);

} // namespace vorn
