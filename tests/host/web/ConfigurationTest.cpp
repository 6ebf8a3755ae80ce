#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "database/library/ExternalDatabaseLibraryManager.h"
#include "engine/foundation/TagLookup.h"
#include "host/plugin/CommerceLibrary.h"
#include "host/plugin/SystemLibrary.h"
#include "host/web/ISAPIBaseConfig.h"
#include "tests/host/base/HostServicesSupport.h"

namespace vorn {
namespace {

using test::FakeRequest;
using test::RegistryScratch;

// A site with settings on every level of the walk.
const char kSite[] = "[SOFTWARE\\Vorn\\Vorn Tevrona NT\\Configuration]\n"
                     "vornroot = /root0\n"
                     "datadir = /data0\n"
                     "globaltimeout = dword:10\n"
                     "libraries[] = b,,/lib/base.so\n"
                     "libraries[] = d,xbase,/lib/base-db.so\n"
                     "errorsettings[] = VrOPEN=display\n"
                     "[SOFTWARE\\Vorn\\Vorn Tevrona NT\\Configuration\\1]\n"
                     "calltimeout = dword:20\n"
                     "[SOFTWARE\\Vorn\\Vorn Tevrona NT\\Configuration\\1\\ROOT]\n"
                     "mailtimeout = 33\n"
                     "posttimeout = thirty\n"
                     "maxfiles = []\n"
                     "datadir = dword:5\n"
                     "[SOFTWARE\\Vorn\\Vorn Tevrona NT\\Configuration\\1\\ROOT\\shop]\n"
                     "libraries[] = database,sqldb,/lib/sql.so\n"
                     "libraries[] = c, visa , /lib/visa,v2.so\n"
                     "libraries[] = s,util,/lib/util.so\n"
                     "libraries[] = x,ignored,/lib/x.so\n"
                     "libraries[] = b,one comma only\n"
                     "libraries[] = B,name,/lib/fn.so\n"
                     "libraries[] = d,second,/lib/second.so\n"
                     "errorsettings[] = VrSKIP=fatal,display\n"
                     "errorsettings[] = vrfind = Display\n"
                     "errorsettings[] = VrGO=nonfatal displayed\n"
                     "errorsettings[] = VrADD=fatal\n"
                     "errorsettings[] = NoSuchTag=fatal\n"
                     "errorsettings[] = no equals sign\n"
                     "[SOFTWARE\\Vorn\\Vorn Tevrona NT\\Configuration\\1\\ROOT\\shop\\index.vrc]\n"
                     "globaltimeout = dword:99\n"
                     "logfile = \"\"\n"
                     "commercedir = /commerce\n"
                     "[SOFTWARE\\Vorn\\Vorn Tevrona NT\\Configuration\\1\\ROOT\\other]\n"
                     "globaltimeout = dword:55\n"
                     "libraries = []\n";

// Records where each "libraries" and "errorsettings" entry went.
class RecordingConfig : public ISAPIBaseConfig {
  public:
    int32_t RegisterBuiltinLibrary(const char* path) override { return Note("b:" + std::string(path)); }
    int32_t RegisterCommerceLibrary(const char* name, const char* path) override {
        return Note("c:" + std::string(name) + ":" + path);
    }
    int32_t RegisterDatabaseLibrary(const char* name, const char* path) override {
        return Note("d:" + std::string(name) + ":" + path);
    }
    int32_t RegisterSystemLibrary(const char* name, const char* path) override {
        return Note("s:" + std::string(name) + ":" + path);
    }
    void SetTagErrorSetting(const char* name, const char* flags) override {
        Note("e:" + std::string(name) + ":" + flags);
    }
    int32_t Note(const std::string& call) {
        calls.push_back(call);
        return 1;
    }
    std::vector<std::string> calls;
};

const std::vector<std::string> kShopCalls = {
    "d:sqldb:/lib/sql.so", "c:visa:/lib/visa,v2.so", "s:util:/lib/util.so", "b:/lib/fn.so",
    "d:second:/lib/second.so", "e:VrSKIP:fatal,display", "e:vrfind: Display", "e:VrGO:nonfatal displayed",
    "e:VrADD:fatal", "e:NoSuchTag:fatal"};
const std::vector<std::string> kSiteCalls = {"b:/lib/base.so", "d:xbase:/lib/base-db.so", "e:VrOPEN:display"};

TEST(RegistryConfiguration, TheMostSpecificKeyOfTheWalkWins) {
    RegistryScratch registry;
    registry.Write(kSite);
    struct Case {
        const char* metabasePath; // null: the server has none
        const char* pathInfo;
        int32_t global, call, mail, post;
        std::vector<std::string> calls;
    } cases[] = {
        {"/LM/W3SVC/1/ROOT", "/shop/index.vrc", 99, 20, 33, 30, kShopCalls},
        {"/LM/W3SVC/1/ROOT", "/SHOP/Index.VRC", 99, 20, 33, 30, kShopCalls},
        {"/LM/W3SVC/1/ROOT", "/shop/other.vrc", 10, 20, 33, 30, kShopCalls},
        // An empty list on a directory still replaces the site's list.
        {"/LM/W3SVC/1/ROOT", "/other/x.vrc", 55, 20, 33, 30, {"e:VrOPEN:display"}},
        {"/LM/W3SVC/1/ROOT", "/shop/", 10, 20, 33, 30, kShopCalls},
        {"/LM/W3SVC/2/ROOT", "/shop/index.vrc", 10, 30, 30, 30, kSiteCalls},
        {nullptr, "/1/ROOT/shop/index.vrc", 99, 20, 33, 30, kShopCalls},
        {"/1", "/ROOT/shop/index.vrc", 99, 20, 33, 30, kShopCalls}, // shorter than 10: whole
        {"/LM/W3SVC/", nullptr, 10, 30, 30, 30, kSiteCalls},
        {nullptr, nullptr, 10, 30, 30, 30, kSiteCalls},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.metabasePath ? c.metabasePath : "(none)") + " " + (c.pathInfo ? c.pathInfo : ""));
        std::map<std::string, std::string> variables;
        if (c.metabasePath) variables["APPL_MD_PATH"] = c.metabasePath;
        FakeRequest request(variables, c.pathInfo);

