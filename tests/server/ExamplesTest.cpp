// The pages of examples/web/ as `make run` serves them: assembled from the
// sources and served by server/serve.sh with the registry made from
// examples/web/registry.conf.in, behind nginx. Each page keeps what a visitor
// posts, hostile texts included, across a restart.
#include <gtest/gtest.h>
#include <dirent.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <regex>
#include <vector>
#include <string>
#include <thread>

#include "tests/platform/PlatformTestSupport.h"
#include "tests/server/ServerSupport.h"
#include "tests/tools/LoadedProgram.h"

extern char** environ;

namespace vorn::server::test {
namespace {

using platform::test::ReadText;
using platform::test::ScratchDir;
using platform::test::WriteText;

std::string Encoded(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '&': out += "&amp;"; break;
        case '"': out += "&quot;"; break;
        case '(': out += "&#40;"; break;
        case ')': out += "&#41;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string FormBody(const std::vector<std::pair<std::string, std::string>>& fields) {
    std::string body;
    for (const auto& [name, value] : fields) {
        if (!body.empty()) body += '&';
        body += name + '=';
        for (unsigned char c : value) {
            if (std::isalnum(c)) {
                body += static_cast<char>(c);
            } else {
                char escaped[4];
                std::snprintf(escaped, sizeof escaped, "%%%02X", c);
                body += escaped;
            }
        }
    }
    return body;
}

// The hidden field of an entry, as the pages write it.
std::string Field(const std::string& name, const std::string& value) {
    return "<input type=\"hidden\" name=\"" + name + "\" value=\"" + Encoded(value) + "\">";
}

const std::string kName = "<b>\"Ann\" & 'Bo'</b>";
const std::string kPhone = "555 (0) <i>1</i> & \"2\" " + std::string(5000, '9');
const std::string kNote = "one\ntwo | \\ </li><script>alert(1)</script>" + std::string(100000, 'n');

class WebExamples : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        base = new ScratchDir;
        chmod(base->Path().c_str(), 0755);
        std::string root = *base / "web";
        mkdir(root.c_str(), 0755);
        DIR* sources = opendir(VORN_EXAMPLES_WEB);
        ASSERT_NE(sources, nullptr);
        while (dirent* entry = readdir(sources)) {
            std::string name = entry->d_name;
            if (name.size() < 4 || name.compare(name.size() - 4, 4, ".vra") != 0) continue;
            vorn::test::Bytes bytes = vorn::test::Assembled(ReadText(std::string(VORN_EXAMPLES_WEB "/") + name));
            WriteText(root + "/" + name.substr(0, name.size() - 4) + ".vrc", std::string(bytes.begin(), bytes.end()));
        }
        closedir(sources);
        Start();
    }

    static void TearDownTestSuite() {
        EXPECT_EQ(Stop(), 0);
        delete base;
        base = nullptr;
    }

