#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/web/ISAPIApplication.h"
#include "host/web/RequestNames.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/Time.h"
#include "tests/host/web/WebHostSupport.h"

namespace vorn {
namespace {

using test::MemoryRequest;
using test::Serve;
using test::Site;

const char kHello[] = ".segment main entry\n    pushc \"0123456789\"\n    out\n.end\n";

// A script writing "name=value;" for each system variable named.
std::string ShowSystem(const std::vector<std::string>& names) {
    std::string source = ".system";
    for (const std::string& n : names) source += " " + n;
    source += "\n.segment main entry\n";
    for (const std::string& n : names) source += "    pushc \"" + n + "=\"\n    pushs " + n + "\n    cat\n    pushc \";\"\n    cat\n    out\n";
    return source + ".end\n";
}

// A script showing the form fields a and b and the body of other types.
const char kShowPost[] = R"(.system content_data
.global a b
.segment main entry
    pushc "a,b"
    hide
    pushc "|"
    pushs content_data
    cat
    out
.end
)";

TEST(RequestApplication, EveryRefusalIsTheWholeResponse) {
    const std::string admin = "<br>Please contact the server administrator: webmaster@localhost";
    struct Case {
        const char* what;
        std::string settings; // registry lines (vornroot and datadir come first unless replaced)
        std::string pathInfo, pathTranslated; // "" for the site's own
        std::string response;                 // the whole body, or its beginning when it ends in '*'
    } cases[] = {
        {"no root", "vornroot = \"\"\n", "/hello.vrc", "", "Configuration Error: vornroot is not defined" + admin},
        {"a relative root", "vornroot = www\n", "/hello.vrc", "",
         "Configuration Error: The configured Vorn root directory must be an absolute path" + admin},
        {"a root that is no directory", "vornroot = /nonexistent/vorn\n", "/hello.vrc", "",
         "Configuration Error: The configured script directory does not exist, or is not a directory" + admin},
        {"a translated path of one component", "", "/", "/", "Configuration Error: Invalid PATH_TRANSLATED" + admin},
        {"a path outside the root, its name encoded", "", "/<b>x.vrc", "/elsewhere/<b>x.vrc",
         "Configuration Error: '/&lt;b&gt;x.vrc' is not contained in the configured script directory" + admin},
        {"letter case counts", "", "/hello.vrc", "UPPER",
         "Configuration Error: '/hello.vrc' is not contained in the configured script directory" + admin},
        {"a way out through '..'", "", "/../x.vrc", "/../x.vrc",
         "Configuration Error: '/../x.vrc' is not contained in the configured script directory" + admin},
        {"a missing script, its name encoded", "", "/missing\".vrc", "", "Unable to execute '/missing&quot;.vrc': *"},
        {"the root itself", "", "/", "ROOT", "Unable to execute '/': *"},
        {"not a compiled script", "", "/bad.vrc", "",
         "Unable to execute 'bad.vrc': File is either corrupt or not a valid compiled Vorn Script file"},
        {"no data folder", "datadir = \"\"\n", "/hello.vrc", "",
         "Configuration Error: No data directory is defined" + admin},
        {"an administrator of one's own", "datadir = \"\"\nserveradmin = ops@example.com\n", "/hello.vrc", "",
         "Configuration Error: No data directory is defined<br>Please contact the server administrator: "
         "ops@example.com"},
        {"no administrator", "datadir = \"\"\nserveradmin = \"\"\n", "/hello.vrc", "",
         "Configuration Error: No data directory is defined<br>"},
        {"the script runs", "", "/hello.vrc", "", "0123456789"},
    };
    Site site;
    site.Script("hello.vrc", kHello);
    test::WriteText(site.root + "/bad.vrc", "not a program");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // A later line of the same name replaces the first.
        site.registry.Write("[SOFTWARE\\Vorn\\Vorn Tevrona NT\\Configuration]\nvornroot = " + site.root +
                            "\ndatadir = " + site.data + "\n" + c.settings);
        std::string translated = c.pathTranslated.empty() ? site.root + c.pathInfo
                                 : c.pathTranslated == "UPPER" ? site.registry.dir / "WWW" + c.pathInfo
                                 : c.pathTranslated == "ROOT"  ? site.root
                                                               : c.pathTranslated;
        MemoryRequest request(site.Request(c.pathInfo, "", {{"PATH_TRANSLATED", translated}}));
        int32_t result = Serve(request);
        EXPECT_EQ(result, c.response == "0123456789" ? 0 : 1);
        if (c.response.back() == '*') {
            EXPECT_EQ(request.response.substr(0, c.response.size() - 1), c.response.substr(0, c.response.size() - 1));
        } else {
            EXPECT_EQ(request.response, c.response);
        }
        EXPECT_EQ(request.status, "200 OK");
        EXPECT_EQ(request.Header("Content-Type"), "text/html");
    }
}

