// A connection that reports every read and write of the connection it wraps,
// and the one that writes those reports to a program's trace log.
#pragma once

#include <cstdint>

#include "engine/foundation/NetworkConnection.h"
#include "engine/foundation/String.h"

namespace vorn {

class VornApplication;
struct VornVMLogContext;

class LoggingNetworkConnection : public NetworkConnection {
  public:
    // Owns the wrapped connection.
    LoggingNetworkConnection(VornApplication* application, const char* name, int32_t nameLength, uint32_t port,
                             NetworkConnection* wrapped);
    ~LoggingNetworkConnection() override;

    bool StartTLS(const char* serverName, X509* certificate, EVP_PKEY* key, uint32_t timeout) override;
    X509* PeerCertificate() override;
    int32_t Read(void* buffer, int32_t length, uint32_t timeout) override;
    int32_t ReadLine(String& line, uint32_t timeout, int32_t chunkSize) override;
    int32_t Write(const void* data, int32_t length, uint32_t timeout) override;
    // The wrapped connection's message: the decorator keeps none of its own.
    String& ErrorText() override;
    void SetError(const String& message) override;

  protected:
    // Called after a read or write that moved bytes, or that failed; a read
    // of 0 bytes (the end) reports nothing.
    virtual void LogReceived(const void* bytes, int32_t count) = 0;
    virtual void LogReadError() = 0;
    virtual void LogSent(const void* bytes, int32_t count) = 0;
    virtual void LogWriteError() = 0;

    VornApplication* application;
    String name;
    uint32_t port;
    NetworkConnection* wrapped;
};

// Writes one event per report through the application's log: the program's
// file, source file and line (as they were when the connection was made), the
// peer and port, "Received", "Read Error", "Sent" or "Write Error", and the
// bytes in Base64 or the wrapped connection's message.
class VornVMLoggingNetworkConnection : public LoggingNetworkConnection {
  public:
    // Takes and deletes the context.
    VornVMLoggingNetworkConnection(VornApplication* application, const char* name, int32_t nameLength,
                                   uint32_t port, NetworkConnection* wrapped, VornVMLogContext* context);

  protected:
    void LogReceived(const void* bytes, int32_t count) override;
    void LogReadError() override;
    void LogSent(const void* bytes, int32_t count) override;
    void LogWriteError() override;

  private:
    void LogEvent(const char* word, const char* detail, int32_t detailLength);
    void LogBytes(const char* word, const void* bytes, int32_t count);

    uint32_t event = 0;
    String programName;
    String sourceFileName;
    uint32_t line = 0;
};

} // namespace vorn
