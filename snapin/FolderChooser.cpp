#include "snapin/FolderChooser.h"

#include <algorithm>

#include "platform/Errors.h"
#include "platform/Files.h"

namespace vorn {

namespace {

bool IsDirectory(const std::string& path) {
    bool directory = false;
    return platform::PathIsDirectory(path.c_str(), directory) && directory;
}

// An absolute path without ".", "..", empty components or a trailing '/'.
std::string Normalized(const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string part = path.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string normalized;
    for (const std::string& part : parts)
        normalized += "/" + part;
    return normalized.empty() ? "/" : normalized;
}

std::string Join(const std::string& directory, const std::string& name) {
    return directory == "/" ? "/" + name : directory + "/" + name;
}

// A name of the shown directory as a submitted form may carry it.
bool IsPlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

bool EndsWith(const std::string& text, const char* suffix) {
    size_t n = std::char_traits<char>::length(suffix);
    return text.size() > n && text.compare(text.size() - n, n, suffix) == 0;
}

} // namespace

CFolderChooser::CFolderChooser(Mode chooserMode, const std::string& text) : mode(chooserMode) {
    std::string path = !text.empty() && text[0] == '/' ? Normalized(text) : "/";
    while (path != "/" && !IsDirectory(path))
        path = Normalized(path + "/..");
    directory = path;
}

bool CFolderChooser::Matches(const std::string& name) const {
    if (mode == Mode::LogFile) return EndsWith(name, ".log");
    if (mode == Mode::Library) return EndsWith(name, ".so") || name.find(".so.") != std::string::npos;
    return false;
}

bool CFolderChooser::Read(std::vector<Entry>& entries, std::string* reason) const {
    entries.clear();
    platform::DirectoryReader reader;
    if (!reader.Open(directory.c_str())) {
        *reason = platform::LastErrorText();
        return false;
    }
    while (const char* name = reader.Next()) {
        std::string entry = name;
        if (entry == "." || entry == "..") continue;
        bool directoryEntry = IsDirectory(Join(directory, entry));
        if (directoryEntry || Matches(entry)) entries.push_back({entry, directoryEntry});
    }
    if (reader.Failed()) {
        *reason = platform::LastErrorText();
        return false;
    }
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        return a.directory != b.directory ? a.directory : a.name < b.name;
    });
    return true;
}

Form CFolderChooser::Describe() const {
    Form form;
    form.caption = mode == Mode::Folder ? "Browse for Folder" : mode == Mode::LogFile ? "Save As" : "Open";
    form.message = message;
    form.Text("Please select a directory:").Text(directory);
    if (mode == Mode::LogFile) form.Text("Log Files (*.log)");
    if (mode == Mode::Library) form.Text("Commerce Libraries (*.so)");
    std::vector<Entry> entries;
    std::string reason;
    if (!Read(entries, &reason)) form.Text("Unable to read " + directory + ": " + reason);
    if (directory != "/") form.NamedButton("open", "..", "..");
    for (const Entry& entry : entries) {
        if (entry.directory)
            form.NamedButton("open", entry.name, entry.name + "/");
        else
            form.NamedButton("choose", entry.name, entry.name);
    }
    if (mode == Mode::LogFile) {
        form.defaultAction = "ok";
        form.Edit("filename", "File &name:", "");
    }
    if (mode != Mode::Library) form.Button("ok", mode == Mode::LogFile ? "&Save" : "OK");
    form.Button("cancel", "Cancel");
    return form;
}

bool CFolderChooser::Post(const PostedValues& posted, FormStep& step) {
    if (const std::string* open = posted.Find("open")) {
        if (*open != ".." && !IsPlainName(*open)) return false;
        std::string target = Normalized(Join(directory, *open));
        if (!IsDirectory(target)) {
            message = *open + " is not a directory.";
            return true;
        }
        directory = target;
        return true;
    }
    if (const std::string* choose = posted.Find("choose")) {
        if (mode == Mode::Folder || !IsPlainName(*choose) || !Matches(*choose)) return false;
        chosen = Join(directory, *choose);
        step = FormStep::Close(true);
        return true;
    }
    std::string action = posted.Action();
    if (action == "cancel") {
        step = FormStep::Close(false);
        return true;
    }
    if (action != "ok" || mode == Mode::Library) return false;
    if (mode == Mode::Folder) {
        chosen = directory;
        step = FormStep::Close(true);
        return true;
    }
    const std::string* typed = posted.Find("filename");
    if (!typed) return false;
    if (!IsPlainName(*typed)) {
        message = "File name: Please enter the name of a file in this directory.";
        return true;
    }
    if (RefuseControlBytes(*typed, "File &name:", &message)) return true;
    // A name without an extension gets the default one.
    chosen = Join(directory, typed->find('.') == std::string::npos ? *typed + ".log" : *typed);
    step = FormStep::Close(true);
    return true;
}

} // namespace vorn
