#include "host/web/ISAPIBaseConfig.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "database/library/ExternalDatabaseLibraryManager.h"
#include "host/plugin/CommerceLibrary.h"
#include "host/plugin/ExternalCall.h"
#include "host/plugin/SystemLibrary.h"
#include "platform/Errors.h"
#include "platform/Registry.h"

namespace vorn {

namespace {

using platform::RegistryKey;

enum class ValueKind { Text, Number, Libraries, ErrorSettings };

struct RegistryValue {
    const char* name;
    ValueKind kind;
    uint32_t item;
};

constexpr size_t RegistryItemCount() {
    size_t n = 0;
    for (const ConfigItemInfo& info : kConfigItems) n += info.registryName != nullptr;
    return n;
}

// The values read from each key: every item the registry carries, then the
// two lists. Value i is pending while bit i of the walk's mask is set.
constexpr std::array<RegistryValue, RegistryItemCount() + 2> RegistryValues() {
    std::array<RegistryValue, RegistryItemCount() + 2> values{};
    size_t n = 0;
    for (const ConfigItemInfo& info : kConfigItems)
        if (info.registryName)
            values[n++] = {info.registryName, IsConfigTextItem(info.id) ? ValueKind::Text : ValueKind::Number,
                           info.id};
    values[n++] = {kLibrariesValue, ValueKind::Libraries, 0};
    values[n] = {kErrorSettingsValue, ValueKind::ErrorSettings, 0};
    return values;
}
constexpr auto kRegistryValues = RegistryValues();
static_assert(kRegistryValues.size() <= 32, "a walk marks each pending value by a bit of 32");
constexpr uint32_t kAllPending =
    kRegistryValues.size() == 32 ? ~0u : (uint32_t{1} << kRegistryValues.size()) - 1;

// Calls apply with each entry of a list value; false when the value is
// missing or not a list.
template <class Apply>
bool ReadList(RegistryKey key, const char* name, Apply&& apply) {
    uint32_t type = 0;
    size_t size = 0;
    char* bytes = QueryRegistryValue(key, name, &type, &size);
    if (!bytes) return false;
    if (type != platform::kRegistryMultiString) {
        std::free(bytes);
        return false;
    }
    // The buffer holds a NUL past size, so the last entry always ends.
    for (size_t at = 0; at < size && bytes[at];) {
        size_t n = std::strlen(bytes + at);
        apply(bytes + at);
        at += n + 1;
    }
    std::free(bytes);
    return true;
}

String TrimmedBlanks(const char* text, size_t length) {
    size_t begin = 0;
    while (begin < length && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
    while (length > begin && (text[length - 1] == ' ' || text[length - 1] == '\t')) --length;
    return String(text + begin, static_cast<int32_t>(length - begin));
}

// What a walk of the registry did to a configuration, in order: replayed on
// a fresh configuration it does the same, without the walk.
struct ConfigStep {
    ValueKind kind;
    uint32_t item;
    int32_t number;
    std::string text;
};
using ConfigSteps = std::vector<ConfigStep>;

// The steps of each request path's walk, for the registry version walked;
// any change of the registry file makes another version.
struct WalkCache {
    std::mutex mutex;
    std::unordered_map<std::string, std::pair<uint64_t, std::shared_ptr<const ConfigSteps>>> walks;
};
constexpr size_t kMostWalks = 4096;

WalkCache& TheWalkCache() {
    static WalkCache* cache = new WalkCache; // lives as long as the process
    return *cache;
}

// kind "," name "," path; the path runs to the end and may hold commas.
void RegisterLibraryEntry(ISAPIBaseConfig& config, const char* entry) {
    const char* first = std::strchr(entry, ',');
    const char* second = first ? std::strchr(first + 1, ',') : nullptr;
    if (!second) return;
    String kind = TrimmedBlanks(entry, static_cast<size_t>(first - entry));
    String name = TrimmedBlanks(first + 1, static_cast<size_t>(second - first - 1));
    String path = TrimmedBlanks(second + 1, std::strlen(second + 1));
    switch (kind.IsEmpty() ? '\0' : kind.Text()[0]) {
    case 'b':
    case 'B':
        config.RegisterBuiltinLibrary(path.Text());
        break;
    case 'c':
    case 'C':
        config.RegisterCommerceLibrary(name.Text(), path.Text());
        break;
    case 'd':
    case 'D':
        config.RegisterDatabaseLibrary(name.Text(), path.Text());
        break;
    case 's':
    case 'S':
        config.RegisterSystemLibrary(name.Text(), path.Text());
        break;
    default:
        break;
    }
}

// tag name "=" flag words.
void ApplyErrorSettingEntry(ISAPIBaseConfig& config, const char* entry) {
    const char* equals = std::strchr(entry, '=');
    if (!equals) return;
    String name = TrimmedBlanks(entry, static_cast<size_t>(equals - entry));
    config.SetTagErrorSetting(name.Text(), equals + 1);
}

// Does one step to the configuration; false when it refused the value.
bool Apply(ISAPIBaseConfig& config, const ConfigStep& step) {
    switch (step.kind) {
    case ValueKind::Text: {
        auto* copy = static_cast<char*>(std::malloc(step.text.size() + 1));
        if (!copy) return false;
        std::memcpy(copy, step.text.data(), step.text.size() + 1);
        if (config.SetText(step.item, copy, static_cast<int32_t>(step.text.size()), true)) return true;
        std::free(copy);
        return false;
    }
    case ValueKind::Number:
        return config.SetInteger(step.item, step.number);
    case ValueKind::Libraries:
        RegisterLibraryEntry(config, step.text.c_str());
        return true;
    case ValueKind::ErrorSettings:
        ApplyErrorSettingEntry(config, step.text.c_str());
        return true;
    }
    return false;
}

// Reads the values still pending from the key and does them, recording each
// step done.
void ReadKey(ISAPIBaseConfig& config, RegistryKey key, uint32_t& pending, ConfigSteps& steps) {
    auto apply = [&](ConfigStep step) {
        if (!Apply(config, step)) return false;
        steps.push_back(std::move(step));
        return true;
    };
    for (size_t i = 0; i < kRegistryValues.size(); ++i) {
        const RegistryValue& value = kRegistryValues[i];
        const uint32_t bit = uint32_t{1} << i;
        if (!(pending & bit)) continue;
        bool found = false;
        switch (value.kind) {
        case ValueKind::Text: {
            int32_t length = 0;
            char* text = ReadRegistryText(key, value.name, &length);
            if (!text) break;
            std::string kept(text, static_cast<size_t>(length));
            std::free(text);
            found = apply({value.kind, value.item, 0, std::move(kept)});
            break;
        }
        case ValueKind::Number: {
            int32_t number = 0;
            found = ReadRegistryNumber(key, value.name, &number) && apply({value.kind, value.item, number, {}});
            break;
        }
        case ValueKind::Libraries:
        case ValueKind::ErrorSettings:
            found = ReadList(key, value.name, [&](const char* entry) { apply({value.kind, 0, 0, entry}); });
            break;
        }
        if (found) pending &= ~bit;
    }
}

void Replay(ISAPIBaseConfig& config, const ConfigSteps& steps) {
    for (const ConfigStep& step : steps) Apply(config, step);
}

bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

} // namespace

// --- ISAPIBaseConfig --------------------------------------------------------------------

void ISAPIBaseConfig::LoadRegistry(const char* path, int32_t length) {
    String subpath;
    if (path) subpath.Assign(path, length);
    const char* text = subpath.Text();
    int32_t n = subpath.Length();
    if (n > 0 && text[0] == '\\') {
        ++text;
        --n;
    }
    // The walk of this path on this version of the registry is done once;
    // later requests replay what it did (a version walked had the key).
    std::string walkedPath(text, static_cast<size_t>(n));
    WalkCache& cache = TheWalkCache();
    if (uint64_t current = platform::RegistryVersion()) {
        std::shared_ptr<const ConfigSteps> known;
        {
            std::lock_guard<std::mutex> lock(cache.mutex);
            auto found = cache.walks.find(walkedPath);
            if (found != cache.walks.end() && found->second.first == current) known = found->second.second;
        }
        if (known) {
            Replay(*this, *known);
            return;
        }
    }
    RegistryKey configuration = nullptr;
    if (!platform::RegistryOpenKey(platform::LocalMachineKey(), kConfigurationKey, &configuration)) return;
    uint64_t version = platform::RegistryKeyVersion(configuration);
    auto steps = std::make_shared<ConfigSteps>();
    uint32_t pending = kAllPending;
    while (n > 0) {
        String component(text, n);
        RegistryKey key = nullptr;
        if (platform::RegistryOpenKey(configuration, component.Text(), &key)) {
            ReadKey(*this, key, pending, *steps);
            platform::RegistryCloseKey(key);
        }
        while (n > 0 && text[n - 1] != '\\') --n;
        if (n > 0) --n; // the separator
    }
    ReadKey(*this, configuration, pending, *steps);
    platform::RegistryCloseKey(configuration);
    if (version == 0) return;
    std::lock_guard<std::mutex> lock(cache.mutex);
    if (cache.walks.size() >= kMostWalks) cache.walks.clear();
    cache.walks[walkedPath] = {version, std::move(steps)};
}

uint32_t TagErrorSettingOf(const char* flags) {
    uint32_t setting = 0;
    const char* p = flags ? flags : "";
    while (*p) {
        if (!IsLetter(*p)) {
            ++p;
            continue;
        }
        const char* word = p;
        while (IsLetter(*p)) ++p;
        size_t n = static_cast<size_t>(p - word);
        if (n == 5 && std::memcmp(word, "fatal", 5) == 0) setting |= kTagErrorFatal;
        if (n == 7 && std::memcmp(word, "display", 7) == 0) setting |= kTagErrorDisplay;
    }
    return setting;
}

// --- Ladrel -------------------------------------------------------------------------------

Ladrel::Ladrel(VornApplication* app, const platform::ISAPIControlBlock* block, ExternalCallManager* functions,
               CommerceLibraryManager* commerce, ExternalDatabaseLibraryManager* databases,
               SystemLibraryManager* systems)
    : application(app), controlBlock(block), functionLibraries(functions), commerceLibraries(commerce),
      databaseLibraryManager(databases), systemLibraries(systems) {}

Ladrel::~Ladrel() = default;

int32_t Ladrel::RegisterBuiltinLibrary(const char* path) {
    return functionLibraries ? functionLibraries->RegisterLibrary(path) : 0;
}

int32_t Ladrel::RegisterCommerceLibrary(const char* name, const char* path) {
    return commerceLibraries ? commerceLibraries->RegisterLibrary(name, path) : 0;
}

int32_t Ladrel::RegisterDatabaseLibrary(const char* name, const char* path) {
    return databaseLibraryManager ? databaseLibraryManager->RegisterLibrary(name, path) : 0;
}

int32_t Ladrel::RegisterSystemLibrary(const char* name, const char* path) {
    return systemLibraries ? systemLibraries->RegisterLibrary(name, path) : 0;
}

void Ladrel::SetTagErrorSetting(const char* name, const char* flags) {
    SetTagErrorDefault(name, -1, TagErrorSettingOf(flags));
}

void Ladrel::SetTagErrorDefault(const char* name, int32_t length, uint32_t value) {
    const TagNameRow* row = name ? tags.Find(name, length) : nullptr;
    if (row) tagErrors.SetSetting(static_cast<int32_t>(row->tagId), value);
}

void Ladrel::LoadForRequest() {
    String path;
    if (ServerText metabasePath = ReadServerVariable(controlBlock, "APPL_MD_PATH")) {
        size_t n = std::strlen(metabasePath.get());
        path.Assign(n >= 10 ? metabasePath.get() + 10 : metabasePath.get());
    }
    if (controlBlock && controlBlock->pathInfo) path.Append(controlBlock->pathInfo);
    String walked;
    for (int32_t i = 0; i < path.Length(); ++i) walked.AppendChar(path.Text()[i] == '/' ? '\\' : path.Text()[i]);
    LoadRegistry(walked.Text(), walked.Length());
}

// --- Server variables ---------------------------------------------------------------------

ServerText ReadServerVariable(const platform::ISAPIControlBlock* controlBlock, const char* name) {
    if (!controlBlock) return nullptr;
    // Where the server lends its own text, nothing is copied.
    if (platform::HasOptionalCallbacks(controlBlock) && controlBlock->serverVariableText) {
        size_t length = 0;
        return ServerText::Lent(controlBlock->serverVariableText(controlBlock->connection, name, &length));
    }
    if (!controlBlock->getServerVariable) return nullptr;
    // Most values fit a small buffer: one call instead of asking the size first.
    char small[256];
    size_t size = sizeof small;
    errno = 0;
    if (controlBlock->getServerVariable(controlBlock->connection, name, small, &size)) {
        if (size == 0) return nullptr;
        size_t n = size < sizeof small ? size : sizeof small; // whatever the server says it wrote
        MallocText copy(static_cast<char*>(std::malloc(n + 1)));
        if (!copy) return nullptr;
        std::memcpy(copy.get(), small, n);
        copy.get()[n] = '\0';
        return ServerText(std::move(copy));
    }
    if (errno != ERANGE || size == 0) return nullptr;
    const size_t allocated = size;
    MallocText buffer(static_cast<char*>(std::malloc(allocated + 1)));
    if (!buffer) return nullptr;
    if (!controlBlock->getServerVariable(controlBlock->connection, name, buffer.get(), &size)) return nullptr;
    buffer.get()[size < allocated ? size : allocated] = '\0'; // whatever the server wrote, the text ends here
    return ServerText(std::move(buffer));
}

} // namespace vorn
