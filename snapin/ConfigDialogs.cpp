#include "snapin/ConfigDialogs.h"

#include <initializer_list>
#include <memory>

#include "engine/foundation/Md5.h"
#include "platform/Errors.h"
#include "platform/Random.h"
#include "snapin/FolderChooser.h"

namespace vorn {

namespace {

// Blanks at either end of an entry's text, which the extension drops when it
// reads the entry back.
std::string TrimBlanks(const std::string& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && text[begin] == ' ')
        ++begin;
    while (end > begin && text[end - 1] == ' ')
        --end;
    return text.substr(begin, end - begin);
}

// Takes the texts of edits that the form must carry; false when one is missing.
bool TakeEdits(const PostedValues& posted,
               std::initializer_list<std::pair<const char*, std::string*>> edits) {
    for (const auto& edit : edits)
        if (!posted.Find(edit.first)) return false;
    for (const auto& edit : edits)
        *edit.second = *posted.Find(edit.first);
    return true;
}

template <class T> T* EntryAt(List<T>& list, int32_t row) {
    int32_t index = 0;
    for (T* entry = list.First(); entry; entry = list.Next(), ++index)
        if (index == row) return entry;
    return nullptr;
}

// Deletes the selected entries of a list.
template <class T> void DeleteSelected(List<T>& list, const std::vector<bool>& selected) {
    std::vector<T*> doomed;
    int32_t index = 0;
    for (T* entry = list.First(); entry; entry = list.Next(), ++index)
        if (index < static_cast<int32_t>(selected.size()) && selected[static_cast<size_t>(index)])
            doomed.push_back(entry);
    for (T* entry : doomed) {
        list.Find(entry);
        delete list.Remove(kListCurrent);
    }
}

std::vector<bool> Selection(const std::vector<int32_t>& rows, int32_t count) {
    std::vector<bool> selection(static_cast<size_t>(count), false);
    for (int32_t row : rows)
        selection[static_cast<size_t>(row)] = true;
    return selection;
}

bool AnySelected(const std::vector<bool>& selected) {
    for (bool row : selected)
        if (row) return true;
    return false;
}

} // namespace

bool PostedRows(const PostedValues& posted, const char* name, int32_t count, std::vector<int32_t>& rows) {
    rows.clear();
    std::vector<bool> seen(static_cast<size_t>(count), false);
    for (const std::string* value : posted.All(name)) {
        if (value->empty() || value->size() > 9 ||
            value->find_first_not_of("0123456789") != std::string::npos)
            return false;
        int32_t row = std::stoi(*value);
        if (row >= count || seen[static_cast<size_t>(row)]) return false;
        seen[static_cast<size_t>(row)] = true;
        rows.push_back(row);
    }
    return true;
}

// --- Debug Log ---------------------------------------------------------------------------------------

const LogLevelBox kLogLevelBoxes[16] = {
    {1021, nullptr, "Source File/Line Number &Trace", 0x40000000},
    {1026, "&Vorn Quillon Script Functions", "Call", 0x10},
    {1027, "&Vorn Quillon Script Functions", "Parameters", 0x20},
    {1031, "&Vorn Quillon Script Functions", "Return Value", 0x40},
    {1029, "&Vorn Quillon Script Functions", "Return", 0x80},
    {1034, "B&uiltin/External Functions", "Call", 0x100},
    {1035, "B&uiltin/External Functions", "Parameters", 0x200},
    {1036, "B&uiltin/External Functions", "Return Value", 0x400},
    {1037, "B&uiltin/External Functions", "Return", 0x800},
    {1038, "Vr&DO", "Enter File", 0x1000},
    {1039, "Vr&DO", "Leave File", 0x2000},
    {1023, "&Network Traffic", "VrCALL", 0x100000},
    {1183, "&Network Traffic", "VrSMTP", 0x200000},
    {1042, "&Errors", "Timeout", 0x8000000},
    {1040, "&Errors", "Runtime", 0x10000000},
    {1041, "&Errors", "Fatal", 0x20000000},
};

namespace {

constexpr uint32_t kAllLogLevelBoxes = 0x40000000 | 0x3ff0 | 0x300000 | 0x38000000;

int32_t BitNumber(uint32_t bit) {
    int32_t number = 0;
    while (bit > 1) {
        bit >>= 1;
        ++number;
    }
    return number;
}

} // namespace

