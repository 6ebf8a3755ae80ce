// The node loader and the property page: paths, effective values, the apply
// that writes only what differs, in order, the thread count, the override
// search, and failures that leave the page's values for another try.
#include "tests/snapin/SnapinSupport.h"

#include <sys/stat.h>
#include <unistd.h>

#include "snapin/ConfigNodes.h"
#include "snapin/DirectoryConfigTab.h"

namespace vorn::test {
namespace {

const std::string kConfig = "[SOFTWARE\\Vorn\\Vorn Tevrona NT\\Configuration";
const std::string kProduct = "SOFTWARE\\Vorn\\Vorn Tevrona NT";

std::vector<std::string> FollowUpCaptions(CDirectoryConfigTab& page) {
    std::vector<std::string> texts;
    for (auto& form : page.TakeFollowUps()) {
        auto* overrides = dynamic_cast<COverrideDialog*>(form.get());
        texts.push_back(overrides ? overrides->Text() : form->Describe().caption);
    }
    return texts;
}

// A directory where the registry's lock file goes makes every write fail.
void BlockWrites(const RegistryScratch& registry, bool block) {
    std::string lock = registry.path + ".lock";
    unlink(lock.c_str());
    rmdir(lock.c_str());
    if (block) {
        ASSERT_EQ(0, mkdir(lock.c_str(), 0700));
    }
}

TEST(LadrelLoader, NodePathFormsNameOneKey) {
    RegistryScratch registry;
    struct Case {
        const char* typed;
        const char* key;
    } cases[] = {
        {"/1/ROOT", "1\\ROOT"},
        {"1/ROOT", "1\\ROOT"},
        {"\\1\\ROOT", "1\\ROOT"},
        {"1/ROOT\\app/", "1\\ROOT\\app"},
        {"", ""},
    };
    int32_t number = 0;
    for (const Case& c : cases) {
        std::string path, reason;
        ASSERT_TRUE(NormalizeNodePath(c.typed, true, &path, &reason));
        // The loader takes a leading separator or none.
        for (const std::string& given : {path, path.empty() ? path : "\\" + path}) {
            LadrelLoader loader(given.c_str());
            EXPECT_EQ(NodeKey(c.key), loader.NodeKeyName().Text()) << c.typed;
            ASSERT_TRUE(loader.OpenNodeKey());
            ASSERT_TRUE(loader.WriteInteger("maxfiles", "", ++number));
            loader.CloseNodeKey();
            EXPECT_EQ("dword:" + std::to_string(number), RegistryValue(NodeKey(c.key), "maxfiles"))
                << c.typed;
            loader.Load();
            EXPECT_EQ(number, loader.GetInteger(kConfigMaxFiles)) << c.typed;
        }
    }
}

TEST(DirectoryConfigTab, ShowsTheEffectiveValuesOfANode) {
    RegistryScratch registry;
    registry.Write(kConfig +
                   "]\nglobaltimeout = dword:100\nlogfile = /var/log/vorn.log\nloglevel = dword:48\n" +
                   kConfig + "\\1]\ndatadir = /srv/data\n" + kConfig +
                   "\\1\\ROOT]\nglobaltimeout = dword:120\nlibraries[] = b,ignored,/lib/b.so\n"
                   "libraries[] = c,visa,/lib/c.so\nerrorsettings[] = VrOPEN=fatal\n");
    CDirectoryConfigTab page("1\\ROOT\\app"); // a node without a key of its own
    page.OnInitDialog();
    const std::pair<const char*, const char*> edits[] = {
        {"vornroot", ""},
        {"datadir", "/srv/data"},
        {"cadir", ""},
        {"globaltimeout", "120"},
        {"mailtimeout", "30"},
        {"calltimeout", "30"},
        {"serveradmin", "webmaster@localhost"},
        {"Threads", "2"},
    };
    for (const auto& [name, text] : edits)
        EXPECT_EQ(text, *page.EditText(name)) << name;
    const std::pair<const char*, int32_t> numbers[] = {{"usecookies", 1},
                                                       {"loglevel", 48},
                                                       {"securityoptions", 0},
                                                       {"posttimeout", 30},
                                                       {"maxpostvars", 2000}};
    for (const auto& [name, number] : numbers)
        EXPECT_EQ(number, page.Integer(name)) << name;
    EXPECT_STREQ("/var/log/vorn.log", page.Text("logfile").Text());
    EXPECT_STREQ("", page.Text("logcookie").Text());

    std::vector<std::string> libraries;
    List<ISAPILibrary>& list = page.Loader().Libraries();
    for (ISAPILibrary* entry = list.First(); entry; entry = list.Next())
        libraries.push_back(std::to_string(entry->kind) + " " + entry->method.Text() + " " +
                            entry->path.Text());
    EXPECT_EQ((std::vector<std::string>{"0 n/a /lib/b.so", "2 visa /lib/c.so"}), libraries);
    ASSERT_EQ(1, page.Loader().ErrorSettings().Count());
    EXPECT_STREQ("fatal", page.Loader().ErrorSettings().First()->value.Text());
}

TEST(DirectoryConfigTab, ApplyWritesWhatDiffersIntoTheNodeInTheTableOrder) {
    RegistryScratch registry;
    // A child that sets every value makes each write offer an override, in the order written.
    std::string child = kConfig + "\\n\\c]\n";
    for (const PageSetting& setting : kPageSettings)
        child +=
            std::string(setting.valueName) + (IsConfigTextItem(setting.item) ? " = x\n" : " = dword:7\n");
    registry.Write(kConfig + "]\nglobaltimeout = dword:120\n" + kConfig + "\\n]\n" + child);

    CDirectoryConfigTab page("n");
    page.OnInitDialog();
    EXPECT_EQ("120", *page.EditText("globaltimeout"));
    page.SetEditText("calltimeout", "31");
    page.SetEditText("serveradmin", "root@example.org");
    page.SetEditText("vornroot", "/srv/scripts");
    auto log = page.OpenDebugLog();
    log->logFilter = String("VrDO");
    ASSERT_TRUE(log->Ok());
    page.ChildClosed(*log, true);
    auto options = page.OpenOptions();
    options->postTimeoutText = "45";
    ASSERT_TRUE(options->Ok());
    page.ChildClosed(*options, true);
    ASSERT_TRUE(page.Apply()) << page.Message();

    std::vector<std::string> expected;
    for (const char* display :
         {"Vorn Root Directory", "Server Administrator", "Call Timeout", "Log Filter", "POST Timeout"})
        expected.push_back(
            std::string("The following child nodes also define the value of the \"") + display +
            "\" property, which overrides the value you have just set.  Please select from the "
            "list below those nodes which should use the new value.");
    EXPECT_EQ(expected, FollowUpCaptions(page));
    const std::map<std::string, std::string> written = {{"vornroot", "/srv/scripts"},
                                                        {"serveradmin", "root@example.org"},
                                                        {"calltimeout", "dword:31"},
                                                        {"logfilter", "VrDO"},
                                                        {"posttimeout", "dword:45"}};
    for (const PageSetting& setting : kPageSettings) {
        auto found = written.find(setting.valueName);
        EXPECT_EQ(found == written.end() ? std::nullopt : std::optional<std::string>(found->second),
                  RegistryValue(NodeKey("n"), setting.valueName))
            << setting.valueName;
    }
    // Applying again finds nothing to write.
    ASSERT_TRUE(page.Apply());
    EXPECT_TRUE(FollowUpCaptions(page).empty());
}

TEST(DirectoryConfigTab, ApplyComparesWithTheNodesEffectiveValue) {
    RegistryScratch registry;
    registry.Write(kConfig + "\\1]\nglobaltimeout = dword:120\n");
    CDirectoryConfigTab inherited("1\\ROOT");
    inherited.OnInitDialog();
    EXPECT_EQ("120", *inherited.EditText("globaltimeout"));
    auto libraries = inherited.OpenLibraries();
    libraries->Delete(); // nothing selected: refused
    libraries->Cancel();
    inherited.ChildClosed(*libraries, false);
    ASSERT_TRUE(inherited.Apply());
    for (const char* name : {"globaltimeout", "libraries", "errorsettings", "usecookies"})
        EXPECT_EQ(std::nullopt, RegistryValue(NodeKey("1\\ROOT"), name)) << name;

    // The default 90, then 60 on the node, then 90 again: the node's own value now.
    CDirectoryConfigTab page("2");
    page.OnInitDialog();
    EXPECT_EQ("90", *page.EditText("globaltimeout"));
    for (const char* typed : {"60", "90"}) {
        page.SetEditText("globaltimeout", typed);
        ASSERT_TRUE(page.Apply());
        EXPECT_EQ(std::string("dword:") + typed, RegistryValue(NodeKey("2"), "globaltimeout"));
        EXPECT_EQ(std::nullopt, RegistryValue(NodeKey(""), "globaltimeout"));
    }
}

TEST(DirectoryConfigTab, ThreadsLiveInTheProductKeyBetweenOneAndAHundred) {
    struct Case {
        const char* stored; // null: no value
        const char* shown;
        const char* typed;
        bool applied;
        const char* after;
        const char* message;
    } cases[] = {
        {nullptr, "2", "2", true, nullptr, ""},
        {"0", "2", "2", true, "dword:0", ""},
        {"2", "2", "4", true, "dword:4", ""},
        {nullptr, "2", "0", false, nullptr, "Threads: Please enter an integer between 1 and 100."},
        {nullptr, "2", "101", false, nullptr, "Threads: Please enter an integer between 1 and 100."},
        {"8", "8", "many", false, "dword:8", "Threads: Please enter an integer."},
        {"8", "8", "100", true, "dword:100", ""},
    };
    for (const Case& c : cases) {
        RegistryScratch registry;
        registry.Write(c.stored ? "[" + kProduct + "]\nThreads = dword:" + c.stored + "\n" : "");
        CDirectoryConfigTab page("1");
        page.OnInitDialog();
        EXPECT_EQ(c.shown, *page.EditText("Threads")) << c.typed;
        page.SetEditText("Threads", c.typed);
        EXPECT_EQ(c.applied, page.Apply()) << c.typed;
        EXPECT_EQ(c.message, page.Message()) << c.typed;
        EXPECT_EQ(c.after ? std::optional<std::string>(c.after) : std::nullopt,
                  RegistryValue(kProduct, "Threads"));
        EXPECT_EQ(std::nullopt, RegistryValue(NodeKey("1"), "Threads"));
        bool warned = c.applied && std::string(c.shown) != c.typed;
        auto followUps = page.TakeFollowUps();
        ASSERT_EQ(warned ? 1u : 0u, followUps.size()) << c.typed;
        if (warned) {
            Form box = followUps[0]->Describe();
            EXPECT_EQ("Warning", box.caption);
            EXPECT_EQ(kThreadsWarning, box.controls[0].label);
        }
    }
}

TEST(DirectoryConfigTab, OverridesOfChildrenAreOfferedAndDeletedAsChosen) {
    RegistryScratch registry;
    struct Case {
        std::vector<int32_t> chosen;
        const char* root;
        const char* app;
        const char* slashed;
    } cases[] = {
        {{1}, "dword:50", nullptr, "dword:80"},
        {{}, "dword:50", "dword:70", "dword:80"},
        {{0, 1, 2}, nullptr, nullptr, nullptr},
    };
    int32_t timeout = 60;
    for (const Case& c : cases) {
        registry.Write(kConfig + "\\ROOT]\nglobaltimeout = dword:50\nlibraries[] = b,n/a,/lib/own.so\n" +
                       kConfig + "\\ROOT\\app]\nglobaltimeout = dword:70\n" + kConfig +
                       "\\a/b]\nglobaltimeout = dword:80\n");
        CDirectoryConfigTab page("");
        page.OnInitDialog();
        page.SetEditText("globaltimeout", std::to_string(++timeout));
        auto libraries = page.OpenLibraries();
        auto add = libraries->Add();
        add->path = "/lib/x.so";
        ASSERT_TRUE(add->Ok());
        libraries->ChildClosed(*add, true);
        page.ChildClosed(*libraries, true);
        ASSERT_TRUE(page.Apply());
        // The list written offers no overrides, though ROOT holds its own.
        auto followUps = page.TakeFollowUps();
        ASSERT_EQ(1u, followUps.size());
        auto& dialog = static_cast<COverrideDialog&>(*followUps[0]);
        Form form = dialog.Describe();
        ASSERT_EQ(3u, form.controls[1].rows.size());
        EXPECT_EQ("ROOT", form.controls[1].rows[0].cells[0]);
        EXPECT_EQ("ROOT/app", form.controls[1].rows[1].cells[0]);
        EXPECT_EQ("a/b", form.controls[1].rows[2].cells[0]);
        ASSERT_TRUE(dialog.Select(c.chosen));
        EXPECT_TRUE(dialog.Ok()) << dialog.Message();
        auto expect = [](const char* value) {
            return value ? std::optional<std::string>(value) : std::nullopt;
        };
        EXPECT_EQ(expect(c.root), RegistryValue(NodeKey("ROOT"), "globaltimeout"));
        EXPECT_EQ(expect(c.app), RegistryValue(NodeKey("ROOT\\app"), "globaltimeout"));
        EXPECT_EQ(expect(c.slashed), RegistryValue(NodeKey("a/b"), "globaltimeout"));
        EXPECT_EQ("b,n/a,/lib/own.so|", RegistryValue(NodeKey("ROOT"), "libraries"));
        EXPECT_EQ("dword:" + std::to_string(timeout), RegistryValue(NodeKey(""), "globaltimeout"));
    }
}

TEST(DirectoryConfigTab, FailedWritesAreReportedAndThePageKeepsItsValues) {
    RegistryScratch registry;
    registry.Write(kConfig + "\\ROOT]\ndatadir = /old\n" + kConfig + "\\ROOT\\app]\ndatadir = /app\n[" +
                   kProduct + "]\nThreads = dword:2\n");
    CDirectoryConfigTab page("ROOT");
    page.OnInitDialog();
    page.SetEditText("datadir", "/new");
    page.SetEditText("globaltimeout", "61");
    page.SetEditText("Threads", "3");
    auto errors = page.OpenErrorSettings();
    auto add = std::make_unique<CErrorSettingEditDialog>();
    add->name = "VrOPEN";
    add->value = "fatal";
    ASSERT_TRUE(add->Ok());
    errors->ChildClosed(*add, true);
    page.ChildClosed(*errors, true);

    // Every write now fails: the registry's lock file is a folder.
    BlockWrites(registry, true);
    EXPECT_FALSE(page.Apply());
    const std::string in = "\" in " + registry.path + ": Is a directory";
    EXPECT_EQ("Unable to write the value \"datadir" + in + "\nUnable to write the value \"globaltimeout" + in +
                  "\nUnable to write the value \"errorsettings" + in + "\nUnable to write the value \"Threads" + in,
              page.Message());
    EXPECT_TRUE(page.Modified());
    EXPECT_TRUE(page.ErrorSettingsChanged());
    EXPECT_EQ(1, page.Loader().ErrorSettings().Count());
    EXPECT_TRUE(page.TakeFollowUps().empty());

    BlockWrites(registry, false);
    ASSERT_TRUE(page.Apply()) << page.Message();
    EXPECT_EQ("/new", RegistryValue(NodeKey("ROOT"), "datadir"));
    EXPECT_EQ("dword:61", RegistryValue(NodeKey("ROOT"), "globaltimeout"));
    EXPECT_EQ("VrOPEN=fatal|", RegistryValue(NodeKey("ROOT"), "errorsettings"));
    EXPECT_EQ("dword:3", RegistryValue(kProduct, "Threads"));
    auto followUps = page.TakeFollowUps();
    ASSERT_EQ(2u, followUps.size()); // the override of ROOT/app, then the warning

    // A deletion that fails names the path; the choice stays for another try.
    auto& overrides = static_cast<COverrideDialog&>(*followUps[0]);
    overrides.SelectAll();
    BlockWrites(registry, true);
    EXPECT_FALSE(overrides.Ok());
    EXPECT_EQ("Unable to delete the value \"datadir\" of app in " + registry.path + ": Is a directory",
              overrides.Message());
    BlockWrites(registry, false);
    EXPECT_TRUE(overrides.Ok());
    EXPECT_EQ(std::nullopt, RegistryValue(NodeKey("ROOT\\app"), "datadir"));

    // A node key that cannot be created writes nothing and says why.
    RegistryScratch missing;
    const std::string nowhere = missing.dir / "no/such/registry.conf";
    setenv(platform::kRegistryPathVariable, nowhere.c_str(), 1);
    CDirectoryConfigTab unreachable("x");
    unreachable.OnInitDialog();
    unreachable.SetEditText("globaltimeout", "5");
    EXPECT_FALSE(unreachable.Apply());
    EXPECT_EQ("Unable to open the key \"SOFTWARE\\Vorn\\Vorn Tevrona NT\\Configuration\\x\" in " + nowhere +
                  ": No such file or directory",
              unreachable.Message());
}

TEST(ConfigSheet, PageOkClosesAfterTheFormsThatFollowTheApply) {
    RegistryScratch registry;
    registry.Write(kConfig + "\\n\\c]\nmailtimeout = dword:5\n");
    ConfigSheet sheet("n");
    Press(sheet, "options");
    EXPECT_EQ("Options", sheet.Describe().caption);
    Press(sheet, "cancel", {{"posttimeout", "1"}});
    Press(sheet, "ok", {{"mailtimeout", "12"}, {"Threads", "5"}});
    EXPECT_EQ("Inheritance Overrides", sheet.Describe().caption);
    Press(sheet, "ok", {}, {{"child-0", true}});
    EXPECT_EQ("Warning", sheet.Describe().caption);
    EXPECT_FALSE(sheet.Closed());
    Press(sheet, "ok");
    EXPECT_TRUE(sheet.Closed());
    EXPECT_EQ("dword:12", RegistryValue(NodeKey("n"), "mailtimeout"));
    EXPECT_EQ(std::nullopt, RegistryValue(NodeKey("n\\c"), "mailtimeout"));
    EXPECT_EQ(std::nullopt, RegistryValue(NodeKey("n"), "posttimeout"));

    // A refused edit keeps the page open with its message; Cancel closes without writing.
    ConfigSheet other("m");
    Press(other, "ok", {{"calltimeout", "-1"}});
    EXPECT_FALSE(other.Closed());
    EXPECT_EQ("Call Timeout: Please enter an integer between 0 and 2147483647.", other.Describe().message);
    Press(other, "cancel", {{"calltimeout", "3"}});
    EXPECT_TRUE(other.Closed());
    EXPECT_EQ(std::nullopt, RegistryValue(NodeKey("m"), "calltimeout"));
}

TEST(ConfigNodes, TheTreeAndTypedPaths) {
    RegistryScratch registry;
    registry.Write(kConfig + "\\1\\ROOT\\shop]\nx = 1\n" + kConfig + "\\1\\ROOT\\blog]\nx = 1\n" + kConfig +
                   "\\2]\nx = 1\n[" + kProduct + "\\Other]\nx = 1\n");
    std::vector<std::string> tree;
    for (const ConfigNode& node : ListConfigNodes())
        tree.push_back(std::to_string(node.depth) + " " + node.name + " " + node.path);
    EXPECT_EQ((std::vector<std::string>{"0 Configuration ", "1 1 1", "2 ROOT 1\\ROOT", "3 shop 1\\ROOT\\shop",
                                        "3 blog 1\\ROOT\\blog", "1 2 2"}),
              tree);

    struct Case {
        std::string typed;
        const char* path; // null: refused
    } cases[] = {
        {"/1/ROOT/", "1\\ROOT"},
        {"1\\\\ROOT//app", "1\\ROOT\\app"},
        {"", ""},
        {"/", ""},
        {"a b/c.d", "a b\\c.d"},
        {"1/ROOT ", nullptr},
        {" 1", nullptr},
        {"a[1]", nullptr},
        {std::string("a\0b", 3), nullptr},
        {"x\ty", nullptr},
        {std::string(255, 'k'), nullptr},
        {std::string(256, 'k'), nullptr},
    };
    cases[10].path = cases[10].typed.c_str();
    for (const Case& c : cases) {
        std::string path, reason;
        EXPECT_EQ(c.path != nullptr, NormalizeNodePath(c.typed, true, &path, &reason)) << c.typed;
        if (c.path)
            EXPECT_EQ(c.path, path);
        else
            EXPECT_FALSE(reason.empty());
    }
    std::string path, reason;
    ASSERT_TRUE(NormalizeNodePath("\\a/b\\c", false, &path, &reason)); // a key's name may hold '/'
    EXPECT_EQ("a/b\\c", path);
}

} // namespace
} // namespace vorn::test
