// HTML of vornconfig's pages: a form description rendered as a plain form (no
// script, no style), the tree of nodes, and short notices. Every text shown
// is escaped.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "snapin/ConfigNodes.h"
#include "snapin/Form.h"

namespace vorn::web {

std::string EscapeHtml(std::string_view text);
// Percent-encodes every byte but the unreserved ones, for a query value.
std::string EncodeQueryValue(std::string_view text);
// A node's page: its key path as the query's "key" (only '\' separates there).
std::string NodeUrl(const std::string& path);

using HiddenFields = std::vector<std::pair<std::string, std::string>>;

// A whole page of the tool.
std::string RenderDocument(const std::string& title, const std::string& body);
// A sheet's form, posted to action with the hidden fields; heading names the node.
std::string RenderForm(const Form& form, const std::string& heading, const std::string& action,
                       const HiddenFields& hidden);
// The tree of nodes, with the field that opens a path; message and typed
// path are shown when a path was refused.
std::string RenderNodeTree(const std::vector<ConfigNode>& nodes, const std::string& message,
                           const std::string& typedPath);
// A page holding one notice and a link home.
std::string RenderNotice(const std::string& title, const std::string& text);

} // namespace vorn::web
