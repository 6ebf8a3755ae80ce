// The multipart syntax alone: bodies go in, in pieces cut every way, and what
// the sink was told comes out as one text. No machine, no files.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "host/web/MultipartParser.h"
#include "tests/host/web/RandomBodies.h"

namespace vorn {
namespace {

// Writes what it is told as "<name|file|type>" data "</>", and "!message" for
// an error; checks the order of the calls as it goes. It may refuse its
// refuseAt-th call (counting from 1).
class RecordingSink : public MultipartSink {
  public:
    explicit RecordingSink(int refuseAt = 0) : refuseAt(refuseAt) {}

    bool BeginPart(const MultipartPart& part) override {
        Check(!inPart, "a part begins inside another");
        inPart = true;
        opened = Describe(part);
        record += opened;
        return Answer();
    }
    bool PartData(const char* bytes, int64_t length) override {
        Check(inPart, "data outside a part");
        Check(length > 0, "an empty chunk");
        record.append(bytes, static_cast<size_t>(length > 0 ? length : 0));
        return Answer();
    }
    bool EndPart(const MultipartPart& part) override {
        Check(inPart, "a part ends that did not begin");
        Check(Describe(part) == opened, "the part changed between its begin and its end");
        inPart = false;
        record += "</>";
        return Answer();
    }
    void Error(const String& message) override {
        Check(!stopped, "an error after the parse stopped");
        stopped = true;
        record += "!" + std::string(message.Text(), static_cast<size_t>(message.Length()));
    }

    std::string record;

  private:
    static std::string Describe(const MultipartPart& part) {
        return "<" + std::string(part.name.Text(), static_cast<size_t>(part.name.Length())) + "|" +
               std::string(part.fileName.Text(), static_cast<size_t>(part.fileName.Length())) + "|" +
               std::string(part.type.Data(), static_cast<size_t>(part.type.Length())) + ">";
    }
    void Check(bool holds, const char* what) {
        if (stopped) ADD_FAILURE() << "told something after the parse stopped";
        if (!holds) ADD_FAILURE() << what;
    }
    bool Answer() {
        if (++calls != refuseAt) return true;
        record += "#refused";
        stopped = true;
        return false;
    }

