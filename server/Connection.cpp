#include "server/Connection.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vorn::server {

namespace {

// Output the client has not taken yet waits in memory up to this much (the
// poller sends the rest once the request ended); past it the script waits
// for the client, at most this long without progress.
constexpr size_t kUnsentAllowance = 8 << 20;
constexpr int kWriteStallMilliseconds = 10000;
// Input past the announced length is passed over up to this much; past it
// the request runs without waiting for its input's end, and the connection
// closes after it.
constexpr size_t kExcessLimit = 64 * 1024;

Connection* FromHandle(platform::ISAPIConnection handle) {
    return static_cast<Connection*>(handle);
}

} // namespace

void Connection::Start(const RequestHeadInfo& info, size_t received, bool peeked) {
    stream.Begin(info, received, responder->maxConnections);
    if (peeked) socket.ServeFromPeeked(received);
    buffered = 0;
    body.Clear();
    excess = 0;
    readFailed = false;
    outputFailed = false;
    headerSent = false;
    phase = Head;
    keep = peekedNext = false;
}

// --- Input ---------------------------------------------------------------------------------------

int Connection::Receive() {
    if (stream.Readable()) return 1;
    if (socket.OnlyPeeked() && !socket.ConsumePeeked(stream.Buffer())) return -1;
    while (!stream.Readable()) {
        size_t room = 0;
        unsigned char* to = stream.Room(&room);
        ssize_t n = socket.Receive(to, room);
        if (n <= 0) return n == 0 ? 0 : -1;
        stream.Received(static_cast<size_t>(n));
    }
    return 1;
}

int Connection::Gather(size_t* budget) {
    size_t announced = stream.ContentLength();
    while (stream.State() == Input::Open) {
        if (excess > kExcessLimit) return 1;
        size_t got = 0;
        if (body.Size() < announced) {
            size_t room = 0;
            char* to = body.Space(announced - body.Size(), &room);
            got = stream.Read(to, room);
            if (!body.Commit(got)) return -2;
        } else {
            excess += stream.Read(nullptr, 0);
        }
        if (stream.State() != Input::Open || stream.Readable()) continue;
        if (*budget == 0) return 0;
        uint64_t before = socket.Moved();
        int more = Receive();
        uint64_t taken = socket.Moved() - before;
        *budget -= std::min<uint64_t>(*budget, taken);
        if (more < 0) readFailed = true;
        if (more <= 0) return more;
    }
    return 1;
}

int64_t Connection::ReadBody(char* buffer, size_t size) {
    return body.Read(buffer, size);
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
    stream.End(output);
    Send();
    keep = stream.KeepConnection() && InputDone() && !readFailed;
    phase = Finishing;
    if (!outputFailed && Unsent()) return;
    Settle();
}

void Connection::Settle() {
    if (outputFailed) return CloseNow();
    if (keep) {
        head.Reset();
        since = std::chrono::steady_clock::now();
        phase = Head;
        if (socket.OnlyPeeked()) {
            size_t used = stream.Consumed();
            peekedNext = socket.PeekedPast(used);
            // A request served from the bytes peeked leaves the socket only now.
            if (!socket.DoneWith(stream.Buffer(), used)) return CloseNow();
        } else {
            // Bytes of the next request taken with this one's are read first.
            buffered = stream.KeepLeft();
            peekedNext = buffered > 0;
        }
        return;
    }
    // Closed at once when the client sent all it had to and nothing of it
    // is left unread (no reset can cost it the answer); else the poller
    // waits for its close.
    socket.ShutdownOutput();
    phase = Lingering;
    if (!socket.Discard() || InputDone()) CloseNow();
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
    body.Clear();
    buffered = 0;
    phase = Head;
    watchingOutput = false;
}

// --- The extension's callbacks -------------------------------------------------------------------

bool Connection::GetServerVariable(platform::ISAPIConnection handle, const char* name, void* buffer, size_t* size) {
    size_t length = 0;
    const char* value = name ? FromHandle(handle)->variables.Value(name, &length) : nullptr;
    if (!value) {
        errno = ENOENT;
        return false;
    }
    size_t needed = length + 1;
    if (!buffer || *size < needed) {
        *size = needed;
        errno = ERANGE;
        return false;
    }
    std::memcpy(buffer, value, needed);
    *size = needed;
    return true;
}

const char* Connection::ServerVariableText(platform::ISAPIConnection handle, const char* name, size_t* length) {
    return name ? FromHandle(handle)->variables.Value(name, length) : nullptr;
}

bool Connection::RequestHeader(platform::ISAPIConnection handle, size_t index, const char** name, size_t* nameLength,
                               const char** value, size_t* valueLength) {
    const ParamIndex& headers = FromHandle(handle)->variables.Headers();
    if (index >= headers.HeaderCount()) return false;
    headers.Header(index, name, nameLength, value, valueLength);
    return true;
}

bool Connection::ReadClient(platform::ISAPIConnection handle, void* buffer, size_t* size) {
    // The body came whole before the request began: nothing waits here.
    int64_t n = FromHandle(handle)->ReadBody(static_cast<char*>(buffer), *size);
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
