// The pages of examples/web/ as `make run` serves them: assembled from the
// sources and served by server/serve.sh with the registry made from
// examples/web/registry.conf.in, behind nginx. Each page keeps what a visitor
// posts, hostile texts included, across a restart; many visitors at once,
// first visits among them, lose nothing; a broken table is one error.
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

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
const std::string kPhone = "555 (0) <i>1</i> & \"2\"";
// The longest note the guest book takes: 1000 bytes.
const std::string kNote = "one\ntwo | \\ </li><script>alert(1)</script>" + std::string(958, 'n');

// Well-formed UTF-8: no byte of a character cut off.
bool ValidUtf8(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        size_t n = c < 0x80 ? 1 : (c & 0xe0) == 0xc0 ? 2 : (c & 0xf0) == 0xe0 ? 3 : (c & 0xf8) == 0xf0 ? 4 : 0;
        if (n == 0 || i + n > text.size()) return false;
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xc0) != 0x80) return false;
        i += n;
    }
    return true;
}

// serve.sh with these arguments after --build, its standard error to a file;
// in a process group of its own when asked, as a terminal's Ctrl-C finds it.
pid_t SpawnServe(std::vector<std::string> args, const std::string& errors, bool ownGroup = false) {
    args.insert(args.begin(), {"bash", VORN_SERVE_SCRIPT, "--build", VORN_BUILD_ROOT});
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&files, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    if (ownGroup) {
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
    }
    pid_t pid = 0;
    if (posix_spawn(&pid, "/bin/bash", &files, &attributes, argv.data(), environ) != 0) pid = 0;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&files);
    return pid;
}

// The exit status of a process, or -1 when it did not end within the time.
int Ended(pid_t pid, int seconds) {
    for (int i = 0; i < seconds * 50; ++i) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
}

