#include "snapin/vornconfig/Html.h"

#include <cstdio>

namespace vorn::web {

namespace {

// A label with its access key: '&' marks the next character, "&&" is one '&'.
struct Label {
    std::string html;
    char key = 0;
};

// A key marked on an earlier control of the same page stays with that one:
// browsers differ in what a key given twice does. Here it is not marked again.
Label RenderLabel(const std::string& label, bool literal, std::string& taken) {
    Label rendered;
    if (literal) {
        rendered.html = EscapeHtml(label);
        return rendered;
    }
    for (size_t i = 0; i < label.size(); ++i) {
        if (label[i] != '&') {
            rendered.html += EscapeHtml(std::string_view(&label[i], 1));
        } else if (i + 1 < label.size() && label[i + 1] == '&') {
            rendered.html += "&amp;";
            ++i;
        } else if (i + 1 < label.size()) {
            char next = label[++i];
            bool ascii =
                (next >= 'A' && next <= 'Z') || (next >= 'a' && next <= 'z') || (next >= '0' && next <= '9');
            char key = next >= 'A' && next <= 'Z' ? static_cast<char>(next + 32) : next;
            if (ascii && (rendered.key || taken.find(key) != std::string::npos)) {
                rendered.html += EscapeHtml(std::string_view(&next, 1));
                continue;
            }
            if (ascii) {
                rendered.key = key;
                taken += key;
            }
            rendered.html += "<u>" + EscapeHtml(std::string_view(&next, 1)) + "</u>";
        }
    }
    return rendered;
}

std::string AccessKey(const Label& label) {
    return label.key ? std::string(" accesskey=\"") + label.key + "\"" : std::string();
}

// Line breaks stay in the text as well, so that the text reads as given.
std::string RenderLines(const std::string& text) {
    std::string escaped = EscapeHtml(text);
    std::string html;
    for (char c : escaped) {
        if (c == '\n') html += "<br>";
        html += c;
    }
    return html;
}

std::string Attribute(const char* name, const std::string& value) {
    return std::string(" ") + name + "=\"" + EscapeHtml(value) + "\"";
}

void RenderControl(const FormControl& control, std::string& out, std::string& taken) {
    // A text shows its label as it is, with no key.
    bool keyed = control.kind != FormControl::Kind::Text && control.kind != FormControl::Kind::EndGroup;
    Label label = keyed ? RenderLabel(control.label, control.literal, taken) : Label{};
    switch (control.kind) {
    case FormControl::Kind::Group:
        out += "<fieldset><legend" + AccessKey(label) + ">" + label.html + "</legend>\n";
        break;
    case FormControl::Kind::EndGroup:
        out += "</fieldset>\n";
        break;
    case FormControl::Kind::Text:
        out += "<p>" + RenderLines(control.label) + "</p>\n";
        break;
    case FormControl::Kind::Edit:
        out += "<p><label" + Attribute("for", control.name) + AccessKey(label) + ">" + label.html +
               "</label> " + "<input type=\"text\"" + Attribute("id", control.name) +
               Attribute("name", control.name) + Attribute("value", control.value) + "></p>\n";
        break;
    case FormControl::Kind::Check: {
        std::string id = control.name + "-" + control.value;
        out += "<p><input type=\"checkbox\"" + Attribute("id", id) + Attribute("name", control.name) +
               Attribute("value", control.value) + (control.checked ? " checked" : "") + "> <label" +
               Attribute("for", id) + AccessKey(label) + ">" + label.html + "</label></p>\n";
        break;
    }
    case FormControl::Kind::Choice:
        out += "<p><label" + Attribute("for", control.name) + AccessKey(label) + ">" + label.html +
               "</label> <select" + Attribute("id", control.name) + Attribute("name", control.name) + ">";
        for (const auto& option : control.options)
            out += "<option" + Attribute("value", option.first) +
                   (option.first == control.value ? " selected" : "") + ">" + EscapeHtml(option.second) +
                   "</option>";
        out += "</select></p>\n";
        break;
    case FormControl::Kind::Button:
        out += "<button type=\"submit\"" + Attribute("name", control.name) +
               Attribute("value", control.value) + AccessKey(label) + ">" + label.html + "</button>\n";
        break;
    case FormControl::Kind::List: {
        if (!control.label.empty()) {
            std::string first =
                control.rows.empty() ? control.name : control.name + "-" + control.rows[0].value;
            out += "<p><label" + Attribute("for", first) + AccessKey(label) + ">" + label.html +
                   "</label></p>\n";
        }
        out += "<table" + Attribute("id", control.name) + ">\n";
        if (!control.columns.empty()) {
            out += "<thead><tr><th></th>";
            for (const std::string& column : control.columns)
                out += "<th>" + EscapeHtml(column) + "</th>";
            out += "</tr></thead>\n";
        }
        out += "<tbody>\n";
        for (const FormRow& row : control.rows) {
            std::string id = control.name + "-" + row.value;
            out += "<tr><td><input type=\"checkbox\"" + Attribute("id", id) +
                   Attribute("name", control.name) + Attribute("value", row.value) +
                   (row.selected ? " checked" : "") + "></td>";
            for (size_t cell = 0; cell < row.cells.size(); ++cell) {
                std::string text = EscapeHtml(row.cells[cell]);
                out += cell == 0 ? "<td><label" + Attribute("for", id) + ">" + text + "</label></td>"
                                 : "<td>" + text + "</td>";
            }
            out += "</tr>\n";
        }
        out += "</tbody></table>\n";
        break;
    }
    }
}

} // namespace

std::string EscapeHtml(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string EncodeQueryValue(std::string_view text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                          c == '-' || c == '.' || c == '_' || c == '~';
        if (unreserved) {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        }
    }
    return out;
}

std::string NodeUrl(const std::string& path) {
    return "/node?key=" + EncodeQueryValue(path);
}

std::string RenderDocument(const std::string& title, const std::string& body) {
    return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>" + EscapeHtml(title) +
           "</title></head>\n<body>\n" + body + "</body></html>\n";
}

std::string RenderForm(const Form& form, const std::string& heading, const std::string& action,
                       const HiddenFields& hidden) {
    std::string body = "<h1>" + EscapeHtml(form.caption) + "</h1>\n";
    if (!heading.empty()) body += "<p id=\"node\">" + EscapeHtml(heading) + "</p>\n";
    if (!form.message.empty())
        body += "<p id=\"message\" role=\"alert\">" + RenderLines(form.message) + "</p>\n";
    body += "<form method=\"post\"" + Attribute("action", action) + " accept-charset=\"utf-8\">\n";
    for (const auto& field : hidden)
        body += "<input type=\"hidden\"" + Attribute("name", field.first) + Attribute("value", field.second) +
                ">\n";
    // Enter in an edit presses the first button of the form: let that be the default one.
    if (!form.defaultAction.empty())
        body += "<button type=\"submit\"" + Attribute("name", kActionField) +
                Attribute("value", form.defaultAction) + " hidden tabindex=\"-1\"></button>\n";
    std::string taken;
    for (const FormControl& control : form.controls)
        RenderControl(control, body, taken);
    body += "</form>\n";
    return RenderDocument(form.caption, body);
}

std::string RenderNodeTree(const std::vector<ConfigNode>& nodes, const std::string& message,
                           const std::string& typedPath) {
    const std::string title = "Vorn Quillon Tevrona Configuration";
    std::string body = "<h1>" + EscapeHtml(title) + "</h1>\n";
    if (!message.empty()) body += "<p id=\"message\" role=\"alert\">" + RenderLines(message) + "</p>\n";
    body += "<ul id=\"nodes\">\n";
    for (size_t i = 0; i < nodes.size(); ++i) {
        if (i > 0) {
            if (nodes[i].depth > nodes[i - 1].depth) {
                body += "<ul>\n";
            } else {
                body += "</li>\n";
                for (int32_t depth = nodes[i - 1].depth; depth > nodes[i].depth; --depth)
                    body += "</ul></li>\n";
            }
        }
        body +=
            "<li><a" + Attribute("href", NodeUrl(nodes[i].path)) + ">" + EscapeHtml(nodes[i].name) + "</a>";
    }
    if (!nodes.empty()) {
        body += "</li>\n";
        for (int32_t depth = nodes.back().depth; depth > 0; --depth)
            body += "</ul></li>\n";
    }
    body += "</ul>\n<form method=\"get\" action=\"/node\"><p><label for=\"path\" accesskey=\"o\"><u>O</u>pen "
            "a node:"
            "</label> <input type=\"text\" id=\"path\" name=\"path\"" +
            Attribute("value", typedPath) + "> <button type=\"submit\">Open</button></p></form>\n";
    return RenderDocument(title, body);
}

std::string RenderNotice(const std::string& title, const std::string& text) {
    return RenderDocument(title, "<h1>" + EscapeHtml(title) + "</h1>\n<p id=\"message\">" +
                                     RenderLines(text) + "</p>\n<p><a href=\"/\">Configuration</a></p>\n");
}

} // namespace vorn::web
