// The records of the FastCGI protocol as the responder reads and writes
// them, without a socket: the records that open a request (a begin record,
// then the parameters up to their empty record), the input records that
// follow, the status line and header block an extension sends, the records an
// answer goes out in, and the answers to records that are no request's.
// RecordStream holds one connection's bytes both ways; the socket only moves
// them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vorn::server {

// The most bytes of a request head peeked at; a longer head is refused.
inline constexpr size_t kMaxRequestHead = 64 * 1024;

enum class RequestHead {
    Complete,   // a responder request with well-formed parameters
    Incomplete, // more bytes are needed
    Malformed,  // not a request we serve: the connection is closed
    BadParams,  // a parameter holds a NUL byte, or CONTENT_LENGTH is no length: 400
    Record,     // a record of no request served here comes first: answered and passed over
};

// How a request's input stands among the bytes consumed so far.
enum class Input : uint8_t {
    Open,    // more is to come
    Ended,   // its empty input record came
    Aborted, // the web server aborted the request
    Broken,  // a record no request's input may hold: the stream is lost
};

// What a head says, beside its parameters.
struct RequestHeadInfo {
    uint16_t id = 0;
    // Record: whether the connection stays open once the record is answered.
    bool keepConnection = false;
    // Where the records after the parameters begin (Record: after the record).
    size_t paramsEnd = 0;
    // The input among the bytes given, and where it ended when it did.
    Input input = Input::Open;
    size_t requestEnd = 0;
    // The announced length of the input (CONTENT_LENGTH; 0 when it is
    // missing or empty).
    size_t contentLength = 0;
};

// CONTENT_LENGTH: decimal digits only, at most 2^31-1; anything else is no
// length and the request is refused (BadParams).
inline constexpr size_t kMaxContentLength = 0x7fffffff;

// Checks the bytes at the start of a connection's next request; gives the
// parameters' bytes (name and value lengths as sent), *info, and appends to
// *replies the answers to records that are no request's (management records,
// a role not served, a second request). maxConnections is told to a web
// server that asks.
RequestHead ReadRequestHead(const unsigned char* bytes, size_t length, unsigned maxConnections, RequestHeadInfo* info,
                            std::string* params, std::string* replies);

// The records that follow a request's parameters, consumed as they come: the
// content of its input records, and whatever a web server may put between
// them (other requests' records, management records), answered as FastCGI
// asks. Never reads past the request's end.
class InputRecords {
  public:
    void Begin(uint16_t requestId, unsigned maxConnections);
    // Consumes what it can of bytes[0, length): the input's content goes to
    // to[0, room), *got bytes of it (to null: passed over, however much);
    // answers are appended to *replies (null: dropped). Returns the bytes consumed; stops at the input's end, at
    // anything that ends it otherwise, when room is full, or when the rest
    // is less than a record header.
    size_t Consume(const unsigned char* bytes, size_t length, char* to, size_t room, size_t* got,
                   std::string* replies);
    Input State() const { return state; }
    // The fewest bytes that let Consume go on, given at once.
    size_t Need() const;
    // The most bytes that surely belong to the request or lie between its
    // records: the rest of the record and the next record's header.
    size_t Most() const;

  private:
    enum class Content : uint8_t { Own, Skipped, Query };
    uint16_t id = 0;
    unsigned maxConnections = 1;
    Input state = Input::Open;
    Content content = Content::Skipped;
    bool ending = false; // the empty input record: ended once its padding is past
    uint32_t contentLeft = 0;
    uint32_t paddingLeft = 0;
    std::string query; // a GET_VALUES record's names, gathered
};

// Record types and sizes the responder uses.
inline constexpr unsigned char kVersion = 1;
inline constexpr unsigned char kBeginRequest = 1;
inline constexpr unsigned char kAbortRequest = 2;
inline constexpr unsigned char kEndRequest = 3;
inline constexpr unsigned char kParams = 4;
inline constexpr unsigned char kStdin = 5;
inline constexpr unsigned char kStdout = 6;
inline constexpr unsigned char kGetValues = 9;
inline constexpr unsigned char kGetValuesResult = 10;
inline constexpr unsigned char kUnknownType = 11;
// An end record's protocol status.
inline constexpr unsigned char kRequestComplete = 0;
inline constexpr unsigned char kCantMpxConn = 1;
inline constexpr unsigned char kUnknownRole = 3;
inline constexpr size_t kRecordHeader = 8;
inline constexpr size_t kMaxRecordContent = 65535;

