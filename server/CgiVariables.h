// The CGI variables of one request, made from its FastCGI parameters, as the
// extension reads them: the request's fields of its control block, and the
// server variables it asks for by name, among them those the extension
// interface adds (APPL_MD_PATH, PATH_TRANSLATED, SERVER_PORT_SECURE,
// REMOTE_HOST, ALL_HTTP) where the web server does not send them.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/ISAPI.h"

namespace vorn::server {

class CgiVariables {
  public:
    // Where ReadRequestHead puts the parameters' bytes.
    std::string* Params() { return &params; }
    // Reads the parameters (as ReadRequestHead checked them): a request's
    // variables are its own from now on.
    void Index();
    // Makes the variables the extension interface adds (the thread that
    // serves the request does).
    void Derive();
    // A server variable as the extension asks for it; null when there is none.
    const char* Value(const char* name);
    // The block's request fields; contentLength as the head announced it.
    void Fill(platform::ISAPIControlBlock* block, size_t contentLength) const;

  private:
    // The first parameter of that name; null when there is none.
    const char* Find(const char* name) const;
    // The first entry that begins with name and an '=' (a name holding '=').
    const char* FindEntry(const char* name) const;

    std::string params;
    // "NAME=value" entries, each ending in a NUL, as a CGI environment (null
    // ended), and by name length, read once per request: the extension asks
    // for some thirty of them.
    std::string entries;
    std::vector<char*> environment;
    struct Param {
        size_t length;
        const char* name;
        const char* value;
    };
    std::vector<Param> index;
    std::string metabasePath;
    std::string pathTranslated;
    std::string portSecure;
    std::string remoteHost;
    // Made when first asked for: most requests never ask.
    std::string allHttp;
    bool allHttpMade = false;
};

// "HTTP_USER_AGENT:Mozilla\n" for each HTTP_ variable of "NAME=value"
// environment strings, with CR and LF dropped from the values, into out
// (whose room is kept).
void AllHttp(char** environment, std::string* out);

} // namespace vorn::server
