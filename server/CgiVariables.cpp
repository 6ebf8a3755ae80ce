#include "server/CgiVariables.h"

#include <strings.h>

#include <cstring>

namespace vorn::server {

namespace {

const char* Lent(const char* text, size_t length, size_t* asked) {
    if (asked) *asked = length;
    return text;
}

} // namespace

void CgiVariables::Derive() {
    allHttpMade = false;
    // A value sent and not empty is taken as it is; else the interface's own.
    auto sent = [this](const char* name, Text* into) {
        size_t length = 0;
        const char* value = params.Find(name, std::strlen(name), &length);
        if (!value || length == 0) return false;
        *into = {value, length};
        return true;
    };
    if (!sent("APPL_MD_PATH", &metabasePath)) metabasePath = {"/LM/W3SVC/1/ROOT", 16};
    if (!sent("PATH_TRANSLATED", &pathTranslated)) {
        const char* root = params.Find("DOCUMENT_ROOT");
        const char* info = params.Find("PATH_INFO");
        madePath.assign(root ? root : "");
        madePath.append(info ? info : "");
        pathTranslated = {madePath.c_str(), madePath.size()};
    }
    const char* https = params.Find("HTTPS");
    portSecure = https && strcasecmp(https, "on") == 0 ? Text{"1", 1} : Text{"0", 1};
    if (!sent("REMOTE_HOST", &remoteHost)) {
        size_t length = 0;
        const char* address = params.Find("REMOTE_ADDR", 11, &length);
        remoteHost = address ? Text{address, length} : Text{};
    }
}

const char* CgiVariables::Value(const char* name, size_t* length) {
    size_t nameLength = std::strlen(name);
    // The names the interface adds are told apart by their length first.
    switch (nameLength) {
    case 8:
        if (std::memcmp(name, "ALL_HTTP", 8) == 0) {
            if (!allHttpMade) AllHttp(params, &allHttp);
            allHttpMade = true;
            return Lent(allHttp.c_str(), allHttp.size(), length);
        }
        break;
    case 11:
        if (std::memcmp(name, "REMOTE_HOST", 11) == 0) return Lent(remoteHost.text, remoteHost.length, length);
        break;
    case 12:
        if (std::memcmp(name, "APPL_MD_PATH", 12) == 0) return Lent(metabasePath.text, metabasePath.length, length);
        break;
    case 15:
        if (std::memcmp(name, "PATH_TRANSLATED", 15) == 0)
            return Lent(pathTranslated.text, pathTranslated.length, length);
        break;
    case 18:
        if (std::memcmp(name, "SERVER_PORT_SECURE", 18) == 0) return Lent(portSecure.text, portSecure.length, length);
        break;
    default:
        break;
    }
    return params.Find(name, nameLength, length);
}

void CgiVariables::Fill(platform::ISAPIControlBlock* block, size_t contentLength) const {
    block->method = params.Find("REQUEST_METHOD");
    block->queryString = params.Find("QUERY_STRING");
    block->pathInfo = params.Find("PATH_INFO");
    block->pathTranslated = pathTranslated.text;
    block->contentType = params.Find("CONTENT_TYPE");
    block->totalBytes = contentLength;
}

void AllHttp(const ParamIndex& params, std::string* out) {
    std::string& all = *out;
    all.clear();
    for (size_t i = 0; i < params.HeaderCount(); ++i) {
        const char* name = nullptr;
        const char* value = nullptr;
        size_t nameLength = 0, valueLength = 0;
        params.Header(i, &name, &nameLength, &value, &valueLength);
        all.append(name, nameLength);
        all += ':';
        for (const char* v = value; v < value + valueLength;) {
            size_t run = std::strcspn(v, "\r\n");
            all.append(v, run);
            v += run;
            if (v < value + valueLength) ++v;
        }
        all += '\n';
    }
}

} // namespace vorn::server
