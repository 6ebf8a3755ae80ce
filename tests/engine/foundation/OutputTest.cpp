#include "engine/foundation/NetworkConnection.h"
#include "engine/foundation/Output.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace vorn;

namespace {

// Records every Write it is given and every buffer it sends.
class RecordingOutput : public BufferedOutput {
  public:
    explicit RecordingOutput(int32_t size) : BufferedOutput(size) {}
    int32_t Write(const char* bytes, int32_t length) override {
        if (bytes != nullptr)
            writes.emplace_back(bytes, length == -1 ? strlen(bytes) : length < 0 ? 0 : length);
        return BufferedOutput::Write(bytes, length);
    }
    int32_t Send(const char* bytes, int32_t length) override {
        sends.emplace_back(bytes, length);
        return sendResult < 0 ? length : sendResult;
    }
    int32_t Waiting() const { return used; }

    std::vector<std::string> writes, sends;
    int32_t sendResult = -1; // -1: report everything as sent
};

char* Dup(const char* s) {
    char* p = static_cast<char*>(std::malloc(strlen(s) + 1));
    memcpy(p, s, strlen(s) + 1);
    return p;
}

} // namespace

TEST(BufferedOutput, ExactFillWaitsUntilTheNextByte) {
    RecordingOutput out(8);
    EXPECT_EQ(out.Write("abcd", 4), 4);
    EXPECT_EQ(out.Write("efgh", 4), 4); // exactly the free space
    EXPECT_TRUE(out.sends.empty());
    EXPECT_EQ(out.Waiting(), 8);
    EXPECT_EQ(out.Write("i", 1), 1);
    ASSERT_EQ(out.sends.size(), 1u);
    EXPECT_EQ(out.sends[0], "abcdefgh");
    EXPECT_EQ(out.Waiting(), 1);
    // Data that fits is never split: the waiting bytes go first.
    EXPECT_EQ(out.Write("jklmnop", 7), 7);
    EXPECT_EQ(out.sends.size(), 1u);
    EXPECT_EQ(out.Write("qr", -1), 2);
    ASSERT_EQ(out.sends.size(), 2u);
    EXPECT_EQ(out.sends[1], "ijklmnop");
    EXPECT_EQ(out.Write("x", 0), 0);
    EXPECT_EQ(out.Write(nullptr, 5), 0);
    EXPECT_EQ(out.Waiting(), 2);
}

TEST(BufferedOutput, LongWritesPassInBufferSizedPieces) {
    RecordingOutput out(8);
    const std::string data = "0123456789abcdefghijklmnopqr"; // three and a half buffers
    EXPECT_EQ(out.Write(data.data(), 28), 28);
    ASSERT_EQ(out.sends.size(), 3u);
    EXPECT_EQ(out.sends[0], "01234567");
    EXPECT_EQ(out.sends[1], "89abcdef");
    EXPECT_EQ(out.sends[2], "ghijklmn");
    EXPECT_EQ(out.Waiting(), 4);

    // Starting from a part-filled buffer, the waiting bytes lead the first piece.
    RecordingOutput part(8);
    part.Write("xyz", 3);
    EXPECT_EQ(part.Write(data.data(), 20), 20);
    ASSERT_EQ(part.sends.size(), 2u);
    EXPECT_EQ(part.sends[0], "xyz01234");
    EXPECT_EQ(part.sends[1], "56789abc");
    EXPECT_EQ(part.Waiting(), 7);
}

TEST(BufferedOutput, FlushDropsBytesWhateverSendAchieved) {
    RecordingOutput out(16);
    out.sendResult = 2;
    out.Write("hello", 5);
    EXPECT_EQ(out.Flush(), 2);
    EXPECT_EQ(out.Waiting(), 0);
    EXPECT_EQ(out.Flush(), 0);
    // WriteAndFlush of nothing still sends what was waiting.
    out.sendResult = -1;
    out.Write("abc", 3);
    EXPECT_EQ(out.WriteAndFlush("", 0), 0);
    EXPECT_EQ(out.sends.back(), "abc");
    EXPECT_EQ(out.WriteAndFlush("de", -1), 2);
    EXPECT_EQ(out.sends.back(), "de");

    // With no buffer at all, bytes pass straight through instead of spinning.
    RecordingOutput none(0);
    EXPECT_EQ(none.Write("abc", 3), 3);
    EXPECT_EQ(none.sends.back(), "abc");
}

