// The records of the FastCGI protocol as the responder reads and writes
// them, without a socket: the records that open a request (a begin record,
// then the parameters up to their empty record), the input records that
// follow, the status line and header block an extension sends, the records an
// answer goes out in, and the answers to records that are no request's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vorn::server {

enum class RequestHead {
    Complete,   // a responder request with well-formed parameters
    Incomplete, // more bytes are needed
    Malformed,  // not a request we serve: the connection is closed
    NulParam,   // a parameter name or value holds a NUL byte: 400
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
    // The input among the bytes looked at, and where it ended when it did.
    Input input = Input::Open;
    size_t requestEnd = 0;
};

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

// The most bytes of a request head looked at; a longer head is refused.
inline constexpr size_t kMaxRequestHead = 64 * 1024;

// The CGI response head for a status ("302 Found": three digits first) and
// an extension's header block ("Name: value" lines, each ending in CR LF, then
// an empty line; the empty line may be missing). False for anything else, so
// nothing can be spliced into the response.
bool BuildResponseHead(const char* status, const char* headers, std::string* head);

// "HTTP_USER_AGENT:Mozilla\n" for each HTTP_ variable of "NAME=value"
// environment strings, with CR and LF dropped from the values, into out
// (whose room is kept).
void AllHttp(char** environment, std::string* out);

} // namespace vorn::server
