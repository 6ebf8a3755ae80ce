// OpenSSL, bound by name at run time: the process loads the ssl and crypto
// libraries once; each application binds its table of entry points and makes
// its TLS client context the first time it needs TLS.
//
// The names are those of the old library interface. OpenSSL 3 lost thirteen
// of them; one alias and shim table serves every lookup (start-up, the table
// and plug-ins' lookups by name): renamed functions are found under their new
// names, and the initialisation calls become OPENSSL_init_ssl/_crypto calls.
// OpenSSL 3 locks for itself, so the locking calls do nothing and no mutexes
// are made.
#pragma once

#include <cstdint>

#include "engine/foundation/NetworkConnection.h"
#include "engine/foundation/String.h"
#include "platform/Modules.h"

// The library's own objects, handled by pointer only (declared as the
// library declares them, X509 and EVP_PKEY beside the connection).
typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;
typedef struct bio_st BIO;
typedef struct X509_name_st X509_NAME;
typedef struct X509_name_entry_st X509_NAME_ENTRY;
typedef struct asn1_string_st ASN1_STRING;
struct stack_st;

namespace vorn {

// Why TLS is not to be had when the libraries did not load and no reason
// was kept.
inline constexpr char kOpenSSLMissing[] = "Unable to load OpenSSL DLLs";

// Entries of an application's table, in the order bound.
enum OpenSSLEntry : int32_t {
    kSSLeay,
    kSSL_library_init,
    kSSL_load_error_strings,
    kSSLv23_client_method,
    kSSL_CTX_new,
    kSSL_CTX_free,
    kSSL_CTX_set_verify,
    kSSL_CTX_load_verify_locations,
    kSSL_new,
    kSSL_set_fd,
    kSSL_connect,
    kSSL_read,
    kSSL_write,
    kSSL_get_error,
    kSSL_get_peer_certificate,
    kSSL_ctrl,
    kSSL_free,
    kOpenSSL_add_all_ciphers,
    kOpenSSL_add_all_digests,
    kEVP_cleanup,
    kERR_get_error,
    kERR_reason_error_string,
    kRAND_seed,
    kRAND_status,
    kRAND_bytes,
    kBIO_new_mem_buf,
    kBIO_ctrl,
    kPEM_read_bio_X509,
    kPEM_read_bio_PrivateKey,
    kd2i_X509_bio,
    kd2i_PrivateKey_bio,
    kBIO_free,
    kX509_get_ext_d2i,
    ksk_num,
    ksk_value,
    kGENERAL_NAME_free,
    ksk_pop_free,
    kASN1_STRING_data,
    kASN1_STRING_length,
    kX509_get_subject_name,
    kX509_NAME_get_index_by_NID,
    kX509_NAME_get_entry,
    kX509_free,
    kEVP_PKEY_free,
    kSSL_use_certificate,
    kSSL_use_PrivateKey,
    // Beside the 46: the system's trust store, for contexts without a CA
    // directory; the reset of the thread's error queue before each TLS call,
    // so a stale error is not taken for the call's; the data of a name entry
    // (the common name), which the 46 reach only through the entry's layout.
    kSSL_CTX_set_default_verify_paths,
    kERR_clear_error,
    kX509_NAME_ENTRY_get_data,
    kOpenSSLEntryCount
};

// The type of each entry the network layer calls, for OpenSSLCall.
template <int32_t Entry>
struct OpenSSLSignature;
#define VORN_OPENSSL_SIGNATURE(entry, ...)                                                                 \
    template <>                                                                                            \
    struct OpenSSLSignature<entry> {                                                                       \
        using Type = __VA_ARGS__;                                                                          \
    }
using OpenSSLPassPhraseCallback = int (*)(char* buffer, int size, int writing, void* context);
VORN_OPENSSL_SIGNATURE(kSSLeay, unsigned long (*)());
VORN_OPENSSL_SIGNATURE(kSSL_new, SSL* (*)(SSL_CTX*));
VORN_OPENSSL_SIGNATURE(kSSL_set_fd, int (*)(SSL*, int));
VORN_OPENSSL_SIGNATURE(kSSL_connect, int (*)(SSL*));
VORN_OPENSSL_SIGNATURE(kSSL_read, int (*)(SSL*, void*, int));
VORN_OPENSSL_SIGNATURE(kSSL_write, int (*)(SSL*, const void*, int));
VORN_OPENSSL_SIGNATURE(kSSL_get_error, int (*)(const SSL*, int));
VORN_OPENSSL_SIGNATURE(kSSL_get_peer_certificate, X509* (*)(const SSL*));
VORN_OPENSSL_SIGNATURE(kSSL_ctrl, long (*)(SSL*, int, long, void*));
VORN_OPENSSL_SIGNATURE(kSSL_free, void (*)(SSL*));
VORN_OPENSSL_SIGNATURE(kERR_get_error, unsigned long (*)());
VORN_OPENSSL_SIGNATURE(kERR_reason_error_string, const char* (*)(unsigned long));
VORN_OPENSSL_SIGNATURE(kERR_clear_error, void (*)());
VORN_OPENSSL_SIGNATURE(kBIO_new_mem_buf, BIO* (*)(const void*, int));
VORN_OPENSSL_SIGNATURE(kBIO_ctrl, long (*)(BIO*, int, long, void*));
VORN_OPENSSL_SIGNATURE(kBIO_free, int (*)(BIO*));
VORN_OPENSSL_SIGNATURE(kPEM_read_bio_X509, X509* (*)(BIO*, X509**, OpenSSLPassPhraseCallback, void*));
VORN_OPENSSL_SIGNATURE(kPEM_read_bio_PrivateKey,
                       EVP_PKEY* (*)(BIO*, EVP_PKEY**, OpenSSLPassPhraseCallback, void*));
VORN_OPENSSL_SIGNATURE(kd2i_X509_bio, X509* (*)(BIO*, X509**));
VORN_OPENSSL_SIGNATURE(kd2i_PrivateKey_bio, EVP_PKEY* (*)(BIO*, EVP_PKEY**));
VORN_OPENSSL_SIGNATURE(kX509_get_ext_d2i, void* (*)(const X509*, int, int*, int*));
VORN_OPENSSL_SIGNATURE(ksk_num, int (*)(const stack_st*));
VORN_OPENSSL_SIGNATURE(ksk_value, void* (*)(const stack_st*, int));
VORN_OPENSSL_SIGNATURE(kGENERAL_NAME_free, void (*)(void*));
VORN_OPENSSL_SIGNATURE(ksk_pop_free, void (*)(stack_st*, void (*)(void*)));
VORN_OPENSSL_SIGNATURE(kASN1_STRING_data, unsigned char* (*)(ASN1_STRING*));
VORN_OPENSSL_SIGNATURE(kASN1_STRING_length, int (*)(const ASN1_STRING*));
VORN_OPENSSL_SIGNATURE(kX509_get_subject_name, X509_NAME* (*)(const X509*));
VORN_OPENSSL_SIGNATURE(kX509_NAME_get_index_by_NID, int (*)(const X509_NAME*, int, int));
VORN_OPENSSL_SIGNATURE(kX509_NAME_get_entry, X509_NAME_ENTRY* (*)(const X509_NAME*, int));
VORN_OPENSSL_SIGNATURE(kX509_NAME_ENTRY_get_data, ASN1_STRING* (*)(const X509_NAME_ENTRY*));
VORN_OPENSSL_SIGNATURE(kX509_free, void (*)(X509*));
VORN_OPENSSL_SIGNATURE(kEVP_PKEY_free, void (*)(EVP_PKEY*));
VORN_OPENSSL_SIGNATURE(kSSL_use_certificate, int (*)(SSL*, X509*));
VORN_OPENSSL_SIGNATURE(kSSL_use_PrivateKey, int (*)(SSL*, EVP_PKEY*));
#undef VORN_OPENSSL_SIGNATURE

// An entry of a bound table, typed: OpenSSLCall<kSSL_read>(table)(ssl, buffer, n).
template <int32_t Entry>
typename OpenSSLSignature<Entry>::Type OpenSSLCall(void* const* table) {
    return reinterpret_cast<typename OpenSSLSignature<Entry>::Type>(table[Entry]);
}

// The name of an entry and whether it lives in the ssl library (else crypto).
const char* OpenSSLEntryName(int32_t entry);
bool OpenSSLEntryInSSL(int32_t entry);

// "securityoptions" bit: no certificate chain verification.
inline constexpr int32_t kSecurityNoVerify = 0x1000;

class OpenSSLLibraries {
  public:
    OpenSSLLibraries() = default;
    ~OpenSSLLibraries(); // unloads
    OpenSSLLibraries(const OpenSSLLibraries&) = delete;
    OpenSSLLibraries& operator=(const OpenSSLLibraries&) = delete;

