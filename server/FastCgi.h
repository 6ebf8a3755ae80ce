// What the responder checks before libfcgi reads a request, and before a
// response head goes out: the records that open a request (a begin record,
// then the parameters up to their empty record), and the status line and
// header block an extension sends.
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

// Checks the bytes at the start of a connection's next request.
RequestHead CheckRequestHead(const unsigned char* bytes, size_t length);

// The most bytes of a request head looked at; a longer head is refused.
inline constexpr size_t kMaxRequestHead = 64 * 1024;

// The CGI response head for a status ("302 Found": three digits first) and
// an extension's header block ("Name: value" lines, each ending in CR LF, then
// an empty line; the empty line may be missing). False for anything else, so
// nothing can be spliced into the response.
bool BuildResponseHead(const char* status, const char* headers, std::string* head);

// "HTTP_USER_AGENT:Mozilla\n" for each HTTP_ variable of "NAME=value"
// environment strings, with CR and LF dropped from the values.
std::string AllHttp(char** environment);
// The same into out, whose room is kept.
void AllHttp(char** environment, std::string* out);

} // namespace vorn::server
