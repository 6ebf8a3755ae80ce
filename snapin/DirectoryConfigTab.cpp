#include "snapin/DirectoryConfigTab.h"

#include <cstring>

#include "engine/foundation/LittleEndian.h"
#include "platform/Errors.h"
#include "platform/Registry.h"

namespace vorn {

namespace {

// The registry value of an item the page edits; an item the registry does
// not carry stops the build.
consteval const char* ValueNameOf(uint32_t item) {
    const char* name = ConfigRegistryName(item);
    if (!name) throw "the page edits only items the registry carries";
    return name;
}

consteval PageSetting Setting(uint32_t item, const char* displayName) {
    return {ValueNameOf(item), item, displayName};
}

} // namespace

constexpr PageSetting kPageSettings[kPageSettingCount] = {
    Setting(kConfigVornRoot, "Vorn Root Directory"),
    Setting(kConfigDataDir, "Vorn Data Directory"),
    Setting(kConfigCaDir, "SSL Certificate Directory"),
    Setting(kConfigServerAdmin, "Server Administrator"),
    Setting(kConfigUseCookies, "Cookies"),
    Setting(kConfigGlobalTimeout, "Global Timeout"),
    Setting(kConfigCallTimeout, "Call Timeout"),
    Setting(kConfigMailTimeout, "Mail Timeout"),
    Setting(kConfigLogLevel, "Log Level"),
    Setting(kConfigLogFile, "Log File"),
    Setting(kConfigLogFilter, "Log Filter"),
    Setting(kConfigLogCookie, "Log Cookie"),
    Setting(kConfigSecurityOptions, "Security Options"),
    Setting(kConfigPostTimeout, "POST Timeout"),
    Setting(kConfigMaxPostVars, "Max. POST Variables"),
};

namespace {

// The page's edits in reading order: the setting they edit (0: the thread
// count), their label and their Browse button. Their fields are named by
// the setting's value.
struct PageEdit {
    uint32_t item;
    const char* label;
    const char* browse;
    const char* valueName;
};

consteval PageEdit Edit(uint32_t item, const char* label, const char* browse = nullptr) {
    return {item, label, browse, item ? ValueNameOf(item) : kThreadsValue};
}

constexpr PageEdit kPageEdits[] = {
    Edit(kConfigVornRoot, "Restrict scripts to the following directory and below:", "&Browse..."),
    Edit(kConfigDataDir, "Store data in the following directory:", "B&rowse..."),
    Edit(kConfigCaDir, "Look for SSL root certificates in the following directory:", "Bro&wse..."),
    Edit(kConfigGlobalTimeout, "&Global Timeout"),
    Edit(kConfigMailTimeout, "&Mail Timeout"),
    Edit(kConfigCallTimeout, "Call &Timeout"),
    Edit(kConfigServerAdmin, "&Administrator E-Mail:"),
    Edit(0, "T&hreads"),
};
constexpr int32_t kPageEditCount = static_cast<int32_t>(sizeof kPageEdits / sizeof kPageEdits[0]);

// Every row of the settings filled, and each edit one of them or the
// thread count.
constexpr bool TablesAgree() {
    for (const PageSetting& setting : kPageSettings)
        if (!setting.valueName || !setting.displayName) return false;
    for (const PageEdit& edit : kPageEdits) {
        bool found = edit.item == 0;
        for (const PageSetting& setting : kPageSettings)
            found |= setting.item == edit.item;
        if (!found) return false;
    }
    return true;
}
static_assert(TablesAgree(), "the page writes each of its settings and edits only those");

int32_t SettingRow(uint32_t item) {
    for (int32_t row = 0; row < kPageSettingCount; ++row)
        if (kPageSettings[row].item == item) return row;
    return -1;
}

int32_t SettingRow(const char* valueName) {
    for (int32_t row = 0; row < kPageSettingCount; ++row)
        if (std::strcmp(kPageSettings[row].valueName, valueName) == 0) return row;
    return -1;
}

int32_t EditRow(const char* valueName) {
    for (int32_t row = 0; row < kPageEditCount; ++row)
        if (std::strcmp(kPageEdits[row].valueName, valueName) == 0) return row;
    return -1;
}

void AddLine(std::string& text, const std::string& line) {
    text += (text.empty() ? "" : "\n") + line;
}

} // namespace

CDirectoryConfigTab::CDirectoryConfigTab(const char* nodePath)
    : loader(nodePath), edits(static_cast<size_t>(kPageEditCount)) {}

void CDirectoryConfigTab::OnInitDialog() {
    loader.Load();
    for (int32_t row = 0; row < kPageSettingCount; ++row) {
        uint32_t item = kPageSettings[row].item;
        if (IsConfigTextItem(item))
            texts[row].Assign(loader.GetText(item));
        else
            integers[row] = loader.GetInteger(item);
    }
    // A missing or zero count is the extension's default, and is taken as read.
    ProductSettings product;
    ReadProductSettings(product);
    threads = threadsAsRead = product.threads;
    for (int32_t row = 0; row < kPageEditCount; ++row) {
        int32_t setting = SettingRow(kPageEdits[row].item);
        if (setting < 0)
            edits[static_cast<size_t>(row)] = std::to_string(threads);
        else if (IsConfigTextItem(kPageSettings[setting].item))
            edits[static_cast<size_t>(row)] = FromString(texts[setting]);
        else
            edits[static_cast<size_t>(row)] = std::to_string(integers[setting]);
    }
    modified = false;
}

bool CDirectoryConfigTab::SetEditText(const char* valueName, const std::string& text) {
    int32_t row = EditRow(valueName);
    if (row < 0) return false;
    if (edits[static_cast<size_t>(row)] != text) modified = true;
    edits[static_cast<size_t>(row)] = text;
    return true;
}

const std::string* CDirectoryConfigTab::EditText(const char* valueName) const {
    int32_t row = EditRow(valueName);
    return row < 0 ? nullptr : &edits[static_cast<size_t>(row)];
}

String CDirectoryConfigTab::Text(const char* valueName) const {
    int32_t row = SettingRow(valueName);
    return row < 0 ? String() : texts[row];
}

int32_t CDirectoryConfigTab::Integer(const char* valueName) const {
    int32_t row = SettingRow(valueName);
    return row < 0 ? 0 : integers[row];
}

// --- Dialogs -------------------------------------------------------------------------------------------

std::unique_ptr<CDebugLogDialog> CDirectoryConfigTab::OpenDebugLog() const {
    return std::make_unique<CDebugLogDialog>(
        static_cast<uint32_t>(integers[SettingRow(kConfigLogLevel)]), texts[SettingRow(kConfigLogFile)],
        texts[SettingRow(kConfigLogFilter)], texts[SettingRow(kConfigLogCookie)]);
}

std::unique_ptr<COptionsDialog> CDirectoryConfigTab::OpenOptions() const {
    return std::make_unique<COptionsDialog>(
        integers[SettingRow(kConfigUseCookies)],
        static_cast<uint32_t>(integers[SettingRow(kConfigSecurityOptions)]),
        integers[SettingRow(kConfigPostTimeout)], integers[SettingRow(kConfigMaxPostVars)]);
}

std::unique_ptr<CLibraryDialog> CDirectoryConfigTab::OpenLibraries() {
    return std::make_unique<CLibraryDialog>(loader.Libraries());
}

std::unique_ptr<CErrorSettingDialog> CDirectoryConfigTab::OpenErrorSettings() {
    return std::make_unique<CErrorSettingDialog>(loader.ErrorSettings());
}

std::unique_ptr<CFolderChooser> CDirectoryConfigTab::OpenBrowse(const char* valueName) {
    int32_t row = EditRow(valueName);
    if (row < 0 || !kPageEdits[row].browse) return nullptr;
    browsing = row;
    return std::make_unique<CFolderChooser>(CFolderChooser::Mode::Folder, edits[static_cast<size_t>(row)]);
}

FormStep CDirectoryConfigTab::ChildClosed(SheetForm& child, bool ok) {
    if (auto* chooser = dynamic_cast<CFolderChooser*>(&child)) {
        if (ok && browsing >= 0) SetEditText(kPageEdits[browsing].valueName, chooser->Chosen());
        browsing = -1;
    } else if (auto* log = dynamic_cast<CDebugLogDialog*>(&child)) {
        int32_t& level = integers[SettingRow(kConfigLogLevel)];
        String& file = texts[SettingRow(kConfigLogFile)];
        String& filter = texts[SettingRow(kConfigLogFilter)];
        String& cookie = texts[SettingRow(kConfigLogCookie)];
        if (ok && (static_cast<uint32_t>(level) != log->logLevel || !(file == log->logFile) ||
                   !(filter == log->logFilter) || !(cookie == log->logCookie))) {
            level = static_cast<int32_t>(log->logLevel);
            file = log->logFile;
            filter = log->logFilter;
            cookie = log->logCookie;
            modified = true;
        }
    } else if (auto* options = dynamic_cast<COptionsDialog*>(&child)) {
        int32_t& cookies = integers[SettingRow(kConfigUseCookies)];
        int32_t& security = integers[SettingRow(kConfigSecurityOptions)];
        int32_t& postTimeout = integers[SettingRow(kConfigPostTimeout)];
        int32_t& maxPostVars = integers[SettingRow(kConfigMaxPostVars)];
        if (ok &&
            (cookies != options->cookies || static_cast<uint32_t>(security) != options->securityOptions ||
             postTimeout != options->postTimeout || maxPostVars != options->maxPostVars)) {
            cookies = options->cookies;
            security = static_cast<int32_t>(options->securityOptions);
            postTimeout = options->postTimeout;
            maxPostVars = options->maxPostVars;
            modified = true;
        }
    } else if (auto* libraries = dynamic_cast<CLibraryDialog*>(&child)) {
        if (ok && libraries->changed) librariesChanged = modified = true;
    } else if (auto* errors = dynamic_cast<CErrorSettingDialog*>(&child)) {
        if (ok && errors->changed) errorSettingsChanged = modified = true;
    } else if (followUps > 0 && --followUps == 0 && closing) {
        closing = false;
        return FormStep::Close(true);
    }
    return FormStep::Stay();
}

// --- Apply -----------------------------------------------------------------------------------------------

// Takes the edits into the values, all or none.
bool CDirectoryConfigTab::ExchangeData() {
    int32_t numbers[kPageEditCount] = {};
    for (int32_t row = 0; row < kPageEditCount; ++row) {
        const PageEdit& edit = kPageEdits[row];
        const std::string& typed = edits[static_cast<size_t>(row)];
        int32_t setting = SettingRow(edit.item);
        if (setting >= 0 && IsConfigTextItem(kPageSettings[setting].item)) {
            if (RefuseControlBytes(typed, edit.label, &message)) return false;
        } else if (!ParseTypedInteger(typed, setting < 0 ? 1 : 0, setting < 0 ? 100 : INT32_MAX, edit.label,
                                      &numbers[row], &message)) {
            return false;
        }
    }
    for (int32_t row = 0; row < kPageEditCount; ++row) {
        int32_t setting = SettingRow(kPageEdits[row].item);
        if (setting < 0)
            threads = numbers[row];
        else if (IsConfigTextItem(kPageSettings[setting].item))
            texts[setting] = ToString(edits[static_cast<size_t>(row)]);
        else
            integers[setting] = numbers[row];
    }
    return true;
}

bool CDirectoryConfigTab::Apply() {
    message.clear();
    if (!ExchangeData()) return false;
    loader.Failures().Clear();
    bool failed = false;
    if (loader.OpenNodeKey()) {
        for (int32_t row = 0; row < kPageSettingCount; ++row) {
            const PageSetting& setting = kPageSettings[row];
            if (IsConfigTextItem(setting.item)) {
                const char* effective = loader.GetText(setting.item);
                if (texts[row].Equals(effective ? effective : "")) continue;
                failed |= !loader.WriteText(setting.valueName, setting.displayName, texts[row].Text());
            } else {
                if (integers[row] == loader.GetInteger(setting.item)) continue;
                failed |= !loader.WriteInteger(setting.valueName, setting.displayName, integers[row]);
            }
        }
        if (librariesChanged && loader.WriteLibraries(kLibrariesValue, "Libraries")) librariesChanged = false;
        if (errorSettingsChanged && loader.WriteErrorSettings(kErrorSettingsValue, "ErrorSettings"))
            errorSettingsChanged = false;
        loader.CloseNodeKey();
    }
    failed |= loader.Failures().Count() > 0;

    // Lists whose write failed stay as edited for another try.
    List<ISAPILibrary> libraries(true);
    List<ISAPIErrorSetting> errorSettings(true);
    if (librariesChanged) CopyLibraries(loader.Libraries(), libraries);
    if (errorSettingsChanged) CopyErrorSettings(loader.ErrorSettings(), errorSettings);
    loader.Load();
    if (librariesChanged) CopyLibraries(libraries, loader.Libraries());
    if (errorSettingsChanged) CopyErrorSettings(errorSettings, loader.ErrorSettings());

    for (OverrideChoice* choice = loader.PendingOverrides().First(); choice;
         choice = loader.PendingOverrides().First())
        pending.push_back(
            std::make_unique<COverrideDialog>(loader, loader.PendingOverrides().Remove(kListHead)));

    for (String* failure = loader.Failures().First(); failure; failure = loader.Failures().Next())
        AddLine(message, FromString(*failure));
    loader.Failures().Clear();

    if (threads != threadsAsRead) {
        platform::RegistryKey product = nullptr;
        uint8_t bytes[4];
        PutU32(bytes, static_cast<uint32_t>(threads));
        if (platform::RegistryCreateKey(platform::LocalMachineKey(), kProductKey, &product) &&
            platform::RegistrySetValue(product, kThreadsValue, platform::kRegistryNumber, bytes,
                                       sizeof bytes)) {
            pending.push_back(std::make_unique<CMessageBox>("Warning", kThreadsWarning));
            threadsAsRead = threads;
        } else {
            failed = true;
            const char* reason = platform::LastErrorText();
            AddLine(message, std::string(kUnableToWriteValue) + kThreadsValue + "\" in " +
                                 platform::RegistryFilePath() + ": " + reason);
        }
        if (product) platform::RegistryCloseKey(product);
    }
    if (!failed) modified = false;
    return !failed;
}

std::vector<std::unique_ptr<SheetForm>> CDirectoryConfigTab::TakeFollowUps() {
    std::vector<std::unique_ptr<SheetForm>> forms = std::move(pending);
    pending.clear();
    return forms;
}

// --- The form --------------------------------------------------------------------------------------------

Form CDirectoryConfigTab::Describe() const {
    Form form;
    form.caption = "Vorn Quillon Tevrona";
    form.message = message;
    form.defaultAction = "ok";
    form.Group("&Paths");
    for (int32_t row = 0; row < 3; ++row) {
        form.Edit(kPageEdits[row].valueName, kPageEdits[row].label, edits[static_cast<size_t>(row)]);
        form.Button(std::string("browse-") + kPageEdits[row].valueName, kPageEdits[row].browse);
    }
    form.EndGroup().Group("&Options");
    for (int32_t row = 3; row < kPageEditCount; ++row)
        form.Edit(kPageEdits[row].valueName, kPageEdits[row].label, edits[static_cast<size_t>(row)]);
    form.Button("libraries", "&Libraries...")
        .Button("errorsettings", "&Error Settings...")
        .Button("debuglog", "Deb&ug Log...")
        .Button("options", "Opt&ions...")
        .EndGroup();
    form.Button("ok", "OK").Button("cancel", "Cancel").Button("apply", "&Apply");
    return form;
}

bool CDirectoryConfigTab::Post(const PostedValues& posted, FormStep& step) {
    for (const PageEdit& edit : kPageEdits)
        if (!posted.Find(edit.valueName)) return false;
    static const char* const kActions[] = {"ok",       "cancel", "apply", "libraries", "errorsettings",
                                           "debuglog", "options"};
    std::string action = posted.Action();
    bool known = false;
    for (const char* candidate : kActions)
        known |= action == candidate;
    if (action.compare(0, 7, "browse-") == 0) {
        int32_t row = EditRow(action.c_str() + 7);
        known = row >= 0 && kPageEdits[row].browse;
    }
    if (!known) return false;
    for (const PageEdit& edit : kPageEdits)
        SetEditText(edit.valueName, *posted.Find(edit.valueName));

    if (action == "ok" || action == "apply") {
        bool applied = Apply();
        std::vector<std::unique_ptr<SheetForm>> forms = TakeFollowUps();
        closing = applied && action == "ok";
        followUps = static_cast<int32_t>(forms.size());
        if (!forms.empty()) {
            step.kind = FormStep::Kind::Open;
            step.forms = std::move(forms);
        } else if (closing) {
            closing = false;
            step = FormStep::Close(true);
        }
    } else if (action == "cancel") {
        step = FormStep::Close(false);
    } else if (action.compare(0, 7, "browse-") == 0) {
        step = FormStep::Open(OpenBrowse(action.c_str() + 7));
    } else if (action == "libraries") {
        step = FormStep::Open(OpenLibraries());
    } else if (action == "errorsettings") {
        step = FormStep::Open(OpenErrorSettings());
    } else if (action == "debuglog") {
        step = FormStep::Open(OpenDebugLog());
    } else {
        step = FormStep::Open(OpenOptions());
    }
    return true;
}

} // namespace vorn
