#include "host/network/NetworkManager.h"

#include <cstdio>
#include <cstring>

#include "engine/app/VornApplication.h"
#include "engine/files/File.h"
#include "engine/foundation/Config.h"
#include "engine/foundation/Hash.h"
#include "engine/vm/NetworkSource.h"
#include "host/base/OpenSSL.h"
#include "host/network/ByteBuffer.h"
#include "host/network/Call.h"
#include "host/network/LoggingNetworkConnection.h"
#include "host/network/NetworkMessages.h"
#include "host/network/POP3.h"
#include "host/network/SMTP.h"

namespace vorn {

namespace {

// Object identifiers and name kinds of the certificate checks.
constexpr int kNidSubjectAltName = 85;
constexpr int kNidCommonName = 13;
constexpr int kGeneralNameDns = 2;
constexpr int kGeneralNameIPAddress = 7;
constexpr int kBioReset = 1;

// One subjectAltName entry as the library lays it out: its kind, then the
// pointer to its value (a string for the kinds read here).
struct GeneralName {
    int type;
    ASN1_STRING* value;
};

bool IsControl(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}

bool HasControl(const char* text, int64_t length) {
    for (int64_t i = 0; i < length; ++i)
        if (IsControl(static_cast<unsigned char>(text[i]))) return true;
    return false;
}

bool EqualsNoCase(const char* a, int32_t aLength, const char* b, int32_t bLength) {
    return aLength == bLength && CompareTextNoCase(a, b, aLength) == 0;
}

// The port of a URL: digits (saturating); a negative number is no port any
// socket has; anything else reads as 0.
uint32_t PortNumber(const char* text, int32_t length) {
    if (!text || length <= 0) return 0;
    bool negative = text[0] == '-';
    int32_t i = negative ? 1 : 0;
    if (i == length) return 0;
    uint64_t value = 0;
    for (; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') return 0;
        value = value * 10 + static_cast<uint64_t>(text[i] - '0');
        if (value > UINT32_MAX) value = UINT32_MAX;
    }
    if (negative) return value == 0 ? 0 : UINT32_MAX;
    return static_cast<uint32_t>(value);
}

// Extra request headers: whole CR LF lines, none empty, no NUL and no bare
// CR or LF. A last line without its CR LF gets one.
bool AppendHeaderLines(ByteBuffer& out, const char* headers, int32_t length) {
    int32_t lineStart = 0;
    for (int32_t i = 0; i < length; ++i) {
        char c = headers[i];
        if (c == '\0') return false;
        if (c == '\n') return false; // not preceded by CR (that case is below)
        if (c != '\r') continue;
        if (i + 1 >= length || headers[i + 1] != '\n') return false;
        if (i == lineStart) return false;
        ++i;
        lineStart = i + 1;
    }
    out.Append(headers, length);
    if (lineStart < length) out.Append("\r\n", 2);
    return true;
}

// Copies the pass phrase for the library: at most its buffer, no NUL.
int PassPhraseCallback(char* buffer, int size, int, void* context) {
    auto* phrase = static_cast<const char*>(context);
    if (!phrase || size <= 0) return 0;
    size_t n = std::strlen(phrase);
    if (n > static_cast<size_t>(size)) n = static_cast<size_t>(size);
    std::memcpy(buffer, phrase, n);
    return static_cast<int>(n);
}

// The reason text of the thread's next queued TLS error ("Unknown error"
// when the library has none).
String TlsReason(void* const* table) {
    unsigned long code = OpenSSLCall<kERR_get_error>(table)();
    const char* reason = OpenSSLCall<kERR_reason_error_string>(table)(code);
    return String(reason ? reason : kUnknownError);
}

int32_t SecurityOptions(VornApplication* application) {
    Config* config = application ? application->GetConfig() : nullptr;
    return config ? config->GetInteger(kConfigSecurityOptions) : 0;
}

} // namespace

bool HasLineBreakOrNul(const char* text, int32_t length) {
    for (int32_t i = 0; text && i < length; ++i)
        if (text[i] == '\r' || text[i] == '\n' || text[i] == '\0') return true;
    return false;
}

int32_t WriteString(NetworkConnection* connection, const String& text, uint32_t timeout) {
    return connection->Write(text.Text(), text.Length(), timeout);
}

NetworkManager* NetworkManagerOf(VornApplication* application) {
    return application ? dynamic_cast<NetworkManager*>(application->GetNetworkManager()) : nullptr;
}

// --- NetworkManager --------------------------------------------------------------------

NetworkManager::NetworkManager(VornApplication* app) : application(app) {
    error.Assign("");
}

NetworkManager::~NetworkManager() = default;

String& NetworkManager::ErrorText() {
    return error;
}

void NetworkManager::SetError(const String& message) {
    if (!message.IsNull()) error.Assign(message);
}

bool NetworkManager::IsIPAddress(const char* text) {
    if (!text) return false;
    for (const char* p = text; *p; ++p)
        if (*p != '.' && (*p < '0' || *p > '9')) return false;
    return true;
}

bool NetworkManager::SplitURL(const char* url, int32_t length, const char** protocol, int32_t* protocolLength,
                              const char** host, int32_t* hostLength, const char** portText,
                              int32_t* portTextLength, const char** path, int32_t* pathLength) {
    *protocol = *host = *portText = *path = nullptr;
    *protocolLength = *hostLength = *portTextLength = *pathLength = 0;
    if (!url) return false;
    if (length < 0) length = static_cast<int32_t>(std::strlen(url));
    // Control bytes would end or split the request line.
    if (HasControl(url, length)) return false;
    const char* end = url + length;
    const char* colon = static_cast<const char*>(std::memchr(url, ':', static_cast<size_t>(length)));
    if (!colon) return false;
    if (end - colon < 3 || colon[1] != '/' || colon[2] != '/') return false;
    const char* p = colon + 3;
    const char* hostStart = p;
    if (p < end && *p == '[') {
        const char* close = static_cast<const char*>(std::memchr(p, ']', static_cast<size_t>(end - p)));
        p = close ? close + 1 : end;
    } else {
        while (p < end && *p != ':' && *p != '/')
            ++p;
    }
    *protocol = url;
    *protocolLength = static_cast<int32_t>(colon - url);
    *host = hostStart;
    *hostLength = static_cast<int32_t>(p - hostStart);
    if (p < end && *p == ':') {
        const char* portStart = ++p;
        while (p < end && *p != '/' && *p != '?')
            ++p;
        *portText = portStart;
        *portTextLength = static_cast<int32_t>(p - portStart);
    }
    if (p < end && *p == '/') {
        *path = p + 1;
        *pathLength = static_cast<int32_t>(end - p - 1);
    } else if (p == end || *p == '?') {
        *path = p;
        *pathLength = static_cast<int32_t>(end - p);
    } else {
        *protocol = *host = *portText = *path = nullptr;
        *protocolLength = *hostLength = *portTextLength = *pathLength = 0;
        return false;
    }
    return true;
}

NetworkConnection* NetworkManager::ConnectForURL(const char* protocol, int32_t protocolLength, const char* host,
                                                 int32_t hostLength, const char* portText, int32_t portTextLength,
                                                 uint32_t* port, const char* certificateFile,
                                                 const char* certificateType, const char* passPhrase,
                                                 uint32_t timeout) {
    bool secure = EqualsNoCase(protocol, protocolLength, "https", 5);
    if (!secure && !EqualsNoCase(protocol, protocolLength, "http", 4)) {
        SetError(String("Unsupported protocol '") + String(protocol, protocolLength) + "'");
        return nullptr;
    }
    if (hostLength >= 2 && host[0] == '[' && host[hostLength - 1] == ']') {
        ++host;
        hostLength -= 2;
    }
    String hostName(host, hostLength);
    uint32_t number = portText ? PortNumber(portText, portTextLength) : (secure ? 443 : 80);
    if (port) *port = number;
    NetworkConnection* connection = Connect(hostName.Text(), number, timeout);
    if (!connection) return nullptr;
    if (secure &&
        !StartSSL(connection, hostName.Text(), certificateFile, certificateType, passPhrase, timeout)) {
        delete connection;
        return nullptr;
    }
    return connection;
}

bool NetworkManager::SendRequest(NetworkConnection* connection, const char* method, const char* path,
                                 int32_t pathLength, const char* host, int32_t hostLength, const char* portText,
                                 int32_t portTextLength, int32_t port, const char* body, const char* contentType,
                                 int64_t bodyLength, const char* headers, int32_t headersLength, double version,
                                 uint32_t timeout) {
    (void)portTextLength;
    if (!method) method = "";
    if (!contentType) contentType = "";
    if (bodyLength == -1 && body) bodyLength = static_cast<int64_t>(std::strlen(body));
    // Nothing a caller passes may end the request line or add header lines.
    if (HasControl(method, static_cast<int64_t>(std::strlen(method)))) {
        SetError("Invalid character in request method");
        return false;
    }
    if (bodyLength > 0 && HasControl(contentType, static_cast<int64_t>(std::strlen(contentType)))) {
        SetError("Invalid character in content type");
        return false;
    }
    if ((path && HasControl(path, pathLength)) || (host && HasControl(host, hostLength))) {
        SetError(kMalformedUrl);
        return false;
    }
    if (!(version >= 0.0)) version = 1.0; // NaN too
    if (version > 9.0) version = 1.1;

    ByteBuffer head;
    char versionText[64];
    std::snprintf(versionText, sizeof versionText, "%.1f", version);
    head.Append(method);
    head.Append(" /", 2);
    if (path) head.Append(path, pathLength);
    head.Append(" HTTP/", 6);
    head.Append(versionText);
    head.Append("\r\n", 2);
    if (version >= 1.0) {
        head.Append("Host: ", 6);
        if (host) head.Append(host, hostLength);
        if (portText) {
            head.AppendByte(':');
            head.AppendDecimal(port);
        }
        head.Append("\r\n", 2);
    }
    if (bodyLength > 0) {
        head.Append("Content-Type: ", 14);
        head.Append(contentType);
        head.Append("\r\nContent-Length: ", 18);
        head.AppendDecimal(bodyLength);
        head.Append("\r\n", 2);
    }
    if (headers && headersLength > 0 && !AppendHeaderLines(head, headers, headersLength)) {
        SetError("Invalid request headers");
        return false;
    }
    if (version >= 1.1)
        head.Append("Connection: close\r\n\r\n", 21);
    else
        head.Append("\r\n", 2);

    int32_t headLength = static_cast<int32_t>(head.Length());
    if (connection->Write(head.Data(), headLength, timeout) != headLength) {
        SetError(connection->ErrorText());
        return false;
    }
    // A large body goes in pieces a single write can count.
    constexpr int64_t kPiece = 1 << 30;
    for (int64_t sent = 0; body && sent < bodyLength;) {
        int32_t n = static_cast<int32_t>(bodyLength - sent < kPiece ? bodyLength - sent : kPiece);
        if (connection->Write(body + sent, n, timeout) != n) {
            SetError(connection->ErrorText());
            return false;
        }
        sent += n;
    }
    return true;
}

NetworkConnection* NetworkManager::OpenURL(const char* method, const char* url, const char* body,
                                           const char* contentType, int64_t bodyLength,
                                           const char* certificateFile, const char* certificateType,
                                           const char* passPhrase, const char* headers, int32_t headersLength,
                                           double version, uint32_t timeout) {
    return OpenURLWith(method, url, body, contentType, bodyLength, certificateFile, certificateType, passPhrase,
                       headers, headersLength, version, timeout, nullptr);
}

NetworkConnection* NetworkManager::OpenLoggedURL(const char* method, const char* url, const char* body,
                                                 const char* contentType, int64_t bodyLength,
                                                 const char* certificateFile, const char* certificateType,
                                                 const char* passPhrase, const char* headers,
                                                 int32_t headersLength, double version, uint32_t timeout,
                                                 VornVMLogContext* context) {
    return OpenURLWith(method, url, body, contentType, bodyLength, certificateFile, certificateType, passPhrase,
                       headers, headersLength, version, timeout, context);
}

NetworkConnection* NetworkManager::OpenURLWith(const char* method, const char* url, const char* body,
                                               const char* contentType, int64_t bodyLength,
                                               const char* certificateFile, const char* certificateType,
                                               const char* passPhrase, const char* headers,
                                               int32_t headersLength, double version, uint32_t timeout,
                                               VornVMLogContext* context) {
    const char *protocol, *host, *portText, *path;
    int32_t protocolLength, hostLength, portTextLength, pathLength;
    if (!SplitURL(url, -1, &protocol, &protocolLength, &host, &hostLength, &portText, &portTextLength, &path,
                  &pathLength)) {
        delete context;
        SetError(kMalformedUrl);
        return nullptr;
    }
    uint32_t port = 0;
    NetworkConnection* connection =
        ConnectForURL(protocol, protocolLength, host, hostLength, portText, portTextLength, &port,
                      certificateFile, certificateType, passPhrase, timeout);
    if (!connection) {
        delete context;
        return nullptr;
    }
    if (context)
        connection = new VornVMLoggingNetworkConnection(application, host, hostLength, port, connection, context);
    if (!SendRequest(connection, method, path, pathLength, host, hostLength, portText, portTextLength,
                     static_cast<int32_t>(port), body, contentType, bodyLength, headers, headersLength, version,
                     timeout)) {
        delete connection;
        return nullptr;
    }
    return connection;
}

bool NetworkManager::StartSSL(NetworkConnection* connection, const char* host, const char* certificateFile,
                              const char* certificateType, const char* passPhrase, uint32_t timeout) {
    String message;
    if (!application || !application->EnsureOpenSSL(&message)) {
        SetError(message.IsEmpty() ? String(kOpenSSLMissing) : message);
        return false;
    }
    X509* certificate = nullptr;
    EVP_PKEY* key = nullptr;
    // An empty file names no certificate (forms that carry the operand pass
    // it empty when the script gave none).
    if (certificateFile && certificateFile[0] && certificateType &&
        !LoadClientCertificate(certificateFile, certificateType, passPhrase, &certificate, &key))
        return false;

    const char* serverName = nullptr;
    if (!IsIPAddress(host)) {
        Config* config = application->GetConfig();
        int32_t useSni = config ? config->GetInteger(kConfigUseSni) : -1;
        if (useSni == 1)
            serverName = host;
        else if (useSni != 0 && OpenSSLCall<kSSLeay>(application->SSLFunctions())() >= 0x10000000UL)
            serverName = host;
    }
    if (!connection->StartTLS(serverName, certificate, key, timeout)) {
        SetError(connection->ErrorText());
        return false;
    }
    X509* peer = connection->PeerCertificate();
    bool verified = IsIPAddress(host) ? VerifyIPAddress(peer, host) : VerifyHostName(peer, host);
    if (!verified) {
        SetError("Unable to verify server identity");
        return false;
    }
    return true;
}

bool NetworkManager::LoadClientCertificate(const char* fileName, const char* type, const char* passPhrase,
                                           X509** certificate, EVP_PKEY** key) {
    *certificate = nullptr;
    *key = nullptr;
    String message;
    if (!application || !application->EnsureOpenSSL(&message)) {
        SetError(message.IsEmpty() ? String(kOpenSSLMissing) : message);
        return false;
    }
    void* const* table = application->SSLFunctions();
    FileManager* files = application->GetFileManager();
    File* file = files ? files->Open(LocationData, fileName ? fileName : "", OpenRead) : nullptr;
    if (!file) {
        SetError(String("Unable to load client certificate: ") + (files ? files->ErrorText() : String("")));
        return false;
    }
    bool ok = false;
    int64_t length = file->Length();
    const void* bytes = length >= 0 && length <= INT32_MAX ? file->Map(0, length) : nullptr;
    BIO* bio = nullptr;
    if (!bytes) {
        SetError(String("Unable to read from client certificate file: ") + file->ErrorText());
    } else if (!(bio = OpenSSLCall<kBIO_new_mem_buf>(table)(bytes, static_cast<int>(length)))) {
        SetError(String("Unable to read from client certificate file: ") + TlsReason(table));
    } else {
        char first = type ? type[0] : '\0';
        if (first >= 'A' && first <= 'Z') first = static_cast<char>(first - 'A' + 'a');
        void* phrase = const_cast<char*>(passPhrase);
        X509* read = nullptr;
        if (first == 'p' || first == '\0') {
            read = OpenSSLCall<kPEM_read_bio_X509>(table)(bio, nullptr, &PassPhraseCallback, phrase);
        } else if (first == 'a') {
            read = OpenSSLCall<kd2i_X509_bio>(table)(bio, nullptr);
        } else {
            SetError(String("Unsupported certificate type '") + type + "'");
        }
        if (first == 'p' || first == '\0' || first == 'a') {
            if (!read) {
                SetError(String("Error reading client certificate: ") + TlsReason(table));
            } else {
                // PEM blocks are found wherever they are; DER's key follows its certificate.
                EVP_PKEY* readKey = nullptr;
                if (first == 'a') {
                    readKey = OpenSSLCall<kd2i_PrivateKey_bio>(table)(bio, nullptr);
                } else {
                    OpenSSLCall<kBIO_ctrl>(table)(bio, kBioReset, 0, nullptr);
                    readKey = OpenSSLCall<kPEM_read_bio_PrivateKey>(table)(bio, nullptr, &PassPhraseCallback, phrase);
                }
                if (!readKey) {
                    SetError(String("Error reading client key: ") + TlsReason(table));
                    OpenSSLCall<kX509_free>(table)(read);
                } else {
                    *certificate = read;
                    *key = readKey;
                    ok = true;
                }
            }
        }
    }
    if (bio) OpenSSLCall<kBIO_free>(table)(bio);
    file->Close();
    delete file;
    return ok;
}

bool NetworkManager::VerifyHostName(X509* certificate, const char* host) {
    if (SecurityOptions(application) & kSecurityNoHostCheck) return true;
    if (!certificate || !host || !application) return false;
    void* const* table = application->SSLFunctions();
    auto* names = static_cast<stack_st*>(
        OpenSSLCall<kX509_get_ext_d2i>(table)(certificate, kNidSubjectAltName, nullptr, nullptr));
    if (names) {
        bool matched = false;
        int count = OpenSSLCall<ksk_num>(table)(names);
        for (int i = 0; i < count && !matched; ++i) {
            auto* name = static_cast<GeneralName*>(OpenSSLCall<ksk_value>(table)(names, i));
            if (!name || (name->type & ~0x80) != kGeneralNameDns || !name->value) continue;
            const unsigned char* bytes = OpenSSLCall<kASN1_STRING_data>(table)(name->value);
            int length = OpenSSLCall<kASN1_STRING_length>(table)(name->value);
            if (bytes && length >= 0) matched = MatchHostPattern(host, reinterpret_cast<const char*>(bytes), length);
        }
        OpenSSLCall<ksk_pop_free>(table)(names, OpenSSLCall<kGENERAL_NAME_free>(table));
        if (matched) return true;
    }
    X509_NAME* subject = OpenSSLCall<kX509_get_subject_name>(table)(certificate);
    if (!subject) return false;
    int index = OpenSSLCall<kX509_NAME_get_index_by_NID>(table)(subject, kNidCommonName, -1);
    if (index < 0) return false;
    X509_NAME_ENTRY* entry = OpenSSLCall<kX509_NAME_get_entry>(table)(subject, index);
    ASN1_STRING* value = entry ? OpenSSLCall<kX509_NAME_ENTRY_get_data>(table)(entry) : nullptr;
    if (!value) return false;
    const unsigned char* bytes = OpenSSLCall<kASN1_STRING_data>(table)(value);
    int length = OpenSSLCall<kASN1_STRING_length>(table)(value);
    return bytes && length >= 0 && MatchHostPattern(host, reinterpret_cast<const char*>(bytes), length);
}

bool NetworkManager::VerifyIPAddress(X509* certificate, const char* host) {
    if (!(SecurityOptions(application) & kSecurityCheckIPAddress)) return true;
    if (!certificate || !host || !application) return false;
    void* const* table = application->SSLFunctions();
    auto* names = static_cast<stack_st*>(
        OpenSSLCall<kX509_get_ext_d2i>(table)(certificate, kNidSubjectAltName, nullptr, nullptr));
    if (!names) return false;
    bool matched = false;
    int count = OpenSSLCall<ksk_num>(table)(names);
    for (int i = 0; i < count && !matched; ++i) {
        auto* name = static_cast<GeneralName*>(OpenSSLCall<ksk_value>(table)(names, i));
        if (!name || (name->type & ~0x80) != kGeneralNameIPAddress || !name->value) continue;
        const unsigned char* bytes = OpenSSLCall<kASN1_STRING_data>(table)(name->value);
        int length = OpenSSLCall<kASN1_STRING_length>(table)(name->value);
        char text[128];
        if (!bytes) continue;
        if (length == 4 && IPv4AddressText(bytes, text, sizeof text)) {
            int32_t n = static_cast<int32_t>(std::strlen(text));
            matched = EqualsNoCase(host, static_cast<int32_t>(std::strlen(host)), text, n);
        } else if (length == 16 && IPv6AddressText(bytes, text, sizeof text)) {
            matched = SameIPv6Address(host, text);
        }
    }
    OpenSSLCall<ksk_pop_free>(table)(names, OpenSSLCall<kGENERAL_NAME_free>(table));
    return matched;
}

bool NetworkManager::MatchHostPattern(const char* host, const char* pattern, int32_t patternLength) {
    if (!host || !pattern || patternLength < 0) return false;
    int32_t hostLength = static_cast<int32_t>(std::strlen(host));
    if (EqualsNoCase(host, hostLength, pattern, patternLength)) return true;

    int32_t star = -1;
    int32_t dots = 0;
    for (int32_t i = patternLength - 1; i >= 0; --i) {
        char c = pattern[i];
        if (c == '*') {
            if (star >= 0 || dots < 2) return false;
            if (i + 1 >= patternLength || pattern[i + 1] != '.') return false;
            star = i;
        } else if (c == '.') {
            if (star >= 0) return false; // the wildcard must be in the first label
            ++dots;
        }
    }
    if (star < 0) return false;
    if (star > 0 && hostLength >= 4 && CompareTextNoCase(host, "xn--", 4) == 0) return false;
    const char* firstDot = std::strchr(host, '.');
    if (hostLength == 0 || !firstDot) return false;
    int32_t labelLength = static_cast<int32_t>(firstDot - host);
    if (star > 0 && (labelLength < star || CompareTextNoCase(host, pattern, star) != 0)) return false;
    int32_t restLength = hostLength - labelLength;
    const char* suffix = pattern + star + 1;
    int32_t suffixLength = patternLength - star - 1;
    return EqualsNoCase(firstDot, restLength, suffix, suffixLength);
}

HttpCall* NetworkManager::NewCall(VornApplication* app, VornVM* program, VariableHash* systemScope,
                                  const CallOperands& operands) {
    return new Call(app ? app : application, program, systemScope, operands, this);
}

MailMessage* NetworkManager::NewMailMessage(VornApplication* app, VornVM* program) {
    return new SMTP(app ? app : application, program);
}

Mailbox* NetworkManager::NewMailbox(VornApplication* app, VornVM* program, VariableHash* systemScope,
                                    char* bodyDirectory, int32_t length, int32_t size) {
    bool adopt = true;
    return new POP3(program, app ? app : application, systemScope, bodyDirectory, length, size, &adopt);
}

// --- NetworkService ---------------------------------------------------------------------

NetworkService::NetworkService(VornApplication* app, char* hostText, int32_t hostLength, int32_t hostSize,
                               bool* adoptHost, uint32_t servicePort, uint32_t serviceTimeout)
    : application(app), port(servicePort), timeout(serviceTimeout) {
    if (adoptHost && *adoptHost && hostText) {
        host.Adopt(hostText, hostLength, hostSize);
        *adoptHost = false;
    } else {
        host.Assign(hostText ? hostText : "", hostText ? hostLength : 0);
    }
    error.Assign("");
}

NetworkService::~NetworkService() {
    delete connection;
}

NetworkConnection* NetworkService::Connection() {
    return connection;
}

bool NetworkService::Connect() {
    delete connection;
    connection = nullptr;
    NetworkManager* manager = NetworkManagerOf(application);
    if (!manager) {
        SetError(String(kErrorConnectingTo) + host + "': " + kNoNetwork);
        return false;
    }
    connection = manager->Connect(host.Text(), port, timeout);
    if (!connection) {
        SetError(String(kErrorConnectingTo) + host + "': " + manager->ErrorText());
        return false;
    }
    return CheckResponse();
}

String& NetworkService::ErrorText() {
    return error;
}

void NetworkService::SetError(const String& message) {
    if (!message.IsNull()) error.Assign(message);
}

} // namespace vorn
