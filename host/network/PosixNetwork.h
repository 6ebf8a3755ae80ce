// The network layer on POSIX sockets: non-blocking connections with a
// time-out per wait, plain or TLS through the application's OpenSSL table,
// and the manager that resolves names and makes them.
//
// Every wait ends early, as a time-out, once the request is stopped, so a
// slow or dripping peer cannot hold a request past "globaltimeout".
#pragma once

#include <cstdint>

#include "engine/foundation/NetworkConnection.h"
#include "engine/foundation/String.h"
#include "host/base/OpenSSL.h"
#include "host/network/NetworkManager.h"
#include "platform/Sockets.h"

namespace vorn {

class VornApplication;

// Longest line a connection reads; longer ones fail as "Line too long".
inline constexpr int32_t kMaxLineLength = 1 << 20;

class PosixNetworkConnection : public NetworkConnection {
  public:
    explicit PosixNetworkConnection(VornApplication* application);
    // Frees the TLS state (without a TLS shutdown) and closes the socket.
    ~PosixNetworkConnection() override;
    PosixNetworkConnection(const PosixNetworkConnection&) = delete;
    PosixNetworkConnection& operator=(const PosixNetworkConnection&) = delete;

    bool StartTLS(const char* serverName, X509* certificate, EVP_PKEY* key, uint32_t timeout) override;
    X509* PeerCertificate() override;
    // Bytes already read ahead come first. With TLS, 0 is the end (the peer's
    // close_notify or a plain close) and a failure is -1.
    int32_t Read(void* buffer, int32_t length, uint32_t timeout) override;
    // Lines come from a read-ahead buffer; chunkSize is not needed for that.
    int32_t ReadLine(String& line, uint32_t timeout, int32_t chunkSize) override;
    int32_t Write(const void* data, int32_t length, uint32_t timeout) override;
    String& ErrorText() override;
    void SetError(const String& message) override;

    // Connects to one address, dropping any earlier socket and TLS state.
    virtual bool Connect(const platform::SocketAddress& address, uint32_t port, uint32_t timeout);
    bool Secured() const { return ssl != nullptr; }
    int Socket() const { return socket; }

  private:
    int32_t ReadTLS(void* buffer, int32_t length, uint32_t timeout);
    int32_t WriteTLS(const void* data, int32_t length, uint32_t timeout);
    // Fills the read-ahead buffer: bytes read, 0 at the end, -1 on failure
    // (message set with the prefix of the read that asked).
    int32_t FillReadAhead(uint32_t timeout);
    void DropState();
    void Fail(const char* prefix, const char* detail);
    void FailWithError(const char* prefix, int error);
    // Waits for the socket; false with the message set from the three texts.
    bool Wait(bool forWrite, int64_t milliseconds, const char* failedPrefix, const char* timedOut);
    int64_t WaitMilliseconds(uint32_t timeout);
    // The reason of a failed TLS call: the queued error's text, the system's
    // error, or "Unknown error".
    String TlsFailure(unsigned long code, int savedErrno);

    VornApplication* application;
    String error;
    int socket = -1;
    SSL* ssl = nullptr;
    X509* peerCertificate = nullptr;
    bool peerFetched = false;
    X509* clientCertificate = nullptr;
    EVP_PKEY* clientKey = nullptr;
    char* readAhead = nullptr;
    int32_t readStart = 0;
    int32_t readEnd = 0;
};

class PosixNetworkManager : public NetworkManager {
  public:
    explicit PosixNetworkManager(VornApplication* application);

    bool IsIPAddress(const char* text) override;
    bool IsIPv4Address(const char* text) override;
    bool IsIPv6Address(const char* text) override;
    int32_t LookupHost(const char* host, String& address) override;
    NetworkConnection* Connect(const char* host, uint32_t port, uint32_t timeout) override;
    bool SameIPv6Address(const char* a, const char* b) override;
    bool IPv4AddressText(const uint8_t* bytes, char* buffer, uint32_t size) override;
    bool IPv6AddressText(const uint8_t* bytes, char* buffer, uint32_t size) override;

  protected:
    // The host's addresses in the order to try them; false when it has none.
    virtual bool Resolve(const char* host, platform::AddressList& out);
};

} // namespace vorn