TEST(RequestApplication, TheBodyReachesTheScriptThroughItsParser) {
    struct Case {
        const char* what;
        std::string type, length, body;
        size_t preRead, readPiece;
        int failReadsAfter;
        std::string settings;
        std::string response;
        int reads; // -1: any
    } cases[] = {
        {"a form in pieces", "application/x-www-form-urlencoded", "11", "a=1&a=2&b=x", 0, 3, -1, "",
         "<input type=\"hidden\" name=\"a[1]\" value=\"1\"><input type=\"hidden\" name=\"a[2]\" value=\"2\">"
         "<input type=\"hidden\" name=\"b\" value=\"x\">|",
         -1},
        {"all of it came with the request", "application/x-www-form-urlencoded", "3", "a=1", 3, 1, -1, "",
         "<input type=\"hidden\" name=\"a\" value=\"1\"><input type=\"hidden\" name=\"b\" value=\"\">|", 0},
        {"never more than announced", "application/x-www-form-urlencoded", "3", "a=12345&b=2", 2, 100, -1, "",
         "<input type=\"hidden\" name=\"a\" value=\"1\"><input type=\"hidden\" name=\"b\" value=\"\">|", 1},
        {"a type of any letter case", "Application/X-WWW-Form-Urlencoded; charset=utf-8", "3", "b=9", 0, 100, -1,
         "", "<input type=\"hidden\" name=\"a\" value=\"\"><input type=\"hidden\" name=\"b\" value=\"9\">|", -1},
        {"no length: no body", "application/x-www-form-urlencoded", "", "a=1", 0, 100, -1, "",
         "<input type=\"hidden\" name=\"a\" value=\"\"><input type=\"hidden\" name=\"b\" value=\"\">|", 0},
        {"length 0: no body", "text/plain", "0", "x", 0, 100, -1, "",
         "<input type=\"hidden\" name=\"a\" value=\"\"><input type=\"hidden\" name=\"b\" value=\"\">|", 0},
        {"no type: no body", "", "1", "x", 0, 100, -1, "",
         "<input type=\"hidden\" name=\"a\" value=\"\"><input type=\"hidden\" name=\"b\" value=\"\">|", 0},
        {"a length past 2^31-1", "text/plain", "2147483648", "x", 0, 100, -1, "", "Invalid CONTENT_LENGTH", 0},
        {"a body ending short", "text/plain", "10", "12345", 0, 100, -1, "", "Incomplete POST data", -1},
        {"a read that fails", "text/plain", "5", "12345", 0, 2, 1, "", "Incomplete POST data", -1},
        {"other types kept whole", "text/plain", "5", "12345", 0, 2, -1, "",
         "<input type=\"hidden\" name=\"a\" value=\"\"><input type=\"hidden\" name=\"b\" value=\"\">|12345", -1},
        {"other types refused", "text/plain", "5", "12345", 0, 100, -1, "maxunknowncontentlength = dword:-1\n",
         "Unknown POST content type", 0},
        {"other types up to a limit", "text/plain", "101", std::string(101, 'x'), 0, 100, -1,
         "maxunknowncontentlength = dword:100\n",
         "POST content length exceeds configured maximum for unknown content types", 0},
        {"exactly the limit", "text/plain", "100", std::string(100, 'x'), 0, 1000, -1,
         "maxunknowncontentlength = dword:100\n",
         "<input type=\"hidden\" name=\"a\" value=\"\"><input type=\"hidden\" name=\"b\" value=\"\">|" +
             std::string(100, 'x'),
         -1},
        {"no limit", "text/plain", "5", "12345", 0, 100, -1, "maxunknowncontentlength = dword:0\n",
         "<input type=\"hidden\" name=\"a\" value=\"\"><input type=\"hidden\" name=\"b\" value=\"\">|12345", -1},
        {"a multipart type of any letter case", "Multipart/Form-Data; boundary=q", "=",
         "--q\r\nContent-Disposition: form-data; name=a\r\n\r\nm\r\n--q--", 0, 100, -1, "",
         "<input type=\"hidden\" name=\"a\" value=\"m\"><input type=\"hidden\" name=\"b\" value=\"\">|", -1},
        {"too short to be multipart", "multipart/form-dat", "3", "abc", 0, 100, -1, "",
         "<input type=\"hidden\" name=\"a\" value=\"\"><input type=\"hidden\" name=\"b\" value=\"\">|abc", -1},
        {"a parser's message, encoded", "multipart/form-data; boundary=q", "6", "--q\r<\r", 0, 100, -1, "",
         "Found &lt; when expected LF", -1},
        {"the variable limit", "application/x-www-form-urlencoded", "7", "a=1&b=2", 0, 100, -1,
         "maxpostvars = dword:1\n", "Maximum number of POST variables exceeded", -1},
    };
    Site site;
    site.Script("post.vrc", kShowPost);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        site.Registry(c.settings);
        std::map<std::string, std::string> more = {{"REQUEST_METHOD", "POST"}};
        if (!c.type.empty()) more["CONTENT_TYPE"] = c.type;
        more["CONTENT_LENGTH"] = c.length == "=" ? std::to_string(c.body.size()) : c.length;
        MemoryRequest request(site.Request("/post.vrc", "", more), c.body, c.preRead);
        request.readPiece = c.readPiece;
        request.failReadsAfter = c.failReadsAfter;
        Serve(request);
        EXPECT_EQ(request.response, c.response);
        if (c.reads >= 0) {
            EXPECT_EQ(request.reads, c.reads);
        }
    }
}

