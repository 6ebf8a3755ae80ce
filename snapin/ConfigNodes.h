// The nodes the configuration tool offers: the "Configuration" key and every
// key below it, and paths of nodes that have no key yet.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vorn {

struct ConfigNode {
    std::string name;  // "Configuration" for the root
    std::string path;  // below "Configuration", components joined with '\'; empty for the root
    int32_t depth = 0; // 0 for the root
};

// The root, then every key below it depth first in the registry's order.
std::vector<ConfigNode> ListConfigNodes();

// A node path: components separated by '\' (and by '/' when slashes
// separate, as in typed paths; a key's own name may hold '/'), empty ones
// skipped, each a name the registry can hold (no control bytes, '[' or ']',
// no blanks at either end, at most 255 bytes). Gives the components joined
// with '\', or false with the reason.
bool NormalizeNodePath(const std::string& text, bool slashesSeparate, std::string* path, std::string* reason);

} // namespace vorn
