#include "sqllib/binding/HostBinding.h"

#include <dlfcn.h>

#include <atomic>
#include <cstring>
#include <type_traits>

#define VORN_HOST_BINDING
#include "host/plugin/VornHost.h"

namespace {

enum : int32_t {
#define VORN_BINDING_INDEX(result, name, parameters, arguments) kEntry_##name,
    VORN_HOST_VR_FUNCTIONS(VORN_BINDING_INDEX)
#undef VORN_BINDING_INDEX
        kEntryCount
};
static_assert(kEntryCount == VORN_HOST_VR_COUNT);

const char* const kNames[kEntryCount] = {
#define VORN_BINDING_NAME(result, name, parameters, arguments) #name,
    VORN_HOST_VR_FUNCTIONS(VORN_BINDING_NAME)
#undef VORN_BINDING_NAME
};

// Filled by Bind. The web host registers the library again with each
// request that loads it, while other requests call through the table: the
// entries are atomic, and a module bound already is not looked up again.
std::atomic<void*> table[kEntryCount];
std::atomic<void*> boundModule{nullptr};

template <class T> T Zero() {
    if constexpr (!std::is_void_v<T>) return T{};
}

} // namespace

namespace vorn::binding {

void Bind(void* hostModule) {
    if (hostModule && boundModule.load(std::memory_order_acquire) == hostModule) return;
    boundModule.store(nullptr, std::memory_order_relaxed);
    for (int32_t i = 0; i < kEntryCount; ++i)
        table[i].store(hostModule ? dlsym(hostModule, kNames[i]) : nullptr, std::memory_order_relaxed);
    boundModule.store(hostModule, std::memory_order_release);
}

int32_t BoundCount() {
    int32_t n = 0;
    for (const std::atomic<void*>& entry : table)
        if (entry.load(std::memory_order_relaxed)) ++n;
    return n;
}

bool IsBound(const char* name) {
    for (int32_t i = 0; i < kEntryCount; ++i)
        if (name && std::strcmp(kNames[i], name) == 0) return table[i].load(std::memory_order_relaxed) != nullptr;
    return false;
}

} // namespace vorn::binding

extern "C" {

// The forwarders are hidden (VORN_HOST_BINDING), so the library's own calls
// reach them and never an export of the same name elsewhere.
#define VORN_BINDING_FORWARDER(result, name, parameters, arguments)                                          \
    VORN_HOST_API result name parameters {                                                                   \
        using Entry = result(*) parameters;                                                                  \
        auto entry = reinterpret_cast<Entry>(table[kEntry_##name].load(std::memory_order_relaxed));          \
        if (!entry) return Zero<result>();                                                                   \
        return entry arguments;                                                                              \
    }
VORN_HOST_VR_FUNCTIONS(VORN_BINDING_FORWARDER)
#undef VORN_BINDING_FORWARDER

// Weak, so a library may define its own entry around Bind.
__attribute__((visibility("default"), weak)) void vorn_register_library(void* hostModule) {
    vorn::binding::Bind(hostModule);
}

} // extern "C"