TEST(RequestApplication, PostDataTimesOut) {
    Site site;
    site.Script("post.vrc", kShowPost);
    site.Registry("posttimeout = dword:5\n");
    MemoryRequest request(site.Request("/post.vrc", "",
                                       {{"CONTENT_TYPE", "text/plain"}, {"CONTENT_LENGTH", "4"}}),
                          "abcd");
    request.readPiece = 1;
    ISAPIApplication application(platform::HostModule(), &request.block, nullptr);
    // The watchdog ticks while the client is slow; the clock moves past the deadline.
    static int64_t offset = 0;
    platform::SetWallClock([] {
        platform::TimeValue now{};
        now.seconds = 1700000000 + offset;
        return now;
    });
    request.onRead = [&] {
        if (request.reads == 2) offset = 60;
        application.CheckTimeouts();
    };
    EXPECT_EQ(application.Run(), 1);
    platform::SetWallClock(nullptr);
    EXPECT_EQ(request.response, "Timeout processing POST data");
    EXPECT_EQ(request.reads, 3);
}

TEST(RequestApplication, TheRequestBecomesSystemVariables) {
    struct Case {
        const char* what;
        std::string path, query;
        std::map<std::string, std::string> more;
        std::vector<std::string> names;
        std::string response;
    } cases[] = {
        {"positional arguments", "/show.vrc", "a%20b+c+%zz", {}, {"arg1", "arg2", "arg3", "arg4", "nargs"},
         "arg1=/show.vrc;arg2=a b;arg3=c;arg4=%zz;nargs=4;"},
        {"an empty query", "/show.vrc", "", {}, {"arg1", "arg2", "nargs"}, "arg1=/show.vrc;arg2=;nargs=2;"},
        {"https on its default port, an IPv6 host", "/show.vrc", "",
         {{"SERVER_NAME", "::1"}, {"SERVER_PORT", "443"}, {"SERVER_PORT_SECURE", "1"}},
         {"documenturl", "apitype"}, "documenturl=https://[::1]/show.vrc?;apitype=ISAPI;"},
        {"http on another port", "/show.vrc", "x=1", {{"SERVER_PORT", "8080"}}, {"documenturl"},
         "documenturl=http://www.example.com:8080/show.vrc?;"},
        {"headers from ALL_HTTP", "/show.vrc", "",
         {{"ALL_HTTP", "HTTP_X_A:1:2\nHTTP_USER_AGENT:agent\nno colon\nHTTP_LAST:z"}},
         {"HTTP_X_A", "HTTP_USER_AGENT", "HTTP_LAST"}, "HTTP_X_A=1:2;HTTP_USER_AGENT=agent;HTTP_LAST=z;"},
        {"server variables", "/show.vrc", "q", {{"REQUEST_METHOD", "HEAD"}, {"REMOTE_USER", "ann"}},
         {"REQUEST_METHOD", "REMOTE_ADDR", "REMOTE_USER", "QUERY_STRING", "AUTH_TYPE"},
         "REQUEST_METHOD=HEAD;REMOTE_ADDR=192.0.2.7;REMOTE_USER=ann;QUERY_STRING=q;AUTH_TYPE=;"},
        {"the caller's cookie, by its exact name", "/show.vrc", "",
         {{"HTTP_COOKIE", "xkpzcallerid=ffffffffffffffffffffffffffffffff; kpzcallerid=0123456789abcdef0123456789abcdef"}},
         {"callerid"}, "callerid=0123456789abcdef0123456789abcdef;"},
        {"settings", "/show.vrc", "", {}, {"vornversion", "globaltimeout"}, "vornversion=5.20;globaltimeout=90;"},
    };
    Site site;
    site.Registry();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        site.Script("show.vrc", ShowSystem(c.names));
        MemoryRequest request(site.Request(c.path, c.query, c.more));
        Serve(request);
        EXPECT_EQ(request.response, c.response);
    }
}