        // The request path as Ladrel builds it, walked by the recording configuration.
        std::string path = c.metabasePath ? c.metabasePath : "";
        path = path.size() >= 10 ? path.substr(10) : path;
        path += c.pathInfo ? c.pathInfo : "";
        for (char& ch : path) ch = ch == '/' ? '\\' : ch;
        RecordingConfig recorded;
        recorded.LoadRegistry(path.c_str(), -1);
        EXPECT_EQ(recorded.calls, c.calls);

        Ladrel config(nullptr, &request.block, nullptr, nullptr, nullptr, nullptr);
        config.LoadForRequest();
        EXPECT_EQ(config.GetInteger(kConfigGlobalTimeout), c.global);
        EXPECT_EQ(config.GetInteger(kConfigCallTimeout), c.call);
        EXPECT_EQ(config.GetInteger(kConfigMailTimeout), c.mail);
        EXPECT_EQ(config.GetInteger(kConfigPostTimeout), c.post); // "thirty" is not read
        EXPECT_EQ(config.GetInteger(kConfigMaxFiles), 0);         // nor is a list where a number goes
        EXPECT_STREQ(config.GetText(kConfigVornRoot), "/root0");
        EXPECT_STREQ(config.GetText(kConfigDataDir), "/data0"); // nor a number where a text goes
    }
}

TEST(RegistryConfiguration, LadrelRoutesEntriesToTheRequest) {
    RegistryScratch registry;
    registry.Write(kSite);
    test::ConfiguredApplication application;
    CommerceLibraryManager commerce(&application);
    SystemLibraryManager systems(&application);
    ExternalDatabaseLibraryManager databaseLibraries(&application);
    FakeRequest request({{"APPL_MD_PATH", "/LM/W3SVC/1/ROOT"}}, "/shop/index.vrc");
    Ladrel config(&application, &request.block, nullptr, &commerce, &databaseLibraries, &systems);
    config.LoadForRequest();

    // Texts: an empty one is stored empty, with length 0.
    ASSERT_NE(config.GetText(kConfigLogFile), nullptr);
    EXPECT_STREQ(config.GetText(kConfigLogFile), "");
    EXPECT_STREQ(config.GetText(kConfigCommerceDir), "/commerce");

    // Database libraries reach the request's manager in order.
    std::vector<std::string> databases;
    for (int32_t i = 0, length = 0; const char* type = databaseLibraries.ConfiguredLibraryName(i, &length); ++i)
        databases.emplace_back(type, static_cast<size_t>(length));
    EXPECT_EQ(databases, (std::vector<std::string>{"sqldb", "second"}));
    EXPECT_TRUE(commerce.IsLibraryConfigured("VISA", -1));
    EXPECT_TRUE(systems.IsLibraryConfigured("util", -1));
    EXPECT_FALSE(systems.IsLibraryConfigured("ignored", -1));

    // Error settings: whole lower-case words only; unknown tags store nothing.
    const TagErrorTable defaults;
    const TagErrorTable* tags = config.TagErrors();
    EXPECT_EQ(tags->rows[kTagSkip].setting, 3u);
    EXPECT_EQ(tags->rows[kTagFind].setting, 0u);
    EXPECT_EQ(tags->rows[kTagGo].setting, 0u);
    EXPECT_EQ(tags->rows[kTagAdd].setting, 2u);
    EXPECT_EQ(tags->rows[kTagOpen].setting, defaults.rows[kTagOpen].setting); // the site's list was replaced
    int changed = 0;
    for (int i = 0; i < kTagErrorRows; ++i) changed += tags->rows[i].setting != defaults.rows[i].setting;
    EXPECT_LE(changed, 4);
}

