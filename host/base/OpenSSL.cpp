#include "host/base/OpenSSL.h"

#include <sys/random.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "engine/app/VornApplication.h"
#include "host/base/ProductSettings.h"
#include "platform/Errors.h"

namespace vorn {

static_assert(kOpenSSLEntryCount == VornApplication::SSLFunctionCount, "the application's table holds every entry");

namespace {

struct EntryRow {
    const char* name;
    bool inSSL;
};

constexpr EntryRow kEntries[kOpenSSLEntryCount] = {
    {"SSLeay", false},
    {"SSL_library_init", true},
    {"SSL_load_error_strings", true},
    {"SSLv23_client_method", true},
    {"SSL_CTX_new", true},
    {"SSL_CTX_free", true},
    {"SSL_CTX_set_verify", true},
    {"SSL_CTX_load_verify_locations", true},
    {"SSL_new", true},
    {"SSL_set_fd", true},
    {"SSL_connect", true},
    {"SSL_read", true},
    {"SSL_write", true},
    {"SSL_get_error", true},
    {"SSL_get_peer_certificate", true},
    {"SSL_ctrl", true},
    {"SSL_free", true},
    {"OpenSSL_add_all_ciphers", false},
    {"OpenSSL_add_all_digests", false},
    {"EVP_cleanup", false},
    {"ERR_get_error", false},
    {"ERR_reason_error_string", false},
    {"RAND_seed", false},
    {"RAND_status", false},
    {"RAND_bytes", false},
    {"BIO_new_mem_buf", false},
    {"BIO_ctrl", false},
    {"PEM_read_bio_X509", false},
    {"PEM_read_bio_PrivateKey", false},
    {"d2i_X509_bio", false},
    {"d2i_PrivateKey_bio", false},
    {"BIO_free", false},
    {"X509_get_ext_d2i", false},
    {"sk_num", false},
    {"sk_value", false},
    {"GENERAL_NAME_free", false},
    {"sk_pop_free", false},
    {"ASN1_STRING_data", false},
    {"ASN1_STRING_length", false},
    {"X509_get_subject_name", false},
    {"X509_NAME_get_index_by_NID", false},
    {"X509_NAME_get_entry", false},
    {"X509_free", false},
    {"EVP_PKEY_free", false},
    {"SSL_use_certificate", true},
    {"SSL_use_PrivateKey", true},
    {"SSL_CTX_set_default_verify_paths", true},
    {"ERR_clear_error", false},
    {"X509_NAME_ENTRY_get_data", false},
};

// The OpenSSL 3 calls the shims make.
using InitFunction = int (*)(uint64_t options, const void* settings);
constexpr uint64_t kInitLoadCryptoStrings = 0x2;
constexpr uint64_t kInitAddAllCiphers = 0x4;
constexpr uint64_t kInitAddAllDigests = 0x8;
constexpr uint64_t kInitLoadSSLStrings = 0x200000;

// Set from the process's libraries only: a shim handed to a plug-in must not
// call into a library that a short-lived loader has unloaded since.
std::atomic<InitFunction> gInitSSL{nullptr};
std::atomic<InitFunction> gInitCrypto{nullptr};

int CallInit(const std::atomic<InitFunction>& function, uint64_t options) {
    InitFunction f = function.load(std::memory_order_acquire);
    return f ? f(options, nullptr) : 1;
}

int ShimLibraryInit() { return CallInit(gInitSSL, 0); }
void ShimLoadErrorStrings() { CallInit(gInitSSL, kInitLoadSSLStrings | kInitLoadCryptoStrings); }
void ShimAddAllCiphers() { CallInit(gInitCrypto, kInitAddAllCiphers); }
void ShimAddAllDigests() { CallInit(gInitCrypto, kInitAddAllDigests); }
void ShimCleanup() {}
int ShimNumLocks() { return 1; }
void ShimSetLockingCallback(void (*)(int, int, const char*, int)) {}

struct Alias {
    const char* name;
    const char* target; // the OpenSSL 3 name, or the call a shim needs (null: none)
    void* shim;         // null for a plain rename
    std::atomic<InitFunction>* published;
};

const Alias kAliases[] = {
    {"SSLeay", "OpenSSL_version_num", nullptr, nullptr},
    {"SSLv23_client_method", "TLS_client_method", nullptr, nullptr},
    // The new name says what the old call did too: the caller frees the certificate.
    {"SSL_get_peer_certificate", "SSL_get1_peer_certificate", nullptr, nullptr},
    {"sk_num", "OPENSSL_sk_num", nullptr, nullptr},
    {"sk_value", "OPENSSL_sk_value", nullptr, nullptr},
    {"sk_pop_free", "OPENSSL_sk_pop_free", nullptr, nullptr},
    {"SSL_library_init", "OPENSSL_init_ssl", reinterpret_cast<void*>(&ShimLibraryInit), &gInitSSL},
    {"SSL_load_error_strings", "OPENSSL_init_ssl", reinterpret_cast<void*>(&ShimLoadErrorStrings), &gInitSSL},
    {"OpenSSL_add_all_ciphers", "OPENSSL_init_crypto", reinterpret_cast<void*>(&ShimAddAllCiphers), &gInitCrypto},
    {"OpenSSL_add_all_digests", "OPENSSL_init_crypto", reinterpret_cast<void*>(&ShimAddAllDigests), &gInitCrypto},
    {"EVP_cleanup", nullptr, reinterpret_cast<void*>(&ShimCleanup), nullptr},
    {"CRYPTO_num_locks", nullptr, reinterpret_cast<void*>(&ShimNumLocks), nullptr},
    {"CRYPTO_set_locking_callback", nullptr, reinterpret_cast<void*>(&ShimSetLockingCallback), nullptr},
};

const Alias* FindAlias(const char* name) {
    for (const Alias& alias : kAliases)
        if (std::strcmp(alias.name, name) == 0) return &alias;
    return nullptr;
}

// Start-up: the lock count, the locking callback, then the four initialisations.
struct StartupName {
    const char* name;
    bool inSSL;
};
constexpr StartupName kStartup[] = {
    {"CRYPTO_num_locks", false},        {"CRYPTO_set_locking_callback", false},
    {"SSL_library_init", true},         {"SSL_load_error_strings", true},
    {"OpenSSL_add_all_ciphers", false}, {"OpenSSL_add_all_digests", false},
};

void OpenSSLLockingCallback(int, int, const char*, int) {}

template <class F>
F As(void* address) {
    return reinterpret_cast<F>(address);
}

} // namespace

const char* OpenSSLEntryName(int32_t entry) {
    return entry >= 0 && entry < kOpenSSLEntryCount ? kEntries[entry].name : nullptr;
}

bool OpenSSLEntryInSSL(int32_t entry) {
    return entry >= 0 && entry < kOpenSSLEntryCount && kEntries[entry].inSSL;
}

// --- OpenSSLLibraries ---------------------------------------------------------------------

OpenSSLLibraries::~OpenSSLLibraries() {
    Unload();
}

bool OpenSSLLibraries::Load(const char* ssl, const char* crypto) {
    if (loaded) return available;
    loaded = true;
    sslFile.Assign(ssl ? ssl : "");
    cryptoFile.Assign(crypto ? crypto : "");
    sslModule = platform::LoadModule(sslFile.Text());
    cryptoModule = platform::LoadModule(cryptoFile.Text());
    if (!sslModule || !cryptoModule) return false;

    void* startup[6] = {};
    for (int i = 0; i < 6; ++i) {
        startup[i] = Resolve(kStartup[i].name, kStartup[i].inSSL);
        if (!startup[i]) return false;
    }
    if (this == &ProcessOpenSSL()) {
        gInitSSL.store(As<InitFunction>(platform::ModuleSymbol(sslModule, "OPENSSL_init_ssl")));
        gInitCrypto.store(As<InitFunction>(platform::ModuleSymbol(cryptoModule, "OPENSSL_init_crypto")));
    }
    available = true;
    As<int (*)()>(startup[0])(); // one lock, and OpenSSL keeps it itself: no mutexes
    As<void (*)(void (*)(int, int, const char*, int))>(startup[1])(&OpenSSLLockingCallback);
    As<int (*)()>(startup[2])();
    As<void (*)()>(startup[3])();
    As<void (*)()>(startup[4])();
    As<void (*)()>(startup[5])();
    return true;
}

void OpenSSLLibraries::Unload() {
    if (this == &ProcessOpenSSL()) {
        gInitSSL.store(nullptr);
        gInitCrypto.store(nullptr);
    }
    if (sslModule) platform::UnloadModule(sslModule);
    if (cryptoModule) platform::UnloadModule(cryptoModule);
    sslModule = cryptoModule = nullptr;
    loaded = available = false;
}

void* OpenSSLLibraries::Resolve(const char* name, bool inSSL) const {
    platform::ModuleHandle module = inSSL ? sslModule : cryptoModule;
    if (!module || !name) {
        platform::SetLastModuleError("OpenSSL library not loaded");
        return nullptr;
    }
    const Alias* alias = FindAlias(name);
    if (!alias) return platform::ModuleSymbol(module, name);
    if (!alias->shim) return platform::ModuleSymbol(module, alias->target);
    // A shim stands only where the call it makes exists.
    if (alias->target && !platform::ModuleSymbol(module, alias->target)) return nullptr;
    return alias->shim;
}

void* OpenSSLLibraries::Find(const char* name) const {
    void* address = Resolve(name, true);
    return address ? address : Resolve(name, false);
}

OpenSSLLibraries& ProcessOpenSSL() {
    static OpenSSLLibraries* libraries = new OpenSSLLibraries; // outlives every application
    return *libraries;
}

bool StartProcessOpenSSL() {
    static std::once_flag once;
    std::call_once(once, [] {
        ProductSettings settings;
        ReadProductSettings(settings);
        ProcessOpenSSL().Load(settings.sslLibrary.Text(), settings.cryptoLibrary.Text());
    });
    return ProcessOpenSSL().Available();
}

// --- Binding ------------------------------------------------------------------------------

bool BindOpenSSL(const OpenSSLLibraries& libraries, void** table, void** context, const char* caDirectory,
                 int32_t securityOptions, String* error) {
    if (!libraries.Available()) {
        if (error) error->Assign(kOpenSSLMissing);
        return false;
    }
    for (int32_t i = 0; i < kOpenSSLEntryCount; ++i) {
        table[i] = libraries.Resolve(kEntries[i].name, kEntries[i].inSSL);
        if (!table[i]) {
            if (error)
                *error = String("Error loading function '") + kEntries[i].name + "' from '" +
                         (kEntries[i].inSSL ? libraries.SSLFile() : libraries.CryptoFile()) +
                         "': " + platform::LastErrorText();
            return false;
        }
    }
    void* method = As<void* (*)()>(table[kSSLv23_client_method])();
    void* made = As<void* (*)(void*)>(table[kSSL_CTX_new])(method);
    if (!made) {
        if (error) error->Assign("Unable to create the OpenSSL client context");
        return false;
    }
    bool haveDirectory = caDirectory && caDirectory[0];
    if (haveDirectory)
        As<int (*)(void*, const char*, const char*)>(table[kSSL_CTX_load_verify_locations])(made, nullptr,
                                                                                            caDirectory);
    bool verify = (securityOptions & kSecurityNoVerify) == 0;
    As<void (*)(void*, int, void*)>(table[kSSL_CTX_set_verify])(made, verify ? 1 : 0, nullptr);
    // Without a CA directory no peer could pass verification: use the system's store.
    if (verify && !haveDirectory) As<int (*)(void*)>(table[kSSL_CTX_set_default_verify_paths])(made);

    auto status = As<int (*)()>(table[kRAND_status]);
    auto seed = As<void (*)(const void*, int)>(table[kRAND_seed]);
    for (int round = 0; round < 16 && status() == 0; ++round) {
        unsigned char bytes[32];
        ssize_t n = getrandom(bytes, sizeof bytes, 0);
        if (n > 0) seed(bytes, static_cast<int>(n));
    }
    *context = made;
    return true;
}

void FreeOpenSSLContext(void* const* table, void** context) {
    if (!context || !*context) return;
    if (table && table[kSSL_CTX_free]) As<void (*)(void*)>(table[kSSL_CTX_free])(*context);
    *context = nullptr;
}

} // namespace vorn
