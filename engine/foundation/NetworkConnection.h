// One TCP connection, plain or switched to TLS. The socket and TLS layers
// derive from it; the rest of the system sees only this interface.
#pragma once

#include "engine/foundation/String.h"

#include <cstdint>

// The TLS library's own certificate and key objects, handled by pointer only.
// Declared the way the library declares them, so its headers may follow.
typedef struct x509_st X509;
typedef struct evp_pkey_st EVP_PKEY;

namespace vorn {

// Time-outs are whole seconds; 0 means the configured global time-out, and no
// limit when that is 0 too. Failing operations store a message for ErrorText.
class NetworkConnection {
  public:
    virtual ~NetworkConnection() = default;

    // Runs the TLS handshake on the connected socket; takes ownership of the
    // client certificate and key (either may be null). serverName is the SNI
    // name or null.
    virtual bool StartTLS(const char* serverName, X509* certificate, EVP_PKEY* key, uint32_t timeout) = 0;
    // The server's certificate, owned by the connection; null without TLS.
    virtual X509* PeerCertificate() = 0;
    // Bytes read; 0 at the end of the stream; negative on failure.
    virtual int32_t Read(void* buffer, int32_t length, uint32_t timeout) = 0;
    // Reads one line, keeping its CR LF; each receive takes at most chunkSize
    // bytes. Returns the line's length including the LF; negative on failure.
    virtual int32_t ReadLine(String& line, uint32_t timeout, int32_t chunkSize) = 0;
    // Bytes written; anything other than length is a failure.
    virtual int32_t Write(const void* data, int32_t length, uint32_t timeout) = 0;
    virtual String& ErrorText() = 0;
    // Replaces the stored message only when the given one has text.
    virtual void SetError(const String& message) = 0;
};

} // namespace vorn
