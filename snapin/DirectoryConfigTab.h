// The property page of one node: the effective configuration, the paths,
// time-outs, administrator address and thread count edited on the page, the
// rest through the dialogs, and the apply that writes into the node's own key
// only the values that differ from what the node gets already.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "snapin/ConfigDialogs.h"
#include "snapin/FolderChooser.h"
#include "snapin/Form.h"
#include "snapin/LadrelLoader.h"

namespace vorn {

// The settings the page writes, in the order applied.
struct PageSetting {
    const char* valueName;
    uint32_t item;
    const char* displayName;
};
inline constexpr int32_t kPageSettingCount = 15;
extern const PageSetting kPageSettings[kPageSettingCount]; // each value name that of its item

inline constexpr const char* kThreadsWarning =
    "You have changed the number of threads.  In order for this change\n"
    "to take effect, you must shut down and restart the World Wide Web\n"
    "Publishing Service.";

class CDirectoryConfigTab : public SheetForm {
  public:
    explicit CDirectoryConfigTab(const char* nodePath);

    // Reads the node's configuration and shows it.
    void OnInitDialog();

    // The edits of the page, by value name ("Threads" for the thread count);
    // false for a name the page has no edit of.
    bool SetEditText(const char* valueName, const std::string& text);
    const std::string* EditText(const char* valueName) const;

    // The page's values of the settings.
    String Text(const char* valueName) const;
    int32_t Integer(const char* valueName) const;
    int32_t Threads() const { return threads; }
    bool Modified() const { return modified; }
    bool LibrariesChanged() const { return librariesChanged; }
    bool ErrorSettingsChanged() const { return errorSettingsChanged; }
    LadrelLoader& Loader() { return loader; }

    // The dialogs, opened with the page's values; their closing is reported
    // through ChildClosed.
    std::unique_ptr<CDebugLogDialog> OpenDebugLog() const;
    std::unique_ptr<COptionsDialog> OpenOptions() const;
    std::unique_ptr<CLibraryDialog> OpenLibraries();
    std::unique_ptr<CErrorSettingDialog> OpenErrorSettings();
    // The chooser of an edit's directory; null for a name without Browse.
    std::unique_ptr<CFolderChooser> OpenBrowse(const char* valueName);

    // Takes the edits into the values, then writes what differs. False with
    // a message when an edit is refused (nothing written) or a write failed
    // (the page keeps its values for another try).
    bool Apply();
    // What follows the last apply, in turn: one choice of child nodes per
    // written value that children override, then the thread count's warning.
    std::vector<std::unique_ptr<SheetForm>> TakeFollowUps();

    Form Describe() const override;
    bool Post(const PostedValues& posted, FormStep& step) override;
    FormStep ChildClosed(SheetForm& child, bool ok) override;

  private:
    bool ExchangeData();

    LadrelLoader loader;
    bool librariesChanged = false;
    bool errorSettingsChanged = false;
    String texts[kPageSettingCount];
    int32_t integers[kPageSettingCount] = {};
    int32_t threads = 0;
    int32_t threadsAsRead = 0;

    std::vector<std::string> edits; // the typed texts, as kPageEdits
    bool modified = false;
    int32_t browsing = -1; // the edit whose chooser is open
    int32_t followUps = 0; // forms after an apply still open
    bool closing = false;  // OK waits for them
    std::vector<std::unique_ptr<SheetForm>> pending;
};

} // namespace vorn