// The request's variables are made when a script first could see them, as
// they were at the start: looked up by name, after a system scope that
// opened first, headers named without HTTP_, a name of the script's own
// that is none of them.
TEST(RequestApplication, RequestVariablesAreThereWhenFirstLookedAt) {
    struct Case {
        const char* what;
        std::string body;
        std::map<std::string, std::string> more;
        std::string response;
    } cases[] = {
        {"by name", "    pushc \"REQUEST_METHOD, nargs ,arg2,X_OWN\"\n    hide\n", {{"ALL_HTTP", "X_OWN:1"}},
         "<input type=\"hidden\" name=\"REQUEST_METHOD\" value=\"GET\">"
         "<input type=\"hidden\" name=\"nargs\" value=\"3\">"
         "<input type=\"hidden\" name=\"arg2\" value=\"a\">"
         "<input type=\"hidden\" name=\"X_OWN\" value=\"1\">"},
        {"after a scope", "    spush\n    spop\n    pushc \"s.arg3\"\n    hide\n", {},
         "<input type=\"hidden\" name=\"s.arg3\" value=\"&#40;b&#41;\">"},
        {"a name of its own first", "    pushc \"own\"\n    hide\n    pushc \"SERVER_NAME\"\n    hide\n", {},
         "<input type=\"hidden\" name=\"own\" value=\"\">"
         "<input type=\"hidden\" name=\"SERVER_NAME\" value=\"www.example.com\">"},
    };
    Site site;
    site.Registry("usecookies = dword:0\n");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        site.Script("show.vrc", ".segment main entry\n" + c.body + ".end\n");
        MemoryRequest request(site.Request("/show.vrc", "a+%28b%29", c.more));
        Serve(request);
        EXPECT_EQ(request.response, c.response);
    }
}

