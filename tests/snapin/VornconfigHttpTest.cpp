// vornconfig over raw HTTP: who it answers (Host, Origin, token, cookie, form
// token), what it never does (change anything on GET or on a refused POST,
// show markup as markup, take a body over 1 MiB), and its headers.
#include "tests/snapin/SnapinSupport.h"

#include <algorithm>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <regex>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vorn::test {
namespace {

constexpr size_t kMaxPostBody = 1024 * 1024;

struct Response {
    int status = 0;
    std::string headers; // lower-case names
    std::string body;
    bool Has(const std::string& header) const { return headers.find(header) != std::string::npos; }
};

class Vornconfig : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        registry = new RegistryScratch;
        registry->Write("[SOFTWARE\\Vorn\\Vorn Tevrona NT\\Configuration\\<b>site</b>]\n"
                        "vornroot = <script>alert(1)</script>\n");
        int out[2];
        ASSERT_EQ(0, pipe(out));
        pid = fork();
        if (pid == 0) {
            dup2(out[1], 1);
            close(out[0]);
            execl(VORN_VORNCONFIG, VORN_VORNCONFIG, "--port", "0", "--registry", registry->path.c_str(),
                  nullptr);
            _exit(127);
        }
        close(out[1]);
        std::string line;
        char c = 0;
        pollfd ready{out[0], POLLIN, 0};
        while (poll(&ready, 1, 10000) > 0 && read(out[0], &c, 1) == 1 && c != '\n')
            line += c;
        close(out[0]);
        std::smatch match;
        ASSERT_TRUE(
            std::regex_match(line, match, std::regex(R"(http://127\.0\.0\.1:(\d+)/\?token=([0-9a-f]{32}))")))
            << line;
        port = std::stoi(match[1]);
        token = match[2];
    }

    static void TearDownTestSuite() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            int status = 0;
            waitpid(pid, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        }
        delete registry;
    }

    static std::string Self() { return "127.0.0.1:" + std::to_string(port); }

    // One request on its own connection, read to the server's close.
    static Response Exchange(const std::string& request) {
        Response response;
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close(fd);
            return response;
        }
        for (size_t sent = 0; sent < request.size();) {
            ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break; // a refusal may close before the whole body is sent
            sent += static_cast<size_t>(n);
        }
        std::string raw;
        char buffer[65536];
        pollfd ready{fd, POLLIN, 0};
        while (poll(&ready, 1, 10000) > 0) {
            ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            raw.append(buffer, static_cast<size_t>(n));
        }
        close(fd);
        size_t end = raw.find("\r\n\r\n");
        if (raw.compare(0, 9, "HTTP/1.1 ") != 0 || end == std::string::npos) return response;
        response.status = std::stoi(raw.substr(9, 3));
        response.headers = raw.substr(0, end);
        for (char& ch : response.headers)
            ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        response.body = raw.substr(end + 4);
        return response;
    }

    static Response Get(const std::string& target, const std::string& extra = "") {
        return Exchange("GET " + target + " HTTP/1.1\r\nHost: " + Self() + "\r\nConnection: close\r\n" +
                        extra + "\r\n");
    }

    static Response Post(const std::string& target, const std::string& body, const std::string& extra = "") {
        return Exchange("POST " + target + " HTTP/1.1\r\nHost: " + Self() +
                        "\r\nConnection: close\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                        "Content-Length: " +
                        std::to_string(body.size()) + "\r\n" + extra + "\r\n" + body);
    }

    // A session's cookie header line.
    static std::string Login() {
        Response response = Get("/?token=" + token);
        std::smatch match;
        std::regex cookie("set-cookie: (vornconfig-\\d+=[0-9a-f]{32}); path=/; httponly; samesite=strict");
        if (response.status != 303 || !std::regex_search(response.headers, match, cookie)) return {};
        return "Cookie: " + match[1].str() + "\r\n";
    }

    // The page's form as posted: its hidden token and view, the edits, and a button.
    static std::string PageForm(const std::string& cookie, const std::string& target,
                                const std::string& fields) {
        std::string page = Get(target, cookie).body;
        std::smatch formToken, view;
        std::regex_search(page, formToken, std::regex("name=\"token\" value=\"([0-9a-f]{32})\""));
        std::regex_search(page, view, std::regex("name=\"view\" value=\"(\\d+)\""));
        return "token=" + formToken[1].str() + "&view=" + view[1].str() +
               "&vornroot=%2Fsrv&datadir=&cadir=&globaltimeout=90&mailtimeout=30&calltimeout=30"
               "&serveradmin=webmaster%40localhost&Threads=2" +
               fields;
    }

    static std::string RegistryFile() { return ReadText(registry->path); }

    static inline RegistryScratch* registry = nullptr;
    static inline pid_t pid = -1;
    static inline int port = 0;
    static inline std::string token;
};

