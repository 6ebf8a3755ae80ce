// The property sheet of one node: its page and the modal forms opened over
// it, the topmost being the one shown and the one a submission goes to. OK and
// Cancel of the page close the sheet; a dialog's OK or Cancel returns to the
// form that opened it.
#pragma once

#include <memory>
#include <vector>

#include "snapin/DirectoryConfigTab.h"
#include "snapin/Form.h"

namespace vorn {

class ConfigSheet {
  public:
    // The node's path as LadrelLoader takes it; reads the node's configuration.
    explicit ConfigSheet(const char* nodePath);
    ConfigSheet(const ConfigSheet&) = delete;
    ConfigSheet& operator=(const ConfigSheet&) = delete;
    // Dialogs go before the page whose lists they edit.
    ~ConfigSheet();

    // The form shown now.
    Form Describe() const;
    // Hands a submission to the form shown. False when it is malformed: then
    // nothing has changed.
    bool Post(const PostedValues& posted);
    bool Closed() const { return forms.empty(); }

    CDirectoryConfigTab& Page() { return *page; }
    // The form shown now; null once closed.
    SheetForm* Top() const { return forms.empty() ? nullptr : forms.back().form.get(); }

  private:
    struct Open {
        std::unique_ptr<SheetForm> form;
        SheetForm* opener; // null for the page
    };
    // Carries out a step of the form `from`.
    void Take(FormStep step, SheetForm* from);

    CDirectoryConfigTab* page;
    std::vector<Open> forms; // bottom: the page
};

} // namespace vorn