// However the system scope is first reached, it holds the request's
// variables in the order they were made: a script's first word reading it by
// position, a plug-in handed the table walking it by position, either after a
// lookup of a name there is none of; with and without a name of the
// script's own. Each sees what it sees after a listing.
TEST(RequestApplication, EveryWayIntoTheSystemScopeSeesTheRequestsVariables) {
    Site site;
    site.Registry("usecookies = dword:0\nlibraries[] = b,," VORN_FIXTURE_HOSTINTERFACELIBRARY "\n");
    // The first step, then entry 3 and the plug-in's walk.
    auto serve = [&](const std::string& declared, const std::string& first) {
        site.Script("walk.vrc", (declared.empty() ? "" : ".system " + declared + "\n") +
                                    ".global seen\n.extern hi_system(a)\n.segment main entry\n" + first +
                                    "    pushs 3\n    out\n    pushc \"|\"\n    out\n"
                                    "    pushc \"\"\n    call hi_system\n    out\n.end\n");
        MemoryRequest request(site.Request("/walk.vrc", "q=1", {{"CONTENT_LENGTH", "0"}, {"CONTENT_TYPE", ""}}));
        Serve(request);
        return request.response;
    };
    const std::string listing = "    pushc \"list\"\n    call hi_system\n    popg seen\n";
    struct Case {
        const char* what;
        std::string first;
    } cases[] = {
        {"entry 3 as the first word", ""},
        {"a plug-in's walk first", "    pushc \"\"\n    call hi_system\n    popg seen\n"},
        {"a lookup of a name there is none of", "    pushnc \"no_such_name\"\n    popg seen\n"},
    };
    std::string seen = serve("", listing);
    EXPECT_EQ(seen.substr(0, 4), "q=1|") << seen;
    EXPECT_NE(seen.find(":CONTENT_LENGTH,CONTENT_TYPE,PATH_INFO,QUERY_STRING,"), std::string::npos) << seen;
    for (const std::string& declared : {std::string(), std::string("own")}) {
        std::string expected = serve(declared, listing);
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (declared.empty() ? "" : ", with a name of its own"));
            EXPECT_EQ(serve(declared, c.first), expected);
        }
    }
}

// The names the lookup knows and the names the request puts are one list:
// every listed name is there once the scope is walked, and every name there
// (but dyn_* and vorn_*, known by their form) is found by a script's first
// lookup, before anything else opened the scope.
TEST(RequestApplication, EveryNameTheRequestPutsIsFoundByTheFirstLookup) {
    Site site;
    site.Registry("libraries[] = b,," VORN_FIXTURE_HOSTINTERFACELIBRARY "\n");
    std::map<std::string, std::string> variables =
        site.Request("/names.vrc", "a+b", {{"CONTENT_LENGTH", "0"}, {"ALL_HTTP", "HTTP_X_SENT:1"}});
    for (const char* name : kRequestServerVariables) variables.emplace(name, std::string("v_") + name);
    // The named variable, looked up first, then after a walk of the scope: "first|count:names|again".
    auto serve = [&](const std::string& name) {
        const std::string show = "    pushc \"" + name + "\"\n    hide\n";
        const std::string walk = "    pushc \"|\"\n    out\n    pushc \"list\"\n    call hi_system\n    out\n"
                                 "    pushc \"|\"\n    out\n";
        site.Script("names.vrc", ".extern hi_system(a)\n.segment main entry\n" + show + walk + show + ".end\n");
        MemoryRequest request(variables);
        Serve(request);
        return request.response;
    };
    std::string walked = serve("none");
    size_t from = walked.find(':'), to = walked.rfind('|');
    ASSERT_TRUE(from != std::string::npos && to != std::string::npos && from < to) << walked;
    std::set<std::string> names;
    std::stringstream list(walked.substr(from + 1, to - from - 1));
    for (std::string name; std::getline(list, name, ',');) names.insert(name);
    for (std::string_view listed : kRequestNames) EXPECT_EQ(names.count(std::string(listed)), 1u) << listed;
    for (const char* listed : kRequestServerVariables) EXPECT_EQ(names.count(listed), 1u) << listed;
    EXPECT_EQ(names.count("HTTP_X_SENT"), 1u);
    for (const std::string& name : names) {
        if (name.rfind("dyn_", 0) == 0 || name.rfind("vorn_", 0) == 0) continue;
        std::string response = serve(name);
        std::string first = response.substr(0, response.find('|'));
        EXPECT_EQ(first, response.substr(response.rfind('|') + 1)) << name;
        EXPECT_EQ(first.find("value=\"\""), std::string::npos) << name << ": " << first;
    }
}

