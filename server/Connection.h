// One connection of the web server's, serving one request at a time: the
// request's input taken from the socket into its record stream as the
// extension reads it, the answer sent as it is written, the request's end
// (the rest of the answer and of the input taken without waiting on the
// client, what is left being the poller's), and the extension's callbacks.
// Whose the connection is at each moment, and its deadlines, are the
// responder's.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/ISAPI.h"
#include "server/CgiVariables.h"
#include "server/ClientSocket.h"
#include "server/FastCgi.h"
#include "server/Responder.h"

namespace vorn::server {

// Set on the poller's thread, which never waits on a client.
inline thread_local bool onPoller = false;

struct Connection {
    Responder* responder = nullptr;
    ClientSocket socket;
    RecordStream stream;
    CgiVariables variables;
    platform::ISAPIControlBlock block{};
    uint8_t preRead[Responder::kPreRead];
    std::string responseHead;
    bool readFailed = false;
    bool outputFailed = false;
    size_t drained = 0; // input passed over once the request ended

    // Guards inExtension and the request's end between the extension's
    // worker and the responder's threads.
    std::mutex mutex;
    bool inExtension = false;
    bool headerSent = false;
    // Where the connection is between its requests. Head: it waits for the
    // next request's head (with a deadline once any of it came, or from its
    // accept; a kept one idles without). Finishing: the poller sends the rest
    // of an answer and takes the input the request left, without waiting on
    // the client. Lingering: closed on our side, the poller waits a while for
    // the client to close its end.
    enum Phase : uint8_t { Head, Finishing, Lingering };
    Phase phase = Head;
    bool keep = false;       // the request ended with its input: the connection serves a next one
    bool peekedNext = false; // bytes past the request were peeked: no new event tells of them
    bool watchingOutput = false;
    bool registered = false; // the descriptor is in the poll set
    Deadline deadline;       // the poller's
    // Who has the connection. It stays in the poll set (edge-triggered) from
    // its accept to its close; the poller acts on its events only while it
    // is the Poller's. An event while a request is served is only noted
    // (ServedNoticed), and whoever ends the request then gives the connection
    // back through the poller's list (Returned) rather than quietly (Poller),
    // so that nothing that came meanwhile goes unseen.
    enum class Owner : uint8_t { None, Poller, Served, ServedNoticed, Returned };
    std::atomic<Owner> owner{Owner::None};
    // The poller's: the events noticed while it was served, the index in the
    // responder's list, and the accept it belongs to (events of a closed
    // connection may still be in the poller's hands when its slot is reused).
    uint32_t noticed = 0;
    uint32_t index = 0;
    uint32_t generation = 0;

    uint64_t Key() const { return static_cast<uint64_t>(generation) << 32 | index; }
    int Descriptor() const { return socket.Descriptor(); }

    // A request begins: its head, checked, starts the `peeked` bytes of the
    // stream's buffer; the output may hold answers to records that came
    // before it.
    void Start(const RequestHeadInfo& info, size_t peeked);

    // --- Input ---
    bool InputEnded() const { return stream.State() == Input::Ended; }
    // Aborted, broken, or the connection failed.
    bool InputFailed() const { return readFailed || (stream.State() != Input::Open && !InputEnded()); }
    // Input the request left that is still to be taken before the connection
    // can serve another (one that closes after it needs none).
    bool Draining() const { return stream.KeepConnection() && Drainable(); }
    // Up to size bytes of the request's input (buffer null: passed over):
    // fewer only at its end, before a failure, or (wait false) when no more
    // has come; -1 when the connection failed or broke the protocol.
    int64_t ReadInput(char* buffer, size_t size, bool wait);
    // Takes (and drops) the input the request left, up to a limit.
    void Drain(bool wait);

    // --- Output ---
    // Sends what the socket takes now; false when the connection failed.
    bool Send();
    bool Unsent() const { return stream.UnsentLength() > 0; }
    // A plain answer of the responder's own.
    void Answer(const char* status);

    // --- The request's end ---
    // Ends the request without waiting on the client: the input it left is
    // taken as far as it has come, its end records (output false: the end
    // record alone) go out as far as the socket takes them. What is left
    // then is the poller's (phase Finishing), else the connection is settled.
    void Finish(bool output = true);
    // The answer is out (or cannot go) and the input done with: the
    // connection waits for its next request (phase Head), or is closed at
    // once (descriptor -1), or lingers for the poller (phase Lingering).
    void Settle();
    // Ends the request the extension holds, if it still does: answered with
    // status when nothing was sent; false when it was ended already.
    bool EndInExtension(const char* status);
    // Frees what a request left and closes the connection.
    void Forget();

    // --- The extension's callbacks (block.connection is the connection) ---
    static bool GetServerVariable(platform::ISAPIConnection handle, const char* name, void* buffer, size_t* size);
    static bool ReadClient(platform::ISAPIConnection handle, void* buffer, size_t* size);
    static bool WriteClient(platform::ISAPIConnection handle, const void* buffer, size_t* size, uint32_t flags);
    static bool ServerSupportFunction(platform::ISAPIConnection handle, uint32_t code, void* buffer, size_t* size,
                                      void* dataType);

  private:
    bool Drainable() const;
    // More of the request's bytes, never past its end: 1 once the stream
    // can be read on, 0 when they have not come and may not be waited for,
    // -1 when the connection failed.
    int Receive(bool wait);
    // Sends what is gathered; a thread that may wait does when the client
    // leaves too much unread.
    bool Flush();
    bool Put(const char* data, size_t length);
    void CloseNow();
};

} // namespace vorn::server
