// One connection of the web server's, serving one request at a time: the
// request's head read as it comes, its input gathered into its body before
// it runs (by the poller, never waiting), the answer sent as it is written,
// the request's end (the rest of the answer sent without waiting on the
// client, what is left being the poller's), and the extension's callbacks.
// Whose the connection is at each moment, and its deadlines, are the
// responder's.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/ISAPI.h"
#include "server/CgiVariables.h"
#include "server/ClientSocket.h"
#include "server/FastCgi.h"
#include "server/RequestBody.h"
#include "server/Responder.h"

namespace vorn::server {

// Set on the poller's thread, which never waits on a client.
inline thread_local bool onPoller = false;

struct Connection {
    Responder* responder = nullptr;
    ClientSocket socket;
    RecordStream stream;
    HeadParser head;
    // Bytes of the next head taken from the socket into the stream's buffer
    // (0: none; the next is peeked at).
    size_t buffered = 0;
    // Answers to the records the head's parser passed over, on their way
    // to the output.
    std::string replies;
    CgiVariables variables;
    RequestBody body;
    // Input past the announced length, passed over.
    size_t excess = 0;
    platform::ISAPIControlBlock block{};
    std::string responseHead;
    bool readFailed = false;
    bool outputFailed = false;

    // Guards inExtension and the request's end between the extension's
    // worker and the responder's threads.
    std::mutex mutex;
    bool inExtension = false;
    bool headerSent = false;
    // Where the connection is between its requests. Head: it waits for the
    // next request's head (with a deadline once any of it came, or from its
    // accept; a kept one idles without). Body: the head came, its input is
    // gathered up to its end. Finishing: the poller sends the rest of an
    // answer without waiting on the client. Lingering: closed on our side,
    // the poller waits a while for the client to close its end.
    enum Phase : uint8_t { Head, Body, Finishing, Lingering };
    Phase phase = Head;
    // Since when it waits for what a request needs (a head, more of its
    // input, an idle kept connection's next request): the longest waiting
    // gives way first.
    std::chrono::steady_clock::time_point since;
    bool keep = false;       // the request ended with its input: the connection serves a next one
    bool peekedNext = false; // bytes past the request were peeked or taken: no new event tells of them
    bool watchingOutput = false;
    bool registered = false; // the descriptor is in the poll set
    bool posted = false;     // its turn ended with bytes left: the poller comes back to it
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

    // A request begins: its head, checked, starts the `received` bytes of
    // the stream's buffer (peeked: still in the socket); the output may hold
    // answers to records that came before it.
    void Start(const RequestHeadInfo& info, size_t received, bool peeked);

    // --- Input ---
    bool InputEnded() const { return stream.State() == Input::Ended; }
    // Done with as a kept connection may go on: ended, or aborted.
    bool InputDone() const { return InputEnded() || stream.State() == Input::Aborted; }
    // The request's input as far as it came, into its body, without waiting
    // (at most `budget` bytes taken from the socket): 1 once the input is no
    // longer open or ran past what is passed over (the request may begin or
    // end), 0 when more must come first, -1 when the connection failed or
    // its end closed, -2 when the body could not be kept.
    int Gather(size_t* budget);
    // Up to size bytes of the gathered body; -1 when it cannot be read.
    int64_t ReadBody(char* buffer, size_t size);

    // --- Output ---
    // Sends what the socket takes now; false when the connection failed.
    bool Send();
    bool Unsent() const { return stream.UnsentLength() > 0; }
    // A plain answer of the responder's own.
    void Answer(const char* status);

    // --- The request's end ---
    // Ends the request without waiting on the client: its end records
    // (output false: the end record alone) go out as far as the socket takes
    // them. What is left then is the poller's (phase Finishing), else the
    // connection is settled.
    void Finish(bool output = true);
    // The answer is out (or cannot go): the connection waits for its next
    // request (phase Head), or is closed at once (descriptor -1), or lingers
    // for the poller (phase Lingering).
    void Settle();
    // Ends the request the extension holds, if it still does: answered with
    // status when nothing was sent; false when it was ended already.
    bool EndInExtension(const char* status);
    // Frees what a request left and closes the connection.
    void Forget();

    // --- The extension's callbacks (block.connection is the connection) ---
    static bool GetServerVariable(platform::ISAPIConnection handle, const char* name, void* buffer, size_t* size);
    static const char* ServerVariableText(platform::ISAPIConnection handle, const char* name, size_t* length);
    static bool RequestHeader(platform::ISAPIConnection handle, size_t index, const char** name, size_t* nameLength,
                              const char** value, size_t* valueLength);
    static bool ReadClient(platform::ISAPIConnection handle, void* buffer, size_t* size);
    static bool WriteClient(platform::ISAPIConnection handle, const void* buffer, size_t* size, uint32_t flags);
    static bool ServerSupportFunction(platform::ISAPIConnection handle, uint32_t code, void* buffer, size_t* size,
                                      void* dataType);

  private:
    // More of the request's bytes, never past its end: 1 once the stream
    // can be read on, 0 when they have not come, -1 when the connection
    // failed or its end closed.
    int Receive();
    // Sends what is gathered; a thread that may wait does when the client
    // leaves too much unread.
    bool Flush();
    bool Put(const char* data, size_t length);
    void CloseNow();
};

} // namespace vorn::server
