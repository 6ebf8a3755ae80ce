#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "server/CgiVariables.h"
#include "tests/server/ServerSupport.h"

namespace vorn::server {
namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

// The variables of a request with these parameters, as the responder reads
// them for the extension.
void Load(CgiVariables& variables, const Pairs& params) {
    variables.Params()->Assign(test::Params(params));
    size_t length = 0;
    ASSERT_EQ(variables.Params()->Index(&length), RequestHead::Complete);
    variables.Derive();
}

std::string ValueOf(CgiVariables& variables, const char* name) {
    const char* value = variables.Value(name);
    return value ? value : "<none>";
}

TEST(CgiVariables, WhatTheExtensionReads) {
    const Pairs request = {{"REQUEST_METHOD", "POST"}, {"PATH_INFO", "/p.vrc"},    {"DOCUMENT_ROOT", "/srv/www"},
                           {"HTTP_HOST", "example"},  {"HTTP_X_TWO", "a\r\n b"}, {"HTTPS", "on"},
                           {"REMOTE_ADDR", "192.0.2.1"}, {"QUERY_STRING", ""},   {"CONTENT_TYPE", "text/plain"},
                           {"A=B", "c"},              {"PATH_INFO", "/second"}};
    struct Case {
        const char* what;
        Pairs params;
        const char* name;
        std::string value;
    } cases[] = {
        {"the headers, CR and LF dropped", request, "ALL_HTTP", "HTTP_HOST:example\nHTTP_X_TWO:a b\n"},
        {"no headers", {{"PATH_INFO", "/x"}}, "ALL_HTTP", ""},
        {"a default metabase path", request, "APPL_MD_PATH", "/LM/W3SVC/1/ROOT"},
        {"an empty metabase path", {{"APPL_MD_PATH", ""}}, "APPL_MD_PATH", "/LM/W3SVC/1/ROOT"},
        {"a metabase path sent", {{"APPL_MD_PATH", "/LM/W3SVC/2/ROOT"}}, "APPL_MD_PATH", "/LM/W3SVC/2/ROOT"},
        {"a translated path from the root and path", request, "PATH_TRANSLATED", "/srv/www/p.vrc"},
        {"a translated path sent", {{"PATH_TRANSLATED", "/t"}, {"DOCUMENT_ROOT", "/r"}}, "PATH_TRANSLATED", "/t"},
        {"an empty translated path", {{"PATH_TRANSLATED", ""}, {"PATH_INFO", "/i"}}, "PATH_TRANSLATED", "/i"},
        {"https on", request, "SERVER_PORT_SECURE", "1"},
        {"https in capitals", {{"HTTPS", "ON"}}, "SERVER_PORT_SECURE", "1"},
        {"https off", {{"HTTPS", "off"}}, "SERVER_PORT_SECURE", "0"},
        {"no https", {}, "SERVER_PORT_SECURE", "0"},
        {"the remote host from its address", request, "REMOTE_HOST", "192.0.2.1"},
        {"a remote host sent", {{"REMOTE_HOST", "h"}, {"REMOTE_ADDR", "a"}}, "REMOTE_HOST", "h"},
        {"no remote host", {}, "REMOTE_HOST", ""},
        {"an empty value", request, "QUERY_STRING", ""},
        {"the first of a name", request, "PATH_INFO", "/p.vrc"},
        {"a name holding '='", request, "A=B", "c"},
        {"a missing name", request, "MISSING", "<none>"},
        {"a missing name holding '='", request, "A=C", "<none>"},
    };
    CgiVariables variables;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Load(variables, c.params);
        EXPECT_EQ(ValueOf(variables, c.name), c.value);
    }

    // The block's request fields.
    Load(variables, request);
    platform::ISAPIControlBlock block{};
    variables.Fill(&block, 12);
    EXPECT_STREQ(block.method, "POST");
    EXPECT_STREQ(block.queryString, "");
    EXPECT_STREQ(block.pathInfo, "/p.vrc");
    EXPECT_STREQ(block.pathTranslated, "/srv/www/p.vrc");
    EXPECT_STREQ(block.contentType, "text/plain");
    EXPECT_EQ(block.totalBytes, 12u);
    Load(variables, {});
    variables.Fill(&block, 0);
    EXPECT_EQ(block.method, nullptr);
    EXPECT_EQ(block.queryString, nullptr);
    EXPECT_EQ(block.pathInfo, nullptr);
    EXPECT_STREQ(block.pathTranslated, "");
    EXPECT_EQ(block.contentType, nullptr);
}

// ALL_HTTP is each request's own, whether or not the requests before it
// (on a kept connection: the same variables) asked for theirs.
TEST(CgiVariables, AllHttpIsEachRequestsOwn) {
    const struct {
        const char* header;
        bool ask;
    } requests[] = {{"one", true}, {"two", false}, {"three", true}, {"four", true}};
    CgiVariables variables;
    for (const auto& r : requests) {
        SCOPED_TRACE(r.header);
        Load(variables, {{"PATH_INFO", "/ask"}, {"HTTP_X", r.header}});
        if (r.ask) {
            EXPECT_EQ(ValueOf(variables, "ALL_HTTP"), std::string("HTTP_X:") + r.header + "\n");
        }
    }
}

TEST(CgiVariables, AllHttpFromTheHeaderParameters) {
    ParamIndex params;
    params.Assign(test::Params({{"HTTP_USER_AGENT", "agent 1.0"},
                                {"SERVER_NAME", "www"},
                                {"HTTP_X_SPLIT", "one\r\ntwo: x"},
                                {"HTTP_EMPTY", ""},
                                {"HTTP", "short"}}));
    size_t length = 0;
    ASSERT_EQ(params.Index(&length), RequestHead::Complete);
    std::string all = "room kept from before";
    AllHttp(params, &all);
    EXPECT_EQ(all, "HTTP_USER_AGENT:agent 1.0\nHTTP_X_SPLIT:onetwo: x\nHTTP_EMPTY:\n");
    params.Assign("");
    ASSERT_EQ(params.Index(&length), RequestHead::Complete);
    AllHttp(params, &all);
    EXPECT_EQ(all, "");
}

} // namespace
} // namespace vorn::server
