#include "server/CgiVariables.h"

#include <strings.h>

#include <cstring>

namespace vorn::server {

namespace {

bool HasValue(const char* value) {
    return value && value[0];
}

const char* Text(const std::string& value, size_t* length) {
    if (length) *length = value.size();
    return value.c_str();
}

} // namespace

void CgiVariables::Derive() {
    allHttpMade = false;
    const char* metabase = params.Find("APPL_MD_PATH");
    metabasePath = HasValue(metabase) ? metabase : "/LM/W3SVC/1/ROOT";
    const char* translated = params.Find("PATH_TRANSLATED");
    if (HasValue(translated)) {
        pathTranslated = translated;
    } else {
        const char* root = params.Find("DOCUMENT_ROOT");
        const char* info = params.Find("PATH_INFO");
        pathTranslated.assign(root ? root : "");
        pathTranslated.append(info ? info : "");
    }
    const char* https = params.Find("HTTPS");
    portSecure = https && strcasecmp(https, "on") == 0 ? "1" : "0";
    const char* host = params.Find("REMOTE_HOST");
    const char* address = params.Find("REMOTE_ADDR");
    remoteHost = HasValue(host) ? host : (address ? address : "");
}

const char* CgiVariables::Value(const char* name, size_t* length) {
    size_t nameLength = std::strlen(name);
    // The names the interface adds are told apart by their length first.
    switch (nameLength) {
    case 8:
        if (std::memcmp(name, "ALL_HTTP", 8) == 0) {
            if (!allHttpMade) AllHttp(params, &allHttp);
            allHttpMade = true;
            return Text(allHttp, length);
        }
        break;
    case 11:
        if (std::memcmp(name, "REMOTE_HOST", 11) == 0) return Text(remoteHost, length);
        break;
    case 12:
        if (std::memcmp(name, "APPL_MD_PATH", 12) == 0) return Text(metabasePath, length);
        break;
    case 15:
        if (std::memcmp(name, "PATH_TRANSLATED", 15) == 0) return Text(pathTranslated, length);
        break;
    case 18:
        if (std::memcmp(name, "SERVER_PORT_SECURE", 18) == 0) return Text(portSecure, length);
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
    block->pathTranslated = pathTranslated.c_str();
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
