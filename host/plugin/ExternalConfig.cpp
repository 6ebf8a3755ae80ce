#include "host/plugin/ExternalConfig.h"

#include <cstdlib>
#include <cstring>

#include "database/library/ExternalDatabaseLibraryManager.h"
#include "engine/vm/TagErrors.h"
#include "host/plugin/CommerceLibrary.h"
#include "host/plugin/ExternalCall.h"
#include "host/plugin/HostInterface.h"
#include "host/plugin/SystemLibrary.h"
#include "host/plugin/VornHost.h"

namespace vorn {

ExternalConfig::ExternalConfig(ExternalCallManager* builtinLibraries,
                               CommerceLibraryManager* commerceLibraries,
                               ExternalDatabaseLibraryManager* databaseLibraries,
                               SystemLibraryManager* systemLibraries, TagErrorTable* table)
    : builtins(builtinLibraries), commerce(commerceLibraries), databases(databaseLibraries),
      systems(systemLibraries), tagErrors(table) {}

ExternalConfig::~ExternalConfig() = default;

int32_t ExternalConfig::RegisterBuiltinLibrary(const char* path) {
    return builtins ? builtins->RegisterLibrary(path) : 0;
}

int32_t ExternalConfig::RegisterCommerceLibrary(const char* method, const char* path) {
    return commerce ? commerce->RegisterLibrary(method, path) : 0;
}

int32_t ExternalConfig::RegisterDatabaseLibrary(const char* type, const char* path) {
    return databases ? databases->RegisterLibrary(type, path) : 0;
}

int32_t ExternalConfig::RegisterSystemLibrary(const char* name, const char* path) {
    return systems ? systems->RegisterLibrary(name, path) : 0;
}

} // namespace vorn

using namespace vorn;
using namespace vorn::hostapi;

namespace {

int32_t AppendPreset(VariableList* presets, const char* name, int32_t nameLength, const char* value,
                     int32_t valueLength) {
    if (!TextArgument(name, nameLength) || !TextArgument(value, valueLength)) return -1;
    presets->InsertItem(new Variable(name, nameLength, value, valueLength), kListTail, false);
    return 0;
}

} // namespace

extern "C" {

VORN_HOST_API int32_t vrConfig_SetValue(VornConfig* config, uint32_t item, char* text, int32_t length,
                                        int32_t owned) {
    const char* checked = text;
    // Refused before anything is taken: the block stays the library's.
    if (!config || !IsConfigTextItem(item) || !TextArgument(checked, length)) return 1;
    char* stored = nullptr;
    if (owned && text) {
        // The store reads up to the NUL: a handed-over block gets one.
        stored = static_cast<char*>(std::realloc(text, static_cast<size_t>(length) + 1));
        if (!stored) return 1;
        stored[length] = '\0';
    } else {
        // Without the flag the library keeps its text: the store takes a copy.
        stored = HeapCopy(checked, length, nullptr);
        if (!stored) return 1;
    }
    if (config->SetText(item, stored, length, true)) return 0;
    std::free(stored);
    return 1;
}

VORN_HOST_API int32_t vrConfig_SetValue_Integer(VornConfig* config, uint32_t item, int32_t value) {
    return config && config->SetInteger(item, value) ? 0 : 1;
}

VORN_HOST_API int32_t vrConfig_Register_Library_Commerce(VornConfig* config, const char* method,
                                                         const char* path) {
    if (config && method && path) config->RegisterCommerceLibrary(method, path);
    return 0;
}

VORN_HOST_API int32_t vrConfig_Register_Library_Database(VornConfig* config, const char* type,
                                                         const char* path) {
    if (config && type && path) config->RegisterDatabaseLibrary(type, path);
    return 0;
}

VORN_HOST_API int32_t vrConfig_Register_Library_Builtin(VornConfig* config, const char* path) {
    if (config && path) config->RegisterBuiltinLibrary(path);
    return 0;
}

VORN_HOST_API int32_t vrConfig_Register_Library_System(VornConfig* config, const char* name,
                                                       const char* path) {
    if (config && name && path) config->RegisterSystemLibrary(name, path);
    return 0;
}

VORN_HOST_API int32_t vrConfig_SetVariable_Global(VornConfig* config, const char* name, int32_t nameLength,
                                                  const char* value, int32_t valueLength) {
    return config ? AppendPreset(&config->GlobalPresets(), name, nameLength, value, valueLength) : -1;
}

VORN_HOST_API int32_t vrConfig_SetVariable_System(VornConfig* config, const char* name, int32_t nameLength,
                                                  const char* value, int32_t valueLength) {
    return config ? AppendPreset(&config->SystemPresets(), name, nameLength, value, valueLength) : -1;
}

VORN_HOST_API int32_t vrConfig_Set_DefaultErrorSetting(VornConfig* config, const char* tag, int32_t length,
                                                       int32_t flags) {
    TagErrorTable* table = config ? config->TagErrors() : nullptr;
    if (!table || !TextArgument(tag, length)) return -1;
    const TagErrorEntry* row = table->FindTag(tag, length);
    if (!row) return -1;
    table->SetSetting(static_cast<int32_t>(row->id), static_cast<uint32_t>(flags));
    return 0;
}

} // extern "C"
