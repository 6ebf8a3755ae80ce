// Fixtures of the configuration tool's tests: a registry file of the test's
// own, reading values back from it, and submitting a form the way a browser
// does (every field as shown, some typed over or ticked, one button).
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>

#include "host/web/ISAPIBaseConfig.h"
#include "platform/Registry.h"
#include "snapin/ConfigSheet.h"
#include "snapin/Form.h"
#include "tests/host/base/HostServicesSupport.h"

namespace vorn::test {

inline std::string NodeKey(const std::string& path) {
    return std::string(kConfigurationKey) + (path.empty() ? "" : "\\" + path);
}

// A value as one text: "dword:N" for a number, the text, or a list's entries
// each followed by '|'. Nothing when the key or value is missing.
inline std::optional<std::string> RegistryValue(const std::string& key, const char* name) {
    platform::RegistryKey opened = nullptr;
    if (!platform::RegistryOpenKey(platform::LocalMachineKey(), key.c_str(), &opened)) return std::nullopt;
    uint32_t type = 0;
    size_t size = 0;
    std::optional<std::string> value;
    if (platform::RegistryQueryValue(opened, name, &type, nullptr, &size)) {
        std::string bytes(size, '\0');
        platform::RegistryQueryValue(opened, name, &type, bytes.data(), &size);
        if (type == platform::kRegistryNumber) {
            uint32_t word = 0;
            for (int i = 0; i < 4; ++i)
                word |= uint32_t{static_cast<unsigned char>(bytes[static_cast<size_t>(i)])} << (8 * i);
            value = "dword:" + std::to_string(word);
        } else if (type == platform::kRegistryString) {
            value = bytes.substr(0, bytes.find('\0'));
        } else {
            std::string entries;
            for (size_t at = 0; at < bytes.size() && bytes[at]; at = bytes.find('\0', at) + 1)
                entries += bytes.substr(at, bytes.find('\0', at) - at) + "|";
            value = entries;
        }
    }
    platform::RegistryCloseKey(opened);
    return value;
}

// What a browser posts for a form: each edit's text and each choice (as
// typed over by `typed`, by field name), each ticked box and selected row (as
// changed by `ticks`, by element id: name-value), then the button pressed.
inline PostedValues Submission(const Form& form, const std::string& action,
                               const std::map<std::string, std::string>& typed = {},
                               const std::map<std::string, bool>& ticks = {}) {
    PostedValues posted;
    auto ticked = [&](const std::string& id, bool shown) {
        auto found = ticks.find(id);
        return found == ticks.end() ? shown : found->second;
    };
    for (const FormControl& control : form.controls) {
        if (control.kind == FormControl::Kind::Edit || control.kind == FormControl::Kind::Choice) {
            auto found = typed.find(control.name);
            posted.Add(control.name, found == typed.end() ? control.value : found->second);
        } else if (control.kind == FormControl::Kind::Check) {
            if (ticked(control.name + "-" + control.value, control.checked))
                posted.Add(control.name, control.value);
        } else if (control.kind == FormControl::Kind::List) {
            for (const FormRow& row : control.rows)
                if (ticked(control.name + "-" + row.value, row.selected)) posted.Add(control.name, row.value);
        }
    }
    size_t equals = action.find('=');
    if (equals == std::string::npos)
        posted.Add(kActionField, action);
    else
        posted.Add(action.substr(0, equals), action.substr(equals + 1)); // a button of another field
    return posted;
}

// Presses a button of the sheet's shown form; the submission must be taken.
inline void Press(ConfigSheet& sheet, const std::string& action,
                  const std::map<std::string, std::string>& typed = {},
                  const std::map<std::string, bool>& ticks = {}) {
    ASSERT_TRUE(sheet.Post(Submission(sheet.Describe(), action, typed, ticks))) << action;
}

} // namespace vorn::test
