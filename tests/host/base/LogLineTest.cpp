#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "engine/values/Aggregate.h"
#include "engine/values/Variable.h"
#include "host/base/LogLine.h"
#include "tests/host/base/HostServicesSupport.h"

namespace vorn {
namespace {

const std::regex kStamp("^[A-Z][a-z]{2} [0-9][0-9 ] [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{6}\\t[0-9]+\\.[0-9]+\\t");

// The line less its time stamp and ids, which the pattern checks.
std::string Body(const char* name, const LogField* fields) {
    String line;
    FormatLogLine(line, name, fields);
    std::string text(line.Text(), static_cast<size_t>(line.Length()));
    std::smatch stamp;
    EXPECT_TRUE(std::regex_search(text, stamp, kStamp)) << text;
    return stamp.empty() ? text : text.substr(static_cast<size_t>(stamp.length(0)));
}

LogField Integer(int32_t value) {
    LogField field;
    field.kind = LogField::Integer;
    field.value.integer = value;
    return field;
}

LogField Double(double value) {
    LogField field;
    field.kind = LogField::Double;
    field.value.number = value;
    return field;
}

LogField Var(Variable* variable) {
    LogField field;
    field.kind = LogField::Var;
    field.value.variable = variable;
    return field;
}

Variable* Member(Variable* aggregate, const char* name) {
    return aggregate->Element(AggregateIndex::FromName(name, -1), true);
}

Variable* Item(Variable* aggregate, int32_t index) {
    return aggregate->Element(AggregateIndex::FromIndex(index), true);
}

TEST(LogLine, FieldsAreEscapedAndRendered) {
    Variable structure("s", -1);
    Member(&structure, "a")->SetValueInteger(1);
    Item(Member(&structure, "b"), 3)->SetValue("x", 1);
    Variable texts("t", -1);
    Item(&texts, 1)->SetValue("x", 1);
    Item(&texts, 2)->SetValue("y\tz", 3);
    Variable nested("n", -1);
    Member(Member(&nested, "inner"), "deep")->SetValue("1", 1);
    Member(&nested, "z")->SetValueDouble(0.5);
    Variable number("d", -1, 2.5);
    Variable none("none", -1);
    Variable alias("r", -1);
    alias.MakeReference(&number);

    struct Case {
        const char* name;
        std::vector<LogField> fields;
        std::string body;
    } cases[] = {
        {"Trace", {LogField("a\r\nb", -1)}, "Trace\ta\\x0d\\x0ab\r\n"},
        {"Trace", {LogField("tab\there", -1), LogField("\\ \x80\xff", -1)}, "Trace\ttab\\x09here\t\\ \x80\xff\r\n"},
        {"Trace", {LogField("cut here", 3), Integer(-5), Double(0.1), Double(-1.25)}, "Trace\tcut\t-5\t0.1\t-1.25\r\n"},
        {"Runtime Error", {Var(&structure)}, "Runtime Error\t{ a: 1, b: <array>[3] }\r\n"},
        {"Trace", {Var(&texts)}, "Trace\t[2] = [ x,y\\x09z ]\r\n"},
        {"Trace", {Var(&nested)}, "Trace\t{ inner: <structure>, z: 0.5 }\r\n"},
        {"Trace", {Var(&number), Var(&none), Var(&alias)}, "Trace\t2.5\t\t2.5\r\n"},
        {nullptr, {LogField("no name", -1)}, "\tno name\r\n"},
        {"", {}, "\r\n"},
    };
    for (Case& c : cases) {
        c.fields.push_back(LogField());
        EXPECT_EQ(Body(c.name, c.fields.data()), c.body);
    }
}

TEST(LogLine, EventsGoToTheConfiguredFileOnly) {
    test::ScratchDir dir;
    test::ConfiguredApplication application;
    LogField fields[] = {LogField("x", -1), LogField()};

    WriteLogEvent(&application, LogTrace, fields); // no "logfile": nothing, and no failure
    std::string unwritable = dir / "missing/dir/log";
    application.settings.SetText(kConfigLogFile, unwritable.c_str(), -1, false);
    WriteLogEvent(&application, LogTrace, fields);

    std::string path = dir / "vorn.log";
    application.settings.SetText(kConfigLogFile, path.c_str(), -1, false);
    WriteLogEvent(&application, LogFatalError, fields);
    WriteLogEvent(&application, 0x4, fields);
    std::string text = test::ReadText(path);
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
        lines.push_back(text.substr(at, end - at));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(std::regex_search(lines[0], std::regex("\\tFatal Error\\tx$"))) << lines[0];
    EXPECT_TRUE(std::regex_search(lines[1], std::regex("\\tUnknown\\tx$"))) << lines[1];
}

TEST(LogLine, ConcurrentWritersLoseAndCutNoLine) {
    test::ScratchDir dir;
    std::string path = dir / "busy.log";
    constexpr int kProcesses = 2, kThreads = 8, kLines = 10000;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            test::ConfiguredApplication application;
            application.settings.SetText(kConfigLogFile, path.c_str(), -1, false);
            std::vector<std::thread> threads;
            for (int t = 0; t < kThreads; ++t) {
                threads.emplace_back([&application, p, t] {
                    std::string tag = "p" + std::to_string(p) + "t" + std::to_string(t);
                    for (int i = 0; i < kLines; ++i) {
                        LogField fields[] = {LogField(tag.c_str(), -1), Integer(i), LogField()};
                        WriteLogEvent(&application, LogTrace, fields);
                    }
                });
            }
            for (std::thread& thread : threads) thread.join();
            _exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::string text = test::ReadText(path);
    // Checked by hand: std::regex and sscanf over 160,000 lines would take most of the time.
    std::vector<bool> seen(size_t{kProcesses} * kThreads * kLines);
    size_t count = 0, malformed = 0, distinct = 0;
    auto number = [&text](size_t& at, size_t end) {
        long long n = -1;
        for (; at < end && text[at] >= '0' && text[at] <= '9'; ++at) n = (n < 0 ? 0 : n * 10) + (text[at] - '0');
        return n;
    };
    for (size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2) {
        ++count;
        // "Mmm D  YYYY hh:mm:ss.uuuuuu\tpid.tid\tTrace\tp<p>t<t>\t<i>"
        size_t event = text.find("\tTrace\tp", at);
        bool ok = event != std::string::npos && event < end && end - at > 28 && text[at + 3] == ' ' &&
                  text[at + 20] == '.' && text[at + 27] == '\t';
        size_t q = ok ? event + 8 : end;
        long long p = number(q, end);
        ok = ok && q < end && text[q++] == 't';
        long long t = number(q, end);
        ok = ok && q < end && text[q++] == '\t';
        long long i = number(q, end);
        ok = ok && q == end && p >= 0 && p < kProcesses && t >= 0 && t < kThreads && i >= 0 && i < kLines;
        if (!ok) {
            ++malformed;
            continue;
        }
        size_t slot = (static_cast<size_t>(p) * kThreads + static_cast<size_t>(t)) * kLines + static_cast<size_t>(i);
        if (!seen[slot]) ++distinct;
        seen[slot] = true;
    }
    EXPECT_EQ(malformed, 0u);
    EXPECT_EQ(count, size_t{kProcesses} * kThreads * kLines);
    EXPECT_EQ(distinct, size_t{kProcesses} * kThreads * kLines);
    EXPECT_EQ(text.size() >= 2 ? text.substr(text.size() - 2) : text, "\r\n");
}

} // namespace
} // namespace vorn