bool Answers(int port) {
    for (int i = 0; i < 600; ++i) {
        if (int probe = Connect("", port); probe >= 0) {
            close(probe);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
}

// Runs body(i) for i < n on n threads that start together.
template <typename Body> void AtOnce(int n, Body body) {
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < n; ++i)
        threads.emplace_back([&, i] {
            ++ready;
            while (ready.load() < n) std::this_thread::yield();
            body(i);
        });
    for (std::thread& t : threads) t.join();
}

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
            pages.push_back(name.substr(0, name.size() - 4) + ".vrc");
            WriteText(root + "/" + pages.back(), std::string(bytes.begin(), bytes.end()));
        }
        closedir(sources);
        // The README's own page, beside them but not one of them.
        vorn::test::Bytes echo = vorn::test::Assembled(ReadText(VORN_EXAMPLES_WEB "/../site/echo.vra"));
        WriteText(root + "/echo.vrc", std::string(echo.begin(), echo.end()));
        Start();
    }

    static void TearDownTestSuite() {
        EXPECT_EQ(Stop(), 0);
        delete base;
        base = nullptr;
    }

    static void Start() {
        port = 0;
        std::string portText = std::to_string(FreePort());
        std::string root = *base / "web", state = *base / "state";
        const char* argv[] = {"bash",   VORN_SERVE_SCRIPT, "--build", VORN_BUILD_ROOT, "--root", root.c_str(),
                              "--state", state.c_str(),     "--port",  portText.c_str(), "--registry-template",
                              VORN_EXAMPLES_WEB "/registry.conf.in", nullptr};
        ASSERT_EQ(posix_spawn(&serve, "/bin/bash", nullptr, nullptr, const_cast<char**>(argv), environ), 0);
        ASSERT_TRUE(Answers(std::stoi(portText))) << "nginx did not come up";
        port = std::stoi(portText);
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

    // A folder of its own with every page and a data folder of its own (its
    // key in the registry), for a test that needs a first visit: "/NAME/".
    static std::string Folder(const std::string& name) {
        std::string folder = *base / ("web/" + name), data = *base / (name + "-data");
        mkdir(folder.c_str(), 0755);
        mkdir(data.c_str(), 0755);
        for (const std::string& page : pages) WriteText(folder + "/" + page, ReadText(*base / ("web/" + page)));
        std::string registry = *base / "state/registry.conf";
        std::string text = ReadText(registry) + "\n[SOFTWARE\\Vorn\\Vorn Tevrona NT\\Configuration\\1\\ROOT\\" + name +
                           "]\ndatadir = " + data + "\n";
        WriteText(registry + ".new", text);
        EXPECT_EQ(std::rename((registry + ".new").c_str(), registry.c_str()), 0);
        return "/" + name + "/";
    }

    static std::string DataOf(const std::string& folder) { return *base / (folder.substr(1, folder.size() - 2) + "-data"); }

    // One request; at most a megabyte of the answer is read, however much the
    // page writes (status -1 then).
    static HttpResponse Ask(const std::string& target, const std::string& form = "") {
        constexpr size_t kMost = 1 << 20;
        int fd = Connect("", port);
        if (fd < 0) return {};
        std::string request = (form.empty() ? "GET " : "POST ") + target + " HTTP/1.1\r\nHost: localhost\r\n";
        if (!form.empty())
            request += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                       std::to_string(form.size()) + "\r\n";
        SendAll(fd, request + "Connection: close\r\n\r\n" + form);
        std::string raw = ReadAll(fd, 20000, nullptr, kMost);
        close(fd);
        HttpResponse r = ParseHttp(raw);
        if (raw.size() >= kMost) r.status = -1;
        return r;
    }

    // The page's body, checked to be whole: nothing a visitor sent broke it.
    static std::string Page(const std::string& target, const std::string& form = "") {
        HttpResponse r = Ask(target, form);
        std::string end = r.body.substr(r.body.size() < 15 ? 0 : r.body.size() - 15);
        EXPECT_EQ(r.status, 200) << target << ": " << r.body.substr(0, 300);
        EXPECT_EQ(end, "</body></html>\n") << target << ": " << r.body.substr(0, 300);
        for (const char* raw : {"<b>\"Ann\"", "<script>alert", "<i>1</i>"})
            EXPECT_EQ(r.body.find(raw), std::string::npos) << target << " shows " << raw << " unencoded";
        EXPECT_TRUE(ValidUtf8(r.body)) << target;
        return r.body;
    }

    static std::string Said(const std::string& page) {
        std::smatch m;
        return std::regex_search(page, m, std::regex("<p id=\"said\">([^<]*)</p>")) ? m[1].str() : "";
    }

    static std::string Added(const std::string& target, const std::string& name, const std::string& phone = "") {
        return Said(Page(target, FormBody({{"action", "add"}, {"name", name}, {"phone", phone}})));
    }

    // The values of the hidden fields called name, in the order shown.
    static std::vector<std::string> Names(const std::string& page) {
        std::vector<std::string> names;
        std::regex field("<input type=\"hidden\" name=\"name\" value=\"([^\"]*)\">");
        for (auto m = std::sregex_iterator(page.begin(), page.end(), field); m != std::sregex_iterator(); ++m)
            names.push_back((*m)[1].str());
        return names;
    }

    // The form that deletes the entry with this name and phone on the page:
    // what its hidden fields hold.
    static std::string DeleteForm(const std::string& page, const std::string& name, const std::string& phone) {
        std::string fields = Field("name", name) + Field("phone", phone);
        size_t at = page.find(fields);
        EXPECT_NE(at, std::string::npos) << name << ", " << phone << " is not on the page";
        std::vector<std::pair<std::string, std::string>> form = {{"action", "delete"}, {"name", name}, {"phone", phone}};
        const std::string recno = "name=\"recno\" value=\"";
        size_t start = page.rfind("<li>", at);
        if (size_t r = page.find(recno, start); at != std::string::npos && r < at) {
            r += recno.size();
            form.push_back({"recno", page.substr(r, page.find('"', r) - r)});
        }
        return FormBody(form);
    }

    static ScratchDir* base;
    static std::vector<std::string> pages;
    static pid_t serve;
    static int port;
};

ScratchDir* WebExamples::base = nullptr;
std::vector<std::string> WebExamples::pages;
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

    // Each address book takes two people.
    const std::string ann = Field("name", kName) + Field("phone", kPhone);
    const std::string ada = Field("name", "Ada") + Field("phone", "");
    for (const char* page : {"/xbase.vrc", "/sql.vrc"}) {
        SCOPED_TRACE(page);
        EXPECT_EQ(Added(page, kName, kPhone), "Added.");
        EXPECT_EQ(Added(page, "Ada"), "Added.");
        EXPECT_EQ(Added(page, "", "1"), "Please give a name.");
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

        // Delete sends back what the entry's fields hold; a second time finds
        // nothing to delete.
        std::string form = DeleteForm(all, kName, kPhone);
        std::string after = Page(page, form);
        EXPECT_EQ(Said(after), "Deleted.");
        EXPECT_EQ(after.find(ann), std::string::npos);
        EXPECT_NE(after.find(ada), std::string::npos);
        EXPECT_EQ(Said(Page(page, form)), "That entry is gone already.");
    }
}

