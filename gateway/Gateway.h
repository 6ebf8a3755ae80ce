// Tobex, the payment gateway library: a commerce plug-in that runs one card
// transaction per VrCOMMERCE block. It builds an XML order document from the
// block's req_ and order_ variables, posts it to the gateway over TLS with a
// client certificate and writes the answer's results into ch_ variables.
//
// The library reaches the host only through the binding unit, and OpenSSL
// only through the host (vrProgram_SSL_Function): it links neither. The
// OpenSSL headers give the prototypes and constants, never a call (the link
// refuses undefined names).
#pragma once

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstdint>

#include "host/plugin/VornHost.h"

namespace vorn::gateway {

// The OpenSSL functions a transaction binds at init, in the order bound.
#define VORN_GATEWAY_TLS_FUNCTIONS(X)                                                                        \
    X(SSL_new)                                                                                               \
    X(SSL_write)                                                                                             \
    X(SSL_read)                                                                                              \
    X(SSL_CTX_new)                                                                                           \
    X(BIO_new_mem_buf)                                                                                       \
    X(BIO_free)                                                                                              \
    X(BIO_ctrl)                                                                                              \
    X(PEM_read_bio_X509)                                                                                     \
    X(PEM_read_bio_PrivateKey)                                                                               \
    X(SSL_use_certificate)                                                                                   \
    X(SSL_use_PrivateKey)                                                                                    \
    X(SSL_set_fd)                                                                                            \
    X(SSL_connect)                                                                                           \
    X(SSL_CTX_free)                                                                                          \
    X(SSL_free)                                                                                              \
    X(X509_free)                                                                                             \
    X(EVP_PKEY_free)                                                                                         \
    X(TLS_client_method)                                                                                     \
    X(ERR_get_error)                                                                                         \
    X(ERR_reason_error_string)                                                                               \
    X(ERR_clear_error)                                                                                       \
    X(SSL_get_error)                                                                                         \
    X(SSL_CTX_ctrl)                                                                                          \
    X(SSL_CTX_set_options)                                                                                   \
    X(SSL_CTX_set_verify)                                                                                    \
    X(SSL_CTX_load_verify_locations)                                                                         \
    X(SSL_CTX_set_default_verify_paths)                                                                      \
    X(SSL_ctrl)                                                                                              \
    X(SSL_set1_host)                                                                                         \
    X(SSL_get_verify_result)                                                                                 \
    X(X509_verify_cert_error_string)                                                                         \
    X(SSL_get1_peer_certificate)                                                                             \
    X(X509_check_host)                                                                                       \
    X(X509_check_ip_asc)

enum TlsEntry : int32_t {
#define VORN_GATEWAY_TLS_ENTRY(name) kTls_##name,
    VORN_GATEWAY_TLS_FUNCTIONS(VORN_GATEWAY_TLS_ENTRY)
#undef VORN_GATEWAY_TLS_ENTRY
        kTlsCount
};

inline constexpr int32_t kErrorSize = 512;

// One transaction; its address is the handle the host keeps. Allocated from
// the host, zero-filled, socket -1.
struct GatewayTransaction {
    char error[kErrorSize]; // first: the handle is also the error text
    char* document;         // the order document, without terminator in its length
    int32_t documentCapacity;
    int32_t documentLength;
    char* answer; // the body of the latest answer (its bytes only)
    int32_t answerCapacity;
    int32_t answerLength;
    VornProgram* program;
    VornVariableList* inputs;
    VornVariableHash* outputs; // the system scope the host passes
    uint32_t rejectAddress : 1;
    uint32_t rejectZip : 1;
    char* keyData; // the client key file: PEM certificate and private key
    int32_t keyDataLength;
    const char* host; // the text of "req_host" (the host's string)
    int32_t hostLength;
    int32_t port;
    const char* chargeType;
    int32_t chargeTypeLength;
    int socket;
    SSL* connection;
    SSL_CTX* context;
    X509* certificate;
    EVP_PKEY* privateKey;
    int32_t readTimeout; // seconds; 0: none
    void* tls[kTlsCount];
};

// A bound OpenSSL function with its own prototype: TLS(t, SSL_new)(context).
#define TLS(t, name) reinterpret_cast<decltype(&::name)>((t)->tls[kTls_##name])

// Formats the error text (cut to 511 characters). Returns 1, init's failure.
int32_t Fail(GatewayTransaction* t, const char* format, ...) __attribute__((format(printf, 2, 3)));

// A variable of the inputs (null when missing), its text (never null) and length.
struct Input {
    VornVariable* variable;
    const char* text;
    int32_t length;
};
Input FindInput(GatewayTransaction* t, const char* name);

// Builds the order document (key and endpoint first) and exchanges it. 0: an
// answer was read; 1: failure, error text set (and "ch_error" too once the
// exchange had begun).
int32_t RunOrder(GatewayTransaction* t);

// Sends the document and reads the answer's body into t->answer. 0 or 1.
int32_t Exchange(GatewayTransaction* t);

// The text of a result element of the latest answer; length 0 when missing.
const char* FindElement(GatewayTransaction* t, const char* name, int32_t* length);

// Frees the TLS objects of the latest exchange and closes its socket.
void ReleaseConnection(GatewayTransaction* t);

// Wipes and frees a host block, clearing the pointer and the size words.
void FreeBlock(GatewayTransaction* t, char** block, int32_t* capacity, int32_t* length);

} // namespace vorn::gateway
