// Network connections and HTTP responses of both families. Connections are
// made by the request's network manager, which this build does not have yet:
// every function that would make one fails with the network layer's message.
// What works on a connection already goes through its own interface.
#include <cstring>

#include "engine/foundation/NetworkConnection.h"
#include "host/HostInterface.h"
#include "host/VornHost.h"

using namespace vorn;
using namespace vorn::hostapi;

namespace {

// The longest line a read-line call takes from the connection.
constexpr int32_t kReadLineLimit = 512;

uint32_t Seconds(int32_t timeout) {
    return timeout > 0 ? static_cast<uint32_t>(timeout) : 0;
}

int32_t ReadConnection(NetworkConnection* connection, void* buffer, int32_t length, int32_t timeout) {
    if (!connection || length < 0 || (!buffer && length != 0)) return -1;
    return connection->Read(buffer, length, Seconds(timeout));
}

int32_t ReadConnectionLine(NetworkConnection* connection, char* buffer, int32_t size, int32_t timeout) {
    // Nothing is written outside a buffer that has no room for the terminator.
    if (!connection || !buffer || size < 1) return -1;
    buffer[0] = '\0';
    String line;
    int32_t read = connection->ReadLine(line, Seconds(timeout), kReadLineLimit);
    if (read < 0) return read;
    int32_t n = line.Length() < size - 1 ? line.Length() : size - 1;
    if (n > 0) std::memcpy(buffer, line.Text(), static_cast<size_t>(n));
    buffer[n] = '\0';
    return read < size - 1 ? read : size - 1;
}

int32_t WriteConnection(NetworkConnection* connection, const void* data, int32_t length) {
    if (!connection || length < 0 || (!data && length != 0)) return -1;
    return connection->Write(data, length, 0);
}

const char* ConnectionError(NetworkConnection* connection) {
    return connection ? connection->ErrorText().Text() : kNetworkUnavailable;
}

// Names are resolved by the network manager; nothing is written meanwhile.
int32_t HostAddress(const char*, char*, int32_t) {
    return -1;
}

} // namespace

extern "C" {

// ---- The newer family ----------------------------------------------------------------------

VORN_HOST_API int32_t vrNetwork_Is_IP_Address(VornProgram*, const char*) {
    return 0;
}

VORN_HOST_API int32_t vrNetwork_Get_Host_Address(VornProgram*, const char* host, char* buffer, int32_t size) {
    return HostAddress(host, buffer, size);
}

VORN_HOST_API VornConnection* vrNetwork_Connect(VornProgram*, const char*, int32_t) {
    return nullptr;
}

VORN_HOST_API VornConnection* vrNetwork_Connect_SSL(VornProgram*, const char*, int32_t) {
    return nullptr;
}

VORN_HOST_API VornConnection* vrNetwork_Open_URL(VornProgram*, const char*, const char*, const char*,
                                                 const char*, int32_t) {
    return nullptr;
}

VORN_HOST_API int32_t vrNetwork_Read(VornConnection* connection, void* buffer, int32_t length,
                                     int32_t timeout) {
    return ReadConnection(connection, buffer, length, timeout);
}

VORN_HOST_API int32_t vrNetwork_Read_Line(VornConnection* connection, char* buffer, int32_t size,
                                          int32_t timeout) {
    return ReadConnectionLine(connection, buffer, size, timeout);
}

VORN_HOST_API int32_t vrNetwork_Write(VornConnection* connection, const void* data, int32_t length) {
    return WriteConnection(connection, data, length);
}

VORN_HOST_API void vrNetwork_Close(VornConnection* connection) {
    delete connection;
}

VORN_HOST_API const char* vrNetwork_Error(VornProgram*, VornConnection* connection) {
    return ConnectionError(connection);
}

VORN_HOST_API VornHTTPResponse* vrNetwork_HTTP_Request(VornProgram*, const char*, const char*, double,
                                                       const char*, const char*, int32_t) {
    return nullptr;
}

// No response can exist before the network layer makes them.
VORN_HOST_API int32_t vrHTTPResponse_Status_Code(VornHTTPResponse*) {
    return -1;
}

VORN_HOST_API int64_t vrHTTPResponse_Content_Length(VornHTTPResponse*) {
    return -1;
}

VORN_HOST_API int32_t vrHTTPResponse_Read(VornHTTPResponse*, void*, int32_t) {
    return -1;
}

VORN_HOST_API void vrHTTPResponse_Close(VornHTTPResponse*) {}

VORN_HOST_API const char* vrHTTPResponse_Error(VornProgram*, VornHTTPResponse*) {
    return kNetworkUnavailable;
}

// ---- The older family ------------------------------------------------------------------------

VORN_HOST_API VornConnection* vorn_network_connect(VornProgram*, const char*, int32_t) {
    return nullptr;
}

VORN_HOST_API VornConnection* vorn_network_openurl(VornProgram*, const char*, const char*, const char*,
                                                   const char*, int32_t) {
    return nullptr;
}

VORN_HOST_API int32_t vorn_network_read(VornConnection* connection, void* buffer, int32_t length,
                                        int32_t timeout) {
    return ReadConnection(connection, buffer, length, timeout);
}

VORN_HOST_API int32_t vorn_network_readline(VornConnection* connection, char* buffer, int32_t size,
                                            int32_t timeout) {
    return ReadConnectionLine(connection, buffer, size, timeout);
}

VORN_HOST_API int32_t vorn_network_write(VornConnection* connection, const void* data, int32_t length) {
    return WriteConnection(connection, data, length);
}

VORN_HOST_API void vorn_network_close(VornConnection* connection) {
    delete connection;
}

VORN_HOST_API const char* vorn_network_error(VornProgram*, VornConnection* connection) {
    return ConnectionError(connection);
}

VORN_HOST_API int32_t vorn_network_gethostaddress(VornProgram*, const char* host, char* buffer,
                                                  int32_t size) {
    return HostAddress(host, buffer, size);
}

VORN_HOST_API int32_t vorn_network_isipaddress(VornProgram*, const char*) {
    return 0;
}

} // extern "C"
