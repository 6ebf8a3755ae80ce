#include "server/Connection.h"

#include <cerrno>
#include <cstring>

namespace vorn::server {

namespace {

// Unread body left when a request ends: up to this much is read so that the
// connection can be kept; more, and it is closed.
constexpr size_t kDrainLimit = 64 * 1024;
// Output the client has not taken yet waits in memory up to this much (the
// poller sends the rest once the request ended); past it the script waits
// for the client, at most this long without progress.
constexpr size_t kUnsentAllowance = 8 << 20;
constexpr int kWriteStallMilliseconds = 10000;

Connection* FromHandle(platform::ISAPIConnection handle) {
    return static_cast<Connection*>(handle);
}

} // namespace

void Connection::Start(const RequestHeadInfo& info, size_t peeked) {
    stream.Begin(info, peeked, responder->maxConnections);
    socket.ServeFromPeeked(peeked);
    readFailed = false;
    drained = 0;
    outputFailed = false;
    headerSent = false;
    phase = Head;
    keep = peekedNext = false;
}

// --- Input ---------------------------------------------------------------------------------------

bool Connection::Drainable() const {
    return stream.State() == Input::Open && !readFailed && drained < kDrainLimit;
}

int Connection::Receive(bool wait) {
    if (stream.Readable()) return 1;
    if (socket.OnlyPeeked() && !socket.ConsumePeeked(stream.Buffer())) return -1;
    while (!stream.Readable()) {
        size_t room = 0;
        unsigned char* to = stream.Room(&room);
        ssize_t n = socket.Receive(to, room, wait);
        if (n <= 0) return n == 0 ? 0 : -1;
        stream.Received(static_cast<size_t>(n));
    }
    return 1;
}

int64_t Connection::ReadInput(char* buffer, size_t size, bool wait) {
    size_t got = 0;
    while (stream.State() == Input::Open && !readFailed) {
        got += stream.Read(buffer ? buffer + got : nullptr, size - got);
        if (stream.State() != Input::Open || got == size) break;
        int more = Receive(wait);
        if (more < 0) readFailed = true;
        if (more <= 0) break;
    }
    // What came before a failure is given first; the failure, next time.
    return got > 0 || !InputFailed() ? static_cast<int64_t>(got) : -1;
}

void Connection::Drain(bool wait) {
    while (Drainable()) {
        int64_t n = ReadInput(nullptr, kDrainLimit - drained, wait);
        if (n <= 0) break;
        drained += static_cast<size_t>(n);
    }
}

// --- Output --------------------------------------------------------------------------------------

bool Connection::Send() {
    while (stream.UnsentLength() > 0 && !outputFailed) {
        ssize_t n = socket.Send(stream.Unsent(), stream.UnsentLength());
        if (n == 0) break;
        if (n < 0) outputFailed = true;
        else stream.Sent(static_cast<size_t>(n));
    }
    if (outputFailed) stream.DropOutput();
    return !outputFailed;
}

bool Connection::Flush() {
    stream.CloseRecord();
    Send();
    while (!outputFailed && !onPoller && stream.UnsentLength() > kUnsentAllowance) {
        if (!socket.AwaitWritable(kWriteStallMilliseconds)) outputFailed = true; // the client takes nothing
        else Send();
    }
    stream.Flushed();
    return !outputFailed;
}

bool Connection::Put(const char* data, size_t length) {
    if (outputFailed) return false;
    while (length > 0) {
        size_t taken = stream.Write(data, length);
        data += taken;
        length -= taken;
        if (stream.FlushDue() && !Flush()) return false;
    }
    return true;
}

void Connection::Answer(const char* status) {
    std::string text = "Status: ";
    text.append(status).append("\r\nContent-Type: text/plain\r\n\r\n").append(status).append("\n");
    Put(text.data(), text.size());
    headerSent = true;
}

// --- The request's end ---------------------------------------------------------------------------

void Connection::CloseNow() {
    socket.Close();
    stream.DropOutput();
}

void Connection::Finish(bool output) {
    if (stream.KeepConnection()) Drain(false);
    stream.End(output);
    Send();
    keep = stream.KeepConnection() && InputEnded() && !readFailed;
    phase = Finishing;
    if (!outputFailed && (Unsent() || Draining())) return;
    Settle();
}

void Connection::Settle() {
    if (outputFailed) return CloseNow();
    if (keep) {
        size_t used = stream.Consumed();
        peekedNext = socket.PeekedPast(used);
        // A request served from the bytes peeked leaves the socket only now.
        if (socket.OnlyPeeked() && !socket.DoneWith(stream.Buffer(), used)) return CloseNow();
        phase = Head;
        return;
    }
    // Closed at once when the client sent all it had to and nothing of it
    // is left unread (no reset can cost it the answer); else the poller
    // waits for its close.
    socket.ShutdownOutput();
    phase = Lingering;
    if (!socket.Discard() || InputEnded()) CloseNow();
}

bool Connection::EndInExtension(const char* status) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!inExtension) return false;
    if (!headerSent) Answer(status);
    Finish();
    inExtension = false;
    return true;
}

void Connection::Forget() {
    socket.Close();
    stream.DropOutput();
    phase = Head;
    watchingOutput = false;
}

// --- The extension's callbacks -------------------------------------------------------------------

bool Connection::GetServerVariable(platform::ISAPIConnection handle, const char* name, void* buffer, size_t* size) {
    const char* value = name ? FromHandle(handle)->variables.Value(name) : nullptr;
    if (!value) {
        errno = ENOENT;
        return false;
    }
    size_t needed = std::strlen(value) + 1;
    if (!buffer || *size < needed) {
        *size = needed;
        errno = ERANGE;
        return false;
    }
    std::memcpy(buffer, value, needed);
    *size = needed;
    return true;
}

bool Connection::ReadClient(platform::ISAPIConnection handle, void* buffer, size_t* size) {
    int64_t n = FromHandle(handle)->ReadInput(static_cast<char*>(buffer), *size, !onPoller);
    if (n < 0) {
        errno = EIO;
        return false;
    }
    *size = static_cast<size_t>(n);
    return true;
}

bool Connection::WriteClient(platform::ISAPIConnection handle, const void* buffer, size_t* size, uint32_t) {
    Connection* c = FromHandle(handle);
    // The body follows the head: bytes before it would be read as headers.
    if (!c->headerSent) {
        errno = EPROTO;
        return false;
    }
    if (!c->Put(static_cast<const char*>(buffer), *size)) {
        errno = EPIPE;
        return false;
    }
    return true;
}

bool Connection::ServerSupportFunction(platform::ISAPIConnection handle, uint32_t code, void* buffer, size_t*,
                                       void* dataType) {
    Connection* c = FromHandle(handle);
    if (code == platform::kISAPISendResponseHeader) {
        std::string& head = c->responseHead;
        if (c->headerSent ||
            !BuildResponseHead(static_cast<const char*>(buffer), static_cast<const char*>(dataType), &head)) {
            errno = EINVAL;
            return false;
        }
        c->headerSent = true;
        if (!c->Put(head.data(), head.size())) {
            errno = EPIPE;
            return false;
        }
        return true;
    }
    if (code == platform::kISAPIDoneWithSession) {
        if (!c->EndInExtension("500 Internal Server Error")) {
            errno = EINVAL;
            return false;
        }
        // The worker goes back to its queue at once: the connection waits
        // for its next request in the poll set, and nobody was woken.
        c->responder->AfterRequest(c);
        return true;
    }
    errno = EINVAL;
    return false;
}

} // namespace vorn::server
