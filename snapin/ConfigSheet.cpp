#include "snapin/ConfigSheet.h"

namespace vorn {

ConfigSheet::ConfigSheet(const char* nodePath) {
    auto made = std::make_unique<CDirectoryConfigTab>(nodePath);
    page = made.get();
    page->OnInitDialog();
    forms.push_back({std::move(made), nullptr});
}

ConfigSheet::~ConfigSheet() {
    while (!forms.empty()) forms.pop_back();
}

Form ConfigSheet::Describe() const {
    return forms.empty() ? Form() : forms.back().form->Describe();
}

bool ConfigSheet::Post(const PostedValues& posted) {
    if (forms.empty()) return false;
    SheetForm* top = forms.back().form.get();
    std::string shown = top->Message();
    top->SetMessage({});
    FormStep step;
    if (!top->Post(posted, step)) {
        top->SetMessage(shown);
        return false;
    }
    Take(std::move(step), top);
    return true;
}

void ConfigSheet::Take(FormStep step, SheetForm* from) {
    switch (step.kind) {
    case FormStep::Kind::Stay:
        return;
    case FormStep::Kind::Open:
        // The first form opened is shown first, so it goes on top.
        for (auto it = step.forms.rbegin(); it != step.forms.rend(); ++it)
            if (*it) forms.push_back({std::move(*it), from});
        return;
    case FormStep::Kind::Close: {
        auto open = forms.end();
        while (open != forms.begin() && (open - 1)->form.get() != from)
            --open;
        if (open == forms.begin()) return;
        --open;
        std::unique_ptr<SheetForm> closed = std::move(open->form);
        SheetForm* opener = open->opener;
        forms.erase(open);
        if (opener) Take(opener->ChildClosed(*closed, step.ok), opener);
        return;
    }
    }
}

} // namespace vorn
