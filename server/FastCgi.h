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
#include <vector>

namespace vorn::server {

// The most bytes of a request head peeked at; a longer head is refused.
inline constexpr size_t kMaxRequestHead = 64 * 1024;

enum class RequestHead {
    Complete,   // a responder request with well-formed parameters
    Incomplete, // more bytes are needed
    Malformed,  // not a request we serve: the connection is closed
    BadParams,  // a parameter holds a NUL byte, or CONTENT_LENGTH is no length: 400
    Record,     // records of no request served here come first: answered and passed over
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
    // Record: whether the connection stays open once the records are answered.
    bool keepConnection = false;
    // Where the records after the parameters begin (Record: after the run).
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

// A request's parameters: the bytes of its parameter records as they came,
// read once (Index) into NUL-ended names and values found by name.
class ParamIndex {
  public:
    // A new request's: nothing kept from the last one's.
    void Clear();
    // The content of a parameter record, in the order they came.
    void Append(const unsigned char* bytes, size_t length);
    void Assign(const std::string& bytes);
    // Reads the pairs, once: Malformed when they do not fill the bytes (or a
    // name is empty), BadParams when a name or value holds a NUL or the first
    // CONTENT_LENGTH is no length, else Complete with *contentLength (0 when
    // there is none).
    RequestHead Index(size_t* contentLength);

    // The value of the first parameter of that name (NUL-ended), with its
    // length in *valueLength; null when there is none.
    const char* Find(const char* name, size_t nameLength, size_t* valueLength = nullptr) const;
    const char* Find(const char* name) const;
    // The parameters named HTTP_..., in the order they came (the request's
    // headers): names and values NUL-ended.
    size_t HeaderCount() const { return headers.size(); }
    void Header(size_t i, const char** name, size_t* nameLength, const char** value, size_t* valueLength) const;

  private:
    struct Entry {
        uint32_t name;  // offsets into text
        uint32_t nameLength;
        uint32_t value;
        uint32_t valueLength;
    };
    std::string raw;  // as sent
    std::string text; // "name\0value\0" for each pair
    std::vector<Entry> entries;
    std::vector<uint16_t> headers; // entries of HTTP_ names
    // Open addressing by the name's hash: an entry's index + 1, 0 empty.
    std::vector<uint16_t> slots;
};

// Reads the records that open a request (a begin record, its parameters up
// to their empty record) as they come: each call goes on from where the last
// stopped, with the same bytes and more after them.
class HeadParser {
  public:
    // The next request's head starts at the bytes' first.
    void Reset();
    // Records of no request served here that come first (management records,
    // a role not served and its records, a request aborted before its head was
    // whole) are answered into *replies and passed over as one run (Record,
    // up to paramsEnd; keepConnection false when the run ended with a request
    // that asked to close the connection). Then the head: Complete or
    // BadParams with *info and the parameters in *params (answers to records
    // among them into *replies), or Incomplete, or Malformed.
    // maxConnections is told to a web server that asks.
    RequestHead Parse(const unsigned char* bytes, size_t length, unsigned maxConnections, RequestHeadInfo* info,
                      ParamIndex* params, std::string* replies);

  private:
    size_t at = 0; // the next record's start
    bool begun = false;
    bool keepConnection = false;
    uint16_t id = 0;
};

// The head at the start of bytes, read whole (a HeadParser's first call).
RequestHead ReadRequestHead(const unsigned char* bytes, size_t length, unsigned maxConnections, RequestHeadInfo* info,
                            ParamIndex* params, std::string* replies);

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
    bool ending = false;   // the empty input record: ended once its padding is past
    bool aborting = false; // the abort record: aborted once its content and padding are past
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
    // The bytes received past those consumed move to Buffer's start: how many.
    size_t KeepLeft();

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
