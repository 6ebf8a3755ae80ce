// Database libraries reach the configuration handle here, apart from the
// rest, because their manager belongs to the database engine.
#include "host/ExternalConfig.h"

namespace vorn {

// Registration lands in the database engine's manager once it is part of
// the build; until then only subclasses register database libraries.
int32_t ExternalConfig::RegisterDatabaseLibrary(const char*, const char*) {
    return 0;
}

} // namespace vorn
