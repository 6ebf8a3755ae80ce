// The dialogs: the sixteen log bits, the options' inverted boxes, the
// library and error-setting lists with their checks, the log cookie, the
// chooser, and submissions no form of the tool would make.
#include "tests/snapin/SnapinSupport.h"

#include <regex>
#include <sys/stat.h>

#include "snapin/ConfigDialogs.h"
#include "snapin/FolderChooser.h"

namespace vorn::test {
namespace {

const std::string kConfig = "[SOFTWARE\\Vorn\\Vorn Tevrona NT\\Configuration";

// A dialog's submission through its own Post; the step it leads to.
FormStep Submit(SheetForm& form, const std::string& action,
                const std::map<std::string, std::string>& typed = {},
                const std::map<std::string, bool>& ticks = {}) {
    FormStep step;
    EXPECT_TRUE(form.Post(Submission(form.Describe(), action, typed, ticks), step)) << action;
    return step;
}

std::vector<std::string> Rows(SheetForm& form) {
    std::vector<std::string> rows;
    for (const FormControl& control : form.Describe().controls)
        for (const FormRow& row : control.rows) {
            std::string text;
            for (const std::string& cell : row.cells)
                text += (text.empty() ? "" : ",") + cell;
            rows.push_back(text);
        }
    return rows;
}

TEST(CDebugLogDialog, TheLogLevelIsTheSumOfTheSixteenBoxes) {
    for (const LogLevelBox& box : kLogLevelBoxes) {
        CDebugLogDialog dialog(0, String(), String(), String());
        int32_t number = 0;
        while ((1u << number) != box.bit)
            ++number;
        FormStep step = Submit(dialog, "ok", {}, {{"loglevel-" + std::to_string(number), true}});
        EXPECT_EQ(FormStep::Kind::Close, step.kind);
        EXPECT_EQ(box.bit, dialog.logLevel) << box.label;
    }
    // Bits no box shows are cleared by OK; those that show stay ticked.
    CDebugLogDialog all(0xFFFFFFFFu, String("/var/log/v.log"), String("!VrDO"), String("c"));
    for (const LogLevelBox& box : kLogLevelBoxes)
        EXPECT_TRUE(all.Checked(box.bit)) << box.label;
    Submit(all, "ok");
    EXPECT_EQ(0x78303ff0u, all.logLevel);
    EXPECT_STREQ("!VrDO", all.logFilter.Text());

    CDebugLogDialog refused(0x10, String(), String(), String());
    FormStep step = Submit(refused, "ok", {{"logfile", "/var/log/a\nb.log"}});
    EXPECT_EQ(FormStep::Kind::Stay, step.kind);
    EXPECT_EQ("Log File: Control characters are not allowed.", refused.Message());
    EXPECT_EQ(0x10u, refused.logLevel);
}

TEST(CDebugLogDialog, TheCookieIsTheDigestOfANewUuid) {
    const unsigned char zeros[16] = {};
    unsigned char counting[16];
    for (int i = 0; i < 16; ++i)
        counting[i] = static_cast<unsigned char>(i);
    EXPECT_STREQ("4ae71336e44bf9bf79d2752e234818a5", LogCookieOf(zeros).Text());
    EXPECT_STREQ("1ac1ef01e96caf1be0d329331a4fc2a8", LogCookieOf(counting).Text());

    CDebugLogDialog dialog(0, String(), String(), String("old"));
    Submit(dialog, "generate");
    std::string first = dialog.logCookie.Text();
    EXPECT_TRUE(std::regex_match(first, std::regex("[0-9a-f]{32}"))) << first;
    Submit(dialog, "generate");
    EXPECT_NE(first, dialog.logCookie.Text());
    EXPECT_EQ(first.size(), static_cast<size_t>(dialog.logCookie.Length()));
}

TEST(COptionsDialog, VerificationBoxesInvertTheirBits) {
    struct Case {
        uint32_t stored;
        bool chain, hostName, address; // as shown
        std::map<std::string, bool> ticks;
        uint32_t after;
    } cases[] = {
        {0, true, true, false, {}, 0},
        {0,
         true,
         true,
         false,
         {{"securityoptions-chain", false}, {"securityoptions-hostname", false}},
         0x3000},
        {0x0001, true, true, false, {}, 0x0001},
        {0x7001, false, false, true, {}, 0x7001},
        {0x7001,
         false,
         false,
         true,
         {{"securityoptions-chain", true}, {"securityoptions-hostname", true}, {"securityoptions-ip", false}},
         0x0001},
        {0xFFFFFFFFu, false, false, true, {{"securityoptions-ip", false}}, 0xFFFFBFFFu},
    };
    for (const Case& c : cases) {
        COptionsDialog dialog(1, c.stored, 30, 2000);
        EXPECT_EQ(c.chain, dialog.verifyChainBox);
        EXPECT_EQ(c.hostName, dialog.verifyHostNameBox);
        EXPECT_EQ(c.address, dialog.verifyAddressBox);
        Submit(dialog, "ok", {}, c.ticks);
        EXPECT_EQ(c.after, dialog.securityOptions) << std::hex << c.stored;
        EXPECT_EQ(1, dialog.cookies);
    }
    COptionsDialog cookies(1, 0, 30, 2000);
    Submit(cookies, "ok", {}, {{"usecookies-1", false}});
    EXPECT_EQ(0, cookies.cookies);

    struct Typed {
        const char* text;
        int32_t value; // -1: refused
        const char* message;
    } typed[] = {
        {"2147483647", 2147483647, ""},
        {" 45 ", 45, ""},
        {"+7", 7, ""},
        {"-1", -1, "Timeout: Please enter an integer between 0 and 2147483647."},
        {"2147483648", -1, "Timeout: Please enter an integer between 0 and 2147483647."},
        {"99999999999999999999999999", -1, "Timeout: Please enter an integer between 0 and 2147483647."},
        {"4x", -1, "Timeout: Please enter an integer."},
        {"", -1, "Timeout: Please enter an integer."},
    };
    for (const Typed& t : typed) {
        COptionsDialog dialog(1, 0, 30, 2000);
        FormStep step = Submit(dialog, "ok", {{"posttimeout", t.text}});
        EXPECT_EQ(t.value < 0 ? FormStep::Kind::Stay : FormStep::Kind::Close, step.kind) << t.text;
        EXPECT_EQ(t.value < 0 ? 30 : t.value, dialog.postTimeout) << t.text;
        EXPECT_EQ(t.message, dialog.Message()) << t.text;
    }
}

TEST(CLibraryEditDialog, OkWaitsForAnEntryTheExtensionReadsAsTyped) {
    struct Case {
        const char* kind;
        const char* method;
        const char* path;
        const char* entry; // null: refused
        const char* message;
    } cases[] = {
        {"b", "", "/lib/f.so", "0,n/a,/lib/f.so", ""},
        {"b", "ignored", "/lib/f.so", "0,n/a,/lib/f.so", ""},
        {"b", "", "", nullptr, "Library: Please enter the path of the library."},
        {"c", "", "/lib/c.so", nullptr, "Method: Please enter the method."},
        {"c", "visa", "", nullptr, "Library: Please enter the path of the library."},
        {"c", "vi,sa", "/lib/c.so", nullptr, "Method: A method may not hold a comma."},
        {"d", "sql\t", "/lib/d.so", nullptr, "Method: Control characters are not allowed."},
        {"d", "sql", "/lib/d\x7f.so", nullptr, "Library: Control characters are not allowed."},
        {"s", " sys ", " /lib/a,b.so ", "3,sys,/lib/a,b.so", ""},
        {"d", "sql", "/lib/d.so", "1,sql,/lib/d.so", ""},
    };
    for (const Case& c : cases) {
        CLibraryEditDialog dialog;
        FormStep step =
            Submit(dialog, "ok", {{"librarytype", c.kind}, {"method", c.method}, {"library", c.path}});
        EXPECT_EQ(c.message, dialog.Message()) << c.method << " " << c.path;
        ASSERT_EQ(c.entry ? FormStep::Kind::Close : FormStep::Kind::Stay, step.kind)
            << c.method << " " << c.path;
        if (!c.entry) continue;
        ISAPILibrary entry = dialog.Entry();
        EXPECT_EQ(c.entry, std::to_string(entry.kind) + "," + entry.method.Text() + "," + entry.path.Text());
    }
}

TEST(CLibraryDialog, EditsInPlaceAndCancelRestoresTheList) {
    RegistryScratch registry;
    registry.Write(kConfig + "]\nlibraries[] = b,n/a,/lib/b.so\nlibraries[] = c,visa,/lib/c.so\n"
                             "libraries[] = d,sql,/lib/d.so\n");
    ConfigSheet sheet("");
    const std::vector<std::string> loaded = {"Builtin,n/a,/lib/b.so", "Commerce,visa,/lib/c.so",
                                             "Database,sql,/lib/d.so"};
    Press(sheet, "libraries");
    EXPECT_EQ(loaded, Rows(*sheet.Top()));

    // Update keeps the entry's place; the built-in entry's method is not offered.
    Press(sheet, "update", {}, {{"library-1", true}});
    EXPECT_EQ("visa", sheet.Describe().controls[1].value);
    Press(sheet, "ok", {{"method", "mc"}});
    EXPECT_EQ((std::vector<std::string>{"Builtin,n/a,/lib/b.so", "Commerce,mc,/lib/c.so",
                                        "Database,sql,/lib/d.so"}),
              Rows(*sheet.Top()));
    Press(sheet, "update", {}, {{"library-0", true}});
    EXPECT_EQ("", sheet.Describe().controls[1].value);
    Press(sheet, "cancel");
    Press(sheet, "update", {}, {{"library-0", true}, {"library-2", true}});
    EXPECT_EQ("Please select one library to update.", sheet.Describe().message);
    Press(sheet, "delete", {}, {{"library-0", true}, {"library-2", true}});
    Press(sheet, "add");
    Press(sheet, "ok", {{"librarytype", "s"}, {"method", "sys"}, {"library", "/lib/s.so"}});
    EXPECT_EQ((std::vector<std::string>{"Commerce,mc,/lib/c.so", "System,sys,/lib/s.so"}),
              Rows(*sheet.Top()));

    // Cancel puts every edit back: a later OK of the page writes nothing.
    Press(sheet, "cancel");
    Press(sheet, "libraries");
    EXPECT_EQ(loaded, Rows(*sheet.Top()));
    // An update that changes nothing leaves the list unchanged.
    Press(sheet, "update", {}, {{"library-2", true}});
    Press(sheet, "ok");
    EXPECT_FALSE(static_cast<CLibraryDialog*>(sheet.Top())->changed);
    Press(sheet, "ok");
    EXPECT_FALSE(sheet.Page().LibrariesChanged());
    Press(sheet, "apply");
    EXPECT_EQ("b,n/a,/lib/b.so|c,visa,/lib/c.so|d,sql,/lib/d.so|", RegistryValue(NodeKey(""), "libraries"));

    Press(sheet, "libraries");
    Press(sheet, "add");
    Press(sheet, "ok", {{"librarytype", "b"}, {"method", ""}, {"library", "/lib/more.so"}});
    Press(sheet, "ok");
    EXPECT_TRUE(sheet.Page().LibrariesChanged());
    Press(sheet, "apply");
    EXPECT_EQ("b,n/a,/lib/b.so|c,visa,/lib/c.so|d,sql,/lib/d.so|b,n/a,/lib/more.so|",
              RegistryValue(NodeKey(""), "libraries"));
}

TEST(CErrorSettingDialog, CancelRestoresAndNamesAreChecked) {
    RegistryScratch registry;
    registry.Write(kConfig + "]\nerrorsettings[] = VrOPEN=fatal\nerrorsettings[] = VrSKIP=display\n");
    ConfigSheet sheet("");
    Press(sheet, "errorsettings");
    Press(sheet, "delete", {}, {{"errorsetting-0", true}});
    EXPECT_EQ((std::vector<std::string>{"VrSKIP,display"}), Rows(*sheet.Top()));
    Press(sheet, "cancel");
    Press(sheet, "errorsettings");
    EXPECT_EQ((std::vector<std::string>{"VrOPEN,fatal", "VrSKIP,display"}), Rows(*sheet.Top()));

    struct Case {
        const char* name;
        const char* value;
        const char* message; // empty: taken
    } cases[] = {
        {"", "fatal", "Name: Please enter the name of a tag."},
        {"   ", "fatal", "Name: Please enter the name of a tag."},
        {"Vr=OPEN", "fatal", "Name: A name may not hold '='."},
        {"VrFIND", "fatal\r\n", "Value: Control characters are not allowed."},
        {" VrFIND ", "fatal display", ""},
        {"VrADD", "", ""},
    };
    for (const Case& c : cases) {
        Press(sheet, "add");
        Press(sheet, "ok", {{"name", c.name}, {"value", c.value}});
        if (*c.message) {
            EXPECT_EQ(c.message, sheet.Describe().message) << c.name;
            Press(sheet, "cancel");
        }
    }
    Press(sheet, "ok");
    Press(sheet, "apply");
    EXPECT_EQ("VrOPEN=fatal|VrSKIP=display|VrFIND=fatal display|VrADD=|",
              RegistryValue(NodeKey(""), "errorsettings"));
}

TEST(CFolderChooser, ListsDirectoriesAndTheFilesOfItsPattern) {
    RegistryScratch scratch; // only for its directory
    const std::string root = scratch.dir.Path();
    for (const char* directory : {"/b", "/a", "/a/deep"})
        ASSERT_EQ(0, mkdir((root + directory).c_str(), 0700));
    for (const char* file : {"/x.log", "/y.so", "/z.so.3", "/w.txt", "/a/v.log"})
        WriteText(root + file, "");

    struct Case {
        CFolderChooser::Mode mode;
        std::string start;
        std::vector<std::string> entries;
    } cases[] = {
        {CFolderChooser::Mode::Folder, root + "/", {"a/", "b/"}},
        {CFolderChooser::Mode::LogFile, root + "/x.log", {"a/", "b/", "x.log"}},
        {CFolderChooser::Mode::Library, root + "/missing/lib.so", {"a/", "b/", "y.so", "z.so.3"}},
    };
    for (const Case& c : cases) {
        CFolderChooser chooser(c.mode, c.start);
        EXPECT_EQ(root, chooser.Directory());
        std::vector<std::string> entries;
        for (const FormControl& control : chooser.Describe().controls)
            if (control.kind == FormControl::Kind::Button && control.name != kActionField &&
                control.value != "..")
                entries.push_back(control.label);
        EXPECT_EQ(c.entries, entries);
    }
    EXPECT_EQ("/", CFolderChooser(CFolderChooser::Mode::Folder, "relative/path").Directory());

    CFolderChooser folder(CFolderChooser::Mode::Folder, root);
    Submit(folder, "open=a");
    Submit(folder, "open=deep");
    Submit(folder, "open=..");
    EXPECT_EQ(root + "/a", folder.Directory());
    Submit(folder, "open=v.log");
    EXPECT_EQ("v.log is not a directory.", folder.Message());
    EXPECT_EQ(FormStep::Kind::Close, Submit(folder, "ok").kind);
    EXPECT_EQ(root + "/a", folder.Chosen());

    CFolderChooser log(CFolderChooser::Mode::LogFile, root);
    EXPECT_EQ(FormStep::Kind::Close, Submit(log, "ok", {{"filename", "vorn"}}).kind);
    EXPECT_EQ(root + "/vorn.log", log.Chosen());
    CFolderChooser library(CFolderChooser::Mode::Library, root);
    EXPECT_EQ(FormStep::Kind::Close, Submit(library, "choose=z.so.3").kind);
    EXPECT_EQ(root + "/z.so.3", library.Chosen());
}

// Submissions that no form of the tool makes are refused whole.
TEST(ConfigSheet, MalformedSubmissionsChangeNothing) {
    RegistryScratch registry;
    registry.Write(kConfig + "]\nlibraries[] = b,n/a,/lib/b.so\nerrorsettings[] = VrOPEN=fatal\n");
    const std::string file = ReadText(registry.path);
    using Fields = std::vector<std::pair<std::string, std::string>>;
    const std::string huge(1 << 20, '7');
    struct Case {
        const char* opens; // the button that opens the form under test; null: the page
        Fields fields;
    } cases[] = {
        {nullptr, {{"action", "apply"}}},
        {nullptr, {{"vornroot", ""}, {"action", "ok"}}},
        {nullptr, {{"action", "format-disk"}}},
        {nullptr, {}},
        {"libraries", {{"library", "1"}, {"action", "delete"}}},
        {"libraries", {{"library", "-1"}, {"action", "delete"}}},
        {"libraries", {{"library", "0"}, {"library", "0"}, {"action", "delete"}}},
        {"libraries", {{"library", huge}, {"action", "delete"}}},
        {"errorsettings", {{"errorsetting", "x"}, {"action", "delete"}}},
        {"debuglog",
         {{"logfile", ""}, {"logfilter", ""}, {"logcookie", ""}, {"loglevel", "31"}, {"action", "ok"}}},
        {"debuglog", {{"logfile", ""}, {"logfilter", ""}, {"action", "ok"}}},
        {"options",
         {{"posttimeout", "1"}, {"maxpostvars", "1"}, {"securityoptions", "all"}, {"action", "ok"}}},
        {"options", {{"posttimeout", "1"}, {"maxpostvars", "1"}, {"usecookies", "2"}, {"action", "ok"}}},
        {"browse-vornroot", {{"open", "../etc"}}},
        {"browse-vornroot", {{"open", "a/b"}}},
        {"browse-vornroot", {{"open", ""}}},
        {"browse-vornroot", {{"choose", "passwd"}}},
    };
    for (const Case& c : cases) {
        ConfigSheet sheet("");
        if (c.opens) Press(sheet, c.opens, {{"globaltimeout", "77"}});
        Form before = sheet.Describe();
        PostedValues posted;
        for (const auto& field : c.fields)
            posted.Add(field.first, field.second);
        EXPECT_FALSE(sheet.Post(posted)) << (c.opens ? c.opens : "page");
        Form after = sheet.Describe();
        EXPECT_EQ(before.caption, after.caption);
        ASSERT_EQ(before.controls.size(), after.controls.size());
        for (size_t i = 0; i < before.controls.size(); ++i) {
            EXPECT_EQ(before.controls[i].value, after.controls[i].value);
            EXPECT_EQ(before.controls[i].checked, after.controls[i].checked);
        }
        EXPECT_EQ(file, ReadText(registry.path));
    }

    // Huge values are values: a megabyte of digits is no integer in range, a
    // megabyte of text is a path.
    ConfigSheet sheet("");
    Press(sheet, "apply", {{"globaltimeout", huge}});
    EXPECT_EQ("Global Timeout: Please enter an integer between 0 and 2147483647.", sheet.Describe().message);
    Press(sheet, "apply", {{"globaltimeout", "90"}, {"vornroot", "/" + huge}});
    EXPECT_TRUE(RegistryValue(NodeKey(""), "vornroot") == "/" + huge) << sheet.Describe().message;
}

} // namespace
} // namespace vorn::test