    // Loads the ssl and then the crypto library by file name and, when both
    // loaded and the six start-up calls resolve, initialises OpenSSL: TLS is
    // then available. The libraries stay loaded either way. Loads once.
    bool Load(const char* sslFile, const char* cryptoFile);
    // Unloads the ssl and then the crypto library.
    void Unload();

    bool Available() const { return available; }
    platform::ModuleHandle SSLModule() const { return sslModule; }
    platform::ModuleHandle CryptoModule() const { return cryptoModule; }
    const String& SSLFile() const { return sslFile; }
    const String& CryptoFile() const { return cryptoFile; }

    // The address of a name in one library, through the alias and shim
    // table; null with the loader's text in platform::LastErrorText().
    void* Resolve(const char* name, bool inSSL) const;
    // In the ssl library, then in the crypto library.
    void* Find(const char* name) const;

  private:
    platform::ModuleHandle sslModule = nullptr;
    platform::ModuleHandle cryptoModule = nullptr;
    String sslFile;
    String cryptoFile;
    bool loaded = false;
    bool available = false;
};

// The libraries of the process.
OpenSSLLibraries& ProcessOpenSSL();
// Loads them once per process, with the file names of the product key (see
// ReadProductSettings). Whether TLS is available.
bool StartProcessOpenSSL();

// An application's binding: fills the table (kOpenSSLEntryCount entries) and
// makes the TLS client context: peers verified against caDirectory, or
// against the system's trust store when it is empty, unless securityOptions
// has kSecurityNoVerify. False with the message in *error (when given);
// entries bound before a failure stay, the context stays null.
bool BindOpenSSL(const OpenSSLLibraries& libraries, void** table, void** context, const char* caDirectory,
                 int32_t securityOptions, String* error);
// Frees a context made by BindOpenSSL and clears it.
void FreeOpenSSLContext(void* const* table, void** context);

} // namespace vorn