// The time variables hold the moment the request began, however late the
// script first looks (here after a slow body); the dyn_ ones read the clock.
TEST(RequestApplication, TheTimeVariablesAreTheRequestsStart) {
    Site site;
    site.Registry("usecookies = dword:0\n");
    site.Script("show.vrc", ShowSystem({"time_t", "tm_sec", "dyn_time_t"}));
    static int64_t offset = 0;
    platform::SetWallClock([] {
        platform::TimeValue now{};
        now.seconds = 1700000000 + offset;
        return now;
    });
    MemoryRequest request(site.Request("/show.vrc", "",
                                       {{"REQUEST_METHOD", "POST"},
                                        {"CONTENT_TYPE", "application/x-www-form-urlencoded"},
                                        {"CONTENT_LENGTH", "3"}}),
                          "a=1");
    request.onRead = [] { offset = 90; };
    Serve(request);
    platform::SetWallClock(nullptr);
    EXPECT_EQ(request.response, "time_t=1700000000;tm_sec=20;dyn_time_t=1700000090;");
}

TEST(RequestApplication, CallerIdsAreOursOrNew) {
    Site site;
    site.Script("show.vrc", ShowSystem({"callerid", "time_t", "tm_year", "stm_mon", "process_id"}));
    struct Case {
        std::string cookie;
        std::string settings;
        bool kept;
        bool sent;
    } cases[] = {
        {"kpzcallerid=0123456789abcdef0123456789abcdef", "", true, true},
        {"a=1;kpzcallerid=0123456789abcdef0123456789abcdef;b=2", "", true, true},
        // Only an id we could have made is echoed.
        {"kpzcallerid=<script>", "", false, true},
        {"kpzcallerid=0123456789ABCDEF0123456789ABCDEF", "", false, true},
        {"kpzcallerid=0123456789abcdef0123456789abcde", "", false, true},
        {"xkpzcallerid=0123456789abcdef0123456789abcdef", "", false, true},
        {"kpzcallerid=", "", false, true},
        {"", "usecookies = dword:0\n", false, false},
    };
    std::vector<std::string> made;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cookie);
        site.Registry(c.settings);
        MemoryRequest request(site.Request("/show.vrc", "", {{"HTTP_COOKIE", c.cookie}}));
        Serve(request);
        std::smatch id;
        ASSERT_TRUE(std::regex_search(request.response, id, std::regex("callerid=([0-9a-f]*);")));
        if (c.kept) {
            EXPECT_EQ(id[1], "0123456789abcdef0123456789abcdef");
        }
        if (!c.kept && c.sent) {
            EXPECT_EQ(id[1].length(), 32u);
            made.push_back(id[1]);
        }
        std::string cookie = request.Header("Set-Cookie");
        if (!c.sent) {
            EXPECT_EQ(cookie, "");
            continue;
        }
        EXPECT_TRUE(std::regex_match(cookie, std::regex("kpzcallerid=" + id[1].str() +
                                                        "; expires=(Mon|Tue|Wed|Thu|Fri|Sat|Sun), [0-3][0-9]-"
                                                        "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)-"
                                                        "[0-9]{4} [0-2][0-9]:[0-5][0-9]:[0-6][0-9] GMT; path=/")))
            << cookie;
        EXPECT_TRUE(std::regex_search(request.response, std::regex("time_t=[0-9]+;tm_year=20[0-9]{2};stm_mon=[A-Z][a-z]{2};process_id=[0-9]+;")))
            << request.response;
    }
    // New ids are never repeated.
    std::sort(made.begin(), made.end());
    EXPECT_EQ(std::unique(made.begin(), made.end()), made.end());
}