String LogCookieOf(const unsigned char uuid[16]) {
    unsigned char digest[16];
    MD5().Digest(uuid, 16, digest);
    char hex[32];
    MD5::ToHex(digest, hex);
    return String(hex, 32);
}

CDebugLogDialog::CDebugLogDialog(uint32_t level, const String& file, const String& filter,
                                 const String& cookie)
    : logLevel(level), logFile(file), logFilter(filter), logCookie(cookie), boxes(level & kAllLogLevelBoxes) {
}

bool CDebugLogDialog::Checked(uint32_t bit) const {
    return (boxes & bit) != 0;
}

void CDebugLogDialog::SetCheck(uint32_t bit, bool ticked) {
    bit &= kAllLogLevelBoxes;
    boxes = ticked ? boxes | bit : boxes & ~bit;
}

void CDebugLogDialog::Generate() {
    unsigned char uuid[16];
    if (!platform::CreateUuid(uuid)) {
        message = std::string("Unable to create a UUID: ") + platform::LastErrorText();
        return;
    }
    logCookie = LogCookieOf(uuid);
}

bool CDebugLogDialog::Ok() {
    if (RefuseControlBytes(FromString(logFile), "&Log File:", &message) ||
        RefuseControlBytes(FromString(logFilter), "&Filter:", &message) ||
        RefuseControlBytes(FromString(logCookie), "&Cookie:", &message))
        return false;
    logLevel = boxes;
    return true;
}

Form CDebugLogDialog::Describe() const {
    Form form;
    form.caption = "Debug Log";
    form.message = message;
    form.defaultAction = "ok";
    form.Edit("logfile", "&Log File:", FromString(logFile)).Button("browse", "&Browse...");
    form.Edit("logfilter", "&Filter:", FromString(logFilter));
    form.Edit("logcookie", "&Cookie:", FromString(logCookie)).Button("generate", "&Generate");
    const char* group = nullptr;
    for (const LogLevelBox& box : kLogLevelBoxes) {
        if (box.group != group) {
            if (group) form.EndGroup();
            form.Group(box.group);
            group = box.group;
        }
        form.Check("loglevel", std::to_string(BitNumber(box.bit)), box.label, Checked(box.bit));
    }
    form.EndGroup().Button("ok", "OK").Button("cancel", "Cancel");
    return form;
}

bool CDebugLogDialog::Post(const PostedValues& posted, FormStep& step) {
    std::string file, filter, cookie;
    if (!TakeEdits(posted, {{"logfile", &file}, {"logfilter", &filter}, {"logcookie", &cookie}}))
        return false;
    uint32_t ticked = 0;
    for (const std::string* value : posted.All("loglevel")) {
        const LogLevelBox* found = nullptr;
        for (const LogLevelBox& box : kLogLevelBoxes)
            if (*value == std::to_string(BitNumber(box.bit))) found = &box;
        if (!found) return false;
        ticked |= found->bit;
    }
    std::string action = posted.Action();
    if (action != "ok" && action != "cancel" && action != "browse" && action != "generate") return false;
    logFile = ToString(file);
    logFilter = ToString(filter);
    logCookie = ToString(cookie);
    boxes = ticked;
    if (action == "ok") {
        if (Ok()) step = FormStep::Close(true);
    } else if (action == "cancel") {
        step = FormStep::Close(false);
    } else if (action == "browse") {
        step = FormStep::Open(std::make_unique<CFolderChooser>(CFolderChooser::Mode::LogFile, file));
    } else {
        Generate();
    }
    return true;
}

FormStep CDebugLogDialog::ChildClosed(SheetForm& child, bool ok) {
    if (ok) logFile = ToString(static_cast<CFolderChooser&>(child).Chosen());
    return FormStep::Stay();
}

// --- Options ---------------------------------------------------------------------------------------------

COptionsDialog::COptionsDialog(int32_t useCookies, uint32_t security, int32_t post, int32_t maxPost)
    : cookies(useCookies), securityOptions(security), postTimeout(post), maxPostVars(maxPost),
      cookieBox(useCookies != 0), verifyChainBox((security & kSecurityNoChainCheck) == 0),
      verifyHostNameBox((security & kSecurityNoHostNameCheck) == 0),
      verifyAddressBox((security & kSecurityAddressCheck) != 0), postTimeoutText(std::to_string(post)),
      maxPostVarsText(std::to_string(maxPost)) {}

