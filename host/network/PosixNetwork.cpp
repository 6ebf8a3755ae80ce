#include "host/network/PosixNetwork.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/app/VornApplication.h"
#include "engine/foundation/Config.h"
#include "host/base/OpenSSL.h"
#include "host/network/ByteBuffer.h"
#include "host/network/NetworkMessages.h"
#include "platform/Errors.h"

namespace vorn {

namespace {

constexpr int32_t kReadAheadSize = 16384;

// SSL_get_error codes.
constexpr int kSslErrorSsl = 1;
constexpr int kSslErrorWantRead = 2;
constexpr int kSslErrorWantWrite = 3;
constexpr int kSslErrorSyscall = 5;
constexpr int kSslErrorZeroReturn = 6;
constexpr int kSslCtrlSetHostName = 55;
constexpr long kHostNameType = 0;

// Queued error codes: a system error carries its number under this flag;
// others pack the library (bits 23-30) and the reason (bits 0-22).
constexpr unsigned long kErrSystemFlag = 0x80000000UL;
constexpr unsigned long kErrLibSsl = 20;
constexpr unsigned long kUnexpectedEofReason = 294;

// A TCP close without close_notify: the end of the stream, not a failure
// (whatever framing the data has shows a cut).
bool IsUnexpectedEof(unsigned long code) {
    return (code & kErrSystemFlag) == 0 && ((code >> 23) & 0xFF) == kErrLibSsl &&
           (code & 0x7FFFFF) == kUnexpectedEofReason;
}

bool ApplicationStopped(void* context) {
    return static_cast<VornApplication*>(context)->StopRequested();
}

String SystemText(int error) {
    char buffer[256];
    return String(platform::SocketErrorText(error, buffer, sizeof buffer));
}

} // namespace

// --- PosixNetworkConnection ----------------------------------------------------------------

PosixNetworkConnection::PosixNetworkConnection(VornApplication* app) : application(app) {
    error.Assign("");
}

PosixNetworkConnection::~PosixNetworkConnection() {
    DropState();
    std::free(readAhead);
}

String& PosixNetworkConnection::ErrorText() {
    return error;
}

void PosixNetworkConnection::SetError(const String& message) {
    if (!message.IsNull()) error.Assign(message);
}

void PosixNetworkConnection::Fail(const char* prefix, const char* detail) {
    String text(prefix);
    if (detail) text.Append(detail);
    SetError(text);
}

void PosixNetworkConnection::FailWithError(const char* prefix, int errorNumber) {
    Fail(prefix, SystemText(errorNumber).Text());
}

void PosixNetworkConnection::DropState() {
    void* const* table = application ? application->SSLFunctions() : nullptr;
    if (table) {
        if (peerCertificate) OpenSSLCall<kX509_free>(table)(peerCertificate);
        if (ssl) OpenSSLCall<kSSL_free>(table)(ssl);
        if (clientCertificate) OpenSSLCall<kX509_free>(table)(clientCertificate);
        if (clientKey) OpenSSLCall<kEVP_PKEY_free>(table)(clientKey);
    }
    peerCertificate = nullptr;
    peerFetched = false;
    ssl = nullptr;
    clientCertificate = nullptr;
    clientKey = nullptr;
    platform::CloseSocket(socket);
    socket = -1;
    readStart = readEnd = 0;
}

int64_t PosixNetworkConnection::WaitMilliseconds(uint32_t timeout) {
    int64_t seconds = timeout;
    if (seconds == 0) {
        Config* config = application ? application->GetConfig() : nullptr;
        int32_t global = config ? config->GetInteger(kConfigGlobalTimeout) : 0;
        seconds = global > 0 ? global : 0;
    }
    return seconds == 0 ? -1 : seconds * 1000;
}

bool PosixNetworkConnection::Wait(bool forWrite, int64_t milliseconds, const char* failedPrefix,
                                  const char* timedOut) {
    platform::StopCheck stop;
    if (application) {
        stop.stopped = &ApplicationStopped;
        stop.context = application;
    }
    switch (platform::WaitSocket(socket, forWrite, milliseconds, stop)) {
    case platform::SocketWait::Ready:
        return true;
    case platform::SocketWait::Failed:
        FailWithError(failedPrefix, platform::LastError());
        return false;
    default: // timed out, or the request was stopped
        Fail(timedOut, nullptr);
        return false;
    }
}

bool PosixNetworkConnection::Connect(const platform::SocketAddress& address, uint32_t port, uint32_t timeout) {
    DropState();
    if (address.family != AF_INET && address.family != AF_INET6) {
        String text("Unsupported address family ");
        text.AppendInteger(address.family);
        SetError(text);
        return false;
    }
    if (port > 65535) {
        FailWithError("", EINVAL);
        return false;
    }
    socket = platform::OpenStreamSocket(address.family);
    if (socket < 0) {
        FailWithError("", platform::LastError());
        return false;
    }
    int result = platform::StartConnect(socket, address, static_cast<uint16_t>(port));
    if (result == 0) return true;
    if (result != EINPROGRESS) {
        FailWithError("", result);
        return false;
    }
    platform::StopCheck stop;
    if (application) {
        stop.stopped = &ApplicationStopped;
        stop.context = application;
    }
    switch (platform::WaitSocket(socket, true, WaitMilliseconds(timeout), stop)) {
    case platform::SocketWait::Ready:
        break;
    case platform::SocketWait::Failed:
        FailWithError("", platform::LastError());
        return false;
    default:
        Fail("Connection timed out", nullptr);
        return false;
    }
    // Writable proves nothing: a refused connect is writable too.
    int pending = platform::PendingSocketError(socket);
    if (pending != 0) {
        FailWithError("", pending);
        return false;
    }
    return true;
}

String PosixNetworkConnection::TlsFailure(unsigned long code, int savedErrno) {
    if (code == 0) return savedErrno ? SystemText(savedErrno) : String(kUnknownError);
    if (code & kErrSystemFlag) return SystemText(static_cast<int>(code & ~kErrSystemFlag));
    const char* reason = OpenSSLCall<kERR_reason_error_string>(application->SSLFunctions())(code);
    return String(reason ? reason : kUnknownError);
}

bool PosixNetworkConnection::StartTLS(const char* serverName, X509* certificate, EVP_PKEY* key,
                                      uint32_t timeout) {
    void* const* table = application ? application->SSLFunctions() : nullptr;
    if (socket < 0) {
        // Taken over all the same, so nothing leaks.
        if (table && certificate) OpenSSLCall<kX509_free>(table)(certificate);
        if (table && key) OpenSSLCall<kEVP_PKEY_free>(table)(key);
        Fail(kNotConnected, nullptr);
        return false;
    }
    if (table) {
        if (peerCertificate) OpenSSLCall<kX509_free>(table)(peerCertificate);
        if (ssl) OpenSSLCall<kSSL_free>(table)(ssl);
        if (clientCertificate) OpenSSLCall<kX509_free>(table)(clientCertificate);
        if (clientKey) OpenSSLCall<kEVP_PKEY_free>(table)(clientKey);
    }
    peerCertificate = nullptr;
    peerFetched = false;
    ssl = nullptr;
    clientCertificate = certificate;
    clientKey = key;
    // Plaintext the peer sent ahead of the handshake is no part of the TLS stream.
    readStart = readEnd = 0;

    String message;
    if (!application || !application->EnsureOpenSSL(&message)) {
        Fail("Error allocating SSL handle: ", message.IsEmpty() ? kOpenSSLMissing : message.Text());
        return false;
    }
    table = application->SSLFunctions();
    OpenSSLCall<kERR_clear_error>(table)();
    ssl = OpenSSLCall<kSSL_new>(table)(static_cast<SSL_CTX*>(application->SSLContext()));
    if (!ssl) {
        Fail("Error allocating SSL handle: ", TlsFailure(OpenSSLCall<kERR_get_error>(table)(), 0).Text());
        return false;
    }
    if (serverName)
        OpenSSLCall<kSSL_ctrl>(table)(ssl, kSslCtrlSetHostName, kHostNameType, const_cast<char*>(serverName));
    if (certificate && key) {
        if (OpenSSLCall<kSSL_use_certificate>(table)(ssl, certificate) != 1) {
            Fail("Error assigning client certificate: ", TlsFailure(OpenSSLCall<kERR_get_error>(table)(), 0).Text());
            return false;
        }
        if (OpenSSLCall<kSSL_use_PrivateKey>(table)(ssl, key) != 1) {
            Fail("Error assigning client key: ", TlsFailure(OpenSSLCall<kERR_get_error>(table)(), 0).Text());
            return false;
        }
    }
    if (OpenSSLCall<kSSL_set_fd>(table)(ssl, socket) != 1) {
        Fail(kSslConnectError, TlsFailure(OpenSSLCall<kERR_get_error>(table)(), 0).Text());
        return false;
    }

    int64_t milliseconds = WaitMilliseconds(timeout);
    for (;;) {
        OpenSSLCall<kERR_clear_error>(table)();
        errno = 0;
        int result;
        int savedErrno;
        {
            platform::SigpipeBlock block;
            result = OpenSSLCall<kSSL_connect>(table)(ssl);
            savedErrno = errno;
        }
        if (result == 1) return true;
        int code = OpenSSLCall<kSSL_get_error>(table)(ssl, result);
        if (code == kSslErrorWantRead || code == kSslErrorWantWrite) {
            if (!Wait(code == kSslErrorWantWrite, milliseconds, kSslConnectError,
                      "Error establishing SSL connection: Connection timed out"))
                return false;
            continue;
        }
        if (code == kSslErrorSsl || code == kSslErrorSyscall)
            Fail(kSslConnectError,
                 TlsFailure(OpenSSLCall<kERR_get_error>(table)(), savedErrno).Text());
        else if (code == kSslErrorZeroReturn)
            Fail("Error establishing SSL connection: The remote server closed the connection", nullptr);
        else
            Fail("Error establishing SSL connection: Unknown error", nullptr);
        return false;
    }
}

X509* PosixNetworkConnection::PeerCertificate() {
    if (!ssl) return nullptr;
    if (!peerFetched) {
        peerCertificate = OpenSSLCall<kSSL_get_peer_certificate>(application->SSLFunctions())(ssl);
        peerFetched = true;
    }
    return peerCertificate;
}

int32_t PosixNetworkConnection::Read(void* buffer, int32_t length, uint32_t timeout) {
    if (length < 0 || (!buffer && length > 0)) {
        FailWithError(ssl ? kSslReadError : kReadError, EINVAL);
        return -1;
    }
    if (length == 0) return 0;
    if (readStart < readEnd) {
        int32_t n = readEnd - readStart < length ? readEnd - readStart : length;
        std::memcpy(buffer, readAhead + readStart, static_cast<size_t>(n));
        readStart += n;
        return n;
    }
    if (ssl) return ReadTLS(buffer, length, timeout);
    if (socket < 0) {
        FailWithError(kReadError, ENOTCONN);
        return -1;
    }
    int64_t milliseconds = WaitMilliseconds(timeout);
    for (;;) {
        int64_t n = platform::Receive(socket, buffer, static_cast<size_t>(length));
        if (n >= 0) return static_cast<int32_t>(n);
        int failure = platform::LastError();
        if (failure != EAGAIN) {
            FailWithError(kReadError, failure);
            return -1;
        }
        if (!Wait(false, milliseconds, kReadError, kReadTimeout)) return -1;
    }
}

int32_t PosixNetworkConnection::ReadTLS(void* buffer, int32_t length, uint32_t timeout) {
    void* const* table = application->SSLFunctions();
    int64_t milliseconds = WaitMilliseconds(timeout);
    for (;;) {
        OpenSSLCall<kERR_clear_error>(table)();
        errno = 0;
        int result;
        int savedErrno;
        {
            platform::SigpipeBlock block;
            result = OpenSSLCall<kSSL_read>(table)(ssl, buffer, length);
            savedErrno = errno;
        }
        if (result > 0) return result;
        int code = OpenSSLCall<kSSL_get_error>(table)(ssl, result);
        if (code == kSslErrorWantRead || code == kSslErrorWantWrite) {
            if (!Wait(code == kSslErrorWantWrite, milliseconds, kSslReadError, "SSL Read Timeout")) return -1;
            continue;
        }
        if (code == kSslErrorZeroReturn) return 0;
        if (code == kSslErrorSsl || code == kSslErrorSyscall) {
            unsigned long queued = OpenSSLCall<kERR_get_error>(table)();
            if (IsUnexpectedEof(queued) || (code == kSslErrorSyscall && queued == 0 && savedErrno == 0)) return 0;
            Fail(kSslReadError, TlsFailure(queued, savedErrno).Text());
            return -1;
        }
        Fail("SSL Read Error: Unknown error", nullptr);
        return -1;
    }
}

int32_t PosixNetworkConnection::FillReadAhead(uint32_t timeout) {
    if (!readAhead) {
        readAhead = static_cast<char*>(std::malloc(kReadAheadSize));
        if (!readAhead) {
            FailWithError(ssl ? kSslReadError : kReadError, ENOMEM);
            return -1;
        }
    }
    readStart = readEnd = 0;
    int32_t n = Read(readAhead, kReadAheadSize, timeout);
    if (n > 0) readEnd = n;
    return n;
}

int32_t PosixNetworkConnection::ReadLine(String& line, uint32_t timeout, int32_t) {
    line.Assign("", 0);
    ByteBuffer collected;
    const char* prefix = ssl ? kSslReadError : kReadError;
    for (;;) {
        if (readStart < readEnd) {
            const char* start = readAhead + readStart;
            auto* lf = static_cast<const char*>(std::memchr(start, '\n', static_cast<size_t>(readEnd - readStart)));
            int32_t n = lf ? static_cast<int32_t>(lf - start) + 1 : readEnd - readStart;
            if (collected.Length() + n > kMaxLineLength) {
                Fail(prefix, "Line too long");
                return -1;
            }
            if (!collected.Append(start, n)) {
                FailWithError(prefix, ENOMEM);
                return -1;
            }
            readStart += n;
            if (lf) {
                int32_t length = static_cast<int32_t>(collected.Length());
                collected.MoveTo(line);
                return length;
            }
        }
        int32_t filled = FillReadAhead(timeout);
        if (filled < 0) return -1;
        if (filled == 0) {
            Fail(ssl ? "SSL Read Error: The remote server closed the connection"
                     : kConnectionClosed,
                 nullptr);
            return -1;
        }
    }
}

int32_t PosixNetworkConnection::Write(const void* data, int32_t length, uint32_t timeout) {
    if (length <= 0) return 0;
    if (ssl) return WriteTLS(data, length, timeout);
    if (socket < 0) {
        FailWithError(kWriteError, ENOTCONN);
        return -1;
    }
    int64_t milliseconds = WaitMilliseconds(timeout);
    auto* bytes = static_cast<const char*>(data);
    int32_t sent = 0;
    while (sent < length) {
        int64_t n = platform::Send(socket, bytes + sent, static_cast<size_t>(length - sent));
        if (n > 0) {
            sent += static_cast<int32_t>(n);
            continue;
        }
        if (n < 0 && platform::LastError() != EAGAIN) {
            FailWithError(kWriteError, platform::LastError());
            return -1;
        }
        if (!Wait(true, milliseconds, kWriteError, kWriteTimeout)) return -1;
    }
    return length;
}

int32_t PosixNetworkConnection::WriteTLS(const void* data, int32_t length, uint32_t timeout) {
    void* const* table = application->SSLFunctions();
    int64_t milliseconds = WaitMilliseconds(timeout);
    auto* bytes = static_cast<const char*>(data);
    int32_t written = 0;
    while (written < length) {
        OpenSSLCall<kERR_clear_error>(table)();
        errno = 0;
        int result;
        int savedErrno;
        {
            // The library's socket writes do not ask for MSG_NOSIGNAL.
            platform::SigpipeBlock block;
            result = OpenSSLCall<kSSL_write>(table)(ssl, bytes + written, length - written);
            savedErrno = errno;
        }
        if (result > 0) {
            written += result;
            continue;
        }
        int code = OpenSSLCall<kSSL_get_error>(table)(ssl, result);
        if (code == kSslErrorWantRead || code == kSslErrorWantWrite) {
            // Called again with the same arguments, as the library requires.
            if (!Wait(code == kSslErrorWantWrite, milliseconds, kWriteError, kWriteTimeout)) return -1;
            continue;
        }
        if (code == kSslErrorZeroReturn)
            Fail("SSL Write Error: The remote server closed the connection", nullptr);
        else if (code == kSslErrorSsl || code == kSslErrorSyscall)
            Fail("SSL Write Error: ", TlsFailure(OpenSSLCall<kERR_get_error>(table)(), savedErrno).Text());
        else
            Fail("SSL Write Error: Unknown error", nullptr);
        return 0;
    }
    return length;
}

// --- PosixNetworkManager ---------------------------------------------------------------------

PosixNetworkManager::PosixNetworkManager(VornApplication* app) : NetworkManager(app) {}

bool PosixNetworkManager::Resolve(const char* host, platform::AddressList& out) {
    return platform::ResolveHost(host, false, platform::kAnyFamily, out) == 0;
}

bool PosixNetworkManager::IsIPAddress(const char* text) {
    platform::AddressList addresses;
    return text && platform::ResolveHost(text, true, platform::kAnyFamily, addresses) == 0;
}

bool PosixNetworkManager::IsIPv4Address(const char* text) {
    platform::AddressList addresses;
    return text && platform::ResolveHost(text, true, AF_INET, addresses) == 0;
}

bool PosixNetworkManager::IsIPv6Address(const char* text) {
    platform::AddressList addresses;
    return text && platform::ResolveHost(text, true, AF_INET6, addresses) == 0;
}

int32_t PosixNetworkManager::LookupHost(const char* host, String& address) {
    platform::AddressList addresses;
    if (!host || !Resolve(host, addresses)) {
        SetError(String(kErrorLookingUp) + (host ? host : "") + "'");
        return -1;
    }
    char text[512];
    for (const platform::SocketAddress& entry : addresses) {
        if (platform::NumericAddressText(entry, text, sizeof text)) {
            address.Assign(text);
            return 1;
        }
    }
    SetError(String(kErrorLookingUp) + host + "': No supported address families found");
    return -1;
}

NetworkConnection* PosixNetworkManager::Connect(const char* host, uint32_t port, uint32_t timeout) {
    if (!host) host = "";
    auto connectError = [&](const String& reason) {
        char number[16];
        std::snprintf(number, sizeof number, "%u", port);
        SetError(String("Error connecting to ") + host + " on port " + number + ": " + reason);
    };
    // Ports are 16 bits: a larger number must not wrap onto another port.
    if (port > 65535) {
        connectError(SystemText(EINVAL));
        return nullptr;
    }
    platform::AddressList addresses;
    if (!Resolve(host, addresses)) {
        SetError(String(kErrorLookingUp) + host + "'");
        return nullptr;
    }
    auto* connection = new PosixNetworkConnection(application);
    for (const platform::SocketAddress& address : addresses)
        if (connection->Connect(address, port, timeout)) return connection;
    connectError(connection->ErrorText());
    delete connection;
    return nullptr;
}

bool PosixNetworkManager::SameIPv6Address(const char* a, const char* b) {
    platform::AddressList first, second;
    if (!a || !b || platform::ResolveHost(a, true, AF_INET6, first) != 0 ||
        platform::ResolveHost(b, true, AF_INET6, second) != 0)
        return false;
    int32_t n1 = 0, n2 = 0;
    const uint8_t* x = platform::AddressBytes(first[0], &n1);
    const uint8_t* y = platform::AddressBytes(second[0], &n2);
    return x && y && n1 == 16 && n2 == 16 && std::memcmp(x, y, 16) == 0;
}

bool PosixNetworkManager::IPv4AddressText(const uint8_t* bytes, char* buffer, uint32_t size) {
    platform::SocketAddress address;
    if (!platform::AddressFromBytes(bytes, 4, address) || !platform::NumericAddressText(address, buffer, size)) {
        SetError("Invalid IP address");
        return false;
    }
    return true;
}

bool PosixNetworkManager::IPv6AddressText(const uint8_t* bytes, char* buffer, uint32_t size) {
    platform::SocketAddress address;
    if (!platform::AddressFromBytes(bytes, 16, address) || !platform::NumericAddressText(address, buffer, size)) {
        SetError("Invalid IP address");
        return false;
    }
    return true;
}

} // namespace vorn
