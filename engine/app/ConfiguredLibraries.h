// What the configuration view of a request learns about its plug-in
// libraries. The commerce, database and system library managers implement
// ConfiguredLibraries; the request application hands them out through
// ConfiguredLibrarySource. This keeps the engine free of the host's manager
// classes.
#pragma once

#include <cstdint>

namespace vorn {

// Library families.
inline constexpr int32_t kLibraryFamilyCommerce = 0;
inline constexpr int32_t kLibraryFamilyDatabase = 1;
inline constexpr int32_t kLibraryFamilySystem = 2;

class ConfiguredLibraries {
public:
    virtual ~ConfiguredLibraries() = default;

    // Number of configured libraries.
    virtual int32_t ConfiguredLibraryCount() = 0;
    // The name of library index (0-based, in registration order) with its
    // length, or null past the end.
    virtual const char* ConfiguredLibraryName(int32_t index, int32_t* length) = 0;
    // Whether a library of that name is configured (length -1: up to the NUL).
    virtual bool IsLibraryConfigured(const char* name, int32_t length) = 0;
};

class ConfiguredLibrarySource {
public:
    virtual ~ConfiguredLibrarySource() = default;

    // The manager of a family (kLibraryFamily...), or null when there is none.
    virtual ConfiguredLibraries* ConfiguredLibrariesOf(int32_t family) = 0;
};

} // namespace vorn