bool COptionsDialog::Ok() {
    int32_t post = 0, maxPost = 0;
    if (!ParseTypedInteger(postTimeoutText, 0, INT32_MAX, "&Timeout:", &post, &message) ||
        !ParseTypedInteger(maxPostVarsText, 0, INT32_MAX, "Max. V&ariables:", &maxPost, &message))
        return false;
    cookies = cookieBox ? 1 : 0;
    postTimeout = post;
    maxPostVars = maxPost;
    uint32_t security =
        securityOptions & ~(kSecurityNoChainCheck | kSecurityNoHostNameCheck | kSecurityAddressCheck);
    if (!verifyChainBox) security |= kSecurityNoChainCheck;
    if (!verifyHostNameBox) security |= kSecurityNoHostNameCheck;
    if (verifyAddressBox) security |= kSecurityAddressCheck;
    securityOptions = security;
    return true;
}

Form COptionsDialog::Describe() const {
    Form form;
    form.caption = "Options";
    form.message = message;
    form.defaultAction = "ok";
    form.Check("usecookies", "1", "Enable kpzcallerid &Cookie", cookieBox);
    form.Group("&SSL/TLS Certificate Verification")
        .Check("securityoptions", "chain", "&Verify Chain", verifyChainBox)
        .Check("securityoptions", "hostname", "Verify Identity When Using &Hostname", verifyHostNameBox)
        .Check("securityoptions", "ip", "Verify Identity When Using &IP", verifyAddressBox)
        .EndGroup();
    form.Group("&POST Options")
        .Edit("posttimeout", "&Timeout:", postTimeoutText)
        .Edit("maxpostvars", "Max. V&ariables:", maxPostVarsText)
        .EndGroup();
    form.Button("ok", "OK").Button("cancel", "Cancel");
    return form;
}

bool COptionsDialog::Post(const PostedValues& posted, FormStep& step) {
    std::string post, maxPost;
    if (!TakeEdits(posted, {{"posttimeout", &post}, {"maxpostvars", &maxPost}})) return false;
    bool cookie = false, chain = false, hostName = false, address = false;
    for (const std::string* value : posted.All("usecookies")) {
        if (*value != "1") return false;
        cookie = true;
    }
    for (const std::string* value : posted.All("securityoptions")) {
        if (*value == "chain")
            chain = true;
        else if (*value == "hostname")
            hostName = true;
        else if (*value == "ip")
            address = true;
        else
            return false;
    }
    std::string action = posted.Action();
    if (action != "ok" && action != "cancel") return false;
    postTimeoutText = post;
    maxPostVarsText = maxPost;
    cookieBox = cookie;
    verifyChainBox = chain;
    verifyHostNameBox = hostName;
    verifyAddressBox = address;
    if (action == "cancel")
        step = FormStep::Close(false);
    else if (Ok())
        step = FormStep::Close(true);
    return true;
}

// --- Add/Edit Library
// ---------------------------------------------------------------------------------------

namespace {

const std::pair<int32_t, const char*> kLibraryKinds[] = {
    {kLibraryBuiltin, "b"}, {kLibraryCommerce, "c"}, {kLibraryDatabase, "d"}, {kLibrarySystem, "s"}};

} // namespace

CLibraryEditDialog::CLibraryEditDialog() : kind(kLibraryBuiltin) {}

CLibraryEditDialog::CLibraryEditDialog(const ISAPILibrary& entry)
    : kind(entry.kind), method(entry.kind == kLibraryBuiltin ? "" : FromString(entry.method)),
      path(FromString(entry.path)) {}

bool CLibraryEditDialog::Ok() {
    if (RefuseControlBytes(path, "&Library:", &message)) return false;
    if (kind != kLibraryBuiltin && RefuseControlBytes(method, "&Method:", &message)) return false;
    std::string trimmedPath = TrimBlanks(path);
    std::string trimmedMethod = kind == kLibraryBuiltin ? "n/a" : TrimBlanks(method);
    if (trimmedMethod.empty()) {
        message = "Method: Please enter the method.";
        return false;
    }
    if (trimmedMethod.find(',') != std::string::npos) {
        message = "Method: A method may not hold a comma.";
        return false;
    }
    if (trimmedPath.empty()) {
        message = "Library: Please enter the path of the library.";
        return false;
    }
    method = trimmedMethod;
    path = trimmedPath;
    return true;
}

