// The network layer's protocol side: the manager that resolves names, opens
// connections, splits URLs, writes HTTP requests, loads client certificates
// and checks the identity of TLS servers, and the base of line-protocol
// clients. The socket layer (PosixNetwork.h) fills in the rest; every
// connection the system makes comes from the request's manager.
#pragma once

#include <cstdint>

#include "engine/foundation/NetworkConnection.h"
#include "engine/foundation/String.h"
#include "engine/vm/NetworkSource.h"

namespace vorn {

class VornApplication;
class VornVM;

// "securityoptions" bits of the identity checks (0x1000, no chain
// verification, belongs to the TLS context).
inline constexpr int32_t kSecurityNoHostCheck = 0x2000;
inline constexpr int32_t kSecurityCheckIPAddress = 0x4000;

// Guards of what a request may carry.
inline constexpr int64_t kMaxRequestHeaderBytes = 1 << 20;

// Whether (text, length) holds CR, LF or NUL: what must never reach a
// line protocol from a script's operand.
bool HasLineBreakOrNul(const char* text, int32_t length);

// Writes the whole text; the write's result.
int32_t WriteString(NetworkConnection* connection, const String& text, uint32_t timeout);

// What a traced connection names in its log events: the program (its file,
// source file and line are copied when the connection is made) and the
// event bit, LogCall for VrCALL and LogSmtp for VrSMTP.
struct VornVMLogContext {
    VornVM* vm = nullptr;
    uint32_t event = 0;
};

class NetworkManager : public NetworkSource {
  public:
    explicit NetworkManager(VornApplication* application);
    ~NetworkManager() override;
    NetworkManager(const NetworkManager&) = delete;
    NetworkManager& operator=(const NetworkManager&) = delete;

    // Here: digits and dots only (the empty text too); the socket layer
    // asks the resolver.
    virtual bool IsIPAddress(const char* text);
    virtual bool IsIPv4Address(const char* text) = 0;
    virtual bool IsIPv6Address(const char* text) = 0;
    // The host's first address as numeric text: 1, or -1 with the error set.
    virtual int32_t LookupHost(const char* host, String& address) = 0;
    // A connection the caller owns, or null. Time-outs are seconds (0: "globaltimeout").
    virtual NetworkConnection* Connect(const char* host, uint32_t port, uint32_t timeout) = 0;

    // TLS on a connected socket, with an optional client certificate (a file
    // of the data directory; an empty type means PEM), SNI as "usesni" says
    // and the server's identity checked as "securityoptions" says.
    virtual bool StartSSL(NetworkConnection* connection, const char* host, const char* certificateFile,
                          const char* certificateType, const char* passPhrase, uint32_t timeout);
    // Connects for the URL and sends the request: the connection, with the
    // response not read yet, or null. A bodyLength of -1 with a body means up
    // to its NUL; headers are whole CR LF lines.
    virtual NetworkConnection* OpenURL(const char* method, const char* url, const char* body,
                                       const char* contentType, int64_t bodyLength, const char* certificateFile,
                                       const char* certificateType, const char* passPhrase, const char* headers,
                                       int32_t headersLength, double version, uint32_t timeout);
    virtual NetworkConnection* ConnectForURL(const char* protocol, int32_t protocolLength, const char* host,
                                             int32_t hostLength, const char* portText, int32_t portTextLength,
                                             uint32_t* port, const char* certificateFile,
                                             const char* certificateType, const char* passPhrase,
                                             uint32_t timeout);
    virtual bool SendRequest(NetworkConnection* connection, const char* method, const char* path,
                             int32_t pathLength, const char* host, int32_t hostLength, const char* portText,
                             int32_t portTextLength, int32_t port, const char* body, const char* contentType,
                             int64_t bodyLength, const char* headers, int32_t headersLength, double version,
                             uint32_t timeout);
    // Reads a certificate and its key from one file ("p..." or empty: PEM,
    // "a...": DER, key after certificate). Both are the caller's on success.
    virtual bool LoadClientCertificate(const char* file, const char* type, const char* passPhrase,
                                       X509** certificate, EVP_PKEY** key);
    virtual bool VerifyHostName(X509* certificate, const char* host);
    virtual bool VerifyIPAddress(X509* certificate, const char* host);
    virtual bool MatchHostPattern(const char* host, const char* pattern, int32_t patternLength);
    virtual bool SameIPv6Address(const char* a, const char* b) = 0;
    virtual bool IPv4AddressText(const uint8_t* bytes, char* buffer, uint32_t size) = 0;
    virtual bool IPv6AddressText(const uint8_t* bytes, char* buffer, uint32_t size) = 0;
    // Splits "protocol://host[:port][/path]" (length -1: up to the NUL) into
    // pointers into url; the path leaves out its leading '/'. False for a
    // malformed URL, control bytes included.
    virtual bool SplitURL(const char* url, int32_t length, const char** protocol, int32_t* protocolLength,
                          const char** host, int32_t* hostLength, const char** portText,
                          int32_t* portTextLength, const char** path, int32_t* pathLength);
    virtual String& ErrorText();
    // Replaces the message only when the given one has text.
    virtual void SetError(const String& message);

    // OpenURL with the connection wrapped, before the request is sent, in a
    // logging connection that writes every byte to the program's trace log.
    // Takes the context.
    NetworkConnection* OpenLoggedURL(const char* method, const char* url, const char* body, const char* contentType,
                                     int64_t bodyLength, const char* certificateFile, const char* certificateType,
                                     const char* passPhrase, const char* headers, int32_t headersLength,
                                     double version, uint32_t timeout, VornVMLogContext* context);

    // --- NetworkSource ----------------------------------------------------------
    HttpCall* NewCall(VornApplication* application, VornVM* program, VariableHash* systemScope,
                      const CallOperands& operands) override;
    MailMessage* NewMailMessage(VornApplication* application, VornVM* program) override;
    Mailbox* NewMailbox(VornApplication* application, VornVM* program, VariableHash* systemScope,
                        char* bodyDirectory, int32_t length, int32_t size) override;

    VornApplication* Application() const { return application; }

  protected:
    void SetError(const char* message) { SetError(String(message)); }

    VornApplication* application;
    String error;

  private:
    NetworkConnection* OpenURLWith(const char* method, const char* url, const char* body, const char* contentType,
                                   int64_t bodyLength, const char* certificateFile, const char* certificateType,
                                   const char* passPhrase, const char* headers, int32_t headersLength,
                                   double version, uint32_t timeout, VornVMLogContext* context);
};

// The application's network manager, or null.
NetworkManager* NetworkManagerOf(VornApplication* application);

// The base of a line-protocol client that owns one connection.
class NetworkService {
  public:
    // Takes over host (a malloc'ed buffer of hostSize bytes) when *adoptHost
    // is set, clearing the flag; otherwise copies hostLength bytes.
    NetworkService(VornApplication* application, char* host, int32_t hostLength, int32_t hostSize,
                   bool* adoptHost, uint32_t port, uint32_t timeout);
    virtual ~NetworkService();
    NetworkService(const NetworkService&) = delete;
    NetworkService& operator=(const NetworkService&) = delete;

    virtual NetworkConnection* Connection();
    // Reads the server's reply and judges it.
    virtual bool CheckResponse() = 0;
    // A new connection through the application's manager, then CheckResponse.
    virtual bool Connect();
    virtual String& ErrorText();
    virtual void SetError(const String& message);

  protected:
    VornApplication* application;
    NetworkConnection* connection = nullptr;
    String host;
    uint32_t port;
    uint32_t timeout;
    String error;
};

} // namespace vorn
