// The dialogs of the property page: debug log, options, the libraries and
// error-settings lists with their add/edit dialogs, and the choice of child
// nodes whose own value gives way to one just written. Each keeps its values
// in public fields, as a dialog's members, for its opener to take after OK.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "snapin/Form.h"
#include "snapin/LadrelLoader.h"

namespace vorn {

// --- Debug Log ----------------------------------------------------------------------------------

struct LogLevelBox {
    int32_t id;
    const char* group; // the group box's title; null outside any
    const char* label;
    uint32_t bit;
};
// The sixteen boxes, in the order shown.
extern const LogLevelBox kLogLevelBoxes[16];

// A new log cookie: the MD5 digest of a new random UUID's 16 bytes as 32
// lowercase hexadecimal digits.
String NewLogCookie();
String LogCookieOf(const unsigned char uuid[16]);

class CDebugLogDialog : public SheetForm {
  public:
    CDebugLogDialog(uint32_t logLevel, const String& logFile, const String& logFilter,
                    const String& logCookie);

    bool Checked(uint32_t bit) const;
    void SetCheck(uint32_t bit, bool ticked);
    void Generate();
    // Checks the texts and builds the log level from the boxes alone; false
    // with a message when a text cannot be kept.
    bool Ok();

    Form Describe() const override;
    bool Post(const PostedValues& posted, FormStep& step) override;
    FormStep ChildClosed(SheetForm& child, bool ok) override;

    uint32_t logLevel;
    String logFile;
    String logFilter;
    String logCookie;

  private:
    uint32_t boxes; // the ticked boxes' bits
};

// --- Options -----------------------------------------------------------------------------------------

inline constexpr uint32_t kSecurityNoChainCheck = 0x1000;
inline constexpr uint32_t kSecurityNoHostNameCheck = 0x2000;
inline constexpr uint32_t kSecurityAddressCheck = 0x4000;

class COptionsDialog : public SheetForm {
  public:
    COptionsDialog(int32_t cookies, uint32_t securityOptions, int32_t postTimeout, int32_t maxPostVars);

    // Takes the typed integers and the boxes into the fields; false with a
    // message (and the fields as they were) when an integer is refused.
    bool Ok();

    Form Describe() const override;
    bool Post(const PostedValues& posted, FormStep& step) override;

    int32_t cookies;
    uint32_t securityOptions;
    int32_t postTimeout;
    int32_t maxPostVars;

    // The controls.
    bool cookieBox;
    bool verifyChainBox;
    bool verifyHostNameBox;
    bool verifyAddressBox;
    std::string postTimeoutText;
    std::string maxPostVarsText;
};

// --- Libraries ------------------------------------------------------------------------------------------

class CLibraryEditDialog : public SheetForm {
  public:
    // Empty, kind Builtin.
    CLibraryEditDialog();
    // Preset from an entry (its method only when it is not a built-in function library).
    explicit CLibraryEditDialog(const ISAPILibrary& entry);

    // Refused with a message until the entry is complete and readable by the
    // extension; a built-in function library's method becomes "n/a".
    bool Ok();
    ISAPILibrary Entry() const { return {kind, ToString(method), ToString(path)}; }

    Form Describe() const override;
    bool Post(const PostedValues& posted, FormStep& step) override;
    FormStep ChildClosed(SheetForm& child, bool ok) override;

    int32_t kind;
    std::string method;
    std::string path;
};

class CLibraryDialog : public SheetForm {
  public:
    // Edits the list in place; Cancel puts back the list as it is now.
    explicit CLibraryDialog(List<ISAPILibrary>& list);

    // The list's rows, selection given by position; false when a position
    // is out of range.
    bool Select(const std::vector<int32_t>& rows);
    std::unique_ptr<CLibraryEditDialog> Add();
    // Null with a message unless exactly one row is selected.
    std::unique_ptr<CLibraryEditDialog> Update();
    void Delete();
    void Cancel();

    Form Describe() const override;
    bool Post(const PostedValues& posted, FormStep& step) override;
    FormStep ChildClosed(SheetForm& child, bool ok) override;

    bool changed = false;

  private:
    ISAPILibrary* Entry(int32_t row);

    List<ISAPILibrary>& list;
    List<ISAPILibrary> saved{true};
    std::vector<bool> selected;
    int32_t editing = -1; // the row being updated; -1 while adding
};

// --- Error settings -------------------------------------------------------------------------------------

class CErrorSettingEditDialog : public SheetForm {
  public:
    // Refused with a message for a name the extension would misread.
    bool Ok();
    ISAPIErrorSetting Entry() const { return {ToString(name), ToString(value)}; }

    Form Describe() const override;
    bool Post(const PostedValues& posted, FormStep& step) override;

    std::string name;
    std::string value;
};

class CErrorSettingDialog : public SheetForm {
  public:
    explicit CErrorSettingDialog(List<ISAPIErrorSetting>& list);

    bool Select(const std::vector<int32_t>& rows);
    void Delete();
    void Cancel();

    Form Describe() const override;
    bool Post(const PostedValues& posted, FormStep& step) override;
    FormStep ChildClosed(SheetForm& child, bool ok) override;

    bool changed = false;

  private:
    List<ISAPIErrorSetting>& list;
    List<ISAPIErrorSetting> saved{true};
    std::vector<bool> selected;
};

// --- Inheritance overrides ---------------------------------------------------------------------------------

class COverrideDialog : public SheetForm {
  public:
    // Takes the choice; OK deletes the value from the selected paths
    // through the loader.
    COverrideDialog(LadrelLoader& loader, OverrideChoice* choice);

    std::string Text() const;
    bool Select(const std::vector<int32_t>& rows);
    void SelectAll();
    // Deletes the selected values; false with a message naming each failure
    // (the selection kept for another try).
    bool Ok();

    Form Describe() const override;
    bool Post(const PostedValues& posted, FormStep& step) override;

  private:
    LadrelLoader& loader;
    std::unique_ptr<OverrideChoice> choice;
    std::vector<bool> selected;
};

// Row positions posted under a list's name: each must name a row once.
bool PostedRows(const PostedValues& posted, const char* name, int32_t count, std::vector<int32_t>& rows);

} // namespace vorn
