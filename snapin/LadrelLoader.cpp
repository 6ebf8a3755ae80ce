#include "snapin/LadrelLoader.h"

#include <cerrno>
#include <cstring>

#include "engine/foundation/LittleEndian.h"
#include "platform/Errors.h"

namespace vorn {

namespace {

using platform::RegistryKey;

// Windows keeps no deeper keys; a file nested deeper is not walked further.
constexpr int32_t kMaxKeyDepth = 512;
// Subkey names longer than this are skipped by the override search.
constexpr size_t kMaxSubkeyName = 1024;

String Reason() {
    return String(platform::LastErrorText());
}

// Where a write went: the registry's file, so that its reason can be acted on.
String InFile() {
    return String(" in ") + platform::RegistryFilePath();
}

} // namespace

void CopyLibraries(List<ISAPILibrary>& from, List<ISAPILibrary>& to) {
    to.Clear();
    for (ISAPILibrary* entry = from.First(); entry; entry = from.Next())
        to.Insert(new ISAPILibrary(*entry), kListTail);
}

void CopyErrorSettings(List<ISAPIErrorSetting>& from, List<ISAPIErrorSetting>& to) {
    to.Clear();
    for (ISAPIErrorSetting* entry = from.First(); entry; entry = from.Next())
        to.Insert(new ISAPIErrorSetting(*entry), kListTail);
}

char LibraryKindLetter(int32_t kind) {
    switch (kind) {
    case kLibraryDatabase:
        return 'd';
    case kLibraryCommerce:
        return 'c';
    case kLibrarySystem:
        return 's';
    default:
        return 'b';
    }
}

String DisplayPath(const String& path) {
    String shown;
    for (int32_t i = 0; i < path.Length(); ++i)
        shown.AppendChar(path.Text()[i] == '\\' ? '/' : path.Text()[i]);
    return shown;
}

const char* LibraryKindName(int32_t kind) {
    switch (kind) {
    case kLibraryDatabase:
        return "Database";
    case kLibraryCommerce:
        return "Commerce";
    case kLibrarySystem:
        return "System";
    default:
        return "Builtin";
    }
}

LadrelLoader::LadrelLoader(const char* path) : nodePath(path ? path : "") {}

LadrelLoader::~LadrelLoader() {
    CloseNodeKey();
}

// --- Reading ------------------------------------------------------------------------------------------

int32_t LadrelLoader::RegisterBuiltinLibrary(const char* path) {
    libraries.Insert(new ISAPILibrary{kLibraryBuiltin, String("n/a"), String(path)}, kListTail);
    return 1;
}

int32_t LadrelLoader::RegisterCommerceLibrary(const char* method, const char* path) {
    libraries.Insert(new ISAPILibrary{kLibraryCommerce, String(method), String(path)}, kListTail);
    return 1;
}

int32_t LadrelLoader::RegisterDatabaseLibrary(const char* method, const char* path) {
    libraries.Insert(new ISAPILibrary{kLibraryDatabase, String(method), String(path)}, kListTail);
    return 1;
}

int32_t LadrelLoader::RegisterSystemLibrary(const char* method, const char* path) {
    libraries.Insert(new ISAPILibrary{kLibrarySystem, String(method), String(path)}, kListTail);
    return 1;
}

void LadrelLoader::SetTagErrorSetting(const char* name, const char* value) {
    errorSettings.Insert(new ISAPIErrorSetting{String(name), String(value)}, kListTail);
}

void LadrelLoader::Load() {
    libraries.Clear();
    errorSettings.Clear();
    // Values read before stay otherwise, though the registry may no longer hold them.
    values_.Clear();
    LoadRegistry(nodePath.Text(), nodePath.Length());
}

// --- Writing ------------------------------------------------------------------------------------------

String LadrelLoader::NodeKeyName() const {
    String name(kConfigurationKey);
    if (nodePath.Length() > 0 && nodePath.Text()[0] != '\\') name.AppendChar('\\');
    name.AppendString(nodePath);
    return name;
}

void LadrelLoader::Fail(const String& what) {
    failures.Insert(new String(what), kListTail);
}

bool LadrelLoader::OpenNodeKey() {
    CloseNodeKey();
    String name = NodeKeyName();
    if (platform::RegistryCreateKey(platform::LocalMachineKey(), name.Text(), &nodeKey)) return true;
    nodeKey = nullptr;
    Fail(String("Unable to open the key \"") + name + "\"" + InFile() + ": " + Reason());
    return false;
}

void LadrelLoader::CloseNodeKey() {
    if (nodeKey) platform::RegistryCloseKey(nodeKey);
    nodeKey = nullptr;
}

bool LadrelLoader::WriteValue(const char* valueName, uint32_t type, const void* data, size_t size) {
    if (!nodeKey) return false;
    if (platform::RegistrySetValue(nodeKey, valueName, type, data, size)) return true;
    Fail(String(kUnableToWriteValue) + valueName + "\"" + InFile() + ": " + Reason());
    return false;
}

bool LadrelLoader::WriteText(const char* valueName, const char* displayName, const char* text) {
    if (!WriteValue(valueName, platform::kRegistryString, text, std::strlen(text) + 1)) return false;
    CheckOverrides(valueName, displayName);
    return true;
}

bool LadrelLoader::WriteInteger(const char* valueName, const char* displayName, int32_t number) {
    uint8_t bytes[4];
    PutU32(bytes, static_cast<uint32_t>(number));
    if (!WriteValue(valueName, platform::kRegistryNumber, bytes, sizeof bytes)) return false;
    CheckOverrides(valueName, displayName);
    return true;
}

// Entries each ending in NUL, then one more NUL; an empty list is that NUL alone.
bool LadrelLoader::WriteLibraries(const char* valueName, const char*) {
    String value;
    for (ISAPILibrary* entry = libraries.First(); entry; entry = libraries.Next()) {
        value.AppendChar(LibraryKindLetter(entry->kind));
        value.AppendChar(',');
        value.AppendString(entry->method);
        value.AppendChar(',');
        value.AppendString(entry->path);
        value.AppendChar('\0');
    }
    value.AppendChar('\0');
    return WriteValue(valueName, platform::kRegistryMultiString, value.Text(),
                      static_cast<size_t>(value.Length()));
}

bool LadrelLoader::WriteErrorSettings(const char* valueName, const char*) {
    String value;
    for (ISAPIErrorSetting* entry = errorSettings.First(); entry; entry = errorSettings.Next()) {
        value.AppendString(entry->name);
        value.AppendChar('=');
        value.AppendString(entry->value);
        value.AppendChar('\0');
    }
    value.AppendChar('\0');
    return WriteValue(valueName, platform::kRegistryMultiString, value.Text(),
                      static_cast<size_t>(value.Length()));
}

// --- Overrides --------------------------------------------------------------------------------------------

void LadrelLoader::CheckOverrides(const char* valueName, const char* displayName) {
    if (!nodeKey) return;
    auto* choice = new OverrideChoice{String(valueName), String(displayName)};
    char name[kMaxSubkeyName + 1];
    for (uint32_t index = 0;; ++index) {
        size_t size = sizeof name;
        if (!platform::RegistryEnumerateSubkey(nodeKey, index, name, &size)) {
            if (platform::LastError() == ERANGE) continue;
            break;
        }
        RegistryKey child = nullptr;
        if (!platform::RegistryOpenKey(nodeKey, name, &child)) continue;
        CollectOverridingChildren(child, String(name), valueName, choice->paths, 1);
        platform::RegistryCloseKey(child);
    }
    if (choice->paths.Count() == 0) {
        delete choice;
        return;
    }
    pendingOverrides.Insert(choice, kListTail);
}

void LadrelLoader::CollectOverridingChildren(RegistryKey key, const String& path, const char* valueName,
                                             List<String>& list, int32_t depth) {
    size_t size = 0;
    if (platform::RegistryQueryValue(key, valueName, nullptr, nullptr, &size))
        list.Insert(new String(path), kListTail);
    if (depth >= kMaxKeyDepth) return;
    char name[kMaxSubkeyName + 1];
    for (uint32_t index = 0;; ++index) {
        size = sizeof name;
        if (!platform::RegistryEnumerateSubkey(key, index, name, &size)) {
            if (platform::LastError() == ERANGE) continue;
            break;
        }
        RegistryKey child = nullptr;
        if (!platform::RegistryOpenKey(key, name, &child)) continue;
        // Components are joined with '\', which no key name holds, so a
        // name holding '/' still leads back to its own key.
        CollectOverridingChildren(child, path + "\\" + name, valueName, list, depth + 1);
        platform::RegistryCloseKey(child);
    }
}

bool LadrelLoader::DeleteChildValue(const String& path, const char* valueName) {
    if (!nodeKey) return false;
    RegistryKey child = nullptr;
    bool deleted = platform::RegistryOpenKey(nodeKey, path.Text(), &child) &&
                   platform::RegistryDeleteValue(child, valueName);
    if (!deleted)
        Fail(String("Unable to delete the value \"") + valueName + "\" of " + DisplayPath(path) + InFile() +
             ": " + Reason());
    if (child) platform::RegistryCloseKey(child);
    return deleted;
}

} // namespace vorn
