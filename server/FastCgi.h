// The records of the FastCGI protocol as the responder reads and writes
// them: the records that open a request (a begin record, then the parameters
// up to their empty record), the status line and header block an extension
// sends, and the records an answer goes out in.
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
};

// What a complete head says, beside its parameters.
struct RequestHeadInfo {
    uint16_t id = 0;
    bool keepConnection = false;
    size_t paramsEnd = 0; // where the records after the parameters begin
    // Where the request ends (after its empty input record) when all of its
    // input is among the bytes looked at; 0 when some is still to come.
    size_t requestEnd = 0;
};

// Checks the bytes at the start of a connection's next request; gives the
// parameters' bytes (name and value lengths as sent) and, when Complete or
// NulParam, *info.
RequestHead ReadRequestHead(const unsigned char* bytes, size_t length, RequestHeadInfo* info, std::string* params);

// Record types and sizes the responder uses.
inline constexpr unsigned char kVersion = 1;
inline constexpr unsigned char kBeginRequest = 1;
inline constexpr unsigned char kAbortRequest = 2;
inline constexpr unsigned char kEndRequest = 3;
inline constexpr unsigned char kParams = 4;
inline constexpr unsigned char kStdin = 5;
inline constexpr unsigned char kStdout = 6;
inline constexpr size_t kRecordHeader = 8;
inline constexpr size_t kMaxRecordContent = 65535;

// Appends a record's header to out.
void AppendRecordHeader(std::string* out, unsigned char type, uint16_t id, size_t contentLength);

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