Form CLibraryEditDialog::Describe() const {
    Form form;
    form.caption = "Add/Edit Library";
    form.message = message;
    form.defaultAction = "ok";
    std::vector<std::pair<std::string, std::string>> options;
    std::string chosen;
    for (const auto& entry : kLibraryKinds) {
        options.emplace_back(entry.second, LibraryKindName(entry.first));
        if (entry.first == kind) chosen = entry.second;
    }
    form.Choice("librarytype", "Library &Type:", chosen, std::move(options));
    form.Edit("method", "&Method:", method);
    form.Edit("library", "&Library:", path).Button("browse", "&Browse...");
    form.Button("ok", "OK").Button("cancel", "Cancel");
    return form;
}

bool CLibraryEditDialog::Post(const PostedValues& posted, FormStep& step) {
    std::string letter, typedMethod, typedPath;
    if (!TakeEdits(posted, {{"librarytype", &letter}, {"method", &typedMethod}, {"library", &typedPath}}))
        return false;
    int32_t typedKind = -1;
    for (const auto& entry : kLibraryKinds)
        if (letter == entry.second) typedKind = entry.first;
    std::string action = posted.Action();
    if (typedKind < 0 || (action != "ok" && action != "cancel" && action != "browse")) return false;
    kind = typedKind;
    method = typedMethod;
    path = typedPath;
    if (action == "ok") {
        if (Ok()) step = FormStep::Close(true);
    } else if (action == "cancel") {
        step = FormStep::Close(false);
    } else {
        step = FormStep::Open(std::make_unique<CFolderChooser>(CFolderChooser::Mode::Library, path));
    }
    return true;
}

FormStep CLibraryEditDialog::ChildClosed(SheetForm& child, bool ok) {
    if (ok) path = static_cast<CFolderChooser&>(child).Chosen();
    return FormStep::Stay();
}

// --- Libraries
// -------------------------------------------------------------------------------------------------

CLibraryDialog::CLibraryDialog(List<ISAPILibrary>& libraries)
    : list(libraries), selected(static_cast<size_t>(libraries.Count()), false) {
    CopyLibraries(list, saved);
}

ISAPILibrary* CLibraryDialog::Entry(int32_t row) {
    return EntryAt(list, row);
}

bool CLibraryDialog::Select(const std::vector<int32_t>& rows) {
    for (int32_t row : rows)
        if (row < 0 || row >= list.Count()) return false;
    selected = Selection(rows, list.Count());
    return true;
}

std::unique_ptr<CLibraryEditDialog> CLibraryDialog::Add() {
    editing = -1;
    return std::make_unique<CLibraryEditDialog>();
}

std::unique_ptr<CLibraryEditDialog> CLibraryDialog::Update() {
    int32_t count = 0;
    for (size_t row = 0; row < selected.size(); ++row)
        if (selected[row]) {
            ++count;
            editing = static_cast<int32_t>(row);
        }
    if (count != 1) {
        editing = -1;
        message = "Please select one library to update.";
        return nullptr;
    }
    return std::make_unique<CLibraryEditDialog>(*Entry(editing));
}

void CLibraryDialog::Delete() {
    if (!AnySelected(selected)) {
        message = "Please select the libraries to delete.";
        return;
    }
    DeleteSelected(list, selected);
    selected.assign(static_cast<size_t>(list.Count()), false);
    changed = true;
}

void CLibraryDialog::Cancel() {
    CopyLibraries(saved, list);
}

Form CLibraryDialog::Describe() const {
    Form form;
    form.caption = "Libraries";
    form.message = message;
    std::vector<FormRow> rows;
    int32_t index = 0;
    for (ISAPILibrary* entry = list.First(); entry; entry = list.Next(), ++index)
        rows.push_back({std::to_string(index),
                        index < static_cast<int32_t>(selected.size()) && selected[index],
                        {LibraryKindName(entry->kind), FromString(entry->method), FromString(entry->path)}});
    form.List("library", {"Type", "Method", "Library"}, std::move(rows));
    form.Button("ok", "OK").Button("cancel", "Cancel");
    form.Button("add", "&Add").Button("update", "&Update").Button("delete", "&Delete");
    return form;
}