TEST_F(Vornconfig, AnswersItsOwnAddressAndTokenOnly) {
    struct Case {
        std::string request;
        int status;
    } cases[] = {
        {"GET /?token=" + token + " HTTP/1.1\r\nHost: " + Self() + "\r\n", 303},
        {"GET /?token=" + token + " HTTP/1.1\r\nHost: LOCALHOST:" + std::to_string(port) + "\r\n", 303},
        {"GET /?token=" + token + " HTTP/1.1\r\nHost: attacker.example:" + std::to_string(port) + "\r\n",
         403},
        {"GET /?token=" + token + " HTTP/1.1\r\nHost: 127.0.0.1\r\n", 403},
        {"GET /?token=" + token + " HTTP/1.1\r\nHost: 127.0.0.1:1" + std::to_string(port) + "\r\n", 403},
        {"GET /?token=" + token + " HTTP/1.0\r\n", 403},
        {"GET /?token=" + token.substr(1) + "0 HTTP/1.1\r\nHost: " + Self() + "\r\n", 403},
        {"GET /?token= HTTP/1.1\r\nHost: " + Self() + "\r\n", 403},
        {"GET / HTTP/1.1\r\nHost: " + Self() + "\r\n", 403},
        {"GET /node?path= HTTP/1.1\r\nHost: " + Self() + "\r\n", 403},
        {"GET / HTTP/1.1\r\nHost: " + Self() + "\r\nCookie: vornconfig-" + std::to_string(port) + "=" +
             token + "\r\n",
         403},
        {"PUT / HTTP/1.1\r\nHost: " + Self() + "\r\n", 405},
    };
    for (const Case& c : cases) {
        Response response = Exchange(c.request + "Connection: close\r\n\r\n");
        EXPECT_EQ(c.status, response.status) << c.request;
        EXPECT_EQ(c.status == 303, response.Has("set-cookie")) << c.request;
        for (const char* header :
             {"content-security-policy: default-src 'none'; frame-ancestors 'none'; "
              "form-action 'self'",
              "x-content-type-options: nosniff", "cache-control: no-store", "referrer-policy: no-referrer"})
            EXPECT_TRUE(response.Has(header)) << c.request << header;
    }
    std::string cookie = Login();
    ASSERT_FALSE(cookie.empty());
    EXPECT_EQ(200, Get("/", cookie).status);
    EXPECT_EQ(404, Get("/elsewhere", cookie).status);
}

TEST_F(Vornconfig, OnlyItsOwnFormsChangeTheRegistry) {
    std::string cookie = Login();
    const std::string target = "/node?key=forms";
    const std::string before = RegistryFile();
    // GET never writes, whatever its query says.
    EXPECT_EQ(200, Get(target + "&action=apply&globaltimeout=5", cookie).status);
    struct Case {
        std::string body;
        std::string extra;
        int status;
    } cases[] = {
        {PageForm(cookie, target, "&action=apply"), cookie + "Origin: http://attacker.example\r\n", 403},
        {PageForm(cookie, target, "&action=apply"), cookie + "Origin: null\r\n", 403},
        {PageForm(cookie, target, "&action=apply"), cookie + "Origin: null\r\nSec-Fetch-Site: cross-site\r\n",
         403},
        {PageForm(cookie, target, "&action=apply"), cookie + "Sec-Fetch-Site: same-site\r\n", 403},
        {PageForm(cookie, target, "&action=apply"), "", 403}, // no session cookie
        {std::regex_replace(PageForm(cookie, target, "&action=apply"), std::regex("token=[0-9a-f]+"),
                            "token="),
         cookie, 403},
        {std::regex_replace(PageForm(cookie, target, "&action=apply"), std::regex("token=[0-9a-f]+&"), ""),
         cookie, 403},
        {std::regex_replace(PageForm(cookie, target, "&action=apply"), std::regex("view=\\d+"), "view=7"),
         cookie, 409},
        {PageForm(cookie, target, "&action=format"), cookie, 400},
        {std::regex_replace(PageForm(cookie, target, "&action=apply"), std::regex("&Threads=2"), ""), cookie,
         400},
        {PageForm(cookie, target, "&action=apply&x=%zz"), cookie, 400},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.status, Post(target, c.body, c.extra).status) << c.body << c.extra;
        EXPECT_EQ(before, RegistryFile()) << c.body << c.extra;
    }
    // What browsers send with their own forms: the Origin, or "null" under no-referrer.
    EXPECT_EQ(303, Post(target, PageForm(cookie, target, "&action=apply"),
                        cookie + "Origin: null\r\nSec-Fetch-Site: same-origin\r\n")
                       .status);
    Response applied = Post(target, PageForm(cookie, target, "&action=apply"),
                            cookie + "Origin: http://localhost:" + std::to_string(port) + "\r\n");
    EXPECT_EQ(303, applied.status);
    EXPECT_TRUE(applied.Has("location: /node?key=forms"));
    EXPECT_EQ("/srv", RegistryValue(NodeKey("forms"), "vornroot"));
    // The form of the view before is out of date now.
    EXPECT_EQ(409, Post(target,
                        std::regex_replace(PageForm(cookie, target, "&action=apply"), std::regex("view=\\d+"),
                                           "view=0"),
                        cookie)
                       .status);
}

