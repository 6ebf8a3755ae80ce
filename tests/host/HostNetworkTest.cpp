// Network functions before the network layer: every connection fails with
// its message; what works on a connection goes through its interface.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>

#include "engine/foundation/NetworkConnection.h"
#include "host/VornHost.h"

namespace vorn {
namespace {

// A connection that answers from a script of lines and counts its end.
class FakeConnection : public NetworkConnection {
  public:
    explicit FakeConnection(std::string text, int* deleted) : input(std::move(text)), deleted(deleted) {}
    ~FakeConnection() override { ++*deleted; }
    bool StartTLS(const char*, X509*, EVP_PKEY*, uint32_t) override { return false; }
    X509* PeerCertificate() override { return nullptr; }
    int32_t Read(void* buffer, int32_t length, uint32_t) override {
        int32_t n = std::min<int32_t>(length, static_cast<int32_t>(input.size()));
        std::memcpy(buffer, input.data(), static_cast<size_t>(n));
        input.erase(0, static_cast<size_t>(n));
        return n;
    }
    int32_t ReadLine(String& line, uint32_t, int32_t chunk) override {
        chunkSeen = chunk;
        size_t end = input.find('\n');
        if (end == std::string::npos) return -3;
        line.Assign(input.data(), static_cast<int32_t>(end + 1));
        input.erase(0, end + 1);
        return line.Length();
    }
    int32_t Write(const void* data, int32_t length, uint32_t) override {
        written.append(static_cast<const char*>(data), static_cast<size_t>(length));
        return length;
    }
    String& ErrorText() override { return error; }
    void SetError(const String& message) override { error = message; }

    std::string input;
    std::string written;
    String error{"connection text"};
    int32_t chunkSeen = 0;
    int* deleted;
};

TEST(HostNetworkTest, ConnectionsWaitForTheNetworkLayer) {
    const std::function<bool()> failing[] = {
        [] { return vrNetwork_Connect(nullptr, "localhost", 80) == nullptr; },
        [] { return vrNetwork_Connect_SSL(nullptr, "localhost", 443) == nullptr; },
        [] { return vrNetwork_Open_URL(nullptr, "GET", "http://h/", nullptr, nullptr, 0) == nullptr; },
        [] {
            return vrNetwork_HTTP_Request(nullptr, "GET", "http://h/", 1.1, nullptr, nullptr, 0) == nullptr;
        },
        [] { return vorn_network_connect(nullptr, "localhost", 80) == nullptr; },
        [] { return vorn_network_openurl(nullptr, "GET", "http://h/", nullptr, nullptr, 0) == nullptr; },
        [] {
            return vrNetwork_Is_IP_Address(nullptr, "127.0.0.1") == 0 &&
                   vorn_network_isipaddress(nullptr, "::1") == 0;
        },
        [] {
            return vrHTTPResponse_Status_Code(nullptr) < 0 && vrHTTPResponse_Content_Length(nullptr) == -1;
        },
        [] { return vrHTTPResponse_Read(nullptr, nullptr, 0) < 0; },
    };
    for (size_t i = 0; i < std::size(failing); ++i)
        EXPECT_TRUE(failing[i]()) << i;
    vrHTTPResponse_Close(nullptr);
    vrNetwork_Close(nullptr);
    vorn_network_close(nullptr);
    for (const char* text : {vrNetwork_Error(nullptr, nullptr), vorn_network_error(nullptr, nullptr),
                             vrHTTPResponse_Error(nullptr, nullptr)})
        EXPECT_STREQ(text, "Network connections are not available");

    // Host addresses: a buffer without room is never written.
    char buffer[8];
    std::memset(buffer, 'q', sizeof buffer);
    for (int32_t size : {0, -1, 8}) {
        EXPECT_LT(vrNetwork_Get_Host_Address(nullptr, "localhost", buffer, size), 0);
        EXPECT_LT(vorn_network_gethostaddress(nullptr, "localhost", buffer, size), 0);
    }
    EXPECT_EQ(std::string(buffer, 8), "qqqqqqqq");
}

TEST(HostNetworkTest, ReadLineCopiesWhatFitsAndTerminatesIt) {
    int deleted = 0;
    auto* connection = new FakeConnection("0123456789abcdefghi\nshort\nrest", &deleted);
    char buffer[32];
    // A line of 20 bytes into a buffer of 10: 9 copied, terminated, 9 returned.
    std::memset(buffer, 'q', sizeof buffer);
    EXPECT_EQ(vorn_network_readline(connection, buffer, 10, 5), 9);
    EXPECT_STREQ(buffer, "012345678");
    EXPECT_EQ(buffer[10], 'q');
    EXPECT_EQ(connection->chunkSeen, 512);
    EXPECT_EQ(vrNetwork_Read_Line(connection, buffer, 32, 5), 6);
    EXPECT_STREQ(buffer, "short\n");
    // A size below 1 writes nothing and fails.
    std::memset(buffer, 'q', sizeof buffer);
    for (int32_t size : {0, -4}) {
        EXPECT_EQ(vrNetwork_Read_Line(connection, buffer, size, 5), -1);
        EXPECT_EQ(vorn_network_readline(connection, buffer, size, 5), -1);
    }
    EXPECT_EQ(buffer[0], 'q');
    // A failed read leaves the empty text.
    EXPECT_EQ(vrNetwork_Read_Line(connection, buffer, 32, 5), -3);
    EXPECT_STREQ(buffer, "");

    EXPECT_EQ(vrNetwork_Read(connection, buffer, 2, 0), 2);
    EXPECT_EQ(vorn_network_read(connection, buffer + 2, 10, -1), 2);
    EXPECT_EQ(std::string(buffer, 4), "rest");
    EXPECT_EQ(vrNetwork_Read(connection, nullptr, 4, 0), -1);
    EXPECT_EQ(vrNetwork_Read(nullptr, buffer, 4, 0), -1);
    EXPECT_EQ(vrNetwork_Write(connection, "GET", 3), 3);
    EXPECT_EQ(vorn_network_write(connection, "!", 1), 1);
    EXPECT_EQ(vrNetwork_Write(connection, nullptr, 3), -1);
    EXPECT_EQ(connection->written, "GET!");
    EXPECT_STREQ(vrNetwork_Error(nullptr, connection), "connection text");
    EXPECT_STREQ(vorn_network_error(nullptr, connection), "connection text");
    vrNetwork_Close(connection);
    EXPECT_EQ(deleted, 1);
    vorn_network_close(new FakeConnection("", &deleted));
    EXPECT_EQ(deleted, 2);
}

} // namespace
} // namespace vorn