bool CLibraryDialog::Post(const PostedValues& posted, FormStep& step) {
    std::vector<int32_t> rows;
    std::string action = posted.Action();
    if (!PostedRows(posted, "library", list.Count(), rows) ||
        (action != "ok" && action != "cancel" && action != "add" && action != "update" && action != "delete"))
        return false;
    Select(rows);
    if (action == "ok") {
        step = FormStep::Close(true);
    } else if (action == "cancel") {
        Cancel();
        step = FormStep::Close(false);
    } else if (action == "add") {
        step = FormStep::Open(Add());
    } else if (action == "update") {
        if (auto edit = Update()) step = FormStep::Open(std::move(edit));
    } else {
        Delete();
    }
    return true;
}

FormStep CLibraryDialog::ChildClosed(SheetForm& child, bool ok) {
    auto& edit = static_cast<CLibraryEditDialog&>(child);
    ISAPILibrary* entry = editing >= 0 ? Entry(editing) : nullptr;
    editing = -1;
    if (!ok) return FormStep::Stay();
    ISAPILibrary result = edit.Entry();
    if (entry) {
        // An update keeps the entry's place: the extension registers libraries in list order.
        if (entry->kind == result.kind && entry->method == result.method && entry->path == result.path)
            return FormStep::Stay();
        *entry = result;
    } else {
        list.Insert(new ISAPILibrary(result), kListTail);
    }
    selected.assign(static_cast<size_t>(list.Count()), false);
    changed = true;
    return FormStep::Stay();
}

// --- Error settings
// ---------------------------------------------------------------------------------------------

bool CErrorSettingEditDialog::Ok() {
    if (RefuseControlBytes(name, "&Name:", &message) || RefuseControlBytes(value, "&Value:", &message))
        return false;
    std::string trimmed = TrimBlanks(name);
    if (trimmed.empty()) {
        message = "Name: Please enter the name of a tag.";
        return false;
    }
    if (trimmed.find('=') != std::string::npos) {
        message = "Name: A name may not hold '='.";
        return false;
    }
    name = trimmed;
    return true;
}

Form CErrorSettingEditDialog::Describe() const {
    Form form;
    form.caption = "Add/Edit Error Setting";
    form.message = message;
    form.defaultAction = "ok";
    form.Edit("name", "&Name:", name).Edit("value", "&Value:", value);
    form.Button("ok", "OK").Button("cancel", "Cancel");
    return form;
}

bool CErrorSettingEditDialog::Post(const PostedValues& posted, FormStep& step) {
    std::string typedName, typedValue;
    std::string action = posted.Action();
    if (!TakeEdits(posted, {{"name", &typedName}, {"value", &typedValue}}) ||
        (action != "ok" && action != "cancel"))
        return false;
    name = typedName;
    value = typedValue;
    if (action == "cancel")
        step = FormStep::Close(false);
    else if (Ok())
        step = FormStep::Close(true);
    return true;
}

CErrorSettingDialog::CErrorSettingDialog(List<ISAPIErrorSetting>& settings)
    : list(settings), selected(static_cast<size_t>(settings.Count()), false) {
    CopyErrorSettings(list, saved);
}

bool CErrorSettingDialog::Select(const std::vector<int32_t>& rows) {
    for (int32_t row : rows)
        if (row < 0 || row >= list.Count()) return false;
    selected = Selection(rows, list.Count());
    return true;
}

void CErrorSettingDialog::Delete() {
    if (!AnySelected(selected)) {
        message = "Please select the error settings to delete.";
        return;
    }
    DeleteSelected(list, selected);
    selected.assign(static_cast<size_t>(list.Count()), false);
    changed = true;
}

void CErrorSettingDialog::Cancel() {
    CopyErrorSettings(saved, list);
}