TEST_F(Vornconfig, ShowsMarkupAsText) {
    std::string cookie = Login();
    Response tree = Get("/", cookie);
    EXPECT_NE(std::string::npos, tree.body.find(">&lt;b&gt;site&lt;/b&gt;</a>"));
    Response page = Get("/node?key=%3Cb%3Esite%3C%2Fb%3E", cookie);
    EXPECT_EQ(200, page.status);
    EXPECT_NE(std::string::npos, page.body.find("value=\"&lt;script&gt;alert(1)&lt;/script&gt;\""))
        << page.body;
    EXPECT_EQ(std::string::npos, page.body.find("<script")) << page.body;
    EXPECT_EQ(std::string::npos, page.body.find("<b>"));
}

// A key given to two controls of one page reaches one of them at best.
TEST_F(Vornconfig, EachAccessKeyOnceAPage) {
    std::string cookie = Login();
    const std::string target = "/node?key=keys";
    auto keys = [](const std::string& page) {
        std::vector<std::string> found;
        std::regex key("accesskey=\"(.)\"");
        for (auto m = std::sregex_iterator(page.begin(), page.end(), key); m != std::sregex_iterator(); ++m)
            found.push_back((*m)[1].str());
        return found;
    };
    for (const char* dialog : {"", "libraries", "errorsettings", "debuglog", "options"}) {
        SCOPED_TRACE(dialog);
        if (*dialog) {
            ASSERT_EQ(303, Post(target, PageForm(cookie, target, std::string("&action=") + dialog), cookie).status);
        }
        std::string page = Get(target, cookie).body;
        std::vector<std::string> found = keys(page);
        EXPECT_GT(found.size(), 1u) << page;
        std::sort(found.begin(), found.end());
        EXPECT_EQ(std::adjacent_find(found.begin(), found.end()), found.end()) << page;
        if (*dialog) {
            // Cancel, sending the dialog's hidden fields and edits as they are.
            std::string form = "action=cancel";
            std::regex field("<input type=\"(?:hidden|text)\"[^>]* name=\"([^\"]*)\" value=\"([^\"]*)\"");
            for (auto m = std::sregex_iterator(page.begin(), page.end(), field); m != std::sregex_iterator(); ++m)
                form += "&" + (*m)[1].str() + "=" + (*m)[2].str();
            EXPECT_EQ(303, Post(target, form, cookie).status) << form;
        }
    }
}

TEST_F(Vornconfig, RefusesLargeBodiesAndBadNodes) {
    std::string cookie = Login();
    const std::string target = "/node?key=big";
    std::string form = PageForm(cookie, target, "&action=apply&padding=");
    const std::string before = RegistryFile();
    struct Case {
        std::string request;
        int status;
        bool ours = true; // answered by vornconfig, not by the HTTP library itself
    } cases[] = {
        // Declared too large: refused before the body is read.
        {"POST " + target + " HTTP/1.1\r\nHost: " + Self() + "\r\n" + cookie +
             "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 1048577\r\nConnection: "
             "close\r\n\r\n",
         413},
        {"POST " + target + " HTTP/1.1\r\nHost: " + Self() + "\r\n" + cookie +
             "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 99999999999999999999\r\n"
             "Connection: close\r\n\r\n",
         413, false},
        // Chunked past the limit: read to its end, then refused.
        {"POST " + target + " HTTP/1.1\r\nHost: " + Self() + "\r\n" + cookie +
             "Content-Type: application/x-www-form-urlencoded\r\nTransfer-Encoding: chunked\r\nConnection: "
             "close\r\n\r\n" +
             "100000\r\n" + form + std::string(0x100000 - form.size(), 'x') + "\r\n1\r\nx\r\n0\r\n\r\n",
         413},
        {"POST " + target + " HTTP/1.1\r\nHost: " + Self() + "\r\n" + cookie +
             "Content-Type: multipart/form-data; boundary=x\r\nContent-Length: 0\r\nConnection: "
             "close\r\n\r\n",
         415},
    };
    for (const Case& c : cases) {
        Response response = Exchange(c.request);
        EXPECT_EQ(c.status, response.status) << c.request.substr(0, 200);
        if (c.ours) {
            EXPECT_TRUE(response.Has("content-security-policy")) << response.headers;
        }
    }
    EXPECT_EQ(before, RegistryFile());
    // Just under the limit is a form like any other.
    std::string padded = form + std::string(kMaxPostBody - form.size(), 'x');
    EXPECT_EQ(303, Post(target, padded, cookie).status);
    EXPECT_EQ("/srv", RegistryValue(NodeKey("big"), "vornroot"));

    for (const char* path : {"%01", "a%5Bb%5D", "%20lead", "a%00b", "x%2F%20y"})
        EXPECT_EQ(400, Get(std::string("/node?path=") + path, cookie).status) << path;
    EXPECT_EQ(400, Get("/node?key=" + std::string(256, 'k'), cookie).status);
    EXPECT_EQ(400, Get("/node", cookie).status);
    EXPECT_EQ(200, Get("/node?path=" + std::string(255, 'k'), cookie).status);
}

} // namespace
} // namespace vorn::test
