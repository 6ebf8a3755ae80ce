// The CGI variables of one request, made from its FastCGI parameters, as the
// extension reads them: the request's fields of its control block, and the
// server variables it asks for by name, among them those the extension
// interface adds (APPL_MD_PATH, PATH_TRANSLATED, SERVER_PORT_SECURE,
// REMOTE_HOST, ALL_HTTP) where the web server does not send them.
#pragma once

#include <cstddef>
#include <string>

#include "platform/ISAPI.h"
#include "server/FastCgi.h"

namespace vorn::server {

class CgiVariables {
  public:
    // Where the head's parser puts the parameters, and reads them once.
    ParamIndex* Params() { return &params; }
    // Makes the variables the extension interface adds (the thread that
    // serves the request does).
    void Derive();
    // A server variable as the extension asks for it, NUL-ended, and its
    // length; null when there is none. It lasts as long as the request.
    const char* Value(const char* name, size_t* length = nullptr);
    // The request's headers (the HTTP_ parameters), in the order they came.
    const ParamIndex& Headers() const { return params; }
    // The block's request fields; contentLength as the head announced it.
    void Fill(platform::ISAPIControlBlock* block, size_t contentLength) const;

  private:
    // A text of the request's (a parameter's value, or one of ours) and its length.
    struct Text {
        const char* text = "";
        size_t length = 0;
    };
    ParamIndex params;
    // The parameter's value where the web server sent one: nothing copied.
    Text metabasePath;
    Text pathTranslated;
    Text portSecure;
    Text remoteHost;
    std::string madePath; // PATH_TRANSLATED made from the root and the path
    // Made when first asked for: most requests never ask.
    std::string allHttp;
    bool allHttpMade = false;
};

// "HTTP_USER_AGENT:Mozilla\n" for each header of the parameters, with CR and
// LF dropped from the values, into out (whose room is kept).
void AllHttp(const ParamIndex& params, std::string* out);

} // namespace vorn::server
