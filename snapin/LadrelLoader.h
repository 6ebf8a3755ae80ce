// The configuration of one node (a key at or below "Configuration") as the
// configuration tool edits it: the effective values read with the extension's
// own reader, the node's lists of libraries and error settings, and the writes
// into the node's own key, each single value followed by the search for child
// nodes that set the value themselves.
#pragma once

#include <cstdint>

#include "engine/foundation/List.h"
#include "engine/foundation/String.h"
#include "host/web/ISAPIBaseConfig.h"
#include "platform/Registry.h"

namespace vorn {

// A registry value that could not be written: this, the value's name, then
// "\"", where and why.
inline constexpr char kUnableToWriteValue[] = "Unable to write the value \"";

// Kinds of library entries, as the "libraries" letters b, d, c and s.
inline constexpr int32_t kLibraryBuiltin = 0;
inline constexpr int32_t kLibraryDatabase = 1;
inline constexpr int32_t kLibraryCommerce = 2;
inline constexpr int32_t kLibrarySystem = 3;

struct ISAPILibrary {
    int32_t kind = kLibraryBuiltin;
    String method; // "n/a" for a built-in function library
    String path;
};

struct ISAPIErrorSetting {
    String name;
    String value;
};

// A value just written that child nodes hide with their own: the keys that
// hold it, relative to the node key, components joined with '\'.
struct OverrideChoice {
    String valueName;
    String displayName;
    List<String> paths{true};
};

// Deep copies of the lists, for dialogs that restore them on Cancel.
void CopyLibraries(List<ISAPILibrary>& from, List<ISAPILibrary>& to);
void CopyErrorSettings(List<ISAPIErrorSetting>& from, List<ISAPIErrorSetting>& to);

class LadrelLoader : public ISAPIBaseConfig {
  public:
    // The node's path below "Configuration", components separated by '\'
    // (a key's name may hold '/'), one '\' first or none; empty for
    // "Configuration" itself.
    explicit LadrelLoader(const char* nodePath);
    ~LadrelLoader() override;

    int32_t RegisterBuiltinLibrary(const char* path) override;
    int32_t RegisterCommerceLibrary(const char* method, const char* path) override;
    int32_t RegisterDatabaseLibrary(const char* method, const char* path) override;
    int32_t RegisterSystemLibrary(const char* method, const char* path) override;
    void SetTagErrorSetting(const char* name, const char* value) override;

    // Reads the node's effective values and lists afresh.
    virtual void Load();
    // Creates or opens the node's own key for writing; false (with a
    // failure) leaves none open, and the writes then do nothing.
    virtual bool OpenNodeKey();
    // Each write returns false with a failure naming the value and the
    // system's reason. A single value written is followed by CheckOverrides.
    virtual bool WriteText(const char* valueName, const char* displayName, const char* text);
    virtual bool WriteInteger(const char* valueName, const char* displayName, int32_t number);
    virtual bool WriteLibraries(const char* valueName, const char* displayName);
    virtual bool WriteErrorSettings(const char* valueName, const char* displayName);
    virtual void CloseNodeKey();
    // Collects the keys below the node key that hold the value; when there
    // are any, adds an override choice.
    virtual void CheckOverrides(const char* valueName, const char* displayName);
    // Adds the key's path when it holds the value, then does the same for
    // each of its subkeys, depth first.
    virtual void CollectOverridingChildren(platform::RegistryKey key, const String& path,
                                           const char* valueName, List<String>& list, int32_t depth = 0);
    // Deletes the value from the key at path below the open node key.
    virtual bool DeleteChildValue(const String& path, const char* valueName);

    // The node path, as given.
    const String& NodePath() const { return nodePath; }
    // The node's key below the local machine.
    String NodeKeyName() const;

    List<ISAPILibrary>& Libraries() { return libraries; }
    List<ISAPIErrorSetting>& ErrorSettings() { return errorSettings; }
    // Override choices of the single values written, in the order written,
    // for the caller to take.
    List<OverrideChoice>& PendingOverrides() { return pendingOverrides; }
    // Failure texts, in order, for the caller to take.
    List<String>& Failures() { return failures; }

  protected:
    void Fail(const String& what);
    bool WriteValue(const char* valueName, uint32_t type, const void* data, size_t size);

  private:
    String nodePath;
    platform::RegistryKey nodeKey = nullptr;
    List<ISAPILibrary> libraries{true};
    List<ISAPIErrorSetting> errorSettings{true};
    List<OverrideChoice> pendingOverrides{true};
    List<String> failures{true};
};

// The letter of a library kind in "libraries" entries, and the kind's name in
// the dialogs.
char LibraryKindLetter(int32_t kind);
const char* LibraryKindName(int32_t kind);

// A path of the override search as it is shown: components joined with '/'.
String DisplayPath(const String& path);

} // namespace vorn
