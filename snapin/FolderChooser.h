// The chooser behind the Browse buttons: a directory's subdirectories (and,
// for the log file and the libraries, its "*.log" or "*.so" files), walked
// from the directory that a field's text names.
#pragma once

#include <string>
#include <vector>

#include "snapin/Form.h"

namespace vorn {

class CFolderChooser : public SheetForm {
  public:
    enum class Mode {
        Folder,  // a directory: OK takes the one shown
        LogFile, // a "*.log" file, or a new file name typed in the shown directory
        Library, // a "*.so" file
    };

    // Starts at the directory the text names, or at its nearest existing
    // parent; "/" for an empty or relative text.
    CFolderChooser(Mode mode, const std::string& text);

    Form Describe() const override;
    bool Post(const PostedValues& posted, FormStep& step) override;

    const std::string& Directory() const { return directory; }
    // The path chosen by OK.
    const std::string& Chosen() const { return chosen; }

    struct Entry {
        std::string name;
        bool directory = false;
    };
    // Subdirectories, then the files of the mode's pattern, each by name;
    // false with the reason when the directory cannot be read.
    bool Read(std::vector<Entry>& entries, std::string* reason) const;

  private:
    bool Matches(const std::string& name) const;

    Mode mode;
    std::string directory;
    std::string chosen;
};

} // namespace vorn