TEST(RequestApplication, LogCookieServerNameAndDates) {
    Site site;
    site.Script("hello.vrc", kHello);
    struct Case {
        std::string cookie;
        bool logged;
    } cases[] = {
        {"vornlogcookie=secret", true},
        {"a=b; vornlogcookie=secret", true},
        {"vornlogcookie=secretx", false},
        {"xvornlogcookie=secret", false},
        {"vornlogcookie=secre", false},
        {"", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cookie);
        site.Registry("logcookie = secret\n");
        MemoryRequest request(site.Request("/hello.vrc", "", {{"HTTP_COOKIE", c.cookie}}));
        ISAPIApplication application(platform::HostModule(), &request.block, nullptr);
        application.Run();
        EXPECT_EQ(application.LoggingSuppressed(), !c.logged);
        // Locks are owned by this machine, whatever Host the client sent.
        char host[256];
        ASSERT_TRUE(platform::HostName(host, sizeof host));
        EXPECT_STREQ(application.ServerName(), host);
    }

    const char* savedZone = std::getenv("TZ");
    std::string saved = savedZone ? savedZone : "";
    for (auto [zone, suffix] : {std::pair{"UTC0", "-0000"}, std::pair{"IST-5:30", "+0530"}, std::pair{"EST5", "-0500"}}) {
        setenv("TZ", zone, 1);
        tzset();
        MemoryRequest request(site.Request("/hello.vrc"));
        ISAPIApplication application(platform::HostModule(), &request.block, nullptr);
        int32_t length = 0;
        char* date = application.HTTPDate(&length);
        std::string text(date, static_cast<size_t>(length));
        std::free(date);
        EXPECT_TRUE(std::regex_match(text, std::regex("[A-Z][a-z]{2}, [0-3][0-9] [A-Z][a-z]{2} [0-9]{4} [0-9:]{8} [-+][0-9]{4}")))
            << text;
        EXPECT_EQ(text.substr(text.size() - 5), suffix);
    }
    if (savedZone) {
        setenv("TZ", saved.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

} // namespace
} // namespace vorn

namespace vorn {
namespace {

// The wall clock a minute ahead while it lives: every file is as settled
// as a file left alone for a minute, so it is kept from its first read.
class ClockAhead {
  public:
    ClockAhead() {
        platform::SetWallClock([] {
            timespec now{};
            clock_gettime(CLOCK_REALTIME, &now);
            return platform::TimeValue{now.tv_sec + 60, static_cast<int32_t>(now.tv_nsec / 1000)};
        });
    }
    ~ClockAhead() { platform::SetWallClock(nullptr); }
    ClockAhead(const ClockAhead&) = delete;
    ClockAhead& operator=(const ClockAhead&) = delete;
};

std::string Page(const char* text) { return std::string(".segment main entry\n    pushc \"") + text + "\"\n    out\n.end\n"; }

TEST(RequestApplication, AChangedScriptIsReadAgain) {
    test::Site site;
    site.Registry();
    auto serve = [&] {
        test::MemoryRequest request(site.Request("/page.vrc"));
        test::Serve(request);
        return request.response;
    };
    // Just written: the same size and maybe the same time, still read again.
    site.Script("page.vrc", Page("one"));
    EXPECT_EQ(serve(), "one");
    site.Script("page.vrc", Page("two"));
    EXPECT_EQ(serve(), "two");
    std::remove((site.root + "/page.vrc").c_str());
    EXPECT_EQ(serve().substr(0, 26), "Unable to execute '/page.v");
}

// Writes bytes to path in place, by a new file renamed over it, or after
// removing it, then sets back the access and modification times it had (as
// cp -p and tar do): the same size and the same times, other bytes. Done again
// until the change time moved, which a coarse clock may take a tick for.
enum class Rewrite { InPlace, RenamedOver, MadeAnew };

void RewriteKeepingTimes(const std::string& path, const std::string& bytes, Rewrite how) {
    struct stat before {};
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    ASSERT_EQ(static_cast<size_t>(before.st_size), bytes.size());
    std::string written = how == Rewrite::RenamedOver ? path + ".new" : path;
    for (struct stat after = before; after.st_ctim.tv_sec == before.st_ctim.tv_sec &&
                                     after.st_ctim.tv_nsec == before.st_ctim.tv_nsec;) {
        if (how == Rewrite::MadeAnew) {
            ASSERT_EQ(unlink(path.c_str()), 0);
        }
        int fd = open(written.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        const timespec times[2] = {before.st_atim, before.st_mtim};
        ASSERT_EQ(futimens(fd, times), 0);
        close(fd);
        if (how == Rewrite::RenamedOver) {
            ASSERT_EQ(rename(written.c_str(), path.c_str()), 0);
        }
        ASSERT_EQ(stat(path.c_str(), &after), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// A kept script, and the registry's parse, stay only while the file does: a
// rewrite that keeps its size and times is seen by the next request.
TEST(RequestApplication, ARewriteKeepingSizeAndTimesIsSeen) {
    ClockAhead settled;
    const char* key = "[SOFTWARE\\Vorn\\Vorn Tevrona NT\\Configuration\\1\\ROOT\\r.vrc]\n";
    for (Rewrite how : {Rewrite::InPlace, Rewrite::RenamedOver, Rewrite::MadeAnew}) {
        SCOPED_TRACE(static_cast<int>(how));
        test::Site site;
        site.Registry("", std::string(key) + "globaltimeout = dword:11\n");
        site.Script("p.vrc", Page("one"));
        site.Script("r.vrc", ShowSystem({"globaltimeout"}));
        auto serve = [&](const char* path) {
            test::MemoryRequest request(site.Request(path));
            test::Serve(request);
            return request.response;
        };
        for (int i = 0; i < 2; ++i) {
            EXPECT_EQ(serve("/p.vrc"), "one");
            EXPECT_EQ(serve("/r.vrc"), "globaltimeout=11;");
        }
        test::Bytes two = test::Assembled(Page("two"));
        RewriteKeepingTimes(site.root + "/p.vrc", std::string(two.begin(), two.end()), how);
        std::string registry = platform::test::ReadText(site.registry.path);
        registry.replace(registry.find("dword:11"), 8, "dword:22");
        RewriteKeepingTimes(site.registry.path, registry, how);
        EXPECT_EQ(serve("/p.vrc"), "two");
        EXPECT_EQ(serve("/r.vrc"), "globaltimeout=22;");
    }
}

} // namespace
} // namespace vorn

namespace vorn {
namespace {

// Runs of a kept script share its loaded program: what one run adds (globals
// and texts made at run time, values stored in declared ones) is never seen
// by the next, which starts as a run of a freshly loaded program does.
TEST(RequestApplication, RunsOfAKeptScriptStartAlike) {
    test::Site site;
    site.Registry();
    site.Script("page.vrc", R"(.global seen
.segment main entry
    pushc "["
    pushnc "extra"
    cat
    pushc "|"
    cat
    pushg seen
    cat
    pushc "|"
    cat
    pushi 2
    call twice
    cat
    pushc "]"
    cat
    out
    pushc "x"
    popnc "extra"
    pushc "y"
    popg seen
    exit
.function twice(n)
.local kept
    pushl kept
    pushl n
    pushl n
    add
    cat
    pushc "k"
    popl kept
    ret
.end
)");
    ClockAhead settled;
    auto serve = [&](const std::string& query) {
        test::MemoryRequest request(site.Request("/page.vrc", query));
        test::Serve(request);
        return request.response;
    };
    // The first run reads the file, the next loads the program kept from then on.
    std::string plain = serve("");
    EXPECT_EQ(plain, "[||4]");
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(serve("extra=one&seen=two"), "[one|two|4]");
        EXPECT_EQ(serve(""), plain);
    }
}

} // namespace
} // namespace vorn

namespace vorn {
namespace {

// The registry's walk is replayed for later requests of a path, and every
// change of the file (same size, same second included) is seen at once.
TEST(RequestApplication, EachRegistryChangeReachesTheNextRequest) {
    test::Site site;
    site.Script("t.vrc", ShowSystem({"globaltimeout"}));
    auto serve = [&] {
        test::MemoryRequest request(site.Request("/t.vrc"));
        test::Serve(request);
        return request.response;
    };
    const char* key = "[SOFTWARE\\Vorn\\Vorn Tevrona NT\\Configuration\\1\\ROOT\\t.vrc]\n";
    struct Case {
        std::string settings, more, expected;
    };
    for (const Case& c : std::vector<Case>{{"globaltimeout = dword:11\n", "", "globaltimeout=11;"},
                                           {"globaltimeout = dword:22\n", "", "globaltimeout=22;"},
                                           {"globaltimeout = dword:22\n", std::string(key) + "globaltimeout = dword:33\n",
                                            "globaltimeout=33;"},
                                           {"globaltimeout = dword:44\n", "", "globaltimeout=44;"}}) {
        site.Registry(c.settings, c.more);
        EXPECT_EQ(serve(), c.expected);
        EXPECT_EQ(serve(), c.expected); // replayed
    }
}

} // namespace
} // namespace vorn