// Appends a record's header to out.
void AppendRecordHeader(std::string* out, unsigned char type, uint16_t id, size_t contentLength);

// Appends an end record (application status 0) to out.
void AppendEndRequest(std::string* out, uint16_t id, unsigned char protocolStatus);

// Appends "NAME=value" and a NUL to text for each pair of a request's
// parameter bytes (as ReadRequestHead checked them).
void AppendParamEntries(const std::string& params, std::string* text);

// The CGI response head for a status ("302 Found": three digits first) and
// an extension's header block ("Name: value" lines, each ending in CR LF, then
// an empty line; the empty line may be missing). False for anything else, so
// nothing can be spliced into the response.
bool BuildResponseHead(const char* status, const char* headers, std::string* head);

// One connection's records, without its socket. The socket puts what it
// receives at Buffer (where ReadRequestHead checks the next request's head)
// and, once a request began, at Room (never past the request's end); Read
// decodes the request's input from there. The answer is framed into records
// (STDOUT, then an empty STDOUT and END_REQUEST), with the answers to records
// that came between the input's in their place, and waits at Unsent until
// the socket takes it.
class RecordStream {
  public:
    static constexpr size_t kCapacity = kMaxRequestHead;
    // An answer goes out once this much of it is gathered, and at its end.
    static constexpr size_t kFlushSize = 64 * 1024;

    // --- Input ---
    unsigned char* Buffer() { return bytes; }
    // A request begins: its head (info, as ReadRequestHead found it) starts
    // the `received` bytes at Buffer. Output gathered before it (answers to
    // records that came first) stays.
    void Begin(const RequestHeadInfo& info, size_t received, unsigned maxConnections);
    bool KeepConnection() const { return keepConnection; }
    size_t ContentLength() const { return contentLength; }
    Input State() const { return input.State(); }
    // Up to room bytes of the input's content from what is buffered (to
    // null: passed over, however much); fewer at its end or when more must
    // be received. Answers to records between go to the output.
    size_t Read(char* to, size_t room);
    // Whether Read can go on with what is buffered (while the input is open).
    bool Readable() const { return end - begin >= input.Need(); }
    // Where more of the request's bytes go, and *length: how many at most,
    // so that nothing past the request is taken from the socket.
    unsigned char* Room(size_t* length);
    void Received(size_t length) { end += length; }
    // The bytes at Buffer the request has consumed, its head included, while
    // no Room was asked for.
    size_t Consumed() const { return begin; }

    // --- Output ---
    // Frames output into the open STDOUT record (a new one when none is or
    // it is full): the bytes taken, fewer when the record filled up.
    size_t Write(const char* data, size_t length);
    // The open record gets its length: what is gathered can go out.
    void CloseRecord();
    // The answer's end: an empty STDOUT record (output false: not) and the
    // end record.
    void End(bool output);
    // Whole records after what is gathered.
    void Append(const std::string& records);
    // Once a flush is due, Flushed tells when the next one is.
    bool FlushDue() const { return out.size() >= nextFlush; }
    void Flushed() { nextFlush = out.size() + kFlushSize; }
    // The records to send: those gathered up to the open one.
    const char* Unsent() const { return out.data() + sent; }
    size_t UnsentLength() const { return (recordAt == std::string::npos ? out.size() : recordAt) - sent; }
    // length bytes of Unsent went out; a half sent output lets them go.
    void Sent(size_t length);
    // Nothing gathered is to go out any more; a large output's room is given back.
    void DropOutput();

  private:
    unsigned char bytes[kCapacity];
    size_t begin = 0; // bytes[begin, end): received, not consumed
    size_t end = 0;
    InputRecords input;
    std::string answers; // to records between the input's, before they join out
    uint16_t id = 0;
    bool keepConnection = false;
    size_t contentLength = 0;
    // out[sent, size): framed, not sent; the open STDOUT record begins at
    // recordAt (npos: none is open).
    std::string out;
    size_t sent = 0;
    size_t recordAt = std::string::npos;
    size_t nextFlush = kFlushSize;
};

} // namespace vorn::server
