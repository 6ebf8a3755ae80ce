#include "platform/Modules.h"

#include "platform/Errors.h"

#include <dlfcn.h>
#include <link.h>

#include <cstdio>
#include <mutex>

#include "platform/ThreadSanitizer.h"

namespace vorn::platform {

namespace {

void RecordLoaderFailure(const char* fallback) {
    const char* text = dlerror();
    SetLastModuleError(text != nullptr ? text : fallback);
}

// The handle of an object taken without keeping a reference: the object is
// known to be loaded already, so giving the reference back leaves it mapped.
ModuleHandle WithoutReference(ModuleHandle handle) {
    if (handle != nullptr) dlclose(handle);
    return handle;
}

#ifdef VORN_THREAD_SANITIZER
// The loader serialises loads and unloads under a lock of its own, which the
// sanitizer does not see: a library unloaded by one thread and loaded again
// by another at the same address would look like its globals raced. The same
// order, told in a lock it sees.
std::recursive_mutex gLoaderOrder;
using LoaderOrder = std::lock_guard<std::recursive_mutex>;
#else
struct LoaderOrder {
    explicit LoaderOrder(int) {}
};
constexpr int gLoaderOrder = 0;
#endif

} // namespace

ModuleHandle LoadModule(const char* path) {
    if (path == nullptr || path[0] == '\0') {
        // dlopen(NULL) would return the main program instead of failing.
        SetLastModuleError("No library path given");
        return nullptr;
    }
    LoaderOrder order(gLoaderOrder);
    dlerror();
    ModuleHandle handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) RecordLoaderFailure("The library could not be loaded");
    return handle;
}

void* ModuleSymbol(ModuleHandle module, const char* name) {
    if (module == nullptr || name == nullptr) {
        SetLastModuleError("No library or symbol name given");
        return nullptr;
    }
    dlerror();
    void* address = dlsym(module, name);
    if (address == nullptr) {
        const char* text = dlerror();
        char fallback[512];
        // A symbol that exists but resolves to address 0 is of no use to a caller either.
        snprintf(fallback, sizeof fallback, "%s: symbol resolves to a null address", name);
        SetLastModuleError(text != nullptr ? text : fallback);
    }
    return address;
}

bool UnloadModule(ModuleHandle module) {
    if (module == nullptr) {
        SetLastModuleError("No library given");
        return false;
    }
    LoaderOrder order(gLoaderOrder);
    dlerror();
    if (dlclose(module) != 0) {
        RecordLoaderFailure("The library could not be unloaded");
        return false;
    }
    return true;
}

ModuleHandle MainProgramModule() {
    dlerror();
    ModuleHandle handle = dlopen(nullptr, RTLD_NOW);
    if (handle == nullptr) RecordLoaderFailure("The main program has no handle");
    return WithoutReference(handle);
}

ModuleHandle ModuleContaining(const void* address) {
    Dl_info info{};
    link_map* map = nullptr;
    dlerror();
    if (address == nullptr || dladdr1(address, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0 ||
        map == nullptr) {
        SetLastModuleError("No loaded object contains the address");
        return nullptr;
    }
    // The main program is listed without a name; by name it could not be found.
    ModuleHandle handle = nullptr;
    if (map->l_name == nullptr || map->l_name[0] == '\0') {
        handle = dlopen(nullptr, RTLD_NOW);
    } else {
        handle = dlopen(map->l_name, RTLD_NOW | RTLD_NOLOAD);
    }
    if (handle == nullptr) {
        RecordLoaderFailure("The object containing the address has no handle");
        return nullptr;
    }
    link_map* found = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &found) != 0 || found != map) {
        dlclose(handle);
        SetLastModuleError("The object containing the address has no handle");
        return nullptr;
    }
    return WithoutReference(handle);
}

ModuleHandle HostModule() {
    static const char anchor = 0;
    return ModuleContaining(&anchor);
}

} // namespace vorn::platform