Form CErrorSettingDialog::Describe() const {
    Form form;
    form.caption = "Error settings";
    form.message = message;
    std::vector<FormRow> rows;
    int32_t index = 0;
    for (ISAPIErrorSetting* entry = list.First(); entry; entry = list.Next(), ++index)
        rows.push_back({std::to_string(index),
                        index < static_cast<int32_t>(selected.size()) && selected[index],
                        {FromString(entry->name), FromString(entry->value)}});
    form.List("errorsetting", {"Name", "Value"}, std::move(rows));
    form.Button("ok", "OK").Button("cancel", "Cancel").Button("add", "&Add").Button("delete", "&Delete");
    return form;
}

bool CErrorSettingDialog::Post(const PostedValues& posted, FormStep& step) {
    std::vector<int32_t> rows;
    std::string action = posted.Action();
    if (!PostedRows(posted, "errorsetting", list.Count(), rows) ||
        (action != "ok" && action != "cancel" && action != "add" && action != "delete"))
        return false;
    Select(rows);
    if (action == "ok") {
        step = FormStep::Close(true);
    } else if (action == "cancel") {
        Cancel();
        step = FormStep::Close(false);
    } else if (action == "add") {
        step = FormStep::Open(std::make_unique<CErrorSettingEditDialog>());
    } else {
        Delete();
    }
    return true;
}

FormStep CErrorSettingDialog::ChildClosed(SheetForm& child, bool ok) {
    if (!ok) return FormStep::Stay();
    list.Insert(new ISAPIErrorSetting(static_cast<CErrorSettingEditDialog&>(child).Entry()), kListTail);
    selected.push_back(false);
    changed = true;
    return FormStep::Stay();
}

// --- Inheritance overrides
// ----------------------------------------------------------------------------------------

COverrideDialog::COverrideDialog(LadrelLoader& owner, OverrideChoice* taken)
    : loader(owner), choice(taken), selected(static_cast<size_t>(taken->paths.Count()), false) {}

std::string COverrideDialog::Text() const {
    return "The following child nodes also define the value of the \"" + FromString(choice->displayName) +
           "\" property, which overrides the value you have just set.  Please select from the "
           "list below those nodes which should use the new value.";
}

bool COverrideDialog::Select(const std::vector<int32_t>& rows) {
    for (int32_t row : rows)
        if (row < 0 || row >= choice->paths.Count()) return false;
    selected = Selection(rows, choice->paths.Count());
    return true;
}

void COverrideDialog::SelectAll() {
    selected.assign(selected.size(), true);
}

bool COverrideDialog::Ok() {
    if (!AnySelected(selected)) return true;
    if (loader.OpenNodeKey()) {
        int32_t row = 0;
        for (String* path = choice->paths.First(); path; path = choice->paths.Next(), ++row)
            if (selected[static_cast<size_t>(row)] &&
                loader.DeleteChildValue(*path, choice->valueName.Text()))
                selected[static_cast<size_t>(row)] = false;
        loader.CloseNodeKey();
    }
    message.clear();
    for (String* failure = loader.Failures().First(); failure; failure = loader.Failures().Next())
        message += (message.empty() ? "" : "\n") + FromString(*failure);
    loader.Failures().Clear();
    return message.empty();
}

Form COverrideDialog::Describe() const {
    Form form;
    form.caption = "Inheritance Overrides";
    form.message = message;
    form.Text(Text());
    std::vector<FormRow> rows;
    int32_t index = 0;
    for (String* path = choice->paths.First(); path; path = choice->paths.Next(), ++index)
        rows.push_back(
            {std::to_string(index), selected[static_cast<size_t>(index)], {FromString(DisplayPath(*path))}});
    form.List("child", {}, std::move(rows));
    form.controls.back().label = "&Child Nodes:";
    form.Button("selectall", "&Select All").Button("ok", "OK").Button("cancel", "Cancel");
    return form;
}

bool COverrideDialog::Post(const PostedValues& posted, FormStep& step) {
    std::vector<int32_t> rows;
    std::string action = posted.Action();
    if (!PostedRows(posted, "child", choice->paths.Count(), rows) ||
        (action != "ok" && action != "cancel" && action != "selectall"))
        return false;
    Select(rows);
    if (action == "selectall")
        SelectAll();
    else if (action == "cancel")
        step = FormStep::Close(false);
    else if (Ok())
        step = FormStep::Close(true);
    return true;
}

} // namespace vorn
