#include "host/network/LoggingNetworkConnection.h"

#include <cstdlib>

#include "engine/app/VornApplication.h"
#include "engine/foundation/Base64.h"
#include "engine/vm/VornVM.h"
#include "host/network/NetworkManager.h"

namespace vorn {

// --- LoggingNetworkConnection -----------------------------------------------------------

LoggingNetworkConnection::LoggingNetworkConnection(VornApplication* app, const char* text, int32_t length,
                                                   uint32_t peerPort, NetworkConnection* connection)
    : application(app), name(text ? text : "", text ? length : 0), port(peerPort), wrapped(connection) {}

LoggingNetworkConnection::~LoggingNetworkConnection() {
    delete wrapped;
}

bool LoggingNetworkConnection::StartTLS(const char* serverName, X509* certificate, EVP_PKEY* key,
                                        uint32_t timeout) {
    return wrapped->StartTLS(serverName, certificate, key, timeout);
}

X509* LoggingNetworkConnection::PeerCertificate() {
    return wrapped->PeerCertificate();
}

int32_t LoggingNetworkConnection::Read(void* buffer, int32_t length, uint32_t timeout) {
    int32_t result = wrapped->Read(buffer, length, timeout);
    if (result < 0)
        LogReadError();
    else if (result > 0)
        LogReceived(buffer, result);
    return result;
}

int32_t LoggingNetworkConnection::ReadLine(String& line, uint32_t timeout, int32_t chunkSize) {
    int32_t result = wrapped->ReadLine(line, timeout, chunkSize);
    if (result < 0)
        LogReadError();
    else if (result > 0)
        LogReceived(line.Text(), line.Length());
    return result;
}

int32_t LoggingNetworkConnection::Write(const void* data, int32_t length, uint32_t timeout) {
    int32_t result = wrapped->Write(data, length, timeout);
    if (result < 0)
        LogWriteError();
    else if (result > 0)
        LogSent(data, result);
    return result;
}

String& LoggingNetworkConnection::ErrorText() {
    return wrapped->ErrorText();
}

void LoggingNetworkConnection::SetError(const String& message) {
    wrapped->SetError(message);
}

// --- VornVMLoggingNetworkConnection -----------------------------------------------------------

VornVMLoggingNetworkConnection::VornVMLoggingNetworkConnection(VornApplication* app, const char* text,
                                                               int32_t length, uint32_t peerPort,
                                                               NetworkConnection* connection,
                                                               VornVMLogContext* context)
    : LoggingNetworkConnection(app, text, length, peerPort, connection) {
    if (context) {
        event = context->event;
        if (VornVM* vm = context->vm) {
            programName.Assign(vm->ProgramName());
            int32_t n = 0;
            const char* source = vm->SourceFileName(&n);
            sourceFileName.Assign(source ? source : "", source ? n : 0);
            line = static_cast<uint32_t>(vm->Line());
        }
        delete context;
    }
}

void VornVMLoggingNetworkConnection::LogEvent(const char* word, const char* detail, int32_t detailLength) {
    if (!application) return;
    LogField fields[8];
    fields[0] = LogField(programName.Text(), programName.Length());
    fields[1] = LogField(sourceFileName.Text(), sourceFileName.Length());
    fields[2].kind = LogField::Integer;
    fields[2].value.integer = static_cast<int32_t>(line);
    fields[2].length = 4;
    fields[3] = LogField(name.Text(), name.Length());
    fields[4].kind = LogField::Integer;
    fields[4].value.integer = static_cast<int32_t>(port);
    fields[4].length = 4;
    fields[5] = LogField(word, -1);
    fields[6] = LogField(detail, detailLength);
    fields[7] = LogField();
    application->Log(event, fields);
}

void VornVMLoggingNetworkConnection::LogBytes(const char* word, const void* bytes, int32_t count) {
    size_t encodedSize = (static_cast<size_t>(count) + 2) / 3 * 4;
    char* encoded = static_cast<char*>(std::malloc(encodedSize + 1));
    if (!encoded) return;
    size_t n = Base64Encode(bytes, static_cast<size_t>(count), encoded);
    LogEvent(word, encoded, static_cast<int32_t>(n));
    std::free(encoded);
}

void VornVMLoggingNetworkConnection::LogReceived(const void* bytes, int32_t count) {
    LogBytes("Received", bytes, count);
}

void VornVMLoggingNetworkConnection::LogSent(const void* bytes, int32_t count) {
    LogBytes("Sent", bytes, count);
}

void VornVMLoggingNetworkConnection::LogReadError() {
    const String& text = ErrorText();
    LogEvent("Read Error", text.Text(), text.Length());
}

void VornVMLoggingNetworkConnection::LogWriteError() {
    const String& text = ErrorText();
    LogEvent("Write Error", text.Text(), text.Length());
}

} // namespace vorn
