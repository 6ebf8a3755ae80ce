#include "host/network/SMTP.h"

#include <cstdlib>
#include <cstring>

#include "engine/app/VornApplication.h"
#include "engine/foundation/Base64.h"
#include "engine/foundation/Config.h"
#include "engine/foundation/Hash.h"
#include "engine/foundation/Md5.h"
#include "engine/vm/NetworkSource.h"
#include "host/base/ProductVersion.h"
#include "host/network/ByteBuffer.h"
#include "host/network/LoggingNetworkConnection.h"
#include "host/network/NetworkMessages.h"
#include "platform/Random.h"

namespace vorn {

namespace {

constexpr int32_t kReplyChunk = 512;
constexpr int32_t kLargestBodyBuffer = 1 << 24;

// Body states: the very start (0), a leading CR or LF seen (1, 2), a line
// start with nothing held (3), inside a line (4), a CR or LF held (5, 6), a
// whole line end held (7), a dot held at a line start (8).
enum : uint32_t {
    kBodyStart = 0,
    kBodyStartCR = 1,
    kBodyStartLF = 2,
    kBodyLineStart = 3,
    kBodyInLine = 4,
    kBodyHeldCR = 5,
    kBodyHeldLF = 6,
    kBodyLineEnd = 7,
    kBodyDot = 8,
};

String Hex(const unsigned char digest[16]) {
    char hex[32];
    MD5::ToHex(digest, hex);
    return String(hex, 32);
}

String HexMD5(const ByteBuffer& bytes) {
    unsigned char digest[16];
    MD5().Digest(bytes.Data(), static_cast<size_t>(bytes.Length()), digest);
    return Hex(digest);
}

String Base64Of(const char* bytes, int64_t length) {
    const int64_t size = (length + 2) / 3 * 4 + 1;
    char* out = static_cast<char*>(std::malloc(static_cast<size_t>(size)));
    if (!out) return String("");
    const size_t n = Base64Encode(bytes, static_cast<size_t>(length), out);
    out[n] = '\0';
    return String::Adopted(out, static_cast<int32_t>(n), static_cast<int32_t>(size));
}

String Base64Of(const String& text) {
    return Base64Of(text.Text(), text.Length());
}

// The prompt of a LOGIN step, compared as text up to its first NUL (some
// servers send "User Name\0").
bool PromptIs(const String& decoded, const char* first, const char* second) {
    const char* text = decoded.Text();
    size_t n = strnlen(text, static_cast<size_t>(decoded.Length()));
    return (n == std::strlen(first) && std::memcmp(text, first, n) == 0) ||
           (n == std::strlen(second) && std::memcmp(text, second, n) == 0);
}

bool IsSpaceByte(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// "," + name + "=\"" + value + "\"" (or the value bare).
void AppendField(ByteBuffer& out, const char* name, const String& value, bool quoted) {
    out.Append(name);
    out.AppendByte('=');
    if (quoted) out.AppendByte('"');
    out.Append(value);
    if (quoted) out.AppendByte('"');
}

} // namespace

// --- SMTPOutput ---------------------------------------------------------------------

SMTPOutput::SMTPOutput(Output* headerTarget, NetworkConnection* connection, int32_t bufferSize,
                       uint32_t timeout)
    : NetworkOutput(headerTarget, connection, bufferSize, timeout) {}

SMTPOutput::~SMTPOutput() {
    used = 0;
}

void SMTPOutput::Pass(const char* bytes, int32_t length) {
    BufferedOutput::Write(bytes, length);
}

int32_t SMTPOutput::Write(const char* bytes, int32_t length) {
    const int32_t n = ResolveLength(bytes, length);
    int32_t i = 0;
    while (i < n) {
        const char c = bytes[i];
        switch (state) {
        case kBodyStart:
            if (c == '\r' || c == '\n') {
                state = c == '\r' ? kBodyStartCR : kBodyStartLF;
                ++i;
            } else {
                state = kBodyLineStart;
            }
            break;
        case kBodyStartCR:
            if (c == '\n') ++i;
            state = kBodyLineStart;
            break;
        case kBodyStartLF:
            if (c == '\r') ++i;
            state = kBodyLineStart;
            break;
        case kBodyLineStart:
            if (c == '.') {
                state = kBodyDot;
                ++i;
            } else {
                state = kBodyInLine;
            }
            break;
        case kBodyInLine: {
            int32_t end = i;
            while (end < n && bytes[end] != '\r' && bytes[end] != '\n')
                ++end;
            if (end > i) {
                Pass(bytes + i, end - i);
                atLineStart = 0;
                i = end;
            }
            if (i < n) {
                state = bytes[i] == '\r' ? kBodyHeldCR : kBodyHeldLF;
                ++i;
            }
            break;
        }
        case kBodyHeldCR:
            if (c == '\n') ++i;
            state = kBodyLineEnd;
            break;
        case kBodyHeldLF:
            if (c == '\r') ++i;
            state = kBodyLineEnd;
            break;
        case kBodyLineEnd:
            Pass("\r\n", 2);
            atLineStart = 1;
            state = kBodyLineStart;
            break;
        default: // kBodyDot
            Pass("..", 2);
            atLineStart = 0;
            state = kBodyInLine;
            break;
        }
    }
    return n;
}

int32_t SMTPOutput::Send(const char* bytes, int32_t length) {
    if (failed) return 0;
    const int32_t sent = NetworkOutput::Send(bytes, length);
    if (sent != length) failed = true;
    return sent;
}

bool SMTPOutput::FinishMessage() {
    if (state == kBodyHeldCR || state == kBodyHeldLF || state == kBodyLineEnd) {
        Pass("\r\n", 2);
        atLineStart = 1;
    } else if (state == kBodyDot) {
        Pass("..", 2);
        atLineStart = 0;
    }
    state = kBodyInLine;
    if (atLineStart)
        Pass(".\r\n", 3);
    else
        Pass("\r\n.\r\n", 5);
    Flush();
    return !failed;
}

// --- SMTPService ---------------------------------------------------------------------

SMTPService::SMTPService(VornApplication* app, VornVM* program, char* hostText, int32_t hostLength,
                         int32_t hostSize, bool* adoptHost, uint32_t servicePort, uint32_t serviceTimeout,
                         uint32_t sessionFlags, const char* user, int32_t userLength, const char* secret,
                         int32_t secretLength)
    : NetworkService(app, hostText, hostLength, hostSize, adoptHost, servicePort, serviceTimeout),
      vm(program), flags(sessionFlags), userName(user ? user : "", user ? userLength : 0),
      password(secret ? secret : "", secret ? secretLength : 0) {}

SMTPService::~SMTPService() {
    if (connection && !inData && !broken) Quit();
}

bool SMTPService::Stopped() {
    if (!application || !application->StopRequested()) return false;
    SetError(String(kReadTimeout));
    broken = true;
    return true;
}

bool SMTPService::SendCommand(const String& command) {
    if (!connection) {
        SetError(String(kNotConnected));
        return false;
    }
    if (WriteString(connection, command, timeout) != command.Length()) {
        SetError(connection->ErrorText());
        broken = true;
        return false;
    }
    return true;
}

void SMTPService::FailWithReply(const String& text, const String& line) {
    SetError(text.IsEmpty() ? line : text);
}

bool SMTPService::ParseStatusLine(const String& line, int32_t* code, String* text, bool* more) {
    *code = 0;
    *more = false;
    text->Assign("", 0);
    if (line.Length() < 3) {
        SetError(String("Failed to read SMTP status"));
        return false;
    }
    const char* bytes = line.Text();
    for (int32_t i = 0; i < 3 && bytes[i] >= '0' && bytes[i] <= '9'; ++i)
        *code = *code * 10 + (bytes[i] - '0');
    if (line.Length() > 3) {
        *more = bytes[3] == '-';
        text->Assign(bytes + 4, line.Length() - 4 > 0 ? line.Length() - 4 : 0);
        int32_t start = 0;
        int32_t end = text->Length();
        while (start < end && IsSpaceByte(text->Text()[start]))
            ++start;
        while (end > start && IsSpaceByte(text->Text()[end - 1]))
            --end;
        *text = String(text->Text() + start, end - start);
    }
    return true;
}

bool SMTPService::ReadStatus(int32_t* code, String* text, bool* more) {
    if (!connection) {
        SetError(String(kNotConnected));
        return false;
    }
    String line;
    if (connection->ReadLine(line, timeout, kReplyChunk) < 0) {
        SetError(connection->ErrorText());
        broken = true;
        return false;
    }
    int32_t length = line.Length();
    if (length > 0 && line.Text()[length - 1] == '\n') --length;
    if (length > 0 && line.Text()[length - 1] == '\r') --length;
    lastLine = String(line.Text(), length);
    return ParseStatusLine(lastLine, code, text, more);
}

bool SMTPService::CheckResponse() {
    int32_t code = 0;
    String text;
    bool more = false;
    do {
        if (!ReadStatus(&code, &text, &more)) return false;
    } while (more && !Stopped());
    if (more) return false;
    if (code == 220 || code == 221 || code == 250 || code == 251 || code == 354) return true;
    FailWithReply(text, lastLine);
    return false;
}

bool SMTPService::ExpectStatus(int32_t code, String* text, bool* more) {
    int32_t got = 0;
    if (!ReadStatus(&got, text, more)) return false;
    if (got == code) return true;
    FailWithReply(*text, lastLine);
    return false;
}

String SMTPService::ClientName(NetworkManager* manager, const char* address) {
    if (!address) address = "";
    // RFC 5321 takes an address only as a literal.
    if (manager && manager->IsIPv4Address(address)) return String("[") + address + "]";
    if (manager && manager->IsIPv6Address(address)) return String("[IPv6:") + address + "]";
    return String(address);
}

String SMTPService::HelloCommand(const char* verb) {
    const char* address = application ? application->DefaultRemoteAddress() : nullptr;
    return String(verb) + ClientName(NetworkManagerOf(application), address) + "\r\n";
}

bool SMTPService::SendEhlo() {
    capabilities = 0;
    if (!SendCommand(HelloCommand("EHLO "))) return false;
    int32_t code = 0;
    String text;
    bool more = false;
    if (!ReadStatus(&code, &text, &more)) return false;
    if (code != 250) {
        FailWithReply(text, lastLine);
        return false;
    }
    while (more) {
        if (Stopped() || !ReadStatus(&code, &text, &more)) return false;
        if (code != 250) {
            FailWithReply(text, lastLine);
            return false;
        }
        if (text.Equals("STARTTLS")) {
            capabilities |= kSmtpOffersStartTls;
        } else if (text.Length() > 5 && std::memcmp(text.Text(), "AUTH ", 5) == 0) {
            const char* p = text.Text() + 5;
            const char* end = text.Text() + text.Length();
            while (p < end) {
                const char* word = p;
                while (p < end && *p != ' ')
                    ++p;
                String mechanism(word, static_cast<int32_t>(p - word));
                if (mechanism.Equals("LOGIN")) capabilities |= kSmtpOffersLogin;
                if (mechanism.Equals("PLAIN")) capabilities |= kSmtpOffersPlain;
                if (mechanism.Equals("CRAM-MD5")) capabilities |= kSmtpOffersCramMD5;
                if (mechanism.Equals("DIGEST-MD5")) capabilities |= kSmtpOffersDigestMD5;
                while (p < end && *p == ' ')
                    ++p;
            }
        }
    }
    return true;
}

bool SMTPService::Open(bool logTraffic) {
    NetworkManager* manager = NetworkManagerOf(application);
    if (!manager) {
        SetError(String(kErrorConnectingTo) + host + "': " + kNoNetwork);
        return false;
    }
    delete connection;
    connection = manager->Connect(host.Text(), port, timeout);
    if (!connection) {
        SetError(String(kErrorConnectingTo) + host + "': " + manager->ErrorText());
        return false;
    }
    if ((flags & kSmtpTls) &&
        !manager->StartSSL(connection, host.Text(), nullptr, nullptr, nullptr, timeout)) {
        SetError(manager->ErrorText());
        broken = true;
        return false;
    }
    if (logTraffic)
        connection = new VornVMLoggingNetworkConnection(application, host.Text(), host.Length(), port,
                                                        connection, new VornVMLogContext{vm, LogSmtp});
    if (!CheckResponse()) return false;

    const bool authenticate = !userName.IsEmpty() || !password.IsEmpty();
    if (!(flags & kSmtpStartTls) && !authenticate) {
        if (!SendCommand(HelloCommand("HELO "))) return false;
        return CheckResponse();
    }
    if (!SendEhlo()) return false;
    if (flags & kSmtpStartTls) {
        // Never on in plain: the script asked for a protected session.
        if (!(capabilities & kSmtpOffersStartTls)) {
            SetError(String("Server does not support STARTTLS"));
            return false;
        }
        if (!SendCommand(String("STARTTLS\r\n")) || !CheckResponse()) return false;
        if (!manager->StartSSL(connection, host.Text(), nullptr, nullptr, nullptr, timeout)) {
            SetError(manager->ErrorText());
            broken = true;
            return false;
        }
        if (!SendEhlo()) return false;
    }
    if (!authenticate) return true;
    if (capabilities & kSmtpOffersDigestMD5) return AuthDigestMD5();
    if (capabilities & kSmtpOffersCramMD5) return AuthCramMD5();
    if (capabilities & kSmtpOffersPlain) return AuthPlain();
    if (capabilities & kSmtpOffersLogin) return AuthLogin();
    SetError(String("No supported authentication methods are allowed by the server"));
    return false;
}

bool SMTPService::AuthLogin() {
    String text;
    bool more = false;
    if (!SendCommand(String("AUTH LOGIN\r\n")) || !ExpectStatus(334, &text, &more)) return false;
    if (!PromptIs(text.Base64Decode(), "User Name", "Username:")) {
        SetError(String("Invalid AUTH LOGIN handshake"));
        return false;
    }
    if (!SendCommand(Base64Of(userName) + "\r\n") || !ExpectStatus(334, &text, &more)) return false;
    if (!PromptIs(text.Base64Decode(), "Password", "Password:")) {
        SetError(String("Invalid AUTH LOGIN handshake"));
        return false;
    }
    return SendCommand(Base64Of(password) + "\r\n") && ExpectStatus(235, &text, &more);
}

bool SMTPService::AuthPlain() {
    ByteBuffer credentials;
    credentials.Append(userName);
    credentials.AppendByte('\0');
    credentials.Append(userName);
    credentials.AppendByte('\0');
    credentials.Append(password);
    String text;
    bool more = false;
    return SendCommand(String("AUTH PLAIN ") + Base64Of(credentials.Data(), credentials.Length()) + "\r\n") &&
           ExpectStatus(235, &text, &more);
}

bool SMTPService::AuthCramMD5() {
    String text;
    bool more = false;
    if (!SendCommand(String("AUTH CRAM-MD5\r\n")) || !ExpectStatus(334, &text, &more)) return false;
    String challenge = text.Base64Decode();
    unsigned char digest[16];
    MD5::Hmac(challenge.Text(), static_cast<size_t>(challenge.Length()), password.Text(),
              static_cast<size_t>(password.Length()), digest);
    String answer = userName + " " + Hex(digest);
    return SendCommand(Base64Of(answer) + "\r\n") && ExpectStatus(235, &text, &more);
}

bool SMTPService::MakeCnonce(String* cnonce) {
    unsigned char bytes[16];
    if (!platform::RandomBytes(bytes, sizeof bytes)) {
        SetError(String("Unable to make a client nonce during DIGEST-MD5 authentication"));
        return false;
    }
    *cnonce = Base64Of(reinterpret_cast<const char*>(bytes), sizeof bytes);
    return true;
}

bool SMTPService::AuthDigestMD5() {
    String text;
    bool more = false;
    if (!SendCommand(String("AUTH DIGEST-MD5\r\n")) || !ExpectStatus(334, &text, &more)) return false;
    String decoded = text.Base64Decode();
    DigestChallenge challenge;
    String failure;
    if (!ParseDigestChallenge(decoded.Text(), decoded.Length(), &challenge, &failure)) {
        SetError(failure);
        return false;
    }
    String cnonce;
    if (!MakeCnonce(&cnonce)) return false;
    const String nc("00000001");
    const String digestUri = String("smtp/") + host;
    const String ha1 = DigestHA1(userName, challenge.realm, password, challenge.nonce, cnonce);
    const String response = DigestResponse(ha1, challenge.nonce, nc, cnonce, DigestHA2(digestUri));

    ByteBuffer answer;
    AppendField(answer, "username", userName, true);
    AppendField(answer, ",realm", challenge.realm, true);
    AppendField(answer, ",nonce", challenge.nonce, true);
    AppendField(answer, ",cnonce", cnonce, true);
    AppendField(answer, ",nc", nc, false);
    AppendField(answer, ",qop", String("auth"), true);
    AppendField(answer, ",digest-uri", digestUri, true);
    if (challenge.charset) AppendField(answer, ",charset", String("utf-8"), false);
    AppendField(answer, ",response", response, true);
    if (!SendCommand(Base64Of(answer.Data(), answer.Length()) + "\r\n") || !ExpectStatus(334, &text, &more))
        return false;

    String verdict = text.Base64Decode();
    if (verdict.Length() < 8 || std::memcmp(verdict.Text(), "rspauth=", 8) != 0) {
        SetError(String("Invalid rspauth during DIGEST-MD5 authentication"));
        return false;
    }
    const String expected = DigestResponse(ha1, challenge.nonce, nc, cnonce, DigestRspauthHA2(digestUri));
    if (!expected.Equals(verdict.Text() + 8, verdict.Length() - 8)) {
        SetError(String("rspauth mismatch during DIGEST-MD5 authentication"));
        return false;
    }
    return SendCommand(String("\r\n")) && ExpectStatus(235, &text, &more);
}

bool SMTPService::ParseDigestChallenge(const char* text, int32_t length, DigestChallenge* challenge,
                                       String* error) {
    bool sawRealm = false;
    bool sawNonce = false;
    bool sawAlgorithm = false;
    int32_t i = 0;
    auto fail = [&](const char* message) {
        error->Assign(message);
        return false;
    };
    while (i < length) {
        while (i < length && (IsSpaceByte(text[i]) || text[i] == ','))
            ++i;
        const int32_t nameStart = i;
        while (i < length && text[i] != '=' && text[i] != ',' && !IsSpaceByte(text[i]))
            ++i;
        const String name(text + nameStart, i - nameStart);
        while (i < length && IsSpaceByte(text[i]))
            ++i;
        if (i >= length || text[i] != '=') {
            // Not a pair: passed over up to the next one.
            while (i < length && text[i] != ',')
                ++i;
            continue;
        }
        ++i;
        while (i < length && IsSpaceByte(text[i]))
            ++i;
        int32_t valueStart = i;
        int32_t valueEnd;
        if (i < length && text[i] == '"') {
            valueStart = ++i;
            while (i < length && text[i] != '"')
                ++i;
            valueEnd = i;
            if (i < length) ++i;
        } else {
            while (i < length && text[i] != ',' && !IsSpaceByte(text[i]))
                ++i;
            valueEnd = i;
        }
        const String value(text + valueStart, valueEnd - valueStart);
        while (i < length && text[i] != ',')
            ++i;

        if (name.EqualsNoCase("realm")) {
            if (!sawRealm) challenge->realm = value;
            sawRealm = true;
        } else if (name.EqualsNoCase("nonce")) {
            if (sawNonce)
                return fail("Server returned multiple nonce values during DIGEST-MD5 authentication");
            challenge->nonce = value;
            sawNonce = true;
        } else if (name.EqualsNoCase("qop")) {
            bool offered = false;
            for (int32_t p = 0; p <= value.Length() && !offered;) {
                int32_t q = p;
                while (q < value.Length() && value.Text()[q] != ',')
                    ++q;
                int32_t a = p, b = q;
                while (a < b && IsSpaceByte(value.Text()[a]))
                    ++a;
                while (b > a && IsSpaceByte(value.Text()[b - 1]))
                    --b;
                offered = b - a == 4 && std::memcmp(value.Text() + a, "auth", 4) == 0;
                p = q + 1;
            }
            if (!offered)
                return fail("Server does not support required qop \"auth\" during DIGEST-MD5 authentication");
        } else if (name.EqualsNoCase("charset")) {
            if (!value.Equals("utf-8"))
                return fail("Server specified unrecognized charset during DIGEST-MD5 authentication");
            challenge->charset = true;
        } else if (name.EqualsNoCase("algorithm")) {
            if (sawAlgorithm)
                return fail("Server returned multiple algorithm values in challenge during DIGEST-MD5 "
                            "authentication");
            if (!value.EqualsNoCase("md5-sess"))
                return fail("Server returned an unrecognized algorithm during DIGEST-MD5 authentication");
            sawAlgorithm = true;
        }
    }
    if (!sawNonce) return fail("Unable to determine nonce during DIGEST-MD5 authentication");
    if (!sawRealm) challenge->realm.Assign("", 0);
    return true;
}

String SMTPService::DigestHA1(const String& user, const String& realm, const String& password,
                              const String& nonce, const String& cnonce) {
    ByteBuffer secret;
    secret.Append(user);
    secret.AppendByte(':');
    secret.Append(realm);
    secret.AppendByte(':');
    secret.Append(password);
    unsigned char inner[16];
    MD5().Digest(secret.Data(), static_cast<size_t>(secret.Length()), inner);
    ByteBuffer a1;
    a1.Append(reinterpret_cast<const char*>(inner), 16);
    a1.AppendByte(':');
    a1.Append(nonce);
    a1.AppendByte(':');
    a1.Append(cnonce);
    return HexMD5(a1);
}

String SMTPService::DigestHA2(const String& digestUri) {
    ByteBuffer a2;
    a2.Append("AUTHENTICATE:");
    a2.Append(digestUri);
    return HexMD5(a2);
}

String SMTPService::DigestRspauthHA2(const String& digestUri) {
    ByteBuffer a2;
    a2.AppendByte(':');
    a2.Append(digestUri);
    return HexMD5(a2);
}

String SMTPService::DigestResponse(const String& ha1, const String& nonce, const String& nc,
                                   const String& cnonce, const String& ha2) {
    ByteBuffer kd;
    kd.Append(ha1);
    kd.AppendByte(':');
    kd.Append(nonce);
    kd.AppendByte(':');
    kd.Append(nc);
    kd.AppendByte(':');
    kd.Append(cnonce);
    kd.Append(":auth:");
    kd.Append(ha2);
    return HexMD5(kd);
}

bool SMTPService::SendRecipient(const char* address, int32_t length) {
    return SendCommand(String("RCPT TO: ") + String(address, length) + "\r\n") && CheckResponse();
}

bool SMTPService::SendRecipients(const char* list, int32_t length) {
    int32_t start = 0;
    for (int32_t i = 0; i <= length; ++i) {
        if (i < length && list[i] != ',') continue;
        if (!SendRecipient(list + start, i - start)) return false;
        start = i + 1;
    }
    return true;
}

bool SMTPService::SendHeaders(const String& to, const String& from, const String& cc, const String& subject) {
    int32_t dateLength = 0;
    char* date = application ? application->HTTPDate(&dateLength) : nullptr;
    ByteBuffer head;
    head.Append("Date: ");
    if (date) head.Append(date, dateLength);
    std::free(date);
    head.Append("\r\nFrom: ");
    head.Append(from);
    head.Append("\r\nTo: ");
    head.Append(to);
    if (!cc.IsEmpty()) {
        head.Append("\r\nCC: ");
        head.Append(cc);
    }
    head.Append("\r\nX-Mailer: Vorn v");
    head.Append(kProductVersion);
    head.Append("\r\nSubject: ");
    head.Append(subject);
    head.Append("\r\n\r\n");
    String text;
    head.MoveTo(text);
    return SendCommand(text);
}

bool SMTPService::StartMessage(const String& to, const String& from, const String& cc,
                               const String& subject) {
    if (!SendCommand(String("MAIL FROM: ") + from + "\r\n") || !CheckResponse()) return false;
    if (!SendRecipients(to.Text(), to.Length())) return false;
    if (!cc.IsEmpty() && !SendRecipients(cc.Text(), cc.Length())) return false;
    if (!SendCommand(String("DATA\r\n")) || !CheckResponse()) return false;
    inData = true;
    if (flags & kSmtpNoHeaders) return true;
    return SendHeaders(to, from, cc, subject);
}

bool SMTPService::EndMessage(SMTPOutput* output) {
    if (!output->FinishMessage()) {
        SetError(output->ErrorText());
        broken = true;
        return false;
    }
    // The verdict ends the DATA part, whatever it says.
    const bool accepted = CheckResponse();
    inData = false;
    return accepted;
}

bool SMTPService::Quit() {
    bool ok = SendCommand(String("QUIT\r\n")) && CheckResponse();
    delete connection;
    connection = nullptr;
    return ok;
}

// --- SMTP ------------------------------------------------------------------------------

SMTP::SMTP(VornApplication* app, VornVM* program) : MailMessage(app, program) {}

SMTP::~SMTP() {
    Close();
}

void SMTP::Close() {
    if (output && application && application->GetOutput() == output) application->SetOutput(previousOutput);
    previousOutput = nullptr;
    delete output;
    output = nullptr;
    delete service;
    service = nullptr;
}

Output* SMTP::PreviousOutput() {
    return previousOutput;
}

bool SMTP::IsCurrent() {
    return output && application && application->GetOutput() == output;
}

bool SMTP::ParseFlags(const char* text, int32_t length, uint32_t* flags, String* error) {
    *flags = 0;
    int32_t i = 0;
    while (i < length) {
        while (i < length && (IsSpaceByte(text[i]) || text[i] == ','))
            ++i;
        const int32_t start = i;
        while (i < length && !IsSpaceByte(text[i]) && text[i] != ',')
            ++i;
        if (i == start) break;
        const String word(text + start, i - start);
        if (word.EqualsNoCase("tls")) {
            *flags |= kSmtpTls;
        } else if (word.EqualsNoCase("starttls")) {
            *flags |= kSmtpStartTls;
        } else if (word.EqualsNoCase("noheaders")) {
            *flags |= kSmtpNoHeaders;
        } else {
            *error = String("Unsupported flag \"") + word + "\"";
            return false;
        }
    }
    if ((*flags & kSmtpTls) && (*flags & kSmtpStartTls)) {
        error->Assign("Only one of the \"tls\" or \"starttls\" flags may be specified");
        return false;
    }
    return true;
}

bool SMTP::Begin(const SmtpOperands& o) {
    const struct {
        const char* text;
        int32_t length;
        const char* name;
    } checked[] = {{o.to, o.toLength, "To"},
                   {o.from, o.fromLength, "From"},
                   {o.cc, o.ccLength, "CC"},
                   {o.subject, o.subjectLength, "Subject"},
                   {o.host, o.hostLength, "host"},
                   {o.user, o.userLength, "user name"},
                   {o.password, o.passwordLength, "password"}};
    // A line break would add headers or commands (a Subject with "\r\nBcc:",
    // a From with "\r\nRCPT TO:"); a NUL would cut the text short.
    for (const auto& field : checked) {
        if (HasLineBreakOrNul(field.text, field.length)) {
            SetError(String("Invalid character in ") + field.name);
            return false;
        }
    }
    return Open(o.host, o.hostLength, o.port, o.flags, o.flagsLength, o.user, o.userLength, o.password,
                o.passwordLength, o.logTraffic) &&
           StartMessage(o.to, o.toLength, o.from, o.fromLength, o.cc, o.ccLength, o.subject, o.subjectLength);
}

bool SMTP::Open(const char* host, int32_t hostLength, int32_t port, const char* flagsText,
                int32_t flagsLength, const char* user, int32_t userLength, const char* password,
                int32_t passwordLength, bool logTraffic) {
    Close();
    uint32_t flags = 0;
    String failure;
    if (!ParseFlags(flagsText, flagsLength, &flags, &failure)) {
        SetError(failure);
        return false;
    }
    Config* config = application ? application->GetConfig() : nullptr;
    int32_t timeout = config ? config->GetInteger(kConfigMailTimeout) : 30;
    if (timeout < 0) timeout = 0;
    service = new SMTPService(application, vm, const_cast<char*>(host), hostLength, 0, nullptr,
                              static_cast<uint32_t>(port), static_cast<uint32_t>(timeout), flags, user,
                              userLength, password, passwordLength);
    if (!service->Open(logTraffic)) {
        SetError(service->ErrorText());
        return false;
    }
    int32_t bufferSize = config ? config->GetInteger(kConfigSmtpBufferSize) : 8192;
    if (bufferSize > kLargestBodyBuffer) bufferSize = kLargestBodyBuffer;
    output = new SMTPOutput(application->GetOutput(), service->Connection(), bufferSize,
                            static_cast<uint32_t>(timeout));
    previousOutput = application->SetOutput(output);
    return true;
}

bool SMTP::StartMessage(const char* to, int32_t toLength, const char* from, int32_t fromLength,
                        const char* cc, int32_t ccLength, const char* subject, int32_t subjectLength) {
    if (!service) {
        SetError(String("No SMTP session is open"));
        return false;
    }
    if (!service->StartMessage(String(to, toLength), String(from, fromLength), String(cc, ccLength),
                               String(subject, subjectLength))) {
        SetError(service->ErrorText());
        return false;
    }
    return true;
}

bool SMTP::Finish() {
    if (!service || !output) {
        SetError(String("No SMTP session is open"));
        return false;
    }
    if (application && application->GetOutput() == output) application->SetOutput(previousOutput);
    previousOutput = nullptr;
    const bool sent = service->EndMessage(output);
    if (!sent) SetError(service->ErrorText());
    Close();
    return sent;
}

} // namespace vorn
