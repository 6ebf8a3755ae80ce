// The host-interface binding every plug-in library compiles in: the library
// calls the host's functions by their own names (declared in host/plugin/VornHost.h),
// and each name here is a forwarder through a table that registration fills
// by looking the names up on the host module. A forwarder whose name the host
// did not export returns its type's zero without calling anything.
#pragma once

#include <cstdint>

namespace vorn::binding {

// Looks every host function up on the module, in the fixed order, keeping
// whatever each lookup gives; never stops early. The plug-in's
// "vorn_register_library" calls it; a plug-in that needs more at
// registration defines its own entry and calls this first.
void Bind(void* hostModule);

// How many of the host functions the last Bind found.
int32_t BoundCount();

// Whether the host function of that name (NUL-terminated) was found.
bool IsBound(const char* name);

} // namespace vorn::binding