TEST(RegistryConfiguration, ErrorSettingWordsCountWhole) {
    struct Case {
        const char* flags;
        uint32_t setting;
    } cases[] = {{"fatal,display", 3}, {"display fatal", 3}, {"fatal", 2},  {"display", 1},
                 {"Display", 0},       {"FATAL", 0},         {"nonfatal", 0}, {"fatality;displayed", 0},
                 {"x-fatal-y", 2},     {"", 0},              {nullptr, 0},    {"display,display", 1}};
    for (const Case& c : cases) EXPECT_EQ(TagErrorSettingOf(c.flags), c.setting) << (c.flags ? c.flags : "null");
}

// The walk reads each item under its registry name, as its type, and no item
// the registry does not carry (not even under its member name).
TEST(RegistryConfiguration, EveryItemTheRegistryCarriesIsReadByItsName) {
    RegistryScratch registry;
    std::string key = "[SOFTWARE\\Vorn\\Vorn Tevrona NT\\Configuration]\n";
    for (const ConfigItemInfo& item : kConfigItems) {
        const char* name = item.registryName ? item.registryName : item.memberName;
        key += std::string(name) + (IsConfigIntegerItem(item.id) ? " = dword:4242\n" : " = /set\n");
    }
    registry.Write(key);
    RecordingConfig config;
    config.LoadRegistry(nullptr, 0);
    for (const ConfigItemInfo& item : kConfigItems) {
        SCOPED_TRACE(item.memberName);
        Config defaults;
        if (IsConfigIntegerItem(item.id)) {
            EXPECT_EQ(config.GetInteger(item.id), item.registryName ? 4242 : defaults.GetInteger(item.id));
        } else {
            const char* fallback = defaults.GetText(item.id);
            EXPECT_STREQ(config.GetText(item.id), item.registryName ? "/set" : fallback);
        }
    }
}

TEST(RegistryConfiguration, ProductSettings) {
    RegistryScratch registry;
    struct Case {
        const char* lines;
        int32_t threads;
        const char* ssl;
        const char* crypto;
    } cases[] = {
        {"", 2, "libssl.so.3", "libcrypto.so.3"},
        {"Threads = dword:0\n", 2, "libssl.so.3", "libcrypto.so.3"},
        {"Threads = dword:1\n", 1, "libssl.so.3", "libcrypto.so.3"},
        {"Threads = dword:100\n", 100, "libssl.so.3", "libcrypto.so.3"},
        {"Threads = dword:101\n", 100, "libssl.so.3", "libcrypto.so.3"},
        {"Threads = dword:-1\n", 100, "libssl.so.3", "libcrypto.so.3"},
        {"Threads = 7\n", 7, "libssl.so.3", "libcrypto.so.3"},
        {"Threads = seven\n", 2, "libssl.so.3", "libcrypto.so.3"},
        {"ssl_openssl = /opt/ssl.so\nssl_crypto = /opt/crypto.so\n", 2, "/opt/ssl.so", "/opt/crypto.so"},
        {"ssl_openssl = \"\"\nssl_crypto = dword:1\n", 2, "libssl.so.3", "libcrypto.so.3"},
    };
    for (const Case& c : cases) {
        registry.Write(std::string("[SOFTWARE\\Vorn\\Vorn Tevrona NT]\n") + c.lines);
        ProductSettings settings;
        ReadProductSettings(settings);
        EXPECT_EQ(settings.threads, c.threads) << c.lines;
        EXPECT_STREQ(settings.sslLibrary.Text(), c.ssl) << c.lines;
        EXPECT_STREQ(settings.cryptoLibrary.Text(), c.crypto) << c.lines;
    }
}

TEST(RegistryConfiguration, ServerVariablesShortInOneCallLongInTwo) {
    // Lengths around the first buffer's 256 bytes, the NUL included.
    const std::string fits(255, 'f'), over(256, 'o'), long_(5000, 'l');
    FakeRequest request({{"EMPTY", ""}, {"NAME", "value"}, {"FITS", fits}, {"OVER", over}, {"LONG", long_}});
    struct Case {
        const char* name;
        const char* value; // null: none
    } cases[] = {{"NAME", "value"}, {"EMPTY", ""},          {"MISSING", nullptr},
                 {"FITS", fits.c_str()}, {"OVER", over.c_str()}, {"LONG", long_.c_str()}};
    for (const Case& c : cases) {
        ServerText text = ReadServerVariable(&request.block, c.name);
        if (c.value) {
            ASSERT_NE(text, nullptr) << c.name;
            EXPECT_STREQ(text.get(), c.value);
        } else {
            EXPECT_EQ(text, nullptr) << c.name;
        }
    }
    EXPECT_EQ(ReadServerVariable(nullptr, "NAME"), nullptr);
}

} // namespace
} // namespace vorn
