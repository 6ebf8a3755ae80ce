#include "snapin/ConfigNodes.h"

#include <cerrno>

#include "host/web/ISAPIBaseConfig.h"
#include "platform/Errors.h"
#include "platform/Registry.h"

namespace vorn {

namespace {

using platform::RegistryKey;

// As deep as Windows keeps keys; deeper keys of a file are not listed.
constexpr int32_t kMaxDepth = 512;
constexpr size_t kMaxComponent = 255;

void ListBelow(RegistryKey key, const std::string& path, int32_t depth, std::vector<ConfigNode>& nodes) {
    if (depth > kMaxDepth) return;
    std::vector<char> name(kMaxComponent + 1);
    for (uint32_t index = 0;; ++index) {
        size_t size = name.size();
        if (!platform::RegistryEnumerateSubkey(key, index, name.data(), &size)) {
            if (platform::LastError() != ERANGE) break;
            name.resize(size); // a longer name than any typed one: still listed
            --index;
            continue;
        }
        std::string child(name.data(), size);
        RegistryKey opened = nullptr;
        if (!platform::RegistryOpenKey(key, child.c_str(), &opened)) continue;
        std::string childPath = path.empty() ? child : path + "\\" + child;
        nodes.push_back({child, childPath, depth});
        ListBelow(opened, childPath, depth + 1, nodes);
        platform::RegistryCloseKey(opened);
    }
}

} // namespace

std::vector<ConfigNode> ListConfigNodes() {
    std::vector<ConfigNode> nodes{{"Configuration", "", 0}};
    RegistryKey configuration = nullptr;
    if (!platform::RegistryOpenKey(platform::LocalMachineKey(), kConfigurationKey, &configuration))
        return nodes;
    ListBelow(configuration, "", 1, nodes);
    platform::RegistryCloseKey(configuration);
    return nodes;
}

bool NormalizeNodePath(const std::string& text, bool slashesSeparate, std::string* path,
                       std::string* reason) {
    path->clear();
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find_first_of(slashesSeparate ? "\\/" : "\\", start);
        if (end == std::string::npos) end = text.size();
        std::string part = text.substr(start, end - start);
        start = end + 1;
        if (part.empty()) continue;
        if (part.size() > kMaxComponent) {
            *reason = "A key name may hold at most 255 characters.";
            return false;
        }
        if (part.front() == ' ' || part.front() == '\t' || part.back() == ' ' || part.back() == '\t') {
            *reason = "A key name may not begin or end with a blank.";
            return false;
        }
        for (char c : part) {
            auto byte = static_cast<unsigned char>(c);
            if (byte < 0x20 || byte == 0x7f || c == '[' || c == ']') {
                *reason = "A key name may not hold control characters, '[' or ']'.";
                return false;
            }
        }
        *path += (path->empty() ? "" : "\\") + part;
    }
    return true;
}

} // namespace vorn