TEST(OutputModes, CollapseReducesRunsToTheirFirstByte) {
    RecordingOutput out(64);
    out.Write("x\n", 2);
    out.writes.clear();
    out.SetMode(Output::kModeCollapse);
    EXPECT_EQ(out.Mode(), 2);
    EXPECT_EQ(out.WriteFiltered("  a \t b ", -1), 8);
    EXPECT_EQ(out.writes, (std::vector<std::string>{"a ", "b "}));

    // The run continues across writes: leading white space after "b " goes.
    out.writes.clear();
    EXPECT_EQ(out.WriteFiltered(" \t\r\n", 4), 4);
    EXPECT_TRUE(out.writes.empty());
    EXPECT_EQ(out.WriteFiltered("c", 1), 1);
    // After a non-space, leading white space keeps its first byte.
    EXPECT_EQ(out.WriteFiltered("\t  d\v\fe", -1), 7);
    EXPECT_EQ(out.writes, (std::vector<std::string>{"c", "\t", "d\v", "e"}));
    out.Flush();
    EXPECT_EQ(out.sends.back(), "x\na b c\td\ve");

    // Bytes 0x80 and above are text, not white space.
    out.writes.clear();
    EXPECT_EQ(out.WriteFiltered("\xa0\x85 ", 3), 3);
    EXPECT_EQ(out.writes, (std::vector<std::string>{"\xa0\x85 "}));
}

TEST(OutputModes, TrimDropsOneLeadingByteAfterWhiteSpace) {
    RecordingOutput out(64);
    out.SetMode(Output::kModeTrim);
    // The flag starts set: the very first write is trimmed.
    EXPECT_EQ(out.WriteFiltered(" x ", 3), 3);
    EXPECT_EQ(out.WriteFiltered("  a", -1), 3);
    EXPECT_EQ(out.writes, (std::vector<std::string>{"x ", " a"}));
    // After a non-space the text is written unchanged.
    out.writes.clear();
    EXPECT_EQ(out.WriteFiltered("  b", 3), 3);
    EXPECT_EQ(out.writes, (std::vector<std::string>{"  b"}));
    // A lone white-space byte after white space writes nothing.
    out.writes.clear();
    out.Write("\n", 1);
    out.writes.clear();
    EXPECT_EQ(out.WriteFiltered("\t", 1), 1);
    EXPECT_EQ(out.WriteFiltered("", 0), 0);
    EXPECT_TRUE(out.writes.empty());

    // Mode 3 behaves as mode 1.
    RecordingOutput both(64);
    both.SetMode(Output::kModeTrim | Output::kModeCollapse);
    both.Write("z ", 2);
    both.writes.clear();
    EXPECT_EQ(both.WriteFiltered("  a  b", -1), 6);
    EXPECT_EQ(both.writes, (std::vector<std::string>{" a  b"}));

    // Mode 0 writes everything as given.
    RecordingOutput plain(64);
    EXPECT_EQ(plain.WriteFiltered("  a  ", -1), 5);
    EXPECT_EQ(plain.writes, (std::vector<std::string>{"  a  "}));
}

namespace {

std::vector<std::string> gCallbackData;
int32_t Collect(const char* bytes, int32_t length) {
    gCallbackData.emplace_back(bytes, length);
    return length - 1;
}

} // namespace

TEST(NullOutput, HandsEveryWriteOnUnfiltered) {
    NullOutput quiet(nullptr);
    EXPECT_EQ(quiet.Write("abc", 3), 3);
    EXPECT_EQ(quiet.Flush(), 1);

    gCallbackData.clear();
    NullOutput out(Collect);
    out.SetMode(Output::kModeCollapse);
    EXPECT_EQ(out.WriteFiltered("  a   b", -1), 6); // the callback's count
    EXPECT_EQ(gCallbackData, (std::vector<std::string>{"  a   b"}));
    EXPECT_EQ(out.WriteAndFlush("cd", 2), 1);
    EXPECT_EQ(gCallbackData.size(), 2u);
}