// Thirty first visitors at once, each adding someone: the first of them makes
// the table, the others wait for it, and everybody's entry is kept.
TEST_F(WebExamples, ThirtyFirstVisitsAtOnceLoseNothing) {
    constexpr int kVisitors = 30;
    struct Case {
        const char* page;
        const char* said;
    } cases[] = {{"xbase.vrc", "Added."}, {"sql.vrc", "Added."}, {"guestbook.vrc", "Thank you for signing."}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.page);
        std::string page = c.page;
        std::string target = Folder("first-" + page.substr(0, page.size() - 4)) + page;
        std::vector<std::string> said(kVisitors);
        AtOnce(kVisitors, [&](int i) {
            std::string name = "v" + std::to_string(100 + i);
            said[i] = Said(Page(target, FormBody({{"action", "add"}, {"name", name}, {"phone", std::to_string(i)}})));
        });
        EXPECT_EQ(std::count(said.begin(), said.end(), c.said), kVisitors) << said[0];
        std::vector<std::string> names = Names(Page(target));
        std::sort(names.begin(), names.end());
        std::vector<std::string> expected;
        for (int i = 0; i < kVisitors; ++i) expected.push_back("v" + std::to_string(100 + i));
        EXPECT_EQ(names, expected);

        // Usable afterwards: one more, and (in the address books) one fewer.
        EXPECT_EQ(Said(Page(target, FormBody({{"action", "add"}, {"name", "later"}, {"phone", "1"}}))), c.said);
        if (std::string(c.page) != "guestbook.vrc") {
            EXPECT_EQ(Said(Page(target, DeleteForm(Page(target), "v107", "7"))), "Deleted.");
            EXPECT_EQ(Names(Page(target)).size(), static_cast<size_t>(kVisitors));
        }
    }
}

// A table, index or view the page needs and cannot open: the page says so
// once, in a page of its own size, and makes nothing anew over what is there.
TEST_F(WebExamples, ABrokenTableIsOneErrorAndStaysAsItIs) {
    struct Case {
        const char* what;
        const char* page;
        const char* file;
        bool garbage; // else removed
    } cases[] = {
        {"the SQL table's file gone", "sql.vrc", "people.dbf", false},
        {"the SQL catalog unreadable", "sql.vrc", "book", true},
        {"the xBase index gone", "xbase.vrc", "addresses.vrx", false},
        {"the xBase table unreadable", "xbase.vrc", "addresses.dbf", true},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string folder = Folder("broken" + std::to_string(++n));
        std::string target = folder + c.page, file = DataOf(folder) + "/" + c.file;
        EXPECT_EQ(Added(target, "Ada", "1"), "Added.");
        const std::string garbage(600, 'x');
        if (c.garbage)
            WriteText(file, garbage);
        else
            ASSERT_EQ(unlink(file.c_str()), 0);
        for (const std::string& form : {std::string(), FormBody({{"action", "add"}, {"name", "Bo"}, {"phone", "2"}}),
                                        FormBody({{"action", "delete"}, {"name", "Ada"}, {"phone", "1"}})}) {
            HttpResponse r = Ask(target, form);
            const std::string& body = r.body;
            EXPECT_EQ(r.status, 200);
            EXPECT_LT(body.size(), 4096u) << body.substr(0, 300);
            size_t error = body.find("<p id=\"error\">");
            EXPECT_NE(error, std::string::npos) << body.substr(0, 300);
            if (error != std::string::npos) {
                EXPECT_EQ(body.find("<p id=\"error\">", error + 1), std::string::npos) << "one error";
            }
            EXPECT_EQ(Said(body), "");
            EXPECT_EQ(body.find("<li>"), std::string::npos);
            EXPECT_EQ(body.substr(body.size() < 15 ? 0 : body.size() - 15), "</body></html>\n");
        }
        if (c.garbage)
            EXPECT_TRUE(ReadText(file) == garbage) << "made anew";
        else
            EXPECT_NE(access(file.c_str(), F_OK), 0) << "made anew";
    }
}

