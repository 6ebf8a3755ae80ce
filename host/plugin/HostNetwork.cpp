// Network connections and HTTP responses of both families, through the
// network manager of the program's application. A program without one (or no
// program) makes no connection and reads the network layer's message.
#include <cstring>

#include "engine/foundation/NetworkConnection.h"
#include "engine/vm/NetworkSource.h"
#include "host/network/HTTPResponseStream.h"
#include "host/network/NetworkManager.h"
#include "host/plugin/HostInterface.h"
#include "host/plugin/VornHost.h"

using namespace vorn;
using namespace vorn::hostapi;

namespace {

// The longest line a read-line call takes from the connection.
constexpr int32_t kReadLineLimit = 512;

NetworkManager* ManagerOf(VornVM* program) {
    return NetworkManagerOf(ApplicationOf(program));
}

uint32_t Seconds(int32_t timeout) {
    return timeout > 0 ? static_cast<uint32_t>(timeout) : 0;
}

int32_t IsIPAddress(VornVM* program, const char* text) {
    NetworkManager* manager = ManagerOf(program);
    return manager && text && manager->IsIPAddress(text) ? 1 : 0;
}

// Copies at most size bytes of the address and terminates the buffer's last
// byte; a buffer without room is never written.
int32_t HostAddress(VornVM* program, const char* host, char* buffer, int32_t size) {
    NetworkManager* manager = ManagerOf(program);
    if (!manager || !host || !buffer || size < 1) return -1;
    String address;
    int32_t found = manager->LookupHost(host, address);
    if (found < 0) return found;
    size_t n = static_cast<size_t>(address.Length()) + 1;
    std::memcpy(buffer, address.Text(), n < static_cast<size_t>(size) ? n : static_cast<size_t>(size));
    buffer[size - 1] = '\0';
    return found;
}

// A negative port reaches the manager as a number no socket has, and is refused there.
NetworkConnection* Connect(VornVM* program, const char* host, int32_t port) {
    NetworkManager* manager = ManagerOf(program);
    return manager && host ? manager->Connect(host, static_cast<uint32_t>(port), 0) : nullptr;
}

// A failed handshake or identity check leaves no connection (and no socket) behind.
NetworkConnection* ConnectSecured(VornVM* program, const char* host, int32_t port) {
    NetworkConnection* connection = Connect(program, host, port);
    if (connection && !ManagerOf(program)->StartSSL(connection, host, nullptr, nullptr, nullptr, 0)) {
        delete connection;
        return nullptr;
    }
    return connection;
}

// The request is sent, the response not read yet.
NetworkConnection* OpenURL(VornVM* program, const char* method, const char* url, const char* body,
                           const char* contentType, int32_t bodyLength, double version) {
    NetworkManager* manager = ManagerOf(program);
    if (!manager || !TextArgument(body, bodyLength)) return nullptr;
    return manager->OpenURL(method, url, body, contentType, bodyLength, nullptr, nullptr, nullptr, nullptr, 0,
                            version, 0);
}

HTTPResponseStream* HTTPRequest(VornVM* program, const char* method, const char* url, double version,
                                const char* body, const char* contentType, int32_t bodyLength) {
    NetworkConnection* connection = OpenURL(program, method, url, body, contentType, bodyLength, version);
    if (!connection) return nullptr;
    auto* response = new HTTPResponseStream(connection, 0, method);
    if (!response->ReadHeaders()) {
        ManagerOf(program)->SetError(response->ErrorText());
        response->CloseConnection();
        delete response;
        return nullptr;
    }
    return response;
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

const char* ManagerError(VornVM* program) {
    NetworkManager* manager = ManagerOf(program);
    return manager ? manager->ErrorText().Text() : kNoNetwork;
}

const char* ConnectionError(VornVM* program, NetworkConnection* connection) {
    return connection ? connection->ErrorText().Text() : ManagerError(program);
}

} // namespace

extern "C" {

// ---- The newer family ----------------------------------------------------------------------

VORN_HOST_API int32_t vrNetwork_Is_IP_Address(VornProgram* program, const char* text) {
    return IsIPAddress(program, text);
}

VORN_HOST_API int32_t vrNetwork_Get_Host_Address(VornProgram* program, const char* host, char* buffer,
                                                 int32_t size) {
    return HostAddress(program, host, buffer, size);
}

VORN_HOST_API VornConnection* vrNetwork_Connect(VornProgram* program, const char* host, int32_t port) {
    return Connect(program, host, port);
}

VORN_HOST_API VornConnection* vrNetwork_Connect_SSL(VornProgram* program, const char* host, int32_t port) {
    return ConnectSecured(program, host, port);
}

VORN_HOST_API VornConnection* vrNetwork_Open_URL(VornProgram* program, const char* method, const char* url,
                                                 const char* body, const char* contentType,
                                                 int32_t bodyLength) {
    return OpenURL(program, method, url, body, contentType, bodyLength, 1.0);
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

VORN_HOST_API const char* vrNetwork_Error(VornProgram* program, VornConnection* connection) {
    return ConnectionError(program, connection);
}

VORN_HOST_API VornHTTPResponse* vrNetwork_HTTP_Request(VornProgram* program, const char* method,
                                                       const char* url, double version, const char* body,
                                                       const char* contentType, int32_t bodyLength) {
    return HTTPRequest(program, method, url, version, body, contentType, bodyLength);
}

VORN_HOST_API int32_t vrHTTPResponse_Status_Code(VornHTTPResponse* response) {
    return response ? response->StatusCode() : -1;
}

VORN_HOST_API int64_t vrHTTPResponse_Content_Length(VornHTTPResponse* response) {
    return response ? response->ContentLength() : -1;
}

VORN_HOST_API int32_t vrHTTPResponse_Read(VornHTTPResponse* response, void* buffer, int32_t length) {
    if (!response || length < 0 || (!buffer && length != 0)) return -1;
    return response->Read(buffer, length);
}

VORN_HOST_API void vrHTTPResponse_Close(VornHTTPResponse* response) {
    if (!response) return;
    response->CloseConnection();
    delete response;
}

VORN_HOST_API const char* vrHTTPResponse_Error(VornProgram* program, VornHTTPResponse* response) {
    return response ? response->ErrorText().Text() : ManagerError(program);
}

// ---- The older family ------------------------------------------------------------------------

VORN_HOST_API VornConnection* vorn_network_connect(VornProgram* program, const char* host, int32_t port) {
    return Connect(program, host, port);
}

VORN_HOST_API VornConnection* vorn_network_openurl(VornProgram* program, const char* method, const char* url,
                                                   const char* body, const char* contentType,
                                                   int32_t bodyLength) {
    return OpenURL(program, method, url, body, contentType, bodyLength, 1.0);
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

VORN_HOST_API const char* vorn_network_error(VornProgram* program, VornConnection* connection) {
    return ConnectionError(program, connection);
}

VORN_HOST_API int32_t vorn_network_gethostaddress(VornProgram* program, const char* host, char* buffer,
                                                  int32_t size) {
    return HostAddress(program, host, buffer, size);
}

VORN_HOST_API int32_t vorn_network_isipaddress(VornProgram* program, const char* text) {
    return IsIPAddress(program, text);
}

} // extern "C"