    int refuseAt;
    int calls = 0;
    bool inPart = false;
    bool stopped = false;
    std::string opened;
};

// Feeds the body in pieces of the given sizes, and once more after a
// failure (which must fail at once); the sink's record.
std::string Feed(const std::string& type, const std::string& body, const std::vector<size_t>& pieces,
                 int refuseAt = 0) {
    RecordingSink sink(refuseAt);
    MultipartParser parser(type.c_str(), sink);
    size_t at = 0;
    for (size_t n : pieces) {
        if (!parser.Parse(body.data() + at, static_cast<int32_t>(n))) {
            EXPECT_FALSE(parser.Parse("\r\n", 2)) << "a failed parse took more";
            break;
        }
        at += n;
    }
    return sink.record;
}

// Whole, a byte at a time, cut once anywhere, and cut twice at most 12 bytes
// apart: every boundary split across two and three pieces at every position.
std::vector<std::vector<size_t>> Splits(size_t length) {
    std::vector<std::vector<size_t>> splits = {{length}, std::vector<size_t>(length, 1)};
    for (size_t cut = 1; cut < length; ++cut) {
        splits.push_back({cut, length - cut});
        for (size_t second = cut + 1; second < length && second <= cut + 12; ++second)
            splits.push_back({cut, second - cut, length - second});
    }
    return splits;
}

const std::string kType = "multipart/form-data; boundary=XyZ";
const std::string B = "--XyZ\r\n";
const std::string kEnd = "--XyZ--\r\n";
// Looks like the boundary in places, and is not.
const std::string kTricky = "one\r\n-\r\n--Xy\r\n--XyQ \r\r\n--X\r";

std::string Part(const std::string& disposition, const std::string& data, const std::string& type = "") {
    std::string part = "Content-Disposition: form-data; " + disposition + "\r\n";
    if (!type.empty()) part += "Content-Type: " + type + "\r\n";
    return part + "\r\n" + data + "\r\n";
}

struct Case {
    const char* what;
    std::string type, body;
    std::string record;
};

// Well-formed bodies: every prefix of one of these is read without error.
const std::vector<Case> kWellFormed = {
    {"a field and a file whose quoted name holds ';'", kType,
     B + Part("name=\"comment\"", "hello") + B + Part("name=\"file\"; filename=\"a;b.txt\"", kTricky, "text/plain") + kEnd,
     "<comment||>hello</><file|a;b.txt|text/plain>" + kTricky + "</>"},
    {"data that ends in most of a boundary", kType, B + Part("name=a", "x\r\n--Xy") + kEnd, "<a||>x\r\n--Xy</>"},
    {"empty data", kType, B + Part("name=a", "") + B + Part("name=b", "\r\n") + kEnd, "<a||></><b||>\r\n</>"},
    {"an empty file name is a plain field", kType, B + Part("name=\"f\"; filename=\"\"", "", "x/y") + kEnd,
     "<f||x/y></>"},
    {"unquoted values, an empty name, a lone quote kept", kType,
     B + Part("name=x", "1") + B + Part("name=f; filename=y", "d") + B + Part("name=", "z") + B +
         Part("name=\"q", "w") + kEnd,
     "<x||>1</><f|y|>d</><||>z</><\"q||>w</>"},
    {"a later parameter of the same name wins", kType, B + Part("name=a; name=b; filename=c; filename=\"\"", "1") + kEnd,
     "<b||>1</>"},
    {"spaces leave the type; the type and file name do not carry over", kType,
     B + Part("name=f; filename=n", "1", " text / plain ") + B + Part("name=g", "2") + kEnd,
     "<f|n|text/plain>1</><g||>2</>"},
    {"a disposition without parameters names nothing", kType,
     B + "Content-Disposition: form-data\r\n\r\nlost\r\n" + B + Part("name=\"a\"", "1") + kEnd, "<||>lost</><a||>1</>"},
    {"header and parameter names count their letter case", kType,
     B + "Content-Disposition: form-data; Name=a; name=b\r\n\r\n1\r\n" + kEnd, "<b||>1</>"},
    {"the boundary learned from the first line", "multipart/form-data", B + Part("name=\"a\"", "1") + kEnd,
     "<a||>1</>"},
    {"a learned boundary at its longest", "multipart/form-data",
     "--" + std::string(MultipartParser::kMaxBoundary - 2, 'q') + "\r\n" + Part("name=a", "1") + "--" +
         std::string(MultipartParser::kMaxBoundary - 2, 'q') + "--",
     "<a||>1</>"},
    {"a quoted boundary with an escape, named in capitals", "multipart/form-data; charset=\"x;y\"; BOUNDARY=\"X\\yZ\"",
     B + Part("name=\"a\"", "1") + kEnd, "<a||>1</>"},
    {"the epilogue is ignored", kType, B + Part("name=a", "1") + kEnd + B + ":junk\r\r", "<a||>1</>"},
    {"a body that stops inside a part", kType, B + Part("name=a", "1") + B + Part("name=f; filename=x", "partial\r\n--X"),
     "<a||>1</><f|x|>partial\r\n--X"},
};

// Bodies that break the syntax, and what was read before.
const std::vector<Case> kMalformed = {
    {"a preamble before the boundary", kType, "preamble\r\n" + B, "!Failed to find boundary separator"},
    {"a boundary line that goes on", kType, "--XyZx\r\n", "!Failed to find boundary separator"},
    {"no boundary parameter and no line break", "multipart/form-data; charset=x", "--XyZ", ""},
    {"a line break without its LF", kType, "--XyZ\rX", "!Found X when expected LF"},
    {"a header line starting with ':'", kType, B + ":x\r\n", "!Found : when expecting file header type"},
    {"another header", kType, B + "X-Other: 1\r\n\r\nx\r\n" + kEnd,
     "!Premature end of line when expecting file header type"},
    {"a header name without ':'", kType, B + "Content-Type\r\n", "!Premature end of line when expecting file header type"},
    {"an empty line without its LF", kType, B + "Content-Type: a\r\n\rX", "!Found X when expected LF"},
    {"neither a line break nor the end after a boundary", kType, B + Part("name=\"a\"", "1") + "--XyZx",
     "<a||>1</>!Found x when expected CR or '-'"},
    {"a closing boundary with one '-'", kType, B + Part("name=a", "1") + "--XyZ-x", "<a||>1</>!Found x when expected '-'"},
    {"a learned boundary line past its limit", "multipart/form-data",
     "--" + std::string(MultipartParser::kMaxBoundary - 1, 'q') + "\r\n", "!Failed to find boundary separator"},
};

TEST(MultipartParser, EachBodyReadsTheSameHoweverItIsCut) {
    for (const auto* table : {&kWellFormed, &kMalformed}) {
        for (const Case& c : *table) {
            for (const std::vector<size_t>& pieces : Splits(c.body.size())) {
                SCOPED_TRACE(std::string(c.what) + " in " + std::to_string(pieces.size()) + " pieces, first " +
                             std::to_string(pieces[0]));
                ASSERT_EQ(Feed(c.type, c.body, pieces), c.record);
            }
        }
    }
}

TEST(MultipartParser, ABodyCutShortTellsAPrefixOfWhatTheWholeTells) {
    for (const Case& c : kWellFormed) {
        for (size_t n = 0; n <= c.body.size(); ++n) {
            SCOPED_TRACE(std::string(c.what) + " cut to " + std::to_string(n));
            std::string record = Feed(c.type, c.body.substr(0, n), {n});
            ASSERT_EQ(c.record.compare(0, record.size(), record), 0) << record;
        }
    }
}

TEST(MultipartParser, HugeHeaderLinesAreTakenWholeOrRefused) {
    const std::string huge(1 << 18, 'h');
    const Case cases[] = {
        {"a huge file name", kType, B + Part("name=f; filename=\"" + huge + "\"", "1") + kEnd, "<f|" + huge + "|>1</>"},
        {"a huge content type", kType, B + Part("name=f", "1", huge) + kEnd, "<f||" + huge + ">1</>"},
        {"a huge unknown header", kType, B + huge + ": 1\r\n", "!Premature end of line when expecting file header type"},
        {"a huge header line that never ends", kType, B + "Content-Disposition: " + huge, ""},
        {"a huge first line", "multipart/form-data", huge + "\r\n", "!Failed to find boundary separator"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<size_t> pages(c.body.size() / 8192, 8192);
        pages.push_back(c.body.size() % 8192);
        EXPECT_EQ(Feed(c.type, c.body, {c.body.size()}), c.record);
        EXPECT_EQ(Feed(c.type, c.body, pages), c.record);
    }
}

TEST(MultipartParser, RandomBodiesReadTheSameHoweverTheyAreCut) {
    std::mt19937 random(42);
    const std::vector<std::string> fragments = {B, kEnd, "\r\n", "\r", "--", "--XyZ", "--XyZ--", "\r\n--XyZ\r\n",
                                                "Content-Disposition: form-data; ", "name=\"a\"", "filename=\"f\"",
                                                "Content-Type: x\r\n", ";", "\"", "=", ":", " "};
    for (int round = 0; round < 2000; ++round) {
        std::string body = test::RandomBody(random, fragments, 60, 2);
        std::vector<size_t> cuts = test::RandomCuts(random, body.size());
        const std::string& type = round % 2 ? kType : std::string("multipart/form-data");
        SCOPED_TRACE("round " + std::to_string(round));
        std::string whole = Feed(type, body, {body.size()});
        ASSERT_EQ(Feed(type, body, cuts), whole);
        ASSERT_EQ(Feed(type, body, std::vector<size_t>(body.size(), 1)), whole);
    }
}

TEST(MultipartParser, ASinkThatRefusesStopsTheParse) {
    const std::string body = B + Part("name=a", "1") + B + Part("name=b", "2") + kEnd;
    // The calls are begin a, data 1, end a, begin b, data 2, end b.
    const char* records[] = {"<a||>#refused", "<a||>1#refused", "<a||>1</>#refused", "<a||>1</><b||>#refused",
                             "<a||>1</><b||>2#refused", "<a||>1</><b||>2</>#refused"};
    for (int refuse = 1; refuse <= 6; ++refuse) {
        SCOPED_TRACE("refusing call " + std::to_string(refuse));
        EXPECT_EQ(Feed(kType, body, {body.size()}, refuse), records[refuse - 1]);
        EXPECT_EQ(Feed(kType, body, std::vector<size_t>(body.size(), 1), refuse), records[refuse - 1]);
    }
}

} // namespace
} // namespace vorn