// A first visit that made the database and ended before its table: the
// next visit, whatever it asks, makes the table and goes on.
TEST_F(WebExamples, ADatabaseLeftWithoutItsTableIsMadeGood) {
    const std::string make =
        ".global VrCREATE_Error\n.segment main entry\n pushc \"book\"\n pushc \"book\"\n pushc \"vornsql\"\n"
        " pushc \"\"\n dbcreate\n pushg VrCREATE_Error\n out\n exit\n.end\n";
    const vorn::test::Bytes program = vorn::test::Assembled(make);
    int n = 0;
    for (bool addFirst : {false, true}) {
        SCOPED_TRACE(addFirst ? "an add first" : "a list first");
        std::string folder = Folder("tableless" + std::to_string(++n));
        WriteText(*base / ("web" + folder + "make.vrc"), std::string(program.begin(), program.end()));
        HttpResponse made = Ask(folder + "make.vrc");
        ASSERT_EQ(made.status, 200);
        ASSERT_EQ(made.body, "") << "VrCREATE: " << made.body;
        std::string target = folder + "sql.vrc";
        if (addFirst) {
            EXPECT_EQ(Added(target, "Ada", "1"), "Added.");
        }
        std::string page = Page(target);
        EXPECT_EQ(page.find("<p id=\"error\">"), std::string::npos) << page.substr(0, 400);
        if (!addFirst) {
            EXPECT_EQ(Added(target, "Ada", "1"), "Added.");
        }
        EXPECT_EQ(Names(Page(target)), std::vector<std::string>{"Ada"});
    }
}

// Visitor A's page was shown before visitor B deleted someone: A's deletes
// take exactly the entries A pressed, and "gone already" is said only when
// the entry is.
TEST_F(WebExamples, DeletesFromAStalePageTakeTheEntriesPressed) {
    constexpr int kOthers = 20;
    for (const char* page : {"xbase.vrc", "sql.vrc"}) {
        SCOPED_TRACE(page);
        std::string target = Folder(std::string("stale-") + (page[0] == 'x' ? "xbase" : "sql")) + page;
        for (const char* phone : {"first", "second"}) EXPECT_EQ(Added(target, "Dup3", phone), "Added.");
        EXPECT_EQ(Added(target, "Alpha", "1"), "Added.");
        for (int i = 0; i < kOthers; ++i) EXPECT_EQ(Added(target, "c" + std::to_string(100 + i), "2"), "Added.");
        const std::string stale = Page(target);

        EXPECT_EQ(Said(Page(target, DeleteForm(Page(target), "Alpha", "1"))), "Deleted.");
        std::string after = Page(target, DeleteForm(stale, "Dup3", "first"));
        EXPECT_EQ(Said(after), "Deleted.");
        EXPECT_EQ(after.find(Field("name", "Dup3") + Field("phone", "first")), std::string::npos);
        EXPECT_NE(after.find(Field("name", "Dup3") + Field("phone", "second")), std::string::npos);
        EXPECT_EQ(Said(Page(target, DeleteForm(stale, "Dup3", "first"))), "That entry is gone already.");

        // The others at once, each from the stale page.
        std::vector<std::string> said(kOthers);
        AtOnce(kOthers, [&](int i) {
            said[i] = Said(Page(target, DeleteForm(stale, "c" + std::to_string(100 + i), "2")));
        });
        EXPECT_EQ(std::count(said.begin(), said.end(), "Deleted."), kOthers) << said[0];
        EXPECT_EQ(Names(Page(target)), std::vector<std::string>{"Dup3"});
    }
}

