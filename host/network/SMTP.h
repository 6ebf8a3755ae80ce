// VrSMTP: one mail message per block. The begin word opens an SMTP session
// (plain, implicit TLS or STARTTLS, with LOGIN, PLAIN, CRAM-MD5 or DIGEST-MD5
// authentication), sends the envelope and the headers and makes the body's
// output the application's current one; the end word finishes the DATA part
// and reads the server's verdict.
#pragma once

#include <cstdint>

#include "engine/foundation/Output.h"
#include "engine/foundation/String.h"
#include "engine/vm/NetworkSource.h"
#include "host/network/NetworkManager.h"

namespace vorn {

// Flags of the tag's flags operand.
inline constexpr uint32_t kSmtpTls = 1;
inline constexpr uint32_t kSmtpStartTls = 2;
inline constexpr uint32_t kSmtpNoHeaders = 4;

// What the server's EHLO reply offers.
inline constexpr uint32_t kSmtpOffersStartTls = 1;
inline constexpr uint32_t kSmtpOffersLogin = 0x100;
inline constexpr uint32_t kSmtpOffersPlain = 0x200;
inline constexpr uint32_t kSmtpOffersCramMD5 = 0x400;
inline constexpr uint32_t kSmtpOffersDigestMD5 = 0x800;

// The body of the message: every line end of any kind leaves as CR LF, one
// line end at the very start is dropped, and dots at line starts are doubled,
// so no body line can end the DATA part early.
class SMTPOutput : public NetworkOutput {
  public:
    SMTPOutput(Output* headerTarget, NetworkConnection* connection, int32_t bufferSize, uint32_t timeout);
    // Drops what is still buffered: a body not finished is no message.
    ~SMTPOutput() override;

    int32_t Write(const char* bytes, int32_t length) override;
    // After the first failed send nothing more is sent (a gone or stalled
    // server would otherwise cost a time-out per buffer).
    int32_t Send(const char* bytes, int32_t length) override;
    // Writes what a line end or dot held back and the end of the data, then
    // flushes; false when a send failed (ErrorText says why).
    virtual bool FinishMessage();

  private:
    void Pass(const char* bytes, int32_t length);

    uint32_t state = 0;
    uint8_t atLineStart = 1; // the last bytes passed on were a line end
    bool failed = false;
};

// What a DIGEST-MD5 challenge asks for.
struct DigestChallenge {
    String realm;
    String nonce;
    bool charset = false; // the challenge named charset=utf-8
};

// One SMTP session on its own connection.
class SMTPService : public NetworkService {
  public:
    // host as NetworkService takes it; user name and password are copied.
    SMTPService(VornApplication* application, VornVM* vm, char* host, int32_t hostLength, int32_t hostSize,
                bool* adoptHost, uint32_t port, uint32_t timeout, uint32_t flags, const char* user,
                int32_t userLength, const char* password, int32_t passwordLength);
    // Says QUIT when the session can still take a command: not inside DATA
    // (the server would read QUIT as body text and never answer) and not
    // after the connection failed.
    ~SMTPService() override;

    // Reads a whole reply; true for 220, 221, 250, 251 and 354.
    bool CheckResponse() override;
    virtual bool SendRecipient(const char* address, int32_t length);
    // One RCPT TO per ','-separated part (parts are not trimmed), stopping at
    // the first refusal.
    virtual bool SendRecipients(const char* list, int32_t length);
    virtual bool SendHeaders(const String& to, const String& from, const String& cc, const String& subject);
    // Connects (TLS as the flags say), greets and authenticates.
    virtual bool Open(bool logTraffic);
    virtual bool Quit();
    // MAIL FROM, the recipients, DATA and the headers.
    virtual bool StartMessage(const String& to, const String& from, const String& cc, const String& subject);
    // Finishes the body and reads the verdict.
    virtual bool EndMessage(SMTPOutput* output);
    // Splits a reply line (its line end removed): code, text and whether the
    // reply continues.
    virtual bool ParseStatusLine(const String& line, int32_t* code, String* text, bool* more);
    virtual bool ReadStatus(int32_t* code, String* text, bool* more);
    // Reads one line; true only for that code.
    virtual bool ExpectStatus(int32_t code, String* text, bool* more);
    // EHLO, with the capabilities read afresh.
    virtual bool SendEhlo();
    virtual bool AuthLogin();
    virtual bool AuthPlain();
    virtual bool AuthCramMD5();
    virtual bool AuthDigestMD5();
    // 16 random bytes from the kernel, in Base64.
    virtual bool MakeCnonce(String* cnonce);

    // The DIGEST-MD5 computations (RFC 2831, qop auth); each gives 32
    // lower-case hex digits.
    static bool ParseDigestChallenge(const char* text, int32_t length, DigestChallenge* challenge,
                                     String* error);
    static String DigestHA1(const String& user, const String& realm, const String& password,
                            const String& nonce, const String& cnonce);
    static String DigestHA2(const String& digestUri);
    static String DigestRspauthHA2(const String& digestUri);
    static String DigestResponse(const String& ha1, const String& nonce, const String& nc,
                                 const String& cnonce, const String& ha2);

    // The HELO/EHLO argument for a client address text: an IP address as an
    // address literal ("[127.0.0.1]", "[IPv6:::1]"), anything else as it is.
    static String ClientName(NetworkManager* manager, const char* address);

    uint32_t Capabilities() const { return capabilities; }

  private:
    // Writes a whole command; false with the connection's message.
    bool SendCommand(const String& command);
    // verb + the client's name + CR LF.
    String HelloCommand(const char* verb);
    // A failed reply: its text, or the whole line when it has none.
    void FailWithReply(const String& text, const String& line);
    bool Stopped();

    VornVM* vm;
    uint32_t flags;
    String userName;
    String password;
    uint32_t capabilities = 0;
    bool inData = false;
    bool broken = false;
    String lastLine;
};

// The open VrSMTP block.
class SMTP : public MailMessage {
  public:
    SMTP(VornApplication* application, VornVM* vm);
    // Gives the output back when it is still current and ends the session
    // without sending the message.
    ~SMTP() override;

    // Refuses To, From, CC, Subject, host, user name and password holding CR,
    // LF or NUL before anything is sent; then Open and StartMessage.
    bool Begin(const SmtpOperands& operands) override;
    bool IsCurrent() override;
    bool Finish() override;

    // The output the body's output replaced; null when none is redirected.
    virtual Output* PreviousOutput();
    virtual bool Open(const char* host, int32_t hostLength, int32_t port, const char* flags,
                      int32_t flagsLength, const char* user, int32_t userLength, const char* password,
                      int32_t passwordLength, bool logTraffic);
    virtual bool StartMessage(const char* to, int32_t toLength, const char* from, int32_t fromLength,
                              const char* cc, int32_t ccLength, const char* subject, int32_t subjectLength);
    // Words separated by white space or ',' (any case): "tls", "starttls",
    // "noheaders".
    static bool ParseFlags(const char* text, int32_t length, uint32_t* flags, String* error);

    SMTPService* Service() const { return service; }
    SMTPOutput* Body() const { return output; }

  private:
    void Close();

    Output* previousOutput = nullptr;
    SMTPService* service = nullptr;
    SMTPOutput* output = nullptr;
};

} // namespace vorn
