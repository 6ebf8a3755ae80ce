#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "host/base/Crypt.h"
#include "host/base/OpenSSL.h"
#include "platform/Time.h"
#include "tests/host/base/HostServicesSupport.h"

namespace vorn {
namespace {

using test::RegistryScratch;
using test::ScratchDir;

template <class F>
F Call(void* const* table, int32_t entry) {
    return reinterpret_cast<F>(table[entry]);
}

// The process's libraries, loaded with an empty registry (the default names).
const OpenSSLLibraries& Process() {
    static bool started = [] {
        RegistryScratch empty;
        return StartProcessOpenSSL();
    }();
    EXPECT_TRUE(started);
    return ProcessOpenSSL();
}

// `openssl s_server` on a free loopback port, once for the whole program, with
// certificates made now: the server's is signed by CA 1; CA 2 signs nothing.
class TlsPeer {
  public:
    static TlsPeer& Get() {
        static TlsPeer peer;
        return peer;
    }
    ~TlsPeer() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        if (input >= 0) close(input);
    }

    bool ok = false;
    int port = 0;
    ScratchDir dir;
    std::string ca1, ca2; // directories holding one CA each, hashed

  private:
    TlsPeer() {
        std::string d = dir.Path();
        ca1 = d + "/ca1";
        ca2 = d + "/ca2";
        std::string key = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
        std::string script = "set -e; cd " + d + "; mkdir ca1 ca2;" +
                             " for n in 1 2; do openssl req -x509" + key +
                             " -keyout ca$n.key -out ca$n/ca.pem -subj \"/CN=Vorn Test CA $n\" -days 2; done;" +
                             " openssl req" + key + " -keyout server.key -out server.csr -subj /CN=localhost;" +
                             " openssl x509 -req -in server.csr -CA ca1/ca.pem -CAkey ca1.key -CAcreateserial" +
                             " -out server.pem -days 2; openssl rehash ca1 ca2";
        if (std::system(("( " + script + " ) >/dev/null 2>&1").c_str()) != 0) return;
        port = FreePort();
        int pipeEnds[2];
        if (port == 0 || pipe(pipeEnds) != 0) return;
        pid = fork();
        if (pid == 0) {
            // Input stays open (and silent), so the server never ends a session for it.
            dup2(pipeEnds[0], 0);
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            std::string accept = "127.0.0.1:" + std::to_string(port);
            std::string cert = d + "/server.pem", keyFile = d + "/server.key";
            execlp("openssl", "openssl", "s_server", "-accept", accept.c_str(), "-cert", cert.c_str(), "-key",
                   keyFile.c_str(), "-quiet", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(pipeEnds[0]);
        input = pipeEnds[1];
        for (int i = 0; i < 200 && !ok; ++i) {
            int fd = Connect();
            ok = fd >= 0;
            if (fd >= 0) close(fd);
            if (!ok) platform::SleepMilliseconds(50);
        }
    }

    static int FreePort() {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        int port = 0;
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            port = ntohs(address.sin_port);
        close(fd);
        return port;
    }

    pid_t pid = -1;
    int input = -1;

  public:
    int Connect() const {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval limit{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close(fd);
            return -1;
        }
        return fd;
    }
};

TEST(OpenSSL, EveryNameBindsAgainstOpenSSL3) {
    const OpenSSLLibraries& libraries = Process();
    ASSERT_TRUE(libraries.Available());
    // The table's names (the 46 and the trust store's loader) and the two locking calls.
    for (int32_t i = 0; i < kOpenSSLEntryCount; ++i)
        EXPECT_NE(libraries.Resolve(OpenSSLEntryName(i), OpenSSLEntryInSSL(i)), nullptr) << OpenSSLEntryName(i);
    void* numLocks = libraries.Resolve("CRYPTO_num_locks", false);
    ASSERT_NE(numLocks, nullptr);
    EXPECT_EQ(reinterpret_cast<int (*)()>(numLocks)(), 1);
    EXPECT_NE(libraries.Resolve("CRYPTO_set_locking_callback", false), nullptr);
    auto version = reinterpret_cast<unsigned long (*)()>(libraries.Resolve("SSLeay", false));
    EXPECT_GE(version(), 0x30000000UL);

    // Lookups by name for plug-ins: ssl first, then crypto; aliases as everywhere.
    EXPECT_NE(libraries.Find("EVP_sha256"), nullptr);
    EXPECT_EQ(libraries.Find("SSLeay"), libraries.Find("OpenSSL_version_num"));
    EXPECT_EQ(libraries.Find("sk_num"), libraries.Find("OPENSSL_sk_num"));
    EXPECT_EQ(libraries.Find("no_such_function"), nullptr);

    // The runner's application binds the process's libraries.
    test::ConfiguredApplication application;
    void* table[kOpenSSLEntryCount] = {};
    void* context = nullptr;
    String error;
    ASSERT_TRUE(BindOpenSSL(libraries, table, &context, "", 0, &error)) << error.Text();
    EXPECT_NE(context, nullptr);
    FreeOpenSSLContext(table, &context);
    EXPECT_EQ(context, nullptr);
}

TEST(OpenSSL, BindingFailuresCarryTheirMessages) {
    Process();
    struct Case {
        const char* ssl;
        const char* crypto;
        std::string message; // the beginning
        const char* detail;  // in the system's text
    } cases[] = {
        {"libssl.so.3", "no-such-crypto.so", "Unable to load OpenSSL DLLs", ""},
        {"no-such-ssl.so", "libcrypto.so.3", "Unable to load OpenSSL DLLs", ""},
        // Start-up needs OPENSSL_init_ssl from the ssl library.
        {VORN_FIXTURE_PARTIALCRYPTO, "libcrypto.so.3", "Unable to load OpenSSL DLLs", ""},
        {"libssl.so.3", VORN_FIXTURE_PARTIALCRYPTO,
         std::string("Error loading function 'ERR_get_error' from '") + VORN_FIXTURE_PARTIALCRYPTO + "': ",
         "ERR_get_error"},
    };
    for (const Case& c : cases) {
        OpenSSLLibraries libraries;
        libraries.Load(c.ssl, c.crypto);
        void* table[kOpenSSLEntryCount] = {};
        void* context = nullptr;
        String error;
        EXPECT_FALSE(BindOpenSSL(libraries, table, &context, "", 0, &error));
        EXPECT_EQ(std::string(error.Text()).substr(0, c.message.size()), c.message);
        EXPECT_NE(std::string(error.Text()).find(c.detail), std::string::npos) << error.Text();
        EXPECT_EQ(context, nullptr);
    }
}

TEST(OpenSSL, PeersAreVerifiedAsConfigured) {
    TlsPeer& peer = TlsPeer::Get();
    ASSERT_TRUE(peer.ok) << "openssl s_server did not start";
    const OpenSSLLibraries& libraries = Process();
    struct Case {
        std::string caDirectory;
        int32_t securityOptions;
        const char* trustFile; // the system's store, as SSL_CERT_FILE names it
        bool accepted;
    } cases[] = {
        {peer.ca1, 0, nullptr, true},
        {peer.ca2, 0, nullptr, false},
        {peer.ca2, kSecurityNoVerify, nullptr, true},
        {"", 0, "/nonexistent.pem", false},
        {"", 0, nullptr, true}, // the system's store, made to hold CA 1 below
    };
    std::string ca1File = peer.ca1 + "/ca.pem";
    cases[4].trustFile = ca1File.c_str();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.caDirectory + " " + std::to_string(c.securityOptions));
        if (c.trustFile) setenv("SSL_CERT_FILE", c.trustFile, 1);
        void* table[kOpenSSLEntryCount] = {};
        void* context = nullptr;
        String error;
        ASSERT_TRUE(BindOpenSSL(libraries, table, &context, c.caDirectory.c_str(), c.securityOptions, &error))
            << error.Text();
        unsetenv("SSL_CERT_FILE");
        int fd = peer.Connect();
        ASSERT_GE(fd, 0);
        void* ssl = Call<void* (*)(void*)>(table, kSSL_new)(context);
        ASSERT_NE(ssl, nullptr);
        Call<int (*)(void*, int)>(table, kSSL_set_fd)(ssl, fd);
        int connected = Call<int (*)(void*)>(table, kSSL_connect)(ssl);
        EXPECT_EQ(connected == 1, c.accepted);
        if (connected == 1) {
            void* certificate = Call<void* (*)(void*)>(table, kSSL_get_peer_certificate)(ssl);
            EXPECT_NE(certificate, nullptr);
            Call<void (*)(void*)>(table, kX509_free)(certificate);
        } else {
            unsigned long code = Call<unsigned long (*)()>(table, kERR_get_error)();
            const char* reason = Call<const char* (*)(unsigned long)>(table, kERR_reason_error_string)(code);
            EXPECT_STREQ(reason, "certificate verify failed");
            while (Call<unsigned long (*)()>(table, kERR_get_error)() != 0) {
            }
        }
        Call<void (*)(void*)>(table, kSSL_free)(ssl);
        close(fd);
        FreeOpenSSLContext(table, &context);
    }
}

TEST(Crypt, TraditionalDesCrypt) {
    struct Case {
        const char* key;
        int32_t keyLength;
        const char* salt;
        const char* result;
    } cases[] = {
        {"test", -1, "aa", "aaqPiZY5xR5l."},
        {"passwordXYZ", -1, "ab", "abJnggxhB/yWI"},
        {"password", -1, "ab", "abJnggxhB/yWI"},  // only 8 characters count
        {"passwordXYZ", 8, "ab", "abJnggxhB/yWI"},
        {"testing", 4, "aa", "aaqPiZY5xR5l."},     // the length ends the key
        {"test\0xyz", 8, "aa", "aaqPiZY5xR5l."},   // so does a NUL
        {"test", -1, "aa and more", "aaqPiZY5xR5l."},
        {"test", -1, "a", ""}, // salts libcrypt refuses
        {"test", -1, "!!", ""},
        {"test", -1, "", ""},
        {"test", -1, nullptr, ""},
    };
    UFCrypt crypt;
    for (const Case& c : cases) {
        int32_t length = -1, size = -1;
        char* result = crypt.Crypt(c.key, c.keyLength, c.salt, &length, &size);
        ASSERT_NE(result, nullptr);
        EXPECT_STREQ(result, c.result) << c.key << " " << (c.salt ? c.salt : "null");
        EXPECT_EQ(length, static_cast<int32_t>(std::strlen(c.result)));
        EXPECT_EQ(size, 14);
        std::free(result);
    }
}

} // namespace
} // namespace vorn
