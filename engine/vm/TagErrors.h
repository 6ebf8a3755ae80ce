// The tags of the script language with their error settings: whether a
// runtime error of the tag is shown and whether it ends the run, and the
// global variable ("<tag>_Error") that receives its message.
#pragma once

#include <cstdint>

#include "engine/foundation/TagLookup.h"

namespace vorn {

inline constexpr int32_t kTagErrorRows = 76;

// Setting bits.
inline constexpr uint32_t kTagErrorDisplay = 1;
inline constexpr uint32_t kTagErrorFatal = 2;

struct TagErrorEntry {
    uint32_t id;
    const char* tagName;      // null for an empty row
    const char* errorVariable; // the tag name followed by "_Error"; null for an empty row
    uint32_t setting;
};

// One request's copy of the table; the configuration changes its settings,
// and every VM of the request copies it when it is built.
struct TagErrorTable {
    // The built-in rows and default settings.
    TagErrorTable();
    // Sets a row's setting; ids outside the table are ignored.
    void SetSetting(int32_t id, uint32_t setting);
    // The row of a tag name (ASCII case ignored), or null.
    const TagErrorEntry* FindTag(const char* name, int32_t length) const;

    TagErrorEntry rows[kTagErrorRows];
};

// The built-in rows (0 .. 75; rows 63 and above are empty).
const TagErrorEntry* BuiltInTagErrors();

} // namespace vorn