// A value longer than its field is refused whole, and said to be; one that
// fits to the byte is kept whole, however many bytes its characters take.
TEST_F(WebExamples, AValueOverItsFieldIsRefusedNotCut) {
    const std::string kanji = "\xe6\xbc\xa2";            // three bytes
    const std::string over = std::string(39, 'a') + kanji + kanji; // 45 bytes
    std::string fits;
    for (int i = 0; i < 13; ++i) fits += kanji;
    fits += "a"; // 40 bytes
    struct Case {
        std::string name, phone;
        const char* said; // its beginning
    } cases[] = {
        {over, "1", "Nothing was added: the name takes 45 bytes"},
        {"Ok", std::string(28, '9') + kanji, "Nothing was added: the phone takes 31 bytes"},
        {"     ", "1", "Please give a name."},
        {fits, std::string(27, '9') + kanji, "Added."},
    };
    for (const char* page : {"xbase.vrc", "sql.vrc"}) {
        SCOPED_TRACE(page);
        std::string target = Folder(std::string("long-") + (page[0] == 'x' ? "xbase" : "sql")) + page;
        for (const Case& c : cases) {
            std::string said = Added(target, c.name, c.phone);
            EXPECT_EQ(said.substr(0, std::string(c.said).size()), c.said) << said;
        }
        std::string all = Page(target);
        EXPECT_EQ(Names(all), std::vector<std::string>{fits});
        EXPECT_EQ(Said(Page(target, DeleteForm(all, fits, std::string(27, '9') + kanji))), "Deleted.");
        EXPECT_EQ(Names(Page(target)).size(), 0u);
    }

    // The guest book: a name of 40 bytes and a note of 1000 at most.
    const std::string note = std::string(997, 'n') + kanji;
    const Case signs[] = {
        {over, "x", "Nothing was signed: the name takes 45 bytes"},
        {"Ok", note + "n", "Nothing was signed: the note takes 1001 bytes"},
        {fits, note, "Thank you for signing."},
    };
    std::string target = Folder("long-guestbook") + "guestbook.vrc";
    for (const Case& c : signs) {
        std::string said = Said(Page(target, FormBody({{"name", c.name}, {"note", c.phone}})));
        EXPECT_EQ(said.substr(0, std::string(c.said).size()), c.said) << said;
    }
    EXPECT_NE(Page(target).find("<li>" + Field("name", fits) + Field("note", note) + "</li>"), std::string::npos);
    EXPECT_EQ(Names(Page(target)), std::vector<std::string>{fits});
}

TEST_F(WebExamples, TheReadmesEchoPageSaysBackWhatWasTypedEncoded) {
    for (const std::string& said : {kName, kNote, std::string("<b>hi</b>")}) {
        std::string page = Page("/echo.vrc", FormBody({{"said", said}}));
        EXPECT_NE(page.find(Field("said", said)), std::string::npos) << page;
        EXPECT_EQ(page.find(said), std::string::npos) << "unencoded: " << page;
    }
    EXPECT_NE(Page("/echo.vrc?said=%3Cb%3Ehi%3C/b%3E").find(Field("said", "<b>hi</b>")), std::string::npos);
    EXPECT_NE(Page("/echo.vrc").find(Field("said", "")), std::string::npos);
}

// Browsers guess another encoding for a page that names none.
TEST_F(WebExamples, EveryPageDeclaresUtf8) {
    for (const std::string& page : pages) {
        SCOPED_TRACE(page);
        HttpResponse r = Ask("/" + page);
        EXPECT_EQ(r.status, 200);
        // Where a browser looks for it: the first 1024 bytes.
        EXPECT_NE(r.body.substr(0, 1024).find("<meta charset=\"utf-8\">"), std::string::npos) << r.body.substr(0, 200);
    }
}

// The upload page keeps up to 1 MiB of each file and says how much it kept
// of how much was sent.
TEST_F(WebExamples, TheUploadPageSaysWhatItKept) {
    struct File {
        const char* name;
        size_t size;
        const char *kept, *status;
    } files[] = {{"small.txt", 12, "12", "COMPLETE"},
                 {"exact.bin", 1 << 20, "1048576", "COMPLETE"},
                 {"large.bin", 3 << 19, "1048576", "PARTIAL"}};
    std::string body = "--b\r\nContent-Disposition: form-data; name=\"comment\"\r\n\r\nthree\r\n";
    for (const File& f : files)
        body += "--b\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" + std::string(f.name) +
                "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + std::string(f.size, 'u') + "\r\n";
    body += "--b--\r\n";
    HttpResponse r = Http(port, "POST", "/upload.vrc", "Content-Type: multipart/form-data; boundary=b\r\n", body);
    ASSERT_EQ(r.status, 200);
    auto field = [&](const std::string& name) {
        const std::string start = "name=\"" + name + "\" value=\"";
        size_t at = r.body.find(start);
        if (at == std::string::npos) return std::string("(none)");
        at += start.size();
        return r.body.substr(at, r.body.find('"', at) - at);
    };
    for (size_t i = 0; i < std::size(files); ++i) {
        const File& f = files[i];
        SCOPED_TRACE(f.name);
        std::string n = "uploads[" + std::to_string(i + 1) + "]:";
        EXPECT_EQ(field(n + "name"), f.name);
        EXPECT_EQ(field(n + "size"), std::to_string(f.size));
        EXPECT_EQ(field(n + "kept"), f.kept);
        EXPECT_EQ(field(n + "status"), f.status);
    }
    EXPECT_EQ(field("comment"), "three");
}

