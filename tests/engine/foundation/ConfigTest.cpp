#include "engine/foundation/Config.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

using namespace vorn;

namespace {

char* Owned(const char* s) {
    char* p = static_cast<char*>(std::malloc(std::strlen(s) + 1));
    std::strcpy(p, s);
    return p;
}

struct Inspect : Config {
    const ConfigValue* Stored(uint32_t id) const { return values_.FindId(id); }
};

} // namespace

TEST(Config, EveryItemAnswersItsDefault) {
    Inspect c;
    EXPECT_EQ(kConfigItemCount, 37);
    for (const ConfigItemInfo& info : kConfigItems) {
        SCOPED_TRACE(info.memberName);
        if (IsConfigIntegerItem(info.id)) {
            EXPECT_EQ(c.GetInteger(info.id), info.defaultInteger);
            EXPECT_EQ(c.GetText(info.id), nullptr);
        } else {
            const char* text = c.GetText(info.id);
            if (info.defaultText)
                EXPECT_STREQ(text, info.defaultText);
            else
                EXPECT_EQ(text, nullptr);
            EXPECT_EQ(c.GetInteger(info.id), -1);
        }
    }
    EXPECT_EQ(c.GetInteger(kConfigOutputFlushSize), 1048576);
    EXPECT_EQ(c.GetInteger(kConfigUseSni), -1); // a real default, stored like the others
    EXPECT_NE(c.Stored(kConfigUseSni), nullptr);
    EXPECT_STREQ(c.GetText(kConfigServerAdmin), "webmaster@localhost");
    // Ids that are no item.
    EXPECT_EQ(c.GetInteger(0x1000001), -1);
    EXPECT_EQ(c.GetText(0x2000005), nullptr);
    EXPECT_EQ(c.DefaultValue(0x2000001), nullptr);
}

TEST(Config, DefaultsAreStoredOnFirstReadAndReplacedBySet) {
    Inspect c;
    EXPECT_EQ(c.Stored(kConfigGlobalTimeout), nullptr);
    EXPECT_EQ(c.GetInteger(kConfigGlobalTimeout), 90);
    const ConfigValue* v = c.Stored(kConfigGlobalTimeout);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->Integer(), 90);
    EXPECT_EQ(v->Text(), nullptr);
    EXPECT_EQ(c.SetInteger(kConfigGlobalTimeout, 0), 1);
    EXPECT_EQ(c.GetInteger(kConfigGlobalTimeout), 0);

    // A text item without a default stores nothing when read.
    EXPECT_EQ(c.GetText(kConfigVornRoot), nullptr);
    EXPECT_EQ(c.Stored(kConfigVornRoot), nullptr);
    EXPECT_EQ(c.SetText(kConfigVornRoot, "C:/site", -1, false), 1);
    EXPECT_STREQ(c.GetText(kConfigVornRoot), "C:/site");
    EXPECT_EQ(c.Stored(kConfigVornRoot)->Length(), 7);
    EXPECT_EQ(c.Stored(kConfigVornRoot)->Integer(), 0);
}

TEST(Config, WrongTypesAreRefused) {
    Inspect c;
    EXPECT_EQ(c.GetInteger(kConfigDefaultFile), -1);
    EXPECT_EQ(c.GetText(kConfigGlobalTimeout), nullptr);
    EXPECT_EQ(c.SetInteger(kConfigVornRoot, 5), 0);
    EXPECT_EQ(c.Stored(kConfigVornRoot), nullptr);
    char* text = Owned("x");
    EXPECT_EQ(c.SetText(kConfigGlobalTimeout, text, -1, true), 0);
    EXPECT_EQ(c.Stored(kConfigGlobalTimeout), nullptr);
    std::free(text); // refused: still ours
}

TEST(Config, OwnedTextsAreFreedOnceWhenReplaced) {
    static const char kStatic[] = "not owned";
    {
        Inspect c;
        EXPECT_EQ(c.SetText(kConfigLogFile, Owned("first.log"), -1, true), 1);
        EXPECT_EQ(c.SetText(kConfigLogFile, Owned("second.log"), 10, true), 1); // frees the first
        EXPECT_STREQ(c.GetText(kConfigLogFile), "second.log");
        // Storing the very same owned text again must not free it.
        char* same = const_cast<char*>(c.GetText(kConfigLogFile));
        EXPECT_EQ(c.SetText(kConfigLogFile, same, -1, true), 1);
        EXPECT_STREQ(c.GetText(kConfigLogFile), "second.log");
        EXPECT_EQ(c.SetText(kConfigLogFilter, kStatic, -1, false), 1);
        EXPECT_EQ(c.SetText(kConfigLogFilter, kStatic, -1, false), 1);
        EXPECT_EQ(c.GetText(kConfigLogFilter), kStatic);
        EXPECT_EQ(c.SetText(kConfigLogCookie, nullptr, -1, false), 1);
        EXPECT_EQ(c.GetText(kConfigLogCookie), nullptr);
    }
    // The store's destructor freed "second.log"; the sanitizer reports any
    // leak or double free.
    EXPECT_STREQ(kStatic, "not owned");
}

TEST(Config, ValuesAreKeyedByTheIdAsASignedInteger) {
    ConfigValueTable table;
    ConfigValue low(0x1000007, 1), high(0x81000007u, 2), text(0x2000007, "t", -1, false);
    EXPECT_EQ(table.CompareItems(&high, &low), -1); // negative as a signed id
    EXPECT_EQ(table.CompareItems(&low, &text), -1);
    EXPECT_EQ(table.CompareItems(&low, &low), 0);
    // The bucket is the case-insensitive hash of the id's little-endian bytes.
    const unsigned char bytes[4] = {0x07, 0x00, 0x00, 0x01};
    EXPECT_EQ(table.HashItem(&low), static_cast<int32_t>(HashLookup2NoCase(bytes, 4, 0) & 4095));
    table.Insert(new ConfigValue(0x1000041, 7)); // 'A' folds with 'a' in the hash
    table.Insert(new ConfigValue(0x1000061, 8));
    EXPECT_EQ(table.FindId(0x1000041)->Integer(), 7);
    EXPECT_EQ(table.FindId(0x1000061)->Integer(), 8);
    delete table.RemoveId(0x1000041);
    EXPECT_EQ(table.FindId(0x1000041), nullptr);
    EXPECT_EQ(table.FindId(0x1000061)->Integer(), 8);
}

TEST(Config, ItemTableNamesEveryIdOnce) {
    std::set<uint32_t> ids;
    std::set<std::string> members;
    int registry = 0;
    for (const ConfigItemInfo& info : kConfigItems) {
        EXPECT_TRUE(IsConfigIntegerItem(info.id) != IsConfigTextItem(info.id));
        ids.insert(info.id);
        members.insert(info.memberName);
        if (info.registryName) ++registry;
        EXPECT_EQ(FindConfigItem(info.id), &info);
    }
    EXPECT_EQ(ids.size(), 37u);
    EXPECT_EQ(members.size(), 37u);
    EXPECT_EQ(registry, 23);
    EXPECT_STREQ(FindConfigItem(kConfigMaxUnknownContentLength)->registryName, "maxunknowncontentlength");
    EXPECT_STREQ(kConfigItems[0].memberName, "dir_vorn"); // aggregate member order
    EXPECT_STREQ(kConfigItems[kConfigItemCount - 1].memberName, "ssl_sni");
    EXPECT_EQ(FindConfigItem(0x3000000), nullptr);
}