namespace {

class FakeConnection : public NetworkConnection {
  public:
    bool StartTLS(const char*, X509*, EVP_PKEY*, uint32_t) override { return false; }
    X509* PeerCertificate() override { return nullptr; }
    int32_t Read(void*, int32_t, uint32_t) override { return -1; }
    int32_t ReadLine(String&, uint32_t, int32_t) override { return -1; }
    int32_t Write(const void* data, int32_t length, uint32_t timeout) override {
        writes.emplace_back(static_cast<const char*>(data), length);
        timeouts.push_back(timeout);
        return result < 0 ? length : result;
    }
    String& ErrorText() override { return error; }
    void SetError(const String& message) override {
        if (!message.IsNull()) error = message;
    }

    std::vector<std::string> writes;
    std::vector<uint32_t> timeouts;
    int32_t result = -1;
    String error;
};

struct HeaderCall {
    std::string name, value;
    int32_t nameLength, valueLength;
    bool nameOwned, valueOwned;
};

// A header target that keeps what it is given and frees owned texts.
class HeaderSink : public NullOutput {
  public:
    HeaderSink() : NullOutput(nullptr) {}
    int32_t AddHeader(const char* name, int32_t nameLength, bool nameOwned, const char* value,
                      int32_t valueLength, bool valueOwned) override {
        calls.push_back({name, value, nameLength, valueLength, nameOwned, valueOwned});
        if (nameOwned) std::free(const_cast<char*>(name));
        if (valueOwned) std::free(const_cast<char*>(value));
        return 1;
    }
    std::vector<HeaderCall> calls;
};

} // namespace

TEST(NetworkOutput, SendsBuffersAndFlushesOnDestruction) {
    FakeConnection conn;
    {
        NetworkOutput out(nullptr, &conn, 4, 17);
        EXPECT_EQ(out.Write("abcdefghij", -1), 10);
        EXPECT_EQ(conn.writes, (std::vector<std::string>{"abcd", "efgh"}));
    }
    EXPECT_EQ(conn.writes, (std::vector<std::string>{"abcd", "efgh", "ij"}));
    EXPECT_EQ(conn.timeouts, (std::vector<uint32_t>{17, 17, 17}));

    // A short write is reported by Flush, and the message is the connection's.
    NetworkOutput out(nullptr, &conn, 8, 0);
    conn.result = 1;
    conn.SetError(String("Connection reset"));
    out.Write("xyz", 3);
    EXPECT_EQ(out.Flush(), 1);
    EXPECT_STREQ(out.ErrorText().Text(), "Connection reset");
    EXPECT_EQ(&out.ErrorText(), &conn.ErrorText());

    // Without a connection nothing is sent, and nothing crashes.
    NetworkOutput lone(nullptr, nullptr, 8, 0);
    lone.Write("abc", 3);
    EXPECT_EQ(lone.Flush(), 0);
    EXPECT_TRUE(lone.ErrorText().IsEmpty());
}

TEST(NetworkOutput, HeadersGoToTheHeaderTarget) {
    FakeConnection conn;
    HeaderSink headers;
    NetworkOutput out(&headers, &conn, 8, 0);
    EXPECT_EQ(out.AddHeaderText("Content-Type", "text/html"), 1);
    EXPECT_EQ(out.AddHeader(Dup("X-Mailer"), 3, true, Dup("vorn"), 4, true), 1);
    ASSERT_EQ(headers.calls.size(), 2u);
    const HeaderCall& a = headers.calls[0];
    EXPECT_EQ(a.name + "=" + a.value, "Content-Type=text/html");
    EXPECT_TRUE(a.nameLength == -1 && a.valueLength == -1 && !a.nameOwned && !a.valueOwned);
    const HeaderCall& b = headers.calls[1];
    EXPECT_TRUE(b.nameLength == 3 && b.valueLength == 4 && b.nameOwned && b.valueOwned);
    EXPECT_TRUE(conn.writes.empty()); // headers are not body bytes

    // Sinks that keep no headers free owned texts (the leak checker fails the test otherwise).
    NetworkOutput noTarget(nullptr, &conn, 8, 0);
    EXPECT_EQ(noTarget.AddHeader(Dup("a"), 1, true, Dup("b"), 1, true), 0);
    char* both = Dup("same");
    EXPECT_EQ(noTarget.AddHeader(both, -1, true, both, -1, true), 0); // freed once
    NullOutput null(nullptr);
    EXPECT_EQ(null.AddHeader("a", 1, false, Dup("b"), 1, true), 0);
}
