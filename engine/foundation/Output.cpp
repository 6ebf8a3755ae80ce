#include "engine/foundation/Output.h"

#include "engine/foundation/NetworkConnection.h"

#include <cstdlib>
#include <cstring>

namespace vorn {

// --- Output -------------------------------------------------------------------

int32_t Output::ResolveLength(const char* bytes, int32_t length) {
    if (bytes == nullptr) return 0;
    if (length == -1) {
        const size_t n = strlen(bytes);
        return n > INT32_MAX ? INT32_MAX : static_cast<int32_t>(n);
    }
    return length < 0 ? 0 : length;
}

int32_t Output::WriteAndFlush(const char* bytes, int32_t length) {
    const int32_t written = Write(bytes, length);
    Flush();
    return written;
}

int32_t Output::AddHeader(const char* name, int32_t, bool nameOwned, const char* value, int32_t,
                          bool valueOwned) {
    if (nameOwned) std::free(const_cast<char*>(name));
    // The same buffer handed over twice is freed once.
    if (valueOwned && !(nameOwned && value == name)) std::free(const_cast<char*>(value));
    return 0;
}

int32_t Output::AddHeaderText(const char* name, const char* value) {
    return AddHeader(name, -1, false, value, -1, false);
}

int32_t Output::WriteFiltered(const char* bytes, int32_t length) {
    if (mode & kModeTrim) return WriteTrimLeading(bytes, length);
    if (mode & kModeCollapse) return WriteCollapsed(bytes, length);
    return Write(bytes, length);
}

int32_t Output::Commit(int32_t) {
    return 0;
}

int32_t Output::Mode() {
    return mode;
}

void Output::SetMode(int32_t newMode) {
    mode = newMode;
}

int32_t Output::WriteTrimLeading(const char* bytes, int32_t length) {
    const int32_t n = ResolveLength(bytes, length);
    if (n == 0) return 0;
    if (!lastWasSpace) {
        Write(bytes, n);
        return n;
    }
    // One byte only: a run of white space after white space keeps all but its first byte.
    const int32_t skip = IsSpace(static_cast<unsigned char>(bytes[0])) ? 1 : 0;
    if (n > skip) Write(bytes + skip, n - skip);
    return n;
}

int32_t Output::WriteCollapsed(const char* bytes, int32_t length) {
    const int32_t n = ResolveLength(bytes, length);
    int32_t i = 0;
    if (lastWasSpace)
        while (i < n && IsSpace(static_cast<unsigned char>(bytes[i])))
            ++i;
    int32_t start = i;
    while (i < n) {
        if (!IsSpace(static_cast<unsigned char>(bytes[i]))) {
            ++i;
            continue;
        }
        Write(bytes + start, i + 1 - start);
        ++i;
        while (i < n && IsSpace(static_cast<unsigned char>(bytes[i])))
            ++i;
        start = i;
    }
    if (start < n) Write(bytes + start, n - start);
    return n;
}

// --- BufferedOutput -----------------------------------------------------------

BufferedOutput::BufferedOutput(int32_t size) {
    if (size > 0) buffer = static_cast<char*>(std::malloc(static_cast<size_t>(size)));
    if (buffer != nullptr) bufferSize = size;
}

BufferedOutput::~BufferedOutput() {
    std::free(buffer);
}

int32_t BufferedOutput::Write(const char* bytes, int32_t length) {
    const int32_t n = ResolveLength(bytes, length);
    if (n == 0) return 0;
    if (buffer == nullptr || bufferSize <= 0) {
        // No buffer to collect in: pass the bytes straight on.
        Send(bytes, n);
        NoteLastByte(bytes[n - 1]);
        return n;
    }
    // Data that fits a buffer is never split: make room for all of it first.
    if (n <= bufferSize && static_cast<int64_t>(used) + n > bufferSize) Flush();
    int32_t taken = 0;
    while (taken < n) {
        if (used >= bufferSize) {
            Flush();
            // A Flush that made no room would leave us spinning here.
            if (used >= bufferSize) break;
        }
        if (buffer == nullptr) break;
        const int32_t room = bufferSize - used;
        const int32_t piece = room < n - taken ? room : n - taken;
        std::memmove(buffer + used, bytes + taken, static_cast<size_t>(piece));
        used += piece;
        taken += piece;
    }
    if (taken > 0) NoteLastByte(bytes[taken - 1]);
    return taken;
}

int32_t BufferedOutput::Commit(int32_t) {
    return 0;
}

int32_t BufferedOutput::Flush() {
    if (used <= 0) return 0;
    const int32_t sent = Send(buffer, used);
    used = 0;
    return sent;
}

int32_t BufferedOutput::Kind() {
    return kKindBuffered;
}

// --- NetworkOutput ------------------------------------------------------------

NetworkOutput::NetworkOutput(Output* headerTarget, NetworkConnection* connection, int32_t bufferSize,
                             uint32_t writeTimeout)
    : BufferedOutput(bufferSize), headerTarget(headerTarget), writeTimeout(writeTimeout),
      connection(connection) {}

NetworkOutput::~NetworkOutput() {
    Flush();
}

int32_t NetworkOutput::AddHeader(const char* name, int32_t nameLength, bool nameOwned, const char* value,
                                 int32_t valueLength, bool valueOwned) {
    if (headerTarget == nullptr || headerTarget == this)
        return Output::AddHeader(name, nameLength, nameOwned, value, valueLength, valueOwned);
    return headerTarget->AddHeader(name, nameLength, nameOwned, value, valueLength, valueOwned);
}

int32_t NetworkOutput::Send(const char* bytes, int32_t length) {
    if (connection == nullptr) return 0;
    return connection->Write(bytes, length, writeTimeout);
}

String& NetworkOutput::ErrorText() {
    return connection != nullptr ? connection->ErrorText() : noConnection;
}

// --- NullOutput ---------------------------------------------------------------

NullOutput::NullOutput(NullOutputCallback callback) : callback(callback) {}

int32_t NullOutput::Write(const char* bytes, int32_t length) {
    const int32_t n = ResolveLength(bytes, length);
    if (n == 0) return 0;
    NoteLastByte(bytes[n - 1]);
    return Send(bytes, n);
}

int32_t NullOutput::WriteFiltered(const char* bytes, int32_t length) {
    return Write(bytes, length);
}

int32_t NullOutput::Commit(int32_t) {
    return 0;
}

int32_t NullOutput::Flush() {
    return 1;
}

int32_t NullOutput::Kind() {
    return kKindNull;
}

int32_t NullOutput::Send(const char* bytes, int32_t length) {
    return callback != nullptr ? callback(bytes, length) : length;
}

} // namespace vorn