// The data folder deleted under a running server: every page says so, and
// serves again once the folder is there again.
TEST_F(WebExamples, ADataFolderMadeAgainServesAgain) {
    std::string target = Folder("gone") + "guestbook.vrc", data = DataOf("/gone/");
    EXPECT_EQ(Said(Page(target, FormBody({{"name", "before"}}))), "Thank you for signing.");
    ASSERT_EQ(std::system(("rm -rf '" + data + "'").c_str()), 0);
    EXPECT_NE(Ask(target).body.find("Configuration Error: The configured data directory does not exist"),
              std::string::npos);
    ASSERT_EQ(mkdir(data.c_str(), 0755), 0);
    EXPECT_EQ(Said(Page(target, FormBody({{"name", "after"}}))), "Thank you for signing.");
    EXPECT_EQ(Names(Page(target)), std::vector<std::string>{"after"});
}

// Two servers as two `make run`s start them: a state folder each, one data
// folder. Both serve; one on a port in use or a state folder in use ends at
// once with status 1, and the first serves on, every request.
TEST_F(WebExamples, ServersSideBySideAndOnesThatCannotStart) {
    std::string root = *base / "web", data = *base / "state/data", second = *base / "second";
    int other = FreePort();
    pid_t beside = SpawnServe({"--root", root, "--state", second, "--data", data, "--port", std::to_string(other),
                               "--registry-template", VORN_EXAMPLES_WEB "/registry.conf.in"},
                              *base / "second.err");
    ASSERT_GT(beside, 0);
    ASSERT_TRUE(Answers(other));
    // The responder's banner and the pages' vornversion: one version.
    std::smatch version;
    std::string index = Page("/");
    ASSERT_TRUE(std::regex_search(index, version, std::regex("served by (Vorn [0-9.]+)\\.")));
    EXPECT_EQ(Said(Page("/guestbook.vrc", FormBody({{"name", "side"}, {"note", "by side"}}))), "Thank you for signing.");
    std::string shared = Field("name", "side") + Field("note", "by side");
    EXPECT_NE(Http(other, "GET", "/guestbook.vrc").body.find(shared), std::string::npos) << "one data folder";

    // nginx's warning of a large upload buffered to a file goes to its log.
    std::string upload = "--b\r\nContent-Disposition: form-data; name=\"file\"; filename=\"big.bin\"\r\n\r\n" +
                         std::string(3 << 20, 'u') + "\r\n--b--\r\n";
    EXPECT_EQ(Http(other, "POST", "/upload.vrc", "Content-Type: multipart/form-data; boundary=b\r\n", upload).status, 200);

    int bound = ::socket(AF_INET, SOCK_STREAM, 0);
    int boundPort = FreePort();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(boundPort));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(bound, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    // Each refused at once, with a message naming what is in use or wrong;
    // --check (as `make run` asks before it builds) refuses the same.
    auto serve = [&](const std::string& state, int at) {
        return std::vector<std::string>{"--root", root, "--state", state, "--port", std::to_string(at)};
    };
    struct Case {
        const char* what;
        std::vector<std::string> args;
        int status;
        std::string message;
    } cases[] = {
        {"a port another server listens on", serve(*base / "third", port), 1, std::to_string(port)},
        {"a port bound by another program", serve(*base / "fourth", boundPort), 1,
         "127.0.0.1:" + std::to_string(boundPort)},
        {"the state folder of a running server", serve(*base / "state", FreePort()), 1, "in use"},
        {"a check of a port in use", {"--check", "--state", *base / "fifth", "--port", std::to_string(port)}, 1,
         "port " + std::to_string(port) + " on 127.0.0.1 is in use"},
        {"a check of a state folder in use", {"--check", "--state", second, "--port", "1"}, 1, "in use"},
        {"a root that is not there", {"--root", "/nonexistent", "--state", *base / "sixth"}, 2,
         "serve.sh: --root /nonexistent: no such folder\n"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string errors = *base / ("refused" + std::to_string(++n) + ".err");
        pid_t refused = SpawnServe(c.args, errors);
        ASSERT_GT(refused, 0);
        int status = Ended(refused, 30);
        if (status < 0) kill(refused, SIGKILL), waitpid(refused, nullptr, 0);
        EXPECT_EQ(status, c.status);
        EXPECT_NE(ReadText(errors).find(c.message), std::string::npos) << ReadText(errors);
        EXPECT_EQ(ReadText(errors).find("Serving"), std::string::npos);
    }
    pid_t free = SpawnServe({"--check", "--state", *base / "fifth", "--port", std::to_string(FreePort())},
                            *base / "free.err");
    ASSERT_GT(free, 0);
    EXPECT_EQ(Ended(free, 30), 0) << ReadText(*base / "free.err");
    close(bound);

    // A page still running when the server is told to stop: serve.sh says it
    // waits, and ends once the page's time-out has ended the page. The page
    // leaves a file in the data folder when it starts to spin.
    const vorn::test::Bytes spin = vorn::test::Assembled(
        ".global started\n.segment main entry\n pushc \"spinning.txt\"\n pushc \"|\"\n pushc \"started\"\n export\n"
        "again:\n jmp again\n.end\n");
    WriteText(root + "/spin.vrc", std::string(spin.begin(), spin.end()));
    std::string registry = second + "/registry.conf", spinning = data + "/spinning.txt";
    WriteText(registry + ".new", ReadText(registry) +
                                     "\n[SOFTWARE\\Vorn\\Vorn Tevrona NT\\Configuration\\1\\ROOT\\spin.vrc]\n"
                                     "globaltimeout = dword:3\n");
    ASSERT_EQ(std::rename((registry + ".new").c_str(), registry.c_str()), 0);
    int visitor = Connect("", other);
    ASSERT_GE(visitor, 0);
    SendAll(visitor, "GET /spin.vrc HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
    for (int i = 0; i < 1000 && access(spinning.c_str(), F_OK) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(access(spinning.c_str(), F_OK), 0) << "the page did not start";

    kill(beside, SIGTERM);
    EXPECT_EQ(Ended(beside, 60), 0);
    close(visitor);
    std::string errors = ReadText(*base / "second.err");
    EXPECT_NE(errors.find("serve.sh: stopping; waiting for the pages still running to end"), std::string::npos)
        << errors;
    EXPECT_NE(errors.find("vornfcgi: " + version[1].str() + " on "), std::string::npos) << errors;
    EXPECT_EQ(errors.find("buffered to a temporary file"), std::string::npos) << errors;
    EXPECT_NE(ReadText(second + "/error.log").find("buffered to a temporary file"), std::string::npos);
    std::atomic<int> served{0};
    AtOnce(30, [&](int) { served += Http(port, "GET", "/guestbook.vrc").status == 200; });
    EXPECT_EQ(served.load(), 30) << "the first server serves on";
}

// Ctrl-C reaches serve.sh, nginx and vornfcgi at once: however the three
// end, it is a stop, not a failure.
TEST_F(WebExamples, CtrlCStopsCleanly) {
    std::string root = *base / "web", data = *base / "state/data";
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        int at = FreePort();
        std::string errors = *base / ("ctrlc" + std::to_string(i) + ".err");
        pid_t serve = SpawnServe({"--root", root, "--state", *base / ("ctrlc" + std::to_string(i)), "--data", data,
                                  "--port", std::to_string(at)},
                                 errors, true);
        ASSERT_GT(serve, 0);
        ASSERT_TRUE(Answers(at));
        EXPECT_EQ(Http(at, "GET", "/hello.vrc").status, 200);
        kill(-serve, SIGINT);
        int status = Ended(serve, 30);
        if (status < 0) kill(-serve, SIGKILL), waitpid(serve, nullptr, 0);
        EXPECT_EQ(status, 0) << ReadText(errors);
        EXPECT_EQ(ReadText(errors).find("ended"), std::string::npos) << ReadText(errors);
    }
}

} // namespace
} // namespace vorn::server::test