    static void Start() {
        port = 0;
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t size = sizeof address;
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
        close(fd);
        std::string portText = std::to_string(ntohs(address.sin_port));
        std::string root = *base / "web", state = *base / "state";
        const char* argv[] = {"bash",   VORN_SERVE_SCRIPT, "--build", VORN_BUILD_ROOT, "--root", root.c_str(),
                              "--state", state.c_str(),     "--port",  portText.c_str(), "--registry-template",
                              VORN_EXAMPLES_WEB "/registry.conf.in", nullptr};
        ASSERT_EQ(posix_spawn(&serve, "/bin/bash", nullptr, nullptr, const_cast<char**>(argv), environ), 0);
        for (int i = 0; i < 400; ++i) {
            if (int probe = Connect("", std::stoi(portText)); probe >= 0) {
                close(probe);
                port = std::stoi(portText);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        FAIL() << "nginx did not come up";
    }

    // serve.sh's exit status: 0 when vornfcgi stopped cleanly.
    static int Stop() {
        if (serve <= 0) return -1;
        kill(serve, SIGTERM);
        int status = 0;
        waitpid(serve, &status, 0);
        serve = 0;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    void SetUp() override { ASSERT_NE(port, 0); }

    // The page's body, checked to be whole: nothing a visitor sent broke it.
    static std::string Page(const std::string& target, const std::string& form = "") {
        HttpResponse r = form.empty() ? Http(port, "GET", target)
                                      : Http(port, "POST", target,
                                             "Content-Type: application/x-www-form-urlencoded\r\n", form);
        EXPECT_EQ(r.status, 200) << target;
        EXPECT_GE(r.body.size(), 15u);
        EXPECT_EQ(r.body.substr(r.body.size() < 15 ? 0 : r.body.size() - 15), "</body></html>\n") << r.body;
        for (const char* raw : {"<b>\"Ann\"", "<script>alert", "<i>1</i>"})
            EXPECT_EQ(r.body.find(raw), std::string::npos) << target << " shows " << raw << " unencoded";
        return r.body;
    }

    static std::string Said(const std::string& page) {
        std::smatch m;
        return std::regex_search(page, m, std::regex("<p id=\"said\">([^<]*)</p>")) ? m[1].str() : "";
    }

    static ScratchDir* base;
    static pid_t serve;
    static int port;
};

ScratchDir* WebExamples::base = nullptr;
pid_t WebExamples::serve = 0;
int WebExamples::port = 0;

TEST_F(WebExamples, EachPageKeepsWhatIsPostedAcrossARestart) {
    std::string index = Page("/");
    for (const char* link : {"href=\"guestbook.vrc\"", "href=\"xbase.vrc\"", "href=\"sql.vrc\""})
        EXPECT_NE(index.find(link), std::string::npos) << link;

    // Signed once; an empty name signs nothing.
    std::string signedPage = Page("/guestbook.vrc", FormBody({{"name", kName}, {"note", kNote}}));
    EXPECT_EQ(Said(signedPage), "Thank you for signing.");
    const std::string entry = "<li>" + Field("name", kName) + Field("note", kNote) + "</li>";
    EXPECT_NE(signedPage.find(entry), std::string::npos);
    EXPECT_EQ(Said(Page("/guestbook.vrc", FormBody({{"name", ""}, {"note", "x"}}))), "Please give your name.");

    // Each address book takes two people; the table's widths cut the texts
    // (name 40, phone 30).
    const std::string ann = Field("name", kName) + Field("phone", kPhone.substr(0, 30));
    const std::string ada = Field("name", "Ada") + Field("phone", "");
    for (const char* page : {"/xbase.vrc", "/sql.vrc"}) {
        SCOPED_TRACE(page);
        EXPECT_EQ(Said(Page(page, FormBody({{"action", "add"}, {"name", kName}, {"phone", kPhone}}))), "Added.");
        EXPECT_EQ(Said(Page(page, FormBody({{"action", "add"}, {"name", "Ada"}, {"phone", ""}}))), "Added.");
        EXPECT_EQ(Said(Page(page, FormBody({{"action", "add"}, {"name", ""}, {"phone", "1"}}))), "Please give a name.");
    }

    EXPECT_EQ(Stop(), 0);
    Start();
    ASSERT_NE(port, 0);

    std::string book = Page("/guestbook.vrc");
    EXPECT_NE(book.find(entry), std::string::npos);
    EXPECT_EQ(book.find("<li>", book.find(entry) + 1), std::string::npos) << "one entry only";

    for (const char* page : {"/xbase.vrc", "/sql.vrc"}) {
        SCOPED_TRACE(page);
        // In name order: "<" sorts before "A".
        std::string all = Page(page);
        size_t first = all.find(ann), second = all.find(ada);
        EXPECT_NE(first, std::string::npos);
        EXPECT_NE(second, std::string::npos);
        EXPECT_LT(first, second);
        // Found by prefix, hostile or long.
        std::string found = Page(std::string(page) + "?" + FormBody({{"find", "<b>\"A"}}));
        EXPECT_NE(found.find(ann), std::string::npos);
        EXPECT_EQ(found.find(ada), std::string::npos);
        found = Page(std::string(page) + "?" + FormBody({{"find", "Ad"}}));
        EXPECT_EQ(found.find(ann), std::string::npos);
        EXPECT_NE(found.find(ada), std::string::npos);
        EXPECT_EQ(Page(std::string(page) + "?find=" + std::string(3000, 'A')).find("<li>"), std::string::npos);

        // Delete sends back what the entry's fields hold (and, for xBase,
        // its record number); a second time finds nothing to delete.
        std::vector<std::pair<std::string, std::string>> form = {
            {"action", "delete"}, {"name", kName}, {"phone", kPhone.substr(0, 30)}};
        const std::string recno = "name=\"recno\" value=\"";
        if (size_t at = all.rfind(recno, first); at != std::string::npos) {
            at += recno.size();
            form.push_back({"recno", all.substr(at, all.find('"', at) - at)});
        }
        std::string after = Page(page, FormBody(form));
        EXPECT_EQ(Said(after), "Deleted.");
        EXPECT_EQ(after.find(ann), std::string::npos);
        EXPECT_NE(after.find(ada), std::string::npos);
        if (std::string(page) == "/xbase.vrc") {
            EXPECT_EQ(form.size(), 4u) << "the record number was shown";
            EXPECT_EQ(Said(Page(page, FormBody(form))), "That entry is gone already.");
        }
    }
}

} // namespace
} // namespace vorn::server::test
