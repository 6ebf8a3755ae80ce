// The configuration handle and the vrConfig functions.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "database/library/ExternalDatabaseLibraryManager.h"
#include "engine/vm/TagErrors.h"
#include "host/plugin/CommerceLibrary.h"
#include "host/plugin/ExternalConfig.h"
#include "host/plugin/VornHost.h"
#include "tests/host/plugin/HostInterfaceSupport.h"

namespace vorn {
namespace {

struct ConfigRig {
    test::HostApplication app;
    ExternalCallManager builtins{&app};
    CommerceLibraryManager commerce{&app};
    ExternalDatabaseLibraryManager databases{&app};
    TagErrorTable tags;
    ExternalConfig config{&builtins, &commerce, &databases, &app.systems, &tags};
};

TEST(HostConfigTest, TextValuesAreCopiedOrTakenOver) {
    ConfigRig rig;
    // Without the flag the library keeps its buffer: the store has a copy.
    char library[] = "/srv/shop";
    EXPECT_EQ(vrConfig_SetValue(&rig.config, kConfigCommerceDir, library, 4, 0), 0);
    std::memcpy(library, "XXXX", 4);
    EXPECT_STREQ(rig.config.GetText(kConfigCommerceDir), "/srv");
    // With it, a host-heap block is taken over and given its terminator.
    auto* block = static_cast<char*>(vorn_alloc(3));
    std::memcpy(block, "abc", 3);
    EXPECT_EQ(vrConfig_SetValue(&rig.config, kConfigDataDir, block, 3, 1), 0);
    EXPECT_STREQ(rig.config.GetText(kConfigDataDir), "abc");
    EXPECT_EQ(vrConfig_SetValue(&rig.config, kConfigDataDir, nullptr, 0, 1), 0);
    EXPECT_STREQ(rig.config.GetText(kConfigDataDir), "");
    // Refused: an integer item, bad texts, no configuration. The block stays the caller's.
    auto* kept = static_cast<char*>(vorn_alloc(2));
    EXPECT_EQ(vrConfig_SetValue(&rig.config, kConfigLogLevel, kept, 1, 1), 1);
    EXPECT_EQ(vrConfig_SetValue(&rig.config, kConfigDataDir, kept, -2, 1), 1);
    EXPECT_EQ(vrConfig_SetValue(nullptr, kConfigDataDir, kept, 1, 1), 1);
    vorn_free(kept);
    EXPECT_EQ(vrConfig_SetValue(&rig.config, kConfigDataDir, nullptr, 3, 0), 1);

    EXPECT_EQ(vrConfig_SetValue_Integer(&rig.config, kConfigLogLevel, 16), 0);
    EXPECT_EQ(rig.config.GetInteger(kConfigLogLevel), 16);
    EXPECT_EQ(vrConfig_SetValue_Integer(&rig.config, kConfigDataDir, 1), 1);
    EXPECT_EQ(vrConfig_SetValue_Integer(nullptr, kConfigLogLevel, 1), 1);
}

TEST(HostConfigTest, LibrariesPresetsAndErrorSettings) {
    ConfigRig rig;
    EXPECT_EQ(vrConfig_Register_Library_Builtin(&rig.config, VORN_FIXTURE_HOSTINTERFACELIBRARY), 0);
    EXPECT_EQ(rig.builtins.LibraryCount(), 1);
    EXPECT_EQ(vrConfig_Register_Library_Builtin(&rig.config, "/nonexistent.so"), 0); // whatever the outcome
    EXPECT_EQ(rig.builtins.LibraryCount(), 1);
    EXPECT_EQ(vrConfig_Register_Library_Commerce(&rig.config, "visa", "/v.so"), 0);
    EXPECT_TRUE(rig.commerce.IsLibraryConfigured("VISA", -1));
    EXPECT_EQ(vrConfig_Register_Library_System(&rig.config, "crypto", "/c.so"), 0);
    EXPECT_TRUE(rig.app.systems.IsLibraryConfigured("crypto", -1));
    EXPECT_EQ(vrConfig_Register_Library_Database(&rig.config, "sql", "/s.so"), 0);
    EXPECT_EQ(rig.databases.ConfiguredLibraryCount(), 1);
    EXPECT_TRUE(rig.databases.IsLibraryConfigured("SQL", -1));
    for (int32_t result : {vrConfig_Register_Library_Builtin(nullptr, "x"),
                           vrConfig_Register_Library_Commerce(&rig.config, nullptr, "x"),
                           vrConfig_Register_Library_Database(&rig.config, "t", nullptr),
                           vrConfig_Register_Library_System(nullptr, "a", "b")})
        EXPECT_EQ(result, 0);
    EXPECT_EQ(rig.databases.ConfiguredLibraryCount(), 1);
    // Without a manager nothing is registered.
    ExternalConfig bare(nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(bare.RegisterBuiltinLibrary("x"), 0);
    EXPECT_EQ(bare.RegisterDatabaseLibrary("t", "x"), 0);
    EXPECT_EQ(vrConfig_Set_DefaultErrorSetting(&bare, "VrOPEN", -1, 1), -1);

    EXPECT_EQ(vrConfig_SetVariable_Global(&rig.config, "g", -1, "1", -1), 0);
    EXPECT_EQ(vrConfig_SetVariable_Global(&rig.config, "g", -1, "2", 1), 0); // appended again
    EXPECT_EQ(vrConfig_SetVariable_System(&rig.config, "s", 1, nullptr, 0), 0);
    EXPECT_EQ(vrConfig_SetVariable_System(&rig.config, nullptr, 1, "x", 1), -1);
    EXPECT_EQ(rig.config.GlobalPresets().Count(), 2);
    EXPECT_EQ(rig.config.SystemPresets().Count(), 1);
    EXPECT_STREQ(rig.config.GlobalPresets().Last()->Value().Text(), "2");

    const TagErrorEntry* open = rig.tags.FindTag("VrOPEN", -1);
    ASSERT_NE(open, nullptr);
    EXPECT_EQ(vrConfig_Set_DefaultErrorSetting(&rig.config, "vropen", -1, 1), 0);
    EXPECT_EQ(rig.tags.rows[open->id].setting, 1u);
    EXPECT_EQ(vrConfig_Set_DefaultErrorSetting(&rig.config, "VrOPENX", 6, 2), 0);
    EXPECT_EQ(rig.tags.rows[open->id].setting, 2u);
    EXPECT_EQ(vrConfig_Set_DefaultErrorSetting(&rig.config, "VrNOTHING", -1, 3), -1);
    EXPECT_EQ(vrConfig_Set_DefaultErrorSetting(&rig.config, nullptr, 3, 3), -1);
}

} // namespace
} // namespace vorn
